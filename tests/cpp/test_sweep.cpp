#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "helpers.hpp"

namespace morva::testing {
namespace {

TEST(Random, SeedZeroStateAndFirstOutputs) {
    Xoshiro256pp g = Xoshiro256pp::from_seed(0);
    EXPECT_EQ(g.s[0], 0x45cdb581f973f2ecULL);
    EXPECT_EQ(g.s[1], 0xad6cad067346f087ULL);
    EXPECT_EQ(g.s[2], 0x67e71733e3a3d0d0ULL);
    EXPECT_EQ(g.s[3], 0xfe7d8ad772ea9bf2ULL);
    EXPECT_EQ(g.next(), 0x7283e4c96896188cULL);
    EXPECT_EQ(g.next(), 0x706b7f2de031bf37ULL);
}

TEST(Random, BelowOneRejectsAboutHalfOfAllDraws) {
    // n = 1: zone = 2^63 - 1, so a draw passes iff its low 64 product bits (the draw itself) < 2^63.
    Xoshiro256pp g = Xoshiro256pp::from_seed(42), mirror = g;
    std::uint64_t consumed = 0;
    for (int i = 0; i < 4000; ++i) {
        EXPECT_EQ(g.below(1), 0u);
        std::uint64_t v;
        do {
            v = mirror.next();
            ++consumed;
        } while (v > 0x7fffffffffffffffULL);
    }
    EXPECT_EQ(g.s, mirror.s);
    EXPECT_GT(consumed, 7000u);
    EXPECT_LT(consumed, 9000u);
}

TEST(Random, BelowMatchesTheWideningMultiplyWithItsZone) {
    Xoshiro256pp g = Xoshiro256pp::from_seed(7), mirror = g;
    for (const std::uint64_t n : {2ULL, 3ULL, 8ULL, 26ULL, 40000ULL, 1000000ULL, (1ULL << 63) + 5}) {
        for (int i = 0; i < 200; ++i) {
            const std::uint64_t zone = (n << __builtin_clzll(n)) - 1;
            std::uint64_t want;
            for (;;) {
                const unsigned __int128 m = static_cast<unsigned __int128>(mirror.next()) * n;
                if (static_cast<std::uint64_t>(m) <= zone) {
                    want = static_cast<std::uint64_t>(m >> 64);
                    break;
                }
            }
            const std::uint64_t got = g.below(n);
            EXPECT_EQ(got, want);
            EXPECT_LT(got, n);
        }
    }
}

TEST(Random, UnitUsesTheTop53Bits) {
    Xoshiro256pp g = Xoshiro256pp::from_seed(3), mirror = g;
    for (int i = 0; i < 100; ++i) {
        const double r = g.unit();
        EXPECT_EQ(r, std::ldexp(static_cast<double>(mirror.next() >> 11), -53));
        EXPECT_GE(r, 0.0);
        EXPECT_LT(r, 1.0);
    }
}

struct AcceptCase {
    double dh, temperature;
    bool accepted, draws;
};

class Metropolis : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(Metropolis, AcceptsAndDrawsAsTheRuleSays) {
    const AcceptCase c = GetParam();
    Xoshiro256pp g = Xoshiro256pp::from_seed(11), mirror = g;
    EXPECT_EQ(metropolis_accepts(c.dh, c.temperature, g), c.accepted);
    if (c.draws) mirror.next();
    EXPECT_EQ(g.s, mirror.s);
}

const double nan = std::numeric_limits<double>::quiet_NaN();
INSTANTIATE_TEST_SUITE_P(Cases, Metropolis,
                         ::testing::Values(AcceptCase{0.0, 1.0, true, false}, AcceptCase{-0.0, 1.0, true, false},
                                           AcceptCase{-5.0, 0.0, true, false}, AcceptCase{1e-300, 0.0, false, true},
                                           AcceptCase{3.0, 0.0, false, true}, AcceptCase{1e6, -1.0, true, true},
                                           AcceptCase{nan, 1.0, false, true}, AcceptCase{1e6, 1.0, false, true}));

// surely_rejected may answer true only where the rule rejects. Around each threshold -T ln r (r a power
// of two, where the chord bound is exact, and inside binades) every dh a few ulps and a few parts in
// 1e8 either side is asked; well above the threshold it must settle the attempt.
TEST(Metropolis, SurelyRejectedOnlyWhereTheRuleRejects) {
    int settled = 0, asked_far = 0;
    for (const double temperature : {0.25, 20.0, 3e4})
        for (int e = -53; e <= -1; ++e)
            for (const double m : {1.0, 1.25, 1.0 / std::numbers::ln2, 1.75, std::nextafter(2.0, 1.0)}) {
                const double r = std::ldexp(m, e);
                const double threshold = -temperature * std::log(r);
                std::vector<double> near;
                for (double dh = threshold, up = threshold; near.size() < 40; dh = std::nextafter(dh, 0.0)) {
                    near.push_back(dh);
                    near.push_back(up = std::nextafter(up, INFINITY));
                }
                for (const double scale : {1 - 1e-7, 1 + 1e-8, 1 + 5e-8, 1 + 1e-7, 1 + 1e-6})
                    near.push_back(threshold * scale);
                for (const double dh : near)
                    if (surely_rejected(dh, temperature, r)) {
                        ++settled;
                        EXPECT_FALSE(boltzmann_passes(dh, temperature, r)) << dh << " T " << temperature << " r " << r;
                    }
                const double far = threshold + 0.07 * temperature + 1e-3;
                ++asked_far;
                EXPECT_TRUE(surely_rejected(far, temperature, r)) << far << " T " << temperature << " r " << r;
                EXPECT_FALSE(boltzmann_passes(far, temperature, r));
            }
    EXPECT_GT(settled, 0);
    EXPECT_GT(asked_far, 700);
    for (const double r : {0.0, nan})
        EXPECT_FALSE(surely_rejected(1e300, 1.0, r));
    EXPECT_FALSE(surely_rejected(nan, 1.0, 0.5));
}

TEST(Sweep, StepZeroDrawsNothing) {
    Morva m = finalize(random_world({6, 6, 1}, Boundary::Periodic, 2, 4, 1), {}, 5);
    const auto state = m.rng.s;
    m.step(0);
    EXPECT_EQ(m.rng.s, state);
}

TEST(Sweep, OrderZeroDrawsOnlyTargetsAndNeverChangesLabels) {
    World w = random_world({5, 4, 1}, Boundary::Periodic, 0, 4, 2);
    const std::vector<Label> labels = w.lattice.labels;
    Morva m = finalize(std::move(w), {}, 9);
    Xoshiro256pp mirror = m.rng;
    m.step(3);
    for (int i = 0; i < 3 * 20; ++i) mirror.below(20);
    EXPECT_EQ(m.rng.s, mirror.s);
    EXPECT_EQ(m.world.lattice.labels, labels);
}

TEST(Sweep, EmptyLatticeDrawsNothing) {
    Morva m = finalize(make_world({0, 3, 3}, Boundary::Periodic, 1), {}, 1);
    const auto state = m.rng.s;
    m.step(4);
    EXPECT_EQ(m.rng.s, state);
}

TEST(Sweep, SplitStepsEqualOneLongStep) {
    Morva a = scenes::b1_cell_sorting(21), b = scenes::b1_cell_sorting(21);
    a.step(3);
    a.step(4);
    b.step(7);
    EXPECT_EQ(a.world.lattice.labels, b.world.lattice.labels);
    EXPECT_EQ(a.rng.s, b.rng.s);
}

TEST(Sweep, TrackersStayExactOverManySteps) {
    for (const auto boundary : {Boundary::Periodic, Boundary::Noflux}) {
        World w = random_world({12, 10, 4}, boundary, 3, 9, 4, 0.2);
        Morva m = finalize(std::move(w), {{0, 1, 3.0}, {1, 2, 1.0}, {2, 3, 4.0}}, 17);
        m.world.temperature = 5.0;
        m.step(20);
        expect_trackers_fresh(m.world);
    }
}

TEST(Sweep, SelfListingPeriodicBoxKeepsTrackersExact) {
    World w = random_world({1, 6, 6}, Boundary::Periodic, 3, 5, 8, 0.5);
    Morva m = finalize(std::move(w), {{0, 1, 2.0}, {1, 1, 1.0}, {2, 3, 3.0}}, 3);
    m.world.temperature = 3.0;
    for (int i = 0; i < 10; ++i) {
        m.step(20);
        expect_trackers_fresh(m.world);
    }
}

std::uint64_t fnv1a(const std::vector<Label>& labels) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const Label l : labels) h = (h ^ l) * 0x100000001b3ULL;
    return h;
}

TEST(Sweep, CellSortingIsReproducibleAndKeepsVolumesNearTarget) {
    Morva a = scenes::b1_cell_sorting(2024), b = scenes::b1_cell_sorting(2024), c = scenes::b1_cell_sorting(2025);
    a.step(40);
    b.step(40);
    c.step(40);
    EXPECT_EQ(fnv1a(a.world.lattice.labels), fnv1a(b.world.lattice.labels));
    EXPECT_EQ(a.world.lattice.labels, b.world.lattice.labels);
    EXPECT_NE(a.world.lattice.labels, c.world.lattice.labels);
    for (std::size_t i = 1; i < a.world.cells.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(a.world.cells[i].volume), 100.0, 15.0) << "cell " << i;
    }
    expect_trackers_fresh(a.world);
}

TEST(Sweep, CellSortingIncreasesLikeTypeContacts) {
    Morva m = scenes::b1_cell_sorting(5);
    m.step(5);
    const double early = like_contact_fraction(m.world);
    m.step(300);
    EXPECT_GT(like_contact_fraction(m.world), early + 0.1);
}

// --- optional terms behind their gates

// Settings that name a term but leave it off must not change a single draw or label; switching any
// one of them on must.
TEST(SweepTerms, SettingsThatLeaveEveryTermOffChangeNothing) {
    const auto run = [](int switch_on) {
        World w = random_world({12, 10, 1}, Boundary::Periodic, 2, 8, 6);
        w.temperature = 4.0;
        w.set_length_constraint(1, 5.0, 0.0);
        w.set_length_constraint(2, 5.0, -1.0);
        w.set_external_potential(1, 0.0, 0.0, 0.0);
        w.set_junction(1, true);
        w.set_junction_lambda(0.0);
        w.set_membrane_anchored(1, true);  // no anchors: no distance field
        w.set_connectivity(3, false);
        switch (switch_on) {
            case 1: w.set_length_constraint(1, 5.0, 0.5); break;
            case 2: w.set_external_potential(1, 0.5, 0.0, 0.0); break;
            case 3: w.set_junction_lambda(3.0); break;
            case 4: w.set_membrane({0}, 0.5, 1.0); break;
            case 5: w.set_connectivity(1, true); break;
            default: break;
        }
        Morva m = finalize(std::move(w), {{0, 1, 3.0}, {1, 2, 1.0}, {2, 3, 4.0}}, 31);
        m.step(15);
        return std::make_pair(m.world.lattice.labels, m.rng.s);
    };
    World plain = random_world({12, 10, 1}, Boundary::Periodic, 2, 8, 6);
    plain.temperature = 4.0;
    Morva m = finalize(std::move(plain), {{0, 1, 3.0}, {1, 2, 1.0}, {2, 3, 4.0}}, 31);
    m.step(15);
    EXPECT_EQ(run(0), std::make_pair(m.world.lattice.labels, m.rng.s));
    for (int term = 1; term <= 5; ++term) EXPECT_NE(run(term).first, m.world.lattice.labels) << "term " << term;
}

}  // namespace
}  // namespace morva::testing

namespace morva::testing {
namespace {

// Label-grid hashes pinned from the straightforward first version of the sweep, so that any later
// speed work that changes a single draw or rounding shows up here.
TEST(Sweep, GoldenHashesOfFixedScenes) {
    Morva b1 = scenes::b1_cell_sorting(7);
    b1.step(30);
    EXPECT_EQ(fnv1a(b1.world.lattice.labels), 0x338536aab38ce1d5ULL);
    Morva b2 = scenes::b2_adhesion_3d(7);
    b2.step(2);
    EXPECT_EQ(fnv1a(b2.world.lattice.labels), 0x63c85816608a677dULL);
    World w = make_world({40, 30, 1}, Boundary::Noflux, 2, 8.0);
    for (SiteIndex i = 0; i < 6; ++i)
        w.paint_box(w.add_cell(static_cast<CellType>(1 + i % 2), 30, 1.0, 25, 0.3), {4 + 6 * i, 10, 0},
                          {9 + 6 * i, 16, 1});
    Morva s = finalize(std::move(w), {{0, 1, 5}, {0, 2, 7}, {1, 2, 3}, {1, 1, 1}, {2, 2, 2}}, 3);
    s.step(50);
    EXPECT_EQ(fnv1a(s.world.lattice.labels), 0xbcf8653162f9a95fULL);
}

}  // namespace
}  // namespace morva::testing
