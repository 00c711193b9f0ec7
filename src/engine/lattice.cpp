// lattice.cpp: offset lists, box construction and neighbour lists. Writes nothing after construction.
#include "lattice.hpp"

#include <algorithm>
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
    // Modular arithmetic: exact whenever the box has sites (every product then stays below the site
    // count), and free of overflow for an empty box whose other sides are huge.
    const SiteIndex nx = dims[0], ny = dims[1];
    const auto wrap = [](std::int64_t d) { return static_cast<SiteIndex>(d); };
    for (const Offset& o : lat.neighborhood.offsets) {
        lat.linear_offsets.push_back(static_cast<std::int64_t>(wrap(o.dx) + nx * (wrap(o.dy) + ny * wrap(o.dz))));
        lat.offset_steps.push_back({static_cast<std::uint8_t>(o.dx + 1), static_cast<std::uint8_t>(3 + o.dy + 1),
                                    static_cast<std::uint8_t>(6 + o.dz + 1)});
        for (const std::uint8_t step : lat.offset_steps.back()) lat.steps_used[step] = true;
        g.reach[0] = std::max<SiteIndex>(g.reach[0], static_cast<SiteIndex>(std::llabs(o.dx)));
        g.reach[1] = std::max<SiteIndex>(g.reach[1], static_cast<SiteIndex>(std::llabs(o.dy)));
        g.reach[2] = std::max<SiteIndex>(g.reach[2], static_cast<SiteIndex>(std::llabs(o.dz)));
    }
    for (int axis = 0; axis < 3; ++axis)
        g.span[axis] = dims[axis] >= 2 * g.reach[axis] ? dims[axis] - 2 * g.reach[axis] : 0;
    std::size_t k = 0;
    bool full = true;
    const auto r = [&g](int axis) { return static_cast<std::int64_t>(g.reach[axis]); };
    for (std::int64_t dz = -r(2); dz <= r(2); ++dz)
        for (std::int64_t dy = -r(1); dy <= r(1); ++dy)
            for (std::int64_t dx = -r(0); dx <= r(0); ++dx) {
                if (dx == 0 && dy == 0 && dz == 0) continue;
                const auto& offsets = lat.neighborhood.offsets;
                full = full && k < offsets.size() && offsets[k].dx == dx && offsets[k].dy == dy && offsets[k].dz == dz;
                ++k;
            }
    lat.full_block = full && k == lat.neighborhood.offsets.size() && k != 0;
    if (lat.full_block && g.reach == std::array<SiteIndex, 3>{1, 1, 0}) lat.flat_block_row = static_cast<std::int64_t>(nx);
    const auto& offsets = lat.neighborhood.offsets;
    if (offsets.size() <= 32) {
        for (const Offset& from : offsets) {
            std::uint32_t bits = 0;
            for (std::size_t j = 0; j < offsets.size(); ++j)
                for (const Offset& o : offsets)
                    if (offsets[j].dx - from.dx == o.dx && offsets[j].dy - from.dy == o.dy && offsets[j].dz - from.dz == o.dz)
                        bits |= std::uint32_t{1} << j;
            lat.offset_adjacency.push_back(bits);
        }
    }
    for (int axis = 0; axis < 3; ++axis)
        lat.deep_span[axis] = dims[axis] >= 4 * g.reach[axis] ? dims[axis] - 4 * g.reach[axis] : 0;
    lat.interior_bits.assign(n / 64 + 1, 0);
    g.for_each_site([&](SiteIndex site, const Coords& c) {
        if (g.is_interior(c)) lat.interior_bits[site >> 6] |= std::uint64_t{1} << (site & 63);
    });
    if (n != 0) lat.fill_face_lists();
    return lat;
}

// Each class's list from one site of the class: the first, second or last position along each axis.
void Lattice::fill_face_lists() {
    face_offsets.assign(27 * face_stride, 0);
    face_counts.assign(27, 0);
    const auto position = [this](std::size_t along, int axis) -> SiteIndex {
        if (along == 0) return 0;
        return along == 2 ? dims[axis] - 1 : std::min<SiteIndex>(1, dims[axis] - 1);
    };
    for (std::size_t cls = 0; cls < 27; ++cls) {
        const Coords c{position(cls % 3, 0), position(cls / 3 % 3, 1), position(cls / 9, 2)};
        if (face_class(c) != cls) continue;  // no position of this box is in the class
        const auto site = static_cast<std::int64_t>(site_of(c.x, c.y, c.z));
        const NeighborList list = boundary_neighbors(c);
        face_counts[cls] = static_cast<std::uint8_t>(list.size());
        for (std::size_t i = 0; i < list.size(); ++i)
            face_offsets[cls * face_stride + i] = static_cast<std::int64_t>(list[i]) - site;
    }
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

// The whole 3 x 3 (x Layers) block around a site but its centre, from the per-axis shares, in the
// listed order; constant bounds let the compiler unroll it.
template <int Layers>
inline void fill_block(const std::array<SiteIndex, 9>& share, SiteIndex* out) {
    constexpr int z_lo = Layers == 3 ? 6 : 7;
    int k = 0;
    for (int sz = z_lo; sz < z_lo + Layers; ++sz)
        for (int sy = 3; sy < 6; ++sy) {
            const SiteIndex zy = share[sz] + share[sy];
            for (int sx = 0; sx < 3; ++sx)
                if (sz != 7 || sy != 4 || sx != 1) out[k++] = zy + share[sx];
        }
}

}  // namespace

// Each axis is moved by -1, 0 and +1 once, giving that axis's share of the site index (or absent at a
// closed face); every offset then adds up three shares instead of wrapping its own coordinates.
FaceShares Lattice::face_shares(const Coords& c) const {
    const std::array<SiteIndex, 3> at{c.x, c.y, c.z};
    const std::array<SiteIndex, 3> stride{1, dims[0], dims[0] * dims[1]};
    FaceShares f;
    for (int axis = 0; axis < 3; ++axis)
        for (int step = 0; step < 3; ++step) {
            SiteIndex moved = 0;
            f.present[3 * axis + step] =
                shift_axis(static_cast<std::int64_t>(at[axis]), step - 1, dims[axis], periodic[axis], moved);
            f.share[3 * axis + step] = moved * stride[axis];
        }
    return f;
}

NeighborList Lattice::boundary_neighbors(const FaceShares& f) const {
    NeighborList list;
    const std::array<SiteIndex, 3>& r = geometry.reach;
    if (full_block && r[0] == 1 && r[1] == 1 && lists_every_offset(f)) {
        if (r[2] == 1) fill_block<3>(f.share, list.fill(26));
        else fill_block<1>(f.share, list.fill(8));
        return list;
    }
    for (const auto& steps : offset_steps)
        if (f.has(steps)) list.push_back(f.at(steps));
    return list;
}

}  // namespace morva
