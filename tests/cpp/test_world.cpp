#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_map>

#include "helpers.hpp"

namespace morva::testing {
namespace {

TEST(World, NewWorldHoldsOnlyTheMedium) {
    World w = make_world({3, 3, 1}, Boundary::Periodic, 1);
    ASSERT_EQ(w.cells.size(), 1u);
    EXPECT_EQ(w.cells[0].id, 0u);
    EXPECT_EQ(w.cells[0].volume, 0);
    EXPECT_FALSE(w.surface_active);
    EXPECT_EQ(w.add_cell(1, 1, 1, 0, 0), 1u);
    EXPECT_EQ(w.add_cell(1, 1, 1, 0, 0), 2u);
    EXPECT_EQ(w.cells[2].id, 2u);
}

TEST(World, SurfaceActiveFollowsLambdaSurface) {
    World w = make_world({3, 3, 1}, Boundary::Periodic, 1);
    w.add_cell(1, 1, 1, 0, 0.0);
    EXPECT_FALSE(w.surface_active);
    w.add_cell(1, 1, 1, 0, std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(w.surface_active);
    w.cells[2].lambda_surface = 0.0;
    w.recompute_trackers();
    EXPECT_FALSE(w.surface_active);
}

TEST(World, FlipOfIsolatedMediumSiteGivesExpectedDeltas) {
    World w = make_world({5, 5, 1}, Boundary::Noflux, 1);
    w.add_cell(1, 1, 1, 0, 0);
    w.recompute_trackers();
    const SurfaceDeltaList list = w.surface_deltas(12, 1);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, 0u);
    EXPECT_EQ(list[0].change, 4);
    EXPECT_EQ(list[1].id, 1u);
    EXPECT_EQ(list[1].change, 4);
    const std::int64_t medium_surface = w.cells[0].surface, medium_volume = w.cells[0].volume;
    w.apply_flip(12, 1);
    EXPECT_EQ(w.cells[1].volume, 1);
    EXPECT_EQ(w.cells[1].surface, 4);
    EXPECT_EQ(w.cells[0].surface, medium_surface + 4);
    EXPECT_EQ(w.cells[0].volume, medium_volume - 1);
    expect_trackers_fresh(w);
}

TEST(World, SurfaceDeltasListEveryNeighbourLabelInAscendingIdOrder) {
    World w = make_world({3, 3, 1}, Boundary::Noflux, 2);
    for (int i = 0; i < 4; ++i) w.add_cell(1, 1, 1, 0, 0);
    // Labels:  4 0 3 / 2 1 1 / 0 0 4 ; centre (label 1) goes to 3.
    const std::vector<Label> grid{4, 0, 3, 2, 1, 1, 0, 0, 4};
    for (SiteIndex s = 0; s < 9; ++s) w.paint(s, grid[s]);
    const SurfaceDeltaList list = w.surface_deltas(4, 3);
    std::vector<std::pair<Label, std::int64_t>> got;
    for (const auto& e : list) got.emplace_back(e.id, e.change);
    // n_a = 7 (all but the other 1), n_b = 7 (all but the 3); per neighbour [L!=3] - [L!=1].
    const std::vector<std::pair<Label, std::int64_t>> want{{0, 0}, {1, -7 + 1}, {2, 0}, {3, 7 - 1}, {4, 0}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(w.surface_deltas(4, 1).size(), 0u);
}

TEST(World, FlipToTheSameLabelChangesNothing) {
    World w = random_world({6, 6, 1}, Boundary::Periodic, 2, 5, 3);
    const std::vector<Cell> before = w.cells;
    const Label l = w.lattice.labels[7];
    w.apply_flip(7, l);
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].surface, w.cells[i].surface);
}

struct ShapeCase {
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::uint8_t order;
};

class TrackerInvariant : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(TrackerInvariant, RandomFlipsKeepTrackersEqualToARecomputation) {
    const ShapeCase c = GetParam();
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 7, seed);
        std::mt19937_64 gen(seed * 977);
        const SiteIndex n = w.lattice.n_sites();
        for (int i = 0; i < 3000; ++i) w.apply_flip(gen() % n, static_cast<Label>(gen() % w.cells.size()));
        expect_trackers_fresh(w);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TrackerInvariant,
    ::testing::Values(ShapeCase{{8, 7, 1}, Boundary::Periodic, 1}, ShapeCase{{8, 7, 1}, Boundary::Noflux, 2},
                      ShapeCase{{5, 4, 3}, Boundary::Periodic, 3}, ShapeCase{{5, 4, 3}, Boundary::Noflux, 2},
                      ShapeCase{{2, 2, 2}, Boundary::Periodic, 3}, ShapeCase{{1, 6, 6}, Boundary::Periodic, 2},
                      ShapeCase{{1, 6, 6}, Boundary::Periodic, 3}, ShapeCase{{1, 1, 5}, Boundary::Periodic, 1},
                      ShapeCase{{2, 9, 1}, Boundary::Periodic, 2}));

TEST(World, CentreOfMassSumsUseRawCoordinatesAcrossPeriodicFaces) {
    World w = make_world({6, 1, 1}, Boundary::Periodic, 1);
    w.add_cell(1, 2, 1, 0, 0);
    w.paint(0, 1);
    w.paint(5, 1);
    w.recompute_trackers();
    EXPECT_EQ(w.cells[1].sum_x / static_cast<double>(w.cells[1].volume), 2.5);
}

TEST(World, RecomputeFaultsOnALabelWithoutRecord) {
    World w = make_world({3, 3, 1}, Boundary::Periodic, 1);
    w.paint(4, 5);
    EXPECT_THROW(w.recompute_trackers(), EngineFault);
    EXPECT_THROW(w.paint(9, 0), EngineFault);
}

// --- contact area by type

using AreaMap = std::unordered_map<CellType, std::int64_t>;

TEST(ContactArea, SingleSiteInMediumTouchesEightMediumSites) {
    World w = make_world({5, 5, 1}, Boundary::Noflux, 2);
    w.add_cell(2, 1, 1, 0, 0);
    w.paint(12, 1);
    EXPECT_EQ(w.cell_contact_area_by_type(1), (AreaMap{{0, 8}}));
}

TEST(ContactArea, NeighboursAreCountedUnderTheirType) {
    World w = make_world({6, 5, 1}, Boundary::Noflux, 1);
    w.add_cell(1, 1, 1, 0, 0);
    w.add_cell(2, 1, 1, 0, 0);
    w.add_cell(1, 1, 1, 0, 0);
    w.paint(w.lattice.site_of(2, 2, 0), 1);
    w.paint(w.lattice.site_of(3, 2, 0), 2);
    EXPECT_EQ(w.cell_contact_area_by_type(1), (AreaMap{{0, 3}, {2, 1}}));
    EXPECT_EQ(w.cell_contact_area_by_type(2), (AreaMap{{0, 3}, {1, 1}}));
    // Two cells of one type touching: the contact is under that type.
    w.paint(w.lattice.site_of(2, 3, 0), 3);
    EXPECT_EQ(w.cell_contact_area_by_type(3), (AreaMap{{0, 3}, {1, 1}}));
    // The medium's side of the same pairs: cell 1 now keeps two medium contacts, cell 3 three.
    EXPECT_EQ(w.cell_contact_area_by_type(0), (AreaMap{{1, 5}, {2, 3}}));
}

TEST(ContactArea, IdsWithoutSitesGiveNothing) {
    World w = make_world({4, 4, 1}, Boundary::Periodic, 2);
    w.add_cell(1, 1, 1, 0, 0);
    EXPECT_TRUE(w.cell_contact_area_by_type(1).empty());
    EXPECT_TRUE(w.cell_contact_area_by_type(57).empty());
    // A grid with no other label: the medium touches nothing.
    EXPECT_TRUE(w.cell_contact_area_by_type(0).empty());
}

TEST(ContactArea, RepeatedNeighboursCountAsListedAndSelfEntriesNever) {
    // x of length 2 lists the other column twice; y of length 1 lists the site itself.
    World w = make_world({2, 1, 1}, Boundary::Periodic, 1);
    w.add_cell(3, 1, 1, 0, 0);
    w.paint(0, 1);
    w.recompute_trackers();
    EXPECT_EQ(w.cell_contact_area_by_type(1), (AreaMap{{0, 2}}));
    EXPECT_EQ(w.cells[1].surface, 2);
}

class ContactAreaSum : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ContactAreaSum, AddsUpToTheSurfaceTrackerOfEveryLabel) {
    const ShapeCase c = GetParam();
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 7, seed);
        std::mt19937_64 gen(seed);
        for (int i = 0; i < 200; ++i)
            w.apply_flip(gen() % w.lattice.n_sites(), static_cast<Label>(gen() % w.cells.size()));
        for (Label id = 0; id < w.cells.size(); ++id) {
            std::int64_t sum = 0;
            for (const auto& [type, count] : w.cell_contact_area_by_type(id)) {
                EXPECT_GT(count, 0);
                sum += count;
            }
            EXPECT_EQ(sum, w.cells[id].surface) << "seed " << seed << " cell " << id;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ContactAreaSum,
    ::testing::Values(ShapeCase{{8, 7, 1}, Boundary::Periodic, 1}, ShapeCase{{8, 7, 1}, Boundary::Noflux, 2},
                      ShapeCase{{5, 4, 3}, Boundary::Periodic, 3}, ShapeCase{{5, 4, 3}, Boundary::Noflux, 2},
                      ShapeCase{{1, 6, 6}, Boundary::Periodic, 3}, ShapeCase{{2, 9, 1}, Boundary::Periodic, 2}));

TEST(ContactArea, LabelWithoutRecordIsAFault) {
    World w = make_world({3, 3, 1}, Boundary::Periodic, 1);
    w.add_cell(1, 1, 1, 0, 0);
    w.paint(4, 1);
    w.paint(5, 9);
    EXPECT_THROW((void)w.cell_contact_area_by_type(1), EngineFault);
}

}  // namespace
}  // namespace morva::testing
