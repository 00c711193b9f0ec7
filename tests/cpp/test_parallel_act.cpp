// The act model in the parallel sweep: each task writes its tile's activity as it writes its labels
// and reads activity and labels up to two sites beyond the tile (the neighbours of a source), so the
// tiling keeps two sites between the tiles of a pass, wrapped seams included.
#include <gtest/gtest.h>

#include <algorithm>

#include "checkpoint.hpp"
#include "helpers.hpp"
#include "parallel.hpp"

namespace morva::testing {
namespace {

// Whether tile coordinates p and q come within `reach` sites along an axis, across a wrapped face
// included: some site of one has a site of the other at most reach away.
bool axis_within(const Tiling& t, int axis, std::size_t p, std::size_t q, bool periodic, SiteIndex reach) {
    const SiteIndex n = t.dims[axis];
    for (SiteIndex x = t.lo(p); x < t.hi(axis, p); ++x)
        for (SiteIndex y = t.lo(q); y < t.hi(axis, q); ++y) {
            const SiteIndex d = x > y ? x - y : y - x;
            if (d <= reach || (periodic && n - d <= reach)) return true;
        }
    return false;
}

// Thin far tiles of one site on wrapped axes with even tile counts (13 = 3 * 4 + 1, 7 = 3 * 2 + 1),
// beside odd counts and a closed box: every tile in one pass, two tiles of a pass never within two
// sites of each other. Reach 1 keeps the tiling of the models without the act model.
TEST(ParallelActTiling, PassesKeepTwoSitesBetweenTiles) {
    struct Case {
        std::array<SiteIndex, 3> dims;
        Boundary boundary;
        std::size_t block;
    };
    const Case cases[] = {{{13, 13, 1}, Boundary::Periodic, 4},
                          {{7, 9, 1}, Boundary::Periodic, 2},
                          {{13, 12, 9}, Boundary::Periodic, 4},
                          {{13, 13, 1}, Boundary::Noflux, 4}};
    for (const Case& k : cases) {
        World w = make_world(k.dims, k.boundary, 2);
        const Tiling t = Tiling::make(w.lattice, k.block, 2);
        std::vector<int> seen(t.tile_count(), 0);
        for (std::size_t c = 0; c < t.n_colours; ++c)
            for (const TilePass& p : t.passes[c])
                for (std::size_t i = 0; i < p.size(); ++i) {
                    ++seen[t.tile_index(p.tile_coords(i))];
                    for (std::size_t j = i + 1; j < p.size(); ++j) {
                        const auto u = p.tile_coords(i), v = p.tile_coords(j);
                        bool apart = false;
                        for (int a = 0; a < 3; ++a)
                            apart = apart || !axis_within(t, a, u[a], v[a], w.lattice.periodic[a], 2);
                        EXPECT_TRUE(apart) << k.dims[0] << "x" << k.dims[1] << " tiles " << t.tile_index(u)
                                           << " and " << t.tile_index(v);
                    }
                }
        for (const int s : seen) EXPECT_EQ(s, 1);
    }
    World w = make_world({13, 13, 1}, Boundary::Periodic, 2);
    std::vector<std::size_t> with_reach, without;
    for (const auto& colour : Tiling::make(w.lattice, 4, 2).passes) with_reach.push_back(colour.size());
    for (const auto& colour : Tiling::make(w.lattice, 4).passes) without.push_back(colour.size());
    EXPECT_EQ(with_reach, (std::vector<std::size_t>{4, 2, 2, 1}));
    EXPECT_EQ(without, (std::vector<std::size_t>{1, 1, 1, 1}));
}

struct ActLayout {
    const char* name;
    std::array<SiteIndex, 3> dims;
    std::uint8_t order;
    std::size_t block;
    bool arithmetic;
};

// In the scattered tissue of 3-D, a geometric mean over 26 neighbours is nearly always 0.
const ActLayout act_layouts[] = {{"Periodic2D_ThinSeamTile", {13, 13, 1}, 2, 4, false},
                                 {"Periodic2D_BlockTwo", {14, 9, 1}, 2, 2, false},
                                 {"Periodic3D_OddTiles", {12, 10, 9}, 3, 4, true}};

// A random tissue that holds together (firm volumes) with the act model on two of its three types.
Morva act_world(const ActLayout& l, std::uint64_t seed, bool act = true) {
    World w = random_world(l.dims, Boundary::Periodic, l.order, 7, seed, 0.2);
    w.temperature = 6.0;
    for (Cell& c : w.cells) {
        c.target_volume = static_cast<double>(c.volume);
        c.lambda_volume = 5.0;
        c.target_surface = 0.7 * static_cast<double>(c.surface);
    }
    if (act) {
        w.set_act(1, 30.0, 12);
        w.set_act(2, 12.0, 40);
        w.set_act_arithmetic(l.arithmetic);
    }
    return Morva::make(std::move(w), seed + 100);
}

class ParallelAct : public ::testing::TestWithParam<ActLayout> {};

TEST_P(ParallelAct, ThreadCountDoesNotChangeTheResult) {
    const ActLayout& l = GetParam();
    WorkerPool single(1);
    Morva reference = act_world(l, 31), without = act_world(l, 31, false);
    for (int call = 0; call < 3; ++call) {
        step_parallel_on(reference, 2, l.block, single);
        step_parallel_on(without, 2, l.block, single);
    }
    EXPECT_NE(reference.world.lattice.labels, without.world.lattice.labels);  // the act model took part
    EXPECT_NE(reference.world.act.activity, std::vector<Activity>(reference.world.act.activity.size(), 0));
    for (const std::size_t threads : {2u, 3u, 4u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        WorkerPool pool(threads);
        Morva m = act_world(l, 31);
        for (int call = 0; call < 3; ++call) {
            step_parallel_on(m, 2, l.block, pool);
            expect_trackers_fresh(m.world);
        }
        EXPECT_TRUE(same_state(m.world, reference.world));
        EXPECT_EQ(m.rng.s, reference.rng.s);
    }
}

// One step: a site the step moved holds its new cell's max_act less the step's decrement, any other
// its old activity less one, or that fresh value when it was taken back.
TEST_P(ParallelAct, AStepActivatesCopiedSitesAndLowersEveryActivityOnce) {
    const ActLayout& l = GetParam();
    Morva m = act_world(l, 33);
    World& w = m.world;
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) w.act.activity[s] = static_cast<Activity>(s % 3);
    const std::vector<Activity> before_activity = w.act.activity;
    const std::vector<Label> before = w.lattice.labels;
    WorkerPool pool(2);
    step_parallel_on(m, 1, l.block, pool);
    std::size_t moved = 0;
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        const Label now = w.lattice.labels[s];
        const int top = now == 0 ? 0 : w.act.max_of(w.cells[now].cell_type);
        const int fresh = std::max(top - 1, 0), kept = std::max(before_activity[s] - 1, 0);
        const int v = w.act.activity[s];
        moved += now != before[s];
        if (now != before[s]) EXPECT_EQ(v, fresh) << "site " << s;
        else EXPECT_TRUE(v == kept || v == fresh) << "site " << s;
    }
    EXPECT_GT(moved, 5u);
}

TEST_P(ParallelAct, CheckpointResumesBitForBit) {
    const ActLayout& l = GetParam();
    WorkerPool pool(2);
    Morva original = act_world(l, 32);
    step_parallel_on(original, 3, l.block, pool);
    Session s = read_checkpoint(write_checkpoint({original.world, &original.rng, {}}));
    Morva loaded(std::move(s.world), *s.rng);
    step_parallel_on(original, 3, l.block, pool);
    step_parallel_on(loaded, 3, l.block, pool);
    EXPECT_TRUE(same_state(loaded.world, original.world));
    EXPECT_EQ(loaded.rng.s, original.rng.s);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ParallelAct, ::testing::ValuesIn(act_layouts),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace morva::testing
