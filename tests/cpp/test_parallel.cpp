#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>

#include "helpers.hpp"
#include "parallel.hpp"

namespace morva::testing {
namespace {

// ------------------------------------------------------------------------------------------- helpers

void expect_same_state(const Morva& a, const Morva& b) {
    EXPECT_EQ(a.world.lattice.labels, b.world.lattice.labels);
    EXPECT_EQ(a.rng.s, b.rng.s);
    expect_same_trackers(a.world.cells, b.world.cells);
}

std::string fault_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const EngineFault& e) {
        return e.text();
    }
    return "(no fault)";
}

struct Layout {
    const char* name;
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::uint8_t order;
    std::size_t block;
    double lambda_surface;
};

// Even and odd tile counts, thin far tiles, the smallest block, wrapped seams on one to three axes.
const Layout layouts[] = {
    {"Periodic2D_EvenTiles", {16, 16, 1}, Boundary::Periodic, 2, 4, 0.0},
    {"Noflux2D_ThinTiles", {18, 13, 1}, Boundary::Noflux, 3, 4, 0.3},
    {"Periodic2D_OddTiles", {20, 12, 1}, Boundary::Periodic, 2, 4, 0.3},
    {"Periodic3D_BlockTwo", {8, 8, 6}, Boundary::Periodic, 3, 2, 0.2},
    {"Periodic3D_OddTiles", {12, 10, 9}, Boundary::Periodic, 3, 4, 0.2},
    {"Noflux3D_ThinTiles", {10, 9, 7}, Boundary::Noflux, 2, 3, 0.0},
};

// A random tissue whose cells hold firmly to the volume and aim at a bit less than the surface they
// start with, so they live through the test instead of collapsing into the medium.
World layout_tissue(const Layout& l, std::uint64_t seed) {
    World w = random_world(l.dims, l.boundary, l.order, 7, seed, l.lambda_surface);
    w.temperature = 6.0;
    for (Cell& c : w.cells) {
        c.target_volume = static_cast<double>(c.volume);
        c.lambda_volume = 5.0;
        c.target_surface = 0.7 * static_cast<double>(c.surface);
    }
    return w;
}

Morva layout_world(const Layout& l, std::uint64_t seed) { return Morva::make(layout_tissue(l, seed), seed + 100); }

// The sweep written out the plain way, one tile after another on this thread: trackers frozen at the
// start of each pass, one std::map of increments per tile, energies through the World's own functions.
// Passes are built here from the tile parities (and, on wrapped axes with an odd tile count, from the
// last-tile mask) without the engine's Tiling.
void reference_step_parallel(Morva& m, std::uint64_t mcs, std::size_t block) {
    World& w = m.world;
    const std::uint64_t seed = m.rng.next();
    const auto& dims = w.lattice.dims;
    std::array<std::size_t, 3> tiles{};
    for (int a = 0; a < 3; ++a) tiles[a] = (dims[a] + block - 1) / block;
    const std::size_t colours = dims[2] >= 2 ? 8 : 4;
    const TermGates gates = w.term_gates();
    auto& labels = w.lattice.labels;
    for (std::uint64_t step = 0; step < mcs; ++step) {
        for (std::uint64_t c = 0; c < colours; ++c)
            for (unsigned mask = 0; mask < 8; ++mask) {
                const std::vector<Cell> start = w.cells;
                std::vector<std::map<Label, Trackers>> maps;
                for (std::uint64_t t = 0; t < tiles[0] * tiles[1] * tiles[2]; ++t) {
                    const std::array<std::size_t, 3> tc{t % tiles[0], (t / tiles[0]) % tiles[1],
                                                        t / (tiles[0] * tiles[1])};
                    bool listed = true;
                    for (int a = 0; a < 3; ++a) {
                        const bool seam = w.lattice.periodic[a] && tiles[a] > 1 && tiles[a] % 2 == 1;
                        const bool last = seam && tc[a] == tiles[a] - 1;
                        listed = listed && (tc[a] % 2 == ((c >> a) & 1)) && (last == bool((mask >> a) & 1));
                    }
                    if (!listed) continue;
                    std::map<Label, Trackers>& map = maps.emplace_back();
                    Xoshiro256pp rng = Xoshiro256pp::from_seed((t * 0xC2B2AE3DULL) ^ seed ^ (step * 0x9E3779B9ULL) ^
                                                               (c * 0x85EBCA77ULL));
                    for (SiteIndex z = tc[2] * block; z < std::min(dims[2], (tc[2] + 1) * block); ++z)
                        for (SiteIndex y = tc[1] * block; y < std::min(dims[1], (tc[1] + 1) * block); ++y)
                            for (SiteIndex x = tc[0] * block; x < std::min(dims[0], (tc[0] + 1) * block); ++x) {
                                const SiteIndex v = w.lattice.site_of(x, y, z);
                                const Label old = labels[v];
                                const NeighborList nbrs = w.lattice.neighbors(v);
                                if (nbrs.empty()) continue;
                                const SiteIndex source = nbrs[rng.below(nbrs.size())];
                                const Label now = labels[source];
                                if (now == old) continue;
                                double e = 0.0;
                                for (const auto& [l, d] : {std::pair{old, -1}, std::pair{now, 1}}) {
                                    if (l == 0) continue;
                                    const Cell& cell = start[l];
                                    const std::int64_t vol = cell.volume + (map.count(l) ? map[l].volume : 0);
                                    const double d1 = static_cast<double>(vol + d) - cell.target_volume;
                                    const double d0 = static_cast<double>(vol) - cell.target_volume;
                                    e += cell.lambda_volume * (d1 * d1 - d0 * d0);
                                }
                                if (w.surface_active)
                                    for (const SurfaceDelta& sd : w.surface_deltas(v, now)) {
                                        if (sd.id == 0) continue;
                                        const Cell& cell = start[sd.id];
                                        const std::int64_t s =
                                            cell.surface + (map.count(sd.id) ? map[sd.id].surface : 0);
                                        const double d1 = static_cast<double>(s + sd.change) - cell.target_surface;
                                        const double d0 = static_cast<double>(s) - cell.target_surface;
                                        e += cell.lambda_surface * (d1 * d1 - d0 * d0);
                                    }
                                double contact = 0.0;
                                for (const SiteIndex n : nbrs) {
                                    if (n == v) continue;
                                    const CellType tn = w.cells[labels[n]].cell_type;
                                    const CellType t_now = w.cells[now].cell_type, t_old = w.cells[old].cell_type;
                                    const double gained = labels[n] != now ? w.contact.at(t_now, tn) : 0.0;
                                    const double lost = labels[n] != old ? w.contact.at(t_old, tn) : 0.0;
                                    contact += gained - lost;
                                }
                                e += contact;
                                if (gates.fields) e += w.delta_chemotaxis(v, source, now);
                                if (gates.on<MembraneTerm>()) e += w.delta_membrane(v, now);
                                if (gates.on<JunctionTerm>()) e += w.delta_junction(v, now);
                                if (gates.on<ExternalTerm>()) e += w.delta_external(v, now);
                                if (!metropolis_accepts(e, w.temperature, rng)) continue;
                                if (gates.on<ConnectivityTerm>() && w.connectivity_applies(old) &&
                                    !w.would_stay_connected(v, old))
                                    continue;
                                const SurfaceDeltaList changes = w.surface_deltas(v, now);
                                labels[v] = now;
                                const double fx = static_cast<double>(x), fy = static_cast<double>(y),
                                             fz = static_cast<double>(z);
                                for (const auto& [l, sign] : {std::pair{old, -1.0}, std::pair{now, 1.0}}) {
                                    Trackers& d = map[l];
                                    d.volume += static_cast<std::int64_t>(sign);
                                    d.sum_x += sign * fx, d.sum_y += sign * fy, d.sum_z += sign * fz;
                                    d.sum_xx += sign * fx * fx, d.sum_yy += sign * fy * fy, d.sum_zz += sign * fz * fz;
                                    d.sum_xy += sign * fx * fy, d.sum_xz += sign * fx * fz, d.sum_yz += sign * fy * fz;
                                }
                                for (const SurfaceDelta& sd : changes) map[sd.id].surface += sd.change;
                            }
                }
                for (const auto& map : maps)
                    for (const auto& [id, d] : map) {
                        Cell& cell = w.cells[id];
                        cell.volume += d.volume, cell.surface += d.surface;
                        cell.sum_x += d.sum_x, cell.sum_y += d.sum_y, cell.sum_z += d.sum_z;
                        cell.sum_xx += d.sum_xx, cell.sum_yy += d.sum_yy, cell.sum_zz += d.sum_zz;
                        cell.sum_xy += d.sum_xy, cell.sum_xz += d.sum_xz, cell.sum_yz += d.sum_yz;
                    }
            }
        w.advance_fields();
    }
}

// ---------------------------------------------------------------------------------------------- pool

TEST(ParallelPool, SizeRuleFollowsTheTwoVariables) {
    struct Case {
        const char* num_threads;
        const char* rs_num_cpus;
        std::size_t cpus, expected;
    };
    const Case cases[] = {
        {"3", "5", 2, 3},          {"0", "5", 6, 6},           {"0", nullptr, 0, 1},     {nullptr, "5", 2, 5},
        {"lots", "5", 2, 5},       {"-2", "5", 2, 5},          {"2.5", nullptr, 4, 4},   {"", "7", 2, 7},
        {nullptr, "0", 3, 3},      {nullptr, "x", 3, 3},       {nullptr, nullptr, 2, 2}, {nullptr, nullptr, 0, 1},
        {"+4", nullptr, 2, 4},     {"00", "9", 2, 2},          {" 4", "9", 3, 9},
        {"99999999999999999999999", "9", 3, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.num_threads ? c.num_threads : "(unset)") + " / " +
                     (c.rs_num_cpus ? c.rs_num_cpus : "(unset)"));
        EXPECT_EQ(pool_size_rule(c.num_threads, c.rs_num_cpus, c.cpus), c.expected);
    }
    EXPECT_GE(available_cpus(), 1u);
}

TEST(ParallelPool, RunsEveryTaskOnceOnEverySize) {
    for (const std::size_t size : {1u, 2u, 3u, 8u}) {
        WorkerPool pool(size);
        EXPECT_EQ(pool.size(), size);
        for (const std::size_t count : {0u, 1u, 2u, 7u, 100u}) {
            std::vector<std::atomic<int>> hits(count);
            auto task = [&](std::size_t i, std::size_t worker) {
                hits[i].fetch_add(1);
                if (worker >= size) throw std::out_of_range("worker index");
            };
            pool.run(count, task);
            for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(hits[i].load(), 1) << "size " << size << " task " << i;
        }
    }
}

TEST(ParallelPool, RunsAllTasksAndRaisesTheLowestFault) {
    for (const std::size_t size : {1u, 3u}) {
        WorkerPool pool(size);
        std::vector<std::atomic<int>> hits(40);
        auto task = [&](std::size_t i, std::size_t) {
            hits[i].fetch_add(1);
            if (i == 31 || i == 17) throw std::runtime_error("task " + std::to_string(i));
        };
        try {
            pool.run(40, task);
            ADD_FAILURE() << "no fault raised";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "task 17");
        }
        for (const auto& h : hits) EXPECT_EQ(h.load(), 1);
        std::atomic<int> after{0};
        auto quiet = [&](std::size_t, std::size_t) { after.fetch_add(1); };
        pool.run(5, quiet);  // the pool is still usable
        EXPECT_EQ(after.load(), 5);
    }
}

TEST(ParallelPool, ProcessPoolIsBuiltOnceAndKept) {
    WorkerPool& a = WorkerPool::process_pool();
    WorkerPool& b = WorkerPool::process_pool();
    EXPECT_EQ(&a, &b);
    EXPECT_GE(a.size(), 1u);
}

#if defined(__SANITIZE_THREAD__)
constexpr bool under_thread_sanitizer = true;
#else
constexpr bool under_thread_sanitizer = false;
#endif

// A child made by fork must not wait on the parent's pool, whose threads it does not have.
TEST(ParallelPool, ForkedChildBuildsItsOwnPool) {
    if (under_thread_sanitizer) GTEST_SKIP() << "the thread sanitizer refuses threads in a forked child";
    Morva parent = layout_world(layouts[0], 1);
    parent.step_parallel(2, 4);  // the process pool exists now, with its threads
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(30);  // a hang ends the child with SIGALRM
        Morva child = layout_world(layouts[0], 1);
        child.step_parallel(2, 4);
        Morva again = layout_world(layouts[0], 1);
        WorkerPool one(1);
        step_parallel_on(again, 2, 4, one);
        _exit(child.world.lattice.labels == again.world.lattice.labels ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    parent.step_parallel(1, 4);  // and the parent's pool still works
    expect_trackers_fresh(parent.world);
}

// -------------------------------------------------------------------------------------------- tiling

TEST(ParallelTiling, TilesCoverTheBoxWithThinFarTiles) {
    World w = make_world({10, 7, 1}, Boundary::Noflux, 1);
    const Tiling t = Tiling::make(w.lattice, 4);
    EXPECT_EQ(t.tiles, (std::array<std::size_t, 3>{3, 2, 1}));
    EXPECT_EQ(t.n_colours, 4u);
    EXPECT_EQ(std::vector<SiteIndex>({t.lo(0), t.hi(0, 0), t.lo(1), t.hi(0, 1), t.lo(2), t.hi(0, 2)}),
              std::vector<SiteIndex>({0, 4, 4, 8, 8, 10}));
    EXPECT_EQ(t.hi(1, 1), 7u);
    // A huge block gives one tile without overflowing.
    const Tiling one = Tiling::make(w.lattice, std::numeric_limits<std::size_t>::max());
    EXPECT_EQ(one.tile_count(), 1u);
    EXPECT_EQ(one.hi(0, 0), 10u);
}

struct TilingCase {
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::size_t block;
    std::size_t colours;
    std::vector<std::size_t> passes_per_colour;
};

// Whether tile coordinates p and q come within one site along an axis, across a wrapped face included.
bool axis_touches(const Tiling& t, int axis, std::size_t p, std::size_t q, Boundary boundary) {
    const SiteIndex n = t.dims[axis];
    for (SiteIndex x = t.lo(p); x < t.hi(axis, p); ++x)
        for (SiteIndex y = t.lo(q); y < t.hi(axis, q); ++y) {
            const SiteIndex d = x > y ? x - y : y - x;
            if (d <= 1 || (boundary == Boundary::Periodic && n - d <= 1)) return true;
        }
    return false;
}

class ParallelTilingLayout : public ::testing::TestWithParam<TilingCase> {};

// Every tile sits in exactly one pass of its own colour, passes list tiles in increasing index, and no
// two tiles of one pass come within one site of each other, wrapped faces included.
TEST_P(ParallelTilingLayout, PassesPartitionTheTilesWithoutTouchingPairs) {
    const TilingCase& tc = GetParam();
    World w = make_world(tc.dims, tc.boundary, 2);
    const Tiling t = Tiling::make(w.lattice, tc.block);
    ASSERT_EQ(t.n_colours, tc.colours);
    std::vector<std::size_t> passes;
    std::vector<int> seen(t.tile_count(), 0);
    for (std::size_t c = 0; c < t.n_colours; ++c) {
        passes.push_back(t.passes[c].size());
        for (const TilePass& p : t.passes[c]) {
            std::vector<std::size_t> listed;
            for (std::size_t i = 0; i < p.size(); ++i) {
                const auto tile = p.tile_coords(i);
                for (int a = 0; a < 3; ++a) EXPECT_EQ(tile[a] % 2, (c >> a) & 1);
                listed.push_back(t.tile_index(tile));
                ++seen[listed.back()];
            }
            EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
            for (std::size_t i = 0; i < p.size(); ++i)
                for (std::size_t j = i + 1; j < p.size(); ++j) {
                    const auto u = p.tile_coords(i), v = p.tile_coords(j);
                    bool apart = false;  // some axis leaves at least one site between the two tiles
                    for (int a = 0; a < 3; ++a) apart = apart || !axis_touches(t, a, u[a], v[a], tc.boundary);
                    EXPECT_TRUE(apart) << "tiles " << t.tile_index(u) << " and " << t.tile_index(v);
                }
        }
    }
    EXPECT_EQ(passes, tc.passes_per_colour);
    for (const int s : seen) EXPECT_EQ(s, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ParallelTilingLayout,
    ::testing::Values(
        // No seam: one pass per colour, 4 colours in 2-D and 8 in 3-D (empty when nz <= block).
        TilingCase{{16, 16, 1}, Boundary::Periodic, 4, 4, {1, 1, 1, 1}},
        TilingCase{{20, 12, 1}, Boundary::Noflux, 4, 4, {1, 1, 1, 1}},
        TilingCase{{8, 8, 3}, Boundary::Periodic, 4, 8, {1, 1, 1, 1, 0, 0, 0, 0}},
        TilingCase{{13, 13, 13}, Boundary::Periodic, 4, 8, {1, 1, 1, 1, 1, 1, 1, 1}},
        // Odd tile counts on wrapped axes: the even colours of such an axis split at the seam.
        TilingCase{{20, 12, 1}, Boundary::Periodic, 4, 4, {4, 2, 2, 1}},
        TilingCase{{48, 16, 1}, Boundary::Periodic, 16, 4, {2, 1, 0, 0}},
        TilingCase{{12, 12, 12}, Boundary::Periodic, 4, 8, {8, 4, 4, 2, 4, 2, 2, 1}},
        TilingCase{{5, 5, 5}, Boundary::Periodic, 2, 8, {8, 4, 4, 2, 4, 2, 2, 1}}));

// --------------------------------------------------------------------------------------------- sweep

TEST(ParallelSweep, RefusesBlocksBelowTwoBeforeAnyChange) {
    Morva m = layout_world(layouts[0], 3);
    const auto rng = m.rng.s;
    const auto labels = m.world.lattice.labels;
    for (const std::size_t block : {0u, 1u})
        EXPECT_EQ(fault_text([&] { m.step_parallel(3, block); }), "block side must be >= 2");
    WorkerPool pool(2);
    EXPECT_EQ(fault_text([&] { step_parallel_on(m, 3, 1, pool); }), "block side must be >= 2");
    EXPECT_EQ(m.rng.s, rng);
    EXPECT_EQ(m.world.lattice.labels, labels);
    m.step_parallel(1, 2);
    EXPECT_NE(m.rng.s, rng);
}

TEST(ParallelSweep, RefusesAPositiveLengthLambdaBeforeAnyChange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double lambda : {0.5, 1e-300, std::numeric_limits<double>::infinity()}) {
        Morva m = layout_world(layouts[0], 4);
        m.world.length.lambda_by_type = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, lambda};  // no cell has type 9
        const auto rng = m.rng.s;
        const auto labels = m.world.lattice.labels;
        EXPECT_EQ(fault_text([&] { m.step_parallel(2, 4); }),
                  "parallel sweep does not support the length constraint; use step()");
        EXPECT_EQ(m.rng.s, rng);
        EXPECT_EQ(m.world.lattice.labels, labels);
        // The block check comes first.
        EXPECT_EQ(fault_text([&] { m.step_parallel(2, 1); }), "block side must be >= 2");
    }
    for (const double lambda : {0.0, -2.0, nan}) {
        Morva m = layout_world(layouts[0], 4);
        m.world.length.lambda_by_type = {lambda, lambda};
        EXPECT_EQ(fault_text([&] { m.step_parallel(2, 4); }), "(no fault)");
    }
}

TEST(ParallelSweep, ZeroStepsOnlyDrawTheSweepSeed) {
    Morva m = layout_world(layouts[3], 5);
    Xoshiro256pp mirror = m.rng;
    mirror.next();
    const std::vector<Cell> cells = m.world.cells;
    const auto labels = m.world.lattice.labels;
    m.step_parallel(0, 4);
    EXPECT_EQ(m.rng.s, mirror.s);
    EXPECT_EQ(m.world.lattice.labels, labels);
    for (std::size_t i = 0; i < cells.size(); ++i) EXPECT_EQ(m.world.cells[i].surface, cells[i].surface);
}

TEST(ParallelSweep, EmptyBoxDrawsOnlyTheSweepSeed) {
    Morva m = finalize(make_world({0, 4, 4}, Boundary::Periodic, 2), {}, 2);
    Xoshiro256pp mirror = m.rng;
    mirror.next();
    m.step_parallel(3, 2);
    EXPECT_EQ(m.rng.s, mirror.s);
}

class ParallelLayout : public ::testing::TestWithParam<Layout> {};

// The same result for any number of threads, and trackers equal to a recomputation after every call.
TEST_P(ParallelLayout, ThreadCountDoesNotChangeTheResult) {
    const Layout& l = GetParam();
    Morva reference = layout_world(l, 11);
    WorkerPool single(1);
    for (int call = 0; call < 3; ++call) step_parallel_on(reference, 2, l.block, single);
    EXPECT_NE(reference.world.lattice.labels, layout_world(l, 11).world.lattice.labels);
    for (std::size_t i = 1; i < reference.world.cells.size(); ++i) EXPECT_GT(reference.world.cells[i].volume, 0);
    for (const std::size_t threads : {2u, 3u, 8u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        WorkerPool pool(threads);
        Morva m = layout_world(l, 11);
        for (int call = 0; call < 3; ++call) {
            step_parallel_on(m, 2, l.block, pool);
            expect_trackers_fresh(m.world);
        }
        expect_same_state(m, reference);
    }
}

// The engine against the plain tile-by-tile version above.
TEST_P(ParallelLayout, MatchesThePlainTileByTileSweep) {
    const Layout& l = GetParam();
    Morva m = layout_world(l, 12), plain = layout_world(l, 12);
    WorkerPool pool(3);
    for (int call = 0; call < 2; ++call) {
        step_parallel_on(m, 2, l.block, pool);
        reference_step_parallel(plain, 2, l.block);
    }
    expect_same_state(m, plain);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ParallelLayout, ::testing::ValuesIn(layouts),
                         [](const auto& p) { return std::string(p.param.name); });

// Every optional term that the parallel sweep asks for, switched on: a secreted field with linear and
// occupancy chemotaxis, the membrane and junction terms, an external potential and the connectivity
// veto for one cell type and the medium.
Morva layout_world_with_terms(const Layout& l, std::uint64_t seed) {
    World w = layout_tissue(l, seed);
    w.add_field("u", 0.15, 0.02);
    w.set_secretion(0, 1, 2.0);
    w.set_chemotaxis(0, 2, 20.0);
    w.set_chemotaxis_occupancy(0, 3, -4.0, 0.5, 2.0, 1.5);
    w.set_membrane({0, w.lattice.n_sites() / 2}, 0.5, 1.0);
    w.set_membrane_anchored(3, true);
    w.set_junction(1, true);
    w.set_junction(2, true);
    w.set_junction_lambda(3.0);
    w.set_external_potential(1, 4.0, -3.0, 2.0);
    w.set_connectivity(2, true);
    w.set_connectivity_medium(true);
    return Morva::make(std::move(w), seed + 100);
}

class ParallelTerms : public ::testing::TestWithParam<Layout> {};

TEST_P(ParallelTerms, ThreadCountDoesNotChangeTheResult) {
    const Layout& l = GetParam();
    WorkerPool single(1);
    Morva reference = layout_world_with_terms(l, 21);
    for (int call = 0; call < 2; ++call) step_parallel_on(reference, 2, l.block, single);
    for (const std::size_t threads : {2u, 3u, 8u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        WorkerPool pool(threads);
        Morva m = layout_world_with_terms(l, 21);
        for (int call = 0; call < 2; ++call) {
            step_parallel_on(m, 2, l.block, pool);
            expect_trackers_fresh(m.world);
        }
        expect_same_state(m, reference);
        EXPECT_EQ(m.world.field_conc(0), reference.world.field_conc(0));
    }
}

TEST_P(ParallelTerms, MatchesThePlainTileByTileSweep) {
    const Layout& l = GetParam();
    Morva m = layout_world_with_terms(l, 22), plain = layout_world_with_terms(l, 22);
    Morva without = layout_world(l, 22);
    const TermGates g = m.world.term_gates();
    EXPECT_TRUE(g.fields && g.on<MembraneTerm>() && g.on<JunctionTerm>() && g.on<ExternalTerm>() &&
                g.on<ConnectivityTerm>() && !g.on<LengthTerm>());
    WorkerPool pool(2);
    for (int call = 0; call < 2; ++call) {
        step_parallel_on(m, 2, l.block, pool);
        step_parallel_on(without, 2, l.block, pool);
        reference_step_parallel(plain, 2, l.block);
    }
    expect_same_state(m, plain);
    EXPECT_EQ(m.world.field_conc(0), plain.world.field_conc(0));
    EXPECT_NE(m.world.lattice.labels, without.world.lattice.labels);  // the terms took part
}

INSTANTIATE_TEST_SUITE_P(Layouts, ParallelTerms, ::testing::Values(layouts[1], layouts[2], layouts[4]),
                         [](const auto& p) { return std::string(p.param.name); });

// With one tile the sweep is a raster sweep with one generator seeded from tile 0, colour 0, and its
// trackers are always exact, so it equals the sequential machinery (delta_hamiltonian, apply_flip)
// run over the sites in order.
TEST(ParallelSweep, BlockBeyondEverySideIsOneRasterSweep) {
    for (const Layout& l : {layouts[1], layouts[2], layouts[4]}) {
        SCOPED_TRACE(l.name);
        Morva m = layout_world(l, 13), plain = layout_world(l, 13);
        m.world.set_external_potential(2, 0.5, -0.25, 1.0);
        plain.world.set_external_potential(2, 0.5, -0.25, 1.0);
        m.step_parallel(3, 64);
        World& w = plain.world;
        const std::uint64_t seed = plain.rng.next();
        for (std::uint64_t step = 0; step < 3; ++step) {
            Xoshiro256pp rng = Xoshiro256pp::from_seed(tile_seed(0, seed, step, 0));
            for (SiteIndex v = 0; v < w.lattice.n_sites(); ++v) {
                const NeighborList nbrs = w.lattice.neighbors(v);
                if (nbrs.empty()) continue;
                const Label b = w.lattice.labels[nbrs[rng.below(nbrs.size())]];
                if (b == w.lattice.labels[v]) continue;
                const double dh = w.delta_hamiltonian(v, b) + w.delta_external(v, b);
                if (metropolis_accepts(dh, w.temperature, rng)) w.apply_flip(v, b);
            }
        }
        expect_same_state(m, plain);
    }
}

// Every site is a target once per step here, against about 63% of the sites in a step of the
// sequential sweep, so B1 sorts somewhat faster per step: after n steps its like-type share lies
// between that of the sequential sweep after n and after 2n steps (means over three seeds).
TEST(ParallelSweep, CellSortingTracksTheSequentialSweep) {
    constexpr std::uint64_t steps = 50;
    const double start = like_contact_fraction(scenes::b1_cell_sorting(1).world);
    double sequential = 0.0, sequential_twice = 0.0, parallel = 0.0;
    WorkerPool pool(2);
    for (const std::uint64_t seed : {31u, 32u, 33u}) {
        Morva a = scenes::b1_cell_sorting(seed), b = scenes::b1_cell_sorting(seed);
        a.step(steps);
        sequential += like_contact_fraction(a.world) / 3.0;
        a.step(steps);
        sequential_twice += like_contact_fraction(a.world) / 3.0;
        step_parallel_on(b, steps, 16, pool);
        parallel += like_contact_fraction(b.world) / 3.0;
        expect_trackers_fresh(b.world);
        for (std::size_t i = 1; i < b.world.cells.size(); ++i)
            EXPECT_NEAR(static_cast<double>(b.world.cells[i].volume), 100.0, 15.0) << "cell " << i;
    }
    EXPECT_GT(sequential, start + 0.2);
    EXPECT_GT(parallel, sequential);
    EXPECT_LT(parallel, sequential_twice);
}

}  // namespace
}  // namespace morva::testing
