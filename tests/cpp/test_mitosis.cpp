#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "helpers.hpp"

namespace morva::testing {
namespace {

// A noflux box with one cell per given box (lo, hi), each of type 1 and target volume 10.
World boxes_world(std::array<SiteIndex, 3> dims,
                  const std::vector<std::pair<std::array<SiteIndex, 3>, std::array<SiteIndex, 3>>>& boxes) {
    World w = make_world(dims, Boundary::Noflux, 2);
    for (const auto& [lo, hi] : boxes) w.paint_box(w.add_cell(1, 10.0, 2.0, 5.0, 0.0), lo, hi);
    w.recompute_trackers();
    return w;
}

std::int64_t count_label(const World& w, Label l) {
    return std::count(w.lattice.labels.begin(), w.lattice.labels.end(), l);
}

// Pieces of one label, joined through the configured neighbourhood (flood fill).
int pieces_of(const World& w, Label label) {
    std::vector<std::uint8_t> seen(w.lattice.n_sites(), 0);
    int pieces = 0;
    for (SiteIndex start = 0; start < w.lattice.n_sites(); ++start) {
        if (seen[start] || w.lattice.labels[start] != label) continue;
        ++pieces;
        std::vector<SiteIndex> stack{start};
        seen[start] = 1;
        while (!stack.empty()) {
            const SiteIndex s = stack.back();
            stack.pop_back();
            for (const SiteIndex t : w.lattice.neighbors(s))
                if (!seen[t] && w.lattice.labels[t] == label) seen[t] = 1, stack.push_back(t);
        }
    }
    return pieces;
}

TEST(Mitosis, ThresholdAboveEveryVolumeChangesNothing) {
    World w = boxes_world({6, 6, 1}, {{{0, 0, 0}, {3, 3, 1}}});
    const auto labels = w.lattice.labels;
    w.cells[1].volume = 1234;  // a stale tracker must survive: no recomputation happens
    EXPECT_TRUE(w.divide_cells(2000.0, 1.0).empty());
    EXPECT_EQ(w.lattice.labels, labels);
    EXPECT_EQ(w.cells.size(), 2u);
    EXPECT_EQ(w.cells[1].volume, 1234);
}

struct SplitCase {
    std::array<SiteIndex, 3> lo, hi;
    std::int64_t parent_sites, daughter_sites;
    int axis;
    SiteIndex first_daughter_coordinate;
};

class MitosisSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(MitosisSplit, KeepsTheLowerHalfAndMovesTheUpperHalf) {
    const SplitCase c = GetParam();
    World w = boxes_world({8, 8, 8}, {{c.lo, c.hi}});
    const auto daughters = w.divide_cells(1.0, 7.5);
    ASSERT_EQ(daughters, std::vector<Label>{2});
    EXPECT_EQ(w.cells[1].volume, c.parent_sites);
    EXPECT_EQ(w.cells[2].volume, c.daughter_sites);
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        if (w.lattice.labels[s] != 2) continue;
        const Coords p = w.lattice.coords(s);
        const SiteIndex along[3] = {p.x, p.y, p.z};
        EXPECT_GE(along[c.axis], c.first_daughter_coordinate);
    }
    EXPECT_EQ(w.cells[1].target_volume, 7.5);
    EXPECT_EQ(w.cells[2].target_volume, 7.5);
    EXPECT_EQ(w.cells[2].cell_type, 1);
    EXPECT_EQ(w.cells[2].lambda_volume, 2.0);
    EXPECT_EQ(w.cells[2].target_surface, 5.0);
    expect_trackers_fresh(w);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MitosisSplit,
    ::testing::Values(SplitCase{{0, 0, 0}, {4, 2, 1}, 4, 4, 0, 2},   // 4 x 2: along x at 1
                      SplitCase{{0, 0, 0}, {3, 3, 1}, 6, 3, 0, 2},   // 3 x 3: tie goes to x
                      SplitCase{{1, 1, 0}, {3, 6, 1}, 6, 4, 1, 4},   // taller than wide: along y at 3
                      SplitCase{{0, 0, 0}, {4, 4, 4}, 32, 32, 0, 2}, // cube: tie x before z
                      SplitCase{{2, 2, 1}, {4, 4, 7}, 12, 12, 2, 4}));  // deep: along z at 3

TEST(Mitosis, VolumeEqualToThresholdDivides) {
    World w = boxes_world({6, 6, 1}, {{{0, 0, 0}, {2, 2, 1}}});
    EXPECT_EQ(w.divide_cells(4.0, 1.0).size(), 1u);
    EXPECT_TRUE(boxes_world({6, 6, 1}, {{{0, 0, 0}, {2, 2, 1}}}).divide_cells(4.0001, 1.0).empty());
}

TEST(Mitosis, DaughtersAreNumberedInParentOrder) {
    // Cells 1..7, of which 2 and 5 are large; table of 8 records gives daughters 8 (of 2) and 9 (of 5).
    World w = make_world({20, 20, 1}, Boundary::Noflux, 1);
    for (Label i = 1; i <= 7; ++i) w.add_cell(1, 1.0, 1.0, 0.0, 0.0);
    w.paint(0, 1), w.paint(2, 3), w.paint(4, 4), w.paint(6, 6), w.paint(8, 7);
    w.paint_box(5, {0, 2, 0}, {6, 6, 1});
    w.paint_box(2, {10, 10, 0}, {14, 16, 1});
    w.recompute_trackers();
    EXPECT_EQ(w.divide_cells(10.0, 3.0), (std::vector<Label>{8, 9}));
    EXPECT_GT(count_label(w, 8), 0);
    EXPECT_GT(count_label(w, 9), 0);
    EXPECT_EQ(count_label(w, 2) + count_label(w, 8), 24);
    EXPECT_EQ(count_label(w, 5) + count_label(w, 9), 24);
}

TEST(Mitosis, OneSiteAndRemovedCellsGetEmptyDaughters) {
    World w = boxes_world({5, 5, 1}, {{{1, 1, 0}, {2, 2, 1}}, {{3, 3, 0}, {4, 4, 1}}});
    w.remove_cells({2});
    EXPECT_EQ(w.divide_cells(0.0, 1.0), (std::vector<Label>{3, 4}));
    EXPECT_EQ(w.cells[3].volume, 0);  // one-site cell: nothing beyond the plane
    EXPECT_EQ(w.cells[4].volume, 0);  // removed cell: no sites at all
    EXPECT_EQ(w.cells[1].volume, 1);
}

TEST(Mitosis, MediumNeverDivides) {
    World w = boxes_world({5, 5, 1}, {{{0, 0, 0}, {2, 1, 1}}});
    EXPECT_EQ(w.divide_cells(-std::numeric_limits<double>::infinity(), 1.0), std::vector<Label>{2});
    EXPECT_TRUE(w.divide_cells(std::numeric_limits<double>::quiet_NaN(), 1.0).empty());
    EXPECT_EQ(w.cells[0].target_volume, 0.0);
}

TEST(Mitosis, SurfaceStrengthOfDaughterActivatesTheSurfaceTerm) {
    World w = make_world({5, 5, 1}, Boundary::Noflux, 1);
    w.paint_box(w.add_cell(1, 1.0, 1.0, 4.0, 0.5), {0, 0, 0}, {3, 1, 1});
    w.recompute_trackers();
    w.divide_cells(1.0, 1.0);
    EXPECT_TRUE(w.surface_active);
    EXPECT_EQ(w.cells[2].lambda_surface, 0.5);
}

TEST(Removal, SitesBecomeMediumAndRecordsStay) {
    World w = boxes_world({6, 6, 1}, {{{0, 0, 0}, {2, 2, 1}}, {{3, 3, 0}, {5, 5, 1}}});
    w.remove_cells({1, 1, 0, 1000000});
    EXPECT_EQ(count_label(w, 1), 0);
    EXPECT_EQ(count_label(w, 2), 4);
    ASSERT_EQ(w.cells.size(), 3u);
    EXPECT_EQ(w.cells[1].volume, 0);
    EXPECT_EQ(w.cells[1].target_volume, 10.0);
    expect_trackers_fresh(w);
    EXPECT_EQ(w.add_cell(1, 1, 1, 0, 0), 3u);
}

TEST(Removal, EmptyListSkipsTheRecomputationButIgnoredIdsDoNot) {
    World w = boxes_world({6, 6, 1}, {{{0, 0, 0}, {2, 2, 1}}});
    w.cells[1].volume = 99;
    w.remove_cells({});
    EXPECT_EQ(w.cells[1].volume, 99);
    w.remove_cells({0, 1000000});
    EXPECT_EQ(w.cells[1].volume, 4);
}

TEST(Mitosis, ProliferationMultipliesCellsWhileKeepingThemNearTarget) {
    World w = make_world({60, 60, 1}, Boundary::Periodic, 2, 10.0);
    for (int i = 0; i < 4; ++i) {
        const Label id = w.add_cell(1, 40.0, 1.0, 0.0, 0.0);
        w.paint_box(id, {20 + 12 * SiteIndex(i % 2), 20 + 12 * SiteIndex(i / 2), 0},
                          {26 + 12 * SiteIndex(i % 2), 26 + 12 * SiteIndex(i / 2), 1});
    }
    w.set_connectivity(1, true);
    Morva m = finalize(std::move(w), {{0, 1, 8.0}, {1, 1, 4.0}}, 77);
    for (int round = 0; round < 30; ++round) {
        m.step(5);
        for (Cell& c : m.world.cells)
            if (c.id != 0) c.target_volume += 2.0;
        m.world.divide_cells(60.0, 30.0);
    }
    m.step(20);
    EXPECT_GE(m.world.cells.size(), 13u);
    double deviation = 0.0;
    for (std::size_t i = 1; i < m.world.cells.size(); ++i)
        deviation += std::abs(static_cast<double>(m.world.cells[i].volume) - m.world.cells[i].target_volume) /
                     m.world.cells[i].target_volume;
    EXPECT_LT(deviation / static_cast<double>(m.world.cells.size() - 1), 0.25);
    for (std::size_t i = 1; i < m.world.cells.size(); ++i) EXPECT_EQ(pieces_of(m.world, static_cast<Label>(i)), 1);
    expect_trackers_fresh(m.world);
}

}  // namespace
}  // namespace morva::testing
