// The engine entry: one image's detections in, one image score out.
#pragma once

#include <cstdint>

#include "engine/array_view.hpp"

namespace kiv {

// The two thresholds of a scorer, as 32-bit floats, read only.
struct Thresholds {
    float iou_threshold;
    float score_threshold;
};

// Scores one image. Throws Failure (with its report already written) for
// every broken precondition, std::bad_alloc when memory runs out.
float score_image(const Thresholds& thresholds, const View2<float>& bounding_boxes,
                  const View2<float>& class_probabilities, const View1<float>& uncertainty_scores,
                  const View1<std::int64_t>& scales);

}  // namespace kiv
