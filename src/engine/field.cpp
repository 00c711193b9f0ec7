// field.cpp: chemical fields: creation, diffusion and decay, secretion, chemotaxis and the field
// queries. Writes only `fields`; reads the lattice and the cell table.
#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "by_type.hpp"
#include "world.hpp"

namespace morva {

namespace {

// The new value of a site from its old value v and the 32-bit neighbour sum lap. The update runs in
// 64 bits from the widened values; non-positive and NaN results are stored as +0. The clamp is done on
// the bits of the rounded value (rounding keeps the sign; every pattern above +inf is negative or
// NaN) because a floating-point select keeps the compiler from vectorising the row loop.
inline float relax(float v, float lap, double d, double decay, double dt) {
    const double wide = v;
    const double u = ((static_cast<double>(lap) * d - decay * wide) * dt) + wide;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(static_cast<float>(u));
    return std::bit_cast<float>(bits <= 0x7f800000u ? bits : 0u);
}

// Moves coordinate c by one step (down when `down`) along an axis of n sites; false when the move
// falls off a closed face.
inline bool step_axis(SiteIndex c, bool down, SiteIndex n, bool wraps, SiteIndex& out) {
    const bool inside = down ? c > 0 : c + 1 < n;
    if (!inside && !wraps) return false;
    if (down) out = inside ? c - 1 : n - 1;
    else out = inside ? c + 1 : 0;
    return true;
}

// The step's constants and the face-neighbour rows of one row: y-1, y+1, z-1, z+1 in that order,
// absent ones left out, wrapped ones pointing at the far row (possibly the row itself).
struct RowStencil {
    const float* row;
    float* out;
    std::array<const float*, 4> rows;
    int n_rows;
    SiteIndex nx;
    bool wrap_x;
    double d, decay, dt;
};

// A site at either end of its row: its x neighbours may wrap or be absent.
inline void relax_row_end(const RowStencil& s, SiteIndex x) {
    const float v = s.row[x];
    float lap = 0.0f;
    SiteIndex n;
    if (step_axis(x, true, s.nx, s.wrap_x, n)) lap += s.row[n] - v;
    if (step_axis(x, false, s.nx, s.wrap_x, n)) lap += s.row[n] - v;
    for (int r = 0; r < s.n_rows; ++r) lap += s.rows[r][x] - v;
    s.out[x] = relax(v, lap, s.d, s.decay, s.dt);
}

// Sites 1 .. nx-2 of a row: both x neighbours are plain offsets and the row count is fixed, so the
// loop has no branches and vectorises. Same additions, in the same order, as relax_row_end.
template <int NRows>
void relax_row_inner(const RowStencil& s) {
    const float* __restrict row = s.row;
    float* __restrict out = s.out;
    const float* r0 = s.rows[0];
    const float* r1 = s.rows[1];
    const float* r2 = s.rows[2];
    const float* r3 = s.rows[3];
    const double d = s.d, decay = s.decay, dt = s.dt;
    for (SiteIndex x = 1; x + 1 < s.nx; ++x) {
        const float v = row[x];
        float lap = 0.0f;
        lap += row[x - 1] - v;
        lap += row[x + 1] - v;
        if constexpr (NRows > 0) lap += r0[x] - v;
        if constexpr (NRows > 1) lap += r1[x] - v;
        if constexpr (NRows > 2) lap += r2[x] - v;
        if constexpr (NRows > 3) lap += r3[x] - v;
        out[x] = relax(v, lap, d, decay, dt);
    }
}

void relax_row(const RowStencil& s) {
    switch (s.n_rows) {
        case 0: relax_row_inner<0>(s); break;
        case 1: relax_row_inner<1>(s); break;
        case 2: relax_row_inner<2>(s); break;
        case 3: relax_row_inner<3>(s); break;
        default: relax_row_inner<4>(s); break;
    }
    relax_row_end(s, 0);
    if (s.nx > 1) relax_row_end(s, s.nx - 1);
}

}  // namespace

// Walks the box row by row, so no site needs its coordinates divided out.
void diffusion_step(const Lattice& lat, const float* in, float* out, double d, double decay, double dt) {
    const SiteIndex nx = lat.nx(), ny = lat.ny(), nz = lat.nz();
    if (lat.n_sites() == 0) return;
    RowStencil s{};
    s.nx = nx;
    s.wrap_x = lat.periodic[0];
    s.d = d, s.decay = decay, s.dt = dt;
    for (SiteIndex z = 0; z < nz; ++z)
        for (SiteIndex y = 0; y < ny; ++y) {
            const SiteIndex base = nx * (y + ny * z);
            s.row = in + base;
            s.out = out + base;
            s.n_rows = 0;
            SiteIndex m;
            for (const bool down : {true, false})
                if (step_axis(y, down, ny, lat.periodic[1], m)) s.rows[s.n_rows++] = in + nx * (m + ny * z);
            if (nz > 1)
                for (const bool down : {true, false})
                    if (step_axis(z, down, nz, lat.periodic[2], m)) s.rows[s.n_rows++] = in + nx * (y + ny * m);
            relax_row(s);
        }
}

namespace {

// One explicit diffusion-decay step of f: reads `conc`, writes `scratch`, then swaps the two.
void diffuse(const Lattice& lat, Field& f) {
    if (lat.n_sites() == 0) return;
    f.scratch.resize(lat.n_sites());
    diffusion_step(lat, f.conc.data(), f.scratch.data(), f.d, f.decay, f.dt);
    f.conc.swap(f.scratch);
}

// What each site of the given label receives in one secretion pass, or nothing.
struct Secretion {
    bool secretes;
    float amount;
};

Secretion secretion_of(const World& w, const Field& f, Label label) {
    MORVA_CHECK_INDEX(label, w.cells.size());
    const CellType t = w.cells[label].cell_type;
    if (t >= f.secretion_rate.size()) return {false, 0.0f};
    double r = f.secretion_rate[t];
    if (r == 0.0) return {false, 0.0f};  // NaN counts as a rate
    if (!f.cell_secretion_scale.empty()) {
        const auto it = f.cell_secretion_scale.find(label);
        if (it != f.cell_secretion_scale.end()) r = r * it->second;
    }
    return {true, static_cast<float>(f.dt * r)};
}

// Each site of a secreting cell gains round32(dt * rate) in 32-bit arithmetic. Each label's amount
// is looked up once per pass, then read from a table site by site; a label without a cell record
// faults where the site loop meets it, as the lookup does.
void secrete(const World& w, Field& f) {
    if (std::none_of(f.secretion_rate.begin(), f.secretion_rate.end(), [](double r) { return r != 0.0; })) return;
    const std::size_t n_labels = w.cells.size();
    f.secretion_by_label.resize(n_labels);
    for (std::size_t l = 0; l < n_labels; ++l) {
        const Secretion s = secretion_of(w, f, static_cast<Label>(l));
        f.secretion_by_label[l] = {s.amount, s.secretes};
    }
    const Field::LabelSecretion* by_label = f.secretion_by_label.data();
    const Label* labels = w.lattice.labels.data();
    const SiteIndex n_sites = w.lattice.n_sites();
    float* conc = f.conc.data();
    for (SiteIndex s = 0; s < n_sites; ++s) {
        const Label l = labels[s];
        if (l >= n_labels) [[unlikely]]
            secretion_of(w, f, l);  // faults
        if (by_label[l].secretes) conc[s] = by_label[l].amount + conc[s];
    }
}

// Receptor occupancy of concentration c: x^h / (kd^h + x^h) with x = c * a, 0 when x is not positive.
// kd^h is the same for both sites of an attempt, so it is computed once, on first need.
inline double occupancy(float c, double a, double h, double kd, double& kd_h, bool& have_kd_h) {
    const double x = static_cast<double>(c) * a;
    if (!(x > 0.0)) return 0.0;
    const double x_h = std::pow(x, h);
    if (!have_kd_h) kd_h = std::pow(kd, h), have_kd_h = true;
    return x_h / (kd_h + x_h);
}

}  // namespace

std::size_t World::add_field(std::string name, double d, double decay) {
    CellType largest = 0;
    for (const Cell& c : cells) largest = std::max(largest, c.cell_type);
    const std::size_t n_types = std::size_t{largest} + 1;
    Field f;
    f.name = std::move(name);
    f.conc.assign(lattice.n_sites(), 0.0f);
    f.secretion_rate.assign(n_types, 0.0);
    f.chemotaxis_lambda.assign(n_types, 0.0);
    f.occupancy_kd.assign(n_types, 0.0);
    f.occupancy_hill.assign(n_types, 0.0);
    f.occupancy_scale.assign(n_types, 0.0);
    f.d = d;
    f.decay = decay;
    fields.push_back(std::move(f));
    return fields.size() - 1;
}

void World::set_field_dynamics(std::size_t field_idx, double dt, std::uint32_t substeps) {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    Field& f = fields[field_idx];
    f.dt = dt;
    f.substeps = std::max<std::uint32_t>(substeps, 1);
}

void World::advance_fields(std::uint32_t times) {
    for (std::uint32_t i = 0; i < times; ++i) advance_fields();
}

void World::advance_fields() {
    for (Field& f : fields) {
        for (std::uint32_t i = 0; i < f.substeps; ++i) diffuse(lattice, f);
        if (lattice.n_sites() != 0) secrete(*this, f);
    }
}

void World::set_secretion(std::size_t field_idx, CellType cell_type, double rate) {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    type_slot(fields[field_idx].secretion_rate, cell_type) = rate;
}

void World::set_cell_secretion_scale(std::size_t field_idx, Label cell_id, double scale) {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    fields[field_idx].cell_secretion_scale[cell_id] = scale;
}

void World::set_chemotaxis(std::size_t field_idx, CellType cell_type, double lambda) {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    type_slot(fields[field_idx].chemotaxis_lambda, cell_type) = lambda;
}

void World::set_chemotaxis_occupancy(std::size_t field_idx, CellType cell_type, double lambda, double kd, double hill,
                                     double scale) {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    Field& f = fields[field_idx];
    type_slot(f.chemotaxis_lambda, cell_type) = lambda;
    type_slot(f.occupancy_kd, cell_type) = kd;
    type_slot(f.occupancy_hill, cell_type) = hill;
    type_slot(f.occupancy_scale, cell_type) = scale;
}

double ChemotaxisTerm::change(const std::vector<Field>& fields, const Label* labels, const Cell* cells,
                              SiteIndex target, SiteIndex source, Label label) {
    if (fields.empty() || labels[target] == label) return 0.0;
    const CellType k = cells[label].cell_type;
    double dh = 0.0;
    for (const Field& f : fields) {
        if (k >= f.chemotaxis_lambda.size()) continue;
        const double lambda = f.chemotaxis_lambda[k];
        if (lambda == 0.0) continue;  // NaN counts as a strength
        const float ct = f.conc[target], cs = f.conc[source];
        double phi_t, phi_s;
        if (k < f.occupancy_kd.size() && f.occupancy_kd[k] > 0.0) {
            const double kd = f.occupancy_kd[k], h = f.occupancy_hill[k], a = f.occupancy_scale[k];
            double kd_h = 0.0;
            bool have_kd_h = false;
            phi_t = occupancy(ct, a, h, kd, kd_h, have_kd_h);
            phi_s = occupancy(cs, a, h, kd, kd_h, have_kd_h);
        } else {
            phi_t = ct;
            phi_s = cs;
        }
        dh = dh - lambda * (phi_t - phi_s);
    }
    return dh;
}

double World::field_mean_at_cell(std::size_t field_idx, Label cell_id) const {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    if (cells[cell_id].volume == 0) return 0.0;
    MORVA_CHECK_INDEX(field_idx, fields.size());
    const std::vector<float>& conc = fields[field_idx].conc;
    const std::vector<Label>& labels = lattice.labels;
    double sum = 0.0;
    std::uint64_t count = 0;
    for (SiteIndex s = 0; s < labels.size(); ++s)
        if (labels[s] == cell_id) {
            sum += static_cast<double>(conc[s]);
            ++count;
        }
    return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

const std::vector<float>& World::field_conc(std::size_t field_idx) const {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    return fields[field_idx].conc;
}

float World::field_value_at_site(std::size_t field_idx, SiteIndex site) const {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    const std::vector<float>& conc = fields[field_idx].conc;
    MORVA_CHECK_INDEX(site, conc.size());
    return conc[site];
}

namespace {

// Each coordinate clamped to the last index of its axis. A box with an empty axis has no last index:
// the request is refused once the field index is known to be good.
SiteIndex clamped_site(const World& w, std::size_t field_idx, SiteIndex x, SiteIndex y, SiteIndex z) {
    const Lattice& lat = w.lattice;
    if (w.field_conc(field_idx).empty())
        throw BadRequest("field " + std::to_string(field_idx) + " has no sites (the box is " +
                         std::to_string(lat.nx()) + " x " + std::to_string(lat.ny()) + " x " +
                         std::to_string(lat.nz()) + ")");
    return lat.site_of(std::min(x, lat.nx() - 1), std::min(y, lat.ny() - 1), std::min(z, lat.nz() - 1));
}

}  // namespace

float World::field_value_at(std::size_t field_idx, SiteIndex x, SiteIndex y, SiteIndex z) const {
    return field_value_at_site(field_idx, clamped_site(*this, field_idx, x, y, z));
}

void World::field_add_at(std::size_t field_idx, SiteIndex x, SiteIndex y, SiteIndex z, double amount) {
    field_add_at_site(field_idx, clamped_site(*this, field_idx, x, y, z), amount);
}

void World::field_add_at_site(std::size_t field_idx, SiteIndex site, double amount) {
    MORVA_CHECK_INDEX(field_idx, fields.size());
    std::vector<float>& conc = fields[field_idx].conc;
    MORVA_CHECK_INDEX(site, conc.size());
    conc[site] = conc[site] + static_cast<float>(amount);
}

}  // namespace morva
