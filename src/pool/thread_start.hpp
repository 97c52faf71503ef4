// Starting a worker thread, behind a pointer that tests can replace.
#pragma once

#include <cstddef>

namespace kiv::pool {

// Every worker gets this much stack; it is reserved at creation and only
// committed as the thread touches it.
inline constexpr std::size_t kWorkerStackBytes = std::size_t{2} << 20;

// What a started thread runs; it owns `argument` from its first instruction.
using ThreadEntry = void (*)(void* argument);

// Starts a detached thread running entry(argument) and returns 0, or returns
// the errno value that says why it could not; on failure entry never runs and
// `argument` stays with the caller.
using ThreadStarter = int (*)(ThreadEntry entry, void* argument);

// The real starter: an unnamed, detached pthread with a 2 MiB stack.
int start_detached_thread(ThreadEntry entry, void* argument);

// The starter that pools use from now on; tests put failing ones in place.
void set_thread_starter(ThreadStarter starter);

// The starter in place, start_detached_thread unless a test replaced it.
ThreadStarter thread_starter();

}  // namespace kiv::pool
