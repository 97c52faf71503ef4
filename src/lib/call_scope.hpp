// The frame around every entry from Python.
#pragma once

#include <exception>
#include <new>

#include "lib/errors.hpp"
#include "runtime/failure.hpp"

namespace kiv {

// Runs one entry from Python. Temporaries are PyRef locals of `body` (and of
// what it calls), so they are released on every way out; holds on instances
// are guards in the same frames, so they are lowered before a failure is
// turned into a Python exception here. No C++ exception crosses into the
// interpreter: internal failures become PanicException, exhausted memory
// becomes MemoryError, and the entry returns `on_error`.
template <typename Result, typename Body>
Result call_scope(Result on_error, Body&& body) noexcept {
    try {
        return body();
    } catch (const Failure& failure) {
        raise_panic(failure.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    }
    return on_error;
}

}  // namespace kiv
