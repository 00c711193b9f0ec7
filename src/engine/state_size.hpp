// state_size.hpp: the heap bytes a driver's state holds (reserved, not just used), so benchmarks can
// report bytes per site and check that stepping never grows them.
#pragma once

#include <vector>

#include "sweep.hpp"

namespace morva {

template <class T>
std::size_t reserved_bytes(const std::vector<T>& v) {
    return v.capacity() * sizeof(T);
}

// The world's members as their lists declare them (members.hpp; hash-map entries are counted by their
// payload only, the map's own nodes and buckets are left out), then the sweep's scratch tables.
inline std::size_t state_bytes(const Morva& m) {
    return heap_bytes(static_cast<const WorldData&>(m.world)) + reserved_bytes(m.type_by_label) +
           reserved_bytes(m.scaled_contact) + reserved_bytes(m.length_energies.energy) +
           reserved_bytes(m.length_energies.known);
}

}  // namespace morva
