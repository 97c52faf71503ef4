// The parallel row loop. Placeholder that runs on the calling thread until
// the worker pool lands; the interface is the one the engine keeps.
#pragma once

#include <cstddef>

namespace kiv {

// Number of workers of the process-wide pool; creates the pool on first use.
inline std::size_t current_num_threads() { return 1; }

// Calls body(row) exactly once for every row in [0, n_rows) and returns when
// all calls have finished. A failure of body ends the loop with the failure
// of the lowest-numbered failing row.
template <typename Body>
void for_each_row_parallel(std::size_t n_rows, Body&& body) {
    (void)current_num_threads();
    for (std::size_t row = 0; row < n_rows; ++row) body(row);
}

}  // namespace kiv
