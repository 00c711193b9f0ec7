// world.cpp: the cell table, label writes and the trackers. apply_flip keeps every tracker exact (the
// parallel sweep collects the same changes through record_flip); recompute_trackers rebuilds them from
// the grid.
#include "world.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace morva {

World World::make(Lattice lattice, double temperature) {
    World w;
    w.lattice = std::move(lattice);
    w.cells.emplace_back();  // the medium: id 0, type 0, all zero
    w.temperature = temperature;
    return w;
}

Label World::add_cell(CellType cell_type, double target_volume, double lambda_volume, double target_surface,
                      double lambda_surface) {
    Cell cell;
    cell.id = static_cast<Label>(cells.size());
    cell.cell_type = cell_type;
    cell.target_volume = target_volume;
    cell.lambda_volume = lambda_volume;
    cell.target_surface = target_surface;
    cell.lambda_surface = lambda_surface;
    cells.push_back(cell);
    external.add_cell();
    persistence.add_cell();
    if (lambda_surface != 0.0) surface_active = true;  // NaN compares unequal: it activates too
    return cell.id;
}

void World::paint(SiteIndex site, Label label) {
    MORVA_CHECK_INDEX(site, lattice.labels.size());
    lattice.labels[site] = label;
}

void World::paint_box(Label label, std::array<SiteIndex, 3> lo, std::array<SiteIndex, 3> hi) {
    if (lo[0] >= hi[0] || lo[1] >= hi[1] || lo[2] >= hi[2]) return;
    static constexpr const char* bound[] = {"x1", "y1", "z1"};
    static constexpr const char* side[] = {"nx", "ny", "nz"};
    for (std::size_t a = 0; a < 3; ++a)
        if (hi[a] > lattice.dims[a])
            throw BadRequest(std::string(bound[a]) + " = " + std::to_string(hi[a]) + " reaches beyond the lattice (" +
                             side[a] + " = " + std::to_string(lattice.dims[a]) + ")");
    if (label >= cells.size())
        throw BadRequest("cell_id " + std::to_string(label) + " has no record (the last id is " +
                         std::to_string(cells.size() - 1) + ")");
    for (SiteIndex z = lo[2]; z < hi[2]; ++z)
        for (SiteIndex y = lo[1]; y < hi[1]; ++y)
            for (SiteIndex x = lo[0]; x < hi[0]; ++x) lattice.labels[lattice.site_of(x, y, z)] = label;
}

void World::set_cell_type(Label cell_id, CellType cell_type) {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    cells[cell_id].cell_type = cell_type;
}

void World::set_target_volume(Label cell_id, double target_volume) {
    MORVA_CHECK_INDEX(cell_id, cells.size());
    cells[cell_id].target_volume = target_volume;
}

void World::grow(CellType cell_type, double rate) {
    for (Cell& c : cells)
        if (c.id != 0 && c.cell_type == cell_type) c.target_volume += rate;
}

void SurfaceDeltaList::sort_by_id() {
    std::stable_sort(items_.begin(), items_.begin() + size_,
                     [](const SurfaceDelta& l, const SurfaceDelta& r) { return l.id < r.id; });
}

// A site listed among its own neighbours (a periodic axis of length 1) never forms a boundary pair
// with itself, so such entries are skipped here, in apply_flip and in the contact energy alike.
SurfaceDeltaList World::surface_deltas(SiteIndex site, Label b) const {
    MORVA_CHECK_INDEX(site, lattice.labels.size());
    const Label a = lattice.labels[site];
    if (a == b) return {};
    return surface_deltas(site, a, b, lattice.neighbors(site));
}

SurfaceDeltaList World::surface_deltas(SiteIndex site, Label a, Label b, const NeighborList& nbrs) const {
    SurfaceDeltaList list;
    std::int64_t n_a = 0, n_b = 0;
    for (const SiteIndex t : nbrs) {
        if (t == site) continue;
        const Label l = lattice.labels[t];
        n_a += l != a;
        n_b += l != b;
    }
    list.entry_for(a).change -= n_a;
    list.entry_for(b).change += n_b;
    for (const SiteIndex t : nbrs) {
        if (t == site) continue;
        const Label l = lattice.labels[t];
        list.entry_for(l).change += std::int64_t{l != b} - std::int64_t{l != a};
    }
    list.sort_by_id();
    return list;
}

void World::apply_flip(SiteIndex site, Label b) {
    MORVA_CHECK_INDEX(site, lattice.labels.size());
    MORVA_CHECK_INDEX(b, cells.size());
    const Label a = lattice.labels[site];
    if (a == b) return;
    const Coords c = lattice.coords(site);
    const NeighborList nbrs = lattice.neighbors(site, c);
    const auto neighbor_at = [&nbrs](std::size_t i) { return nbrs[i]; };
    if (shape_frame().unwraps()) apply_flip<true>(site, a, b, c, nbrs.size(), neighbor_at);
    else apply_flip(site, a, b, c, nbrs.size(), neighbor_at);
}

void World::recompute_trackers() {
    surface_active = std::any_of(cells.begin(), cells.end(), [](const Cell& c) { return c.lambda_surface != 0.0; });
    for (Cell& cell : cells) static_cast<Trackers&>(cell) = Trackers{};
    if (shape_frame().unwraps()) {
        recompute_unwrapped_trackers();
        return;
    }
    const auto& labels = lattice.labels;
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        const Label l = labels[site];
        MORVA_CHECK_INDEX(l, cells.size());
        Cell& cell = cells[l];
        cell.add_site(static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z));
        for (const SiteIndex t : lattice.neighbors(site, c)) cell.surface += labels[t] != l;
    });
}

// Removed cells keep their records (ids are never reused); their sites become medium.
void World::remove_cells(const std::vector<Label>& ids) {
    if (ids.empty()) return;
    std::vector<std::uint8_t> marked(cells.size(), 0);
    for (const Label id : ids)
        if (id != 0 && id < cells.size()) marked[id] = 1;
    for (Label& l : lattice.labels)
        if (l != 0 && l < marked.size() && marked[l]) l = 0;
    recompute_trackers();
}


TermGates World::term_gates() const {
    TermGates g;
    std::size_t i = 0;
    for_each_term([&g, &i](const char*, Scope, const auto& unit) { g.open[i++] = unit.on(); }, *this);
    g.fields = ChemotaxisTerm::on(fields);
    g.length_never_negative = length.never_negative();
    g.face_connectivity = g.on<ConnectivityTerm>() && options.face_connectivity;
    g.com_force = options.com_force;
    // Every term but the connectivity veto adds energy.
    g.any_energy = g.fields;
    for (std::size_t t = 0; t < g.open.size(); ++t)
        if (t != term_index<ConnectivityTerm>()) g.any_energy = g.any_energy || g.open[t];
    return g;
}

// --- contact area by type

// The cell's surface broken down by the type across each boundary pair, counted as the surface
// tracker counts: every listed neighbour with another label, a repeated entry as often as listed.
std::unordered_map<CellType, std::int64_t> World::cell_contact_area_by_type(Label cell_id) const {
    std::unordered_map<CellType, std::int64_t> area;
    const auto& labels = lattice.labels;
    lattice.for_each_site([&](SiteIndex site, const Coords& c) {
        if (labels[site] != cell_id) return;
        for (const SiteIndex t : lattice.neighbors(site, c)) {
            const Label other = labels[t];
            if (other == cell_id) continue;
            MORVA_CHECK_INDEX(other, cells.size());  // a set-up grid may hold ids without records
            area[cells[other].cell_type] += 1;
        }
    });
    return area;
}

}  // namespace morva
