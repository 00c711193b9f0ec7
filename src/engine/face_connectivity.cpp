// face_connectivity.cpp: the connectivity veto under face connectivity. A guarded cell may join its
// pieces only through faces, whatever neighbourhood the copies use: the losing cell's face neighbours
// of the site must stay joined through faces inside the 3 x 3 (x 3) block around it, and the gaining
// cell must already touch the site through a face. A path through the site can then always be
// rerouted inside the block, so a face-connected cell stays face-connected.
#include <array>

#include "world.hpp"

namespace morva {

namespace {

// The block around a site: index 9 * (dz + 1) + 3 * (dy + 1) + (dx + 1); the centre is 13.
constexpr int block_size = 27;
constexpr int centre = 13;

constexpr int block_index(int dx, int dy, int dz) { return 9 * (dz + 1) + 3 * (dy + 1) + (dx + 1); }

// Moves a coordinate one step along an axis; false when it falls off a closed face.
bool step_axis(SiteIndex at, int d, SiteIndex size, bool wraps, SiteIndex& out) {
    if (d < 0 && at == 0) {
        if (!wraps) return false;
        out = size - 1;
    } else if (d > 0 && at + 1 == size) {
        if (!wraps) return false;
        out = 0;
    } else {
        out = static_cast<SiteIndex>(static_cast<std::int64_t>(at) + d);
    }
    return true;
}

}  // namespace

bool World::face_connectivity_allows(SiteIndex site, Label losing, Label gaining) const {
    const bool guard_losing = connectivity_applies(losing), guard_gaining = connectivity_applies(gaining);
    if (!guard_losing && !guard_gaining) return true;

    // Labels of the block; absent positions (beyond a closed face, or the site itself seen through a
    // wrapped axis shorter than 3) hold no cell's label.
    const Coords c = lattice.coords(site);
    const int z_reach = lattice.nz() > 1 ? 1 : 0;
    std::array<bool, block_size> is_losing{}, is_gaining{};
    for (int dz = -z_reach; dz <= z_reach; ++dz)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                SiteIndex x = 0, y = 0, z = 0;
                if (!step_axis(c.x, dx, lattice.nx(), lattice.periodic[0], x) ||
                    !step_axis(c.y, dy, lattice.ny(), lattice.periodic[1], y) ||
                    !step_axis(c.z, dz, lattice.nz(), lattice.periodic[2], z))
                    continue;
                const SiteIndex t = lattice.site_of(x, y, z);
                if (t == site) continue;
                const Label l = lattice.labels[t];
                is_losing[block_index(dx, dy, dz)] = l == losing;
                is_gaining[block_index(dx, dy, dz)] = l == gaining;
            }
    const std::array<int, 6> faces{block_index(-1, 0, 0), block_index(1, 0, 0), block_index(0, -1, 0),
                                   block_index(0, 1, 0),  block_index(0, 0, -1), block_index(0, 0, 1)};
    const int n_faces = z_reach ? 6 : 4;

    if (guard_gaining) {
        bool touches = false;
        for (int f = 0; f < n_faces; ++f) touches |= is_gaining[faces[f]];
        if (!touches) return false;
    }
    if (!guard_losing) return true;

    // Flood fill through faces over the losing cell's positions, from its first face neighbour.
    int first = -1, n_face_losing = 0;
    for (int f = 0; f < n_faces; ++f)
        if (is_losing[faces[f]]) {
            if (first < 0) first = faces[f];
            ++n_face_losing;
        }
    if (n_face_losing < 2) return true;
    std::array<bool, block_size> reached{};
    std::array<int, block_size> stack{};
    int top = 0;
    stack[top++] = first;
    reached[first] = true;
    while (top != 0) {
        const int p = stack[--top];
        const int px = p % 3, py = (p / 3) % 3, pz = p / 9;
        const std::array<std::array<int, 3>, 6> moves{{{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}}};
        for (const auto& m : moves) {
            const int qx = px + m[0], qy = py + m[1], qz = pz + m[2];
            if (qx < 0 || qx > 2 || qy < 0 || qy > 2 || qz < 0 || qz > 2) continue;
            const int q = 9 * qz + 3 * qy + qx;
            if (q == centre || reached[q] || !is_losing[q]) continue;
            reached[q] = true;
            stack[top++] = q;
        }
    }
    for (int f = 0; f < n_faces; ++f)
        if (is_losing[faces[f]] && !reached[faces[f]]) return false;
    return true;
}

}  // namespace morva
