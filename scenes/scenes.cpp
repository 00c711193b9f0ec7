// scenes.cpp: builders of the shared worlds. Cell ids follow block order, x fastest.
#include "scenes.hpp"

namespace morva::scenes {

Morva b1_cell_sorting(std::uint64_t seed) {
    World w = make_world({200, 200, 1}, Boundary::Periodic, 2, 20.0);
    for (SiteIndex by = 0; by < 16; ++by)
        for (SiteIndex bx = 0; bx < 16; ++bx) {
            const auto type = static_cast<CellType>(1 + (bx + by) % 2);
            const Label id = w.add_cell(type, 100.0, 1.0, 0.0, 0.0);
            w.paint_box(id, {20 + 10 * bx, 20 + 10 * by, 0}, {30 + 10 * bx, 30 + 10 * by, 1});
        }
    return finalize(std::move(w), {{0, 1, 16.0}, {0, 2, 16.0}, {1, 1, 2.0}, {2, 2, 14.0}, {1, 2, 11.0}}, seed);
}

Morva b2_adhesion_3d(std::uint64_t seed) {
    World w = make_world({100, 100, 100}, Boundary::Periodic, 3, 20.0);
    for (SiteIndex bz = 0; bz < 10; ++bz)
        for (SiteIndex by = 0; by < 10; ++by)
            for (SiteIndex bx = 0; bx < 10; ++bx) {
                const Label id = w.add_cell(1, 500.0, 1.0, 0.0, 0.0);
                w.paint_box(id, {10 + 8 * bx, 10 + 8 * by, 10 + 8 * bz}, {18 + 8 * bx, 18 + 8 * by, 18 + 8 * bz});
            }
    return finalize(std::move(w), {{0, 1, 20.0}, {1, 1, 10.0}}, seed);
}

}  // namespace morva::scenes
