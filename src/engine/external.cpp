// external.cpp: the external force, a constant force per cell type or per cell, acting on raw site
// coordinates or (option com_force) on each cell's centre of mass.
#include <algorithm>
#include <string>

#include "energy_change.hpp"

namespace morva {

void World::set_external_potential(CellType cell_type, double fx, double fy, double fz) {
    external.set(cell_type, fx, fy, fz);
}

// Raw form: each site has the energy -F . r at its raw coordinates r.
double ExternalTerm::change(const Lattice& lattice, const Cell* cells, SiteIndex site, Label new_label) const {
    const Label old_label = lattice.labels[site];
    if (new_label == old_label) return 0.0;
    const auto& f_old = force_on(old_label, cells[old_label].cell_type);
    const auto& f_new = force_on(new_label, cells[new_label].cell_type);
    const Coords c = lattice.coords(site);
    const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
    return ((f_old[0] - f_new[0]) * x + (f_old[1] - f_new[1]) * y) + (f_old[2] - f_new[2]) * z;
}

void World::set_cell_force(Label cell_id, double fx, double fy, double fz) {
    if (cell_id == 0 || cell_id >= cells.size())
        throw BadRequest("cell_id " + std::to_string(cell_id) + " is not a cell (ids 1 to " +
                         std::to_string(cells.size() - 1) + ")");
    external.set_cell(cell_id, cells.size(), fx, fy, fz);
}

void World::clear_cell_force(Label cell_id) {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    external.clear_cell(cell_id);
}

double World::delta_external(SiteIndex site, Label new_label) const {
    const Label old_label = lattice.labels[site];
    if (new_label == old_label) return 0.0;
    if (options.com_force)
        return external.change_com(lattice, cells.data(), site, old_label, new_label, CurrentTrackers{},
                                   options.periodic_shapes);
    return external.change(lattice, cells.data(), site, new_label);
}

}  // namespace morva
