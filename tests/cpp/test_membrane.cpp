#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "membrane.hpp"
#include "term_helpers.hpp"

namespace morva::testing {
namespace {

const float inf = std::numeric_limits<float>::infinity();

// --- distance field

struct FieldCase {
    const char* name;
    std::array<SiteIndex, 3> dims;
    std::vector<SiteIndex> anchors;
    std::vector<float> distance;
};

class DistanceField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(DistanceField, GivesFaceStepsToTheNearestAnchor) {
    const FieldCase& c = GetParam();
    EXPECT_EQ(build_distance_field(c.dims, c.anchors), c.distance);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DistanceField,
    ::testing::Values(FieldCase{"one_anchor", {5, 1, 1}, {0}, {0, 1, 2, 3, 4}},
                      FieldCase{"two_anchors", {5, 1, 1}, {0, 4}, {0, 1, 2, 1, 0}},
                      FieldCase{"repeated_anchor", {5, 1, 1}, {2, 2, 2}, {2, 1, 0, 1, 2}},
                      FieldCase{"outside_ignored", {5, 1, 1}, {9, 3, 5}, {3, 2, 1, 0, 1}},
                      FieldCase{"only_outside", {3, 1, 1}, {3, 100}, {inf, inf, inf}},
                      FieldCase{"none", {2, 2, 1}, {}, {inf, inf, inf, inf}},
                      // No wrap: the far corner of a 3 x 3 box is 4 steps away, not 2.
                      FieldCase{"no_wrap_2d", {3, 3, 1}, {0}, {0, 1, 2, 1, 2, 3, 2, 3, 4}},
                      FieldCase{"layers", {1, 1, 4}, {3}, {3, 2, 1, 0}},
                      FieldCase{"empty_box", {0, 4, 4}, {0}, {}}),
    [](const ::testing::TestParamInfo<FieldCase>& p) { return std::string(p.param.name); });

TEST(DistanceField, EqualsTheSmallestManhattanDistanceInRandomBoxes) {
    std::mt19937_64 gen(5);
    for (int trial = 0; trial < 30; ++trial) {
        const std::array<SiteIndex, 3> dims{1 + gen() % 7, 1 + gen() % 7, 1 + gen() % 5};
        const SiteIndex n = dims[0] * dims[1] * dims[2];
        std::vector<SiteIndex> anchors(1 + gen() % 4);
        for (auto& a : anchors) a = gen() % (n + 2);  // now and then one beyond the box
        const std::vector<float> got = build_distance_field(dims, anchors);
        ASSERT_EQ(got.size(), n);
        for (SiteIndex s = 0; s < n; ++s) {
            float best = inf;
            for (const SiteIndex a : anchors) {
                if (a >= n) continue;
                const auto d = [&](SiteIndex u, SiteIndex v) { return u > v ? u - v : v - u; };
                const SiteIndex steps = d(s % dims[0], a % dims[0]) + d(s / dims[0] % dims[1], a / dims[0] % dims[1]) +
                                        d(s / (dims[0] * dims[1]), a / (dims[0] * dims[1]));
                best = std::min(best, static_cast<float>(steps));
            }
            EXPECT_EQ(got[s], best) << "trial " << trial << " site " << s;
        }
    }
}

// --- membrane term

TEST(Membrane, SettingAnchorsTurnsTheTermOnAndAnEmptyListOff) {
    World w = make_world({6, 1, 1}, Boundary::Periodic, 1);
    w.set_membrane_anchored(2, true);
    EXPECT_EQ(w.membrane.anchored_by_type, (std::vector<std::uint8_t>{0, 0, 1}));
    EXPECT_FALSE(w.term_gates().on<MembraneTerm>());
    w.set_membrane({5}, 1.5, 0.5);
    EXPECT_EQ(w.membrane.distance, (std::vector<float>{5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(w.membrane.k, 1.5);
    EXPECT_EQ(w.membrane.band, 0.5);
    EXPECT_TRUE(w.term_gates().on<MembraneTerm>());
    w.set_membrane({}, 9.0, 9.0);
    EXPECT_TRUE(w.membrane.distance.empty());
    EXPECT_EQ(w.membrane.k, 1.5);
    EXPECT_EQ(w.membrane.band, 0.5);
    EXPECT_FALSE(w.term_gates().on<MembraneTerm>());
    // Anchors only outside the box: the term stays on, every site infinitely far.
    w.set_membrane({6, 40}, 2.0, 1.0);
    EXPECT_EQ(w.membrane.distance, std::vector<float>(6, inf));
    EXPECT_TRUE(w.term_gates().on<MembraneTerm>());
    w.set_membrane_anchored(2, false);
    EXPECT_FALSE(w.term_gates().on<MembraneTerm>());
}

TEST(Membrane, AnchoredCellPaysBeyondTheBand) {
    World w = make_world({8, 1, 1}, Boundary::Noflux, 1);
    const Label held = w.add_cell(1, 1, 1, 0, 0), free_cell = w.add_cell(2, 1, 1, 0, 0);
    w.paint(4, held);
    w.paint(6, free_cell);
    w.set_membrane_anchored(1, true);
    w.set_membrane({0}, 1.0, 2.0);
    w.recompute_trackers();
    EXPECT_EQ(w.delta_membrane(5, held), 9.0);   // (5 - 2)^2
    EXPECT_EQ(w.delta_membrane(2, held), 0.0);   // on the band's edge
    EXPECT_EQ(w.delta_membrane(4, 0), -4.0);     // leaves (4 - 2)^2
    EXPECT_EQ(w.delta_membrane(6, held), 16.0);  // from a free cell
    EXPECT_EQ(w.delta_membrane(4, free_cell), -4.0);
    EXPECT_EQ(w.delta_membrane(7, free_cell), 0.0);
    EXPECT_EQ(w.delta_membrane(4, held), 0.0);
}

double whole_membrane_energy(const World& w) {
    double energy = 0.0;
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        const Label l = w.lattice.labels[s];
        const CellType t = w.cells[l].cell_type;
        if (l == 0 || t >= w.membrane.anchored_by_type.size() || !w.membrane.anchored_by_type[t]) continue;
        const double e = static_cast<double>(w.membrane.distance[s]) - w.membrane.band;
        if (e > 0) energy += w.membrane.k * e * e;
    }
    return energy;
}

class MembraneDelta : public ::testing::TestWithParam<TermShape> {};

TEST_P(MembraneDelta, EqualsTheChangeOfTheWholeEnergy) {
    const TermShape c = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 6, seed);
        // Types 1 and 3 are held, type 2 is not; type 0 is listed but the medium is never held.
        w.set_membrane_anchored(0, true);
        w.set_membrane_anchored(1, true);
        w.set_membrane_anchored(3, true);
        w.set_membrane({seed % w.lattice.n_sites(), 3 * seed % w.lattice.n_sites()}, 0.75, seed % 2 ? 1.5 : -0.5);
        const int changed = expect_delta_matches_whole(
            w, seed * 7, 300, [](const World& x, SiteIndex s, Label l) { return x.delta_membrane(s, l); },
            whole_membrane_energy, 1e-12);
        EXPECT_GT(changed, 30);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MembraneDelta, ::testing::ValuesIn(term_shapes()), shape_name);

TEST(Membrane, RunKeepsHeldCellsNearTheAnchors) {
    // Anchors along the row y = 0; held cells start in the middle of the box.
    const auto mean_y = [](double k) {
        World w = block_tissue(30, 30, Boundary::Noflux, 2, 2, 5, 10, 6.0);
        std::vector<SiteIndex> row(30);
        for (SiteIndex x = 0; x < 30; ++x) row[x] = x;
        w.set_membrane(row, k, 3.0);
        w.set_membrane_anchored(1, true);
        w.set_membrane_anchored(2, true);
        Morva m = finalize(std::move(w), {{0, 1, 3.0}, {0, 2, 3.0}, {1, 2, 2.0}}, 12);
        m.step(150);
        double sum = 0.0;
        for (Label id = 1; id < m.world.cells.size(); ++id) {
            const Cell& cell = m.world.cells[id];
            EXPECT_GT(cell.volume, 10) << "k " << k << " cell " << id;
            sum += cell.sum_y / static_cast<double>(cell.volume);
        }
        return sum / 4.0;
    };
    const double free_y = mean_y(0.0), held_y = mean_y(0.05);
    EXPECT_LT(held_y, free_y - 4.0);
}

// --- junction term

struct PinchCase {
    const char* name;
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::vector<Label> labels;  // 0 medium; 1, 2 enabled (type 1); 3 not enabled (type 2)
    SiteIndex probe;
    std::int64_t pinches;
};

class Pinch : public ::testing::TestWithParam<PinchCase> {};

World pinch_world(const PinchCase& c) {
    World w = make_world(c.dims, c.boundary, 1);
    w.add_cell(1, 1, 1, 0, 0);
    w.add_cell(1, 1, 1, 0, 0);
    w.add_cell(2, 1, 1, 0, 0);
    for (SiteIndex s = 0; s < c.labels.size(); ++s) w.paint(s, c.labels[s]);
    w.set_junction(1, true);
    w.set_junction(2, false);
    w.set_junction_lambda(2.5);
    w.recompute_trackers();
    return w;
}

TEST_P(Pinch, CountsGapsBetweenTwoEnabledCells) {
    const PinchCase& c = GetParam();
    const World w = pinch_world(c);
    EXPECT_EQ(w.pinch_at(c.probe, c.probe, w.lattice.labels[c.probe]), c.pinches);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pinch,
    ::testing::Values(PinchCase{"two_cells", {3, 1, 1}, Boundary::Noflux, {1, 0, 2}, 1, 1},
                      PinchCase{"same_cell", {3, 1, 1}, Boundary::Noflux, {1, 0, 1}, 1, 0},
                      PinchCase{"not_enabled", {3, 1, 1}, Boundary::Noflux, {1, 0, 3}, 1, 0},
                      PinchCase{"occupied_probe", {3, 1, 1}, Boundary::Noflux, {1, 2, 2}, 1, 0},
                      PinchCase{"along_y", {1, 3, 1}, Boundary::Noflux, {2, 0, 1}, 1, 1},
                      PinchCase{"along_z", {1, 1, 3}, Boundary::Noflux, {1, 0, 2}, 1, 1},
                      PinchCase{"two_axes", {3, 3, 1}, Boundary::Noflux, {0, 1, 0, 1, 0, 2, 0, 2, 0}, 4, 2},
                      // First column, even with periodic faces: never pinched along x.
                      PinchCase{"edge_column_periodic", {3, 1, 1}, Boundary::Periodic, {0, 1, 2}, 0, 0},
                      PinchCase{"edge_row_periodic", {1, 3, 1}, Boundary::Periodic, {1, 2, 0}, 2, 0}),
    [](const ::testing::TestParamInfo<PinchCase>& p) { return std::string(p.param.name); });

TEST(Junction, ChangeCountsTheTargetAndItsMediumNeighbours) {
    World w = pinch_world({"", {3, 1, 1}, Boundary::Noflux, {1, 0, 2}, 0, 0});
    EXPECT_EQ(w.delta_junction(1, 1), -2.5);  // the pinch fills
    EXPECT_EQ(w.delta_junction(1, 0), 0.0);
    World v = pinch_world({"", {4, 1, 1}, Boundary::Noflux, {1, 0, 0, 2}, 0, 0});
    EXPECT_EQ(v.delta_junction(2, 2), 2.5);   // site 1 becomes a pinch
    EXPECT_EQ(v.delta_junction(2, 3), 0.0);   // a cell of a type without the flag
    // The probe reads the target as it would be: the pinch at site 1 needs site 0 to stay cell 1.
    World u = pinch_world({"", {3, 1, 1}, Boundary::Noflux, {1, 0, 2}, 0, 0});
    EXPECT_EQ(u.delta_junction(0, 0), -2.5);
    EXPECT_EQ(u.delta_junction(0, 2), -2.5);
}

TEST(Junction, GateNeedsAPositiveLambdaAndAnEnabledType) {
    World w = make_world({3, 3, 1}, Boundary::Noflux, 1);
    w.set_junction_lambda(1.0);
    EXPECT_FALSE(w.term_gates().on<JunctionTerm>());
    w.set_junction(4, true);
    EXPECT_EQ(w.junction.by_type, (std::vector<std::uint8_t>{0, 0, 0, 0, 1}));
    EXPECT_TRUE(w.term_gates().on<JunctionTerm>());
    for (const double off : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        w.set_junction_lambda(off);
        EXPECT_FALSE(w.term_gates().on<JunctionTerm>()) << off;
    }
}

// Whole pinch count, read straight from the grid.
double whole_junction_energy(const World& w) {
    const Lattice& lat = w.lattice;
    const auto enabled = [&](Label l) {
        const CellType t = w.cells[l].cell_type;
        return l != 0 && t < w.junction.by_type.size() && w.junction.by_type[t];
    };
    std::int64_t pinches = 0;
    for (SiteIndex s = 0; s < lat.n_sites(); ++s) {
        if (lat.labels[s] != 0) continue;
        const Coords c = lat.coords(s);
        const std::array<SiteIndex, 3> at{c.x, c.y, c.z};
        for (int axis = 0; axis < 3; ++axis) {
            if (at[axis] == 0 || at[axis] + 1 >= lat.dims[axis]) continue;
            std::array<SiteIndex, 3> lo = at, hi = at;
            lo[axis] -= 1;
            hi[axis] += 1;
            const Label a = lat.labels[lat.site_of(lo[0], lo[1], lo[2])], b = lat.labels[lat.site_of(hi[0], hi[1], hi[2])];
            pinches += a != b && enabled(a) && enabled(b);
        }
    }
    return static_cast<double>(pinches) * w.junction.lambda;
}

// Random flips in random worlds of the shape (types 1 and 3 enabled); returns how many changed the
// whole junction energy.
int junction_deltas_match(const TermShape& c) {
    int changed = 0;
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 6, seed);
        w.set_junction(1, true);
        w.set_junction(3, true);
        w.set_junction_lambda(1.25);
        changed += expect_delta_matches_whole(
            w, seed * 13, 400, [](const World& x, SiteIndex s, Label l) { return x.delta_junction(s, l); },
            whole_junction_energy, 0.0);
    }
    return changed;
}

class JunctionDelta : public ::testing::TestWithParam<TermShape> {};

TEST_P(JunctionDelta, EqualsTheChangeOfTheWholeEnergy) { EXPECT_GT(junction_deltas_match(GetParam()), 20); }

INSTANTIATE_TEST_SUITE_P(Shapes, JunctionDelta, ::testing::ValuesIn(term_shapes()), shape_name);

// Pinches are counted across faces whatever the neighbourhood; with none (order 0) every site counts
// as interior to the sweep, but its face neighbours may still lie beyond a face.
TEST(Junction, DeltaHoldsWithoutANeighbourhood) {
    for (const Boundary boundary : {Boundary::Periodic, Boundary::Noflux})
        EXPECT_GT(junction_deltas_match({{7, 5, 3}, boundary, 0}), 20);
}

// --- both terms in the sweep

TEST(MembraneJunction, NaNSettingsNeverFaultASweep) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    World w = block_tissue(20, 20, Boundary::Periodic, 2, 2, 5, 5, 4.0);
    w.set_membrane({0, 399}, nan, nan);
    w.set_membrane_anchored(1, true);
    w.set_junction(1, true);
    w.set_junction_lambda(1.0);
    Morva m = finalize(std::move(w), {{0, 1, 4.0}, {0, 2, 4.0}}, 8);
    m.step(10);
    m.world.set_membrane({0}, 1.0, nan);
    m.world.set_membrane({1000}, 1.0, 0.0);  // every distance infinite
    m.step(10);
    expect_trackers_fresh(m.world);
}

}  // namespace
}  // namespace morva::testing
