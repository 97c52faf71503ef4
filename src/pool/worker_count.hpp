// How many workers the process-wide pool gets: two environment variables,
// else the processors this process may run on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kiv::pool {

// The most workers a pool ever gets, whatever the environment asks for.
inline constexpr std::size_t kMaxWorkers = 65535;

// Reads one environment variable; nullptr when it is unset.
using EnvReader = const char* (*)(const char* name);

// Counts the processors available to the process; 0 when the count is unknown.
using ProcessorCounter = std::size_t (*)();

// An optional single '+', then one or more decimal digits and nothing else;
// a value beyond an unsigned 64-bit word is not a number.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The processors in this process's CPU affinity mask; 0 when the query fails.
std::size_t available_processors();

// RAYON_NUM_THREADS wins when it is a number (0 there means the default, and
// RAYON_RS_NUM_CPUS is then not read); otherwise RAYON_RS_NUM_CPUS when it is
// a number of at least 1; otherwise the processor count, or 1 when that is 0.
// The result is capped at kMaxWorkers.
std::size_t worker_count(EnvReader read_env, ProcessorCounter count_processors);

}  // namespace kiv::pool
