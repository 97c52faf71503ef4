// The latch a forking worker waits on for the half of a fork that another
// worker stole. The owner keeps working while it waits and may fall asleep;
// whoever sets the latch then wakes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kiv::pool {

class Sleep;

class JoinLatch {
public:
    // `owner` is the index of the worker that waits, `sleep` where it sleeps.
    JoinLatch(Sleep& sleep, std::size_t owner) noexcept : sleep_(&sleep), owner_(owner) {}
    JoinLatch(const JoinLatch&) = delete;
    JoinLatch& operator=(const JoinLatch&) = delete;

    // True once set(); everything the setter wrote before is then visible.
    bool probe() const noexcept {
        // Acquire pairs with set()'s release: the stolen job's rows and failure.
        return state_.load(std::memory_order_acquire) == kSet;
    }

    // Marks the job done and wakes the owner if it sleeps. Defined in sleep.cpp.
    void set() noexcept;

    // Owner only, under its sleep mutex: announces that it is going to sleep.
    // False when the latch is already set, and the owner must not sleep.
    bool announce_sleep() noexcept {
        std::uint32_t expected = kUnset;
        // Relaxed: the owner re-reads the latch with acquire before leaving;
        // the sleep mutex orders the announcement against set()'s wake.
        return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_relaxed);
    }

    // Owner only, awake again: withdraws the announcement unless set() came.
    void withdraw_sleep() noexcept {
        std::uint32_t expected = kSleeping;
        // Relaxed: a failure means the latch is set, which probe() will see.
        state_.compare_exchange_strong(expected, kUnset, std::memory_order_relaxed);
    }

private:
    // Not set; the owner is awake.
    static constexpr std::uint32_t kUnset = 0;
    // Not set; the owner is asleep or about to be, and set() must wake it.
    static constexpr std::uint32_t kSleeping = 1;
    // Set; final.
    static constexpr std::uint32_t kSet = 2;

    // kUnset, kSleeping or kSet.
    std::atomic<std::uint32_t> state_{kUnset};
    // Where the owner sleeps.
    Sleep* sleep_;
    // The owner's worker index.
    std::size_t owner_;
};

}  // namespace kiv::pool
