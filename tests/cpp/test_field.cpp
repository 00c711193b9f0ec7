#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "helpers.hpp"

namespace morva::testing {
namespace {

constexpr float nan32 = std::numeric_limits<float>::quiet_NaN();

std::vector<std::uint32_t> bits_of(const std::vector<float>& v) {
    std::vector<std::uint32_t> out;
    for (const float x : v) out.push_back(std::bit_cast<std::uint32_t>(x));
    return out;
}

double total(const std::vector<float>& conc) {
    double sum = 0.0;
    for (const float c : conc) sum += c;
    return sum;
}

// One diffusion step written site by site from the lattice's face-neighbour lists.
std::vector<float> reference_step(const World& w, const Field& f) {
    std::vector<float> out(f.conc.size());
    for (SiteIndex s = 0; s < f.conc.size(); ++s) {
        const float v = f.conc[s];
        float lap = 0.0f;
        w.lattice.for_each_face(s, [&](SiteIndex n) { lap += f.conc[n] - v; });
        const double u = ((static_cast<double>(lap) * f.d - f.decay * static_cast<double>(v)) * f.dt) + v;
        out[s] = u > 0.0 ? static_cast<float>(u) : 0.0f;
    }
    return out;
}

World world_with_field(std::array<SiteIndex, 3> dims, Boundary boundary, double d, double decay) {
    World w = make_world(dims, boundary, 1);
    w.add_field("u", d, decay);
    return w;
}

// --- diffusion

struct BoxCase {
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
};

class DiffusionBox : public ::testing::TestWithParam<BoxCase> {};

TEST_P(DiffusionBox, MatchesTheSiteBySiteStepBitForBit) {
    const BoxCase p = GetParam();
    World w = world_with_field(p.dims, p.boundary, 0.13, 0.021);
    w.set_field_dynamics(0, 0.9, 2);
    std::mt19937 gen(17);
    std::uniform_real_distribution<float> value(-0.5f, 3.0f);
    Field& f = w.fields[0];
    for (float& c : f.conc) c = value(gen);
    f.conc[0] = nan32;
    if (f.conc.size() > 3) f.conc[3] = 1e30f;
    for (int advance = 0; advance < 3; ++advance) {
        std::vector<float> want = reference_step(w, f);
        Field twin = f;
        twin.conc = want;
        want = reference_step(w, twin);
        w.advance_fields();
        ASSERT_EQ(bits_of(f.conc), bits_of(want)) << "advance " << advance;
    }
}

TEST_P(DiffusionBox, ConservesMassWithoutDecay) {
    const BoxCase p = GetParam();
    World w = world_with_field(p.dims, p.boundary, 0.1, 0.0);
    w.fields[0].conc[w.lattice.site_of(0, p.dims[1] / 2, 0)] = 1.0f;
    for (int i = 0; i < 60; ++i) w.advance_fields();
    EXPECT_NEAR(total(w.fields[0].conc), 1.0, 1e-5);
    for (const float c : w.fields[0].conc) EXPECT_GE(c, 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Field, DiffusionBox,
    ::testing::Values(BoxCase{{1, 1, 1}, Boundary::Periodic}, BoxCase{{1, 5, 1}, Boundary::Periodic},
                      BoxCase{{2, 3, 1}, Boundary::Periodic}, BoxCase{{2, 3, 1}, Boundary::Noflux},
                      BoxCase{{7, 6, 1}, Boundary::Periodic}, BoxCase{{7, 6, 1}, Boundary::Noflux},
                      BoxCase{{5, 1, 1}, Boundary::Noflux}, BoxCase{{3, 3, 3}, Boundary::Periodic},
                      BoxCase{{2, 2, 2}, Boundary::Periodic}, BoxCase{{4, 1, 3}, Boundary::Periodic},
                      BoxCase{{6, 5, 4}, Boundary::Noflux}, BoxCase{{6, 5, 4}, Boundary::Periodic},
                      BoxCase{{1, 1, 4}, Boundary::Noflux}, BoxCase{{9, 2, 2}, Boundary::Noflux},
                      BoxCase{{37, 11, 1}, Boundary::Periodic}, BoxCase{{19, 7, 5}, Boundary::Noflux}),
    [](const ::testing::TestParamInfo<BoxCase>& c) {
        const auto& d = c.param.dims;
        return std::to_string(d[0]) + "x" + std::to_string(d[1]) + "x" + std::to_string(d[2]) +
               (c.param.boundary == Boundary::Periodic ? "_periodic" : "_noflux");
    });

struct KernelCase {
    std::array<SiteIndex, 3> dims;
    double d, dt;
    int steps;
};

class HeatKernel : public ::testing::TestWithParam<KernelCase> {};

// The explicit scheme widens a point source by exactly 2*d*dt of variance per step along each axis.
TEST_P(HeatKernel, VarianceGrowsByTwoDDtPerStep) {
    const KernelCase p = GetParam();
    World w = world_with_field(p.dims, Boundary::Periodic, p.d, 0.0);
    w.set_field_dynamics(0, p.dt, 1);
    const std::array<SiteIndex, 3> centre{p.dims[0] / 2, p.dims[1] / 2, p.dims[2] / 2};
    w.fields[0].conc[w.lattice.site_of(centre[0], centre[1], centre[2])] = 1.0f;
    for (int i = 0; i < p.steps; ++i) w.advance_fields();
    const int axes = p.dims[2] > 1 ? 3 : 2;
    std::array<double, 3> mean{}, var{};
    double mass = 0.0;
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        const Coords c = w.lattice.coords(s);
        const std::array<SiteIndex, 3> at{c.x, c.y, c.z};
        const double m = w.fields[0].conc[s];
        mass += m;
        for (int a = 0; a < axes; ++a) {
            const double off = static_cast<double>(at[a]) - static_cast<double>(centre[a]);
            mean[a] += m * off;
            var[a] += m * off * off;
        }
    }
    for (int a = 0; a < axes; ++a) {
        EXPECT_NEAR(mean[a] / mass, 0.0, 1e-6) << "axis " << a;
        EXPECT_NEAR(var[a] / mass, 2.0 * p.d * p.dt * p.steps, 1e-4) << "axis " << a;
    }
}

INSTANTIATE_TEST_SUITE_P(Field, HeatKernel,
                         ::testing::Values(KernelCase{{41, 41, 1}, 0.1, 1.0, 15}, KernelCase{{41, 41, 1}, 0.2, 0.5, 18},
                                           KernelCase{{25, 25, 25}, 0.15, 1.0, 10}));

TEST(Field, DecayRemovesItsFractionPerStep) {
    World w = world_with_field({9, 8, 1}, Boundary::Periodic, 0.1, 0.05);
    w.set_field_dynamics(0, 0.5, 1);
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> value(0.5f, 2.0f);
    for (float& c : w.fields[0].conc) c = value(gen);
    const double start = total(w.fields[0].conc);
    for (int i = 1; i <= 20; ++i) {
        w.advance_fields();
        EXPECT_NEAR(total(w.fields[0].conc) / start, std::pow(1.0 - 0.05 * 0.5, i), 1e-6) << "step " << i;
    }
}

// With d = 0 and decay = 0 a step keeps non-negative values, stores +0 for negative ones and for NaN,
// which also clears its face neighbours (their differences, times 0, are NaN).
TEST(Field, DiffusionClearsNegativesAndNaNsAndKeepsTheRest) {
    World w = world_with_field({7, 1, 1}, Boundary::Noflux, 0.0, 0.0);
    w.fields[0].conc = {-1.0f, 2.5f, -0.0f, 0.0f, 1e-40f, 4.0f, nan32};
    w.advance_fields();
    EXPECT_EQ(bits_of(w.fields[0].conc), bits_of({0.0f, 2.5f, 0.0f, 0.0f, 1e-40f, 0.0f, 0.0f}));
}

TEST(Field, NegativePointAddStaysUntilTheNextDiffusionStep) {
    World w = world_with_field({4, 3, 1}, Boundary::Periodic, 0.0, 0.0);
    w.field_add_at_site(0, 5, 0.25);
    w.field_add_at_site(0, 5, -1.0);
    EXPECT_EQ(w.field_value_at_site(0, 5), -0.75f);
    w.field_add_at_site(0, 6, 0.1);  // rounded to 32 bits before the 32-bit addition
    EXPECT_EQ(w.field_value_at_site(0, 6), 0.1f);
    w.advance_fields();
    EXPECT_EQ(w.field_value_at_site(0, 5), 0.0f);
    EXPECT_FALSE(std::signbit(w.field_value_at_site(0, 5)));
}

TEST(Field, StepsReuseTheirTwoArrays) {
    World w = world_with_field({30, 20, 1}, Boundary::Periodic, 0.1, 0.0);
    w.advance_fields();
    const Field& f = w.fields[0];
    const float* a = f.conc.data();
    const float* b = f.scratch.data();
    for (int i = 0; i < 5; ++i) {
        w.advance_fields();
        EXPECT_TRUE((f.conc.data() == a && f.scratch.data() == b) || (f.conc.data() == b && f.scratch.data() == a));
    }
}

TEST(Field, WorldWithoutSitesAdvancesQuietly) {
    World w = world_with_field({0, 4, 1}, Boundary::Periodic, 0.1, 0.0);
    w.set_secretion(0, 0, 1.0);
    w.set_field_dynamics(0, 1.0, 3);
    EXPECT_NO_THROW(w.advance_fields());
    EXPECT_TRUE(w.field_conc(0).empty());
}

// --- creation and parameters

TEST(Field, AddFieldSizesItsTablesFromTheLargestTypeAtThatMoment) {
    World w = make_world({3, 2, 1}, Boundary::Periodic, 1);
    w.add_cell(2, 1, 1, 0, 0);
    EXPECT_EQ(w.add_field("a", 0.5, 0.25), 0u);
    w.add_cell(7, 1, 1, 0, 0);
    w.cells[0].cell_type = 9;  // a retyped medium counts as well
    EXPECT_EQ(w.add_field("b", 0.0, 0.0), 1u);
    const Field& a = w.fields[0];
    EXPECT_EQ(a.name, "a");
    EXPECT_EQ(a.conc, std::vector<float>(6, 0.0f));
    for (const auto* table : {&a.secretion_rate, &a.chemotaxis_lambda, &a.occupancy_kd, &a.occupancy_hill,
                              &a.occupancy_scale})
        EXPECT_EQ(*table, std::vector<double>(3, 0.0));
    EXPECT_EQ(w.fields[1].occupancy_scale.size(), 10u);
    EXPECT_EQ(a.d, 0.5);
    EXPECT_EQ(a.decay, 0.25);
    EXPECT_EQ(a.dt, 1.0);
    EXPECT_EQ(a.substeps, 1u);
}

TEST(Field, SettersGrowOnlyTheirOwnTables) {
    World w = world_with_field({2, 2, 1}, Boundary::Periodic, 0.0, 0.0);  // n_types = 1
    Field& f = w.fields[0];
    w.set_secretion(0, 5, 0.5);
    EXPECT_EQ(f.secretion_rate, (std::vector<double>{0, 0, 0, 0, 0, 0.5}));
    EXPECT_EQ(f.chemotaxis_lambda.size(), 1u);
    w.set_chemotaxis(0, 3, -2.0);
    EXPECT_EQ(f.chemotaxis_lambda, (std::vector<double>{0, 0, 0, -2.0}));
    EXPECT_EQ(f.occupancy_kd.size(), 1u);
    w.set_chemotaxis_occupancy(0, 2, 1.5, 0.7, 2.0, 3.0);
    EXPECT_EQ(f.chemotaxis_lambda, (std::vector<double>{0, 0, 1.5, -2.0}));
    EXPECT_EQ(f.occupancy_kd, (std::vector<double>{0, 0, 0.7}));
    EXPECT_EQ(f.occupancy_hill, (std::vector<double>{0, 0, 2.0}));
    EXPECT_EQ(f.occupancy_scale, (std::vector<double>{0, 0, 3.0}));
    EXPECT_EQ(f.secretion_rate.size(), 6u);
    w.set_field_dynamics(0, -0.5, 0);
    EXPECT_EQ(f.dt, -0.5);
    EXPECT_EQ(f.substeps, 1u);
    w.set_cell_secretion_scale(0, 40, 2.0);
    w.set_cell_secretion_scale(0, 40, 3.0);
    EXPECT_EQ(f.cell_secretion_scale.size(), 1u);
    EXPECT_EQ(f.cell_secretion_scale.at(40), 3.0);
}

// --- secretion

// 6 x 5 closed box: cell 1 (type 1) on the left block, cell 2 (type 1) on the right, cell 3 (type 2).
std::string fault_text(const std::function<void()>& call);

World secretion_world() {
    World w = make_world({6, 5, 1}, Boundary::Noflux, 1);
    w.add_cell(1, 0, 0, 0, 0);
    w.add_cell(1, 0, 0, 0, 0);
    w.add_cell(2, 0, 0, 0, 0);
    w.paint_box(1, {0, 0, 0}, {2, 3, 1});
    w.paint_box(2, {3, 0, 0}, {5, 2, 1});
    w.paint_box(3, {3, 3, 0}, {6, 5, 1});
    w.add_field("u", 0.05, 0.01);
    return w;
}

// A set-up grid may hold a label without a cell record; secretion faults where it meets it, and the
// sites before it in index order have had their share.
TEST(Secretion, LabelWithoutARecordFaultsWhereTheSiteLoopMeetsIt) {
    World w = secretion_world();
    w.set_secretion(0, 1, 2.0);
    w.set_secretion(0, 2, 2.0);
    w.lattice.labels[w.lattice.site_of(4, 2, 0)] = 9;
    EXPECT_EQ(fault_text([&] { w.advance_fields(); }), "index out of bounds: the len is 4 but the index is 9");
    const std::vector<float>& u = w.fields[0].conc;
    EXPECT_EQ(u[w.lattice.site_of(0, 0, 0)], 2.0f);  // cell 1, before the bad site
    EXPECT_EQ(u[w.lattice.site_of(1, 2, 0)], 2.0f);
    EXPECT_EQ(u[w.lattice.site_of(3, 1, 0)], 2.0f);
    EXPECT_EQ(u[w.lattice.site_of(3, 3, 0)], 0.0f);  // cell 3, never reached
}

TEST(Secretion, HappensOnceAfterAllSubsteps) {
    World w = secretion_world();
    World plain = secretion_world();
    std::mt19937 gen(8);
    std::uniform_real_distribution<float> value(0.0f, 1.0f);
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) w.fields[0].conc[s] = plain.fields[0].conc[s] = value(gen);
    w.set_field_dynamics(0, 0.7, 3);
    plain.set_field_dynamics(0, 0.7, 1);
    w.set_secretion(0, 1, 0.3);
    w.advance_fields();
    for (int i = 0; i < 3; ++i) plain.advance_fields();
    const float amount = static_cast<float>(0.7 * 0.3);
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        const bool secretes = w.lattice.labels[s] == 1 || w.lattice.labels[s] == 2;
        const float want = secretes ? amount + plain.fields[0].conc[s] : plain.fields[0].conc[s];
        EXPECT_EQ(std::bit_cast<std::uint32_t>(w.fields[0].conc[s]), std::bit_cast<std::uint32_t>(want)) << s;
    }
}

// Secretion alone (no diffusion) over one advance: site value = what each label adds.
std::vector<float> secreted(World& w) {
    w.fields[0].d = 0.0;
    w.fields[0].decay = 0.0;
    w.advance_fields();
    return w.fields[0].conc;
}

float at(const World& w, const std::vector<float>& conc, SiteIndex x, SiteIndex y) {
    return conc[w.lattice.site_of(x, y, 0)];
}

TEST(Secretion, FollowsTypeRatesAndPerCellScales) {
    World w = secretion_world();
    w.set_secretion(0, 1, 0.5);
    w.set_secretion(0, 4, 9.0);            // beyond the field's types at creation; nobody has it yet
    w.set_cell_secretion_scale(0, 2, 3.0);
    w.set_cell_secretion_scale(0, 3, 7.0);  // type 2 has no rate: no effect
    w.set_cell_secretion_scale(0, 99, 7.0);
    std::vector<float> c = secreted(w);
    EXPECT_EQ(at(w, c, 0, 0), 0.5f);
    EXPECT_EQ(at(w, c, 3, 0), 1.5f);
    EXPECT_EQ(at(w, c, 4, 4), 0.0f);
    EXPECT_EQ(at(w, c, 5, 0), 0.0f);  // medium

    World silenced = secretion_world();
    silenced.set_secretion(0, 1, 0.5);
    silenced.set_cell_secretion_scale(0, 1, 0.0);
    c = secreted(silenced);
    EXPECT_EQ(at(silenced, c, 0, 0), 0.0f);
    EXPECT_EQ(at(silenced, c, 3, 0), 0.5f);

    World retyped = secretion_world();
    retyped.set_secretion(0, 4, 0.25);
    retyped.cells[3].cell_type = 4;
    retyped.set_secretion(0, 0, -1.0);  // every medium site is a sink, left negative
    c = secreted(retyped);
    EXPECT_EQ(at(retyped, c, 4, 4), 0.25f);
    EXPECT_EQ(at(retyped, c, 5, 0), -1.0f);
    EXPECT_EQ(at(retyped, c, 0, 0), 0.0f);
}

TEST(Secretion, NaNRateSecretesNaNUntilTheNextStepClearsIt) {
    World w = secretion_world();
    w.set_secretion(0, 2, std::nan(""));
    const std::vector<float> c = secreted(w);
    EXPECT_TRUE(std::isnan(at(w, c, 4, 4)));
    EXPECT_EQ(at(w, c, 0, 0), 0.0f);
    w.set_secretion(0, 2, 0.0);
    w.advance_fields();
    EXPECT_EQ(w.field_value_at_site(0, w.lattice.site_of(4, 4, 0)), 0.0f);
}

// --- chemotaxis

struct ChemotaxisCase {
    const char* name;
    float conc_target, conc_source;
    double lambda, kd, hill, scale;  // kd = 0: linear form
    double want;
};

class Chemotaxis : public ::testing::TestWithParam<ChemotaxisCase> {};

// Target site 0 (medium), source site 1; the extending label is cell 1 of type 1.
TEST_P(Chemotaxis, GivesTheExpectedChange) {
    const ChemotaxisCase p = GetParam();
    World w = world_with_field({3, 1, 1}, Boundary::Noflux, 0.0, 0.0);
    w.add_cell(1, 0, 0, 0, 0);
    w.fields[0].conc = {p.conc_target, p.conc_source, 0.0f};
    if (p.kd != 0.0) w.set_chemotaxis_occupancy(0, 1, p.lambda, p.kd, p.hill, p.scale);
    else w.set_chemotaxis(0, 1, p.lambda);
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), p.want);
}

INSTANTIATE_TEST_SUITE_P(
    Field, Chemotaxis,
    ::testing::Values(ChemotaxisCase{"LinearUp", 3.0f, 1.0f, 2.0, 0, 0, 0, -4.0},
                      ChemotaxisCase{"LinearDown", 1.0f, 3.0f, 2.0, 0, 0, 0, 4.0},
                      ChemotaxisCase{"NegativeStrength", 3.0f, 1.0f, -0.5, 0, 0, 0, 1.0},
                      ChemotaxisCase{"NoStrength", 3.0f, 1.0f, 0.0, 0, 0, 0, 0.0},
                      ChemotaxisCase{"OccupancyHalfAtKd", 1.0f, 0.0f, 3.0, 1.0, 1.0, 1.0, -1.5},
                      ChemotaxisCase{"OccupancyScaledHill", 4.0f, 0.0f, 1.0, 2.0, 2.0, 0.5, -0.5},
                      ChemotaxisCase{"OccupancySaturates", 1e6f, 1e5f, 1.0, 1.0, 1.0, 1.0,
                                     -(1e6 / (1.0 + 1e6) - 1e5 / (1.0 + 1e5))},
                      ChemotaxisCase{"NegativeScaleGivesZero", 2.0f, 0.0f, 5.0, 1.0, 1.0, -1.0, 0.0},
                      ChemotaxisCase{"NegativeConcGivesZero", -2.0f, 0.0f, 5.0, 1.0, 1.0, 1.0, 0.0},
                      ChemotaxisCase{"KdBelowZeroIsLinear", 3.0f, 1.0f, 2.0, -1.0, 1.0, 1.0, -4.0}),
    [](const ::testing::TestParamInfo<ChemotaxisCase>& c) { return std::string(c.param.name); });

TEST(Chemotaxis, ZeroWithoutFieldsOrStrengthOrChange) {
    World w = make_world({3, 1, 1}, Boundary::Noflux, 1);
    w.add_cell(1, 0, 0, 0, 0);
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), 0.0);
    w.add_field("u", 0.0, 0.0);
    w.fields[0].conc = {3.0f, 1.0f, 0.0f};
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), 0.0);
    w.set_chemotaxis(0, 7, 2.0);  // another type
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), 0.0);
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 0), 0.0);  // the medium is unbiased until type 0 has a strength
    w.set_chemotaxis(0, 0, 2.0);
    w.paint(0, 1);
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 0), -4.0);
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), 0.0);  // the target already holds the label
}

TEST(Chemotaxis, FormSwitchesAndFieldsAddInOrder) {
    World w = make_world({3, 1, 1}, Boundary::Noflux, 1);
    w.add_cell(1, 0, 0, 0, 0);
    w.add_field("a", 0.0, 0.0);
    w.add_field("b", 0.0, 0.0);
    w.fields[0].conc = {1.0f, 0.0f, 0.0f};
    w.fields[1].conc = {0.0f, 0.25f, 0.0f};
    w.set_chemotaxis_occupancy(0, 1, 2.0, 1.0, 1.0, 1.0);
    w.set_chemotaxis(1, 1, 4.0);
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), (0.0 - 2.0 * 0.5) - 4.0 * -0.25);
    w.set_chemotaxis(0, 1, 6.0);  // keeps the occupancy form
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), (0.0 - 6.0 * 0.5) - 4.0 * -0.25);
    w.set_chemotaxis_occupancy(0, 1, 6.0, 0.0, 1.0, 1.0);  // back to linear
    EXPECT_EQ(w.delta_chemotaxis(0, 1, 1), (0.0 - 6.0 * 1.0) - 4.0 * -0.25);
    w.set_chemotaxis(0, 1, std::nan(""));
    EXPECT_TRUE(std::isnan(w.delta_chemotaxis(0, 1, 1)));
}

// A cell in a fixed linear gradient (d = 0, decay = 0 keep the field as painted) drifts along it.
double centre_x_after_run(double lambda) {
    World w = make_world({40, 14, 1}, Boundary::Noflux, 2, 4.0);
    const Label id = w.add_cell(1, 25.0, 2.0, 0.0, 0.0);
    w.paint_box(id, {18, 5, 0}, {23, 10, 1});
    w.add_field("attractant", 0.0, 0.0);
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) w.fields[0].conc[s] = static_cast<float>(w.lattice.coords(s).x);
    w.set_chemotaxis(0, 1, lambda);
    const std::vector<float> painted = w.fields[0].conc;
    Morva m = finalize(std::move(w), {{0, 1, 3.0}}, 12);
    m.step(60);
    EXPECT_EQ(m.world.fields[0].conc, painted);
    expect_trackers_fresh(m.world);
    const Cell& c = m.world.cells[id];
    EXPECT_GT(c.volume, 10);
    return c.sum_x / static_cast<double>(c.volume);
}

TEST(Chemotaxis, SweepMovesTheCellAlongTheGradient) {
    const double start = 20.0;
    EXPECT_GT(centre_x_after_run(8.0), start + 5.0);
    EXPECT_LT(centre_x_after_run(-8.0), start - 5.0);
}

// --- queries and faults

TEST(Field, MeanAtCellFollowsTheTrackedVolume) {
    World w = secretion_world();
    w.fields[0].conc[w.lattice.site_of(0, 0, 0)] = 3.0f;
    w.fields[0].conc[w.lattice.site_of(1, 2, 0)] = 0.5f;
    w.fields[0].conc[w.lattice.site_of(5, 0, 0)] = 2.0f;
    EXPECT_EQ(w.field_mean_at_cell(0, 1), 0.0);  // trackers not computed yet: volume 0
    w.recompute_trackers();
    EXPECT_EQ(w.field_mean_at_cell(0, 1), 3.5 / 6.0);
    EXPECT_EQ(w.field_mean_at_cell(0, 0), 2.0 / 14.0);
    w.paint_box(0, {3, 0, 0}, {5, 2, 1});  // cell 2 loses every site
    w.recompute_trackers();
    EXPECT_EQ(w.cells[2].volume, 0);
    EXPECT_EQ(w.field_mean_at_cell(7, 2), 0.0);  // the field index is not examined
    EXPECT_THROW(w.field_mean_at_cell(7, 1), EngineFault);
    EXPECT_THROW(w.field_mean_at_cell(0, 4), EngineFault);
}

std::string fault_text(const std::function<void()>& call) {
    try {
        call();
    } catch (const EngineFault& f) {
        return f.text();
    }
    return "no fault";
}

void expect_same_field(const Field& a, const Field& b) {
    EXPECT_EQ(bits_of(a.conc), bits_of(b.conc));
    EXPECT_EQ(a.secretion_rate, b.secretion_rate);
    EXPECT_EQ(a.chemotaxis_lambda, b.chemotaxis_lambda);
    EXPECT_EQ(a.occupancy_kd, b.occupancy_kd);
    EXPECT_EQ(a.occupancy_hill, b.occupancy_hill);
    EXPECT_EQ(a.occupancy_scale, b.occupancy_scale);
    EXPECT_EQ(a.cell_secretion_scale, b.cell_secretion_scale);
    EXPECT_EQ(a.d, b.d);
    EXPECT_EQ(a.decay, b.decay);
    EXPECT_EQ(a.dt, b.dt);
    EXPECT_EQ(a.substeps, b.substeps);
}

TEST(Field, BadFieldIndexFaultsAndChangesNothing) {
    World w = secretion_world();
    w.recompute_trackers();
    w.fields[0].conc[4] = 1.5f;
    const std::vector<std::pair<const char*, std::function<void(World&)>>> calls = {
        {"set_field_dynamics", [](World& x) { x.set_field_dynamics(1, 2.0, 3); }},
        {"set_secretion", [](World& x) { x.set_secretion(1, 9, 1.0); }},
        {"set_cell_secretion_scale", [](World& x) { x.set_cell_secretion_scale(1, 1, 2.0); }},
        {"set_chemotaxis", [](World& x) { x.set_chemotaxis(1, 9, 1.0); }},
        {"set_chemotaxis_occupancy", [](World& x) { x.set_chemotaxis_occupancy(1, 9, 1.0, 1.0, 1.0, 1.0); }},
        {"field_conc", [](World& x) { x.field_conc(1); }},
        {"field_value_at_site", [](World& x) { x.field_value_at_site(1, 0); }},
        {"field_add_at_site", [](World& x) { x.field_add_at_site(1, 0, 1.0); }},
        {"field_mean_at_cell", [](World& x) { x.field_mean_at_cell(1, 1); }},
    };
    const Field before = w.fields[0];
    for (const auto& entry : calls) {
        SCOPED_TRACE(entry.first);
        const auto& call = entry.second;
        EXPECT_EQ(fault_text([&] { call(w); }), "index out of bounds: the len is 1 but the index is 1");
        ASSERT_EQ(w.fields.size(), 1u);
        expect_same_field(w.fields[0], before);
    }
    EXPECT_EQ(fault_text([&] { w.field_add_at_site(0, 30, 1.0); }), "index out of bounds: the len is 30 but the index is 30");
    EXPECT_EQ(fault_text([&] { w.field_value_at_site(0, 31); }), "index out of bounds: the len is 30 but the index is 31");
    expect_same_field(w.fields[0], before);
    EXPECT_EQ(w.field_value_at_site(0, 4), 1.5f);
}

}  // namespace
}  // namespace morva::testing
