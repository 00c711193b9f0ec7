// persistence.cpp: persistent motion. The energy change of a copy, the per-type settings and the
// per-cell directions, and the turns of the directions between steps.
//
// Draws, all from the world's generator and only while some type has lambda_dir (so a world without
// the term draws exactly as before):
//   - before a step, each cell of a type with lambda_dir, with sites and without a direction, in id
//     order, draws one: in a flat world (one layer) an angle t = 2 pi u, p = (cos t, sin t, 0); in 3-D
//     z = 2 u - 1 and f = 2 pi v (u first), p = (r cos f, r sin f, z) with r = sqrt(1 - z^2): uniform
//     on the circle or the sphere. A new cell (add_cell, a division) and every cell of a type when the
//     term is first given to it get their directions this way;
//   - after a step, each such cell whose interval is complete and whose centre moved turns p to its
//     displacement e over the interval and then adds noise of width w = pi (1 - persistence): in a
//     flat world p is e rotated by an angle (2 u - 1) w (one draw); in 3-D p lies at angle b from e
//     with cos b = 1 - u (1 - cos w) and azimuth f = 2 pi v about e (two draws, u first), uniform over
//     the cap of angular radius w around e. persistence 1 keeps e exactly; 0 gives a fresh uniform
//     direction. The draws are made whatever the persistence. A cell that did not move keeps its p
//     and draws nothing.
// The displacement is the change of the centre the trackers give, taken to its nearest image on
// periodic axes, so a cell crossing a seam (with periodic shapes) moves by what it moved.
#include <charconv>
#include <cmath>
#include <numbers>
#include <string>

#include "persistence.hpp"

namespace morva {

namespace {

// p . (toward - from) / |toward - from|; nothing when the two points coincide.
double aligned(const std::array<double, 3>& p, const Point& from, const Point& toward) {
    const double d0 = toward[0] - from[0], d1 = toward[1] - from[1], d2 = toward[2] - from[2];
    const double length2 = (d0 * d0 + d1 * d1) + d2 * d2;
    if (length2 == 0.0) return 0.0;
    return ((p[0] * d0 + p[1] * d1) + p[2] * d2) / std::sqrt(length2);
}

Point centre_of(const Trackers& t) {
    const double n = static_cast<double>(t.volume);
    return {t.sum_x / n, t.sum_y / n, t.sum_z / n};
}

bool flat(const World& w) { return w.lattice.nz() == 1; }

std::array<double, 3> random_direction(bool in_plane, Xoshiro256pp& rng) {
    constexpr double two_pi = 2.0 * std::numbers::pi;
    if (in_plane) {
        const double t = two_pi * rng.unit();
        return {std::cos(t), std::sin(t), 0.0};
    }
    const double z = 2.0 * rng.unit() - 1.0;
    const double f = two_pi * rng.unit();
    const double r = std::sqrt(std::max(0.0, 1.0 - z * z));
    return {r * std::cos(f), r * std::sin(f), z};
}

// The unit vector e turned by noise of width `width` (see the top of the file).
std::array<double, 3> noisy(const std::array<double, 3>& e, double width, bool in_plane, Xoshiro256pp& rng) {
    if (in_plane) {
        const double angle = (2.0 * rng.unit() - 1.0) * width;
        const double c = std::cos(angle), s = std::sin(angle);
        return {e[0] * c - e[1] * s, e[0] * s + e[1] * c, 0.0};
    }
    const double cos_b = 1.0 - rng.unit() * (1.0 - std::cos(width));
    const double f = 2.0 * std::numbers::pi * rng.unit();
    const double sin_b = std::sqrt(std::max(0.0, 1.0 - cos_b * cos_b));
    // Two unit vectors perpendicular to e, from the axis e leans on least.
    const std::size_t k = std::fabs(e[0]) <= std::fabs(e[1]) ? (std::fabs(e[0]) <= std::fabs(e[2]) ? 0 : 2)
                                                             : (std::fabs(e[1]) <= std::fabs(e[2]) ? 1 : 2);
    std::array<double, 3> axis{0.0, 0.0, 0.0};
    axis[k] = 1.0;
    std::array<double, 3> u{e[1] * axis[2] - e[2] * axis[1], e[2] * axis[0] - e[0] * axis[2],
                            e[0] * axis[1] - e[1] * axis[0]};
    const double nu = std::sqrt((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
    for (double& x : u) x /= nu;
    const std::array<double, 3> v{e[1] * u[2] - e[2] * u[1], e[2] * u[0] - e[0] * u[2], e[0] * u[1] - e[1] * u[0]};
    const double cf = std::cos(f), sf = std::sin(f);
    std::array<double, 3> p{};
    for (int i = 0; i < 3; ++i) p[i] = cos_b * e[i] + sin_b * (cf * u[i] + sf * v[i]);
    const double np = std::sqrt((p[0] * p[0] + p[1] * p[1]) + p[2] * p[2]);
    for (double& x : p) x /= np;
    return p;
}

// The shortest text that reads back as x.
std::string shortest(double x) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, x).ptr;
    return std::string(text, end);
}

bool has_direction(const std::array<double, 3>& p) { return p[0] != 0 || p[1] != 0 || p[2] != 0; }

}  // namespace

// The cell losing the site moves its centre toward (centre - r), the one gaining it toward
// (r - centre), r the site where each cell places it; the medium, a cell's last site and a cell's
// first site move no centre. The loser's part is subtracted first.
double PersistenceTerm::change(const ShapeFrame& frame, const Coords& c, Label a, CellType type_a,
                               const Trackers& seen_a, Label b, CellType type_b, const Trackers& seen_b) const {
    const Point raw{static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z)};
    double dh = 0.0;
    if (a != 0 && seen_a.volume > 1) {
        const double lambda = lambda_of(type_a);
        if (lambda != 0.0) dh -= lambda * aligned(direction[a], frame.place(a, seen_a, raw), centre_of(seen_a));
    }
    if (b != 0 && seen_b.volume > 0) {
        const double lambda = lambda_of(type_b);
        if (lambda != 0.0) dh -= lambda * aligned(direction[b], centre_of(seen_b), frame.place(b, seen_b, raw));
    }
    return dh;
}

void World::set_persistence(CellType cell_type, double lambda, std::uint64_t interval, double noise) {
    if (!std::isfinite(lambda)) throw BadRequest("lambda_dir = " + shortest(lambda) + " is not finite");
    if (interval < 1 || interval >= PersistenceTerm::restart)
        throw BadRequest("persistence_interval = " + std::to_string(interval) + " is not between 1 and " +
                         std::to_string(PersistenceTerm::restart - 1) + " steps");
    if (!(noise >= 0.0 && noise <= 1.0))
        throw BadRequest("persistence = " + shortest(noise) + " is not between 0 and 1");
    type_slot(persistence.lambda_by_type, cell_type) = lambda;
    type_slot(persistence.interval_by_type, cell_type) = static_cast<std::uint32_t>(interval);
    type_slot(persistence.persistence_by_type, cell_type) = noise;
    persistence.cover(cells.size());
}

void World::set_direction(Label cell_id, double x, double y, double z) {
    if (cell_id == 0 || cell_id >= cells.size())
        throw BadRequest("cell_id " + std::to_string(cell_id) + " is not a cell (ids 1 to " +
                         std::to_string(cells.size() - 1) + ")");
    if (flat(*this) && z != 0.0) throw BadRequest("a direction in a flat world has z = 0, not " + shortest(z));
    const double norm = std::sqrt((x * x + y * y) + z * z);
    if (!(norm > 0.0) || !std::isfinite(norm))
        throw BadRequest("a direction must be a finite vector other than (0, 0, 0)");
    persistence.cover(cells.size());
    persistence.direction[cell_id] = {x / norm, y / norm, z / norm};
}

std::array<double, 3> World::direction_of(Label cell_id) const {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    return cell_id < persistence.direction.size() ? persistence.direction[cell_id] : std::array<double, 3>{};
}

void start_persistent_step(World& w, Xoshiro256pp& rng) {
    PersistenceTerm& term = w.persistence;
    const bool in_plane = flat(w);
    for (const Cell& cell : w.cells) {
        if (cell.id == 0 || cell.volume <= 0 || term.lambda_of(cell.cell_type) == 0.0) continue;
        if (!has_direction(term.direction[cell.id])) {
            term.direction[cell.id] = random_direction(in_plane, rng);
            term.elapsed[cell.id] = PersistenceTerm::restart;
        }
        if (term.elapsed[cell.id] == PersistenceTerm::restart) {
            term.start[cell.id] = centre_of(cell);
            term.elapsed[cell.id] = 0;
        }
    }
}

void end_persistent_step(World& w, Xoshiro256pp& rng) {
    PersistenceTerm& term = w.persistence;
    const bool in_plane = flat(w);
    for (const Cell& cell : w.cells) {
        const Label l = cell.id;
        if (l == 0) continue;
        if (cell.volume <= 0 || term.lambda_of(cell.cell_type) == 0.0 || term.elapsed[l] == PersistenceTerm::restart) {
            term.elapsed[l] = PersistenceTerm::restart;
            continue;
        }
        const CellType t = cell.cell_type;
        if (++term.elapsed[l] < term.interval_by_type[t]) continue;
        const Point now = centre_of(cell);
        Point d{};
        for (int axis = 0; axis < 3; ++axis) {
            d[axis] = now[axis] - term.start[l][axis];
            const double side = static_cast<double>(w.lattice.dims[axis]);
            if (w.lattice.periodic[axis]) d[axis] -= side * std::round(d[axis] / side);
        }
        const double length = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
        if (length > 0.0) {
            const std::array<double, 3> e{d[0] / length, d[1] / length, d[2] / length};
            term.direction[l] = noisy(e, std::numbers::pi * (1.0 - term.persistence_by_type[t]), in_plane, rng);
        }
        term.start[l] = now;
        term.elapsed[l] = 0;
    }
}

}  // namespace morva
