#include <gtest/gtest.h>

#include <cmath>

#include "helpers.hpp"

namespace morva::testing {
namespace {

TEST(Energy, SameLabelIsExactlyZero) {
    World w = random_world({5, 5, 1}, Boundary::Periodic, 2, 4, 1);
    EXPECT_EQ(w.delta_hamiltonian(3, w.lattice.labels[3]), 0.0);
}

TEST(Energy, NewSingleSiteCellInMedium) {
    World w = make_world({5, 5, 1}, Boundary::Periodic, 1);
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0);
    ContactMatrix m = ContactMatrix::make(2);
    m.set(0, 1, 3.0);
    m.set(1, 0, 3.0);
    w.set_contact_matrix(std::move(m));
    w.recompute_trackers();
    EXPECT_EQ(w.delta_hamiltonian(12, 1), -1.0 + 4 * 3.0);
    w.apply_flip(12, 1);
    EXPECT_EQ(w.delta_hamiltonian(12, 0), 1.0 - 4 * 3.0);
}

TEST(Energy, TypeBeyondTheTableHasNoContactEnergy) {
    World w = make_world({5, 5, 1}, Boundary::Periodic, 1);
    w.add_cell(1, 0.0, 0.0, 0.0, 0.0);
    w.add_cell(7, 0.0, 0.0, 0.0, 0.0);
    ContactMatrix m = ContactMatrix::make(2);
    for (std::size_t a = 0; a < 2; ++a)
        for (std::size_t b = 0; b < 2; ++b) m.set(a, b, 5.0);
    w.set_contact_matrix(std::move(m));
    w.paint(11, 2);
    w.recompute_trackers();
    EXPECT_EQ(w.delta_hamiltonian(12, 2), 0.0);  // type 7 against medium and itself: 0
    EXPECT_EQ(w.delta_hamiltonian(12, 1), 3 * 5.0);  // type 1 against 3 medium sites; cell 2 is type 7
}

struct EnergyCase {
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::uint8_t order;
    double lambda_surface;
};

class DeltaMatchesTotal : public ::testing::TestWithParam<EnergyCase> {};

TEST_P(DeltaMatchesTotal, OverRandomFlips) {
    const EnergyCase c = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 6, seed, c.lambda_surface);
        std::mt19937_64 gen(seed + 100);
        const SiteIndex n = w.lattice.n_sites();
        for (int i = 0; i < 300; ++i) {
            const SiteIndex site = gen() % n;
            const auto b = static_cast<Label>(gen() % w.cells.size());
            const double before = total_hamiltonian(w);
            const double predicted = w.delta_hamiltonian(site, b);
            w.apply_flip(site, b);
            const double after = total_hamiltonian(w);
            EXPECT_NEAR(predicted, after - before, 1e-9 * (1.0 + std::abs(before)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, DeltaMatchesTotal,
                         ::testing::Values(EnergyCase{{7, 6, 1}, Boundary::Periodic, 2, 0.0},
                                           EnergyCase{{7, 6, 1}, Boundary::Noflux, 1, 0.7},
                                           EnergyCase{{4, 5, 3}, Boundary::Periodic, 3, 0.3},
                                           EnergyCase{{4, 5, 3}, Boundary::Noflux, 2, 0.0},
                                           EnergyCase{{1, 6, 6}, Boundary::Periodic, 2, 0.5},
                                           EnergyCase{{2, 3, 2}, Boundary::Periodic, 3, 0.5}));

TEST(Energy, SurfaceTermOffIgnoresSurfaceParameters) {
    World w = random_world({6, 6, 1}, Boundary::Periodic, 2, 4, 9);
    const double without = w.delta_hamiltonian(14, 2);
    for (Cell& c : w.cells) c.target_surface = 100.0;  // lambda_surface stays 0: surface term inactive
    EXPECT_EQ(w.delta_hamiltonian(14, 2), without);
}

}  // namespace
}  // namespace morva::testing
