// Every text the pool shows to a caller, spelled as callers match it.
#pragma once

#include <string>
#include <string_view>

namespace kiv::pool {

namespace messages {

// Written to standard error before the process is ended on a broken pool.
inline constexpr std::string_view kAbortLine = "Rayon: detected unexpected panic; aborting\n";

// Opens every failure of a run that finds no pool to work on.
inline constexpr std::string_view kNotInitialized =
    "The global thread pool has not been initialized.";

}  // namespace messages

// The failure of the run whose pool creation failed with `errnum`, e.g.
// "...: ThreadPoolBuildError { kind: IOError(Os { code: 11, kind: WouldBlock,
// message: \"Resource temporarily unavailable\" }) }".
std::string pool_start_failed_message(int errnum);

// The failure of every run after pool creation failed once.
std::string pool_already_failed_message();

// Writes kAbortLine to standard error and ends the process at once.
[[noreturn]] void abort_broken_pool() noexcept;

}  // namespace kiv::pool
