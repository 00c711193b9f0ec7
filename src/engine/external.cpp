// external.cpp: the external force, a constant force per cell type, acting on raw site coordinates or
// (option com_force) on each cell's centre of mass.
#include <algorithm>

#include "energy_change.hpp"

namespace morva {

void World::set_external_potential(CellType cell_type, double fx, double fy, double fz) {
    external.set(cell_type, fx, fy, fz);
}

// Raw form: each site has the energy -F . r at its raw coordinates r.
double ExternalTerm::change(const Lattice& lattice, const Cell* cells, SiteIndex site, Label new_label) const {
    const Label old_label = lattice.labels[site];
    if (new_label == old_label) return 0.0;
    const auto& f_old = force_of(cells[old_label].cell_type);
    const auto& f_new = force_of(cells[new_label].cell_type);
    const Coords c = lattice.coords(site);
    const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
    return ((f_old[0] - f_new[0]) * x + (f_old[1] - f_new[1]) * y) + (f_old[2] - f_new[2]) * z;
}

double World::delta_external(SiteIndex site, Label new_label) const {
    const Label old_label = lattice.labels[site];
    if (new_label == old_label) return 0.0;
    if (options.com_force) return delta_com_force(*this, site, old_label, new_label, CurrentTrackers{});
    return external.change(lattice, cells.data(), site, new_label);
}

}  // namespace morva
