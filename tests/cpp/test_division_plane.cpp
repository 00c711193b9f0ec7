#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "helpers.hpp"

namespace morva::testing {
namespace {

World two_boxes() {
    World w = make_world({12, 12, 1}, Boundary::Noflux, 2);
    w.paint_box(w.add_cell(1, 10.0, 2.0, 5.0, 0.0), {0, 0, 0}, {6, 4, 1});
    w.paint_box(w.add_cell(1, 10.0, 2.0, 5.0, 0.0), {7, 6, 0}, {11, 12, 1});
    w.recompute_trackers();
    return w;
}

TEST(DivisionPlane, LongestSideOfChosenCellsMatchesDivideCellsOfThoseCells) {
    World chosen = two_boxes(), all = two_boxes();
    EXPECT_EQ(chosen.divide_chosen({1, 2}, {DivisionPlane{}, DivisionPlane{}}, 7.0), all.divide_cells(1.0, 7.0));
    EXPECT_EQ(chosen.lattice.labels, all.lattice.labels);
    EXPECT_EQ(chosen.cells[3].target_volume, 7.0);
}

TEST(DivisionPlane, OnlyChosenCellsDivideShortestSideAndThroughTheCentre) {
    World w = two_boxes();
    DivisionPlane shortest{DivisionPlane::Rule::shortest_side, {0.0, 0.0, 0.0}};
    const auto daughters = w.divide_chosen({2}, {shortest}, 5.0);  // 4 wide, 6 high: cut across x
    ASSERT_EQ(daughters, std::vector<Label>{3});
    EXPECT_EQ(w.cells[1].volume, 24);
    EXPECT_EQ(w.cells[2].volume, 12);
    EXPECT_EQ(w.cells[3].volume, 12);
    EXPECT_EQ(w.lattice.labels[w.lattice.site_of(8, 8, 0)], 2u);  // x = 8 is the middle 7 + (10 - 7) / 2
    EXPECT_EQ(w.lattice.labels[w.lattice.site_of(9, 8, 0)], 3u);
    DivisionPlane minus_y{DivisionPlane::Rule::through_centre, {0.0, -1.0, 0.0}};
    w.divide_chosen({1}, {minus_y}, 5.0);  // centre y = 1.5: y = 0 and 1 go to the daughter
    EXPECT_EQ(w.lattice.labels[w.lattice.site_of(3, 1, 0)], 4u);
    EXPECT_EQ(w.lattice.labels[w.lattice.site_of(3, 2, 0)], 1u);
    EXPECT_THROW(w.divide_chosen({1, 1}, {minus_y, minus_y}, 5.0), std::invalid_argument);
}

}  // namespace
}  // namespace morva::testing
