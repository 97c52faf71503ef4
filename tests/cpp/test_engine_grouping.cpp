// Overlap values and the first-match grouping, checked on boxes whose
// results are known by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/group_detections.hpp"
#include "engine/pairwise_distance.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

float pair_similarity(const Box& a, const Box& b) {
    return similarity(pairwise_distance(a, box_area(a), b, box_area(b)));
}

View2<float> view_of(const std::vector<Box>& boxes) {
    return View2<float>{reinterpret_cast<const char*>(boxes.data()), boxes.size(), 4, sizeof(Box),
                        sizeof(float)};
}

// Objects as lists of members, in group-list order.
std::vector<std::vector<std::uint32_t>> objects_of(const GroupList& groups) {
    std::vector<std::vector<std::uint32_t>> objects;
    for (std::size_t o = 0; o < groups.object_count(); ++o) {
        objects.emplace_back();
        for (std::uint32_t m = groups.first[o]; m != GroupList::kEnd; m = groups.next[m]) {
            objects.back().push_back(m);
        }
    }
    return objects;
}

std::vector<std::vector<std::uint32_t>> group(const std::vector<Box>& boxes, float threshold) {
    GroupList groups;
    group_detections(view_of(boxes), threshold, groups);
    return objects_of(groups);
}

std::string failure_of(auto&& call) {
    try {
        call();
    } catch (const Failure& failure) {
        return failure.message();
    }
    return "no failure";
}

TEST(PairwiseDistance, HalfOverlapIsTwoThirdsApart) {
    const Box a{0, 0, 10, 10};
    const Box b{5, 0, 15, 10};
    EXPECT_EQ(pairwise_distance(a, box_area(a), b, box_area(b)), 0.6666666666666667);
    EXPECT_EQ(pair_similarity(a, b), 0.3333333134651184f);
}

struct SimilarityCase {
    const char* name;
    Box a;
    Box b;
    float expected;
};

class KnownSimilarity : public testing::TestWithParam<SimilarityCase> {};

TEST_P(KnownSimilarity, BothOperandOrders) {
    const auto& c = GetParam();
    EXPECT_EQ(pair_similarity(c.a, c.b), c.expected);
    EXPECT_EQ(pair_similarity(c.b, c.a), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, KnownSimilarity,
    testing::Values(
        SimilarityCase{"Inner", {0, 0, 10, 10}, {2, 2, 8, 8}, 0.36f},
        // Tiny identical boxes stay exactly alike down to an area of 1e-8.
        SimilarityCase{"TinyIdentical", {0, 0, 1e-4f, 1e-4f}, {0, 0, 1e-4f, 1e-4f}, 1.0f},
        SimilarityCase{"TinierIdentical", {0, 0, 5e-5f, 5e-5f}, {0, 0, 5e-5f, 5e-5f}, 0.99999994f},
        // Touching, disjoint, flat and inverted boxes share nothing.
        SimilarityCase{"Touching", {0, 0, 10, 10}, {10, 0, 20, 10}, 0.0f},
        SimilarityCase{"Disjoint", {0, 0, 10, 10}, {0, 11, 10, 20}, 0.0f},
        SimilarityCase{"Flat", {0, 0, 0, 10}, {0, 0, 0, 10}, 0.0f},
        SimilarityCase{"InvertedX", {10, 0, 0, 10}, {10, 0, 0, 10}, 0.0f},
        SimilarityCase{"InvertedY", {0, 10, 10, 0}, {0, 0, 10, 10}, 0.0f}),
    [](const testing::TestParamInfo<SimilarityCase>& info) {
        return std::string(info.param.name);
    });

TEST(PairwiseDistance, NaNCoordinateNeverMakesAPositiveSimilarity) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Box others[] = {{0, 0, 10, 10}, {-5, -5, 5, 5}, {20, 20, 30, 30}, {0, 0, 0, 0}};
    for (int coordinate = 0; coordinate < 4; ++coordinate) {
        Box odd{0, 0, 10, 10};
        (&odd.c0)[coordinate] = nan;
        for (const Box& other : others) {
            for (const float s : {pair_similarity(odd, other), pair_similarity(other, odd)}) {
                EXPECT_TRUE(std::isnan(s) || s == 0.0f) << coordinate << " gives " << s;
            }
        }
    }
}

TEST(GroupDetections, ThresholdIsComparedInSinglePrecision) {
    const std::vector<Box> boxes{{0, 0, 10, 10}, {5, 0, 15, 10}};
    EXPECT_EQ(group(boxes, 0.3f).size(), 1u);
    EXPECT_EQ(group(boxes, static_cast<float>(1.0 / 3.0)).size(), 2u);
}

TEST(GroupDetections, FirstMatchDependsOnOrder) {
    const Box p{0, 0, 10, 10}, q{12, 0, 22, 10}, r{6, 0, 16, 10};
    using Objects = std::vector<std::vector<std::uint32_t>>;
    EXPECT_EQ(group({p, q, r}, 0.2f), (Objects{{0, 2}, {1}}));
    EXPECT_EQ(group({p, r, q}, 0.2f), (Objects{{0, 1, 2}}));
}

TEST(GroupDetections, JoinsTheEarlierObjectNotTheCloserOne) {
    // Detection 2 overlaps object 0 by 1/3 and object 1 by 3/7; the objects
    // are never merged.
    const std::vector<Box> boxes{{0, 0, 10, 10}, {9, 0, 19, 10}, {5, 0, 15, 10}};
    using Objects = std::vector<std::vector<std::uint32_t>>;
    EXPECT_EQ(group(boxes, 0.3f), (Objects{{0, 2}, {1}}));
    EXPECT_EQ(group(boxes, 0.4f), (Objects{{0}, {1, 2}}));
}

TEST(GroupDetections, ThresholdAtOrBelowZeroJoinsDisjointBoxesButNotNaNOverlaps) {
    // Detection 1 overlaps the NaN box, which makes their similarity NaN;
    // the far and the inverted box are merely disjoint from it: similarity 0.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<Box> boxes{{nan, 0, 1, 1}, {0, 0, 1, 1}, {50, 50, 60, 60}, {5, 5, 4, 4}};
    using Objects = std::vector<std::vector<std::uint32_t>>;
    for (const float threshold : {0.0f, -0.0f, -1.0f}) {
        EXPECT_EQ(group(boxes, threshold), (Objects{{0, 2, 3}, {1}})) << threshold;
    }
}

TEST(GroupDetections, NaNOrAboveOneKeepsEveryDetectionApart) {
    const std::vector<Box> boxes{{0, 0, 1, 1}, {0, 0, 1, 1}, {0, 0, 1, 1}};
    for (const float threshold : {std::numeric_limits<float>::quiet_NaN(), 1.0000001f}) {
        EXPECT_EQ(group(boxes, threshold).size(), 3u);
    }
    EXPECT_EQ(group(boxes, 1.0f).size(), 1u);
}

TEST(GroupDetections, NeedsFourColumnsOnlyWhenThereAreBoxes) {
    const std::vector<float> values(6, 1.0f);
    const auto narrow = [&](std::size_t rows) {
        return View2<float>{reinterpret_cast<const char*>(values.data()), rows, 3,
                            3 * sizeof(float), sizeof(float)};
    };
    GroupList groups;
    group_detections(narrow(0), 0.5f, groups);
    EXPECT_EQ(groups.object_count(), 0u);
    EXPECT_EQ(failure_of([&] { group_detections(narrow(2), 0.5f, groups); }),
              "ndarray: index out of bounds");
}

struct SizeCase {
    std::size_t n;
    const char* message;
};

class PairwiseSize : public testing::TestWithParam<SizeCase> {};

TEST_P(PairwiseSize, FailsOnlyWhenTheMatrixCannotExist) {
    EXPECT_EQ(failure_of([&] { check_pairwise_size(GetParam().n); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, PairwiseSize,
    testing::Values(SizeCase{0, "no failure"}, SizeCase{1073741823, "no failure"},
                    SizeCase{1073741824, "capacity overflow"},
                    SizeCase{3037000499, "capacity overflow"},
                    SizeCase{3037000500,
                             "ndarray: Shape too large, product of non-zero axis lengths "
                             "overflows isize"},
                    SizeCase{std::size_t{1} << 32,
                             "ndarray: Shape too large, product of non-zero axis lengths "
                             "overflows isize"}),
    [](const testing::TestParamInfo<SizeCase>& info) { return std::to_string(info.param.n); });

TEST(GroupDetections, HugeCountFailsBeforeAnyBoxIsRead) {
    // One box seen 2^32 times through a zero stride: the count alone decides.
    const float box[4] = {0, 0, 1, 1};
    const View2<float> repeated{reinterpret_cast<const char*>(box), std::size_t{1} << 32, 4, 0,
                                sizeof(float)};
    GroupList groups;
    EXPECT_EQ(failure_of([&] { group_detections(repeated, 0.5f, groups); }),
              "ndarray: Shape too large, product of non-zero axis lengths overflows isize");
}

}  // namespace
}  // namespace kiv
