// connectivity.cpp: the connectivity veto (settings, gate, local test). Reads the label grid only.
#include "connectivity.hpp"

#include <algorithm>
#include <bit>

#include "world.hpp"

namespace morva {

void World::set_connectivity(CellType cell_type, bool on) { connectivity.set(cell_type, on); }

void World::set_connectivity_medium(bool on) { connectivity.medium = on; }

// The medium is guarded by connectivity.medium alone; a cell by its type's flag, off beyond the table.
bool World::connectivity_applies(Label losing) const {
    if (losing == 0) return connectivity.medium;
    return connectivity.guards_type(cells[losing].cell_type);
}

namespace {

// Far from every face the neighbours are the site plus the linear offsets, and two of them are
// adjacent exactly when Lattice::offset_adjacency says so: the component holding the first
// same-label neighbour is grown over bit masks, and the test passes when it holds them all.
bool same_label_neighbours_connected(const Lattice& lat, SiteIndex site, Label label) {
    const Label* labels = lat.labels.data();
    const std::int64_t* offsets = lat.linear_offsets.data();
    const std::uint32_t* adjacency = lat.offset_adjacency.data();
    std::uint32_t same = 0;
    for (std::size_t i = 0; i < lat.linear_offsets.size(); ++i)
        same |= std::uint32_t{labels[static_cast<SiteIndex>(static_cast<std::int64_t>(site) + offsets[i])] == label} << i;
    std::uint32_t reached = same & (~same + 1);  // the lowest set bit; none when same is 0
    std::uint32_t frontier = reached;
    while (frontier != 0) {
        const std::uint32_t fresh = adjacency[std::countr_zero(frontier)] & same & ~reached;
        frontier &= frontier - 1;
        reached |= fresh;
        frontier |= fresh;
    }
    return reached == same;
}

}  // namespace

// Local test: the neighbours of `site` that hold `label` must form one component among themselves,
// adjacency being membership in each other's neighbour list (wrapping as the lattice does).
// On a periodic axis of length 1 the site is listed among its own neighbours; such entries are left
// out, because a path through the site being lost would let the cell split.
bool World::would_stay_connected(SiteIndex site, Label label) const {
    if (!lattice.offset_adjacency.empty() && lattice.is_deep(lattice.coords(site)))
        return same_label_neighbours_connected(lattice, site, label);
    NeighborList same;
    for (const SiteIndex s : lattice.neighbors(site))
        if (s != site && lattice.labels[s] == label) same.push_back(s);
    if (same.size() < 2) return true;

    // The counter asks about one popped entry against every other in a row: keep that entry's list.
    NeighborList around;
    SiteIndex around_site = 0;
    bool have_around = false;
    const auto adjacent = [&](SiteIndex a, SiteIndex b) {
        if (!have_around || a != around_site) {
            around = lattice.neighbors(a);
            around_site = a;
            have_around = true;
        }
        return std::find(around.begin(), around.end(), b) != around.end();
    };
    return count_components(std::span<const SiteIndex>(same.begin(), same.size()), adjacent) == 1;
}

}  // namespace morva
