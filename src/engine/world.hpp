// world.hpp: the whole simulation state (lattice, cell table, contact table, fields, term settings)
// and every operation on it. Operations are defined in the file of their concern:
// world.cpp (cells, painting, per-cell edits, flips, trackers, removal, contact area), energy_change.cpp,
// connectivity.cpp, length.cpp, membrane.cpp (membrane and junction terms), external.cpp, field.cpp,
// init.cpp, mitosis.cpp. Making a world and finalizing it into a driver: setup.hpp.
#pragma once

#include <array>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core.hpp"
#include "contact_table.hpp"
#include "members.hpp"
#include "terms.hpp"
#include "field.hpp"
#include "lattice.hpp"
#include "neighbor_counts.hpp"
#include "shape_frame.hpp"
#include "trackers.hpp"

namespace morva {

// How one cell is cut: across the longest or the shortest side of its bounding box, through the
// middle of that side, or by the plane through its centre of mass perpendicular to `normal`.
struct DivisionPlane {
    enum class Rule : std::uint8_t { longest_side, shortest_side, through_centre };
    Rule rule = Rule::longest_side;
    std::array<double, 3> normal{0.0, 0.0, 0.0};
};

// A cell's trackers (kept exact by apply_flip, rebuilt by recompute_trackers) and its parameters.
struct Cell : Trackers {
    double target_volume = 0, lambda_volume = 0, target_surface = 0, lambda_surface = 0;
    Label id = 0;
    CellType cell_type = 0;

    // In the order of a checkpoint's cell record.
    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("cell id", Scope::per_cell, self.id...);
        f("cell type", Scope::per_cell, self.cell_type...);
        f("cell volume", Scope::per_cell, self.volume...);
        f("cell surface", Scope::per_cell, self.surface...);
        f("cell record", Scope::per_cell, self.sum_x...);
        f("cell record", Scope::per_cell, self.sum_y...);
        f("cell record", Scope::per_cell, self.sum_z...);
        f("cell record", Scope::per_cell, self.sum_xx...);
        f("cell record", Scope::per_cell, self.sum_yy...);
        f("cell record", Scope::per_cell, self.sum_zz...);
        f("cell record", Scope::per_cell, self.sum_xy...);
        f("cell record", Scope::per_cell, self.sum_xz...);
        f("cell record", Scope::per_cell, self.sum_yz...);
        f("cell record", Scope::per_cell, self.target_volume...);
        f("cell record", Scope::per_cell, self.lambda_volume...);
        f("cell record", Scope::per_cell, self.target_surface...);
        f("cell record", Scope::per_cell, self.lambda_surface...);
    }
};
static_assert(sizeof(Cell) == 128, "Cell layout changed: check the hot loop's reads");

// What a copy of label b onto `site` (held by a, at c) does to the trackers, written to
// trackers_of(label): the cell table itself or a worker's increments. `neighbor_at(i)` gives entry i of
// the site's `count` neighbours, read from `labels` before the copy and counted by count_neighbors
// (`flat` says how). Surface changes are integers: of the n pairs the site forms (a site listed among
// its own neighbours forms none with itself), a loses the n - n_a that are not its own and gains the
// n_a with its own sites, which were inside it; b the reverse. Only a's and b's surfaces change.
// `place(label, raw)` gives where the site counts in that cell's sums (see shape_frame.hpp); both
// places are taken before any tracker changes.
template <class NeighborAt, class Flat, class TrackersOf, class Place = RawPlace>
inline void record_flip(const Label* labels, SiteIndex site, Label a, Label b, const Coords& c, std::size_t count,
                        NeighborAt neighbor_at, Flat flat, TrackersOf&& trackers_of, Place place = {}) {
    const NeighborCounts k = count_neighbors(labels, site, a, b, count, neighbor_at, flat);
    const Point raw{static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z)};
    const Point pa = place(a, raw), pb = place(b, raw);
    Trackers& from = trackers_of(a);
    from.surface += 2 * k.of_a - k.n;
    from.remove_site(pa[0], pa[1], pa[2]);
    Trackers& to = trackers_of(b);
    to.surface += k.n - 2 * k.of_b;
    to.add_site(pb[0], pb[1], pb[2]);
}

struct SurfaceDelta {
    Label id;
    std::int64_t change;
};

// Room for every label of a 26-neighbourhood plus the two labels of the flip: never allocates.
class SurfaceDeltaList {
public:
    SurfaceDelta& entry_for(Label id) {
        for (std::uint32_t i = 0; i < size_; ++i)
            if (items_[i].id == id) return items_[i];
        items_[size_] = {id, 0};
        return items_[size_++];
    }
    void sort_by_id();
    std::size_t size() const { return size_; }
    const SurfaceDelta& operator[](std::size_t i) const { return items_[i]; }
    const SurfaceDelta* begin() const { return items_.data(); }
    const SurfaceDelta* end() const { return items_.data() + size_; }

private:
    std::array<SurfaceDelta, 28> items_;
    std::uint32_t size_ = 0;
};

// The world's state, every member declared once in `members` (members.hpp): the lattice (its size,
// neighbourhood and labels), the cell table, the contact table, the fields, the core settings, each
// optional term's unit and the options.
struct WorldData {
    Lattice lattice;
    std::vector<Cell> cells;  // index = cell id; cells[0] is the medium
    ContactMatrix contact = ContactMatrix::make(1);
    std::vector<Field> fields;
    double temperature = 0;
    bool surface_active = false;  // some cell has a surface lambda other than 0
    ConnectivityTerm connectivity;
    MembraneTerm membrane;
    JunctionTerm junction;
    LengthTerm length;
    ExternalTerm external;
    ActTerm act;
    PersistenceTerm persistence;
    WorldOptions options;

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("lattice", Scope::world, self.lattice...);
        f("cells", Scope::per_cell, self.cells...);
        f("contact", Scope::per_pair, self.contact...);
        f("fields", Scope::per_field, self.fields...);
        f("temperature", Scope::world, self.temperature...);
        f("surface flag", Scope::world, self.surface_active...);
        for_each_term(f, self...);
        f("options", Scope::unit, self.options...);
    }
    // The optional terms' units, in a fixed order (which also orders their gates, TermGates).
    template <class F, class... Self>
    static constexpr void for_each_term(F&& f, Self&... self) {
        f("connectivity", Scope::unit, self.connectivity...);
        f("membrane", Scope::unit, self.membrane...);
        f("junction", Scope::unit, self.junction...);
        f("length", Scope::unit, self.length...);
        f("external potential", Scope::unit, self.external...);
        f("act", Scope::unit, self.act...);
        f("persistence", Scope::unit, self.persistence...);
    }
};

namespace detail {
// A world only named, never defined: walking its units at compile time reads their types, no value.
extern const WorldData unit_types;
}  // namespace detail

// The number of optional terms, and the position of unit U among them (for_each_term's order).
consteval std::size_t n_terms() {
    std::size_t n = 0;
    WorldData::for_each_term([&n](const char*, Scope, const auto&) { ++n; }, detail::unit_types);
    return n;
}
template <class U>
consteval std::size_t term_index() {
    std::size_t i = 0, found = n_terms();
    WorldData::for_each_term(
        [&](const char*, Scope, const auto& unit) {
            if (std::is_same_v<std::remove_cvref_t<decltype(unit)>, U>) found = i;
            ++i;
        },
        detail::unit_types);
    if (found == n_terms()) throw "not an optional term of the world";  // fails the compile
    return found;
}

// Which optional terms a copy attempt must evaluate. Settings change only between sweeps, so a
// sweep computes these once instead of scanning the per-type tables at every attempt: each unit's
// on(), in the order of WorldData::for_each_term, read as on<Unit>(), and a few gates derived from
// the units and the options.
struct TermGates {
    std::array<bool, n_terms()> open{};  // by term_index
    bool fields = false;                 // ChemotaxisTerm::change has work to do
    bool length_never_negative = false;  // the length term is on and every length energy is >= 0 or NaN
    bool face_connectivity = false;      // connectivity is on and its veto works through faces
    bool com_force = false;              // the external force acts on centres of mass
    bool any_energy = false;             // some term adds energy (one flag for the attempt to read)

    template <class U>
    bool on() const {
        return open[term_index<U>()];
    }
};

// Bit for bit the same state (NaN equals itself, -0 differs from +0), member by member as the lists
// declare them; work space and derived tables are not compared.
inline bool same_state(const WorldData& a, const WorldData& b) { return same_unit(a, b); }

struct World : WorldData {
    static World make(Lattice lattice, double temperature);
    World() = default;
    World(World&&) = default;
    World& operator=(World&&) = default;
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // --- cells, labels and trackers (world.cpp)
    Label add_cell(CellType cell_type, double target_volume, double lambda_volume, double target_surface,
                   double lambda_surface);
    void paint(SiteIndex site, Label label);
    // Paints the half-open box [lo, hi) with a cell's label. An empty box paints nothing; otherwise a
    // box reaching beyond the lattice or a label without a record is refused (BadRequest) untouched.
    void paint_box(Label label, std::array<SiteIndex, 3> lo, std::array<SiteIndex, 3> hi);
    void set_cell_type(Label cell_id, CellType cell_type);
    void set_target_volume(Label cell_id, double target_volume);
    // Every cell of the type, never the medium's record, gains `rate` of target volume.
    void grow(CellType cell_type, double rate);
    SurfaceDeltaList surface_deltas(SiteIndex site, Label new_label) const;
    SurfaceDeltaList surface_deltas(SiteIndex site, Label old_label, Label new_label, const NeighborList& nbrs) const;
    void apply_flip(SiteIndex site, Label new_label);
    // Same, with the target's old label (not new_label), coordinates and neighbours already at hand: the
    // sequential sweep's flip writer.
    // `Unwrap` (periodic shapes on) places the site in each cell's frame. `flat`: FlatRow or NotFlat
    // (count_neighbors).
    template <bool Unwrap = false, class NeighborAt, class Flat = NotFlat>
    void apply_flip(SiteIndex site, Label old_label, Label new_label, const Coords& c, std::size_t count,
                    NeighborAt neighbor_at, Flat flat = {}) {
        Cell* table = cells.data();
        const auto trackers_of = [table](Label l) -> Trackers& { return table[l]; };
        if constexpr (Unwrap) {
            const ShapeFrame frame = shape_frame();
            record_flip(lattice.labels.data(), site, old_label, new_label, c, count, neighbor_at, flat, trackers_of,
                        [&frame, table](Label l, const Point& p) { return frame.place(l, table[l], p); });
        } else {
            record_flip(lattice.labels.data(), site, old_label, new_label, c, count, neighbor_at, flat, trackers_of);
        }
        lattice.labels[site] = new_label;
    }
    void recompute_trackers();
    // --- periodic shapes (shape_frame.cpp)
    ShapeFrame shape_frame() const { return ShapeFrame::make(lattice.dims, lattice.periodic, options.periodic_shapes); }
    // Centre of mass as reported: wrapped into the box under periodic shapes; (0, 0, 0) for no sites.
    Point cell_centre(Label cell_id) const;
    // Where each site of a cell counts in its sums; the site's raw coordinates without periodic shapes.
    Point site_place(Label cell_id, const Coords& c) const;
    // Brings every cell's unwrapped centre back into the box (exact whole-box shifts); a sweep calls it
    // after each step so that the sums never drift far from the box. Clears known[i] for each cell
    // whose sums it moves (a sweep's record of values computed from them).
    void wrap_centres_into_box(std::span<std::uint8_t> known = {});
    // recompute_trackers under periodic shapes: each cell's sites at their images nearest to the
    // cell's circular mean, then wrap_centres_into_box.
    void recompute_unwrapped_trackers();
    void remove_cells(const std::vector<Label>& ids);
    TermGates term_gates() const;

    // --- core Hamiltonian (contact_table.cpp sizes the table, energy_change.cpp)
    void set_contact_matrix(ContactMatrix matrix);
    double delta_hamiltonian(SiteIndex site, Label new_label) const;

    // --- connectivity constraint (connectivity.cpp)
    void set_connectivity(CellType cell_type, bool on);
    void set_connectivity_medium(bool on);
    bool connectivity_applies(Label losing) const;
    bool would_stay_connected(SiteIndex site, Label label) const;
    // The veto under face connectivity (face_connectivity.cpp): false when copying `gaining` onto
    // `site` (held by `losing`) would leave a guarded cell joined only through edges or corners.
    bool face_connectivity_allows(SiteIndex site, Label losing, Label gaining) const;

    // --- length constraint (length.cpp)
    void set_length_constraint(CellType cell_type, double target_length, double lambda);
    double cell_length(Label cell_id) const;
    double delta_length(SiteIndex site, Label new_label) const;
    // The length energy of cell `l` as its trackers stand (the sweep keeps these between flips and
    // hands them to LengthTerm::change).
    double length_energy(Label l) const;

    // --- junction and membrane terms (membrane.cpp)
    void set_junction(CellType cell_type, bool on);
    void set_junction_lambda(double lambda);
    void set_membrane(const std::vector<SiteIndex>& anchors, double k, double band);
    void set_membrane_anchored(CellType cell_type, bool on);
    std::int64_t pinch_at(SiteIndex probe, SiteIndex site, Label label) const {
        return junction.pinches(lattice, cells.data(), probe, lattice.coords(probe), site, label);
    }
    double delta_junction(SiteIndex site, Label new_label) const {
        return junction.change(lattice, cells.data(), site, new_label);
    }
    double delta_membrane(SiteIndex site, Label new_label) const {
        return membrane.change(lattice.labels.data(), cells.data(), site, new_label);
    }

    // --- external potential (external.cpp)
    void set_external_potential(CellType cell_type, double fx, double fy, double fz);
    double delta_external(SiteIndex site, Label new_label) const;
    // The force on cell l: its own where one was set, else its type's (none beyond the table).
    const std::array<double, 3>& external_force_of(Label l) const { return external.force_on(l, cells[l].cell_type); }
    // Gives one cell (not the medium) its own force, or (clear) lets it read its type's again.
    void set_cell_force(Label cell_id, double fx, double fy, double fz);
    void clear_cell_force(Label cell_id);

    // --- act model (act.cpp)
    // Gives cell_type the act term; the first call sizes the per-site activity (all 0). max_act above
    // the range of Activity is refused (BadRequest).
    void set_act(CellType cell_type, double lambda, std::uint64_t max_act);
    void set_act_arithmetic(bool arithmetic);
    // A copy put `site` into label b: its activity becomes max_act of b's type (0 for the medium).
    void activate(SiteIndex site, Label b) { act.activity[site] = b == 0 ? Activity{0} : act.max_of(cells[b].cell_type); }
    // After each step: every activity drops by one, down to 0.
    void decay_activity();

    // --- persistent motion (persistence.cpp); the turns between steps: persistence.hpp
    // Gives cell_type the term: lambda_dir (finite), the interval in steps (>= 1) and the persistence
    // in [0, 1]; anything else is refused (BadRequest).
    void set_persistence(CellType cell_type, double lambda, std::uint64_t interval, double persistence);
    // A cell's preferred direction, kept as its unit vector; (0, 0, 0) is refused, as is z != 0 in a
    // flat world. direction_of reads (0, 0, 0) for a cell whose direction is not drawn yet.
    void set_direction(Label cell_id, double x, double y, double z);
    std::array<double, 3> direction_of(Label cell_id) const;

    // --- contact area by type (world.cpp)
    std::unordered_map<CellType, std::int64_t> cell_contact_area_by_type(Label cell_id) const;

    // --- chemical fields (field.cpp)
    std::size_t add_field(std::string name, double d, double decay);
    void set_field_dynamics(std::size_t field_idx, double dt, std::uint32_t substeps);
    void advance_fields();
    void advance_fields(std::uint32_t times);
    void set_secretion(std::size_t field_idx, CellType cell_type, double rate);
    void set_cell_secretion_scale(std::size_t field_idx, Label cell_id, double scale);
    void set_chemotaxis(std::size_t field_idx, CellType cell_type, double lambda);
    void set_chemotaxis_occupancy(std::size_t field_idx, CellType cell_type, double lambda, double kd, double hill,
                                  double scale);
    double delta_chemotaxis(SiteIndex target, SiteIndex source, Label label) const {
        return ChemotaxisTerm::change(fields, lattice.labels.data(), cells.data(), target, source, label);
    }
    double field_mean_at_cell(std::size_t field_idx, Label cell_id) const;
    const std::vector<float>& field_conc(std::size_t field_idx) const;
    float field_value_at_site(std::size_t field_idx, SiteIndex site) const;
    void field_add_at_site(std::size_t field_idx, SiteIndex site, double amount);  // amount rounded to f32
    // The same at (x, y, z), each coordinate clamped to the last index of its axis.
    float field_value_at(std::size_t field_idx, SiteIndex x, SiteIndex y, SiteIndex z) const;
    void field_add_at(std::size_t field_idx, SiteIndex x, SiteIndex y, SiteIndex z, double amount);

    // --- division (mitosis.cpp)
    std::vector<Label> divide_cells(double threshold, double reset_target);
    // --- division of chosen cells, each by its own plane (division_plane.cpp); ids distinct cells
    std::vector<Label> divide_chosen(const std::vector<Label>& ids, const std::vector<DivisionPlane>& planes,
                                     double reset_target);
    // The daughters' cell records, appended in the parents' order (mitosis.cpp).
    std::vector<Label> add_daughters(std::span<const Label> parents, double reset_target);
};

}  // namespace morva
