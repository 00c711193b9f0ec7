// helpers.hpp: reference computations and small world factories for the engine tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "scenes.hpp"

namespace morva::testing {

// The format version a checkpoint's bytes were written in: the 32-bit word after the 8-byte magic.
inline std::uint32_t written_version(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t version = 0;
    std::memcpy(&version, bytes.data() + 8, sizeof version);
    return version;
}


// The core Hamiltonian from scratch: contact over every listed neighbour pair (a site never pairs
// with itself), volume and (when active) surface terms of every cell but the medium.
inline double total_hamiltonian(const World& w) {
    double contact = 0.0;
    const auto& labels = w.lattice.labels;
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s)
        for (const SiteIndex t : w.lattice.neighbors(s))
            if (t != s && labels[t] != labels[s])
                contact += w.contact.at(w.cells[labels[s]].cell_type, w.cells[labels[t]].cell_type);
    double energy = contact / 2.0;
    for (std::size_t i = 1; i < w.cells.size(); ++i) {
        const Cell& c = w.cells[i];
        const double dv = static_cast<double>(c.volume) - c.target_volume;
        energy += c.lambda_volume * dv * dv;
        if (w.surface_active) {
            const double ds = static_cast<double>(c.surface) - c.target_surface;
            energy += c.lambda_surface * ds * ds;
        }
    }
    return energy;
}

// Two cell tables hold the same trackers, record by record.
inline void expect_same_trackers(const std::vector<Cell>& a, const std::vector<Cell>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Cell &x = a[i], &y = b[i];
        SCOPED_TRACE("cell " + std::to_string(i));
        EXPECT_EQ(x.volume, y.volume);
        EXPECT_EQ(x.surface, y.surface);
        EXPECT_EQ(x.sum_x, y.sum_x);
        EXPECT_EQ(x.sum_y, y.sum_y);
        EXPECT_EQ(x.sum_z, y.sum_z);
        EXPECT_EQ(x.sum_xx, y.sum_xx);
        EXPECT_EQ(x.sum_yy, y.sum_yy);
        EXPECT_EQ(x.sum_zz, y.sum_zz);
        EXPECT_EQ(x.sum_xy, y.sum_xy);
        EXPECT_EQ(x.sum_xz, y.sum_xz);
        EXPECT_EQ(x.sum_yz, y.sum_yz);
    }
}

// Every tracker equals what a fresh recomputation gives.
inline void expect_trackers_fresh(World& w) {
    const std::vector<Cell> kept = w.cells;
    const bool surface_active = w.surface_active;
    w.recompute_trackers();
    EXPECT_EQ(surface_active, w.surface_active);
    expect_same_trackers(kept, w.cells);
}

// Like-type share of cell-cell contacts: it grows as the two types of B1 sort out.
inline double like_contact_fraction(const World& w) {
    std::int64_t like = 0, all = 0;
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) {
        const Label l = w.lattice.labels[s];
        if (l == 0) continue;
        for (const SiteIndex t : w.lattice.neighbors(s)) {
            const Label k = w.lattice.labels[t];
            if (k == 0 || k == l) continue;
            ++all;
            like += w.cells[l].cell_type == w.cells[k].cell_type;
        }
    }
    return static_cast<double>(like) / static_cast<double>(all);
}

// A world with n_cells cells painted at random sites (about half the box), trackers recomputed.
inline World random_world(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t order, Label n_cells,
                          std::uint64_t seed, double lambda_surface = 0.0) {
    World w = make_world(dims, boundary, order);
    std::mt19937_64 gen(seed);
    for (Label i = 0; i < n_cells; ++i)
        w.add_cell(static_cast<CellType>(1 + i % 3), 4.0 + static_cast<double>(i % 5), 1.0 + 0.5 * (i % 2),
                   6.0 + static_cast<double>(i % 4), lambda_surface);
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s)
        if (gen() % 2) w.paint(s, static_cast<Label>(gen() % (n_cells + 1)));
    ContactMatrix m = ContactMatrix::make(4);
    for (std::size_t a = 0; a < 4; ++a)
        for (std::size_t b = a; b < 4; ++b) {
            m.set(a, b, 1.0 + 3.0 * a + 1.5 * b);
            m.set(b, a, 1.0 + 3.0 * a + 1.5 * b);
        }
    w.set_contact_matrix(std::move(m));
    w.recompute_trackers();
    return w;
}

inline std::vector<SiteIndex> sites_of(const NeighborList& l) { return {l.begin(), l.end()}; }
inline std::vector<SiteIndex> face_sites_of(const Lattice& lat, SiteIndex site) {
    std::vector<SiteIndex> out;
    lat.for_each_face(site, [&](SiteIndex t) { out.push_back(t); });
    return out;
}

}  // namespace morva::testing
