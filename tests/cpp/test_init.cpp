#include <gtest/gtest.h>

#include "helpers.hpp"
#include "init.hpp"

namespace morva::testing {
namespace {

using Pairs = std::vector<std::pair<Label, Label>>;

TEST(Init, DistinctValuesBecomeCellsInOrderOfFirstAppearance) {
    World w = make_world({4, 1, 1}, Boundary::Noflux, 1);
    const Pairs made = seed_from_labels(w, {0, 7, 7, 3}, {{3, 2}}, 1, 25.0, 2.0);
    EXPECT_EQ(made, (Pairs{{7, 1}, {3, 2}}));
    EXPECT_EQ(w.lattice.labels, (std::vector<Label>{0, 1, 1, 2}));
    ASSERT_EQ(w.cells.size(), 3u);
    EXPECT_EQ(w.cells[1].cell_type, 1);
    EXPECT_EQ(w.cells[2].cell_type, 2);
    for (const Label id : {1u, 2u}) {
        const Cell& c = w.cells[id];
        EXPECT_EQ(c.id, id);
        EXPECT_EQ(c.target_volume, 25.0);
        EXPECT_EQ(c.lambda_volume, 2.0);
        EXPECT_EQ(c.target_surface, 0.0);
        EXPECT_EQ(c.lambda_surface, 0.0);
        EXPECT_EQ(c.volume, 0);  // trackers wait for finalize
    }
    EXPECT_FALSE(w.surface_active);
}

TEST(Init, IdsContinueAfterExistingCellsAndEarlierSeedings) {
    World w = make_world({4, 1, 1}, Boundary::Noflux, 1);
    w.add_cell(5, 1, 1, 1, 1);
    w.add_cell(5, 1, 1, 1, 1);
    EXPECT_EQ(seed_from_labels(w, {0, 7, 7, 3}, {}, 4, 1, 1), (Pairs{{7, 3}, {3, 4}}));
    // A value equal to an existing id still makes a new cell.
    EXPECT_EQ(seed_from_labels(w, {0, 0, 0, 1}, {}, 4, 1, 1), (Pairs{{1, 5}}));
    EXPECT_EQ(w.lattice.labels, (std::vector<Label>{0, 3, 3, 5}));
    EXPECT_EQ(w.cells[3].cell_type, 4);  // empty type table: default type
}

TEST(Init, ZeroKeepsThePaintedLabel) {
    World w = make_world({3, 2, 1}, Boundary::Periodic, 1);
    const Label c = w.add_cell(1, 1, 1, 0, 0);
    w.paint(0, c);
    w.paint(4, c);
    seed_from_labels(w, {0, 9, 0, 0, 0, 9}, {}, 1, 1, 1);
    EXPECT_EQ(w.lattice.labels, (std::vector<Label>{1, 2, 0, 0, 1, 2}));
}

TEST(Init, ReturningValuesAfterOtherValuesReuseTheirCell) {
    World w = make_world({6, 1, 1}, Boundary::Noflux, 1);
    const Pairs made = seed_from_labels(w, {4, 8, 4, 8, 8, 4}, {{8, 3}}, 1, 1, 1);
    EXPECT_EQ(made, (Pairs{{4, 1}, {8, 2}}));
    EXPECT_EQ(w.lattice.labels, (std::vector<Label>{1, 2, 1, 2, 2, 1}));
    EXPECT_EQ(w.cells.size(), 3u);
}

TEST(Init, WrongImageLengthFaultsAndChangesNothing) {
    World w = make_world({2, 2, 1}, Boundary::Periodic, 1);
    for (const std::vector<Label>& labels : {std::vector<Label>{1, 1, 1, 1, 1}, std::vector<Label>{}}) {
        try {
            seed_from_labels(w, labels, {}, 1, 1, 1);
            FAIL() << "no fault";
        } catch (const EngineFault& f) {
            EXPECT_EQ(f.text(), "labels length must equal n_sites: " + std::to_string(labels.size()) + " != 4");
        }
    }
    EXPECT_EQ(w.cells.size(), 1u);
    EXPECT_EQ(w.lattice.labels, (std::vector<Label>{0, 0, 0, 0}));
}

TEST(Init, TrackersAfterRecomputationCountTheImage) {
    World w = make_world({5, 5, 1}, Boundary::Noflux, 2);
    std::vector<Label> image(25, 0);
    for (SiteIndex s = 0; s < 25; ++s) image[s] = static_cast<Label>(s % 3 == 0 ? 0 : 10 + s % 4);
    const Pairs made = seed_from_labels(w, image, {}, 1, 1, 1);
    w.recompute_trackers();
    for (const auto& [value, id] : made) {
        std::int64_t n = 0;
        for (const Label v : image) n += v == value;
        EXPECT_EQ(w.cells[id].volume, n) << "value " << value;
    }
}

}  // namespace
}  // namespace morva::testing
