// Forks and hand-ins keep their job records in the waiting frames: a loop on
// a pool that is up and running allocates nothing. Counted by replacing the
// global operator new for this test binary.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "pool/registry.hpp"
#include "pool/row_loop.hpp"

namespace {

// Counting is switched on only around the loops under test.
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

// GCC inlines these into callers of the replaced new and then takes malloc's
// memory reaching free for a mismatch; it is the pairing we chose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace kiv::pool {
namespace {

TEST(PoolAllocation, ALoopOnARunningPoolAllocatesNothing) {
    StandalonePool pool(8);
    std::atomic<long> sum{0};
    auto body = [&](std::size_t row) { sum.fetch_add(static_cast<long>(row)); };
    // The first loop may grow a deque; later ones must not allocate.
    for_each_row_on(pool.registry(), 4096, RowBody(body));
    g_counting = true;
    for (int repeat = 0; repeat < 20; ++repeat) {
        for_each_row_on(pool.registry(), 4096, RowBody(body));
        for_each_row_on(pool.registry(), 2, RowBody(body));
    }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_EQ(sum.load(), 21L * (4095L * 4096L / 2) + 20L);
}

}  // namespace
}  // namespace kiv::pool
