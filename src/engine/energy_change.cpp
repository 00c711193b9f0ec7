// energy_change.cpp: the change of the core Hamiltonian (contact, volume, surface) for one flip, as the
// world answers it outside a sweep. Reads the world only.
#include "energy_change.hpp"

namespace morva {

void World::set_contact_matrix(ContactMatrix matrix) { contact = std::move(matrix); }

double World::delta_hamiltonian(SiteIndex site, Label b) const {
    MORVA_CHECK_INDEX(site, lattice.labels.size());
    MORVA_CHECK_INDEX(b, cells.size());
    const Label a = lattice.labels[site];
    if (a == b) return 0.0;
    const NeighborList nbrs = lattice.neighbors(site);
    return core_delta(
        *this, site, a, b, nbrs.size(), [&](std::size_t i) { return nbrs[i]; },
        [&](Label l) { return contact.padded_type(cells[l].cell_type); }, CurrentTrackers{},
        DoubleContact{contact});
}

}  // namespace morva
