// The one failure type of the module and the report written when it happens.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace kiv {

// Where a failing check stands, as the report on standard error names it.
struct FailureSite {
    std::string file;
    unsigned line;
    unsigned column;

    static FailureSite here(std::source_location at = std::source_location::current());
};

// An internal failure: a broken precondition, carried to the Python boundary
// as a plain C++ exception and raised there with its message unchanged.
class Failure : public std::exception {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the failure report to standard error at the moment of failure, on
// whichever thread fails, then throws Failure with the bare message.
[[noreturn]] void fail(std::string message, FailureSite site);
[[noreturn]] void fail(std::string message,
                       std::source_location at = std::source_location::current());

}  // namespace kiv
