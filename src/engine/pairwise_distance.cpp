#include "engine/pairwise_distance.hpp"

#include <cstdint>
#include <limits>

#include "engine/messages.hpp"
#include "runtime/failure.hpp"

namespace kiv {

void check_pairwise_size(std::size_t n) {
    constexpr std::uint64_t kMaxSigned = std::numeric_limits<std::int64_t>::max();
    std::uint64_t elements = 0;
    if (__builtin_mul_overflow(static_cast<std::uint64_t>(n), static_cast<std::uint64_t>(n),
                               &elements) ||
        elements > kMaxSigned) {
        fail(messages::kShapeTooLarge);
    }
    if (elements > kMaxSigned / sizeof(double)) fail(messages::kCapacityOverflow);
}

}  // namespace kiv
