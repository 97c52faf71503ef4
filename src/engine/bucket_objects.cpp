#include "engine/bucket_objects.hpp"

#include <algorithm>

#include "engine/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {

void check_lengths(const View1<std::int64_t>& scales, const View1<float>& uncertainty) {
    if (scales.length != uncertainty.length) {
        fail(messages::left_equals_right(scales.length, uncertainty.length),
             messages::length_check_site());
    }
}

void build_scale_table(const View1<std::int64_t>& scales, ScaleTable& table) {
    table.distinct.resize(scales.length);
    for (std::size_t k = 0; k < scales.length; ++k) table.distinct[k] = scales[k];
    std::sort(table.distinct.begin(), table.distinct.end());
    table.distinct.erase(std::unique(table.distinct.begin(), table.distinct.end()),
                         table.distinct.end());
}

void bucket_objects(const GroupList& groups, const View1<std::int64_t>& scales,
                    const View1<float>& uncertainty, const ScaleTable& table,
                    std::vector<std::size_t>& slot_of) {
    // Every detection is a member of some object, so the members fit the two
    // arrays exactly when the detections do.
    const std::size_t n = groups.detection_count();
    if (n > scales.length || n > uncertainty.length) fail(messages::kIndexOutOfBounds);

    slot_of.resize(n);
    for (std::size_t d = 0; d < n; ++d) {
        const auto key = std::lower_bound(table.distinct.begin(), table.distinct.end(), scales[d]);
        slot_of[d] = static_cast<std::size_t>(key - table.distinct.begin());
    }
}

}  // namespace kiv
