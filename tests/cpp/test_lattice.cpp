#include <gtest/gtest.h>

#include "helpers.hpp"

namespace morva::testing {
namespace {

struct OrderCase {
    std::int64_t z_reach;
    std::uint8_t order;
    std::size_t expected;
};

class NeighborhoodSize : public ::testing::TestWithParam<OrderCase> {};

TEST_P(NeighborhoodSize, MatchesOrderTable) {
    const OrderCase c = GetParam();
    EXPECT_EQ(Neighborhood::make(c.z_reach, c.order).offsets.size(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Orders, NeighborhoodSize,
                         ::testing::Values(OrderCase{1, 0, 0}, OrderCase{1, 1, 6}, OrderCase{1, 2, 18},
                                           OrderCase{1, 3, 26}, OrderCase{1, 7, 26}, OrderCase{1, 255, 26},
                                           OrderCase{0, 0, 0}, OrderCase{0, 1, 4}, OrderCase{0, 2, 8},
                                           OrderCase{0, 3, 8}, OrderCase{0, 7, 8}));

TEST(Neighborhood, OffsetsListedDzThenDyThenDx) {
    const auto offsets = Neighborhood::make(1, 2).offsets;
    // Layer dz = -1 holds 5 offsets: (0,-1), (-1,0), (0,0), (1,0), (0,1).
    const std::vector<std::array<std::int64_t, 3>> first_layer{{0, -1, -1}, {-1, 0, -1}, {0, 0, -1}, {1, 0, -1}, {0, 1, -1}};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(offsets[i].dx, first_layer[i][0]);
        EXPECT_EQ(offsets[i].dy, first_layer[i][1]);
        EXPECT_EQ(offsets[i].dz, first_layer[i][2]);
    }
    EXPECT_EQ(offsets[5].dz, 0);
    EXPECT_EQ(offsets[12].dz, 0);
    EXPECT_EQ(offsets[13].dz, 1);
}

TEST(Lattice, InteriorSite3DOrder1InListOrder) {
    const World w = make_world({5, 6, 7}, Boundary::Noflux, 1);
    const SiteIndex s = w.lattice.site_of(2, 3, 3), nx = 5, nxy = 30;
    EXPECT_EQ(sites_of(w.lattice.neighbors(s)), (std::vector<SiteIndex>{s - nxy, s - nx, s - 1, s + 1, s + nx, s + nxy}));
}

TEST(Lattice, InteriorSite2DOrders1And2InRasterOrder) {
    const World w1 = make_world({5, 5, 1}, Boundary::Periodic, 1);
    const SiteIndex s = 12;
    EXPECT_EQ(sites_of(w1.lattice.neighbors(s)), (std::vector<SiteIndex>{7, 11, 13, 17}));
    const World w2 = make_world({5, 5, 1}, Boundary::Periodic, 2);
    EXPECT_EQ(sites_of(w2.lattice.neighbors(s)), (std::vector<SiteIndex>{6, 7, 8, 11, 13, 16, 17, 18}));
}

TEST(Lattice, OrderZeroHasNoNeighbours) {
    const World w = make_world({4, 4, 4}, Boundary::Periodic, 0);
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) EXPECT_TRUE(w.lattice.neighbors(s).empty());
}

TEST(Lattice, CornerSiteClosedBoxHasSevenNeighboursPeriodicTwentySix) {
    const World closed = make_world({4, 5, 6}, Boundary::Noflux, 3);
    EXPECT_EQ(sites_of(closed.lattice.neighbors(0)),
              (std::vector<SiteIndex>{1, 4, 5, 20, 21, 24, 25}));
    const World open = make_world({4, 5, 6}, Boundary::Periodic, 3);
    const auto list = sites_of(open.lattice.neighbors(0));
    ASSERT_EQ(list.size(), 26u);
    // First offset (-1,-1,-1) wraps to (3, 4, 5).
    EXPECT_EQ(list[0], open.lattice.site_of(3, 4, 5));
    EXPECT_EQ(list[25], open.lattice.site_of(1, 1, 1));
}

TEST(Lattice, PeriodicAxisOfOneListsTheSiteItself) {
    const World w = make_world({1, 4, 1}, Boundary::Periodic, 1);
    // Offsets (0,-1), (-1,0), (1,0), (0,1): the x offsets fold back onto the site.
    EXPECT_EQ(sites_of(w.lattice.neighbors(1)), (std::vector<SiteIndex>{0, 1, 1, 2}));
}

TEST(Lattice, PeriodicAxisOfTwoListsTheSameSiteTwice) {
    const World w = make_world({2, 3, 1}, Boundary::Periodic, 1);
    EXPECT_EQ(sites_of(w.lattice.neighbors(2)), (std::vector<SiteIndex>{0, 3, 3, 4}));
}

TEST(Lattice, EveryListMatchesTheBoundaryPathWhetherInteriorOrNot) {
    for (const auto boundary : {Boundary::Periodic, Boundary::Noflux})
        for (const std::uint8_t order : {1, 2, 3})
            for (const std::array<SiteIndex, 3> dims : {std::array<SiteIndex, 3>{5, 4, 3}, {7, 6, 1}, {3, 3, 3}}) {
                const World w = make_world(dims, boundary, order);
                for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
                    const Coords c = w.lattice.coords(s);
                    EXPECT_EQ(w.lattice.site_of(c.x, c.y, c.z), s);
                    EXPECT_EQ(sites_of(w.lattice.neighbors(s)), sites_of(w.lattice.boundary_neighbors(c)));
                }
            }
}

// Reference: each offset moved axis by axis, wrapped or dropped, in the listed order.
std::vector<SiteIndex> wrapped_offsets(const Lattice& lat, const Coords& c) {
    std::vector<SiteIndex> out;
    for (const Offset& o : lat.neighborhood.offsets) {
        const std::array<std::int64_t, 3> d{o.dx, o.dy, o.dz};
        const std::array<SiteIndex, 3> at{c.x, c.y, c.z};
        std::array<SiteIndex, 3> moved{};
        bool inside = true;
        for (int axis = 0; axis < 3; ++axis) {
            const auto n = static_cast<std::int64_t>(lat.dims[axis]);
            std::int64_t p = static_cast<std::int64_t>(at[axis]) + d[axis];
            if (p < 0 || p >= n) {
                if (!lat.periodic[axis]) inside = false;
                p = ((p % n) + n) % n;
            }
            moved[axis] = static_cast<SiteIndex>(p);
        }
        if (inside) out.push_back(lat.site_of(moved[0], moved[1], moved[2]));
    }
    return out;
}

TEST(Lattice, BoundaryListsMatchOffsetsWrappedOneByOne) {
    for (const auto boundary : {Boundary::Periodic, Boundary::Noflux})
        for (const std::uint8_t order : {1, 2, 3})
            for (const std::array<SiteIndex, 3> dims :
                 {std::array<SiteIndex, 3>{5, 4, 3}, {7, 6, 1}, {1, 4, 3}, {2, 2, 2}, {3, 1, 1}, {1, 1, 1}}) {
                const World w = make_world(dims, boundary, order);
                EXPECT_EQ(w.lattice.full_block, order == 3 || (order == 2 && dims[2] == 1));
                for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
                    const Coords c = w.lattice.coords(s);
                    EXPECT_EQ(sites_of(w.lattice.boundary_neighbors(c)), wrapped_offsets(w.lattice, c));
                }
            }
}

// Every site's face-class list, taken as deltas from the site, is its list; boxes as narrow as one
// site, and axes that wrap beside axes that end.
TEST(Lattice, FaceClassListsAreEverySitesList) {
    std::vector<Lattice> boxes;
    for (const bool wraps : {true, false})
        for (const std::uint8_t order : {1, 2, 3})
            for (const std::array<SiteIndex, 3> dims :
                 {std::array<SiteIndex, 3>{5, 4, 3}, {7, 6, 1}, {1, 4, 3}, {2, 2, 2}, {3, 1, 1}, {1, 1, 1}, {2, 3, 4}})
                boxes.push_back(make_world(dims, wraps ? Boundary::Periodic : Boundary::Noflux, order).lattice);
    boxes.push_back(Lattice::make({4, 5, 3}, {true, false, true}, Neighborhood::make(1, 3)));
    boxes.push_back(Lattice::make({2, 4, 1}, {false, true, false}, Neighborhood::make(0, 2)));
    for (const Lattice& lat : boxes)
        for (SiteIndex s = 0; s < lat.n_sites(); ++s) {
            const Coords c = lat.coords(s);
            const std::size_t cls = lat.face_class(c);
            std::vector<SiteIndex> listed;
            for (std::size_t i = 0; i < lat.face_counts[cls]; ++i)
                listed.push_back(static_cast<SiteIndex>(static_cast<std::int64_t>(s) +
                                                        lat.face_offsets[cls * Lattice::face_stride + i]));
            EXPECT_EQ(listed, wrapped_offsets(lat, c)) << lat.dims[0] << "x" << lat.dims[1] << "x" << lat.dims[2]
                                                       << " site " << s;
        }
}

TEST(Lattice, NeighbourRelationIsSymmetricWithMultiplicity) {
    for (const auto dims : {std::array<SiteIndex, 3>{2, 3, 2}, {1, 5, 3}, {4, 4, 1}}) {
        const World w = make_world(dims, Boundary::Periodic, 3);
        const SiteIndex n = w.lattice.n_sites();
        std::vector<int> count(n * n, 0);
        for (SiteIndex s = 0; s < n; ++s)
            for (const SiteIndex t : w.lattice.neighbors(s)) ++count[s * n + t];
        for (SiteIndex s = 0; s < n; ++s)
            for (SiteIndex t = 0; t < n; ++t) EXPECT_EQ(count[s * n + t], count[t * n + s]);
    }
}

TEST(Lattice, FaceNeighboursOfSiteZero) {
    const World closed = make_world({4, 5, 6}, Boundary::Noflux, 1);
    EXPECT_EQ(face_sites_of(closed.lattice, 0), (std::vector<SiteIndex>{1, 4, 20}));
    const World open = make_world({4, 5, 6}, Boundary::Periodic, 1);
    EXPECT_EQ(face_sites_of(open.lattice, 0), (std::vector<SiteIndex>{3, 1, 16, 4, 100, 20}));
    const World flat = make_world({4, 5, 1}, Boundary::Periodic, 3);
    EXPECT_EQ(face_sites_of(flat.lattice, 0), (std::vector<SiteIndex>{3, 1, 16, 4}));
}

TEST(Lattice, OversizedBoxIsRefusedBeforeAllocating) {
    const SiteIndex huge = SiteIndex{1} << 40;
    EXPECT_THROW(Lattice::make({huge, huge, 2}, {true, true, true}, Neighborhood::make(1, 1)), EngineFault);
    try {
        Lattice::make({huge, huge, 1}, {true, true, true}, Neighborhood::make(0, 1));
        FAIL();
    } catch (const EngineFault& f) {
        EXPECT_EQ(f.text(), "capacity overflow");
    }
}

TEST(Lattice, ZeroSizedAxisHasNoSites) {
    const World w = make_world({0, 4, 4}, Boundary::Periodic, 1);
    EXPECT_EQ(w.lattice.n_sites(), 0u);
}

}  // namespace
}  // namespace morva::testing
