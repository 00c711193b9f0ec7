// parallel.cpp: the checkerboard tiling and sweep. Worker tasks write only the labels of their own
// tile and keep tracker increments private; the calling thread merges them after every pass, advances
// the fields and makes the call's one draw from the main generator.
#include "parallel.hpp"

#include <utility>

#include "copy_attempt.hpp"

namespace morva {

// --------------------------------------------------------------------------------------------- tiling

// Same-colour tiles are normally at least one whole tile apart, so no task reads a site that another
// task of its pass writes: tasks read up to `reach` sites beyond their tile (1: their sites'
// neighbours; 2 with the act model, which reads the neighbours of a source), and a whole tile is at
// least 2 sites. A wrapped axis breaks this at its seam in two layouts. With an odd tile count above
// 1, the first and the last tile have the same parity and touch across the wrapped face. With an even
// count, the last tile (the thin far one) lies between the first and the last-but-one, both of the
// first's parity, and may be narrower than the reach. In each case one tile of the axis, the seam
// tile (the last, or the first), is split off: the tiles are grouped by the axes on which they are the
// seam tile (a bit mask), and each mask runs as a sub-pass of its own, in increasing mask order,
// merged like a colour pass before the next starts. Two tiles with the same mask are then at least a
// whole tile apart across every seam, so each sub-pass is race-free; the split depends only on the
// layout and the reach, so the result stays independent of the number of threads. Without a seam
// every colour is one pass, exactly as the plain checkerboard.
Tiling Tiling::make(const Lattice& lattice, std::size_t block, SiteIndex reach) {
    Tiling t;
    t.dims = lattice.dims;
    t.block = block;
    std::array<bool, 3> seam{};
    std::array<std::size_t, 3> seam_tile{};
    for (int axis = 0; axis < 3; ++axis) {
        const std::size_t n = t.dims[axis] / block + (t.dims[axis] % block != 0);
        t.tiles[axis] = n;
        if (!lattice.periodic[axis] || n < 2) continue;
        if (n % 2 == 1) {
            seam[axis] = true;
            seam_tile[axis] = n - 1;
        } else if (t.hi(axis, n - 1) - t.lo(n - 1) < reach) {
            seam[axis] = true;
            seam_tile[axis] = 0;
        }
    }
    t.n_colours = t.dims[2] >= 2 ? 8 : 4;
    t.passes.resize(t.n_colours);
    if (t.tile_count() == 0) return t;  // an empty box has no tiles to list, however long its other sides
    for (std::size_t colour = 0; colour < t.n_colours; ++colour) {
        for (unsigned mask = 0; mask < 8; ++mask) {
            TilePass pass;
            bool empty = false;
            for (int axis = 0; axis < 3 && !empty; ++axis) {
                const std::size_t parity = (colour >> axis) & 1;
                const bool seam_wanted = (mask >> axis) & 1;
                for (std::size_t k = parity; k < t.tiles[axis]; k += 2)
                    if ((seam[axis] && k == seam_tile[axis]) == seam_wanted) pass.coords[axis].push_back(k);
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
    Trackers delta;
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

    const Trackers* find(Label id) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t h = home(id);; h = (h + 1) & mask) {
            const Slot& s = slots_[h];
            if (s.stamp != stamp_) return nullptr;
            if (s.id == id) return &entries_[s.index].delta;
        }
    }

    // The entry of `id` in the current task, created zeroed on first touch.
    Trackers& get(Label id) {
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

// The trackers a task sees: the table as it stood at the start of the pass plus the task's own
// volume and surface increments.
struct SeenTrackers {
    const WorkerScratch& s;
    std::int64_t volume(Label id, const Cell& c) const {
        const Trackers* d = s.find(id);
        return c.volume + (d ? d->volume : 0);
    }
    std::int64_t surface(Label id, const Cell& c) const {
        const Trackers* d = s.find(id);
        return c.surface + (d ? d->surface : 0);
    }
    Trackers trackers(Label id, const Cell& c) const {
        Trackers t = c;
        if (const Trackers* d = s.find(id)) t += *d;
        return t;
    }
};

// The parallel sweep's flip writer: the label (and with the act model the site's activity) is written
// inside the task's own tile, the tracker changes go to the task's entries until the merge. With
// `Unwrap` (periodic shapes) each cell places the site by the centre the task sees; sums of whole
// coordinates merge exactly in any order.
template <bool Unwrap>
struct CollectForMerge {
    Label* labels;
    WorkerScratch& s;
    const Cell* cells;
    ShapeFrame frame;
    World* activates;  // the world whose activity an accepted copy sets; null without the act model
    SeenTrackers seen() const { return {s}; }
    static constexpr bool prices_length = false;  // models with a length term are refused
    double length_energy(Label) const { return 0.0; }
    template <class NeighborAt>
    void write(SiteIndex target, Label a, Label b, const Coords& c, std::size_t count, NeighborAt neighbor_at) {
        s.make_room(count + 2);  // the references below stay valid
        const auto trackers_of = [this](Label l) -> Trackers& { return s.get(l); };
        if constexpr (Unwrap) {
            record_flip(labels, target, a, b, c, count, neighbor_at, NotFlat{}, trackers_of,
                        [this](Label l, const Point& p) { return frame.place(l, seen().trackers(l, cells[l]), p); });
        } else {
            record_flip(labels, target, a, b, c, count, neighbor_at, NotFlat{}, trackers_of);
        }
        labels[target] = b;
        if (activates) activates->activate(target, b);
    }
};

class ParallelSweep {
public:
    ParallelSweep(Morva& morva, const Tiling& tiling, std::uint64_t seed, std::size_t workers)
        : world_(morva.world),
          labels_(morva.world.lattice.labels.data()),
          setting_(AttemptSetting::of(morva)),
          scaled_{morva.contact_is_scaled ? morva.scaled_contact.data() : nullptr,
                  morva.world.contact.padded_stride(), morva.contact_unscale},
          tiling_(tiling),
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
    // The tile's sites in raster order, z outermost, each the target of one attempt. Rows that lie
    // wholly inside the box's interior skip the per-site boundary test.
    void sweep_tile(const std::array<std::size_t, 3>& tile, std::uint64_t seed, WorkerScratch& s) {
        const ShapeFrame frame = world_.shape_frame();
        // The tasks share the label-type table, so no policy marks labels in it.
        const auto with_contact = [&](auto& writer) {
            if (scaled_.values) {
                ScaledContact contact = scaled_;
                sweep_tile_with(tile, seed, writer, contact);
            } else {
                DoubleContact contact{world_.contact};
                sweep_tile_with(tile, seed, writer, contact);
            }
        };
        World* activates = setting_.gates.on<ActTerm>() ? &world_ : nullptr;
        if (frame.unwraps()) {
            CollectForMerge<true> writer{labels_, s, world_.cells.data(), frame, activates};
            with_contact(writer);
        } else {
            CollectForMerge<false> writer{labels_, s, world_.cells.data(), frame, activates};
            with_contact(writer);
        }
    }

    template <class Writer, class Contact>
    void sweep_tile_with(const std::array<std::size_t, 3>& tile, std::uint64_t seed, Writer& writer,
                         Contact& contact) {
        Xoshiro256pp rng = Xoshiro256pp::from_seed(seed);  // local: stays in registers
        const AttemptSetting k = setting_;
        const Lattice& lat = world_.lattice;
        const Geometry geo = lat.geometry;
        const SiteIndex x0 = tiling_.lo(tile[0]), x1 = tiling_.hi(0, tile[0]);
        for (SiteIndex z = tiling_.lo(tile[2]); z < tiling_.hi(2, tile[2]); ++z)
            for (SiteIndex y = tiling_.lo(tile[1]); y < tiling_.hi(1, tile[1]); ++y) {
                SiteIndex v = lat.site_of(x0, y, z);
                if (geo.is_interior({x0, y, z}) && geo.is_interior({x1 - 1, y, z})) {
                    for (SiteIndex x = x0; x < x1; ++x, ++v) {
                        const Coords c{x, y, z};
                        attempt_copy(world_, k, v, true, [c] { return c; }, contact, rng, writer);
                    }
                } else {
                    for (SiteIndex x = x0; x < x1; ++x, ++v) {
                        const Coords c{x, y, z};
                        attempt_copy(world_, k, v, geo.is_interior(c), [c] { return c; }, contact, rng, writer);
                    }
                }
            }
    }

    // On the calling thread, in tile order.
    void merge() {
        Cell* cells = world_.cells.data();
        for (const TaskRecord& r : records_) {
            const WorkerScratch& s = scratch_[r.worker];
            for (std::size_t i = r.begin; i < r.end; ++i) {
                const DeltaEntry& e = s.entry(i);
                cells[e.id] += e.delta;
            }
        }
        for (WorkerScratch& s : scratch_) s.clear();
    }

    World& world_;
    Label* labels_;  // with the sites' activity, the only thing tasks write, each inside its own tile
    const AttemptSetting setting_;
    const ScaledContact scaled_;  // values null: the table does not scale, DoubleContact sums it
    const Tiling& tiling_;
    const std::uint64_t seed_;
    std::vector<WorkerScratch> scratch_;  // by worker index
    std::vector<TaskRecord> records_;     // by task index within the pass
};

std::uint64_t sweep(Morva& morva, std::uint64_t mcs, std::size_t block, WorkerPool* pool, StepCheck check) {
    World& w = morva.world;
    if (block < 2) raise_fault(__FILE__, __LINE__, "block side must be >= 2");
    for (const double lambda : w.length.lambda_by_type)
        if (lambda > 0)
            raise_fault(__FILE__, __LINE__, "parallel sweep does not support the length constraint; use step()");
    // The act change reads the neighbours of a source, two sites beyond a tile.
    const bool act = w.act.on();
    const Tiling tiling = Tiling::make(w.lattice, block, act ? 2 : 1);
    const std::uint64_t seed = morva.rng.next();  // drawn on every call that passes the checks
    if (mcs == 0) return 0;
    if (w.lattice.n_sites() == 0) return mcs;  // nothing moves or diffuses: any number of steps is none
    if (tiling.tile_count() == 0) {
        for (std::uint64_t step = 0; step < mcs; ++step) {
            w.advance_fields();
            if (step + 1 < mcs && !check(step + 1)) return step + 1;
        }
        return mcs;
    }
    WorkerPool& workers = pool ? *pool : WorkerPool::process_pool();
    prepare_sweep_tables(morva);

    ParallelSweep driver(morva, tiling, seed, workers.size());
    const bool persistent = w.persistence.on();
    for (std::uint64_t step = 0; step < mcs; ++step) {
        if (persistent) start_persistent_step(w, morva.rng);
        for (std::size_t colour = 0; colour < tiling.n_colours; ++colour)
            for (const TilePass& pass : tiling.passes[colour]) driver.run_pass(workers, pass, step, colour);
        if (act) w.decay_activity();
        w.wrap_centres_into_box();
        if (persistent) end_persistent_step(w, morva.rng);
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
