// energy.cpp: the contact table and the change of the core Hamiltonian (contact, volume, surface).
// Reads the world only. The order of the floating-point additions below is part of the dynamics.
#include "energy.hpp"

#include "world.hpp"

namespace morva {

ContactMatrix ContactMatrix::make(std::size_t n) {
    ContactMatrix m;
    m.n_types = n < 1 ? 1 : n;
    m.values.assign(m.n_types * m.n_types, 0.0);
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
    // Volume of the losing cell, then of the gaining one; V +- 1 is formed as an integer first.
    double energy = 0.0;
    if (a != 0) {
        const Cell& c = cells[a];
        const double d1 = static_cast<double>(c.volume - 1) - c.target_volume;
        const double d0 = static_cast<double>(c.volume) - c.target_volume;
        energy += c.lambda_volume * (d1 * d1 - d0 * d0);
    }
    if (b != 0) {
        const Cell& c = cells[b];
        const double d1 = static_cast<double>(c.volume + 1) - c.target_volume;
        const double d0 = static_cast<double>(c.volume) - c.target_volume;
        energy += c.lambda_volume * (d1 * d1 - d0 * d0);
    }
    if (surface_active) {
        for (const SurfaceDelta& e : surface_deltas(site, a, b, nbrs)) {
            if (e.id == 0) continue;
            const Cell& c = cells[e.id];
            const double d1 = static_cast<double>(c.surface + e.change) - c.target_surface;
            const double d0 = static_cast<double>(c.surface) - c.target_surface;
            energy += c.lambda_surface * (d1 * d1 - d0 * d0);
        }
    }
    // Contact, summed on its own and added last. Types outside the table have zero energy.
    const std::size_t n = contact.n_types;
    const std::size_t ta = cells[a].cell_type, tb = cells[b].cell_type;
    const double* row_a = ta < n ? &contact.values[ta * n] : nullptr;
    const double* row_b = tb < n ? &contact.values[tb * n] : nullptr;
    double contact_part = 0.0;
    for (const SiteIndex t : nbrs) {
        if (t == site) continue;  // a site is never in contact with itself
        const Label l = lattice.labels[t];
        const std::size_t tl = cells[l].cell_type;
        const double gained = (l != b && row_b && tl < n) ? row_b[tl] : 0.0;
        const double lost = (l != a && row_a && tl < n) ? row_a[tl] : 0.0;
        contact_part += gained - lost;
    }
    return energy + contact_part;
}

}  // namespace morva
