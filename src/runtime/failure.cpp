#include "runtime/failure.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

namespace kiv {
namespace {

// Only the first report of the process carries the note on backtraces.
std::atomic<bool> backtrace_note_written{false};

bool backtrace_requested() {
    const char* value = std::getenv("RUST_BACKTRACE");
    return value != nullptr && std::strcmp(value, "0") != 0;
}

// Paths are shown from the source root, as a reader of the tree knows them.
std::string relative_to_source_root(const char* path) {
    const char* src = std::strstr(path, "/src/");
    return src != nullptr ? std::string(src + 1) : std::string(path);
}

void write_report(const std::string& message, const FailureSite& site) {
    std::string report = "thread '<unnamed>' panicked at " + site.file + ":" +
                         std::to_string(site.line) + ":" + std::to_string(site.column) +
                         ":\n" + message + "\n";
    const bool backtrace = backtrace_requested();
    if (!backtrace && !backtrace_note_written.exchange(true, std::memory_order_relaxed)) {
        report +=
            "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
    }
    // One write call keeps reports from concurrent workers from interleaving.
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    if (backtrace) {
        void* frames[64];
        const int depth = ::backtrace(frames, 64);
        std::fputs("stack backtrace:\n", stderr);
        std::fflush(stderr);
        ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    }
}

}  // namespace

FailureSite FailureSite::here(std::source_location at) {
    return FailureSite{relative_to_source_root(at.file_name()), at.line(), at.column()};
}

void fail(std::string message, FailureSite site) {
    write_report(message, site);
    throw Failure(std::move(message));
}

void fail(std::string message, std::source_location at) {
    fail(std::move(message), FailureSite::here(at));
}

}  // namespace kiv
