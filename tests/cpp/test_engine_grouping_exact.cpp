// Grouping never builds the pairwise matrix; these tests hold it to the
// matrix-based rule on seeded random inputs, object for object.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/group_detections.hpp"
#include "engine/pairwise_distance.hpp"
#include "pool/registry.hpp"

namespace kiv {
namespace {

using Objects = std::vector<std::vector<std::uint32_t>>;

// The rule as first written: the full similarity matrix, then for each
// detection the objects in order and their members in order.
Objects group_by_matrix(const std::vector<Box>& boxes, float threshold) {
    const std::size_t n = boxes.size();
    std::vector<float> similar(n * n);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = 0; b < n; ++b) {
            similar[a * n + b] = similarity(
                pairwise_distance(boxes[a], box_area(boxes[a]), boxes[b], box_area(boxes[b])));
        }
    }
    Objects objects;
    for (std::uint32_t i = 0; i < n; ++i) {
        bool placed = false;
        for (auto& object : objects) {
            for (const std::uint32_t m : object) {
                if (similar[i * n + m] >= threshold) {
                    object.push_back(i);
                    placed = true;
                    break;
                }
            }
            if (placed) break;
        }
        if (!placed) objects.push_back({i});
    }
    return objects;
}

View2<float> view_of(const std::vector<Box>& boxes) {
    return View2<float>{reinterpret_cast<const char*>(boxes.data()), boxes.size(), 4, sizeof(Box),
                        sizeof(float)};
}

Objects objects_of(const GroupList& groups) {
    Objects objects;
    for (std::size_t o = 0; o < groups.object_count(); ++o) {
        objects.emplace_back();
        for (std::uint32_t m = groups.first[o]; m != GroupList::kEnd; m = groups.next[m]) {
            objects.back().push_back(m);
        }
    }
    return objects;
}

Objects group_fast(const std::vector<Box>& boxes, float threshold) {
    GroupList groups;
    group_detections(view_of(boxes), threshold, groups);
    return objects_of(groups);
}

// Grouping with stretches of `block_rows` detections searched on `pool` (none
// when 0); the working storage is reused, as between calls of run.
Objects group_in_blocks(pool::Registry& pool, const std::vector<Box>& boxes, float threshold,
                        std::size_t block_rows) {
    thread_local GroupingWork work;
    GroupList groups;
    group_detections_in_blocks(view_of(boxes), threshold, groups, work, pool, block_rows);
    return objects_of(groups);
}

// Detector-like output: boxes jittered around a few objects of very
// different sizes, sometimes on whole numbers (ties, touching edges), with
// a share of odd boxes mixed in.
std::vector<Box> random_boxes(std::mt19937_64& rng, std::size_t n, double odd_share) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> jitter(0.0, 1.0);
    const std::size_t clusters = 1 + n / (1 + rng() % 40);
    struct Cluster {
        double x, y, w, h;
    };
    std::vector<Cluster> centres;
    const double field = unit(rng) < 0.2 ? 1e5 : 1000.0;
    for (std::size_t k = 0; k < clusters; ++k) {
        centres.push_back({unit(rng) * field, unit(rng) * field, std::exp(unit(rng) * 6) + 0.5,
                           std::exp(unit(rng) * 6) + 0.5});
    }
    const double spread = 0.02 + unit(rng) * 0.3;
    const bool whole = unit(rng) < 0.3;
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              -0.0f,
                              0.0f,
                              1e-45f,
                              3e38f,
                              -3e38f};
    std::vector<Box> boxes(n);
    for (Box& box : boxes) {
        const Cluster& c = centres[rng() % clusters];
        const double x = c.x + jitter(rng) * c.w * spread;
        const double y = c.y + jitter(rng) * c.h * spread;
        const double w = c.w * (1 + jitter(rng) * spread);
        const double h = c.h * (1 + jitter(rng) * spread);
        double v[4] = {x - w / 2, y - h / 2, x + w / 2, y + h / 2};
        for (double& value : v) value = whole ? std::round(value) : value;
        box = Box{static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2]),
                  static_cast<float>(v[3])};
        if (unit(rng) < odd_share) {
            switch (rng() % 5) {
                case 0:  // an odd coordinate
                    (&box.c0)[rng() % 4] = specials[rng() % std::size(specials)];
                    break;
                case 1:  // inverted on one or both axes
                    std::swap(box.c0, box.c2);
                    if (rng() % 2) std::swap(box.c1, box.c3);
                    break;
                case 2:  // flat
                    box.c2 = box.c0;
                    break;
                case 3:  // tiny, its area underflowing
                    box.c2 = box.c0 + 1e-30f * std::abs(box.c0);
                    box.c3 = box.c1 + 1e-30f * std::abs(box.c1);
                    break;
                default:  // very large
                    box = Box{-1e6f, -1e6f, 1e6f, static_cast<float>(unit(rng) * 1e6)};
            }
        }
    }
    return boxes;
}

const float kThresholds[] = {0.0f,       -0.0f, -0.5f, std::numeric_limits<float>::quiet_NaN(),
                             1e-45f,     0.05f, 0.3f,  0.5f,
                             0.7f,       0.9f,  0.99f, 1.0f,
                             1.0000001f, 1.5f};

struct Shape {
    std::size_t n;
    double odd_share;
};

class GroupingMatchesMatrix : public testing::TestWithParam<Shape> {};

TEST_P(GroupingMatchesMatrix, ForEveryThreshold) {
    const Shape shape = GetParam();
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        std::mt19937_64 rng(seed * 1000 + shape.n);
        const std::vector<Box> boxes = random_boxes(rng, shape.n, shape.odd_share);
        for (const float threshold : kThresholds) {
            ASSERT_EQ(group_fast(boxes, threshold), group_by_matrix(boxes, threshold))
                << "seed " << seed << ", threshold " << threshold;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Random, GroupingMatchesMatrix,
                         testing::Values(Shape{2, 0.0}, Shape{40, 0.0}, Shape{49, 0.1},
                                         Shape{200, 0.0}, Shape{200, 0.05}, Shape{200, 0.5},
                                         Shape{700, 0.02}),
                         [](const testing::TestParamInfo<Shape>& info) {
                             return std::to_string(info.param.n) + "_odd" +
                                    std::to_string(static_cast<int>(info.param.odd_share * 100));
                         });

TEST(GroupingMatchesMatrix, ChainsAndPilesOfOneBox) {
    // A pile of identical boxes forms one object; a chain of boxes shifted
    // a little at a time keeps joining the first object through its newest
    // members.
    std::vector<Box> pile(300, Box{5, 5, 25, 45});
    std::vector<Box> chain;
    for (int k = 0; k < 300; ++k) chain.push_back(Box{k * 0.5f, 0, k * 0.5f + 10, 10});
    for (const float threshold : {0.2f, 0.5f, 0.95f, 1.0f}) {
        EXPECT_EQ(group_fast(pile, threshold), group_by_matrix(pile, threshold));
        EXPECT_EQ(group_fast(chain, threshold), group_by_matrix(chain, threshold));
    }
}

// Blocks searched on pools of 1, 2 and 8 workers, between stretches searched
// on the calling thread: whatever the block size and however the workers
// share a block, the objects are those of the rule.
class GroupingInBlocks : public testing::TestWithParam<std::size_t> {
protected:
    pool::StandalonePool pool_{GetParam()};
};

TEST_P(GroupingInBlocks, MatchesMatrixForAnyBlockSize) {
    for (std::uint64_t seed = 0; seed < 8; ++seed) {
        std::mt19937_64 rng(seed * 7919 + GetParam());
        const std::size_t n = 60 + rng() % 900;
        const std::vector<Box> boxes = random_boxes(rng, n, seed % 3 == 0 ? 0.05 : 0.0);
        for (const float threshold : {1e-45f, 0.05f, 0.3f, 0.5f, 0.9f, 1.0f}) {
            const Objects expected = group_by_matrix(boxes, threshold);
            for (const std::size_t block_rows :
                 {std::size_t{1}, std::size_t{13}, std::size_t{256}}) {
                ASSERT_EQ(group_in_blocks(pool_.registry(), boxes, threshold, block_rows), expected)
                    << "seed " << seed << ", threshold " << threshold << ", blocks of "
                    << block_rows;
            }
        }
    }
}

TEST_P(GroupingInBlocks, ChainsAndPilesAcrossBlocks) {
    // A chain reaches its first object only through members of the block
    // being placed; a pile finds it before the block for all but its first.
    std::vector<Box> pile(400, Box{5, 5, 25, 45});
    std::vector<Box> chain;
    for (int k = 0; k < 400; ++k) chain.push_back(Box{k * 0.5f, 0, k * 0.5f + 10, 10});
    // Two chains interleaved, the second started later: members of the
    // later object keep matching within each block.
    std::vector<Box> braid;
    for (int k = 0; k < 400; ++k) {
        braid.push_back(Box{k * 0.5f, 0, k * 0.5f + 10, 10});
        braid.push_back(Box{k * 0.5f, 100, k * 0.5f + 10, 110});
    }
    for (const float threshold : {0.2f, 0.5f, 0.95f, 1.0f}) {
        for (const auto* boxes : {&pile, &chain, &braid}) {
            const Objects expected = group_by_matrix(*boxes, threshold);
            for (const std::size_t block_rows : {std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
                EXPECT_EQ(group_in_blocks(pool_.registry(), *boxes, threshold, block_rows),
                          expected);
            }
        }
    }
}

TEST_P(GroupingInBlocks, MatchesTheCallingThreadOnCrowdedImages) {
    // Too many detections for the matrix: blocks against the plain grid
    // search, on images crowded enough that most queries find many
    // candidates before and inside their block.
    for (std::uint64_t seed = 0; seed < 3; ++seed) {
        std::mt19937_64 rng(seed + 100 * GetParam());
        const std::vector<Box> boxes = random_boxes(rng, 12000 + rng() % 8000, 0.01);
        for (const float threshold : {0.05f, 0.5f, 0.9f}) {
            const Objects expected = group_in_blocks(pool_.registry(), boxes, threshold, 0);
            for (const std::size_t block_rows : {std::size_t{97}, std::size_t{1024}}) {
                ASSERT_EQ(group_in_blocks(pool_.registry(), boxes, threshold, block_rows), expected)
                    << "seed " << seed << ", threshold " << threshold << ", blocks of "
                    << block_rows;
            }
            // The same through the entry that decides for itself, on the
            // process-wide pool.
            ASSERT_EQ(group_fast(boxes, threshold), expected);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, GroupingInBlocks, testing::Values(1, 2, 8));

}  // namespace
}  // namespace kiv
