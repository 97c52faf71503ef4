#include "pool/global_registry.hpp"

#include <linux/futex.h>
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

// Where creation stands, in the low two bits of g_state; the pid of the
// process that got there is in the bits above (Linux pids stay below 2^22).
constexpr std::uint32_t kPhaseMask = 3;
constexpr std::uint32_t kCreating = 1;
constexpr std::uint32_t kReady = 2;
constexpr std::uint32_t kFailed = 3;

// The once-only initialiser. It carries the pid because a forked child
// inherits it: a state from another pid means "not made in this process",
// and the child starts afresh without touching anything the parent might
// have held locked at the fork.
std::atomic<std::uint32_t> g_state{0};

// The pool, once g_state says kReady for this process.
std::atomic<Registry*> g_registry{nullptr};

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
Registry& create(std::uint32_t ours) {
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
        publish(ours | kFailed);
        throw;
    }
    if (registry == nullptr) {
        publish(ours | kFailed);
        fail(pool_start_failed_message(errnum));
    }
    registry->keep_for_life_of_process();
    // Relaxed: publish() releases it.
    g_registry.store(registry.get(), std::memory_order_relaxed);
    publish(ours | kReady);
    return *registry;
}

}  // namespace

Registry& global_registry() {
    // getpid on every entry: after fork the child must not use the parent's
    // pool, whose threads it did not inherit.
    const std::uint32_t ours = static_cast<std::uint32_t>(::getpid()) << 2;
    // Acquire pairs with publish(): kReady makes the registry visible.
    std::uint32_t state = g_state.load(std::memory_order_acquire);
    for (;;) {
        if ((state & ~kPhaseMask) == ours) {
            switch (state & kPhaseMask) {
                case kReady:
                    // Relaxed: ordered by the acquire load of g_state.
                    return *g_registry.load(std::memory_order_relaxed);
                case kFailed:
                    fail(pool_already_failed_message());
                default:
                    // Another thread of ours is creating it; wait for it.
                    wait_while_equal(state);
                    state = g_state.load(std::memory_order_acquire);
                    continue;
            }
        }
        // Nothing made in this process yet (or only in the parent before a
        // fork). Acquire on both outcomes, as for the load above.
        if (g_state.compare_exchange_weak(state, ours | kCreating, std::memory_order_acquire,
                                          std::memory_order_acquire)) {
            return create(ours);
        }
    }
}

}  // namespace kiv::pool
