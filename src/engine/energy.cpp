// energy.cpp: the contact table and the change of the core Hamiltonian (contact, volume, surface).
// Reads the world only. The order of the floating-point additions below is part of the dynamics.
#include "energy.hpp"

#include "hamiltonian.hpp"

namespace morva {

ContactMatrix ContactMatrix::make(std::size_t n) {
    ContactMatrix m;
    m.n_types_ = n < 1 ? 1 : n;
    std::size_t entries = 0;
    if (__builtin_mul_overflow(m.stride(), m.stride(), &entries)) raise_fault(__FILE__, __LINE__, "capacity overflow");
    m.values_.assign(entries, 0.0);
    return m;
}

void World::set_contact_matrix(ContactMatrix matrix) { contact = std::move(matrix); }

double World::delta_hamiltonian(SiteIndex site, Label b) const {
    MORVA_CHECK_INDEX(site, lattice.labels.size());
    MORVA_CHECK_INDEX(b, cells.size());
    const Label a = lattice.labels[site];
    if (a == b) return 0.0;
    return delta_hamiltonian(site, a, b, lattice.neighbors(site));
}

double World::delta_hamiltonian(SiteIndex site, Label a, Label b, const NeighborList& nbrs) const {
    return core_delta(
        *this, site, a, b, nbrs.size(), [&](std::size_t i) { return nbrs[i]; },
        [&](Label l) { return contact.padded_type(cells[l].cell_type); }, CurrentTrackers{});
}

}  // namespace morva
