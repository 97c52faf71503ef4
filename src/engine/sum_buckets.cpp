#include "engine/sum_buckets.hpp"

#include "engine/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {

void sum_buckets(const GroupList& groups, const std::vector<std::size_t>& slot_of,
                 const View1<float>& uncertainty, std::size_t slot_count, ScaleSums& out) {
    out.begin.clear();
    out.sums.clear();
    out.opened_by.assign(slot_count, 0);
    out.position.resize(slot_count);

    for (std::uint32_t object = 0; object < groups.object_count(); ++object) {
        out.begin.push_back(static_cast<std::uint32_t>(out.sums.size()));
        for (std::uint32_t m = groups.first[object]; m != GroupList::kEnd; m = groups.next[m]) {
            const std::size_t slot = slot_of[m];
            if (out.opened_by[slot] != object + 1) {
                out.opened_by[slot] = object + 1;
                out.position[slot] = static_cast<std::uint32_t>(out.sums.size());
                out.sums.push_back(+0.0f);
            }
            float& sum = out.sums[out.position[slot]];
            sum = sum + uncertainty[m];
        }
    }
    out.begin.push_back(static_cast<std::uint32_t>(out.sums.size()));

    // One list of sums per object; anything else is a fault of the engine.
    if (out.object_count() != groups.object_count()) {
        fail(messages::left_equals_right(groups.object_count(), out.object_count()),
             messages::consistency_check_site());
    }
}

}  // namespace kiv
