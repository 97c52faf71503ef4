// Scale buckets: which per-scale sum each detection's uncertainty goes into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/array_view.hpp"
#include "engine/group_detections.hpp"

namespace kiv {

// The distinct scale values of the call, ascending; every object has one
// bucket per entry, the slot of that scale value. Sorted rather than hashed:
// no scale values can make it slow, and nothing depends on the order.
struct ScaleTable {
    std::vector<std::int64_t> distinct;

    std::size_t size() const { return distinct.size(); }
};

// Fails unless there are as many scale values as uncertainty values.
void check_lengths(const View1<std::int64_t>& scales, const View1<float>& uncertainty);

// Every value of `scales` becomes a key, also values no detection refers to.
void build_scale_table(const View1<std::int64_t>& scales, ScaleTable& table);

// For every detection (every member of every object), the slot of its scale
// value in `table`. Fails when a detection has no scale or uncertainty value.
void bucket_objects(const GroupList& groups, const View1<std::int64_t>& scales,
                    const View1<float>& uncertainty, const ScaleTable& table,
                    std::vector<std::size_t>& slot_of);

}  // namespace kiv
