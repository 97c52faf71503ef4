// One worker's deque of forked jobs: the owner pushes and pops at the bottom,
// any other worker steals from the top (Chase and Lev's deque, with the C11
// orderings of Le, Pop, Cohen and Zappa Nardelli, PPoPP 2013).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pool/job.hpp"
#include "pool/messages.hpp"

namespace kiv::pool {

// A cache line on the x86-64 and arm64 machines this runs on; top_ and
// bottom_ get one each so thieves and owner do not share a line.
inline constexpr std::size_t kCacheLine = 64;

// What one steal attempt found.
struct Steal {
    // The stolen job, or nullptr.
    Job* job = nullptr;
    // True when another thread won the race for the top job; try again later.
    bool lost_race = false;
};

class WorkDeque {
public:
    // Forks nest about log2(rows) deep, so the first ring rarely has to grow.
    explicit WorkDeque(std::int64_t capacity = 64) {
        rings_.push_back(std::make_unique<Ring>(capacity));
        ring_.store(rings_.back().get(), std::memory_order_relaxed);
    }
    WorkDeque(const WorkDeque&) = delete;
    WorkDeque& operator=(const WorkDeque&) = delete;

    // Owner only. Publishes `job` to thieves.
    void push(Job* job) noexcept {
        // Only the owner writes bottom_ and ring_: relaxed reads see its own writes.
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        const Ring* ring = ring_.load(std::memory_order_relaxed);
        // Acquire pairs with a thief's successful CAS of top_: its read of the
        // slot we may be about to reuse then happens before our overwrite.
        const std::int64_t t = top_.load(std::memory_order_acquire);
        if (b - t > ring->mask) ring = grow(b, t);
        ring->put(b, job);
        // Release publishes the slot written above to thieves that read
        // bottom_ with acquire.
        bottom_.store(b + 1, std::memory_order_release);
    }

    // Owner only. The newest job, or nullptr when the deque is empty or a
    // thief took the last job first.
    Job* pop() noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        const Ring* ring = ring_.load(std::memory_order_relaxed);
        // seq_cst store then seq_cst load: the claim on slot b and the read of
        // top_ stay in this order against a thief's seq_cst loads of top_ and
        // bottom_ (a store-load pair, which weaker orders would let swap).
        bottom_.store(b, std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        if (t > b) {
            // Empty: undo the claim. Nobody reads a slot at or beyond top_ here.
            bottom_.store(b + 1, std::memory_order_relaxed);
            return nullptr;
        }
        Job* job = ring->get(b);
        if (t == b) {
            // The last job: thieves may want it too; the CAS on top_ decides.
            // seq_cst keeps it in the one order with the thieves' CAS.
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                job = nullptr;
            }
            // top_ is now b + 1 either way; the deque is empty again.
            bottom_.store(b + 1, std::memory_order_relaxed);
        }
        return job;
    }

    // Any thread. Takes the oldest job.
    Steal steal() noexcept {
        // seq_cst loads, top_ first: see pop() for the pairing.
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        // Also acquire: a bottom_ value from push() makes its slot visible.
        const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        if (t >= b) return {};
        // Acquire pairs with grow()'s release, so a new ring is seen filled.
        // An older ring still holds slot t: the owner copies, never clears.
        const Ring* ring = ring_.load(std::memory_order_acquire);
        Job* job = ring->get(t);
        // seq_cst: one order with the owner's CAS on the last job and with
        // its store-load pair in pop(). Release also tells push() we are done
        // reading slot t.
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            return {nullptr, true};
        }
        return {job, false};
    }

    // Any thread. A hint only: true when the deque held no job a moment ago.
    bool looks_empty() const noexcept {
        // Relaxed: a stale answer only delays a search; the sleep protocol
        // re-checks under its own ordering before anyone sleeps.
        return top_.load(std::memory_order_relaxed) >= bottom_.load(std::memory_order_relaxed);
    }

private:
    // A power-of-two array of slots indexed by position modulo its size.
    struct Ring {
        explicit Ring(std::int64_t capacity)
            : mask(capacity - 1), slots(std::make_unique<std::atomic<Job*>[]>(capacity)) {}

        // Stores into the slot of position i; relaxed, the index publishes it.
        void put(std::int64_t i, Job* job) const noexcept {
            slots[i & mask].store(job, std::memory_order_relaxed);
        }
        // Reads the slot of position i; relaxed, ordered by the index reads.
        Job* get(std::int64_t i) const noexcept {
            return slots[i & mask].load(std::memory_order_relaxed);
        }

        // Capacity minus one; positions are masked with it.
        std::int64_t mask;
        // The slots; atomics because a thief may read one while the owner writes another.
        std::unique_ptr<std::atomic<Job*>[]> slots;
    };

    // Owner only. Moves positions [t, b) into a ring twice the size.
    const Ring* grow(std::int64_t b, std::int64_t t) noexcept {
        try {
            const Ring* old = ring_.load(std::memory_order_relaxed);
            rings_.push_back(std::make_unique<Ring>(2 * (old->mask + 1)));
            const Ring* bigger = rings_.back().get();
            for (std::int64_t i = t; i < b; ++i) bigger->put(i, old->get(i));
            // Release: a thief that sees the new ring sees it filled. The old
            // ring stays in rings_, since a thief may still be reading it.
            ring_.store(bigger, std::memory_order_release);
            return bigger;
        } catch (...) {
            // Out of memory inside the pool's own bookkeeping.
            abort_broken_pool();
        }
    }

    // Index of the oldest job; only ever raised, by thieves and by the owner's
    // last-job CAS. Its own cache line, apart from the owner's bottom_.
    alignas(kCacheLine) std::atomic<std::int64_t> top_{0};
    // One past the newest job; written by the owner only.
    alignas(kCacheLine) std::atomic<std::int64_t> bottom_{0};
    // The ring in use; replaced (never freed) when it grows.
    std::atomic<const Ring*> ring_{nullptr};
    // Every ring this deque has used, owned here until the deque dies. Owner only.
    std::vector<std::unique_ptr<Ring>> rings_;
};

}  // namespace kiv::pool
