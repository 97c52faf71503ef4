// The parallel row loop on pools of 1, 2, 8 and 64 workers: every row once,
// results independent of the schedule, and the order in which failures win.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "pool/registry.hpp"
#include "pool/row_loop.hpp"

namespace kiv::pool {
namespace {

using namespace std::chrono_literals;

// A lost wake-up shows as a hang: end the test binary instead of waiting for ever.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_wait_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "still running after %lld s: the pool hangs\n",
                               static_cast<long long>(limit.count()));
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        done_wait_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_wait_;
    bool done_ = false;
    std::thread thread_;
};

class RowLoop : public testing::TestWithParam<std::size_t> {
protected:
    Watchdog watchdog_{std::chrono::seconds(120)};
    StandalonePool pool_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(Workers, RowLoop, testing::Values(1, 2, 8, 64),
                         [](const auto& info) { return std::to_string(info.param) + "Workers"; });

TEST_P(RowLoop, CallsTheBodyOnceForEveryRow) {
    for (const std::size_t n : {2, 3, 5, 7, 64, 1000, 4099}) {
        std::vector<std::atomic<int>> calls(n);
        for_each_row_on(pool_.registry(), n, RowBody([&](std::size_t row) {
                            calls[row].fetch_add(1, std::memory_order_relaxed);
                        }));
        for (std::size_t row = 0; row < n; ++row)
            ASSERT_EQ(calls[row].load(), 1) << row << " of " << n;
    }
}

TEST_P(RowLoop, TwoRowsRunOnWorkersWhileTheCallerWaits) {
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id ran_on[2];
    for_each_row_on(pool_.registry(), 2,
                    RowBody([&](std::size_t row) { ran_on[row] = std::this_thread::get_id(); }));
    EXPECT_NE(ran_on[0], caller);
    EXPECT_NE(ran_on[1], caller);
}

// An IoU-like row fill in double precision, as the overlap matrix has it.
struct Fill {
    std::vector<float> boxes;
    std::vector<double> areas;
    std::size_t n;

    explicit Fill(std::size_t rows, unsigned seed) : boxes(4 * rows), areas(rows), n(rows) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<float> coordinate(0.0f, 100.0f);
        for (std::size_t i = 0; i < rows; ++i) {
            float* box = &boxes[4 * i];
            for (int k = 0; k < 4; ++k) box[k] = coordinate(random);
            if (i % 97 == 5) box[2] = std::nanf("");  // NaNs and inverted boxes must travel too
            const float height = box[3] - box[1];
            const float width = box[2] - box[0];
            areas[i] = static_cast<double>(height * width);
        }
    }

    void row(std::size_t a, double* out) const {
        const float* p = &boxes[4 * a];
        for (std::size_t b = 0; b < n; ++b) {
            const float* q = &boxes[4 * b];
            const float left = p[0] > q[0] ? p[0] : q[0];
            const float right = p[2] < q[2] ? p[2] : q[2];
            const float top = p[1] > q[1] ? p[1] : q[1];
            const float bottom = p[3] < q[3] ? p[3] : q[3];
            if (left > right || top > bottom) {
                out[b] = 1.0;
                continue;
            }
            const float height = bottom - top;
            const float width = right - left;
            const double intersection = static_cast<double>(height * width);
            const double union_area = (areas[b] + areas[a]) - intersection;
            out[b] = 1.0 - intersection / (union_area + 1e-16);
        }
    }
};

TEST_P(RowLoop, FillsTheSameBitsAsASequentialLoop) {
    for (const std::size_t n : {2, 33, 777}) {
        const Fill fill(n, static_cast<unsigned>(n));
        std::vector<double> sequential(n * n, 0.0);
        for (std::size_t a = 0; a < n; ++a) fill.row(a, &sequential[a * n]);
        for (int repeat = 0; repeat < 5; ++repeat) {
            std::vector<double> parallel(n * n, 0.0);
            for_each_row_on(pool_.registry(), n,
                            RowBody([&](std::size_t a) { fill.row(a, &parallel[a * n]); }));
            ASSERT_EQ(std::memcmp(parallel.data(), sequential.data(), n * n * sizeof(double)), 0)
                << "n = " << n << ", repeat " << repeat;
        }
    }
}

struct RowFailed {
    std::size_t row;
};

TEST_P(RowLoop, RaisesTheLowestFailingRowAfterEveryPieceHasFinished) {
    constexpr std::size_t kRows = 1000;
    std::atomic<int> in_flight{0};
    std::atomic<int> started{0};
    auto body = [&](std::size_t row) {
        started.fetch_add(1);
        in_flight.fetch_add(1);
        // The lowest failing row fails last in time, the others at once, and
        // rows elsewhere are slow, so a loop that raises the first failure
        // it sees, or raises early, is caught.
        if (row == 5) std::this_thread::sleep_for(30ms);
        if (row % 64 == 40) std::this_thread::sleep_for(2ms);
        const bool fails = row == 5 || row == 300 || row == 301 || row == 700 || row == kRows - 1;
        in_flight.fetch_sub(1);
        if (fails) throw RowFailed{row};
    };
    for (int repeat = 0; repeat < 3; ++repeat) {
        started = 0;
        try {
            for_each_row_on(pool_.registry(), kRows, RowBody(body));
            FAIL() << "no failure came back";
        } catch (const RowFailed& failure) {
            EXPECT_EQ(failure.row, 5u);
            EXPECT_EQ(in_flight.load(), 0) << "raised while rows were still running";
        }
        const int started_at_raise = started.load();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(started.load(), started_at_raise) << "rows ran after the failure was raised";
    }
}

TEST_P(RowLoop, SurvivesManyCallersAndTinyLoops) {
    // Hand-ins from several threads at once, and loops too short for workers
    // to stay awake between them: the paths where a wake-up can get lost.
    std::vector<std::thread> callers;
    std::atomic<bool> all_rows_once{true};
    for (int c = 0; c < 4; ++c) {
        callers.emplace_back([&, c] {
            for (int loop = 0; loop < 300; ++loop) {
                const std::size_t n = 2 + static_cast<std::size_t>((loop * 7 + c) % 40);
                std::vector<std::atomic<int>> calls(n);
                for_each_row_on(pool_.registry(), n, RowBody([&](std::size_t row) {
                                    calls[row].fetch_add(1, std::memory_order_relaxed);
                                }));
                for (auto& count : calls) {
                    if (count.load() != 1) all_rows_once = false;
                }
                // Pauses of varying length let workers fall asleep at every stage.
                std::this_thread::sleep_for(std::chrono::microseconds((loop * 37 + c * 11) % 200));
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_TRUE(all_rows_once.load());
}

TEST(GlobalRowLoop, ZeroRowsAndOneRowRunOnTheCaller) {
    std::vector<std::thread::id> ran_on;
    for_each_row_parallel(0, [&](std::size_t) { ran_on.push_back(std::this_thread::get_id()); });
    EXPECT_TRUE(ran_on.empty());
    EXPECT_GE(current_num_threads(), 1u);
    for_each_row_parallel(1, [&](std::size_t row) {
        EXPECT_EQ(row, 0u);
        ran_on.push_back(std::this_thread::get_id());
    });
    ASSERT_EQ(ran_on.size(), 1u);
    EXPECT_EQ(ran_on[0], std::this_thread::get_id());
}

}  // namespace
}  // namespace kiv::pool
