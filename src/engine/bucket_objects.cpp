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

// Scale values usually take a handful of distinct values, often in runs.
// Up to this many distinct values are kept sorted by insertion as they come;
// more than that, and the whole array is sorted instead, so that no array of
// scale values makes the table quadratic.
constexpr std::size_t kFewScales = 16;

void build_scale_table(const View1<std::int64_t>& scales, ScaleTable& table) {
    std::vector<std::int64_t>& distinct = table.distinct;
    distinct.clear();
    std::int64_t previous = 0;
    for (std::size_t k = 0; k < scales.length; ++k) {
        const std::int64_t value = scales[k];
        if (k > 0 && value == previous) continue;
        previous = value;
        const auto at = std::lower_bound(distinct.begin(), distinct.end(), value);
        if (at != distinct.end() && *at == value) continue;
        if (distinct.size() == kFewScales) {
            distinct.resize(scales.length);
            for (std::size_t j = 0; j < scales.length; ++j) distinct[j] = scales[j];
            std::sort(distinct.begin(), distinct.end());
            distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
            return;
        }
        distinct.insert(at, value);
    }
}

void bucket_objects(const GroupList& groups, const View1<std::int64_t>& scales,
                    const View1<float>& uncertainty, const ScaleTable& table,
                    std::vector<std::size_t>& slot_of) {
    // Every detection is a member of some object, so the members fit the two
    // arrays exactly when the detections do.
    const std::size_t n = groups.detection_count();
    if (n > scales.length || n > uncertainty.length) fail(messages::kIndexOutOfBounds);

    slot_of.resize(n);
    const std::int64_t* const first = table.distinct.data();
    const std::int64_t* const last = first + table.size();
    // Detections come in runs of one scale value, a detector's output per
    // scale, so the key of the one before is tried first.
    const std::int64_t* key = first;
    for (std::size_t d = 0; d < n; ++d) {
        const std::int64_t value = scales[d];
        if (*key != value) {
            // Every value is a key; a short table is cheaper to walk than to
            // halve.
            if (table.size() <= kFewScales) {
                key = first;
                while (*key != value) ++key;
            } else {
                key = std::lower_bound(first, last, value);
            }
        }
        slot_of[d] = static_cast<std::size_t>(key - first);
    }
}

}  // namespace kiv
