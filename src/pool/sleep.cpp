#include "pool/sleep.hpp"

#include "pool/messages.hpp"

namespace kiv::pool {
namespace {

// The fields of Sleep::counters_.
constexpr std::uint64_t kOneIdle = 1;
constexpr std::uint64_t kOneSleeping = std::uint64_t{1} << 20;
constexpr std::uint64_t kOneEpoch = std::uint64_t{1} << 40;
constexpr std::uint64_t kFieldMask = (std::uint64_t{1} << 20) - 1;

std::uint64_t idle_of(std::uint64_t counters) { return counters & kFieldMask; }
std::uint64_t sleeping_of(std::uint64_t counters) { return (counters >> 20) & kFieldMask; }
std::uint32_t epoch_of(std::uint64_t counters) {
    return static_cast<std::uint32_t>(counters >> 40);
}

}  // namespace

Sleep::Sleep(std::size_t workers) : workers_(workers), slots_(std::make_unique<Slot[]>(workers)) {}

void Sleep::start_looking() noexcept {
    // Relaxed: only a hint to new_job() whether to wake anyone. A job that
    // finds the count stale is still taken: an idle worker reaching sleep()
    // sees the epoch it bumped.
    counters_.fetch_add(kOneIdle, std::memory_order_relaxed);
}

void Sleep::stop_looking() noexcept {
    // Relaxed, as in start_looking().
    counters_.fetch_sub(kOneIdle, std::memory_order_relaxed);
}

std::uint32_t Sleep::epoch() const noexcept {
    // seq_cst pairs with new_job()'s bump: reading its epoch makes the job it
    // announced visible to the search that follows; an older epoch fails the
    // CAS in sleep().
    return epoch_of(counters_.load(std::memory_order_seq_cst));
}

void Sleep::sleep(std::size_t index, std::uint32_t seen, JoinLatch* latch) {
    Slot& slot = slots_[index];
    std::unique_lock<std::mutex> lock(slot.mutex);
    if (latch != nullptr && !latch->announce_sleep()) return;
    // Blocked before counted asleep: a waker that sees us counted finds the
    // flag (relaxed; the CAS below publishes it with release).
    slot.blocked.store(true, std::memory_order_relaxed);
    std::uint64_t counters = counters_.load(std::memory_order_relaxed);
    do {
        if (epoch_of(counters) != seen) {
            // A job came since our last search: look again instead.
            slot.blocked.store(false, std::memory_order_relaxed);
            if (latch != nullptr) latch->withdraw_sleep();
            return;
        }
        // seq_cst: in one order with new_job()'s bump, so either we see its
        // epoch here or it sees us asleep and wakes someone.
    } while (!counters_.compare_exchange_weak(counters, counters - kOneIdle + kOneSleeping,
                                              std::memory_order_seq_cst,
                                              std::memory_order_relaxed));
    // The waker clears the flag and moves us back to idle in the counters.
    slot.wake.wait(lock, [&slot] { return !slot.blocked.load(std::memory_order_relaxed); });
    if (latch != nullptr) latch->withdraw_sleep();
}

void Sleep::new_job() {
    // seq_cst: see sleep(). The read-modify-write also acquires every
    // sleeper's CAS before it, so their blocked flags are visible to wake_one().
    const std::uint64_t counters =
        counters_.fetch_add(kOneEpoch, std::memory_order_seq_cst) + kOneEpoch;
    if (sleeping_of(counters) > 0 && idle_of(counters) == 0) wake_one();
}

void Sleep::wake_worker(std::size_t index) { (void)wake_slot(index); }

void Sleep::wake_all() {
    // seq_cst, as in new_job(): a worker between its last search and its
    // sleep sees the new epoch and stays awake to notice the stop.
    counters_.fetch_add(kOneEpoch, std::memory_order_seq_cst);
    for (std::size_t i = 0; i < workers_; ++i) (void)wake_slot(i);
}

bool Sleep::wake_slot(std::size_t index) {
    Slot& slot = slots_[index];
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (!slot.blocked.load(std::memory_order_relaxed)) return false;
    slot.blocked.store(false, std::memory_order_relaxed);
    // Counted idle at once, so the next new_job() does not wake a second
    // worker for work this one is about to look for. Relaxed, as in
    // start_looking(); the mutex hands the change to the sleeper.
    counters_.fetch_sub(kOneSleeping - kOneIdle, std::memory_order_relaxed);
    slot.wake.notify_one();
    return true;
}

void Sleep::wake_one() {
    // Relaxed: any starting point will do.
    const std::size_t start = next_scan_.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t k = 0; k < workers_; ++k) {
        const std::size_t i = (start + k) % workers_;
        // Relaxed pre-check; wake_slot() confirms under the mutex.
        if (slots_[i].blocked.load(std::memory_order_relaxed) && wake_slot(i)) return;
    }
}

void JoinLatch::set() noexcept {
    // Once set, the latch may vanish with its owner's frame: copy what the
    // wake-up needs first.
    Sleep& sleep = *sleep_;
    const std::size_t owner = owner_;
    // Release publishes the job's rows and result to the owner's probe().
    if (state_.exchange(kSet, std::memory_order_release) == kSleeping) {
        // A failure to wake the owner would leave it asleep for ever.
        try {
            sleep.wake_worker(owner);
        } catch (...) {
            abort_broken_pool();
        }
    }
}

}  // namespace kiv::pool
