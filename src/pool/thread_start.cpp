#include "pool/thread_start.hpp"

#include <pthread.h>

#include <atomic>
#include <memory>

namespace kiv::pool {
namespace {

// A test sets the starter before the pool it wants to break exists; the
// pool reads it on the creating thread. Nothing else travels with the
// pointer, so relaxed order is enough.
std::atomic<ThreadStarter> g_starter{&start_detached_thread};

// pthread wants void* (*)(void*); the starter's callers hand a plain entry.
struct Trampoline {
    // What the new thread runs.
    ThreadEntry entry;
    // What it runs it with.
    void* argument;
};

void* run_trampoline(void* raw) {
    std::unique_ptr<Trampoline> owned(static_cast<Trampoline*>(raw));
    const Trampoline trampoline = *owned;
    owned.reset();  // a worker runs for the life of the process; free this now
    trampoline.entry(trampoline.argument);
    return nullptr;
}

}  // namespace

int start_detached_thread(ThreadEntry entry, void* argument) {
    // pthread with an explicit stack size stands in for CreateThread's 2 MiB
    // reservation; created detached, so nothing ever joins it. No name is set.
    pthread_attr_t attr;
    if (const int err = pthread_attr_init(&attr); err != 0) return err;
    int err = pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    if (err == 0) err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (err == 0) {
        auto trampoline = std::make_unique<Trampoline>(Trampoline{entry, argument});
        pthread_t thread;
        err = pthread_create(&thread, &attr, &run_trampoline, trampoline.get());
        // The new thread owns the trampoline from here on.
        if (err == 0) (void)trampoline.release();
    }
    pthread_attr_destroy(&attr);
    return err;
}

void set_thread_starter(ThreadStarter starter) {
    g_starter.store(starter, std::memory_order_relaxed);
}

ThreadStarter thread_starter() { return g_starter.load(std::memory_order_relaxed); }

}  // namespace kiv::pool
