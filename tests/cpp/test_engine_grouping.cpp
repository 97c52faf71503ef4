// The overlap measure's properties that grouping relies on to skip pairs,
// and the limits on the number of detections.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
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

// Grouping never evaluates pairs it can prove dissimilar: boxes strictly
// apart, inverted boxes, and boxes of zero, negative or NaN area; and it
// relies on no similarity exceeding 1. Checked here on boxes built from
// values that stress each comparison.
TEST(PairwiseDistance, PropertiesThatLetGroupingSkipPairs) {
    const float values[] = {0.0f,
                            -0.0f,
                            1.0f,
                            2.5f,
                            -3.0f,
                            1e-30f,
                            1e30f,
                            3.4e38f,
                            -3.4e38f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN()};
    std::mt19937 rng(11);
    const auto random_box = [&] {
        Box box{};
        for (float* c : {&box.c0, &box.c1, &box.c2, &box.c3}) {
            *c = rng() % 2 ? values[rng() % std::size(values)]
                           : std::uniform_real_distribution<float>(-4, 4)(rng);
        }
        return box;
    };
    const auto never_similar = [](const Box& box) {
        return !(box.c0 <= box.c2 && box.c1 <= box.c3 && box_area(box) > 0.0);
    };
    for (int trial = 0; trial < 200000; ++trial) {
        const Box a = random_box();
        const Box b = random_box();
        const float s = pair_similarity(a, b);
        ASSERT_TRUE(std::isnan(s) || (s >= 0.0f && s <= 1.0f)) << trial;
        const bool apart = a.c0 > b.c2 || b.c0 > a.c2 || a.c1 > b.c3 || b.c1 > a.c3;
        if (apart || never_similar(a) || never_similar(b)) {
            ASSERT_TRUE(std::isnan(s) || s == 0.0f) << trial << ": " << s;
        }
    }
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
