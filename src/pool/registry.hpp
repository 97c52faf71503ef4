// A pool of worker threads: their deques, the queue of jobs handed in from
// outside, and the loop each worker runs until the pool stops (the global
// pool never does).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pool/injector.hpp"
#include "pool/job.hpp"
#include "pool/join_latch.hpp"
#include "pool/sleep.hpp"
#include "pool/thread_start.hpp"
#include "pool/work_deque.hpp"

namespace kiv::pool {

class Registry;

// One worker of a pool, as seen from its own thread.
class WorkerThread {
public:
    WorkerThread(Registry& registry, std::size_t index);
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // The pool this worker belongs to.
    Registry& registry() const noexcept { return registry_; }

    // This worker's number, from 0.
    std::size_t index() const noexcept { return index_; }

    // Offers a forked job to thieves and wakes a sleeper if none is idle.
    void push(Job* job) noexcept;

    // Takes back the newest job of this worker's deque, or nullptr.
    Job* pop() noexcept { return deque_.pop(); }

    // Runs other jobs until `latch` is set (until the pool stops when it is
    // nullptr), sleeping when there are none.
    void work_until(JoinLatch* latch) noexcept;

private:
    friend class Registry;

    // A job from this deque, another worker's deque or the injector, in that
    // order. Sets `contended` when a job may exist but another thread was in
    // the way.
    Job* find_work(bool& contended) noexcept;

    // True when work_until() may return.
    bool finished(const JoinLatch* latch) const noexcept;

    // The pool this worker belongs to.
    Registry& registry_;
    // This worker's number.
    std::size_t index_;
    // This worker's forked jobs.
    WorkDeque deque_;
    // State of the xorshift generator that picks where stealing starts.
    std::uint64_t victim_seed_;
};

// The worker the calling thread is, or nullptr on every other thread.
WorkerThread* current_worker() noexcept;

// A worker thread could not be started; carries the errno value.
struct PoolStartError {
    int errnum;
};

class Registry : public std::enable_shared_from_this<Registry> {
    struct Passkey {};

public:
    // Starts `workers` threads through `starter`, for indices 0 to workers-1.
    // If one cannot be started, the ones already running are told to stop
    // and PoolStartError is thrown.
    static std::shared_ptr<Registry> start(std::size_t workers, ThreadStarter starter);

    // A pool whose one worker is the calling thread; no thread is started.
    static std::shared_ptr<Registry> adopt_calling_thread();

    Registry(Passkey, std::size_t workers);
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The number of workers, fixed at creation.
    std::size_t num_threads() const noexcept { return workers_.size(); }

    // Appends a job from outside the pool to the shared queue and wakes a
    // sleeper if no worker is idle.
    void inject(Job* job);

    // Where this pool's idle workers sleep.
    Sleep& sleep() noexcept { return sleep_; }

    // Tells every worker to leave once it is idle. Only for pools that have
    // no job in flight; the registry then dies with the last worker.
    void stop();

    // Ties the registry's life to the process: it is never destroyed.
    void keep_for_life_of_process();

private:
    friend class WorkerThread;

    // What a started thread runs: the loop of worker `index` of `registry`.
    struct WorkerStart {
        std::shared_ptr<Registry> registry;
        std::size_t index;
    };
    static void worker_entry(void* start) noexcept;

    // The workers, indexed by number; each holds its own deque.
    std::vector<std::unique_ptr<WorkerThread>> workers_;
    // Jobs handed in from threads outside the pool.
    Injector injector_;
    // The idle workers' sleeping places and counters.
    Sleep sleep_;
    // Set once, by stop(); workers leave their loop when they see it.
    std::atomic<bool> stopping_{false};
    // Set by keep_for_life_of_process(): the registry owns itself.
    std::shared_ptr<Registry> self_;
};

// A pool that lives as long as this object, for tests and benchmarks that
// need a given worker count; the process-wide pool is made once per process.
class StandalonePool {
public:
    // Throws PoolStartError when a thread cannot be started.
    explicit StandalonePool(std::size_t workers, ThreadStarter starter = thread_starter())
        : registry_(Registry::start(workers, starter)) {}
    StandalonePool(const StandalonePool&) = delete;
    StandalonePool& operator=(const StandalonePool&) = delete;
    ~StandalonePool() { registry_->stop(); }

    // The pool, to hand rows to.
    Registry& registry() const noexcept { return *registry_; }

private:
    // Shared with the workers, which release it as they leave.
    std::shared_ptr<Registry> registry_;
};

}  // namespace kiv::pool
