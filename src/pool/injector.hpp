// The pool's shared first-in, first-out queue of jobs handed in from threads
// outside the pool.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "pool/job.hpp"

namespace kiv::pool {

// An intrusive list through Job::next_injected, so a hand-in allocates nothing.
class Injector {
public:
    // Appends a job. Called by outside threads, never from inside a job.
    void push(Job* job) {
        std::lock_guard<std::mutex> lock(mutex_);
        job->next_injected = nullptr;
        if (tail_ != nullptr) {
            tail_->next_injected = job;
        } else {
            head_ = job;
        }
        tail_ = job;
        // Relaxed: the count is only a hint for searchers; a worker that
        // might sleep learns of the job through the sleep epoch instead.
        length_.store(length_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    // Takes the oldest job, or returns nullptr. Workers call this, inside
    // jobs too, so it never waits for the mutex: a busy mutex sets
    // `contended` and the worker looks again later.
    Job* try_pop(bool& contended) noexcept {
        // Relaxed hint, see push().
        if (length_.load(std::memory_order_relaxed) == 0) return nullptr;
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            contended = true;
            return nullptr;
        }
        Job* job = head_;
        if (job == nullptr) return nullptr;
        head_ = job->next_injected;
        if (head_ == nullptr) tail_ = nullptr;
        length_.store(length_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        return job;
    }

private:
    // Guards the list; held only for a few pointer moves, never while a job runs.
    std::mutex mutex_;
    // The oldest job, or nullptr.
    Job* head_ = nullptr;
    // The newest job, or nullptr.
    Job* tail_ = nullptr;
    // How many jobs the list holds; written under the mutex, read without it.
    std::atomic<std::size_t> length_{0};
};

}  // namespace kiv::pool
