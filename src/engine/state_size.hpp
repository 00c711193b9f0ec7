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

// Per-site arrays, per-cell records and per-type tables; hash-map entries are counted by their
// payload only (the map's own nodes and buckets are left out).
inline std::size_t state_bytes(const Morva& m) {
    const World& w = m.world;
    const Lattice& lat = w.lattice;
    std::size_t bytes = reserved_bytes(lat.labels) + reserved_bytes(lat.interior_bits) +
                        reserved_bytes(lat.linear_offsets) + reserved_bytes(lat.offset_steps) +
                        reserved_bytes(lat.neighborhood.offsets) + reserved_bytes(lat.face_offsets) +
                        reserved_bytes(lat.face_counts);
    bytes += reserved_bytes(w.cells) + w.contact.bytes();
    for (const Field& f : w.fields) {
        bytes += reserved_bytes(f.conc) + reserved_bytes(f.scratch) + reserved_bytes(f.secretion_by_label) +
                 reserved_bytes(f.secretion_rate) +
                 reserved_bytes(f.chemotaxis_lambda) + reserved_bytes(f.occupancy_kd) +
                 reserved_bytes(f.occupancy_hill) + reserved_bytes(f.occupancy_scale) +
                 f.cell_secretion_scale.size() * (sizeof(Label) + sizeof(double));
    }
    bytes += reserved_bytes(w.connectivity_by_type) + reserved_bytes(w.membrane_distance) +
             reserved_bytes(w.membrane_anchored_by_type) + reserved_bytes(w.junction_by_type) +
             reserved_bytes(w.length_target_by_type) + reserved_bytes(w.length_lambda_by_type) +
             reserved_bytes(w.external_potential_by_type);
    bytes += reserved_bytes(m.type_by_label) + reserved_bytes(m.scaled_contact) +
             reserved_bytes(m.length_energies.energy) + reserved_bytes(m.length_energies.known);
    return bytes;
}

}  // namespace morva
