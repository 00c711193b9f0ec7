// external.cpp: the external potential, a constant force per cell type acting on raw coordinates.
#include <algorithm>

#include "by_type.hpp"
#include "world.hpp"

namespace morva {

void World::set_external_potential(CellType cell_type, double fx, double fy, double fz) {
    widest_type = std::max(widest_type, cell_type);
    type_slot(external_potential_by_type, cell_type) = {fx, fy, fz};
}

double World::delta_external(SiteIndex site, Label new_label) const {
    const Label old_label = lattice.labels[site];
    if (new_label == old_label) return 0.0;
    static constexpr std::array<double, 3> none{0.0, 0.0, 0.0};
    const auto force_of = [&](Label l) -> const std::array<double, 3>& {
        const CellType t = cells[l].cell_type;
        return t < external_potential_by_type.size() ? external_potential_by_type[t] : none;
    };
    const auto& f_old = force_of(old_label);
    const auto& f_new = force_of(new_label);
    const Coords c = lattice.coords(site);
    const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
    return ((f_old[0] - f_new[0]) * x + (f_old[1] - f_new[1]) * y) + (f_old[2] - f_new[2]) * z;
}

}  // namespace morva
