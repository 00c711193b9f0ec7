// lattice.hpp: the box of sites, its boundary rule, the configured neighbourhood and the label grid.
// Neighbour lists are computed on demand; nothing per site is stored besides the labels.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "core.hpp"

namespace morva {

// Fixed-capacity list with inline storage: the largest neighbourhood (26 sites) never allocates.
template <class T, std::size_t Capacity>
class InlineList {
public:
    void push_back(T value) { items_[size_++] = value; }
    // Sets the size to n (at most Capacity) and gives the storage to write the n entries into.
    T* fill(std::size_t n) {
        size_ = static_cast<std::uint32_t>(n);
        return items_.data();
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T operator[](std::size_t i) const { return items_[i]; }
    const T* begin() const { return items_.data(); }
    const T* end() const { return items_.data() + size_; }

private:
    std::array<T, Capacity> items_;
    std::uint32_t size_ = 0;
};

using NeighborList = InlineList<SiteIndex, 26>;

struct Offset {
    std::int64_t dx, dy, dz;
};

struct Neighborhood {
    std::vector<Offset> offsets;

    // z_reach: 1 for a box of several layers, 0 for a single layer. Offsets are listed with dz
    // outermost, then dy, then dx, each ascending; the order fixes every neighbour visit.
    static Neighborhood make(std::int64_t z_reach, std::uint8_t order);
};

struct Coords {
    SiteIndex x, y, z;
};

// Unsigned division by a divisor fixed at construction. For dividends below 2^32 it multiplies by a
// precomputed reciprocal (exact for every 32-bit dividend and divisor); otherwise it divides.
class Divider {
public:
    Divider() = default;
    Divider(std::uint64_t divisor, bool dividends_fit_32_bits);
    std::uint64_t quotient(std::uint64_t n) const {
        if (use_reciprocal_) return static_cast<std::uint64_t>((static_cast<unsigned __int128>(reciprocal_) * n) >> 64);
        return divisor_ <= 1 ? n : n / divisor_;
    }

private:
    std::uint64_t divisor_ = 1;
    std::uint64_t reciprocal_ = 0;
    bool use_reciprocal_ = false;
};

// Box sizes and what the hot loop derives from them. Small and copyable: a sweep keeps a local copy,
// which the compiler can hold in registers because no store to the world can alias it.
struct Geometry {
    std::array<SiteIndex, 3> dims{};
    std::array<SiteIndex, 3> reach{};  // largest |d| per axis over the offsets (0 or 1)
    std::array<SiteIndex, 3> span{};   // interior positions per axis: dims - 2 * reach, or 0
    Divider by_nx, by_ny;

    Coords coords(SiteIndex site) const {
        const SiteIndex row = by_nx.quotient(site);
        const SiteIndex layer = by_ny.quotient(row);
        return {site - row * dims[0], row - layer * dims[1], layer};
    }

    // True when every offset lands inside the box without wrapping: the list is site + linear offsets.
    // The same for a single layer: one division, and z is 0.
    Coords flat_coords(SiteIndex site) const {
        const SiteIndex row = by_nx.quotient(site);
        return {site - row * dims[0], row, 0};
    }

    // reach <= x < dims - reach as one unsigned comparison per axis.
    bool is_interior(const Coords& c) const {
        return (unsigned{c.x - reach[0] < span[0]} & unsigned{c.y - reach[1] < span[1]} &
                unsigned{c.z - reach[2] < span[2]}) != 0;
    }

    // Calls visit(site, coords) for every site in index order, x fastest: no site needs dividing out.
    // A box with an empty axis has no sites and costs nothing, however long its other sides.
    template <class Visit>
    void for_each_site(Visit&& visit) const {
        if (dims[0] == 0 || dims[1] == 0 || dims[2] == 0) return;
        SiteIndex site = 0;
        for (SiteIndex z = 0; z < dims[2]; ++z)
            for (SiteIndex y = 0; y < dims[1]; ++y)
                for (SiteIndex x = 0; x < dims[0]; ++x, ++site) visit(site, Coords{x, y, z});
    }
};

// Calls visit(neighbour) for each face neighbour of `site` at c, in the order x-1, x+1, y-1, y+1, z-1,
// z+1 (z only for several layers). An axis wraps where `wraps` says so; otherwise its closed faces
// have nothing beyond them. A wrapped axis of length 1 gives the site itself, twice.
template <class Visit>
inline void for_each_face(const std::array<SiteIndex, 3>& dims, const std::array<bool, 3>& wraps, SiteIndex site,
                          const Coords& c, Visit&& visit) {
    const std::array<SiteIndex, 3> at{c.x, c.y, c.z};
    const std::array<SiteIndex, 3> stride{1, dims[0], dims[0] * dims[1]};
    const int axes = dims[2] > 1 ? 3 : 2;
    for (int axis = 0; axis < axes; ++axis) {
        const SiteIndex across = (dims[axis] - 1) * stride[axis];  // from one face to the opposite one
        if (at[axis] > 0) visit(site - stride[axis]);
        else if (wraps[axis]) visit(site + across);
        if (at[axis] + 1 < dims[axis]) visit(site + stride[axis]);
        else if (wraps[axis]) visit(site - across);
    }
}

// The moves of a site near a face along each axis, from which its neighbour list is formed: entry
// [3 * axis + step] for the steps -1, 0, +1 (the site delta, and whether the move stays in the box).
struct FaceShares {
    std::array<SiteIndex, 9> share{};
    std::array<bool, 9> present{};
    SiteIndex at(const std::array<std::uint8_t, 3>& steps) const {
        return share[steps[0]] + share[steps[1]] + share[steps[2]];
    }
    bool has(const std::array<std::uint8_t, 3>& steps) const {
        return (unsigned{present[steps[0]]} & unsigned{present[steps[1]]} & unsigned{present[steps[2]]}) != 0;
    }
};

struct Lattice {
    std::vector<Label> labels;
    Neighborhood neighborhood;
    std::array<SiteIndex, 3> dims{};
    std::array<bool, 3> periodic{};

    // Derived at construction, for the hot loop.
    std::vector<std::int64_t> linear_offsets;  // site delta of each offset where no axis wraps or ends
    Geometry geometry;
    std::vector<std::uint64_t> interior_bits;  // one bit per site: is_interior, read without dividing
    // Per offset, the step (0, 1, 2 for -1, 0, +1) along each axis, as indices into a 3 x 3 table.
    std::vector<std::array<std::uint8_t, 3>> offset_steps;
    std::array<bool, 9> steps_used{};  // the steps some offset takes
    // The offsets are the whole block within reach but its centre, in the listed order (dz, dy, dx):
    // a boundary list whose steps all exist is then three nested loops over the axis shares.
    bool full_block = false;
    // The row stride nx where the offsets are the flat 8-neighbour block (-nx - 1, -nx, -nx + 1, -1, 1,
    // nx - 1, nx, nx + 1), else 0: an interior site's neighbours are then three rows of three.
    std::int64_t flat_block_row = 0;
    // Neighbourhoods of at most 32 offsets: bit j of offset_adjacency[i] is set when offset j minus
    // offset i is itself an offset. For a site at least two reaches from every face (is_deep), that
    // is exactly when its neighbours i and j are listed as each other's neighbours.
    std::vector<std::uint32_t> offset_adjacency;
    std::array<SiteIndex, 3> deep_span{};  // per axis: dims - 4 * reach, or 0
    // A site's list depends only on which faces it lies on: per axis the first position, an inner one
    // or the last (face_class, 27 classes). Per class, its list as site deltas (face_stride apart) and
    // its length, so that a target near a face takes its list as an interior one does, with nothing
    // to wrap or clip. Deltas may repeat, or be 0, in boxes narrower than the neighbourhood.
    static constexpr std::size_t face_stride = 26;
    std::vector<std::int64_t> face_offsets;
    std::vector<std::uint8_t> face_counts;

    std::size_t face_class(const Coords& c) const {
        const auto along = [this](SiteIndex at, int axis) {
            return std::size_t{at != 0} + std::size_t{at + 1 == dims[axis]};
        };
        return along(c.x, 0) + 3 * (along(c.y, 1) + 3 * along(c.z, 2));
    }

    bool is_deep(const Coords& c) const {
        const std::array<SiteIndex, 3>& r = geometry.reach;
        // One branch for the three tests: unsigned & rather than &&
        return (unsigned{c.x - 2 * r[0] < deep_span[0]} & unsigned{c.y - 2 * r[1] < deep_span[1]} &
                unsigned{c.z - 2 * r[2] < deep_span[2]}) != 0;
    }

    // Refuses a box whose site count or byte size overflows before allocating anything.
    static Lattice make(std::array<SiteIndex, 3> dims, std::array<bool, 3> periodic, Neighborhood neighborhood);
    // The state a lattice holds: its size, boundaries, neighbourhood and labels; every other table is
    // derived from these by make.
    bool same_state(const Lattice& o) const {
        return dims == o.dims && periodic == o.periodic && labels == o.labels &&
               std::equal(neighborhood.offsets.begin(), neighborhood.offsets.end(), o.neighborhood.offsets.begin(),
                          o.neighborhood.offsets.end(), [](const Offset& a, const Offset& b) {
                              return a.dx == b.dx && a.dy == b.dy && a.dz == b.dz;
                          });
    }
    // The heap bytes of the labels and the offset tables the sweeps read (reserved, not just used).
    std::size_t heap_bytes() const {
        const auto reserved = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
        return reserved(labels) + reserved(interior_bits) + reserved(linear_offsets) + reserved(offset_steps) +
               reserved(neighborhood.offsets) + reserved(face_offsets) + reserved(face_counts);
    }

    SiteIndex n_sites() const { return labels.size(); }
    SiteIndex nx() const { return dims[0]; }
    SiteIndex ny() const { return dims[1]; }
    SiteIndex nz() const { return dims[2]; }
    SiteIndex site_of(SiteIndex x, SiteIndex y, SiteIndex z) const { return x + dims[0] * (y + dims[1] * z); }
    Coords coords(SiteIndex site) const { return geometry.coords(site); }
    bool is_interior(const Coords& c) const { return geometry.is_interior(c); }
    bool is_interior_site(SiteIndex site) const { return (interior_bits[site >> 6] >> (site & 63)) & 1; }

    NeighborList neighbors(SiteIndex site) const;
    NeighborList neighbors(SiteIndex site, const Coords& c) const {
        if (is_interior(c)) return interior_neighbors(site);
        NeighborList list;
        const std::size_t cls = face_class(c);
        const std::int64_t* deltas = face_offsets.data() + cls * face_stride;
        for (std::size_t i = 0; i < face_counts[cls]; ++i)
            list.push_back(static_cast<SiteIndex>(static_cast<std::int64_t>(site) + deltas[i]));
        return list;
    }
    NeighborList interior_neighbors(SiteIndex site) const {
        NeighborList list;
        for (const std::int64_t d : linear_offsets) list.push_back(static_cast<SiteIndex>(static_cast<std::int64_t>(site) + d));
        return list;
    }
    // The list of a site near a face worked out from the boundary rule: what fills the face-class lists.
    NeighborList boundary_neighbors(const Coords& c) const { return boundary_neighbors(face_shares(c)); }
    NeighborList boundary_neighbors(const FaceShares& f) const;
    FaceShares face_shares(const Coords& c) const;
    void fill_face_lists();
    // Whether a site with these shares lists every offset: its list is then offset_steps in order.
    bool lists_every_offset(const FaceShares& f) const {
        unsigned all = 1;
        for (int j = 0; j < 9; ++j) all &= unsigned{f.present[j]} | unsigned{!steps_used[j]};
        return all != 0;
    }

    template <class Visit>
    void for_each_site(Visit&& visit) const {
        geometry.for_each_site(visit);
    }
    // Face neighbours under the box's own boundary rule (see morva::for_each_face).
    template <class Visit>
    void for_each_face(SiteIndex site, Visit&& visit) const {
        ::morva::for_each_face(dims, periodic, site, coords(site), visit);
    }
};

}  // namespace morva
