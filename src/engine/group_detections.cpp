#include "engine/group_detections.hpp"

#include <cstring>

#include "engine/messages.hpp"
#include "pool/row_loop.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

// Up to this many detections the plain walk over all earlier members costs
// less than setting up the grid.
constexpr std::size_t kPlainWalkLimit = 48;

bool similar(const GroupingWork& work, std::uint32_t a, std::uint32_t b, float threshold) {
    const double distance =
        pairwise_distance(work.boxes[a], work.areas[a], work.boxes[b], work.areas[b]);
    return similarity(distance) >= threshold;
}

// Objects in creation order, members in member order, stopping at the first
// similar member: the rule itself, for any threshold.
void group_by_walk(const GroupingWork& work, std::size_t n, float threshold, GroupList& groups) {
    for (std::uint32_t i = 0; i < n; ++i) {
        std::size_t object = 0;
        for (; object < groups.object_count(); ++object) {
            std::uint32_t m = groups.first[object];
            while (m != GroupList::kEnd && !similar(work, i, m, threshold)) m = groups.next[m];
            if (m != GroupList::kEnd) break;
        }
        if (object < groups.object_count()) {
            groups.join(object, i);
        } else {
            groups.start_object(i);
        }
    }
}

// For a positive threshold only members that meet a detection's box can
// match it, so the grid's candidates decide. Which member of an object
// matches does not matter, only the lowest object with a match does, so the
// order in which candidates are tried cannot change the outcome.
void group_by_grid(GroupingWork& work, std::size_t n, float threshold, GroupList& groups) {
    // A box that is inverted, or whose area is zero or NaN, has similarity 0
    // or NaN with every box: it never joins and is never joined.
    work.placeable.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Box& box = work.boxes[k];
        work.placeable[k] = box.c0 <= box.c2 && box.c1 <= box.c3 && work.areas[k] > 0.0;
    }
    work.grid.reset(work.boxes.data(), work.areas.data(), work.placeable.data(), n, threshold);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (!work.placeable[i]) {
            groups.start_object(i);
            continue;
        }
        const OverlapGrid::Place place = work.grid.place_of(work.boxes[i]);
        std::uint32_t object = work.grid.first_match(i, place);
        if (object == OverlapGrid::kNone) {
            object = static_cast<std::uint32_t>(groups.object_count());
            groups.start_object(i);
        } else {
            groups.join(object, i);
        }
        work.grid.insert(i, place, object);
    }
}

}  // namespace

void group_detections(const View2<float>& boxes, float iou_threshold, GroupList& groups,
                      GroupingWork& work) {
    const std::size_t n = boxes.rows;
    // Without rows there is no column to miss.
    if (n > 0 && boxes.cols < 4) fail(messages::kIndexOutOfBounds);
    // Checked before anything is copied, so a count beyond the limits fails
    // with its own message rather than running out of memory on the way.
    check_pairwise_size(n);
    // Every call makes sure the worker pool exists, whatever the count, so
    // the first call of the process is the one that starts it.
    (void)current_num_threads();

    work.boxes.resize(n);
    work.areas.resize(n);
    const bool packed = boxes.col_stride == static_cast<std::ptrdiff_t>(sizeof(float));
    for (std::size_t r = 0; r < n; ++r) {
        Box& box = work.boxes[r];
        if (packed) {
            std::memcpy(&box, boxes.data + static_cast<std::ptrdiff_t>(r) * boxes.row_stride,
                        sizeof box);
        } else {
            box = Box{boxes(r, 0), boxes(r, 1), boxes(r, 2), boxes(r, 3)};
        }
        work.areas[r] = box_area(box);
    }

    groups.clear();
    if (!(iou_threshold <= 1.0f)) {
        // Similarities never exceed 1 (they are NaN or lie in [0, 1]), so a
        // NaN threshold or one above 1 leaves every detection on its own.
        for (std::uint32_t i = 0; i < n; ++i) groups.start_object(i);
    } else if (iou_threshold > 0.0f && n > kPlainWalkLimit) {
        group_by_grid(work, n, iou_threshold, groups);
    } else {
        // At or below zero every similarity but NaN matches, so the walk
        // usually stops at the first member it tries.
        group_by_walk(work, n, iou_threshold, groups);
    }
}

void group_detections(const View2<float>& boxes, float iou_threshold, GroupList& groups) {
    GroupingWork work;
    group_detections(boxes, iou_threshold, groups, work);
}

}  // namespace kiv
