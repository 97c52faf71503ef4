#include "pool/messages.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kiv::pool {
namespace {

// The name of the kind an I/O error of this errno belongs to, as the error's
// debug form shows it.
std::string_view error_kind(int errnum) {
    switch (errnum) {
        case EAGAIN:
            return "WouldBlock";
        case ENOMEM:
            return "OutOfMemory";
        case EPERM:
        case EACCES:
            return "PermissionDenied";
        case EINVAL:
            return "InvalidInput";
        case ENOSYS:
        case EOPNOTSUPP:
            return "Unsupported";
        default:
            return "Uncategorized";
    }
}

// strerror_r comes in two shapes; g++ defines _GNU_SOURCE and gets the GNU one,
// which may return a static string instead of filling the buffer.
[[maybe_unused]] const char* described(char* result, const char*) { return result; }
[[maybe_unused]] const char* described(int, const char* buffer) { return buffer; }

std::string strerror_text(int errnum) {
    char buffer[256] = {};
    return described(strerror_r(errnum, buffer, sizeof buffer), buffer);
}

}  // namespace

std::string pool_start_failed_message(int errnum) {
    return std::string(messages::kNotInitialized) +
           ": ThreadPoolBuildError { kind: IOError(Os { code: " + std::to_string(errnum) +
           ", kind: " + std::string(error_kind(errnum)) + ", message: \"" + strerror_text(errnum) +
           "\" }) }";
}

std::string pool_already_failed_message() {
    return std::string(messages::kNotInitialized) +
           ": ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }";
}

void abort_broken_pool() noexcept {
    // write(2) rather than stdio: the broken thread may hold stderr's lock.
    // One call, so the line is not torn by another thread's report.
    (void)!::write(STDERR_FILENO, messages::kAbortLine.data(), messages::kAbortLine.size());
    // abort() is the Linux counterpart of fast-fail: SIGABRT, no unwinding,
    // no atexit handlers, no flushing of other streams.
    std::abort();
}

}  // namespace kiv::pool
