// When idle workers go to sleep and who wakes them.
//
// One 64-bit word counts the idle workers that are awake, the sleeping ones,
// and job events (the epoch). A worker about to sleep reads the epoch, looks
// for work once more, and then sleeps only if the epoch is unchanged: a job
// published in between bumps the epoch, so it is never missed. A new job
// wakes one sleeper, and only when no awake worker is idle to find it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "pool/join_latch.hpp"

namespace kiv::pool {

class Sleep {
public:
    // Room for `workers` sleepers, numbered from 0.
    explicit Sleep(std::size_t workers);

    // The calling worker starts looking for work; it counts as idle and awake.
    void start_looking() noexcept;

    // The calling worker found work or gives up looking.
    void stop_looking() noexcept;

    // The current epoch; read it before the last search ahead of sleep().
    std::uint32_t epoch() const noexcept;

    // Puts worker `index` to sleep until woken, unless a job event happened
    // since the epoch `seen` or `latch` (when given) is already set. On return
    // the worker counts as idle and awake again.
    void sleep(std::size_t index, std::uint32_t seen, JoinLatch* latch);

    // Call after a job became visible to other workers.
    void new_job();

    // Wakes worker `index` if it sleeps.
    void wake_worker(std::size_t index);

    // Bumps the epoch and wakes every sleeper; used when the pool stops.
    void wake_all();

private:
    // One sleeping place per worker.
    struct Slot {
        // Guards `blocked` against a waker and the worker's wait.
        std::mutex mutex;
        // Where the worker sleeps.
        std::condition_variable wake;
        // True while the worker sleeps. Written under the mutex; read without
        // it by wakers scanning for a sleeper, who confirm under the mutex.
        std::atomic<bool> blocked{false};
    };

    // Moves worker `index` from sleeping to idle if it sleeps; true if it did.
    bool wake_slot(std::size_t index);

    // Wakes one sleeper, if any can be found.
    void wake_one();

    // Idle awake workers in bits 0-19, sleepers in bits 20-39 (at most 65535
    // each), the epoch in bits 40-63, wrapping.
    std::atomic<std::uint64_t> counters_{0};
    // Where wake_one() starts scanning, so wake-ups spread over the workers.
    std::atomic<std::size_t> next_scan_{0};
    // How many slots there are.
    std::size_t workers_;
    // The slots, one per worker.
    std::unique_ptr<Slot[]> slots_;
};

}  // namespace kiv::pool
