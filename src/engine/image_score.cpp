#include "engine/image_score.hpp"

namespace kiv {

float image_score(const std::vector<float>& object_scores) {
    float total = +0.0f;
    for (const float score : object_scores) total = total + score;
    return total;
}

}  // namespace kiv
