// The parallel row loop: calls a body once for every row of a matrix, on the
// process-wide worker pool, while the calling thread waits.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace kiv {

namespace pool {
class Registry;
}

// A non-owning reference to a callable taking a row index: two pointers, so
// handing the body to the pool allocates nothing. The callable must outlive
// every call through the reference (a temporary does, within the full
// expression that passes it to a loop).
class RowBody {
public:
    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, RowBody>)
    explicit RowBody(F&& body) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(body)))),
          call_(&call<std::remove_reference_t<F>>) {}

    // Runs the body for `row`; its failure passes through.
    void operator()(std::size_t row) const { call_(object_, row); }

private:
    template <typename F>
    static void call(void* object, std::size_t row) {
        (*static_cast<F*>(object))(row);
    }

    // The callable, const-ness cast away; call<F> restores its type.
    void* object_;
    // Calls the callable at object_ with a row.
    void (*call_)(void* object, std::size_t row);
};

// Number of workers of the process-wide pool (of the calling worker's own
// pool on a worker); creates the process-wide pool on first use.
std::size_t current_num_threads();

namespace pool {

// for_each_row_parallel without the template: see there.
void for_each_row(std::size_t n_rows, RowBody body);

// The same loop on a given pool, for tests and benchmarks. Unlike
// for_each_row it does not touch the process-wide pool.
void for_each_row_on(Registry& registry, std::size_t n_rows, RowBody body);

}  // namespace pool

// Calls body(row) exactly once for every row in [0, n_rows) and returns when
// all calls have finished. Makes sure the pool exists first, whatever n_rows
// is; zero or one row runs on the calling thread. Rows are split into
// contiguous pieces, each running its rows in increasing order. A failure of
// body ends the loop with the failure of the lowest-numbered failing row,
// raised only after every piece has finished.
template <typename Body>
void for_each_row_parallel(std::size_t n_rows, Body&& body) {
    pool::for_each_row(n_rows, RowBody(body));
}

}  // namespace kiv
