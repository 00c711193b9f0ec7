// pool.hpp: the worker pool that runs the parallel sweep's tasks, its size rule and the process-wide
// instance (built on first use, rebuilt in a child after fork).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace morva {

// Pool size from the two environment values (null when unset) and the CPUs available to the process
// (0 when unknown).
std::size_t pool_size_rule(const char* num_threads, const char* rs_num_cpus, std::size_t available_cpus);
// CPUs in this process's affinity mask, or the hardware count, or 0 when neither is known.
std::size_t available_cpus();

// A fixed set of threads that run the tasks of one job at a time. The calling thread takes part as
// worker 0, so a pool of size 1 has no thread of its own and runs every task inline, in order.
class WorkerPool {
public:
    using TaskFn = void (*)(void* context, std::size_t task, std::size_t worker);

    explicit WorkerPool(std::size_t size);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Threads that work on a job, the caller included: fewer than asked if the system refused a thread.
    std::size_t size() const { return helpers_.size() + 1; }

    // Runs fn(context, i, worker) for every i in [0, count), each once, and returns when all are done.
    // Every task runs even if some throw; afterwards the fault of the lowest task index is rethrown.
    // Tasks must not call run on the same pool.
    void run(std::size_t count, TaskFn fn, void* context);
    template <class F>
    void run(std::size_t count, F& f) {
        run(count, [](void* c, std::size_t i, std::size_t worker) { (*static_cast<F*>(c))(i, worker); }, &f);
    }

    // The process-wide pool: built on first use with pool_size_rule over the environment and kept for
    // the life of the process. A child made by fork builds its own on first use.
    static WorkerPool& process_pool();

private:
    // One call of run: lives on the caller's stack; helpers reach it only between entering (counted
    // in `entered`, under mutex_) and leaving, and run waits for all who entered to leave.
    struct Job {
        TaskFn fn = nullptr;
        void* context = nullptr;
        std::size_t count = 0;
        std::atomic<std::size_t> next{0};
        std::atomic<std::size_t> done{0};
        std::size_t entered = 0;
        std::size_t fault_task = 0;
        std::exception_ptr fault;
    };

    void helper_loop(std::size_t worker);
    void work(Job& job, std::size_t worker);

    std::mutex job_mutex_;  // one job at a time
    std::mutex mutex_;      // guards job_, stopping_, the Job's entered count and fault
    std::condition_variable wake_, finished_;
    Job* job_ = nullptr;
    std::atomic<std::uint64_t> generation_{0};  // bumped under mutex_ for every job
    std::atomic<bool> stopping_{false};
    std::vector<std::thread> helpers_;
};

}  // namespace morva
