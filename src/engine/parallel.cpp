// parallel.cpp: the checkerboard sweep and the process-wide worker pool. Worker tasks write only the
// labels of their own tile and keep tracker increments private; the calling thread merges them after
// every pass, advances the fields and makes the call's one draw from the main generator.
#include "parallel.hpp"

#include "hamiltonian.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <utility>

namespace morva {

// ------------------------------------------------------------------------------------------ pool size

namespace {

// A decimal integer of digits only (a leading '+' allowed); false for anything else or on overflow.
bool parse_count(const char* text, std::size_t& out) {
    if (text == nullptr) return false;
    if (*text == '+') ++text;
    if (*text == '\0') return false;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, static_cast<std::size_t>(*text - '0'), &value))
            return false;
    }
    out = value;
    return true;
}

}  // namespace

std::size_t pool_size_rule(const char* num_threads, const char* rs_num_cpus, std::size_t cpus) {
    const std::size_t all_cpus = cpus == 0 ? 1 : cpus;
    std::size_t n = 0;
    if (parse_count(num_threads, n)) return n == 0 ? all_cpus : n;
    if (parse_count(rs_num_cpus, n) && n > 0) return n;
    return all_cpus;
}

std::size_t available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return std::thread::hardware_concurrency();
}

// ----------------------------------------------------------------------------------------------- pool

WorkerPool::WorkerPool(std::size_t size) {
    for (std::size_t worker = 1; worker < size; ++worker) {
        try {
            helpers_.emplace_back([this, worker] { helper_loop(worker); });
        } catch (const std::exception&) {
            break;  // the system refused another thread: the pool only runs slower
        }
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

namespace {

// The passes of a sweep follow each other within microseconds: a thread waiting for the next job or
// for the last task polls briefly before it sleeps on the condition variable.
template <class Ready>
bool poll_briefly(Ready ready) {
    for (int i = 0; i < 4096; ++i) {
        if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    return false;
}

}  // namespace

// A helper that sleeps through a whole job never enters it, so a busy or oversubscribed machine
// delays a job only by the tasks actually running, never by a thread that has yet to wake up.
void WorkerPool::helper_loop(std::size_t worker) {
    std::uint64_t seen = 0;
    for (;;) {
        poll_briefly([&] { return generation_.load(std::memory_order_relaxed) != seen || stopping_.load(); });
        Job* job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || (job_ != nullptr && generation_ != seen); });
            if (stopping_) return;
            seen = generation_;
            job = job_;
            ++job->entered;
        }
        work(*job, worker);
        std::lock_guard lock(mutex_);
        if (--job->entered == 0) finished_.notify_all();
    }
}

void WorkerPool::work(Job& job, std::size_t worker) {
    for (;;) {
        const std::size_t task = job.next.fetch_add(1, std::memory_order_relaxed);
        if (task >= job.count) return;
        try {
            job.fn(job.context, task, worker);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!job.fault || task < job.fault_task) {
                job.fault = std::current_exception();
                job.fault_task = task;
            }
        }
        if (job.done.fetch_add(1, std::memory_order_acq_rel) + 1 == job.count) {
            std::lock_guard lock(mutex_);
            finished_.notify_all();
        }
    }
}

void WorkerPool::run(std::size_t count, TaskFn fn, void* context) {
    if (count == 0) return;
    std::lock_guard one_job(job_mutex_);
    if (helpers_.empty() || count == 1) {
        std::exception_ptr first;
        for (std::size_t task = 0; task < count; ++task) {
            try {
                fn(context, task, 0);
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
        return;
    }
    Job job;
    job.fn = fn;
    job.context = context;
    job.count = count;
    {
        std::lock_guard lock(mutex_);
        job_ = &job;
        generation_.fetch_add(1);
    }
    wake_.notify_all();
    work(job, 0);
    const auto all_done = [&] { return job.done.load(std::memory_order_acquire) == count; };
    poll_briefly(all_done);
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, all_done);
        job_ = nullptr;  // no helper enters any more; wait for those inside to leave
        finished_.wait(lock, [&] { return job.entered == 0; });
    }
    if (job.fault) std::rethrow_exception(job.fault);
}

namespace {

// The process-wide pool. Around fork the lock is held so the child never inherits it mid-update; the
// child drops the inherited pool, whose threads did not survive the fork, without destroying it (its
// mutexes may be held by those vanished threads) and builds a fresh one on first use.
std::mutex process_pool_mutex;
WorkerPool* process_pool_instance = nullptr;
std::once_flag fork_hooks_installed;

void before_fork() { process_pool_mutex.lock(); }
void after_fork_in_parent() { process_pool_mutex.unlock(); }
void after_fork_in_child() {
    process_pool_instance = nullptr;
    process_pool_mutex.unlock();
}

}  // namespace

WorkerPool& WorkerPool::process_pool() {
    std::call_once(fork_hooks_installed,
                   [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
    std::lock_guard lock(process_pool_mutex);
    if (process_pool_instance == nullptr)
        process_pool_instance = new WorkerPool(
            pool_size_rule(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_cpus()));
    return *process_pool_instance;
}

// --------------------------------------------------------------------------------------------- tiling

// Same-colour tiles are normally at least one whole tile apart, so no task reads a site that another
// task of its pass writes. A wrapped axis with an odd tile count above 1 breaks this at its seam: the
// first and the last tile have the same parity and touch across the wrapped face. Those tiles are
// split off by the axes on which they are the last tile (a bit mask), and each mask runs as a
// sub-pass of its own, in increasing mask order, merged like a colour pass before the next starts.
// Two tiles with the same mask never touch across a seam, so each sub-pass is race-free; the split
// depends only on the layout, so the result stays independent of the number of threads. Without a
// seam every colour is one pass, exactly as the plain checkerboard.
Tiling Tiling::make(const Lattice& lattice, std::size_t block) {
    Tiling t;
    t.dims = lattice.dims;
    t.block = block;
    std::array<bool, 3> seam{};
    for (int axis = 0; axis < 3; ++axis) {
        t.tiles[axis] = t.dims[axis] / block + (t.dims[axis] % block != 0);
        seam[axis] = lattice.periodic[axis] && t.tiles[axis] > 1 && t.tiles[axis] % 2 == 1;
    }
    t.n_colours = t.dims[2] >= 2 ? 8 : 4;
    t.passes.resize(t.n_colours);
    for (std::size_t colour = 0; colour < t.n_colours; ++colour) {
        for (unsigned mask = 0; mask < 8; ++mask) {
            TilePass pass;
            bool empty = false;
            for (int axis = 0; axis < 3 && !empty; ++axis) {
                const std::size_t parity = (colour >> axis) & 1;
                const bool last_wanted = (mask >> axis) & 1;
                for (std::size_t k = parity; k < t.tiles[axis]; k += 2)
                    if ((seam[axis] && k == t.tiles[axis] - 1) == last_wanted) pass.coords[axis].push_back(k);
                empty = pass.coords[axis].empty();
            }
            if (!empty) t.passes[colour].push_back(std::move(pass));
        }
    }
    return t;
}

// ---------------------------------------------------------------------------------------------- sweep

namespace {

struct DeltaEntry {
    Label id;
    CellDelta delta;
};

// One thread's increments during a pass: the entries of every task it ran, each task's a contiguous
// run, and an open-addressing index (cell id -> entry) over the current task's run. Kept for the whole
// call, so after the first passes nothing allocates. Aligned so two workers never share a cache line.
class alignas(64) WorkerScratch {
public:
    WorkerScratch() : slots_(64) { entries_.reserve(256); }

    void begin_task() {
        task_begin_ = entries_.size();
        if (++stamp_ == 0) {  // stamps wrapped: forget every old slot explicitly
            for (Slot& s : slots_) s.stamp = 0;
            stamp_ = 1;
        }
    }
    std::size_t size() const { return entries_.size(); }
    const DeltaEntry& entry(std::size_t i) const { return entries_[i]; }
    void clear() { entries_.clear(); }

    const CellDelta* find(Label id) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t h = home(id);; h = (h + 1) & mask) {
            const Slot& s = slots_[h];
            if (s.stamp != stamp_) return nullptr;
            if (s.id == id) return &entries_[s.index].delta;
        }
    }

    // The entry of `id` in the current task, created zeroed on first touch.
    CellDelta& get(Label id) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t h = home(id);; h = (h + 1) & mask) {
            Slot& s = slots_[h];
            if (s.stamp == stamp_) {
                if (s.id == id) return entries_[s.index].delta;
                continue;
            }
            if ((entries_.size() - task_begin_ + 1) * 2 > slots_.size()) {
                grow();
                return get(id);
            }
            s = {id, stamp_, entries_.size()};
            entries_.push_back({id, {}});
            return entries_.back().delta;
        }
    }

    // After this, n calls of get() neither allocate nor move entries.
    void make_room(std::size_t n) {
        if (entries_.size() + n > entries_.capacity()) entries_.reserve(2 * (entries_.size() + n));
        while ((entries_.size() - task_begin_ + n) * 2 > slots_.size()) grow();
    }

private:
    struct Slot {
        Label id = 0;
        std::uint32_t stamp = 0;  // valid only when equal to the current task's stamp
        std::size_t index = 0;
    };

    std::size_t home(Label id) const { return static_cast<std::uint32_t>(id * 0x9E3779B1u) >> shift_; }

    void grow() {
        slots_.assign(slots_.size() * 2, Slot{});
        --shift_;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = task_begin_; i < entries_.size(); ++i) {
            std::size_t h = home(entries_[i].id);
            while (slots_[h].stamp == stamp_) h = (h + 1) & mask;
            slots_[h] = {entries_[i].id, stamp_, i};
        }
    }

    std::vector<DeltaEntry> entries_;
    std::vector<Slot> slots_;
    std::size_t task_begin_ = 0;
    std::uint32_t stamp_ = 0;
    unsigned shift_ = 26;  // 32 - log2(slot count)
};

struct TaskRecord {
    std::size_t worker = 0, begin = 0, end = 0;
    std::exception_ptr fault;
};

class ParallelSweep {
public:
    ParallelSweep(World& world, const Tiling& tiling, std::uint64_t seed, const std::uint32_t* types, std::size_t workers)
        : world_(world),
          labels_(world.lattice.labels.data()),
          offsets_(world.lattice.linear_offsets.data()),
          n_offsets_(world.lattice.linear_offsets.size()),
          types_(types),
          tiling_(tiling),
          gates_(world.term_gates()),
          temperature_(world.temperature),
          seed_(seed),
          scratch_(workers) {}

    // One colour pass, or one sub-pass of a colour split at a seam: every tile of `pass` runs as a
    // task, then the increments are merged in tile order. A fault in a task is raised only after the
    // merge, so labels and trackers agree even then.
    void run_pass(WorkerPool& pool, const TilePass& pass, std::uint64_t step, std::uint64_t colour) {
        const std::size_t count = pass.size();
        records_.assign(count, TaskRecord{});
        auto task = [&](std::size_t i, std::size_t worker) {
            const std::array<std::size_t, 3> tile = pass.tile_coords(i);
            WorkerScratch& s = scratch_[worker];
            TaskRecord& r = records_[i];
            r.worker = worker;
            s.begin_task();
            r.begin = s.size();
            try {
                sweep_tile(tile, tile_seed(tiling_.tile_index(tile), seed_, step, colour), s);
            } catch (...) {
                r.fault = std::current_exception();
            }
            r.end = s.size();
        };
        pool.run(count, task);
        merge();
        for (const TaskRecord& r : records_)
            if (r.fault) std::rethrow_exception(r.fault);
    }

private:
    // The tile's sites in raster order, z outermost. Rows that lie wholly inside the box's interior
    // skip the per-site boundary test.
    void sweep_tile(const std::array<std::size_t, 3>& tile, std::uint64_t seed, WorkerScratch& s) {
        Xoshiro256pp rng = Xoshiro256pp::from_seed(seed);  // local: stays in registers
        const Lattice& lat = world_.lattice;
        const Geometry geo = lat.geometry;
        const SiteIndex x0 = tiling_.lo(tile[0]), x1 = tiling_.hi(0, tile[0]);
        for (SiteIndex z = tiling_.lo(tile[2]); z < tiling_.hi(2, tile[2]); ++z)
            for (SiteIndex y = tiling_.lo(tile[1]); y < tiling_.hi(1, tile[1]); ++y) {
                SiteIndex v = lat.site_of(x0, y, z);
                if (geo.is_interior({x0, y, z}) && geo.is_interior({x1 - 1, y, z})) {
                    for (SiteIndex x = x0; x < x1; ++x, ++v) interior_attempt(v, {x, y, z}, rng, s);
                } else {
                    for (SiteIndex x = x0; x < x1; ++x, ++v) {
                        if (geo.is_interior({x, y, z}))
                            interior_attempt(v, {x, y, z}, rng, s);
                        else
                            boundary_attempt(v, {x, y, z}, rng, s);
                    }
                }
            }
    }

    // One copy attempt at target v. Interior targets use the fixed offsets and build no list.
    void interior_attempt(SiteIndex v, const Coords& c, Xoshiro256pp& rng, WorkerScratch& s) {
        if (n_offsets_ == 0) return;
        const SiteIndex source = shifted(v, offsets_[rng.below(n_offsets_)]);
        const Label a = labels_[v], b = labels_[source];
        if (a == b) return;
        const std::int64_t* offsets = offsets_;
        finish(v, source, a, b, c, n_offsets_, [=](std::size_t i) { return shifted(v, offsets[i]); }, rng, s);
    }

    void boundary_attempt(SiteIndex v, const Coords& c, Xoshiro256pp& rng, WorkerScratch& s) {
        const NeighborList nbrs = world_.lattice.boundary_neighbors(c);
        if (nbrs.empty()) return;
        const SiteIndex source = nbrs[rng.below(nbrs.size())];
        const Label a = labels_[v], b = labels_[source];
        if (a == b) return;
        finish(v, source, a, b, c, nbrs.size(), [&](std::size_t i) { return nbrs[i]; }, rng, s);
    }

    template <class NeighborAt>
    void finish(SiteIndex v, SiteIndex source, Label a, Label b, const Coords& c, std::size_t count,
                NeighborAt neighbor_at, Xoshiro256pp& rng, WorkerScratch& s) {
        double dh = core_delta_seen(v, a, b, count, neighbor_at, s);
        if (gates_.any_energy()) dh = add_optional_terms(world_, gates_, dh, v, source, b);
        if (!metropolis_accepts(dh, temperature_, rng)) return;
        if (gates_.connectivity && world_.connectivity_applies(a) && !world_.would_stay_connected(v, a)) return;
        collect_flip(v, a, b, c, count, neighbor_at, s);
    }

    // The trackers a task sees: the table as it stood at the start of the pass plus the task's own
    // volume and surface increments.
    struct SeenTrackers {
        const WorkerScratch& s;
        std::int64_t volume(Label id, const Cell& c) const {
            const CellDelta* d = s.find(id);
            return c.volume + (d ? d->volume : 0);
        }
        std::int64_t surface(Label id, const Cell& c) const {
            const CellDelta* d = s.find(id);
            return c.surface + (d ? d->surface : 0);
        }
    };

    template <class NeighborAt>
    double core_delta_seen(SiteIndex v, Label a, Label b, std::size_t count, NeighborAt neighbor_at,
                           const WorkerScratch& s) const {
        const std::uint32_t* types = types_;
        return core_delta(world_, v, a, b, count, neighbor_at, [types](Label l) { return types[l]; }, SeenTrackers{s});
    }

    // What World::apply_flip does to the trackers, collected in the task's entries instead. Surface
    // changes are integers, so they are added per neighbour rather than through the sorted list.
    template <class NeighborAt>
    void collect_flip(SiteIndex v, Label a, Label b, const Coords& c, std::size_t count, NeighborAt neighbor_at,
                      WorkerScratch& s) {
        s.make_room(count + 2);
        std::int64_t n_a = 0, n_b = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const SiteIndex t = neighbor_at(i);
            if (t == v) continue;
            const Label l = labels_[t];
            const bool differs_a = l != a, differs_b = l != b;
            n_a += differs_a;
            n_b += differs_b;
            if (differs_a != differs_b) s.get(l).surface += std::int64_t{differs_b} - std::int64_t{differs_a};
        }
        labels_[v] = b;
        const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
        CellDelta& from = s.get(a);
        from.surface -= n_a;
        remove_site(from, x, y, z);
        CellDelta& to = s.get(b);
        to.surface += n_b;
        add_site(to, x, y, z);
    }

    // On the calling thread, in tile order.
    void merge() {
        Cell* cells = world_.cells.data();
        for (const TaskRecord& r : records_) {
            const WorkerScratch& s = scratch_[r.worker];
            for (std::size_t i = r.begin; i < r.end; ++i) {
                const DeltaEntry& e = s.entry(i);
                Cell& cell = cells[e.id];
                const CellDelta& d = e.delta;
                cell.sum_xx += d.sum_xx, cell.sum_yy += d.sum_yy, cell.sum_zz += d.sum_zz;
                cell.sum_xy += d.sum_xy, cell.sum_xz += d.sum_xz, cell.sum_yz += d.sum_yz;
                cell.volume += d.volume;
                cell.surface += d.surface;
                cell.sum_x += d.sum_x, cell.sum_y += d.sum_y, cell.sum_z += d.sum_z;
            }
        }
        for (WorkerScratch& s : scratch_) s.clear();
    }

    static SiteIndex shifted(SiteIndex v, std::int64_t d) {
        return static_cast<SiteIndex>(static_cast<std::int64_t>(v) + d);
    }

    World& world_;
    Label* labels_;  // the only thing tasks write, each inside its own tile
    const std::int64_t* offsets_;
    std::size_t n_offsets_;
    const std::uint32_t* types_;  // padded contact index of each label's type
    const Tiling& tiling_;
    const TermGates gates_;
    const double temperature_;
    const std::uint64_t seed_;
    std::vector<WorkerScratch> scratch_;  // by worker index
    std::vector<TaskRecord> records_;     // by task index within the pass
};

std::uint64_t sweep(Morva& morva, std::uint64_t mcs, std::size_t block, WorkerPool* pool, StepCheck check) {
    World& w = morva.world;
    if (block < 2) raise_fault(__FILE__, __LINE__, "block side must be >= 2");
    for (const double lambda : w.length_lambda_by_type)
        if (lambda > 0)
            raise_fault(__FILE__, __LINE__, "parallel sweep does not support the length constraint; use step()");

    const Tiling tiling = Tiling::make(w.lattice, block);
    const std::uint64_t seed = morva.rng.next();  // drawn on every call that passes the checks
    if (mcs == 0) return 0;
    if (tiling.tile_count() == 0) {
        for (std::uint64_t step = 0; step < mcs; ++step) {
            w.advance_fields();
            if (step + 1 < mcs && !check(step + 1)) return step + 1;
        }
        return mcs;
    }
    WorkerPool& workers = pool ? *pool : WorkerPool::process_pool();
    fill_padded_types(w, morva.type_by_label);

    ParallelSweep driver(w, tiling, seed, morva.type_by_label.data(), workers.size());
    for (std::uint64_t step = 0; step < mcs; ++step) {
        for (std::size_t colour = 0; colour < tiling.n_colours; ++colour)
            for (const TilePass& pass : tiling.passes[colour]) driver.run_pass(workers, pass, step, colour);
        w.advance_fields();
        if (step + 1 < mcs && !check(step + 1)) return step + 1;
    }
    return mcs;
}

}  // namespace

std::uint64_t step_parallel_on(Morva& morva, std::uint64_t mcs, std::size_t block, WorkerPool& pool, StepCheck check) {
    return sweep(morva, mcs, block, &pool, check);
}

void Morva::step_parallel(std::uint64_t mcs, std::size_t block) { sweep(*this, mcs, block, nullptr, StepCheck{}); }

std::uint64_t Morva::step_parallel(std::uint64_t mcs, std::size_t block, StepCheck check) {
    return sweep(*this, mcs, block, nullptr, check);
}

}  // namespace morva
