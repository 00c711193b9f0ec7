// connectivity.cpp: the connectivity veto (settings, gate, local test) and the component counter.
#include "connectivity.hpp"

#include "world.hpp"

namespace morva {

void World::set_connectivity(CellType cell_type, bool on) {
    if (connectivity_by_type.size() <= cell_type) connectivity_by_type.resize(std::size_t{cell_type} + 1, 0);
    connectivity_by_type[cell_type] = on;
}

// The medium is guarded by connectivity_medium alone; a cell by its type's flag, off beyond the table.
bool World::connectivity_applies(Label losing) const {
    if (losing == 0) return connectivity_medium;
    const CellType t = cells[losing].cell_type;
    return t < connectivity_by_type.size() && connectivity_by_type[t] != 0;
}

bool World::would_stay_connected(SiteIndex, Label) const {
    raise_fault(__FILE__, __LINE__, "would_stay_connected is not built yet");
}

}  // namespace morva
