#include "engine/group_detections.hpp"

#include "engine/messages.hpp"
#include "engine/pairwise_distance.hpp"
#include "runtime/failure.hpp"

namespace kiv {

void group_detections(const View2<float>& boxes, float iou_threshold, GroupList& groups) {
    const std::size_t n = boxes.rows;
    // Without rows there is no column to miss.
    if (n > 0 && boxes.cols < 4) fail(messages::kIndexOutOfBounds);
    // Checked before anything is copied, so a count too large for the
    // pairwise matrix fails with its own message rather than running out of
    // memory on the way.
    check_pairwise_size(n);

    std::vector<Box> corners(n);
    std::vector<double> areas(n);
    for (std::size_t r = 0; r < n; ++r) {
        corners[r] = Box{boxes(r, 0), boxes(r, 1), boxes(r, 2), boxes(r, 3)};
        areas[r] = box_area(corners[r]);
    }

    std::vector<float> similar;
    {
        const std::vector<double> distance = pairwise_distance(corners, areas);
        similar.resize(distance.size());
        for (std::size_t k = 0; k < distance.size(); ++k) similar[k] = similarity(distance[k]);
    }

    groups.clear();
    for (std::uint32_t i = 0; i < n; ++i) {
        const float* row = similar.data() + std::size_t{i} * n;
        bool placed = false;
        for (std::size_t object = 0; object < groups.object_count() && !placed; ++object) {
            for (std::uint32_t m = groups.first[object]; m != GroupList::kEnd; m = groups.next[m]) {
                if (row[m] >= iou_threshold) {
                    groups.join(object, i);
                    placed = true;
                    break;
                }
            }
        }
        if (!placed) groups.start_object(i);
    }
}

}  // namespace kiv
