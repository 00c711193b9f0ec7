// Periodic shapes: a cell's sums follow the cell as it looks across periodic seams. Most tests here
// rest on translation invariance: a tissue and the same tissue moved by any vector across the seams
// must give the same centres (modulo the box), lengths, energy changes and division outcomes.
#include <gtest/gtest.h>

#include "option_helpers.hpp"
#include "parallel.hpp"

namespace morva::testing {
namespace {

constexpr WorldOptions shapes_on{.periodic_shapes = true, .com_force = false, .face_connectivity = false};
constexpr WorldOptions shapes_and_force{.periodic_shapes = true, .com_force = true, .face_connectivity = false};

// Paints [lo, hi) moved by `shift`, every coordinate taken modulo the box: boxes may run past a face.
void paint_wrapped(World& w, Label id, std::array<SiteIndex, 3> lo, std::array<SiteIndex, 3> hi,
                   const std::array<SiteIndex, 3>& shift) {
    const auto& d = w.lattice.dims;
    for (SiteIndex z = lo[2]; z < hi[2]; ++z)
        for (SiteIndex y = lo[1]; y < hi[1]; ++y)
            for (SiteIndex x = lo[0]; x < hi[0]; ++x)
                w.paint(w.lattice.site_of((x + shift[0]) % d[0], (y + shift[1]) % d[1], (z + shift[2]) % d[2]), id);
}

// --- the frame itself

TEST(ShapeFrame, NearestImagesGoToTheLowSideOnATie) {
    const ShapeFrame f = ShapeFrame::make({10, 8, 1}, {true, false, true}, true);
    EXPECT_EQ(f.image(0, 9.0, 0.5), -1.0);
    EXPECT_EQ(f.image(0, 0.0, 9.5), 10.0);
    EXPECT_EQ(f.image(0, 5.0, 0.0), -5.0);  // exactly half a box: the low side
    EXPECT_EQ(f.image(0, 0.0, 5.0), 0.0);
    EXPECT_EQ(f.image(0, 4.0, 0.0), 4.0);
    EXPECT_EQ(f.side, (Point{10.0, 0.0, 0.0}));  // closed axes and single layers do not unwrap
    EXPECT_FALSE(ShapeFrame::make({10, 8, 1}, {true, true, true}, false).unwraps());
}

// Whole-box shifts of the sums equal the sums of the shifted sites, bit for bit.
TEST(ShapeFrame, WrappingTheCentreIntoTheBoxShiftsTheSumsExactly) {
    const ShapeFrame f = ShapeFrame::make({12, 9, 7}, {true, true, true}, true);
    Trackers far, near;
    for (int i = 0; i < 20; ++i) {
        const double x = -30.0 + i % 5, y = 20.0 + i % 3, z = 3.0 + i % 4;  // centre near (-28, 21, 4.5)
        far.add_site(x, y, z);
        near.add_site(x + 36.0, y - 18.0, z);
    }
    f.wrap_into_box(far);
    EXPECT_EQ(far, near);
}

// --- one cell across a seam

World seam_cell_world(SiteIndex x0, WorldOptions options) {
    World w = make_world({100, 60, 1}, Boundary::Periodic, 2);
    w.options = options;
    w.add_cell(1, 100, 1, 0, 0);
    paint_wrapped(w, 1, {x0, 20, 0}, {x0 + 10, 30, 1}, {0, 0, 0});
    w.recompute_trackers();
    return w;
}

TEST(PeriodicShapes, CellAcrossTheSeamHasTheCentreAndLengthOfTheCellAsItLooks) {
    const World across = seam_cell_world(95, shapes_on), inside = seam_cell_world(45, shapes_on);
    EXPECT_EQ(across.cell_centre(1), (Point{99.5, 24.5, 0.0}));
    EXPECT_EQ(inside.cell_centre(1), (Point{49.5, 24.5, 0.0}));
    EXPECT_EQ(across.cell_length(1), std::sqrt(99.0));  // a 10 x 10 square: variance 8.25 on each axis
    EXPECT_EQ(inside.cell_length(1), across.cell_length(1));

    // Raw sums see the box's cut: the centre in the middle of the box, the length of a torn cell.
    const World raw = seam_cell_world(95, {});
    EXPECT_EQ(raw.cell_centre(1)[0], 49.5);
    EXPECT_GT(raw.cell_length(1), 150.0);
}

TEST(PeriodicShapes, DivisionCutsTheCellAsItLooks) {
    World w = seam_cell_world(95, shapes_on);
    w.cells[1].target_volume = 100;
    w.add_cell(1, 100, 1, 0, 0);
    paint_wrapped(w, 2, {40, 40, 0}, {52, 48, 1}, {0, 0, 0});  // 12 x 8 inside the box: cut across x
    w.recompute_trackers();
    const std::vector<Label> daughters = w.divide_cells(90, 50);
    ASSERT_EQ(daughters, (std::vector<Label>{3, 4}));
    // The seam cell spans unwrapped x -5..4: the plane x = -1 keeps -5..-1 (95..99) and moves 0..4.
    for (SiteIndex x = 0; x < 100; ++x) {
        const Label l = w.lattice.labels[w.lattice.site_of(x, 25, 0)];
        if (x >= 95) {
            EXPECT_EQ(l, 1u) << x;
        } else if (x < 5) {
            EXPECT_EQ(l, 3u) << x;
        }
    }
    EXPECT_EQ(w.cells[1].volume, 50);
    EXPECT_EQ(w.cells[3].volume, 50);
    EXPECT_EQ(w.cell_centre(1), (Point{97.0, 24.5, 0.0}));
    EXPECT_EQ(w.cell_centre(3), (Point{2.0, 24.5, 0.0}));
    EXPECT_EQ(w.cells[2].volume, 48);  // 40..46 stay, 47..51 move
    EXPECT_EQ(w.cells[4].volume, 48);
}

// --- translation invariance

struct SeamCase {
    const char* name;
    std::array<SiteIndex, 3> dims;
    std::uint8_t order;
    std::vector<std::array<SiteIndex, 3>> shifts;
};

// Cells cut by one seam, by two, by none, and irregular ones; two types with length terms and forces.
World seam_tissue(const SeamCase& c, const std::array<SiteIndex, 3>& shift) {
    World w = make_world(c.dims, Boundary::Periodic, c.order, 5.0);
    w.options = shapes_and_force;
    const bool deep = c.dims[2] > 1;
    const SiteIndex nx = c.dims[0], ny = c.dims[1], nz = c.dims[2];
    const auto box = [&](CellType type, std::array<SiteIndex, 3> lo, std::array<SiteIndex, 3> hi) {
        if (!deep) lo[2] = 0, hi[2] = 1;
        const Label id = w.add_cell(type, 40, 1.5, 0, 0);
        paint_wrapped(w, id, lo, hi, shift);
        return id;
    };
    box(1, {nx - 4, 2, nz - 2}, {nx + 4, 9, nz + 3});           // across x (and z)
    box(2, {10, ny - 4, 1}, {17, ny + 4, 5});                   // across y
    box(1, {nx - 3, ny - 3, 0}, {nx + 3, ny + 2, 3});           // across x and y
    const Label arm = box(2, {12, 10, 3}, {19, 15, 6});         // inside, with an arm
    paint_wrapped(w, arm, {19, 12, 4}, {24, 13, 5}, shift);
    box(1, {nx - 2, 12, 5}, {nx + 1, 13, 6});                   // a thin rod across x
    w.set_length_constraint(1, 7.0, 2.0);
    w.set_length_constraint(2, 5.0, 0.5);
    w.set_external_potential(1, 30.0, -20.0, 10.0);
    w.set_external_potential(2, -5.0, 15.0, 25.0);
    ContactMatrix m = ContactMatrix::make(3);
    for (std::size_t a = 0; a < 3; ++a)
        for (std::size_t b = 0; b < 3; ++b) m.set(a, b, a == b ? 2.0 + a : 7.0 + a + b);
    w.set_contact_matrix(std::move(m));
    w.recompute_trackers();
    return w;
}

class TranslationInvariance : public ::testing::TestWithParam<SeamCase> {};

TEST_P(TranslationInvariance, CentresLengthsAndEnergyChangesFollowTheTissue) {
    const SeamCase& c = GetParam();
    const World base = seam_tissue(c, {0, 0, 0});
    for (const auto& shift : c.shifts) {
        SCOPED_TRACE("shift " + std::to_string(shift[0]) + "," + std::to_string(shift[1]) + "," +
                     std::to_string(shift[2]));
        const World moved = seam_tissue(c, shift);
        for (Label l = 1; l < base.cells.size(); ++l) {
            EXPECT_EQ(moved.cells[l].volume, base.cells[l].volume);
            EXPECT_EQ(moved.cells[l].surface, base.cells[l].surface);
            const Point a = base.cell_centre(l), b = moved.cell_centre(l);
            for (int k = 0; k < 3; ++k) {
                const double side = static_cast<double>(c.dims[k]);
                EXPECT_NEAR(wrapped_difference(b[k], a[k] + static_cast<double>(shift[k]), side), 0.0, 1e-9);
                EXPECT_GE(b[k], 0.0);
                EXPECT_LT(b[k], side);
            }
            EXPECT_NEAR(moved.cell_length(l), base.cell_length(l), 1e-9);
        }
        // Every copy a sweep can make: onto each site, from each of its neighbours.
        int nonzero = 0;
        for (SiteIndex s = 0; s < base.lattice.n_sites(); ++s) {
            const SiteIndex t = translated(base.lattice, s, shift);
            for (const SiteIndex from : base.lattice.neighbors(s)) {
                const Label l = base.lattice.labels[from];
                EXPECT_EQ(moved.delta_hamiltonian(t, l), base.delta_hamiltonian(s, l));
                const double length = base.delta_length(s, l), force = base.delta_external(s, l);
                EXPECT_NEAR(moved.delta_length(t, l), length, 1e-9 * (1.0 + std::fabs(length)));
                EXPECT_NEAR(moved.delta_external(t, l), force, 1e-9 * (1.0 + std::fabs(force)));
                nonzero += length != 0 && force != 0;
            }
        }
        EXPECT_GT(nonzero, 100);
    }
}

TEST_P(TranslationInvariance, DivisionOutcomesFollowTheTissue) {
    const SeamCase& c = GetParam();
    World base = seam_tissue(c, {0, 0, 0});
    const std::vector<Label> daughters = base.divide_cells(20, 10);
    ASSERT_GE(daughters.size(), 3u);
    for (const auto& shift : c.shifts) {
        World moved = seam_tissue(c, shift);
        EXPECT_EQ(moved.divide_cells(20, 10), daughters);
        for (SiteIndex s = 0; s < base.lattice.n_sites(); ++s)
            ASSERT_EQ(moved.lattice.labels[translated(base.lattice, s, shift)], base.lattice.labels[s]) << s;
    }
}

const SeamCase seam_cases[] = {
    {"Flat_Order2", {40, 30, 1}, 2, {{17, 0, 0}, {5, 23, 0}, {39, 29, 0}, {20, 15, 0}}},
    {"Flat_Order1", {31, 27, 1}, 1, {{1, 1, 0}, {30, 13, 0}}},
    {"Deep_Order3", {28, 22, 10}, 3, {{3, 11, 7}, {27, 21, 9}, {14, 0, 5}}},
};
INSTANTIATE_TEST_SUITE_P(Boxes, TranslationInvariance, ::testing::ValuesIn(seam_cases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- sums kept exact through runs

// A confluent periodic tissue of 8 x 8 cells moved by (3, 5) so that cells sit on the seams; hot, so
// cells move and change shape, with a length term for the sequential sweep.
World seam_block_tissue(WorldOptions options, bool length) {
    World w = block_tissue(48, 48, Boundary::Periodic, 2, 6, 8, 0, 12.0);
    std::vector<Label> labels = w.lattice.labels;
    for (SiteIndex s = 0; s < labels.size(); ++s) w.lattice.labels[translated(w.lattice, s, {3, 5, 0})] = labels[s];
    w.options = options;
    if (length) w.set_length_constraint(1, 8.0, 1.0);
    w.set_external_potential(2, 40.0, 25.0, 0.0);
    ContactMatrix m = ContactMatrix::make(3);
    m.set(1, 1, 4.0), m.set(2, 2, 4.0), m.set(1, 2, 6.0), m.set(2, 1, 6.0);
    w.set_contact_matrix(std::move(m));
    w.recompute_trackers();
    return w;
}

TEST(PeriodicShapes, SequentialRunsKeepTheSumsEqualToARebuild) {
    Morva m = Morva::make(seam_block_tissue(shapes_and_force, true), 5);
    for (int call = 0; call < 8; ++call) {
        m.step(5);
        expect_trackers_fresh(m.world);
        for (Label l = 1; l < m.world.cells.size(); ++l) {
            const Point c = m.world.cell_centre(l);
            EXPECT_TRUE(c[0] >= 0 && c[0] < 48 && c[1] >= 0 && c[1] < 48) << l;
            EXPECT_LT(m.world.cell_length(l), 16.0) << l;  // a torn cell would measure the box
        }
    }
}

TEST(PeriodicShapes, ParallelRunsKeepTheSumsExactForAnyThreadCount) {
    Morva reference = Morva::make(seam_block_tissue(shapes_and_force, false), 6);
    WorkerPool single(1);
    for (int call = 0; call < 4; ++call) {
        step_parallel_on(reference, 3, 8, single);
        expect_trackers_fresh(reference.world);
    }
    for (const std::size_t threads : {2u, 5u}) {
        WorkerPool pool(threads);
        Morva m = Morva::make(seam_block_tissue(shapes_and_force, false), 6);
        for (int call = 0; call < 4; ++call) step_parallel_on(m, 3, 8, pool);
        EXPECT_EQ(m.world.lattice.labels, reference.world.lattice.labels);
        expect_same_trackers(m.world.cells, reference.world.cells);
    }
}

// Without a periodic axis nothing unwraps: the option changes no result.
TEST(PeriodicShapes, ClosedBoxRunsAreTheSameWithTheOptionOn) {
    const auto run = [](WorldOptions options) {
        World w = block_tissue(30, 30, Boundary::Noflux, 2, 3, 6, 4, 8.0);
        w.options = options;
        w.set_length_constraint(1, 7.0, 1.0);
        Morva m = finalize(std::move(w), {{0, 1, 10.0}, {0, 2, 10.0}, {1, 2, 5.0}}, 9);
        m.step(20);
        m.world.divide_cells(30, 18);
        m.step(5);
        return m;
    };
    const Morva off = run({}), on = run(shapes_on);
    EXPECT_EQ(on.world.lattice.labels, off.world.lattice.labels);
    EXPECT_EQ(on.rng.s, off.rng.s);
    expect_same_trackers(on.world.cells, off.world.cells);
}

// --- a cell crossing a seam under the length constraint

struct ShapeRecord {
    double mean_length_error = 0, worst_length_error = 0, worst_volume_error = 0, travelled = 0;
};

// An elongated cell (12 x 6, length target 14) on a 60 x 40 periodic box, starting with its left end
// at x0 and pushed along x through its centre of mass, followed for 150 steps.
ShapeRecord elongated_cell_run(WorldOptions options, SiteIndex x0, std::uint64_t seed) {
    World w = make_world({60, 40, 1}, Boundary::Periodic, 2, 4.0);
    w.options = options;
    w.add_cell(1, 72, 2.0, 0, 0);
    paint_wrapped(w, 1, {x0, 17, 0}, {x0 + 12, 23, 1}, {0, 0, 0});
    w.set_length_constraint(1, 14.0, 3.0);
    w.set_external_potential(1, 200.0, 0.0, 0.0);
    Morva m = finalize(std::move(w), {{0, 1, 6.0}}, seed);
    CentreTrack track(m.world, 1);
    const double start = track.read()[0];
    ShapeRecord r;
    constexpr int steps = 150;
    for (int t = 0; t < steps; ++t) {
        m.step(1);
        const double error = std::fabs(m.world.cell_length(1) - 14.0);
        r.mean_length_error += error / steps;
        r.worst_length_error = std::max(r.worst_length_error, error);
        r.worst_volume_error = std::max(r.worst_volume_error, std::fabs(static_cast<double>(m.world.cells[1].volume) - 72.0));
        r.travelled = track.read()[0] - start;
    }
    return r;
}

TEST(PeriodicShapes, CellCrossingASeamKeepsItsShapeUnderTheLengthConstraint) {
    for (const std::uint64_t seed : {21u, 22u, 23u}) {
        const ShapeRecord across = elongated_cell_run(shapes_and_force, 50, seed);
        const ShapeRecord middle = elongated_cell_run(shapes_and_force, 10, seed);
        const ShapeRecord raw = elongated_cell_run({.periodic_shapes = false, .com_force = true}, 50, seed);
        EXPECT_GT(across.travelled, 30.0);  // from centre x = 56 over the seam and on
        EXPECT_LT(across.worst_length_error, 8.0);
        EXPECT_NEAR(across.mean_length_error, middle.mean_length_error, 1.0);
        EXPECT_LE(across.worst_volume_error, 10.0);
        // Raw sums tear the same cell at the seam, where it stays stuck.
        EXPECT_GT(raw.worst_length_error, 30.0);
        EXPECT_LT(raw.travelled, 20.0);
    }
}

// The sweep keeps each cell's length energy between flips; moving a centre into the box shifts the
// sums (their last bits round differently), so every kept energy must equal a fresh one at the end
// of each step, here for a cell pushed across the seam several times within one call.
TEST(PeriodicShapes, KeptLengthEnergiesFollowTheCentreIntoTheBox) {
    World w = make_world({30, 20, 1}, Boundary::Periodic, 2, 4.0);
    w.options = shapes_and_force;
    w.add_cell(1, 72, 2.0, 0, 0);
    w.add_cell(1, 72, 2.0, 0, 0);
    paint_wrapped(w, 1, {20, 3, 0}, {32, 9, 1}, {0, 0, 0});
    paint_wrapped(w, 2, {5, 12, 0}, {17, 18, 1}, {0, 0, 0});
    w.set_length_constraint(1, 14.0, 3.0);
    w.set_external_potential(1, 200.0, 0.0, 0.0);
    Morva m = finalize(std::move(w), {{0, 1, 6.0}, {1, 1, 6.0}}, 3);
    struct Tally {
        Morva* m;
        CentreTrack track;
        int checked = 0, stale = 0;
    } tally{&m, CentreTrack(m.world, 1)};
    const double start = tally.track.read()[0];
    const StepCheck check{[](void* context, std::uint64_t) {
                              auto& t = *static_cast<Tally*>(context);
                              t.track.read();
                              const LengthEnergies& kept = t.m->length_energies;
                              for (Label l = 0; l < kept.known.size(); ++l) {
                                  if (!kept.known[l]) continue;
                                  ++t.checked;
                                  if (kept.energy[l] != t.m->world.length_energy(l)) ++t.stale;
                              }
                              return true;
                          },
                          &tally};
    EXPECT_EQ(m.step(200, check), 200u);
    EXPECT_GT(tally.track.read()[0] - start, 60.0);  // twice round the box
    EXPECT_GT(tally.checked, 100);
    EXPECT_EQ(tally.stale, 0);
}

// --- the limit: a cell wider than half the box

// A band around the whole box along x has no x position of its own. Its volume, surface and y sums
// stay exact; only its x sums (and the mixed ones) follow the copies' image choices.
TEST(PeriodicShapes, BandAroundTheBoxKeepsExactSumsOnItsNarrowAxis) {
    World w = make_world({40, 30, 1}, Boundary::Periodic, 2, 6.0);
    w.options = shapes_on;
    w.add_cell(1, 240, 1, 0, 0);
    w.add_cell(2, 36, 1, 0, 0);
    w.paint_box(1, {0, 3, 0}, {40, 9, 1});
    paint_wrapped(w, 2, {37, 17, 0}, {43, 23, 1}, {0, 0, 0});
    Morva m = finalize(std::move(w), {{0, 1, 8.0}, {0, 2, 8.0}, {1, 2, 8.0}}, 4);
    m.step(100);
    const std::vector<Cell> kept = m.world.cells;
    m.world.recompute_trackers();
    const Cell &band = kept[1], &fresh = m.world.cells[1];
    EXPECT_EQ(band.volume, fresh.volume);
    EXPECT_EQ(band.surface, fresh.surface);
    EXPECT_EQ(band.sum_y, fresh.sum_y);
    EXPECT_EQ(band.sum_yy, fresh.sum_yy);
    EXPECT_NEAR(m.world.cell_centre(1)[1], kept[1].sum_y / static_cast<double>(kept[1].volume), 1e-12);
    expect_same_trackers({kept[2]}, {m.world.cells[2]});  // the narrow cell is exact throughout
}

}  // namespace
}  // namespace morva::testing
