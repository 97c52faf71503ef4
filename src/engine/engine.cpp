#include "engine/engine.hpp"

#include "engine/bucket_objects.hpp"
#include "engine/filter_by_score.hpp"
#include "engine/group_detections.hpp"
#include "engine/image_score.hpp"
#include "engine/max_per_object.hpp"
#include "engine/sum_buckets.hpp"

namespace kiv {

float score_image(const Thresholds& thresholds, const View2<float>& bounding_boxes,
                  const View2<float>& class_probabilities, const View1<float>& uncertainty_scores,
                  const View1<std::int64_t>& scales) {
    // The caller's arrays cannot change during the call, so stages read them
    // in place; only the rows the filter keeps are copied.
    FilteredRows filtered;
    const EffectiveArrays effective =
        filter_by_score(thresholds.score_threshold, bounding_boxes, class_probabilities,
                        uncertainty_scores, scales, filtered);

    GroupList groups;
    group_detections(effective.boxes, thresholds.iou_threshold, groups);

    check_lengths(effective.scales, effective.uncertainty);
    ScaleTable table;
    build_scale_table(effective.scales, table);
    std::vector<std::size_t> slot_of;
    bucket_objects(groups, effective.scales, effective.uncertainty, table, slot_of);

    ScaleSums sums;
    sum_buckets(groups, slot_of, effective.uncertainty, table.size(), sums);
    std::vector<float> object_scores;
    max_per_object(sums, table.size(), object_scores);
    return image_score(object_scores);
}

}  // namespace kiv
