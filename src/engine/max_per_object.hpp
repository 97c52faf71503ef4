// Object scores: the largest per-scale sum of each object.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/sum_buckets.hpp"

namespace kiv {

// One score per object, in group-list order: the largest of its `slot_count`
// per-scale sums, empty buckets taking part as +0.0. With two or more slots a
// NaN sum anywhere fails the call, as the running maximum would meet it.
void max_per_object(const ScaleSums& sums, std::size_t slot_count, std::vector<float>& scores);

}  // namespace kiv
