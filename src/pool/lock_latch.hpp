// The latch a thread from outside the pool sleeps on while its job runs.
#pragma once

#include <condition_variable>
#include <mutex>

namespace kiv::pool {

// A mutex, a condition variable and a flag. Each outside thread keeps one
// and reuses it for every job it hands in, resetting it after each wait.
// std::mutex/std::condition_variable are futex-based in glibc and put the
// waiter to sleep without spinning, so it leaves the processors to workers.
class LockLatch {
public:
    // Sets the flag and wakes the waiter. The latch belongs to the waiting
    // thread, which cannot leave its wait before the mutex is released here,
    // so the latch outlives this call.
    void set() {
        std::lock_guard<std::mutex> lock(mutex_);
        is_set_ = true;
        condition_.notify_all();
    }

    // Blocks until set() has run, then makes the latch ready for the next job.
    // The mutex orders everything the job wrote before the caller's reads.
    void wait_and_reset() {
        std::unique_lock<std::mutex> lock(mutex_);
        condition_.wait(lock, [this] { return is_set_; });
        is_set_ = false;
    }

private:
    // Guards is_set_ and pairs every set with the wait that sees it.
    std::mutex mutex_;
    // Where the waiting thread sleeps.
    std::condition_variable condition_;
    // True from set() until the waiter has seen it.
    bool is_set_ = false;
};

}  // namespace kiv::pool
