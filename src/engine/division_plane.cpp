// division_plane.cpp: division of chosen cells, each by a plane of its own. The cut across a side of
// the bounding box through its middle is the one divide_cells makes; a cut through the centre of mass
// takes any normal. Appends daughter records, rewrites labels and ends with a full tracker
// recomputation; draws no random numbers.
#include <algorithm>
#include <limits>
#include <stdexcept>

#include "world.hpp"

namespace morva {

namespace {

using Position = std::array<std::int64_t, 3>;

struct Extent {
    Position lo{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max(),
                std::numeric_limits<std::int64_t>::max()};
    Position hi{std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::min(),
                std::numeric_limits<std::int64_t>::min()};
    Position sum{0, 0, 0};
    std::int64_t count = 0;

    std::int64_t side(int axis) const { return hi[axis] < lo[axis] ? 0 : hi[axis] - lo[axis]; }
    std::int64_t middle(int axis) const { return hi[axis] < lo[axis] ? 0 : lo[axis] + (hi[axis] - lo[axis]) / 2; }
};

// Longest side: ties to x before y before z (divide_cells' rule). Shortest side: among the axes the
// lattice spans (more than one site), ties to x before y before z.
int box_axis(const Extent& e, DivisionPlane::Rule rule, const std::array<SiteIndex, 3>& dims) {
    if (rule == DivisionPlane::Rule::longest_side) {
        if (e.side(2) > e.side(0) && e.side(2) > e.side(1)) return 2;
        return e.side(1) > e.side(0) ? 1 : 0;
    }
    int best = -1;
    for (int axis = 0; axis < 3; ++axis)
        if (dims[axis] > 1 && (best < 0 || e.side(axis) < e.side(best))) best = axis;
    return best < 0 ? 0 : best;
}

}  // namespace

std::vector<Label> World::divide_chosen(const std::vector<Label>& ids, const std::vector<DivisionPlane>& planes,
                                        double reset_target) {
    if (ids.size() != planes.size()) throw std::invalid_argument("divide_chosen: one plane per cell");
    constexpr std::uint32_t not_dividing = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> position(cells.size(), not_dividing);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i] == 0 || ids[i] >= cells.size() || position[ids[i]] != not_dividing)
            throw std::invalid_argument("divide_chosen: ids must be distinct cells");
        position[ids[i]] = static_cast<std::uint32_t>(i);
    }
    if (ids.empty()) return {};

    std::vector<Extent> extents(ids.size());
    const auto& labels = lattice.labels;
    const auto place = [this](Label l, const Coords& c) {
        const Point p = site_place(l, c);
        return Position{static_cast<std::int64_t>(p[0]), static_cast<std::int64_t>(p[1]),
                        static_cast<std::int64_t>(p[2])};
    };
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        const Label l = labels[site];
        if (l >= position.size() || position[l] == not_dividing) return;
        Extent& e = extents[position[l]];
        const Position p = place(l, c);
        for (int axis = 0; axis < 3; ++axis) {
            e.lo[axis] = std::min(e.lo[axis], p[axis]);
            e.hi[axis] = std::max(e.hi[axis], p[axis]);
            e.sum[axis] += p[axis];
        }
        ++e.count;
    });

    // Each cut as "daughter when dot(normal, p) > offset".
    std::vector<std::array<double, 3>> normals(ids.size());
    std::vector<double> offsets(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Extent& e = extents[i];
        if (planes[i].rule == DivisionPlane::Rule::through_centre) {
            normals[i] = planes[i].normal;
            double offset = 0.0;
            for (int axis = 0; axis < 3; ++axis)
                if (e.count > 0)
                    offset += normals[i][axis] * (static_cast<double>(e.sum[axis]) / static_cast<double>(e.count));
            offsets[i] = offset;
        } else {
            const int axis = box_axis(e, planes[i].rule, lattice.dims);
            normals[i] = {0.0, 0.0, 0.0};
            normals[i][axis] = 1.0;
            offsets[i] = static_cast<double>(e.middle(axis));
        }
    }

    std::vector<Label> daughters = add_daughters(ids, reset_target);

    auto& grid = lattice.labels;
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        const Label l = grid[site];
        if (l >= position.size() || position[l] == not_dividing) return;
        const std::uint32_t i = position[l];
        const Position p = place(l, c);
        const auto& n = normals[i];
        const double along = n[0] * static_cast<double>(p[0]) + n[1] * static_cast<double>(p[1]) +
                             n[2] * static_cast<double>(p[2]);
        if (along > offsets[i]) grid[site] = daughters[i];
    });

    for (const Label parent_id : ids) cells[parent_id].target_volume = reset_target;
    recompute_trackers();
    return daughters;
}

}  // namespace morva
