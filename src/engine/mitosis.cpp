// mitosis.cpp: division of every cell at or above a volume threshold. Appends daughter records,
// rewrites labels directly and ends with a full tracker recomputation; draws no random numbers.
// A cell under the connectivity guard whose plane cut would leave a daughter in pieces is split
// along its own shape instead: a subtree of a breadth-first spanning tree and the rest, both
// connected, the subtree as close to half the cell as the tree allows.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <span>

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

constexpr std::uint32_t no_node = std::numeric_limits<std::uint32_t>::max();

// Breadth-first order of the members (sites in increasing order) reached from members[root] through
// lattice neighbours that are members with include(index); `tree` receives each reached node's parent.
template <class Include>
std::vector<std::uint32_t> breadth_first(const Lattice& lat, std::span<const SiteIndex> members, std::uint32_t root,
                                         Include&& include, std::vector<std::uint32_t>& tree) {
    tree.assign(members.size(), no_node);
    std::vector<std::uint32_t> order{root};
    tree[root] = root;
    for (std::size_t next = 0; next < order.size(); ++next) {
        const std::uint32_t node = order[next];
        for (const SiteIndex s : lat.neighbors(members[node])) {
            const auto at = std::lower_bound(members.begin(), members.end(), s);
            if (at == members.end() || *at != s) continue;
            const auto j = static_cast<std::uint32_t>(at - members.begin());
            if (tree[j] != no_node || !include(j)) continue;
            tree[j] = node;
            order.push_back(j);
        }
    }
    return order;
}

// True when the members labelled `label` form one piece (or none).
bool one_piece(const Lattice& lat, std::span<const SiteIndex> members, Label label) {
    std::vector<std::uint32_t> tree;
    const auto labelled = [&](std::uint32_t j) { return lat.labels[members[j]] == label; };
    const std::size_t count = std::count_if(members.begin(), members.end(), [&](SiteIndex s) { return lat.labels[s] == label; });
    if (count == 0) return true;
    std::uint32_t first = 0;
    while (!labelled(first)) ++first;
    return breadth_first(lat, members, first, labelled, tree).size() == count;
}

// Relabels a connected cell as a subtree of its spanning tree (the daughter) and the rest (the parent).
// A cell already in pieces keeps the plane cut: no split can join what is apart.
void split_along_shape(Lattice& lat, std::span<const SiteIndex> members, Label parent, Label daughter) {
    std::vector<std::uint32_t> tree;
    const auto order = breadth_first(lat, members, 0, [](std::uint32_t) { return true; }, tree);
    const std::size_t n = members.size();
    if (order.size() != n || n < 2) return;
    std::vector<std::size_t> below(n, 1);
    for (std::size_t k = n - 1; k > 0; --k) below[tree[order[k]]] += below[order[k]];
    std::size_t best = 1;
    const auto distance = [&](std::size_t k) { return std::llabs(static_cast<long long>(2 * below[order[k]]) - static_cast<long long>(n)); };
    for (std::size_t k = 2; k < n; ++k)
        if (distance(k) < distance(best)) best = k;
    std::vector<std::uint8_t> in_subtree(n, 0);
    in_subtree[order[best]] = 1;
    for (std::size_t k = best + 1; k < n; ++k) in_subtree[order[k]] = in_subtree[tree[order[k]]];
    for (std::size_t j = 0; j < n; ++j) lat.labels[members[j]] = in_subtree[j] ? daughter : parent;
}

}  // namespace

// One new cell per parent, in the parents' order, with the parent's type and parameters and the
// given target volume; its sites are handed over by the caller.
std::vector<Label> World::add_daughters(std::span<const Label> parents, double reset_target) {
    std::vector<Label> daughters;
    daughters.reserve(parents.size());
    for (const Label parent_id : parents) {
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
        external.add_cell();
        persistence.add_cell();
        // The mother's centre jumps as it halves: its interval starts again.
        if (parent_id < persistence.elapsed.size()) persistence.elapsed[parent_id] = PersistenceTerm::restart;
    }
    return daughters;
}

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

    std::vector<Label> daughters = add_daughters(dividing, reset_target);

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

    std::vector<std::vector<SiteIndex>> guarded(dividing.size());  // sites of the guarded mothers, increasing
    bool any_guarded = false;
    for (std::size_t i = 0; i < dividing.size(); ++i) any_guarded |= connectivity_applies(dividing[i]);
    if (any_guarded) {
        lattice.for_each_site([&](SiteIndex site, const Coords&) {
            Label l = grid[site];
            if (l >= cells.size() || l == 0) return;
            if (l >= position.size()) l = dividing[l - position.size()];  // a daughter: back to its mother
            if (position[l] != not_dividing && connectivity_applies(l)) guarded[position[l]].push_back(site);
        });
        for (std::size_t i = 0; i < dividing.size(); ++i) {
            if (guarded[i].empty()) continue;
            if (!one_piece(lattice, guarded[i], dividing[i]) || !one_piece(lattice, guarded[i], daughters[i]))
                split_along_shape(lattice, guarded[i], dividing[i], daughters[i]);
        }
    }

    for (const Label parent_id : dividing) cells[parent_id].target_volume = reset_target;
    recompute_trackers();
    return daughters;
}

}  // namespace morva
