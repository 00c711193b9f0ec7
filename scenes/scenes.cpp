// scenes.cpp: builders of the shared worlds. Cell ids follow block order, x fastest.
#include "scenes.hpp"

#include <algorithm>

namespace morva::scenes {

World make_world(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t order, double temperature) {
    const bool p = boundary == Boundary::Periodic;
    Lattice lattice = Lattice::make(dims, {p, p, p}, Neighborhood::make(dims[2] >= 2 ? 1 : 0, order));
    return World::make(std::move(lattice), temperature);
}

Morva finalize(World world, const std::vector<std::tuple<CellType, CellType, double>>& contacts, std::uint64_t seed) {
    std::vector<CellType> named;
    for (const auto& [a, b, j] : contacts) named.insert(named.end(), {a, b});
    ContactMatrix m = ContactMatrix::covering(named);
    for (const auto& [a, b, j] : contacts) {
        m.set(a, b, j);
        m.set(b, a, j);
    }
    world.set_contact_matrix(std::move(m));
    world.recompute_trackers();
    return Morva::make(std::move(world), seed);
}

void paint_box(World& w, Label label, std::array<SiteIndex, 3> lo, std::array<SiteIndex, 3> hi) {
    for (SiteIndex z = lo[2]; z < hi[2]; ++z)
        for (SiteIndex y = lo[1]; y < hi[1]; ++y)
            for (SiteIndex x = lo[0]; x < hi[0]; ++x) w.paint(w.lattice.site_of(x, y, z), label);
}

Morva b1_cell_sorting(std::uint64_t seed) {
    World w = make_world({200, 200, 1}, Boundary::Periodic, 2, 20.0);
    for (SiteIndex by = 0; by < 16; ++by)
        for (SiteIndex bx = 0; bx < 16; ++bx) {
            const auto type = static_cast<CellType>(1 + (bx + by) % 2);
            const Label id = w.add_cell(type, 100.0, 1.0, 0.0, 0.0);
            paint_box(w, id, {20 + 10 * bx, 20 + 10 * by, 0}, {30 + 10 * bx, 30 + 10 * by, 1});
        }
    return finalize(std::move(w), {{0, 1, 16.0}, {0, 2, 16.0}, {1, 1, 2.0}, {2, 2, 14.0}, {1, 2, 11.0}}, seed);
}

Morva b2_adhesion_3d(std::uint64_t seed) {
    World w = make_world({100, 100, 100}, Boundary::Periodic, 3, 20.0);
    for (SiteIndex bz = 0; bz < 10; ++bz)
        for (SiteIndex by = 0; by < 10; ++by)
            for (SiteIndex bx = 0; bx < 10; ++bx) {
                const Label id = w.add_cell(1, 500.0, 1.0, 0.0, 0.0);
                paint_box(w, id, {10 + 8 * bx, 10 + 8 * by, 10 + 8 * bz}, {18 + 8 * bx, 18 + 8 * by, 18 + 8 * bz});
            }
    return finalize(std::move(w), {{0, 1, 20.0}, {1, 1, 10.0}}, seed);
}

}  // namespace morva::scenes
