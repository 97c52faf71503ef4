// How much two boxes must overlap, at the least, for their similarity to
// reach a threshold: the necessary conditions that let grouping rule pairs
// out before working out their similarity.
#pragma once

#include <algorithm>

namespace kiv {

struct MatchShares {
    // A match needs an intersection of at least (threshold - 2^-22) times
    // (1 - 2^-50) times the larger area: the slack covers the roundings of
    // the ratio, of the union and of the narrowing to single precision. It
    // follows that the overlap along each axis is at least that share, less
    // 3 * 2^-24 of it for the single-precision differences and product, of
    // either box's extent along that axis. `of_larger` is smaller still, so
    // no bound built on it rules out a true match; at or below 1e-6 it rules
    // out nothing. `of_extent` is the same, but never below 0.
    double of_larger;
    double of_extent;
    // The ratio itself needs intersection / (sum of areas - intersection) of
    // at least threshold - 2^-22, so the intersection is at least
    // (threshold - 2^-22) / (1 + threshold) times the sum of both areas, less
    // 3 * 2^-53 of it for the double roundings of the sum, the union and the
    // ratio. Along each axis the overlap is then at least that share, less
    // 2^-23 of it, of the sum of both extents: the other axis's overlap is
    // at most either box's extent there. `of_sum` stays below both by more
    // than 2^-22 of the threshold.
    double of_sum;
    // The two shares less 1e-6 again, for the single-precision roundings of
    // tests that work in single precision.
    float single_of_sum;
    float single_of_extent;
};

// For a threshold above 0 and at most 1.
inline MatchShares match_shares(float threshold) {
    const double of_larger = (static_cast<double>(threshold) - 1e-6) * (1.0 - 1e-6);
    const double of_extent = std::max(of_larger, 0.0);
    const double of_sum = of_extent / (1.0 + static_cast<double>(threshold));
    return MatchShares{of_larger, of_extent, of_sum, static_cast<float>(of_sum * (1.0 - 1e-6)),
                       static_cast<float>(of_extent * (1.0 - 1e-6))};
}

}  // namespace kiv
