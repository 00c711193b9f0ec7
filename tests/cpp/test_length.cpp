#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "length.hpp"
#include "term_helpers.hpp"

namespace morva::testing {
namespace {

using Point = std::array<double, 3>;

double length_from_sums(const std::vector<Point>& pts) {
    double sx = 0, sy = 0, sz = 0, sxx = 0, syy = 0, szz = 0, sxy = 0, sxz = 0, syz = 0;
    for (const auto& [x, y, z] : pts) {
        sx += x, sy += y, sz += z;
        sxx += x * x, syy += y * y, szz += z * z;
        sxy += x * y, sxz += x * z, syz += y * z;
    }
    return major_axis_length(static_cast<std::int64_t>(pts.size()), sx, sy, sz, sxx, syy, szz, sxy, sxz, syz);
}

// Reference: two-pass covariance and cyclic Jacobi rotations, an independent route to the largest
// eigenvalue.
double reference_length(const std::vector<Point>& pts) {
    if (pts.size() < 2) return 0.0;
    const auto n = static_cast<double>(pts.size());
    Point mean{0, 0, 0};
    for (const auto& p : pts)
        for (int i = 0; i < 3; ++i) mean[i] += p[i] / n;
    double a[3][3] = {};
    for (const auto& p : pts)
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) a[i][j] += (p[i] - mean[i]) * (p[j] - mean[j]) / n;
    for (int sweep = 0; sweep < 60; ++sweep) {
        if (std::fabs(a[0][1]) + std::fabs(a[0][2]) + std::fabs(a[1][2]) < 1e-300) break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0.0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                double r[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, tmp[3][3] = {}, out[3][3] = {};
                r[p][p] = c, r[q][q] = c, r[p][q] = s, r[q][p] = -s;
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j)
                        for (int k = 0; k < 3; ++k) tmp[i][j] += a[i][k] * r[k][j];
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j)
                        for (int k = 0; k < 3; ++k) out[i][j] += r[k][i] * tmp[k][j];
                for (int i = 0; i < 3; ++i)
                    for (int j = 0; j < 3; ++j) a[i][j] = out[i][j];
            }
    }
    const double top = std::max({a[0][0], a[1][1], a[2][2], 0.0});
    return std::sqrt(12.0 * top);
}

// --- major_axis_length

struct LengthCase {
    const char* name;
    std::vector<Point> points;
    double length;
};

class MajorAxis : public ::testing::TestWithParam<LengthCase> {};

TEST_P(MajorAxis, GivesTheKnownLength) {
    const LengthCase& c = GetParam();
    EXPECT_NEAR(length_from_sums(c.points), c.length, 1e-12 * (1.0 + c.length));
    EXPECT_NEAR(reference_length(c.points), c.length, 1e-12 * (1.0 + c.length));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MajorAxis,
    ::testing::Values(
        LengthCase{"none", {}, 0.0}, LengthCase{"one_site", {{4, 4, 0}}, 0.0},
        LengthCase{"coincident_pair", {{2, 3, 1}, {2, 3, 1}}, 0.0},
        LengthCase{"bar_of_2", {{0, 0, 0}, {1, 0, 0}}, std::sqrt(3.0)},
        LengthCase{"bar_of_5_along_y", {{3, 1, 0}, {3, 2, 0}, {3, 3, 0}, {3, 4, 0}, {3, 5, 0}}, std::sqrt(24.0)},
        LengthCase{"square_3x3",
                   {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {1, 1, 0}, {2, 1, 0}, {0, 2, 0}, {1, 2, 0}, {2, 2, 0}},
                   std::sqrt(8.0)},
        LengthCase{"diagonal_pair", {{0, 0, 0}, {1, 1, 0}}, std::sqrt(6.0)},
        LengthCase{"space_diagonal_bar", {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}}, std::sqrt(24.0)}),
    [](const ::testing::TestParamInfo<LengthCase>& p) { return std::string(p.param.name); });

TEST(MajorAxis, AgreesWithJacobiOnRandomClouds) {
    std::mt19937_64 gen(77);
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<Point> pts(2 + gen() % 30);
        const std::uint64_t spread = 1 + gen() % 12, depth = trial % 2 ? 1 : 6;
        for (auto& p : pts)
            p = {static_cast<double>(gen() % spread), static_cast<double>(gen() % spread),
                 static_cast<double>(gen() % depth)};
        const double want = reference_length(pts);
        // acos is steep where the two largest eigenvalues meet: the closed form keeps about half
        // the digits there.
        EXPECT_NEAR(length_from_sums(pts), want, 1e-7 * (1.0 + want)) << "trial " << trial;
    }
}

// --- World: settings, queries

TEST(LengthConstraint, SetterGrowsBothTablesWithZeros) {
    World w = make_world({4, 4, 1}, Boundary::Periodic, 1);
    w.set_length_constraint(5, 10.0, 2.0);
    EXPECT_EQ(w.length.lambda_by_type, (std::vector<double>{0, 0, 0, 0, 0, 2.0}));
    EXPECT_EQ(w.length.target_by_type, (std::vector<double>{0, 0, 0, 0, 0, 10.0}));
    w.set_length_constraint(1, std::numeric_limits<double>::quiet_NaN(), -3.0);
    EXPECT_EQ(w.length.lambda_by_type.size(), 6u);
    EXPECT_TRUE(std::isnan(w.length.target_by_type[1]));
    EXPECT_EQ(w.length.lambda_by_type[1], -3.0);
}

TEST(LengthConstraint, CellLengthReadsTheTrackersAndFaultsBeyondTheTable) {
    World w = make_world({6, 6, 1}, Boundary::Noflux, 2);
    const Label bar = w.add_cell(1, 1, 1, 0, 0);
    const Label empty = w.add_cell(1, 1, 1, 0, 0);
    w.paint_box(bar, {1, 2, 0}, {5, 3, 0 + 1});
    w.recompute_trackers();
    EXPECT_NEAR(w.cell_length(bar), std::sqrt(15.0), 1e-12);
    EXPECT_EQ(w.cell_length(empty), 0.0);
    // The medium's record is a cell like any other: 32 sites of the 6 x 6 box.
    std::vector<Point> medium;
    for (SiteIndex s = 0; s < 36; ++s)
        if (w.lattice.labels[s] == 0) medium.push_back({double(s % 6), double(s / 6), 0.0});
    EXPECT_NEAR(w.cell_length(0), reference_length(medium), 1e-9);
    try {
        (void)w.cell_length(3);
        ADD_FAILURE() << "no fault";
    } catch (const EngineFault& f) {
        EXPECT_EQ(f.text(), "index out of bounds: the len is 3 but the index is 3");
    }
}

TEST(LengthConstraint, GateOpensOnlyForAPositiveLambda) {
    World w = make_world({4, 4, 1}, Boundary::Periodic, 1);
    EXPECT_FALSE(w.term_gates().on<LengthTerm>());
    w.set_length_constraint(1, 5.0, -1.0);
    w.set_length_constraint(2, 5.0, std::numeric_limits<double>::quiet_NaN());
    EXPECT_FALSE(w.term_gates().on<LengthTerm>());
    w.set_length_constraint(3, 5.0, 0.5);
    EXPECT_TRUE(w.term_gates().on<LengthTerm>());
}

// --- delta_length

TEST(LengthConstraint, CellsBelowTwoSitesCarryNoLengthEnergy) {
    World w = make_world({6, 6, 1}, Boundary::Noflux, 1);
    const Label single = w.add_cell(1, 1, 1, 0, 0), pair = w.add_cell(1, 1, 1, 0, 0);
    w.paint(7, single);
    w.paint(20, pair);
    w.paint(21, pair);
    w.set_length_constraint(1, 5.0, 2.0);
    w.recompute_trackers();
    // A single site lost to the medium: nothing on either side (the medium has no lambda).
    EXPECT_EQ(w.delta_length(7, 0), 0.0);
    // A pair losing one: its whole energy 2 (sqrt3 - 5)^2 goes.
    const double pair_energy = 2.0 * (std::sqrt(3.0) - 5.0) * (std::sqrt(3.0) - 5.0);
    EXPECT_NEAR(w.delta_length(21, 0), -pair_energy, 1e-12);
    // A medium site joining the single cell makes a pair.
    EXPECT_NEAR(w.delta_length(8, single), pair_energy, 1e-12);
    EXPECT_EQ(w.delta_length(21, pair), 0.0);
}

TEST(LengthConstraint, MediumTakesPartWhenTypeZeroHasALambda) {
    World w = make_world({5, 1, 1}, Boundary::Noflux, 1);
    const Label cell = w.add_cell(1, 1, 1, 0, 0);
    w.paint(0, cell);
    w.set_length_constraint(0, 0.0, 1.0);
    w.recompute_trackers();
    // Medium on x = 1..4 (length sqrt15) loses x = 1, keeping x = 2..4 (length sqrt8): 8 - 15.
    EXPECT_NEAR(w.delta_length(1, cell), -7.0, 1e-12);
}

class LengthDelta : public ::testing::TestWithParam<TermShape> {};

double whole_length_energy(const World& w) {
    std::vector<std::vector<Point>> sites(w.cells.size());
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        const Coords c = w.lattice.coords(s);
        sites[w.lattice.labels[s]].push_back({double(c.x), double(c.y), double(c.z)});
    }
    double energy = 0.0;
    for (std::size_t i = 0; i < w.cells.size(); ++i) {
        const CellType t = w.cells[i].cell_type;
        if (t >= w.length.lambda_by_type.size() || sites[i].size() < 2) continue;
        const double lambda = w.length.lambda_by_type[t], target = w.length.target_by_type[t];
        const double d = reference_length(sites[i]) - target;
        energy += lambda * d * d;
    }
    return energy;
}

TEST_P(LengthDelta, EqualsTheChangeOfTheWholeEnergy) {
    const TermShape c = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 6, seed);
        // Type 3 stays beyond the table; a negative lambda takes part; in odd seeds so does the medium.
        w.set_length_constraint(1, 3.0, 1.5);
        w.set_length_constraint(2, 1.0, -0.5);
        if (seed % 2) w.set_length_constraint(0, 2.0, 0.25);
        const int changed = expect_delta_matches_whole(
            w, seed * 31, 300, [](const World& x, SiteIndex s, Label l) { return x.delta_length(s, l); },
            whole_length_energy, 1e-7);
        EXPECT_GT(changed, 50);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LengthDelta, ::testing::ValuesIn(term_shapes()), shape_name);

// --- in the sweep

double mean_cell_length(const World& w) {
    double sum = 0.0;
    for (Label id = 1; id < w.cells.size(); ++id) sum += w.cell_length(id);
    return sum / static_cast<double>(w.cells.size() - 1);
}

TEST(LengthConstraint, RunStretchesCellsTowardTheTarget) {
    const auto run = [](double lambda) {
        World w = block_tissue(40, 40, Boundary::Noflux, 2, 3, 6, 11, 8.0);
        w.set_length_constraint(1, 14.0, lambda);
        w.set_length_constraint(2, 14.0, lambda);
        Morva m = finalize(std::move(w), {{0, 1, 4.0}, {0, 2, 4.0}, {1, 1, 2.0}, {2, 2, 2.0}, {1, 2, 2.0}}, 3);
        m.step(150);
        expect_trackers_fresh(m.world);
        return mean_cell_length(m.world);
    };
    const double start = std::sqrt(35.0);  // a 6 x 6 square
    const double free_run = run(0.0), pulled = run(1.0);
    EXPECT_LT(std::fabs(pulled - 14.0), std::fabs(start - 14.0) - 3.0);
    EXPECT_GT(pulled, free_run + 2.0);
}

// The sequential sweep written plainly: the whole change priced term by term, then the rule.
void step_by_the_plain_rule(Morva& m) {
    World& w = m.world;
    const TermGates g = w.term_gates();
    for (SiteIndex i = 0; i < w.lattice.n_sites(); ++i) {
        const SiteIndex v = m.rng.below(w.lattice.n_sites());
        const NeighborList nbrs = w.lattice.neighbors(v);
        if (nbrs.empty()) continue;
        const Label b = w.lattice.labels[nbrs[m.rng.below(nbrs.size())]];
        if (b == w.lattice.labels[v]) continue;
        double dh = w.delta_hamiltonian(v, b);
        if (g.on<LengthTerm>()) dh += w.delta_length(v, b);
        if (g.on<ExternalTerm>()) dh += w.delta_external(v, b);
        if (metropolis_accepts(dh, w.temperature, m.rng)) w.apply_flip(v, b);
    }
}

struct LengthSettings {
    const char* name;
    double lambda_1, target_1, lambda_2, target_2;
    bool external;
};

class LengthSweep : public ::testing::TestWithParam<LengthSettings> {};

// The sweep leaves the length term for last and may reject before pricing it; draws and outcomes
// must stay those of the plain rule, with a negative lambda (energies below zero), NaN settings and
// the external term after the length term.
TEST_P(LengthSweep, EqualsThePlainRule) {
    const LengthSettings c = GetParam();
    const auto made = [&c] {
        World w = block_tissue(24, 24, Boundary::Periodic, 2, 3, 6, 3, 6.0);
        w.set_length_constraint(1, c.target_1, c.lambda_1);
        w.set_length_constraint(2, c.target_2, c.lambda_2);
        if (c.external) w.set_external_potential(2, 0.75, -0.5, 0.0);
        return finalize(std::move(w), {{0, 1, 9.0}, {0, 2, 11.0}, {1, 2, 7.0}, {2, 2, 3.0}}, 21);
    };
    Morva fast = made(), plain = made();
    for (int step = 0; step < 12; ++step) {
        fast.step(1);
        step_by_the_plain_rule(plain);
        ASSERT_EQ(fast.world.lattice.labels, plain.world.lattice.labels) << "step " << step;
        ASSERT_EQ(fast.rng.s, plain.rng.s) << "step " << step;
    }
}

const double nan = std::numeric_limits<double>::quiet_NaN();
INSTANTIATE_TEST_SUITE_P(Settings, LengthSweep,
                         ::testing::Values(LengthSettings{"stiff", 2.0, 9.0, 0.5, 4.0, false},
                                           LengthSettings{"stiff_with_force", 2.0, 9.0, 0.5, 4.0, true},
                                           LengthSettings{"one_negative", 1.0, 9.0, -0.75, 3.0, true},
                                           LengthSettings{"nan_lambda", 1.5, 8.0, nan, 6.0, false},
                                           LengthSettings{"nan_target", 1.5, nan, 0.5, 6.0, true}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(LengthConstraint, NaNSettingsNeverFaultASweep) {
    World w = block_tissue(20, 20, Boundary::Periodic, 2, 2, 5, 5, 4.0);
    w.set_length_constraint(1, 6.0, nan);
    w.set_length_constraint(2, nan, 1.0);
    Morva m = finalize(std::move(w), {{0, 1, 4.0}, {0, 2, 4.0}}, 8);
    m.step(20);
    expect_trackers_fresh(m.world);
}

}  // namespace
}  // namespace morva::testing
