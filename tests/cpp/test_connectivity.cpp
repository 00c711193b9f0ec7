#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "connectivity.hpp"
#include "term_helpers.hpp"

namespace morva::testing {
namespace {

// --- count_components

TEST(CountComponents, FewerThanTwoEntriesAnswerWithoutAskingThePredicate) {
    int calls = 0;
    const auto never = [&](SiteIndex, SiteIndex) {
        ++calls;
        return true;
    };
    const std::vector<SiteIndex> none, one{7};
    EXPECT_EQ(count_components(none, never), 0u);
    EXPECT_EQ(count_components(one, never), 1u);
    EXPECT_EQ(calls, 0);
}

TEST(CountComponents, AsksInDepthFirstOrderAndNeverAboutAReachedEntry) {
    // Directed edges 10 -> 12 -> 13; 11 stands alone.
    const std::vector<SiteIndex> nodes{10, 11, 12, 13};
    std::vector<std::pair<SiteIndex, SiteIndex>> calls;
    const auto adjacent = [&](SiteIndex a, SiteIndex b) {
        calls.emplace_back(a, b);
        return (a == 10 && b == 12) || (a == 12 && b == 13);
    };
    EXPECT_EQ(count_components(nodes, adjacent), 2u);
    const std::vector<std::pair<SiteIndex, SiteIndex>> want{{10, 11}, {10, 12}, {10, 13}, {12, 11}, {12, 13}, {13, 11}};
    EXPECT_EQ(calls, want);
}

TEST(CountComponents, LongListsBeyondANeighbourhoodCountToo) {
    std::vector<SiteIndex> nodes(40);
    for (SiteIndex i = 0; i < nodes.size(); ++i) nodes[i] = 3 * i;
    const auto chain = [](SiteIndex a, SiteIndex b) { return a + 3 == b || b + 3 == a; };
    const auto pairs = [](SiteIndex a, SiteIndex b) { return a / 6 == b / 6; };
    const auto nothing = [](SiteIndex, SiteIndex) { return false; };
    EXPECT_EQ(count_components(nodes, chain), 1u);
    EXPECT_EQ(count_components(nodes, pairs), 20u);
    EXPECT_EQ(count_components(nodes, nothing), 40u);
}

// --- would_stay_connected on small shapes

struct ShapeVerdict {
    const char* name;
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::uint8_t order;
    std::vector<std::array<SiteIndex, 3>> cell;  // sites of cell 1
    std::array<SiteIndex, 3> target;
    bool stays;
};

class LocalTest : public ::testing::TestWithParam<ShapeVerdict> {};

TEST_P(LocalTest, GivesTheVerdictOfTheTargetsShell) {
    const ShapeVerdict& c = GetParam();
    World w = make_world(c.dims, c.boundary, c.order);
    w.add_cell(1, 1, 1, 0, 0);
    for (const auto& p : c.cell) w.paint(w.lattice.site_of(p[0], p[1], p[2]), 1);
    const SiteIndex target = w.lattice.site_of(c.target[0], c.target[1], c.target[2]);
    ASSERT_EQ(w.lattice.labels[target], 1u);
    EXPECT_EQ(w.would_stay_connected(target, 1), c.stays);
}

const std::vector<std::array<SiteIndex, 3>> l_corner{{1, 1, 0}, {2, 1, 0}, {3, 1, 0}, {1, 2, 0}, {1, 3, 0}};
const std::vector<std::array<SiteIndex, 3>> ring{{1, 1, 0}, {2, 1, 0}, {3, 1, 0}, {4, 1, 0}, {5, 1, 0}, {1, 2, 0},
                                                 {5, 2, 0}, {1, 3, 0}, {5, 3, 0}, {1, 4, 0}, {5, 4, 0}, {1, 5, 0},
                                                 {2, 5, 0}, {3, 5, 0}, {4, 5, 0}, {5, 5, 0}};

INSTANTIATE_TEST_SUITE_P(
    Shapes, LocalTest,
    ::testing::Values(
        ShapeVerdict{"single_site", {5, 5, 1}, Boundary::Noflux, 2, {{2, 2, 0}}, {2, 2, 0}, true},
        ShapeVerdict{"pair", {5, 5, 1}, Boundary::Noflux, 1, {{2, 2, 0}, {3, 2, 0}}, {2, 2, 0}, true},
        ShapeVerdict{"bar_middle_3d", {5, 5, 5}, Boundary::Noflux, 1, {{1, 2, 2}, {2, 2, 2}, {3, 2, 2}}, {2, 2, 2}, false},
        ShapeVerdict{"bar_end_3d", {5, 5, 5}, Boundary::Noflux, 1, {{1, 2, 2}, {2, 2, 2}, {3, 2, 2}}, {1, 2, 2}, true},
        ShapeVerdict{"l_corner_8", {6, 6, 1}, Boundary::Noflux, 2, l_corner, {1, 1, 0}, true},
        ShapeVerdict{"l_corner_4", {6, 6, 1}, Boundary::Noflux, 1, l_corner, {1, 1, 0}, false},
        ShapeVerdict{"ring_4", {7, 7, 1}, Boundary::Noflux, 1, ring, {3, 1, 0}, false},
        ShapeVerdict{"ring_8", {7, 7, 1}, Boundary::Noflux, 2, ring, {3, 1, 0}, false},
        // (0,2) and (5,3) meet diagonally across the wrapped x face, only in the 8-neighbourhood.
        ShapeVerdict{"wrapped_diagonal_8", {6, 6, 1}, Boundary::Periodic, 2, {{0, 2, 0}, {0, 3, 0}, {5, 3, 0}}, {0, 3, 0}, true},
        ShapeVerdict{"wrapped_diagonal_4", {6, 6, 1}, Boundary::Periodic, 1, {{0, 2, 0}, {0, 3, 0}, {5, 3, 0}}, {0, 3, 0}, false},
        // The x axis of length 1 lists the target among its own neighbours; that entry must not
        // join the two ends of the bar.
        ShapeVerdict{"self_listing_bar", {1, 6, 6}, Boundary::Periodic, 1, {{0, 1, 2}, {0, 2, 2}, {0, 3, 2}}, {0, 2, 2}, false},
        ShapeVerdict{"self_listing_end", {1, 6, 6}, Boundary::Periodic, 1, {{0, 1, 2}, {0, 2, 2}, {0, 3, 2}}, {0, 1, 2}, true}),
    [](const ::testing::TestParamInfo<ShapeVerdict>& p) { return std::string(p.param.name); });

TEST(LocalTest, MediumIsTestedLikeAnyLabel) {
    // Medium column between two cells of a 3 x 3 box, neighbourhood of four.
    World w = make_world({3, 3, 1}, Boundary::Noflux, 1);
    w.add_cell(1, 1, 1, 0, 0);
    for (const SiteIndex s : {0, 3, 6, 2, 5, 8}) w.paint(s, 1);
    EXPECT_FALSE(w.would_stay_connected(4, 0));
    EXPECT_TRUE(w.would_stay_connected(1, 0));
}

// --- soundness over random tissues

class LocalTestSoundness : public ::testing::TestWithParam<TermShape> {};

// Whenever the test lets a label lose a site, that label's number of pieces does not grow; and on
// these fragmented tissues some losses would split a piece, so an always-true test fails here.
TEST_P(LocalTestSoundness, AnAllowedLossNeverSplitsAPiece) {
    const TermShape c = GetParam();
    int refused = 0, allowed = 0, splits_seen = 0;
    for (std::uint64_t seed = 1; seed <= 5; ++seed) {
        World w = random_world(c.dims, c.boundary, c.order, 4, seed);
        for (SiteIndex site = 0; site < w.lattice.n_sites(); ++site) {
            const Label old_label = w.lattice.labels[site];
            const bool stays = w.would_stay_connected(site, old_label);
            const std::size_t before = pieces_of(w, old_label);
            const Label other = old_label == 0 ? 1 : 0;
            w.lattice.labels[site] = other;
            const std::size_t after = pieces_of(w, old_label);
            w.lattice.labels[site] = old_label;
            splits_seen += after > before;
            if (stays) {
                ++allowed;
                EXPECT_LE(after, before) << "site " << site << " label " << old_label;
            } else {
                ++refused;
            }
        }
    }
    EXPECT_GT(allowed, 0);
    // In a box where every site neighbours every other nothing can split.
    const World probe = make_world(c.dims, c.boundary, c.order);
    if (probe.lattice.neighbors(0).size() + 1 >= probe.lattice.n_sites()) return;
    EXPECT_GT(refused, 0);
    EXPECT_GT(splits_seen, 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, LocalTestSoundness, ::testing::ValuesIn(term_shapes()), shape_name);

// --- the veto in the sweep

TEST(ConnectivityVeto, GateFollowsTheLosingLabel) {
    World w = make_world({3, 3, 1}, Boundary::Periodic, 1);
    w.add_cell(0, 1, 1, 0, 0);
    w.add_cell(1, 1, 1, 0, 0);
    w.add_cell(4, 1, 1, 0, 0);
    w.set_connectivity(0, true);
    EXPECT_FALSE(w.connectivity_applies(0));  // the medium has its own flag
    EXPECT_TRUE(w.connectivity_applies(1));   // a cell of type 0
    EXPECT_FALSE(w.connectivity_applies(2));
    EXPECT_FALSE(w.connectivity_applies(3));  // type beyond the table
    EXPECT_TRUE(w.term_gates().on<ConnectivityTerm>());
    w.set_connectivity(0, false);
    EXPECT_FALSE(w.term_gates().on<ConnectivityTerm>());
    w.set_connectivity_medium(true);
    EXPECT_TRUE(w.connectivity_applies(0));
    EXPECT_TRUE(w.term_gates().on<ConnectivityTerm>());
}

// A hot tissue of 16 cells. Type 1 is guarded; type 2 is left free (and, in the second world, the
// guard list is shorter than type 2, which must read as off).
TEST(ConnectivityVeto, HotRunKeepsEveryGuardedCellInOnePiece) {
    for (const std::uint8_t order : {std::uint8_t{1}, std::uint8_t{2}}) {
        World w = block_tissue(36, 36, Boundary::Periodic, order, 4, 6, 6, 25.0);
        w.set_connectivity(1, true);
        Morva m = finalize(std::move(w), {{0, 1, 4.0}, {0, 2, 4.0}, {1, 1, 2.0}, {2, 2, 2.0}, {1, 2, 3.0}}, 9);
        std::size_t free_pieces = 0;
        for (int round = 0; round < 6; ++round) {
            m.step(50);
            for (Label id = 1; id < m.world.cells.size(); ++id) {
                const std::size_t pieces = pieces_of(m.world, id);
                if (m.world.cells[id].cell_type == 1)
                    EXPECT_LE(pieces, 1u) << "order " << int{order} << " round " << round << " cell " << id;
                else
                    free_pieces = std::max(free_pieces, pieces);
            }
        }
        // The same heat splits unguarded cells: the flood fill above can see a split.
        EXPECT_GT(free_pieces, 1u) << "order " << int{order};
        expect_trackers_fresh(m.world);
    }
}

TEST(ConnectivityVeto, HotRunIn3DAndGuardedMediumStayWhole) {
    World w = make_world({10, 10, 10}, Boundary::Noflux, 1, 15.0);
    for (SiteIndex i = 0; i < 8; ++i) {
        const Label id = w.add_cell(1, 27.0, 1.0, 0.0, 0.0);
        const SiteIndex x = 2 + 3 * (i % 2), y = 2 + 3 * ((i / 2) % 2), z = 2 + 3 * (i / 4);
        w.paint_box(id, {x, y, z}, {x + 3, y + 3, z + 3});
    }
    w.set_connectivity(1, true);
    w.set_connectivity_medium(true);
    Morva m = finalize(std::move(w), {{0, 1, 3.0}, {1, 1, 6.0}}, 4);
    for (int round = 0; round < 4; ++round) {
        m.step(25);
        for (Label id = 0; id < m.world.cells.size(); ++id)
            EXPECT_LE(pieces_of(m.world, id), 1u) << "round " << round << " label " << id;
    }
}

}  // namespace
}  // namespace morva::testing

namespace morva::testing {
namespace {

// The verdict from the plain definition: the same-label neighbours counted as components of the
// "listed among each other's neighbours" graph.
bool connected_by_definition(const World& w, SiteIndex site, Label label) {
    std::vector<SiteIndex> same;
    for (const SiteIndex s : w.lattice.neighbors(site))
        if (s != site && w.lattice.labels[s] == label) same.push_back(s);
    const auto adjacent = [&w](SiteIndex a, SiteIndex b) {
        const NeighborList around = w.lattice.neighbors(a);
        return std::find(around.begin(), around.end(), b) != around.end();
    };
    return count_components(same, adjacent) <= 1;
}

// Sites far from the faces take the bit-mask path; the boxes are large enough to hold such sites and
// small enough that many are near a face. Few labels make same-label shells of every shape.
TEST(LocalTest, FastPathAgreesWithTheDefinitionEverywhere) {
    std::size_t deep = 0;
    for (const auto boundary : {Boundary::Periodic, Boundary::Noflux})
        for (const std::uint8_t order : {1, 2, 3})
            for (const std::array<SiteIndex, 3> dims : {std::array<SiteIndex, 3>{9, 8, 7}, {12, 11, 1}, {5, 5, 5}}) {
                const World w = random_world(dims, boundary, order, 2, 100 + order);
                for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
                    deep += w.lattice.is_deep(w.lattice.coords(s));
                    for (const Label l : {0u, 1u, 2u})
                        EXPECT_EQ(w.would_stay_connected(s, l), connected_by_definition(w, s, l))
                            << "site " << s << " label " << l << " order " << int{order};
                }
            }
    EXPECT_GT(deep, 200u);
}

}  // namespace
}  // namespace morva::testing
