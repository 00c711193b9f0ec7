// The centre-of-mass form of the external force: a copy costs -F . (change of the centre of mass)
// for the cells losing and gaining the site, so a force moves a cell without changing its size, at
// the same speed everywhere in the box.
#include <gtest/gtest.h>

#include "option_helpers.hpp"
#include "parallel.hpp"

namespace morva::testing {
namespace {

constexpr WorldOptions force_on{.periodic_shapes = true, .com_force = true, .face_connectivity = false};

// -sum over cells of F . centre, the centre taken from the sums in their own (unwrapped) frame.
double whole_force_energy(const World& w) {
    double energy = 0.0;
    for (Label l = 1; l < w.cells.size(); ++l) {
        const Cell& c = w.cells[l];
        if (c.volume == 0) continue;
        const double n = static_cast<double>(c.volume);
        const auto& f = w.external_force_of(l);
        energy -= f[0] * (c.sum_x / n) + f[1] * (c.sum_y / n) + f[2] * (c.sum_z / n);
    }
    return energy;
}

class ComForceEnergy : public ::testing::TestWithParam<TermShape> {};

// Copies between neighbours that leave every cell at least one site: the change predicted before each
// copy equals the change of the whole energy.
TEST_P(ComForceEnergy, ChangeEqualsTheChangeOfTheWholeEnergy) {
    const TermShape& shape = GetParam();
    World w = random_world(shape.dims, shape.boundary, shape.order, 5, 17);
    w.options = force_on;
    w.recompute_trackers();
    w.set_external_potential(1, 3.0, -2.0, 1.5);
    w.set_external_potential(2, -0.5, 4.0, 0.0);
    w.set_external_potential(0, 9.0, 9.0, 9.0);  // the medium has no centre: no effect
    std::mt19937_64 gen(5);
    int changed = 0;
    double before = whole_force_energy(w);
    for (int i = 0; i < 400; ++i) {
        const SiteIndex site = gen() % w.lattice.n_sites();
        const NeighborList nbrs = w.lattice.neighbors(site);
        if (nbrs.empty()) continue;
        const Label to = w.lattice.labels[nbrs[gen() % nbrs.size()]], from = w.lattice.labels[site];
        if (to == from || (from != 0 && w.cells[from].volume < 2)) continue;
        const double d = w.delta_external(site, to);
        w.apply_flip(site, to);
        const double after = whole_force_energy(w);
        EXPECT_NEAR(d, after - before, 1e-9 * (1.0 + std::fabs(before) + std::fabs(after))) << i;
        changed += d != 0;
        before = after;
    }
    EXPECT_GT(changed, 50);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ComForceEnergy, ::testing::ValuesIn(term_shapes()), shape_name);

TEST(ComForce, FirstAndLastSitesMoveNoCentre) {
    World w = make_world({8, 8, 1}, Boundary::Noflux, 1);
    w.options = force_on;
    w.add_cell(1, 1, 1, 0, 0);
    w.add_cell(1, 1, 1, 0, 0);
    w.paint(w.lattice.site_of(2, 2, 0), 1);
    w.recompute_trackers();
    w.set_external_potential(1, 5.0, 5.0, 0.0);
    EXPECT_EQ(w.delta_external(w.lattice.site_of(2, 2, 0), 0), 0.0);  // cell 1 would vanish
    EXPECT_EQ(w.delta_external(w.lattice.site_of(6, 6, 0), 2), 0.0);  // cell 2 has no site yet
    // Gaining a site one step along +x moves a one-site cell's centre by 1/2: -5 * 0.5.
    EXPECT_EQ(w.delta_external(w.lattice.site_of(3, 2, 0), 1), -2.5);
}

// --- a pushed cell

struct Drive {
    std::vector<double> window_speeds;  // mean x speed in each window, sites per step
    double mean_volume = 0, worst_volume_error = 0;
};

// An 8 x 8 cell in medium on a 64 x 32 periodic box, its left edge at x0, pushed along +x.
Drive pushed_cell(WorldOptions options, SiteIndex x0, double force, bool parallel, std::uint64_t seed,
                  int windows = 4, int window = 40) {
    World w = make_world({64, 32, 1}, Boundary::Periodic, 2, 4.0);
    w.options = options;
    w.add_cell(1, 64, 1.0, 0, 0);
    for (SiteIndex y = 12; y < 20; ++y)
        for (SiteIndex x = x0; x < x0 + 8; ++x) w.paint(w.lattice.site_of(x % 64, y, 0), 1);
    w.set_external_potential(1, force, 0.0, 0.0);
    Morva m = finalize(std::move(w), {{0, 1, 8.0}}, seed);
    CentreTrack track(m.world, 1);
    Drive d;
    double last = track.read()[0];
    for (int k = 0; k < windows; ++k) {
        for (int t = 0; t < window; ++t) {
            if (parallel) m.step_parallel(1, 16);
            else m.step(1);
            const double v = static_cast<double>(m.world.cells[1].volume);
            d.mean_volume += v / (windows * window);
            d.worst_volume_error = std::max(d.worst_volume_error, std::fabs(v - 64.0));
        }
        const double now = track.read()[0];
        d.window_speeds.push_back((now - last) / window);
        last = now;
    }
    return d;
}

double mean_of(const std::vector<double>& v) {
    double sum = 0;
    for (const double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

TEST(ComForce, PushedCellKeepsItsVolumeAndMovesSteadilyAnywhere) {
    for (const bool parallel : {false, true}) {
        SCOPED_TRACE(parallel ? "step_parallel" : "step");
        const Drive still = pushed_cell(force_on, 28, 0.0, parallel, 3, 4, 50);
        std::vector<double> speeds;
        for (const SiteIndex x0 : {4u, 28u, 60u}) {  // in the middle and across the seam
            SCOPED_TRACE("x0 " + std::to_string(x0));
            const Drive d = pushed_cell(force_on, x0, 250.0, parallel, 3 + x0, 4, 50);
            EXPECT_NEAR(d.mean_volume, still.mean_volume, 1.5);
            EXPECT_LE(d.worst_volume_error, still.worst_volume_error + 5.0);
            const double speed = mean_of(d.window_speeds);
            EXPECT_GT(speed, 0.1);
            for (const double v : d.window_speeds) EXPECT_NEAR(v, speed, 0.5 * speed);
            speeds.push_back(speed);
        }
        const double speed = mean_of(speeds);
        for (const double v : speeds) EXPECT_NEAR(v, speed, 0.25 * speed);
    }
}

// The raw form of the same push, a hundred times weaker, inflates the cell instead.
TEST(ComForce, RawFormInflatesThePushedCell) {
    const Drive still = pushed_cell(force_on, 28, 0.0, false, 3, 1, 20);
    const Drive raw = pushed_cell({}, 28, 2.5, false, 3, 1, 20);
    EXPECT_GT(raw.mean_volume, still.mean_volume + 8.0);
}

}  // namespace
}  // namespace morva::testing
