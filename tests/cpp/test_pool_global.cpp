// The process-wide pool when threads cannot be started. Each case needs a
// process whose pool does not exist yet, so each runs in a fresh child.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "pool/row_loop.hpp"
#include "pool/thread_start.hpp"
#include "runtime/failure.hpp"

namespace kiv::pool {
namespace {

std::size_t live_threads() {
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

// Starts threads for real until the third attempt, which fails as a process
// out of threads does.
std::atomic<int> g_attempts{0};
int third_start_fails(ThreadEntry entry, void* argument) {
    if (g_attempts.fetch_add(1) == 2) return EAGAIN;
    return start_detached_thread(entry, argument);
}

// Fails every start, as a platform that cannot start threads at all does.
int no_threads_at_all(ThreadEntry, void*) {
    g_attempts.fetch_add(1);
    return ENOSYS;
}

std::string failure_of(void (*call)()) {
    try {
        call();
    } catch (const Failure& failure) {
        return failure.message();
    }
    return "(no failure)";
}

#define CHILD_CHECK(condition, ...)                                     \
    do {                                                                \
        if (!(condition)) {                                             \
            std::fprintf(stderr, "CHECK " #condition ": " __VA_ARGS__); \
            std::fputc('\n', stderr);                                   \
            return 1;                                                   \
        }                                                               \
    } while (0)

// Threads in the process once any helper threads of the runtime (a
// sanitizer's, say) that the first thread start brings along are up.
std::size_t settled_threads() {
    std::thread([] {}).join();
    return live_threads();
}

int first_run_fails_then_later_runs_fail_without_retrying() {
    setenv("RAYON_NUM_THREADS", "4", 1);
    const std::size_t before = settled_threads();
    set_thread_starter(&third_start_fails);

    const std::string first = failure_of([] { (void)current_num_threads(); });
    CHILD_CHECK(
        first ==
            "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
            "IOError(Os { code: 11, kind: WouldBlock, message: \"Resource temporarily "
            "unavailable\" }) }",
        "%s", first.c_str());
    const std::string already =
        "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
        "GlobalPoolAlreadyInitialized }";
    const std::string second = failure_of([] { (void)current_num_threads(); });
    CHILD_CHECK(second == already, "%s", second.c_str());
    bool body_ran = false;
    static bool* ran = &body_ran;
    const std::string third =
        failure_of([] { for_each_row_parallel(0, [](std::size_t) { *ran = true; }); });
    CHILD_CHECK(third == already && !body_ran, "%s", third.c_str());
    CHILD_CHECK(g_attempts.load() == 3, "%d thread starts", g_attempts.load());

    // The two workers that did start are told to leave.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (live_threads() != before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    CHILD_CHECK(live_threads() == before, "%zu threads, %zu before", live_threads(), before);
    return 0;
}

int the_calling_thread_becomes_the_only_worker() {
    setenv("RAYON_NUM_THREADS", "4", 1);
    const std::size_t before = settled_threads();
    set_thread_starter(&no_threads_at_all);

    CHILD_CHECK(current_num_threads() == 1, "%zu workers", current_num_threads());
    static int calls[100] = {};
    static bool on_caller = true;
    static const std::thread::id caller = std::this_thread::get_id();
    for_each_row_parallel(100, [](std::size_t row) {
        ++calls[row];
        on_caller = on_caller && std::this_thread::get_id() == caller;
    });
    for (const int count : calls) CHILD_CHECK(count == 1, "a row ran %d times", count);
    CHILD_CHECK(on_caller, "a row ran on another thread");
    CHILD_CHECK(g_attempts.load() == 1, "%d thread starts", g_attempts.load());
    CHILD_CHECK(live_threads() == before, "%zu threads, %zu before", live_threads(), before);
    return 0;
}

class GlobalPool : public testing::Test {
protected:
    // Re-executing the test binary gives the child a process in which the
    // pool was never made, whatever earlier tests did.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(GlobalPool, AThreadThatCannotStartFailsTheFirstRunAndEveryLaterOne) {
    EXPECT_EXIT(std::exit(first_run_fails_then_later_runs_fail_without_retrying()),
                testing::ExitedWithCode(0), "");
}

TEST_F(GlobalPool, WithoutThreadsTheCallingThreadIsTheOnlyWorker) {
    EXPECT_EXIT(std::exit(the_calling_thread_becomes_the_only_worker()), testing::ExitedWithCode(0),
                "");
}

}  // namespace
}  // namespace kiv::pool
