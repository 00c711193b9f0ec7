// lattice.cpp: offset lists, box construction and neighbour lists. Writes nothing after construction.
#include "lattice.hpp"

#include <cstdlib>
#include <limits>

namespace morva {

Neighborhood Neighborhood::make(std::int64_t z_reach, std::uint8_t order) {
    const std::int64_t limit = order;
    Neighborhood n;
    for (std::int64_t dz = -z_reach; dz <= z_reach; ++dz)
        for (std::int64_t dy = -1; dy <= 1; ++dy)
            for (std::int64_t dx = -1; dx <= 1; ++dx) {
                if (dx == 0 && dy == 0 && dz == 0) continue;
                if (std::llabs(dx) + std::llabs(dy) + std::llabs(dz) <= limit) n.offsets.push_back({dx, dy, dz});
            }
    return n;
}

Divider::Divider(std::uint64_t divisor, bool dividends_fit_32_bits) : divisor_(divisor) {
    constexpr std::uint64_t max32 = std::numeric_limits<std::uint32_t>::max();
    use_reciprocal_ = dividends_fit_32_bits && divisor >= 2 && divisor <= max32;
    if (use_reciprocal_) reciprocal_ = std::numeric_limits<std::uint64_t>::max() / divisor + 1;
}

Lattice Lattice::make(std::array<SiteIndex, 3> dims, std::array<bool, 3> periodic, Neighborhood neighborhood) {
    SiteIndex n = 1;
    for (const SiteIndex side : dims)
        if (__builtin_mul_overflow(n, side, &n)) raise_fault(__FILE__, __LINE__, "capacity overflow");
    SiteIndex bytes = 0;
    if (__builtin_mul_overflow(n, sizeof(Label), &bytes) ||
        bytes > static_cast<SiteIndex>(std::numeric_limits<std::ptrdiff_t>::max()))
        raise_fault(__FILE__, __LINE__, "capacity overflow");

    Lattice lat;
    lat.neighborhood = std::move(neighborhood);
    lat.dims = dims;
    lat.periodic = periodic;
    lat.labels.assign(n, 0);
    const bool small = n <= (SiteIndex{1} << 32);
    Geometry& g = lat.geometry;
    g.dims = dims;
    g.by_nx = Divider(dims[0], small);
    g.by_ny = Divider(dims[1], small);
    const auto nx = static_cast<std::int64_t>(dims[0]), ny = static_cast<std::int64_t>(dims[1]);
    for (const Offset& o : lat.neighborhood.offsets) {
        lat.linear_offsets.push_back(o.dx + nx * (o.dy + ny * o.dz));
        lat.offset_steps.push_back({static_cast<std::uint8_t>(o.dx + 1), static_cast<std::uint8_t>(3 + o.dy + 1),
                                    static_cast<std::uint8_t>(6 + o.dz + 1)});
        g.reach[0] = std::max<SiteIndex>(g.reach[0], static_cast<SiteIndex>(std::llabs(o.dx)));
        g.reach[1] = std::max<SiteIndex>(g.reach[1], static_cast<SiteIndex>(std::llabs(o.dy)));
        g.reach[2] = std::max<SiteIndex>(g.reach[2], static_cast<SiteIndex>(std::llabs(o.dz)));
    }
    for (int axis = 0; axis < 3; ++axis)
        g.span[axis] = dims[axis] >= 2 * g.reach[axis] ? dims[axis] - 2 * g.reach[axis] : 0;
    lat.interior_bits.assign(n / 64 + 1, 0);
    g.for_each_site([&](SiteIndex site, const Coords& c) {
        if (g.is_interior(c)) lat.interior_bits[site >> 6] |= std::uint64_t{1} << (site & 63);
    });
    return lat;
}

NeighborList Lattice::neighbors(SiteIndex site) const { return neighbors(site, coords(site)); }

namespace {

// Moves coordinate c by d along an axis; false when the position falls off a closed face.
// Offsets reach one step per axis, so a single add or subtract of the size is the Euclidean remainder.
inline bool shift_axis(std::int64_t c, std::int64_t d, SiteIndex size, bool wraps, SiteIndex& out) {
    std::int64_t moved = c + d;
    const auto n = static_cast<std::int64_t>(size);
    if (moved < 0 || moved >= n) {
        if (!wraps) return false;
        moved += moved < 0 ? n : -n;
    }
    out = static_cast<SiteIndex>(moved);
    return true;
}

}  // namespace

// Each axis is moved by -1, 0 and +1 once, giving that axis's share of the site index (or absent at a
// closed face); every offset then adds up three shares instead of wrapping its own coordinates.
NeighborList Lattice::boundary_neighbors(const Coords& c) const {
    const std::array<SiteIndex, 3> at{c.x, c.y, c.z};
    const std::array<SiteIndex, 3> stride{1, dims[0], dims[0] * dims[1]};
    std::array<SiteIndex, 9> share{};  // [3 * axis + step]
    std::array<bool, 9> present{};
    for (int axis = 0; axis < 3; ++axis)
        for (int step = 0; step < 3; ++step) {
            SiteIndex moved = 0;
            present[3 * axis + step] =
                shift_axis(static_cast<std::int64_t>(at[axis]), step - 1, dims[axis], periodic[axis], moved);
            share[3 * axis + step] = moved * stride[axis];
        }
    NeighborList list;
    for (const auto& [sx, sy, sz] : offset_steps)
        if (unsigned{present[sx]} & unsigned{present[sy]} & unsigned{present[sz]}) list.push_back(share[sx] + share[sy] + share[sz]);
    return list;
}

}  // namespace morva
