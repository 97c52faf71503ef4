#include "engine/max_per_object.hpp"

#include "engine/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {

void max_per_object(const ScaleSums& sums, std::size_t slot_count, std::vector<float>& scores) {
    scores.clear();
    for (std::size_t object = 0; object < sums.object_count(); ++object) {
        if (slot_count == 0) fail(messages::kUnwrapNone, messages::object_max_empty_site());
        const float* own = sums.sums.data() + sums.begin[object];
        const std::size_t own_count = sums.begin[object + 1] - sums.begin[object];

        // A single slot is never compared, so its sum stands even when NaN.
        if (slot_count == 1) {
            scores.push_back(own[0]);
            continue;
        }
        // Sums start at +0.0, so none is -0.0: the later-of-equal rule of the
        // running maximum cannot show, and neither can the order of the slots.
        // Starting the comparisons at the first sum itself lets a NaN there
        // fail like one anywhere else.
        float largest = own[0];
        for (std::size_t k = 0; k < own_count; ++k) {
            const float x = own[k];
            if (x >= largest) {
                largest = x;
            } else if (!(largest >= x)) {
                fail(messages::kUnwrapNone, messages::object_max_nan_site());
            }
        }
        // The object's empty buckets take part as +0.0.
        if (own_count < slot_count && largest < 0.0f) largest = +0.0f;
        scores.push_back(largest);
    }
}

}  // namespace kiv
