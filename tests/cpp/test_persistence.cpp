// Persistent motion and the cells' own forces: the gate and the refused settings, the energy change
// against the change of the centres copy by copy, the turn of a direction after its interval, and
// the term's place in checkpoints and in the parallel sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "checkpoint.hpp"
#include "option_helpers.hpp"
#include "parallel.hpp"
#include "energy_change.hpp"

namespace morva::testing {
namespace {

TEST(Persistence, OffByDefaultAndRefusesWhatItCannotUse) {
    World w = make_world({6, 5, 1}, Boundary::Periodic, 1);
    w.add_cell(1, 4, 1, 0, 0);
    EXPECT_FALSE(w.term_gates().on<PersistenceTerm>());
    EXPECT_TRUE(w.persistence.direction.empty());
    w.set_persistence(2, 0.0, 5, 0.5);
    EXPECT_FALSE(w.term_gates().on<PersistenceTerm>());
    w.set_persistence(1, 2.0, 5, 0.5);
    EXPECT_TRUE(w.term_gates().on<PersistenceTerm>());
    EXPECT_TRUE(w.term_gates().any_energy);
    EXPECT_THROW(w.set_persistence(1, 2.0, 0, 0.5), BadRequest);
    EXPECT_THROW(w.set_persistence(1, 2.0, 5, 1.5), BadRequest);
    EXPECT_THROW(w.set_persistence(1, 2.0, 5, std::nan("")), BadRequest);
    EXPECT_THROW(w.set_persistence(1, INFINITY, 5, 0.5), BadRequest);
    EXPECT_THROW(w.set_direction(0, 1, 0, 0), BadRequest);
    EXPECT_THROW(w.set_direction(1, 0, 0, 0), BadRequest);
    EXPECT_THROW(w.set_direction(1, 1, 0, 1), BadRequest);  // a flat world
    EXPECT_THROW(w.set_cell_force(2, 1, 0, 0), BadRequest);
    w.set_direction(1, 3, -4, 0);
    EXPECT_EQ(w.direction_of(1), (std::array<double, 3>{0.6, -0.8, 0.0}));
    // New records get entries: a direction to draw and the type's force.
    w.set_cell_force(1, 0.5, 0, 0);
    const Label added = w.add_cell(1, 4, 1, 0, 0);
    EXPECT_EQ(w.persistence.direction.size(), w.cells.size());
    EXPECT_EQ(w.external.force_by_cell.size(), w.cells.size());
    EXPECT_EQ(w.direction_of(added), (std::array<double, 3>{}));
    EXPECT_EQ(w.external_force_of(1)[0], 0.5);
    EXPECT_TRUE(w.term_gates().on<ExternalTerm>());
    w.clear_cell_force(1);
    EXPECT_FALSE(w.term_gates().on<ExternalTerm>());
}

// -sum over persistent cells of lambda * p . centre / |dc| is no whole energy, so each copy's change
// is checked against the centres the trackers hold just before and after it.
double plain_persistence_change(const World& before, const World& after, Label a, Label b) {
    double dh = 0.0;
    for (const Label l : {a, b}) {
        if (l == 0 || before.cells[l].volume == 0 || after.cells[l].volume == 0) continue;
        const Cell& x = before.cells[l];
        const Cell& y = after.cells[l];
        const double nx = static_cast<double>(x.volume), ny = static_cast<double>(y.volume);
        const double d[3] = {y.sum_x / ny - x.sum_x / nx, y.sum_y / ny - x.sum_y / nx, y.sum_z / ny - x.sum_z / nx};
        const double length = std::hypot(d[0], d[1], d[2]);
        const auto& p = before.direction_of(l);
        if (length > 0) dh -= before.persistence.lambda_of(x.cell_type) * (p[0] * d[0] + p[1] * d[1] + p[2] * d[2]) / length;
    }
    return dh;
}

class PersistenceEnergy : public ::testing::TestWithParam<TermShape> {};

// Random copies between neighbours of random worlds (with periodic shapes on periodic boxes; type 3
// has no term), each priced by the sweeps' change and by the centres' change, then applied.
TEST_P(PersistenceEnergy, ChangeFollowsTheMoveOfTheCentresCopyByCopy) {
    const TermShape& shape = GetParam();
    World w = random_world(shape.dims, shape.boundary, shape.order, 6, 23);
    w.options.periodic_shapes = true;
    w.recompute_trackers();
    w.set_persistence(1, 2.5, 4, 0.5);
    w.set_persistence(2, 0.75, 2, 1.0);
    std::mt19937_64 gen(9);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (Label l = 1; l < w.cells.size(); ++l) w.set_direction(l, unit(gen), unit(gen), shape.dims[2] > 1 ? unit(gen) : 0.0);
    int priced = 0;
    for (int i = 0; i < 400; ++i) {
        const SiteIndex site = gen() % w.lattice.n_sites();
        const NeighborList nbrs = w.lattice.neighbors(site);
        const Label b = w.lattice.labels[nbrs[gen() % nbrs.size()]], a = w.lattice.labels[site];
        if (a == b) continue;
        const double predicted =
            w.persistence.change(w.lattice, w.cells.data(), site, a, b, CurrentTrackers{}, w.options.periodic_shapes);
        const std::vector<Cell> cells_before = w.cells;
        World before;
        before.cells = cells_before;
        before.persistence = w.persistence;
        w.apply_flip(site, b);
        const double expected = plain_persistence_change(before, w, a, b);
        ASSERT_NEAR(predicted, expected, 1e-9 * (1 + std::fabs(expected))) << "copy " << i;
        priced += expected != 0;
    }
    EXPECT_GT(priced, 0);  // the smallest boxes hold cells of one or two sites
}

INSTANTIATE_TEST_SUITE_P(Shapes, PersistenceEnergy, ::testing::ValuesIn(term_shapes()), shape_name);

// A one-cell world whose cell is moved by hand between the steps' bookkeeping.
struct MovedCell {
    World w;
    Xoshiro256pp rng = Xoshiro256pp::from_seed(4);
    explicit MovedCell(std::array<SiteIndex, 3> dims) : w(make_world(dims, Boundary::Periodic, 1)) {
        w.add_cell(1, 8, 1, 0, 0);
        place({0, 0, 0});
    }
    void place(std::array<SiteIndex, 3> at) {
        std::fill(w.lattice.labels.begin(), w.lattice.labels.end(), 0);
        for (SiteIndex dx = 0; dx < 2; ++dx)
            for (SiteIndex dy = 0; dy < 2; ++dy)
                w.paint(w.lattice.site_of((at[0] + dx) % w.lattice.dims[0], (at[1] + dy) % w.lattice.dims[1], at[2]), 1);
        w.recompute_trackers();
    }
};

TEST(Persistence, DirectionTurnsToTheDisplacementAfterItsInterval) {
    for (const SiteIndex nz : {SiteIndex{1}, SiteIndex{3}}) {
        MovedCell m({10, 10, nz});
        m.w.options.periodic_shapes = true;
        m.w.set_persistence(1, 1.0, 3, 1.0);
        start_persistent_step(m.w, m.rng);  // draws the first direction, takes the start
        const auto drawn = m.w.direction_of(1);
        EXPECT_NEAR(std::hypot(drawn[0], drawn[1], drawn[2]), 1.0, 1e-12);
        EXPECT_EQ(drawn[2] == 0.0, nz == 1);
        // Across the seam: from x = 0 to x = 8 is two sites toward -x; and 4 up in y.
        m.place({8, 4, nz / 2});
        end_persistent_step(m.w, m.rng);
        end_persistent_step(m.w, m.rng);
        EXPECT_EQ(m.w.direction_of(1), drawn);  // the interval is not over
        const Xoshiro256pp before_turn = m.rng;
        end_persistent_step(m.w, m.rng);
        const double dz = static_cast<double>(nz / 2);
        const double n = std::hypot(-2.0, 4.0, dz);
        const auto turned = m.w.direction_of(1);
        EXPECT_NEAR(turned[0], -2.0 / n, 1e-12);
        EXPECT_NEAR(turned[1], 4.0 / n, 1e-12);
        EXPECT_NEAR(turned[2], dz / n, 1e-12);
        EXPECT_NE(m.rng.s, before_turn.s);  // the noise is drawn whatever the persistence
        // A cell that has not moved keeps its direction and draws nothing.
        for (int i = 0; i < 3; ++i) end_persistent_step(m.w, m.rng);
        EXPECT_EQ(m.w.direction_of(1), turned);
    }
}

// persistence p turns the direction by at most pi (1 - p) from the displacement, and the turns fill
// that range: in 2-D uniformly in angle, in 3-D uniformly over the cap.
TEST(Persistence, NoiseSpreadsOverItsDocumentedRange) {
    for (const SiteIndex nz : {SiteIndex{1}, SiteIndex{3}}) {
        MovedCell m({12, 12, nz});
        m.w.set_persistence(1, 1.0, 1, 0.75);
        start_persistent_step(m.w, m.rng);
        double widest = 0, mean_cos = 0;
        constexpr int turns = 1000;
        for (int i = 0; i < turns; ++i) {
            m.place({static_cast<SiteIndex>(i % 2 == 0 ? 1 : 0), 0, 0});  // +x on even turns, -x on odd ones
            end_persistent_step(m.w, m.rng);
            const double along = (i % 2 == 0 ? 1.0 : -1.0) * m.w.direction_of(1)[0];
            widest = std::max(widest, std::acos(std::clamp(along, -1.0, 1.0)));
            mean_cos += along / turns;
        }
        const double width = std::numbers::pi / 4;
        EXPECT_LE(widest, width + 1e-9);
        EXPECT_GT(widest, 0.95 * width);
        // Mean cosine: sin(w) / w over an arc; (1 + cos w) / 2 over a cap.
        const double expected = nz == 1 ? std::sin(width) / width : (1 + std::cos(width)) / 2;
        EXPECT_NEAR(mean_cos, expected, 0.01);
    }
}

Morva persistent_session(std::uint64_t seed, bool com_force) {
    World w = block_tissue(24, 24, Boundary::Periodic, 2, 3, 5, 2, 10.0);
    w.options.periodic_shapes = true;
    w.options.com_force = com_force;
    w.recompute_trackers();
    w.set_persistence(1, 20.0, 3, 0.8);
    w.set_persistence(2, 5.0, 1, 0.2);
    w.set_cell_force(4, 2.0, -1.0, 0.0);
    return finalize(std::move(w), {{0, 1, 10.0}, {0, 2, 10.0}, {1, 2, 6.0}}, seed);
}

TEST(Persistence, CheckpointResumesBitForBit) {
    Morva original = persistent_session(5, true);
    original.step(4);
    // Daughters get their entries (the reader refuses per-cell tables of another size).
    EXPECT_FALSE(original.world.divide_cells(20, 12).empty());
    original.step(2);
    const std::vector<std::uint8_t> bytes = write_checkpoint({original.world, &original.rng, {}});
    EXPECT_EQ(written_version(bytes), 3u);
    Session s = read_checkpoint(bytes);
    EXPECT_TRUE(same_state(s.world, original.world));
    Morva loaded(std::move(s.world), *s.rng);
    const auto directions = original.world.persistence.direction;
    original.step(5);
    loaded.step(5);
    EXPECT_TRUE(same_state(loaded.world, original.world));
    EXPECT_NE(original.world.persistence.direction, directions);
}

TEST(Persistence, ParallelSweepGivesTheSameStateForAnyThreadCount) {
    std::vector<std::uint8_t> first;
    for (const std::size_t threads : {1, 2, 3}) {
        Morva m = persistent_session(8, false);
        WorkerPool pool(threads);
        step_parallel_on(m, 6, 6, pool);
        const std::vector<std::uint8_t> bytes = write_checkpoint({m.world, &m.rng, {}});
        if (first.empty()) first = bytes;
        else EXPECT_EQ(bytes, first) << threads << " threads";
        EXPECT_NE(m.world.persistence.elapsed[1], PersistenceTerm::restart);
    }
}

}  // namespace
}  // namespace morva::testing
