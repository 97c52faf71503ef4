// Per-scale sums of each object's uncertainty values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/array_view.hpp"
#include "engine/group_detections.hpp"

namespace kiv {

// Per object, the sums of the buckets it has members in. A bucket without a
// member of the object sums to +0.0 and is not stored: an object has stored
// fewer sums than there are slots exactly when one of its buckets is empty.
struct ScaleSums {
    std::vector<std::uint32_t> begin;  // object o's sums are sums[begin[o], begin[o + 1])
    std::vector<float> sums;

    // Working storage, one entry per slot: the object that last opened the
    // slot's bucket (plus one) and where that bucket's sum stands in `sums`.
    std::vector<std::uint32_t> opened_by;
    std::vector<std::uint32_t> position;

    std::size_t object_count() const { return begin.empty() ? 0 : begin.size() - 1; }
};

// Each bucket's sum starts at +0.0 and takes the values one single-precision
// addition at a time, in member order.
void sum_buckets(const GroupList& groups, const std::vector<std::size_t>& slot_of,
                 const View1<float>& uncertainty, std::size_t slot_count, ScaleSums& out);

}  // namespace kiv
