// The necessary conditions that grouping rules pairs out with, checked on
// pairs whose similarity reaches the threshold exactly: a bound a hair too
// tight fails here even where the grid's other slack would hide it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "engine/match_shares.hpp"
#include "engine/member_quad.hpp"
#include "engine/pairwise_distance.hpp"

namespace kiv {
namespace {

// Two boxes with one inside or beside the other along a shared edge, of any
// size, shape and place; query second.
void tight_pair(std::mt19937_64& rng, Box& member, Box& query) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double w = std::pow(10.0, unit(rng) * 24 - 6);
    const double h = unit(rng) < 0.5 ? w : w * std::pow(10.0, unit(rng) * 14 - 7);
    const double x = unit(rng) < 0.3 ? 1e7 * (unit(rng) - 0.5) : (unit(rng) - 0.5) * 20 * w;
    const double y = (unit(rng) - 0.5) * 20 * h;
    const double r = unit(rng) < 0.3 ? 1.0 - unit(rng) * 1e-3 : unit(rng);
    const double s = std::sqrt(r);
    const Box big{float(x), float(y), float(x + w), float(y + h)};
    const Box boxes[] = {
        Box{float(x + w * (1 - r)), float(y), float(x + w), float(y + h)},
        Box{float(x + w * (1 - r)), float(y), float(x + w * (2 - r)), float(y + h)},
        Box{float(x + w * (1 - s)), float(y + h * (1 - s)), float(x + w), float(y + h)},
        Box{float(x + w * (1 - s)), float(y + h * (1 - s)), float(x + w * (2 - s)),
            float(y + h * (2 - s))},
    };
    member = big;
    query = boxes[rng() % 4];
    if (rng() % 2) std::swap(member, query);
}

TEST(MatchShares, EveryMatchMeetsTheConditionsThatRuleOutPairs) {
    std::mt19937_64 rng(29);
    for (int trial = 0; trial < 100000; ++trial) {
        Box member, query;
        tight_pair(rng, member, query);
        const double member_area = box_area(member);
        const double query_area = box_area(query);
        const float sim = similarity(pairwise_distance(query, query_area, member, member_area));
        // The pair matches at its own similarity and one step below it.
        for (const float threshold : {sim, std::nextafter(sim, 0.0f)}) {
            if (!(threshold > 0.0f && threshold <= 1.0f)) continue;
            const MatchShares shares = match_shares(threshold);
            MemberQuad quad;
            quad.set(0, member, member_area);
            ASSERT_EQ(
                quad_may_match(quad, quad_query(query, query_area, shares.single_of_sum)) & 1u, 1u)
                << "trial " << trial << ", threshold " << threshold;

            const float width = std::min(query.c2, member.c2) - std::max(query.c0, member.c0);
            const float height = std::min(query.c3, member.c3) - std::max(query.c1, member.c1);
            const double raw = static_cast<double>(height * width);
            const double overlap = std::min({raw, query_area, member_area});
            ASSERT_GE(overlap, shares.of_sum * (query_area + member_area)) << "trial " << trial;
            ASSERT_GE(raw, shares.of_larger * std::max(query_area, member_area))
                << "trial " << trial;
            const double query_width = query.c2 - query.c0, member_width = member.c2 - member.c0;
            const double query_height = query.c3 - query.c1, member_height = member.c3 - member.c1;
            ASSERT_GE(width, shares.of_sum * (query_width + member_width)) << "trial " << trial;
            ASSERT_GE(height, shares.of_sum * (query_height + member_height)) << "trial " << trial;
            ASSERT_GE(width, shares.of_extent * std::max(query_width, member_width));
            ASSERT_GE(height, shares.of_extent * std::max(query_height, member_height));
        }
    }
}

}  // namespace
}  // namespace kiv
