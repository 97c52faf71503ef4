// A unit of work handed to the pool. Jobs live in the frame of the thread
// that waits for them, so handing one over allocates nothing.
#pragma once

namespace kiv::pool {

// The header every job starts with; queues move pointers to it around.
struct Job {
    // Runs the job, stores its value or failure and sets its latch. It never
    // throws: a failure of the pool's own work there ends the process.
    using Execute = void (*)(Job* job) noexcept;

    explicit Job(Execute execute_job) noexcept : execute(execute_job) {}
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // What runs the job; the concrete job type casts the header back.
    Execute execute;

    // Link in the queue of jobs handed in from outside the pool; unused elsewhere.
    Job* next_injected = nullptr;
};

// Runs a job taken from any queue. After this returns the job may be gone.
inline void execute(Job* job) noexcept { job->execute(job); }

}  // namespace kiv::pool
