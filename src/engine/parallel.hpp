// parallel.hpp: the checkerboard sweep's parts that callers besides Morva::step_parallel reach: the
// per-cell increment record, the tiling with its colour passes, the worker pool and its size rule, and
// the sweep on an explicitly given pool.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "sweep.hpp"

namespace morva {

// What one worker task did to one cell's trackers; the fields mirror the trackers of Cell.
struct CellDelta {
    double sum_xx = 0, sum_yy = 0, sum_zz = 0, sum_xy = 0, sum_xz = 0, sum_yz = 0;
    std::int64_t volume = 0;
    std::int64_t surface = 0;
    double sum_x = 0, sum_y = 0, sum_z = 0;
};

// Seed of one tile's private generator: a function of the structure only, never of threads.
inline std::uint64_t tile_seed(std::uint64_t tile, std::uint64_t sweep_seed, std::uint64_t step, std::uint64_t colour) {
    return (tile * 0xC2B2AE3DULL) ^ sweep_seed ^ (step * 0x9E3779B9ULL) ^ (colour * 0x85EBCA77ULL);
}

// A set of same-colour tiles that may run at the same time. It is the product of one increasing list
// of tile coordinates per axis, so task i (x fastest) is the i-th tile in increasing tile index.
struct TilePass {
    std::array<std::vector<std::size_t>, 3> coords;

    std::size_t size() const { return coords[0].size() * coords[1].size() * coords[2].size(); }
    std::array<std::size_t, 3> tile_coords(std::size_t task) const {
        const std::size_t nx = coords[0].size(), ny = coords[1].size();
        return {coords[0][task % nx], coords[1][(task / nx) % ny], coords[2][task / (nx * ny)]};
    }
};

struct Tiling {
    std::array<SiteIndex, 3> dims{};
    std::array<std::size_t, 3> tiles{};  // per axis: ceil(side / block)
    std::size_t block = 0;
    std::size_t n_colours = 0;  // 8 for several layers, 4 for one
    // passes[c]: the sub-passes of colour c in the order they run. Without wrapped seams (see
    // Tiling::make) every non-empty colour has exactly one, holding all its tiles.
    std::vector<std::vector<TilePass>> passes;

    static Tiling make(const Lattice& lattice, std::size_t block);
    std::size_t tile_count() const { return tiles[0] * tiles[1] * tiles[2]; }
    std::size_t tile_index(const std::array<std::size_t, 3>& t) const {
        return t[0] + tiles[0] * (t[1] + tiles[1] * t[2]);
    }
    // Half-open site range of tile coordinate t along an axis; the far tile may be thinner.
    SiteIndex lo(std::size_t t) const { return t * block; }
    SiteIndex hi(int axis, std::size_t t) const {
        const SiteIndex start = t * block;
        return start + std::min<SiteIndex>(block, dims[axis] - start);
    }
};

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

// Morva::step_parallel on a given pool instead of the process-wide one. The pool takes jobs from
// several threads one at a time, so sweeps of different worlds may share it.
std::uint64_t step_parallel_on(Morva& morva, std::uint64_t mcs, std::size_t block, WorkerPool& pool,
                               StepCheck check = {});

}  // namespace morva
