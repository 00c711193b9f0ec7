// length.cpp: the length constraint. A cell's length comes from its trackers in closed form, so the
// term never visits a cell's sites. Reads the lattice and the cell table only, apart from its setter.
//
// Every floating-point operation below is written in the order that fixes the last bit of a length:
//   means m = sum / n; covariances Cxx = sum_xx / n - mx*mx, Cxy = sum_xy / n - mx*my, ...;
//   p1 = (Cxy*Cxy + Cxz*Cxz) + Cyz*Cyz;
//   q = ((Cxx + Cyy) + Czz) / 3;
//   s = (((2*p1 + (Cxx-q)*(Cxx-q)) + (Cyy-q)*(Cyy-q)) + (Czz-q)*(Czz-q)) / 6;
//   B = (C - q*I) divided element by element by p = sqrt(s);
//   det B = Bxx*(Byy*Bzz - Byz*Byz) - Bxy*(Bxy*Bzz - Byz*Bxz) + Bxz*(Bxy*Byz - Byy*Bxz), left to right;
//   lambda1 = q + ((2*p) * cos(acos(clamp(det B / 2, -1, 1)) / 3));
//   length = sqrt(12 * max(lambda1, 0)), a NaN lambda1 counting as 0;
//   cell energy = lambda * (d*d) with d = length - target.
#include "length.hpp"

#include <algorithm>
#include <cmath>

#include "world.hpp"

namespace morva {

namespace {

// Largest eigenvalue of the symmetric 3 x 3 matrix, by the trigonometric closed form.
double largest_eigenvalue(double cxx, double cyy, double czz, double cxy, double cxz, double cyz) {
    const double p1 = (cxy * cxy + cxz * cxz) + cyz * cyz;
    if (p1 == 0.0) return std::fmax(std::fmax(cxx, cyy), czz);  // diagonal; fmax passes over a NaN
    const double q = ((cxx + cyy) + czz) / 3.0;
    const double dxx = cxx - q, dyy = cyy - q, dzz = czz - q;
    const double s = (((2.0 * p1 + dxx * dxx) + dyy * dyy) + dzz * dzz) / 6.0;
    if (s == 0.0) return q;
    const double p = std::sqrt(s);
    const double bxx = dxx / p, byy = dyy / p, bzz = dzz / p;
    const double bxy = cxy / p, bxz = cxz / p, byz = cyz / p;
    const double det = (bxx * (byy * bzz - byz * byz) - bxy * (bxy * bzz - byz * bxz)) + bxz * (bxy * byz - byy * bxz);
    double r = det / 2.0;
    if (r < -1.0) r = -1.0;  // rounding can push |r| past 1; a NaN stays NaN
    else if (r > 1.0) r = 1.0;
    const double phi = std::acos(r) / 3.0;
    return q + (2.0 * p) * std::cos(phi);
}

double length_of(const Trackers& t) {
    return major_axis_length(t.volume, t.sum_x, t.sum_y, t.sum_z, t.sum_xx, t.sum_yy, t.sum_zz, t.sum_xy, t.sum_xz,
                             t.sum_yz);
}

}  // namespace

double major_axis_length(std::int64_t n, double sum_x, double sum_y, double sum_z, double sum_xx, double sum_yy,
                         double sum_zz, double sum_xy, double sum_xz, double sum_yz) {
    if (n < 2) return 0.0;
    const auto count = static_cast<double>(n);
    const double mx = sum_x / count, my = sum_y / count, mz = sum_z / count;
    const double cxx = sum_xx / count - mx * mx, cyy = sum_yy / count - my * my, czz = sum_zz / count - mz * mz;
    const double cxy = sum_xy / count - mx * my, cxz = sum_xz / count - mx * mz, cyz = sum_yz / count - my * mz;
    const double lambda1 = largest_eigenvalue(cxx, cyy, czz, cxy, cxz, cyz);
    return std::sqrt(12.0 * (lambda1 > 0.0 ? lambda1 : 0.0));  // NaN fails the test and counts as 0
}

void World::set_length_constraint(CellType cell_type, double target_length, double lambda) {
    length.set(cell_type, target_length, lambda);
}

double World::cell_length(Label cell_id) const {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    return length_of(cells[cell_id]);
}

// Off beyond the table, below two sites and for lambda == 0 (a NaN lambda takes part).
double LengthTerm::energy(CellType t, const Trackers& m) const {
    if (t >= lambda_by_type.size() || m.volume < 2) return 0.0;
    const double lambda = lambda_by_type[t];
    if (lambda == 0.0) return 0.0;
    const double target = t < target_by_type.size() ? target_by_type[t] : 0.0;
    const double d = length_of(m) - target;
    return lambda * (d * d);
}

double World::length_energy(Label l) const { return length.energy(cells[l].cell_type, cells[l]); }

double World::delta_length(SiteIndex site, Label new_label) const {
    const Label old_label = lattice.labels[site];
    if (new_label == old_label) return 0.0;
    return length.change(lattice, cells.data(), old_label, new_label, lattice.coords(site), length_energy(old_label),
                         length_energy(new_label), options.periodic_shapes);
}

double LengthTerm::change(const Lattice& lattice, const Cell* cells, Label old_label, Label new_label,
                          const Coords& c, double old_now, double new_now, bool unwrap) const {
    const Cell& from = cells[old_label];
    const Cell& to = cells[new_label];
    // The trackers after the flip, formed as apply_flip forms them (each cell seeing the site in its
    // own frame), so the energy after the flip is the one estimated here.
    Trackers from_after = from, to_after = to;
    const double x = static_cast<double>(c.x), y = static_cast<double>(c.y), z = static_cast<double>(c.z);
    if (unwrap) {
        const ShapeFrame frame = ShapeFrame::make(lattice.dims, lattice.periodic, true);
        const Point p_from = frame.place(old_label, from, {x, y, z}), p_to = frame.place(new_label, to, {x, y, z});
        from_after.remove_site(p_from[0], p_from[1], p_from[2]);
        to_after.add_site(p_to[0], p_to[1], p_to[2]);
    } else {
        from_after.remove_site(x, y, z);
        to_after.add_site(x, y, z);
    }
    const double e3 = energy(from.cell_type, from_after);
    const double e4 = energy(to.cell_type, to_after);
    return (e3 + e4) - (old_now + new_now);
}

}  // namespace morva
