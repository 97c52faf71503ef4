#include "engine/pairwise_distance.hpp"

#include <cstdint>
#include <limits>

#include "engine/messages.hpp"
#include "pool/row_loop.hpp"
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

std::vector<double> pairwise_distance(const std::vector<Box>& boxes,
                                      const std::vector<double>& areas) {
    const std::size_t n = boxes.size();
    std::vector<double> distance(n * n, 0.0);
    for_each_row_parallel(n, [&](std::size_t a) {
        double* row = distance.data() + a * n;
        for (std::size_t b = 0; b < n; ++b)
            row[b] = box_distance(boxes[a], areas[a], boxes[b], areas[b]);
    });
    return distance;
}

}  // namespace kiv
