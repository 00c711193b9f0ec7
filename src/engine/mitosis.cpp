// mitosis.cpp: division of every cell at or above a volume threshold. Appends daughter records,
// rewrites labels directly and ends with a full tracker recomputation; draws no random numbers.
#include <algorithm>
#include <limits>

#include "world.hpp"

namespace morva {

namespace {

// Sites are placed in each cell's frame (World::site_place): raw coordinates, or under periodic shapes
// unwrapped around the cell's centre, which may lie outside the box.
using Position = std::array<std::int64_t, 3>;

struct Box {
    Position lo{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max(),
                std::numeric_limits<std::int64_t>::max()};
    Position hi{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::min(),
                std::numeric_limits<std::int64_t>::min()};

    std::int64_t extent(int axis) const { return hi[axis] < lo[axis] ? 0 : hi[axis] - lo[axis]; }
};

// The longest side wins; ties go to x before y before z.
int split_axis(const Box& b) {
    const std::int64_t ex = b.extent(0), ey = b.extent(1), ez = b.extent(2);
    if (ez > ex && ez > ey) return 2;
    if (ey > ex) return 1;
    return 0;
}

Position position_of(const Point& p) {
    return {static_cast<std::int64_t>(p[0]), static_cast<std::int64_t>(p[1]), static_cast<std::int64_t>(p[2])};
}

}  // namespace

std::vector<Label> World::divide_cells(double threshold, double reset_target) {
    constexpr std::uint32_t not_dividing = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> position(cells.size(), not_dividing);  // cell id -> index in `dividing`
    std::vector<Label> dividing;
    for (const Cell& c : cells)
        if (c.id != 0 && static_cast<double>(c.volume) >= threshold) {
            position[c.id] = static_cast<std::uint32_t>(dividing.size());
            dividing.push_back(c.id);
        }
    if (dividing.empty()) return {};

    std::vector<Box> boxes(dividing.size());
    const auto& labels = lattice.labels;
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        const Label l = labels[site];
        if (l >= position.size() || position[l] == not_dividing) return;
        Box& b = boxes[position[l]];
        const Position p = position_of(site_place(l, c));
        for (int axis = 0; axis < 3; ++axis) {
            b.lo[axis] = std::min(b.lo[axis], p[axis]);
            b.hi[axis] = std::max(b.hi[axis], p[axis]);
        }
    });

    std::vector<int> axes(dividing.size());
    std::vector<std::int64_t> planes(dividing.size());
    for (std::size_t i = 0; i < dividing.size(); ++i) {
        axes[i] = split_axis(boxes[i]);
        const Box& b = boxes[i];
        // Integer midpoint; an empty box (lo > hi) never meets a site, so its plane is never read.
        planes[i] = b.hi[axes[i]] < b.lo[axes[i]] ? 0 : b.lo[axes[i]] + (b.hi[axes[i]] - b.lo[axes[i]]) / 2;
    }

    std::vector<Label> daughters;
    daughters.reserve(dividing.size());
    for (const Label parent_id : dividing) {
        const Cell& parent = cells[parent_id];
        Cell daughter;
        daughter.id = static_cast<Label>(cells.size());
        daughter.cell_type = parent.cell_type;
        daughter.lambda_volume = parent.lambda_volume;
        daughter.target_surface = parent.target_surface;
        daughter.lambda_surface = parent.lambda_surface;
        daughter.target_volume = reset_target;
        if (daughter.lambda_surface != 0.0) surface_active = true;
        daughters.push_back(daughter.id);
        cells.push_back(daughter);
    }

    // The parents' trackers stay as they were until the recomputation, so every site is placed in
    // the same frame as in the first pass.
    auto& grid = lattice.labels;
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        const Label l = grid[site];
        if (l >= position.size() || position[l] == not_dividing) return;
        const std::uint32_t i = position[l];
        const Position p = position_of(site_place(l, c));
        if (p[axes[i]] > planes[i]) grid[site] = daughters[i];
    });

    for (const Label parent_id : dividing) cells[parent_id].target_volume = reset_target;
    recompute_trackers();
    return daughters;
}

}  // namespace morva
