#include "pool/row_loop.hpp"

#include <algorithm>
#include <exception>

#include "pool/global_registry.hpp"
#include "pool/lock_latch.hpp"
#include "pool/messages.hpp"
#include "pool/registry.hpp"

namespace kiv {
namespace pool {
namespace {

// What every piece of one loop shares.
struct Loop {
    // The row body.
    RowBody body;
    // The pool's worker count T, which sizes the split budget.
    std::size_t threads;
};

void run_piece(const Loop& loop, WorkerThread& me, std::size_t begin, std::size_t count,
               std::size_t budget);

std::exception_ptr run_piece_catching(const Loop& loop, WorkerThread& me, std::size_t begin,
                                      std::size_t count, std::size_t budget) noexcept {
    try {
        run_piece(loop, me, begin, count, budget);
        return nullptr;
    } catch (...) {
        return std::current_exception();
    }
}

// The right half of a fork. Lives in the forking frame, which never returns
// before the half has run, here or on a thief.
class PieceJob final : public Job {
public:
    PieceJob(const Loop& loop, WorkerThread& forker, std::size_t begin, std::size_t count,
             std::size_t budget) noexcept
        : Job(&PieceJob::execute_taken),
          loop_(loop),
          forker_(forker),
          begin_(begin),
          count_(count),
          budget_(budget),
          done_(forker.registry().sleep(), forker.index()) {}

    // Runs the half on the forking thread, which took it back from its deque.
    void run_inline() noexcept {
        failure_ = run_piece_catching(loop_, forker_, begin_, count_, budget_);
    }

    // Waits, working on other jobs, until a thief has run the half.
    void wait_for_thief() noexcept { forker_.work_until(&done_); }

    // The half's failure, or nullptr. Read only once the half has run.
    const std::exception_ptr& failure() const noexcept { return failure_; }

private:
    // Runs the half on whichever worker took it from the deque.
    static void execute_taken(Job* job) noexcept {
        auto& self = static_cast<PieceJob&>(*job);
        WorkerThread& me = *current_worker();
        // Moved to another thread: budget enough for every worker again,
        // since the piece may be all that is left there to share out.
        const std::size_t budget =
            &me == &self.forker_ ? self.budget_ : std::max(self.budget_, self.loop_.threads);
        self.failure_ = run_piece_catching(self.loop_, me, self.begin_, self.count_, budget);
        self.done_.set();
    }

    // The loop this half belongs to.
    const Loop& loop_;
    // The worker that forked the half and waits for it.
    WorkerThread& forker_;
    // First row of the half.
    std::size_t begin_;
    // Rows in the half, at least one.
    std::size_t count_;
    // Split budget the half starts with on the forking thread.
    std::size_t budget_;
    // The half's failure, written by whoever runs it.
    std::exception_ptr failure_;
    // Set by a thief once it has run the half.
    JoinLatch done_;
};

void run_piece(const Loop& loop, WorkerThread& me, std::size_t begin, std::size_t count,
               std::size_t budget) {
    if (count <= 1 || budget == 0) {
        for (std::size_t row = begin; row < begin + count; ++row) loop.body(row);
        return;
    }
    // The right half gets the extra row of an odd count.
    const std::size_t left = count / 2;
    const std::size_t half_budget = budget / 2;
    PieceJob right(loop, me, begin + left, count - left, half_budget);
    me.push(&right);
    const std::exception_ptr left_failure = run_piece_catching(loop, me, begin, left, half_budget);
    // Everything the left half pushed is gone again, so the newest job of our
    // deque is the right half, unless a thief took it.
    if (Job* newest = me.pop(); newest == &right) {
        right.run_inline();
    } else {
        // An older fork of ours, further up this stack: run it now; its own
        // frame will find it done.
        if (newest != nullptr) execute(newest);
        right.wait_for_thief();
    }
    // Both halves have finished; the left one's failure covers lower rows.
    if (left_failure) std::rethrow_exception(left_failure);
    if (right.failure()) std::rethrow_exception(right.failure());
}

// The whole row range, handed in from a thread outside the pool.
class RootJob final : public Job {
public:
    RootJob(const Loop& loop, std::size_t n_rows, LockLatch& done) noexcept
        : Job(&RootJob::execute_injected), loop_(loop), n_rows_(n_rows), done_(done) {}

    // The loop's failure, or nullptr. Read only after the latch was set.
    const std::exception_ptr& failure() const noexcept { return failure_; }

private:
    static void execute_injected(Job* job) noexcept {
        auto& self = static_cast<RootJob&>(*job);
        self.failure_ = run_piece_catching(self.loop_, *current_worker(), 0, self.n_rows_,
                                           self.loop_.threads / 2);
        try {
            self.done_.set();
        } catch (...) {
            abort_broken_pool();
        }
    }

    // The loop to run.
    const Loop& loop_;
    // Rows in the loop, at least two.
    std::size_t n_rows_;
    // The failure of the lowest failing row, written on a worker.
    std::exception_ptr failure_;
    // The waiting thread's latch.
    LockLatch& done_;
};

// The latch of a thread that hands work in, made on its first hand-in and
// reused. thread_local is the Linux counterpart of a TLS slot.
LockLatch& wait_latch() {
    thread_local LockLatch latch;
    return latch;
}

// The pool the calling thread should use: its own on a worker.
Registry& current_registry() {
    if (WorkerThread* me = current_worker()) return me->registry();
    return global_registry();
}

}  // namespace

void for_each_row_on(Registry& registry, std::size_t n_rows, RowBody body) {
    if (n_rows <= 1) {
        for (std::size_t row = 0; row < n_rows; ++row) body(row);
        return;
    }
    const Loop loop{body, registry.num_threads()};
    if (WorkerThread* me = current_worker(); me != nullptr && &me->registry() == &registry) {
        // Already one of this pool's workers: the whole range is our piece.
        run_piece(loop, *me, 0, n_rows, loop.threads / 2);
        return;
    }
    LockLatch& latch = wait_latch();
    RootJob root(loop, n_rows, latch);
    try {
        registry.inject(&root);
        latch.wait_and_reset();
    } catch (...) {
        // Leaving now would free the job under the workers' feet.
        abort_broken_pool();
    }
    if (root.failure()) std::rethrow_exception(root.failure());
}

void for_each_row(std::size_t n_rows, RowBody body) {
    // The pool comes first, even for a loop with no rows to hand it.
    for_each_row_on(current_registry(), n_rows, body);
}

}  // namespace pool

std::size_t current_num_threads() { return pool::current_registry().num_threads(); }

}  // namespace kiv
