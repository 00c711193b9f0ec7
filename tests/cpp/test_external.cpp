#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "term_helpers.hpp"

namespace morva::testing {
namespace {

TEST(ExternalPotential, SetterGrowsWithZeroForcesAndStoresValuesAsGiven) {
    World w = make_world({4, 4, 1}, Boundary::Periodic, 1);
    w.set_external_potential(3, 0.5, 0, 0);
    using F = std::array<double, 3>;
    EXPECT_EQ(w.external.force_by_type, (std::vector<F>{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0.5, 0, 0}}));
    w.set_external_potential(1, -2.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(w.external.force_by_type.size(), 4u);
    EXPECT_EQ(w.external.force_by_type[1][0], -2.0);
    EXPECT_TRUE(std::isinf(w.external.force_by_type[1][1]));
    EXPECT_TRUE(std::isnan(w.external.force_by_type[1][2]));
}

TEST(ExternalPotential, GateOpensForAnyNonZeroComponentNaNIncluded) {
    World w = make_world({4, 4, 1}, Boundary::Periodic, 1);
    EXPECT_FALSE(w.term_gates().on<ExternalTerm>());
    w.set_external_potential(2, 0, 0, 0);
    EXPECT_FALSE(w.term_gates().on<ExternalTerm>());
    w.set_external_potential(1, 0, 0, std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(w.term_gates().on<ExternalTerm>());
    w.set_external_potential(1, 0, 0, 0);
    w.set_external_potential(2, 0, -0.25, 0);
    EXPECT_TRUE(w.term_gates().on<ExternalTerm>());
}

// A 10 x 10 x 3 box with one cell of type 1 at (7, 2, 1) and one of type 2 at (3, 4, 2).
World force_world() {
    World w = make_world({10, 10, 3}, Boundary::Noflux, 1);
    w.add_cell(1, 1, 1, 0, 0);
    w.add_cell(2, 1, 1, 0, 0);
    w.add_cell(1, 1, 1, 0, 0);
    w.paint(w.lattice.site_of(7, 2, 1), 1);
    w.paint(w.lattice.site_of(3, 4, 2), 2);
    w.recompute_trackers();
    return w;
}

TEST(ExternalPotential, ForceOnACellTypeFollowsTheRawCoordinates) {
    World w = force_world();
    w.set_external_potential(1, 1, 0, 0);
    const SiteIndex at7 = w.lattice.site_of(7, 5, 0);
    EXPECT_EQ(w.delta_external(at7, 1), -7.0);
    EXPECT_EQ(w.delta_external(w.lattice.site_of(7, 2, 1), 0), 7.0);
    EXPECT_EQ(w.delta_external(w.lattice.site_of(7, 2, 1), 3), 0.0);  // same type
    EXPECT_EQ(w.delta_external(w.lattice.site_of(7, 2, 1), 2), 7.0);  // type 2 has no force
    EXPECT_EQ(w.delta_external(w.lattice.site_of(7, 2, 1), 1), 0.0);  // no change of label
}

TEST(ExternalPotential, ForceOnTypeZeroActsOnTheMedium) {
    World w = force_world();
    w.set_external_potential(0, 0.5, -1.5, 2.0);
    EXPECT_EQ(w.delta_external(w.lattice.site_of(4, 6, 2), 1), 0.5 * 4 - 1.5 * 6 + 2.0 * 2);
    EXPECT_EQ(w.delta_external(w.lattice.site_of(3, 4, 2), 0), -(0.5 * 3 - 1.5 * 4 + 2.0 * 2));
}

TEST(ExternalPotential, SumsTheThreeComponentsInOrder) {
    // ((a + b) + c) differs from a + (b + c) here: 1e16 - 1e16 + 1 against 1e16 + (-1e16 + 1).
    World w = make_world({2, 2, 2}, Boundary::Noflux, 1);
    w.add_cell(1, 1, 1, 0, 0);
    w.recompute_trackers();
    w.set_external_potential(0, 1e16, -1e16, 1.0);
    EXPECT_EQ(w.delta_external(w.lattice.site_of(1, 1, 1), 1), 1.0);
}

double whole_external_energy(const World& w) {
    double energy = 0.0;
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        const CellType t = w.cells[w.lattice.labels[s]].cell_type;
        if (t >= w.external.force_by_type.size()) continue;
        const auto& f = w.external.force_by_type[t];
        const Coords c = w.lattice.coords(s);
        energy -= f[0] * double(c.x) + f[1] * double(c.y) + f[2] * double(c.z);
    }
    return energy;
}

class ExternalDelta : public ::testing::TestWithParam<TermShape> {};

// Dyadic forces keep every sum exact, so the change must match to the last bit.
TEST_P(ExternalDelta, EqualsTheChangeOfTheWholeEnergy) {
    const TermShape c = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 6, seed);
        w.set_external_potential(1, 1.5, -0.25, 2.0);
        w.set_external_potential(2, -0.5, 0.75, 0.0);  // type 3 stays beyond the table
        if (seed % 2) w.set_external_potential(0, 0.125, 0.5, -1.0);
        const int changed = expect_delta_matches_whole(
            w, seed * 3, 300, [](const World& x, SiteIndex s, Label l) { return x.delta_external(s, l); },
            whole_external_energy, 0.0);
        EXPECT_GT(changed, 50);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ExternalDelta, ::testing::ValuesIn(term_shapes()), shape_name);

TEST(ExternalPotential, RunMovesCentresOfMassAlongTheForce) {
    const auto mean_centre = [](double fx, double fy) {
        World w = block_tissue(50, 50, Boundary::Noflux, 2, 2, 6, 19, 6.0);
        w.set_external_potential(1, fx, fy, 0);
        w.set_external_potential(2, fx, fy, 0);
        Morva m = finalize(std::move(w), {{0, 1, 4.0}, {0, 2, 4.0}, {1, 1, 2.0}, {2, 2, 2.0}, {1, 2, 2.0}}, 6);
        m.step(150);
        std::array<double, 2> sum{0, 0};
        for (Label id = 1; id < m.world.cells.size(); ++id) {
            const Cell& cell = m.world.cells[id];
            sum[0] += cell.sum_x / static_cast<double>(cell.volume) / 4.0;
            sum[1] += cell.sum_y / static_cast<double>(cell.volume) / 4.0;
        }
        return sum;
    };
    const auto rest = mean_centre(0, 0), pushed = mean_centre(1.0, -0.5);
    EXPECT_NEAR(rest[0], 25.0, 2.0);
    EXPECT_NEAR(rest[1], 25.0, 2.0);
    EXPECT_GT(pushed[0], rest[0] + 8.0);
    EXPECT_LT(pushed[1], rest[1] - 4.0);
}

TEST(ExternalPotential, NaNForcesNeverFaultASweep) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    World w = block_tissue(20, 20, Boundary::Periodic, 2, 2, 5, 5, 4.0);
    w.set_external_potential(1, nan, 0, 0);
    w.set_external_potential(0, 0, std::numeric_limits<double>::infinity(), 0);
    Morva m = finalize(std::move(w), {{0, 1, 4.0}, {0, 2, 4.0}}, 8);
    m.step(10);
    expect_trackers_fresh(m.world);
}

}  // namespace
}  // namespace morva::testing
