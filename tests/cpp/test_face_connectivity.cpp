// Face connectivity: under the option the connectivity veto keeps guarded cells connected through
// faces, whatever neighbourhood copies and energies use.
#include <gtest/gtest.h>

#include "option_helpers.hpp"

namespace morva::testing {
namespace {

constexpr WorldOptions faces_on{.periodic_shapes = false, .com_force = false, .face_connectivity = true};

World guarded_world(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t order,
                    const std::vector<std::array<SiteIndex, 3>>& cell) {
    World w = make_world(dims, boundary, order);
    w.options = faces_on;
    w.add_cell(1, 1, 1, 0, 0);
    w.add_cell(2, 1, 1, 0, 0);
    w.set_connectivity(1, true);
    for (const auto& p : cell) w.paint(w.lattice.site_of(p[0], p[1], p[2]), 1);
    return w;
}

SiteIndex at(const World& w, SiteIndex x, SiteIndex y, SiteIndex z = 0) { return w.lattice.site_of(x, y, z); }

// --- the local test on small shapes

TEST(FaceConnectivity, LosingACornerThatJoinsTwoArmsOnlyThroughIt) {
    // An L: (1,1) joins the arm along x and the arm along y.
    const std::vector<std::array<SiteIndex, 3>> l_corner{{1, 1, 0}, {2, 1, 0}, {3, 1, 0}, {1, 2, 0}, {1, 3, 0}};
    World w = guarded_world({6, 6, 1}, Boundary::Noflux, 2, l_corner);
    EXPECT_FALSE(w.face_connectivity_allows(at(w, 1, 1), 1, 0));
    EXPECT_TRUE(w.would_stay_connected(at(w, 1, 1), 1));  // the 8-neighbourhood test lets it go
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 3, 1), 1, 0));  // an arm's end
    w.paint(at(w, 2, 2), 1);                                     // the arms now meet through (2, 2)
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 1, 1), 1, 0));
    // The same under the 4-neighbourhood, where the local test of the default veto refuses it.
    World four = guarded_world({6, 6, 1}, Boundary::Noflux, 1, l_corner);
    four.paint(at(four, 2, 2), 1);
    EXPECT_TRUE(four.face_connectivity_allows(at(four, 1, 1), 1, 0));
}

TEST(FaceConnectivity, GainingASiteTouchedOnlyAtACorner) {
    World w = guarded_world({6, 6, 1}, Boundary::Noflux, 2, {{2, 2, 0}, {2, 3, 0}});
    EXPECT_FALSE(w.face_connectivity_allows(at(w, 3, 1), 0, 1));  // meets (2, 2) at a corner only
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 3, 2), 0, 1));
    w.paint(at(w, 4, 4), 2);  // type 2 is not guarded: it may gain anywhere
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 3, 3), 0, 2));
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 5, 5), 0, 2));
}

TEST(FaceConnectivity, WrappedFacesAndLayersCount) {
    // A bar along z across the wrapped z face: (1, 1, 3) (1, 1, 0) (1, 1, 1).
    World w = guarded_world({4, 4, 4}, Boundary::Periodic, 3, {{1, 1, 3}, {1, 1, 0}, {1, 1, 1}});
    EXPECT_FALSE(w.face_connectivity_allows(at(w, 1, 1, 0), 1, 0));
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 1, 1, 3), 1, 0));
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 1, 1, 2), 0, 1));  // face to (1, 1, 1) and (1, 1, 3)
    EXPECT_FALSE(w.face_connectivity_allows(at(w, 2, 2, 2), 0, 1));  // an edge to (1, 1, 1) only
    World closed = guarded_world({4, 4, 4}, Boundary::Noflux, 3, {{1, 1, 3}, {1, 1, 0}, {1, 1, 1}});
    EXPECT_TRUE(closed.face_connectivity_allows(at(closed, 1, 1, 0), 1, 0));  // (1, 1, 3) is another piece
}

TEST(FaceConnectivity, GuardedMediumKeepsItsFacesToo) {
    World w = make_world({5, 5, 1}, Boundary::Noflux, 2);
    w.options = faces_on;
    w.add_cell(1, 1, 1, 0, 0);
    w.set_connectivity_medium(true);
    for (const SiteIndex s : {0u, 1u, 2u, 3u, 4u, 10u, 11u, 13u, 14u}) w.paint(s, 1);  // medium rows 1 and 3
    // (2, 2) holds the medium's only face link between its rows; losing it splits the medium.
    EXPECT_FALSE(w.face_connectivity_allows(at(w, 2, 2), 0, 1));
    EXPECT_TRUE(w.face_connectivity_allows(at(w, 0, 1), 0, 1));
}

// --- soundness over random copies

struct FaceCase {
    const char* name;
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::uint8_t order;
};

inline void PrintTo(const FaceCase& c, std::ostream* os) { *os << c.name; }

class FaceSoundness : public ::testing::TestWithParam<FaceCase> {};

// From a tissue of face-connected blocks, any sequence of neighbour copies that the test allows keeps
// every guarded label (type 1 cells and the medium) in one face-connected piece. Some copies are
// refused, so an always-true test fails here.
TEST_P(FaceSoundness, AllowedCopiesNeverSplitAGuardedLabel) {
    const FaceCase& c = GetParam();
    World w = make_world(c.dims, c.boundary, c.order);
    w.options = faces_on;
    const SiteIndex bx = c.dims[0] / 2, by = c.dims[1] / 2, bz = std::max<SiteIndex>(c.dims[2] / 2, 1);
    for (SiteIndex k = 0; k < 4; ++k) {
        const Label id = w.add_cell(static_cast<CellType>(1 + k % 2), 1, 1, 0, 0);
        const SiteIndex x = (k % 2) * bx, y = (k / 2) * by;
        w.paint_box(id, {x, y, 0}, {x + bx - 1, y + by - 1, bz});
    }
    w.set_connectivity(1, true);
    w.set_connectivity_medium(true);
    std::mt19937_64 gen(3);
    int allowed = 0, refused = 0;
    for (int i = 0; i < 6000; ++i) {
        const SiteIndex site = gen() % w.lattice.n_sites();
        const NeighborList nbrs = w.lattice.neighbors(site);
        const Label a = w.lattice.labels[site], b = w.lattice.labels[nbrs[gen() % nbrs.size()]];
        if (a == b) continue;
        if (!w.face_connectivity_allows(site, a, b)) {
            ++refused;
            continue;
        }
        ++allowed;
        w.apply_flip(site, b);
        for (const Label l : {Label{0}, Label{1}, Label{3}})  // the medium and the two type 1 cells
            ASSERT_LE(face_pieces(w, l), 1u) << "copy " << i << " label " << l;
    }
    EXPECT_GT(allowed, 150);
    EXPECT_GT(refused, 20);
}

const FaceCase face_cases[] = {
    {"Flat_Periodic_Order2", {12, 10, 1}, Boundary::Periodic, 2},
    {"Flat_Noflux_Order3", {11, 9, 1}, Boundary::Noflux, 3},
    {"Flat_Periodic_Order1", {10, 10, 1}, Boundary::Periodic, 1},
    {"Deep_Periodic_Order3", {8, 7, 6}, Boundary::Periodic, 3},
    {"Deep_Noflux_Order2", {8, 8, 5}, Boundary::Noflux, 2},
    {"Deep_Periodic_Small", {6, 5, 4}, Boundary::Periodic, 3},
};
INSTANTIATE_TEST_SUITE_P(Boxes, FaceSoundness, ::testing::ValuesIn(face_cases),
                         [](const auto& p) { return std::string(p.param.name); });

// --- the packed tissue under the 8-neighbourhood

struct TissueOutcome {
    std::size_t split_cells = 0, stranded = 0;
};

// 16 cells of 6 x 6 packed in a 40 x 40 periodic box, like-like J 8, cell-medium J 12, T 10, every
// cell guarded; the worst state seen over the run.
TissueOutcome packed_tissue(WorldOptions options, bool guarded, bool parallel, std::uint64_t seed) {
    World w = block_tissue(40, 40, Boundary::Periodic, 2, 4, 6, 8, 10.0);
    for (Cell& c : w.cells) c.cell_type = c.id == 0 ? 0 : 1;
    w.options = options;
    if (guarded) w.set_connectivity(1, true);
    Morva m = finalize(std::move(w), {{0, 1, 12.0}, {1, 1, 8.0}}, seed);
    TissueOutcome worst;
    for (int round = 0; round < 4; ++round) {
        if (parallel) m.step_parallel(50, 10);
        else m.step(50);
        worst.split_cells = std::max(worst.split_cells, cells_in_face_pieces(m.world));
        worst.stranded = std::max(worst.stranded, stranded_sites(m.world));
    }
    return worst;
}

TEST(FaceConnectivity, PackedTissueUnderTheEightNeighbourhoodStaysWholeThroughFaces) {
    for (const bool parallel : {false, true}) {
        for (const std::uint64_t seed : {1u, 2u}) {
            const TissueOutcome faces = packed_tissue(faces_on, true, parallel, seed);
            const TissueOutcome corners = packed_tissue({}, true, parallel, seed);
            const TissueOutcome free = packed_tissue({}, false, parallel, seed);
            SCOPED_TRACE(std::string(parallel ? "step_parallel" : "step") + " seed " + std::to_string(seed));
            EXPECT_EQ(faces.split_cells, 0u);
            EXPECT_LE(faces.stranded, free.stranded + 2);
            // The default veto keeps cells whole only through corners: the mosaic this option removes.
            EXPECT_GT(corners.split_cells, 4u);
            EXPECT_GT(corners.stranded, free.stranded + 20);
        }
    }
}

// A packed 3-D tissue under the 26-neighbourhood, hot: flood fills over faces after every stretch.
TEST(FaceConnectivity, HotTissueIn3DStaysWholeThroughFaces) {
    std::size_t corner_split = 0;
    for (const bool parallel : {false, true}) {
        const auto run = [parallel](WorldOptions options) {
            World w = make_world({14, 14, 14}, Boundary::Periodic, 3, 12.0);
            w.options = options;
            for (SiteIndex i = 0; i < 8; ++i) {
                const Label id = w.add_cell(1, 64.0, 1.0, 0.0, 0.0);
                const SiteIndex x = 3 + 4 * (i % 2), y = 3 + 4 * ((i / 2) % 2), z = 3 + 4 * (i / 4);
                w.paint_box(id, {x, y, z}, {x + 4, y + 4, z + 4});
            }
            w.set_connectivity(1, true);
            Morva m = finalize(std::move(w), {{0, 1, 14.0}, {1, 1, 10.0}}, 8);
            std::size_t worst = 0;
            for (int round = 0; round < 4; ++round) {
                if (parallel) m.step_parallel(25, 4);
                else m.step(25);
                worst = std::max(worst, cells_in_face_pieces(m.world));
            }
            return worst;
        };
        SCOPED_TRACE(parallel ? "step_parallel" : "step");
        EXPECT_EQ(run(faces_on), 0u);
        corner_split += run({});
    }
    EXPECT_GT(corner_split, 0u);  // the default veto lets cells split along edges and corners here
}

}  // namespace
}  // namespace morva::testing
