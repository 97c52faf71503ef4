// The image score: the sum of the object scores.
#pragma once

#include <vector>

namespace kiv {

// Strictly sequential single-precision sum from +0.0, in group-list order, so
// no objects give +0.0 and the result is never -0.0.
float image_score(const std::vector<float>& object_scores);

}  // namespace kiv
