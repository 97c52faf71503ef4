// The confidence of a detection: a packed row is reduced four lanes at a
// time, which must give the sequential rule's bits and failures exactly.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "engine/filter_by_score.hpp"
#include "runtime/failure.hpp"

namespace kiv {
namespace {

// The rule as stated: a running maximum that takes the later of equal values
// and gives up when neither comparison holds.
std::optional<float> sequential_max(const std::vector<float>& row) {
    float m = row[0];
    for (std::size_t k = 1; k < row.size(); ++k) {
        if (row[k] >= m) {
            m = row[k];
        } else if (!(m >= row[k])) {
            return std::nullopt;
        }
    }
    return m;
}

std::optional<std::uint32_t> engine_max_bits(const View2<float>& rows, std::size_t row) {
    testing::internal::CaptureStderr();
    std::optional<std::uint32_t> bits;
    try {
        bits = std::bit_cast<std::uint32_t>(row_max(rows, row));
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message(), "called `Option::unwrap()` on a `None` value");
    }
    testing::internal::GetCapturedStderr();
    return bits;
}

TEST(RowMax, PackedAndStridedRowsFollowTheSequentialRule) {
    const float values[] = {0.0f,
                            -0.0f,
                            0.5f,
                            -0.5f,
                            1.0f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::quiet_NaN()};
    std::mt19937 rng(7);
    for (int trial = 0; trial < 4000; ++trial) {
        const std::size_t length = 1 + rng() % 37;
        // Mostly ordinary rows; some drawn from the odd values only, so that
        // zero maxima of either sign and lone NaNs come up often.
        const bool odd_only = rng() % 3 == 0;
        const int nan_odds = rng() % 2 ? 1000 : 60;
        std::vector<float> row(length);
        for (float& x : row) {
            x = odd_only ? values[rng() % 8] : std::uniform_real_distribution<float>(-1, 1)(rng);
            if (static_cast<int>(rng() % nan_odds) == 0) x = values[8];
        }
        const auto expected = sequential_max(row);

        // The same row once packed, once with every other column skipped.
        std::vector<float> spread(2 * length);
        for (std::size_t k = 0; k < length; ++k) spread[2 * k] = row[k];
        const View2<float> packed{reinterpret_cast<const char*>(row.data()), 1, length, 0,
                                  sizeof(float)};
        const View2<float> strided{reinterpret_cast<const char*>(spread.data()), 1, length, 0,
                                   2 * sizeof(float)};
        for (const View2<float>& view : {packed, strided}) {
            const auto got = engine_max_bits(view, 0);
            ASSERT_EQ(got.has_value(), expected.has_value()) << "trial " << trial;
            if (expected) {
                ASSERT_EQ(*got, std::bit_cast<std::uint32_t>(*expected)) << "trial " << trial;
            }
        }
    }
}

}  // namespace
}  // namespace kiv
