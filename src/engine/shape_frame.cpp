// shape_frame.cpp: periodic shapes on the world: reported centres, where a site counts for a cell,
// and the rebuild of the unwrapped sums from the grid.
#include <cmath>
#include <numbers>

#include "world.hpp"

namespace morva {

Point World::cell_centre(Label cell_id) const {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    const Cell& c = cells[cell_id];
    const double v = static_cast<double>(c.volume);
    if (v == 0.0) return {0.0, 0.0, 0.0};
    const Point centre{c.sum_x / v, c.sum_y / v, c.sum_z / v};
    return cell_id == 0 ? centre : shape_frame().wrapped(centre);
}

Point World::site_place(Label cell_id, const Coords& c) const {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    const Point raw{static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z)};
    return shape_frame().place(cell_id, cells[cell_id], raw);
}

void World::wrap_centres_into_box(std::span<std::uint8_t> known) {
    const ShapeFrame frame = shape_frame();
    if (!frame.unwraps()) return;
    for (std::size_t i = 1; i < cells.size(); ++i)
        if (frame.wrap_into_box(cells[i]) && i < known.size()) known[i] = 0;
}

// The sums of a cell must not depend on where the rebuild starts. The circular mean of the sites'
// positions on each periodic axis is such a reference; for a cell narrower than half the box it lies
// within the cell, so the images nearest to it are the cell's own unwrapping, the same images the
// copies keep (up to whole-box shifts, which wrap_centres_into_box settles).
void World::recompute_unwrapped_trackers() {
    const ShapeFrame frame = shape_frame();
    const auto& labels = lattice.labels;
    constexpr double turn = 2.0 * std::numbers::pi;
    std::vector<std::array<double, 6>> circle(cells.size(), std::array<double, 6>{});  // cos, sin per axis
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        const Label l = labels[site];
        MORVA_CHECK_INDEX(l, cells.size());
        if (l == 0) return;
        const Point p{static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z)};
        for (int axis = 0; axis < 3; ++axis) {
            if (frame.side[axis] == 0) continue;
            const double angle = turn * p[axis] / frame.side[axis];
            circle[l][2 * axis] += std::cos(angle);
            circle[l][2 * axis + 1] += std::sin(angle);
        }
    });
    std::vector<Point> reference(cells.size(), Point{});
    for (std::size_t l = 1; l < cells.size(); ++l)
        for (int axis = 0; axis < 3; ++axis)
            if (frame.side[axis] != 0)
                reference[l][axis] =
                    frame.side[axis] * std::atan2(circle[l][2 * axis + 1], circle[l][2 * axis]) / turn;
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        const Label l = labels[site];
        Cell& cell = cells[l];
        Point p{static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z)};
        if (l != 0)
            for (int axis = 0; axis < 3; ++axis)
                if (frame.side[axis] != 0) p[axis] = frame.image(axis, p[axis], reference[l][axis]);
        cell.add_site(p[0], p[1], p[2]);
        for (const SiteIndex t : lattice.neighbors(site, c)) cell.surface += labels[t] != l;
    });
    wrap_centres_into_box();
}

}  // namespace morva
