#include "pool/global_registry.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "pool/messages.hpp"
#include "pool/worker_count.hpp"
#include "runtime/failure.hpp"

namespace kiv::pool {
namespace {

// Where creation stands in this process.
constexpr std::uint32_t kNotStarted = 0;
constexpr std::uint32_t kCreating = 1;
constexpr std::uint32_t kReady = 2;
constexpr std::uint32_t kFailed = 3;

// The once-only initialiser.
std::atomic<std::uint32_t> g_state{kNotStarted};

// The pool, once g_state says kReady.
std::atomic<Registry*> g_registry{nullptr};

// A forked child inherits the parent's pool but none of its threads. The
// child handler, run by fork() in the child while it has a single thread,
// forgets that pool (its memory is left alone: the parent may have held its
// locks at the fork) so that the child's first run makes a pool of its own.
// A handler rather than a getpid() check on every entry keeps small runs cheap.
void forget_pool_in_child() {
    g_registry.store(nullptr, std::memory_order_relaxed);
    g_state.store(kNotStarted, std::memory_order_relaxed);
}

const int g_fork_handler_registered = pthread_atfork(nullptr, nullptr, &forget_pool_in_child);

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex calls below address the atomic's own word");

// A raw futex rather than a mutex: a mutex inherited over fork could be held
// by a parent thread that does not exist in the child.
void wait_while_equal(std::uint32_t value) {
    (void)syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&g_state), FUTEX_WAIT_PRIVATE, value,
                  nullptr, nullptr, 0);
}

void wake_all_waiters() {
    (void)syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&g_state), FUTEX_WAKE_PRIVATE,
                  INT_MAX, nullptr, nullptr, 0);
}

void publish(std::uint32_t state) {
    // Release: the registry stored before is visible to whoever reads kReady.
    g_state.store(state, std::memory_order_release);
    wake_all_waiters();
}

// The platform starts no threads at all (as opposed to running out of them
// for now, EAGAIN): a sandbox that forbids clone, a kernel without it.
bool threads_unsupported(int errnum) {
    return errnum == ENOSYS || errnum == EOPNOTSUPP || errnum == EPERM;
}

const char* read_environment(const char* name) {
    // getenv is the Linux counterpart of GetEnvironmentVariableW. Python
    // changes the environment only under the interpreter lock, which the
    // calling thread holds.
    return std::getenv(name);
}

// Runs once per process, on the thread that won g_state.
Registry& create() {
    std::shared_ptr<Registry> registry;
    int errnum = 0;
    try {
        const std::size_t workers = worker_count(&read_environment, &available_processors);
        try {
            registry = Registry::start(workers, thread_starter());
        } catch (const PoolStartError& error) {
            errnum = error.errnum;
            if (threads_unsupported(errnum) && current_worker() == nullptr) {
                registry = Registry::adopt_calling_thread();
            }
        }
    } catch (...) {
        publish(kFailed);
        throw;
    }
    if (registry == nullptr) {
        publish(kFailed);
        fail(pool_start_failed_message(errnum));
    }
    registry->keep_for_life_of_process();
    // Relaxed: publish() releases it.
    g_registry.store(registry.get(), std::memory_order_relaxed);
    publish(kReady);
    return *registry;
}

}  // namespace

Registry& global_registry() {
    // Acquire pairs with publish(): kReady makes the registry visible.
    std::uint32_t state = g_state.load(std::memory_order_acquire);
    for (;;) {
        switch (state) {
            case kReady:
                // Relaxed: ordered by the acquire load of g_state.
                return *g_registry.load(std::memory_order_relaxed);
            case kFailed:
                fail(pool_already_failed_message());
            case kCreating:
                // Another thread is creating it; wait for it.
                wait_while_equal(state);
                state = g_state.load(std::memory_order_acquire);
                continue;
            default:
                // Acquire on both outcomes, as for the load above.
                if (g_state.compare_exchange_weak(state, kCreating, std::memory_order_acquire,
                                                  std::memory_order_acquire)) {
                    return create();
                }
        }
    }
}

}  // namespace kiv::pool
