// Label-grid hashes pinned from the sweep as it stood before the contact sum, the length term and the
// connectivity veto took their fast paths: each scene drives one of those paths (or the fallback
// beside it), so a fast path that differs from the plain computation in a single draw or rounding
// shows up here. Also the scaled contact table on its own, against the double sum it stands for.
#include <bit>
#include <cmath>

#include "energy_change.hpp"
#include "helpers.hpp"
#include "parallel.hpp"

namespace morva::testing {
namespace {

std::uint64_t hash_of(const std::vector<Label>& labels) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const Label l : labels) h = (h ^ l) * 0x100000001b3ULL;
    return h;
}

// Blocks of 4 x 4 (x 4) sites on a grid of pitch 5 with a two-site margin, of types 1 .. n_types.
World blocks(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t order, double temperature, int n_types,
             double lambda_surface) {
    World w = make_world(dims, boundary, order, temperature);
    const SiteIndex side = 5;
    const bool flat = dims[2] == 1;
    const SiteIndex nz = flat ? 1 : dims[2] / side - 1;
    for (SiteIndex bz = 0; bz < nz; ++bz)
        for (SiteIndex by = 0; by + 1 < dims[1] / side; ++by)
            for (SiteIndex bx = 0; bx + 1 < dims[0] / side; ++bx) {
                const auto type = static_cast<CellType>(1 + (bx + 2 * by + bz) % n_types);
                const Label id = w.add_cell(type, 22.5, 1.25, 17.0, lambda_surface);
                const SiteIndex z0 = flat ? 0 : 2 + side * bz, z1 = flat ? 1 : z0 + side - 1;
                w.paint_box(id, {2 + side * bx, 2 + side * by, z0}, {1 + side * (bx + 1), 1 + side * (by + 1), z1});
            }
    return w;
}

Morva finish(World w, std::array<double, 5> j, std::uint64_t seed) {
    return finalize(std::move(w), {{0, 1, j[0]}, {0, 2, j[1]}, {1, 1, j[2]}, {1, 2, j[3]}, {2, 2, j[4]}}, seed);
}

Morva flat_scene(std::array<double, 5> j) { return finish(blocks({60, 60, 1}, Boundary::Periodic, 2, 6.0, 3, 0.0), j, 5); }
Morva closed_3d_with_surface() {
    return finish(blocks({22, 22, 22}, Boundary::Noflux, 3, 8.0, 2, 0.25), {2.5, 7.75, 1.0, 3.5, 0.5}, 9);
}
constexpr std::array<double, 5> dyadic{2.5, 0.375, 11.25, -1.5, 3.0};

TEST(SweepPinned, ContactTablesScaledDecimalAndHuge) {
    Morva scaled = flat_scene(dyadic);
    scaled.step(40);
    EXPECT_EQ(hash_of(scaled.world.lattice.labels), 0xc558d112c72066d8ULL);
    Morva decimal = flat_scene({0.1, 1.7, 3.3, 2.9, 0.7});
    decimal.step(40);
    EXPECT_EQ(hash_of(decimal.world.lattice.labels), 0x51a4e2fc887fae1dULL);
    Morva huge = flat_scene({1e17, 16.0, 3.0, 2.0, 1.0});
    huge.step(40);
    EXPECT_EQ(hash_of(huge.world.lattice.labels), 0x764270f41966b475ULL);
}

TEST(SweepPinned, ThreeDimensionalBoxes) {
    Morva closed = closed_3d_with_surface();
    closed.step(8);
    EXPECT_EQ(hash_of(closed.world.lattice.labels), 0x46c20ed642953345ULL);
    Morva order2 = finish(blocks({20, 20, 20}, Boundary::Periodic, 2, 8.0, 2, 0.0), {5, 6, 1, 3, 2}, 9);
    order2.step(8);
    EXPECT_EQ(hash_of(order2.world.lattice.labels), 0xf8ec592ae6ae4898ULL);
}

TEST(SweepPinned, ConnectivityVeto) {
    Morva solid = finish(blocks({21, 21, 21}, Boundary::Periodic, 3, 8.0, 2, 0.0), {5, 6, 1, 3, 2}, 9);
    for (const CellType t : {1, 2}) solid.world.set_connectivity(t, true);
    solid.step(8);
    EXPECT_EQ(hash_of(solid.world.lattice.labels), 0x741a6d124886b68cULL);
    Morva flat = finish(blocks({30, 30, 1}, Boundary::Noflux, 2, 8.0, 2, 0.0), {5, 6, 1, 3, 2}, 9);
    flat.world.set_connectivity_medium(true);
    for (const CellType t : {1, 2}) flat.world.set_connectivity(t, true);
    flat.step(30);
    EXPECT_EQ(hash_of(flat.world.lattice.labels), 0x9e42a3cdc22bdad6ULL);
}

TEST(SweepPinned, EveryOptionalTermOnB1) {
    Morva m = scenes::b1_all_terms(3);
    m.step(20);
    EXPECT_EQ(hash_of(m.world.lattice.labels), 0x9d9a00517054d60bULL);
}

TEST(SweepPinned, LengthTermAloneIn2DAnd3D) {
    Morva flat = scenes::b1_cell_sorting(4);
    for (const CellType t : {1, 2}) flat.world.set_length_constraint(t, 16.0, 2.0);
    flat.step(15);
    EXPECT_EQ(hash_of(flat.world.lattice.labels), 0xeb83f6219b91cbbdULL);
    Morva solid = finish(blocks({22, 22, 22}, Boundary::Periodic, 3, 8.0, 2, 0.0), {2.5, 7.75, 1.0, 3.5, 0.5}, 9);
    solid.world.set_length_constraint(1, 9.0, 1.5);
    solid.world.set_length_constraint(2, 4.0, 0.5);
    solid.step(6);
    EXPECT_EQ(hash_of(solid.world.lattice.labels), 0x6697fbf60e1ad9cfULL);
}

TEST(SweepPinned, ParallelSweepWithScaledContacts) {
    WorkerPool pool(1);
    Morva flat = flat_scene(dyadic);
    step_parallel_on(flat, 40, 16, pool);
    EXPECT_EQ(hash_of(flat.world.lattice.labels), 0x550eac36a512446eULL);
    Morva closed = closed_3d_with_surface();
    step_parallel_on(closed, 8, 8, pool);
    EXPECT_EQ(hash_of(closed.world.lattice.labels), 0x09c530a2793ee215ULL);
}

TEST(ScaledContact, WhichTablesScale) {
    const auto table = [](double j) {
        ContactMatrix m = ContactMatrix::make(2);
        m.set(0, 1, j);
        m.set(1, 0, 3.0);
        return m;
    };
    std::vector<std::int64_t> out;
    double unscale = 0;
    ASSERT_TRUE(table(2.75).scaled_integers(out, unscale));
    EXPECT_EQ(unscale, 0.25);
    EXPECT_EQ(out, (std::vector<std::int64_t>{0, 11, 0, 12, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(table(-0.0).scaled_integers(out, unscale));
    EXPECT_EQ(unscale, 1.0);
    ASSERT_TRUE(table(std::ldexp(1.0, 47)).scaled_integers(out, unscale));
    EXPECT_FALSE(table(std::ldexp(1.0, 47) + 1.0).scaled_integers(out, unscale));
    EXPECT_TRUE(table(std::ldexp(1.0, -32)).scaled_integers(out, unscale));
    EXPECT_FALSE(table(std::ldexp(1.0, -33)).scaled_integers(out, unscale));
    for (const double bad : std::initializer_list<double>{0.1, 1e17, INFINITY, -INFINITY, NAN}) EXPECT_FALSE(table(bad).scaled_integers(out, unscale)) << bad;
}

// The scaled sum against the double sum at every site and label of random worlds, with entries that
// span the whole allowed range, so that any inexact step of the double loop would show. The small
// boxes are narrower than the neighbourhood: there a site is listed among its own neighbours.
TEST(ScaledContact, EqualsTheDoubleSumBitForBit) {
    // Scaled by 2^32, the largest entries sit at the 2^47 limit.
    const std::array<double, 6> entries{std::ldexp(1.0, 15), -std::ldexp(3.0, -20), 0.5, 1.0 - std::ldexp(1.0, 15),
                                        7.0, std::ldexp(5.0, -32)};
    for (const std::array<SiteIndex, 3> box : {std::array<SiteIndex, 3>{6, 5, 4}, {1, 5, 3}, {2, 3, 2}}) {
        for (const std::uint8_t order : {2, 3}) {
            World w = random_world(box, Boundary::Periodic, order, 9, 21);
            ContactMatrix m = ContactMatrix::make(4);
            for (std::size_t a = 0; a < 4; ++a)
                for (std::size_t b = 0; b < 4; ++b) m.set(a, b, entries[(a * 4 + b) % entries.size()]);
            w.set_contact_matrix(std::move(m));
            std::vector<std::int64_t> values;
            double unscale = 0;
            ASSERT_TRUE(w.contact.scaled_integers(values, unscale));
            const ScaledContact scaled{values.data(), w.contact.padded_stride(), unscale};
            const auto type_of = [&w](Label l) { return w.contact.padded_type(w.cells[l].cell_type); };
            std::vector<std::uint32_t> types;
            fill_padded_types(w, types);
            const std::vector<std::uint32_t> kept_types = types;
            for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
                const NeighborList nbrs = w.lattice.neighbors(s);
                const auto at = [&nbrs](std::size_t i) { return nbrs[i]; };
                const Label a = w.lattice.labels[s];
                for (Label b = 0; b < w.cells.size(); ++b) {
                    if (b == a) continue;
                    const double plain = core_delta(w, s, a, b, nbrs.size(), at, type_of, CurrentTrackers{},
                                                    DoubleContact{w.contact});
                    const double fast = core_delta(w, s, a, b, nbrs.size(), at, type_of, CurrentTrackers{}, scaled);
                    const double marked = core_delta(w, s, a, b, nbrs.size(), at, type_of, CurrentTrackers{},
                                                     MarkedScaledContact{scaled, types.data()});
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(plain), std::bit_cast<std::uint64_t>(fast)) << s << " " << b;
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(plain), std::bit_cast<std::uint64_t>(marked)) << s << " " << b;
                    EXPECT_EQ(types, kept_types);  // the marks are gone
                }
            }
        }
    }
}

}  // namespace
}  // namespace morva::testing
