#include "pool/registry.hpp"

#include <sched.h>

#include <algorithm>

#include "pool/messages.hpp"

namespace kiv::pool {
namespace {

// Searches an idle worker makes, yielding the processor between them, before
// it considers sleeping. About as long as a short job takes to appear.
constexpr unsigned kSearchesBeforeSleep = 32;

// Marks a pool worker; null on every other thread. thread_local is the Linux
// counterpart of a TLS slot: set once when the worker starts.
thread_local WorkerThread* t_current_worker = nullptr;

std::uint64_t next_random(std::uint64_t& state) noexcept {
    // xorshift64: cheap, and any spread of starting victims will do.
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

WorkerThread* current_worker() noexcept { return t_current_worker; }

WorkerThread::WorkerThread(Registry& registry, std::size_t index)
    : registry_(registry), index_(index), victim_seed_(0x9E3779B97F4A7C15ull * (index + 1)) {}

void WorkerThread::push(Job* job) noexcept {
    try {
        deque_.push(job);
        registry_.sleep_.new_job();
    } catch (...) {
        abort_broken_pool();
    }
}

bool WorkerThread::finished(const JoinLatch* latch) const noexcept {
    if (latch != nullptr) return latch->probe();
    // Acquire pairs with stop()'s release; the flag is only ever set.
    return registry_.stopping_.load(std::memory_order_acquire);
}

Job* WorkerThread::find_work(bool& contended) noexcept {
    if (Job* job = deque_.pop()) return job;
    const auto& workers = registry_.workers_;
    const std::size_t count = workers.size();
    if (count > 1) {
        const std::size_t start = static_cast<std::size_t>(next_random(victim_seed_) % count);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t victim = (start + k) % count;
            if (victim == index_) continue;
            const Steal stolen = workers[victim]->deque_.steal();
            if (stolen.job != nullptr) return stolen.job;
            contended = contended || stolen.lost_race;
        }
    }
    return registry_.injector_.try_pop(contended);
}

void WorkerThread::work_until(JoinLatch* latch) noexcept {
    try {
        Sleep& sleep = registry_.sleep_;
        sleep.start_looking();
        unsigned searches = 0;
        std::uint32_t seen_epoch = 0;
        while (!finished(latch)) {
            bool contended = false;
            if (Job* job = find_work(contended)) {
                sleep.stop_looking();
                execute(job);
                sleep.start_looking();
                searches = 0;
                continue;
            }
            if (contended) {
                // Someone else held what we wanted; there may be more. Not a
                // fruitless search.
                sched_yield();
                continue;
            }
            if (searches < kSearchesBeforeSleep) {
                ++searches;
                // sched_yield is the Linux counterpart of SwitchToThread.
                sched_yield();
                continue;
            }
            if (searches == kSearchesBeforeSleep) {
                // One more search, against this epoch: a job published after
                // this read changes it and keeps us from sleeping.
                seen_epoch = sleep.epoch();
                ++searches;
                continue;
            }
            // Read after the epoch, so a stop before it is seen here.
            if (finished(latch)) break;
            sleep.sleep(index_, seen_epoch, latch);
            searches = 0;
        }
        sleep.stop_looking();
    } catch (...) {
        abort_broken_pool();
    }
}

Registry::Registry(Passkey, std::size_t workers) : sleep_(workers) {
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        workers_.push_back(std::make_unique<WorkerThread>(*this, i));
    }
}

std::shared_ptr<Registry> Registry::start(std::size_t workers, ThreadStarter starter) {
    auto registry = std::make_shared<Registry>(Passkey{}, workers);
    for (std::size_t i = 0; i < workers; ++i) {
        auto start = std::make_unique<WorkerStart>(WorkerStart{registry, i});
        if (const int errnum = starter(&Registry::worker_entry, start.get()); errnum != 0) {
            registry->stop();
            throw PoolStartError{errnum};
        }
        // The new thread owns its start record from here on.
        (void)start.release();
    }
    return registry;
}

std::shared_ptr<Registry> Registry::adopt_calling_thread() {
    auto registry = std::make_shared<Registry>(Passkey{}, 1);
    t_current_worker = registry->workers_.front().get();
    return registry;
}

void Registry::worker_entry(void* raw_start) noexcept {
    try {
        std::shared_ptr<Registry> registry;
        std::size_t index = 0;
        {
            const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(raw_start));
            registry = std::move(start->registry);
            index = start->index;
        }
        WorkerThread& me = *registry->workers_[index];
        t_current_worker = &me;
        me.work_until(nullptr);
        t_current_worker = nullptr;
        // The registry may die here, with its last worker.
    } catch (...) {
        abort_broken_pool();
    }
}

void Registry::inject(Job* job) {
    injector_.push(job);
    sleep_.new_job();
}

void Registry::stop() {
    // Release pairs with the workers' acquire in finished(); wake_all()'s
    // epoch bump keeps a worker on its way to sleep from missing the flag.
    stopping_.store(true, std::memory_order_release);
    sleep_.wake_all();
}

void Registry::keep_for_life_of_process() { self_ = shared_from_this(); }

}  // namespace kiv::pool
