// Python errors at the boundary: fetching, describing, wrapping and raising.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "lib/py_ref.hpp"

namespace kiv {

// Takes the pending Python error. A PanicException raised by Python code
// (e.g. from a threshold's __float__) is not handed back: it is reported and
// continues as an internal failure. With nothing pending, the result is a
// SystemError, so a C API call that failed without saying why still reports.
PyRef fetch_error();

// Makes sure an error is pending after a C API call returned null or -1:
// the one that call set, or the SystemError of fetch_error.
void reraise_pending_error();

// The module's rendering of a Python error, appended to internal-failure
// messages: "PyErr { type: ..., value: ..., traceback: ... }".
std::string describe_error(PyObject* exception);

// Internal failure "<message>: <description of the pending error>".
[[noreturn]] void fail_with_pending_error(
    std::string_view message, std::source_location at = std::source_location::current());

// Prints the pending error to standard error, then fails with "Python API
// call failed": for C API calls that must not fail, such as building a result.
[[noreturn]] void fail_api_call(std::source_location at = std::source_location::current());

// Sets the TypeError "'<type>' object cannot be converted to '<target>'".
void set_conversion_error(PyObject* object, const char* target);

// Prefixes a pending TypeError (exactly TypeError, not a subclass) with
// "argument '<parameter>': ", so the caller learns which argument was bad.
// Errors of any other type stay pending unchanged.
void wrap_argument_error(const char* parameter);

// Raises PanicException with the failure's bare message. Used only by the
// call scope; a failure while doing so ends the process.
void raise_panic(std::string_view message) noexcept;

}  // namespace kiv
