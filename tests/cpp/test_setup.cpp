// The set-up operations the binding forwards one to one, and the one finalize.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "helpers.hpp"
#include "init.hpp"

namespace morva::testing {
namespace {

template <class F>
std::string refusal_of(F&& call) {
    try {
        call();
    } catch (const BadRequest& refused) {
        return refused.what();
    }
    return "accepted";
}

TEST(Setup, MakeWorldAppliesTheBoundaryToEveryAxisAndPicksTheDimension) {
    const World open = make_world({4, 3, 2}, Boundary::Periodic, 1, 7.5);
    EXPECT_EQ(open.lattice.periodic, (std::array<bool, 3>{true, true, true}));
    EXPECT_EQ(open.lattice.linear_offsets.size(), 6u);  // several layers: faces along z as well
    EXPECT_EQ(open.temperature, 7.5);
    const World closed = make_world({4, 3, 1}, Boundary::Noflux, 2);
    EXPECT_EQ(closed.lattice.periodic, (std::array<bool, 3>{false, false, false}));
    EXPECT_EQ(closed.lattice.linear_offsets.size(), 8u);  // one layer: the 2-D Moore neighbourhood
}

TEST(Setup, PaintBoxPaintsTheHalfOpenBoxOrRefusesUntouched) {
    World w = make_world({4, 3, 2}, Boundary::Noflux, 1);
    const Label id = w.add_cell(1, 1, 1, 0, 0);
    w.paint_box(id, {1, 0, 1}, {3, 2, 2});
    std::vector<Label> expected(24, 0);
    for (const SiteIndex s : {13u, 14u, 17u, 18u}) expected[s] = id;
    EXPECT_EQ(w.lattice.labels, expected);

    w.paint_box(7, {2, 2, 2}, {2, 3, 3});  // empty along x: nothing is checked or painted
    EXPECT_EQ(refusal_of([&] { w.paint_box(id, {0, 0, 0}, {5, 1, 1}); }),
              "x1 = 5 reaches beyond the lattice (nx = 4)");
    EXPECT_EQ(refusal_of([&] { w.paint_box(id, {0, 0, 0}, {1, 4, 1}); }),
              "y1 = 4 reaches beyond the lattice (ny = 3)");
    EXPECT_EQ(refusal_of([&] { w.paint_box(id, {0, 0, 0}, {1, 1, 3}); }),
              "z1 = 3 reaches beyond the lattice (nz = 2)");
    EXPECT_EQ(refusal_of([&] { w.paint_box(2, {0, 0, 0}, {1, 1, 1}); }), "cell_id 2 has no record (the last id is 1)");
    EXPECT_EQ(w.lattice.labels, expected);
}

TEST(Setup, PerCellEditsChangeOneRecordAndFaultOnUnknownIds) {
    World w = make_world({3, 3, 1}, Boundary::Periodic, 1);
    w.add_cell(1, 10, 1, 0, 0);
    w.add_cell(2, 20, 1, 0, 0);
    w.add_cell(1, 30, 1, 0, 0);
    w.grow(1, 2.5);
    EXPECT_EQ(w.cells[0].target_volume, 0.0);  // the medium (type 0) never grows
    EXPECT_EQ(w.cells[1].target_volume, 12.5);
    EXPECT_EQ(w.cells[2].target_volume, 20.0);
    EXPECT_EQ(w.cells[3].target_volume, 32.5);
    w.grow(0, 1.0);
    EXPECT_EQ(w.cells[0].target_volume, 0.0);

    w.set_cell_type(2, 1);
    w.set_target_volume(3, 4.0);
    EXPECT_EQ(w.cells[2].cell_type, 1);
    EXPECT_EQ(w.cells[3].target_volume, 4.0);
    EXPECT_EQ(w.cells[1].cell_type, 1);
    EXPECT_THROW(w.set_cell_type(4, 1), EngineFault);
    EXPECT_THROW(w.set_target_volume(4, 1.0), EngineFault);
}

TEST(Setup, TermSettingsOpenTheirGates) {
    World w = make_world({5, 5, 1}, Boundary::Noflux, 1);
    w.add_cell(1, 1, 1, 0, 0);
    EXPECT_FALSE(w.term_gates().on<ConnectivityTerm>());
    w.set_connectivity_medium(true);
    EXPECT_TRUE(w.term_gates().on<ConnectivityTerm>());
    EXPECT_TRUE(w.connectivity_applies(0));
    w.set_junction(1, true);
    EXPECT_FALSE(w.term_gates().on<JunctionTerm>());
    w.set_junction_lambda(2.0);
    EXPECT_TRUE(w.term_gates().on<JunctionTerm>());
    EXPECT_EQ(w.junction.lambda, 2.0);
}

TEST(Setup, PointFieldAccessClampsEachCoordinate) {
    World w = make_world({4, 3, 2}, Boundary::Periodic, 1);
    w.add_field("f", 0.0, 0.0);
    w.field_add_at(0, 9, 1, 9, 0.5);
    EXPECT_EQ(w.field_value_at_site(0, w.lattice.site_of(3, 1, 1)), 0.5f);
    EXPECT_EQ(w.field_value_at(0, 3, 1, 1), 0.5f);
    EXPECT_EQ(w.field_value_at(0, 100, 1, 100), 0.5f);
    EXPECT_EQ(w.field_value_at(0, 2, 1, 1), 0.0f);
    w.advance_fields(0);
    EXPECT_EQ(w.field_value_at(0, 3, 1, 1), 0.5f);
}

TEST(Setup, FinalizeBuildsASymmetricTableWhereLaterEntriesWin) {
    World w = make_world({6, 6, 1}, Boundary::Periodic, 1);
    const Label a = w.add_cell(1, 4, 1, 0, 0);
    w.paint_box(a, {1, 1, 0}, {3, 3, 1});
    Morva m = finalize(std::move(w), {{1, 2, 5.0}, {0, 1, 3.0}, {2, 1, 7.0}}, 4);
    EXPECT_EQ(m.world.contact.at(1, 2), 7.0);
    EXPECT_EQ(m.world.contact.at(2, 1), 7.0);
    EXPECT_EQ(m.world.contact.at(1, 0), 3.0);
    EXPECT_EQ(m.world.contact.at(2, 2), 0.0);
    EXPECT_EQ(m.world.cells[a].volume, 4);  // trackers recomputed
    EXPECT_EQ(m.world.cells[a].surface, 8);
    EXPECT_EQ(m.rng.s, Xoshiro256pp::from_seed(4).s);
}

// The table covers the types that have contact entries and nothing else: a set-up call naming a type
// (up to the largest) neither widens it nor changes any energy.
TEST(Setup, FinalizeCoversOnlyTheTypesWithContactEntries) {
    const auto table_after = [](auto&& name_type) {
        World w = make_world({3, 3, 1}, Boundary::Periodic, 1);
        w.add_cell(1, 1, 1, 0, 0);
        name_type(w);
        return finalize(std::move(w), {{0, 2, 1.5}}, 0).world.contact;
    };
    const std::vector<std::function<void(World&)>> namings{
        [](World&) {},
        [](World& w) { w.add_cell(65535, 1, 1, 0, 0); },
        [](World& w) { w.set_connectivity(65535, false); },
        [](World& w) { w.set_external_potential(65535, 0, 0, 0); },
        [](World& w) { w.set_junction(65535, false); },
        [](World& w) { w.set_length_constraint(65535, 0, 0); },
        [](World& w) { w.set_membrane_anchored(65535, false); },
        [](World& w) { seed_from_labels(w, std::vector<Label>(9, 0), {{1, 65535}}, 1, 1, 1); },
        [](World& w) { EXPECT_THROW(seed_from_labels(w, {}, {}, 65535, 1, 1), EngineFault); },
        [](World& w) { w.set_cell_type(1, 65535); },
    };
    for (const auto& name_type : namings) {
        const ContactMatrix table = table_after(name_type);
        EXPECT_EQ(table.n_types(), 3u);
        EXPECT_EQ(table.at(0, 2), 1.5);
        EXPECT_EQ(table.at(2, 0), 1.5);
        for (const CellType other : {1, 3, 65535}) {
            EXPECT_EQ(table.at(other, 0), 0.0);
            EXPECT_EQ(table.at(2, other), 0.0);
        }
    }
}

TEST(Setup, TableOfTheLargestTypeStaysSmall) {
    const ContactMatrix table = contact_table({{65535, 0, 2.0}, {65535, 65535, -1.0}, {7, 0, 0.5}});
    EXPECT_EQ(table.n_types(), 65536u);
    EXPECT_EQ(table.at(0, 65535), 2.0);
    EXPECT_EQ(table.at(65535, 65535), -1.0);
    EXPECT_EQ(table.at(7, 0), 0.5);
    EXPECT_EQ(table.at(7, 65535), 0.0);
    EXPECT_EQ(table.at(65534, 0), 0.0);
    EXPECT_EQ(table.padded_type(65534), table.padded_type(1));  // both share the zero row
    EXPECT_LT(table.padded_type(65535), 4u);                     // three covered types, dense indices
}


}  // namespace
}  // namespace morva::testing
