// The engine entry end to end: which failure wins when several inputs are
// wrong, where its report points, and an array it must never read.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Image {
    std::vector<float> boxes;  // rows of `box_cols` values
    std::size_t box_cols = 4;
    std::vector<float> probabilities;  // rows of `classes` values; one empty row per box if 0
    std::size_t classes = 1;
    std::vector<float> uncertainty;
    std::vector<std::int64_t> scales;

    float score(float iou_threshold, float score_threshold) const {
        const std::size_t box_rows = boxes.size() / box_cols;
        const View2<float> b{reinterpret_cast<const char*>(boxes.data()), box_rows, box_cols,
                             static_cast<std::ptrdiff_t>(box_cols * sizeof(float)), sizeof(float)};
        const View2<float> p{reinterpret_cast<const char*>(probabilities.data()),
                             classes == 0 ? box_rows : probabilities.size() / classes, classes,
                             static_cast<std::ptrdiff_t>(classes * sizeof(float)), sizeof(float)};
        const View1<float> u{reinterpret_cast<const char*>(uncertainty.data()), uncertainty.size(),
                             sizeof(float)};
        const View1<std::int64_t> s{reinterpret_cast<const char*>(scales.data()), scales.size(),
                                    sizeof(std::int64_t)};
        return score_image(Thresholds{iou_threshold, score_threshold}, b, p, u, s);
    }
};

// n unit boxes far apart from one another, one object each.
std::vector<float> separate_boxes(std::size_t n) {
    std::vector<float> boxes;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = 10.0f * static_cast<float>(i);
        boxes.insert(boxes.end(), {x, 0, x + 1, 1});
    }
    return boxes;
}

struct FailureCase {
    const char* name;
    Image image;
    float score_threshold;
    std::string message;
    std::string location;  // as the report names it; empty when not fixed
};

class ScoreImageFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ScoreImageFailure, ReportsTheFirstBrokenCheck) {
    const FailureCase& c = GetParam();
    testing::internal::CaptureStderr();
    std::string message = "no failure";
    try {
        c.image.score(0.5f, c.score_threshold);
    } catch (const Failure& failure) {
        message = failure.message();
    }
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, c.message);
    if (!c.location.empty()) {
        EXPECT_NE(report.find("panicked at " + c.location + ":\n" + c.message + "\n"),
                  std::string::npos)
            << report;
    }
}

const std::string kUnwrap = "called `Option::unwrap()` on a `None` value";

INSTANTIATE_TEST_SUITE_P(
    Precedence, ScoreImageFailure,
    testing::Values(
        // A NaN row fails although its detection would not be kept, before
        // any gather looks at the too-short box array.
        FailureCase{"NaNRowBeforeGather",
                    {separate_boxes(1), 4, {0.9f, 0.1f, kNaN, 0.0f}, 2, {1, 1}, {1, 1}},
                    0.5f,
                    kUnwrap,
                    "src\\lib:32:53"},
        FailureCase{"EmptyRows",
                    {separate_boxes(2), 4, {}, 0, {1, 1}, {1, 1}},
                    0.5f,
                    kUnwrap,
                    "src\\lib:33:22"},
        FailureCase{"KeptRowWithoutBox",
                    {separate_boxes(3), 4, {0, 0, 0, 0, 0.9f}, 1, {1, 1, 1}, {1, 1, 1}},
                    0.5f,
                    "assertion failed: index < dim",
                    ""},
        FailureCase{"KeptRowWithoutUncertainty",
                    {separate_boxes(5), 4, {0, 0, 0, 0, 0.9f}, 1, {1, 1, 1, 1}, {1, 1, 1}},
                    0.5f,
                    "ndarray: index 4 is out of bounds in array of len 4",
                    ""},
        FailureCase{"KeptRowWithoutScale",
                    {separate_boxes(5), 4, {0, 0, 0, 0, 0.9f}, 1, {1, 1, 1, 1, 1}, {1, 1, 1}},
                    0.5f,
                    "ndarray: index 4 is out of bounds in array of len 3",
                    ""},
        // Three columns fail before the lengths are compared.
        FailureCase{"NarrowBoxesBeforeLengths",
                    {{0, 0, 1, 1, 1, 2}, 3, {}, 1, {1, 1, 1}, {1, 1}},
                    0.0f,
                    "ndarray: index out of bounds",
                    ""},
        FailureCase{"LengthsEvenWithoutDetections",
                    {{}, 4, {}, 1, {1, 1, 1}, {1, 1, 1, 1}},
                    0.0f,
                    "assertion `left == right` failed\n  left: 4\n right: 3",
                    "src\\lib:129:9"},
        FailureCase{"LengthsBeforeMissingScale",
                    {separate_boxes(5), 4, {}, 1, {1, 1, 1}, {1, 1, 1, 1}},
                    0.0f,
                    "assertion `left == right` failed\n  left: 4\n right: 3",
                    ""},
        FailureCase{"DetectionWithoutScale",
                    {separate_boxes(5), 4, {}, 1, {1, 1, 1, 1}, {1, 1, 1, 1}},
                    0.0f,
                    "ndarray: index out of bounds",
                    ""},
        // With two scale values a NaN sum fails even where it is not largest;
        // here a surplus scale value makes the second one.
        FailureCase{"NaNSumWithTwoScales",
                    {separate_boxes(1), 4, {}, 1, {kNaN, 0.5f}, {1, 2}},
                    0.0f,
                    kUnwrap,
                    "src\\lib:96:45"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(ScoreImage, FilterOffNeverReadsProbabilities) {
    // Rows that claim data at an address nothing may read.
    const View2<float> unreadable{nullptr, 1000, 1000, 1 << 20, 1 << 10};
    const Image image{separate_boxes(2), 4, {}, 1, {0.25f, 0.5f}, {3, 3}};
    const View2<float> boxes{reinterpret_cast<const char*>(image.boxes.data()), 2, 4,
                             4 * sizeof(float), sizeof(float)};
    const View1<float> u{reinterpret_cast<const char*>(image.uncertainty.data()), 2, sizeof(float)};
    const View1<std::int64_t> s{reinterpret_cast<const char*>(image.scales.data()), 2,
                                sizeof(std::int64_t)};
    for (const float off : {0.0f, -0.0f}) {
        EXPECT_EQ(score_image(Thresholds{0.5f, off}, boxes, unreadable, u, s), 0.75f);
    }
}

}  // namespace
}  // namespace kiv
