// terms.hpp: the optional energy terms and the world options, each one unit that owns its tables, its
// setters and checks, its gate (is it on?) and its member list (members.hpp), from which the
// checkpoint, the state-size figures and the world's equality are driven. Each unit that adds energy
// also prices a copy itself (`change`), reading the lattice and the cell table it is given and what the
// sweep keeps, passed in: the length unit's kept energies; the trackers the sweep sees (`seen`) for
// persistence and the centre-of-mass external force (templates, in persistence.hpp and
// energy_change.hpp); the source site and both labels for the act unit (act.cpp). Chemotaxis prices
// its own from the fields (field.hpp). The sweeps reach the last three through small out-of-line
// calls that take the world (energy_change.hpp), which keep the inner loop's registers free. What
// each unit means to a user, its parameters and their ranges, is in description.cpp.
#pragma once

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "by_type.hpp"
#include "core.hpp"
#include "description.hpp"
#include "members.hpp"
#include "shape_frame.hpp"

namespace morva {

struct Cell;     // world.hpp: the cell table an energy change reads
struct Lattice;  // lattice.hpp
struct Coords;   // lattice.hpp
struct Trackers;  // trackers.hpp

namespace detail {
inline bool any_flag(const std::vector<std::uint8_t>& flags) {
    return std::any_of(flags.begin(), flags.end(), [](std::uint8_t f) { return f != 0; });
}
}  // namespace detail

// The connectivity constraint: guarded cells (by type) and the medium may not be split by a copy.
struct ConnectivityTerm {
    std::vector<std::uint8_t> by_type;
    bool medium = false;

    static constexpr ParameterInfo parameters[] = {
        {"connectivity", "per type", "bool", "true or false", 0.0},
        {"medium_connectivity", "world", "bool", "true or false", 0.0},
    };
    static constexpr UnitInfo about{"connectivity", "term",
                                    "Vetoes a copy that would split a guarded cell (or the medium).", parameters};

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("medium connectivity flag", Scope::world, self.medium...);
        f("connectivity table", Scope::per_type, self.by_type...);
    }
    bool on() const { return medium || detail::any_flag(by_type); }
    void set(CellType t, bool guarded) { type_slot(by_type, t) = guarded; }
    bool guards_type(CellType t) const { return t < by_type.size() && by_type[t] != 0; }
};

// The anchored membrane: sites of anchored types pay k * (d - band)^2 beyond the band, d being the
// distance to the nearest anchor (per site; empty: the term is off).
struct MembraneTerm {
    std::vector<float> distance;
    std::vector<std::uint8_t> anchored_by_type;
    double k = 0;
    double band = 0;

    static constexpr ParameterInfo parameters[] = {
        {"anchors", "world", "sites", "site indices of the lattice; none leaves the term off", 0.0},
        {"k", "world", "float", "any", 0.0},
        {"band", "world", "float", "any", 0.0},
        {"anchored", "per type", "bool", "true or false", 0.0},
    };
    static constexpr UnitInfo about{"membrane", "term",
                                    "k * (d - band)^2 for each site of an anchored cell farther than band from "
                                    "the nearest anchor (d: its distance through faces).",
                                    parameters};

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("membrane k", Scope::world, self.k...);
        f("membrane band", Scope::world, self.band...);
        f("membrane anchoring table", Scope::per_type, self.anchored_by_type...);
        f("membrane distance", Scope::per_site, self.distance...);
    }
    bool on() const { return !distance.empty() && detail::any_flag(anchored_by_type); }
    void set_anchored(CellType t, bool anchored) { type_slot(anchored_by_type, t) = anchored; }
    bool anchors_type(CellType t) const { return t < anchored_by_type.size() && anchored_by_type[t] != 0; }
    // The change of copying new_label onto `site`, reading the label grid and the cell table
    // (membrane.cpp).
    double change(const Label* labels, const Cell* cells, SiteIndex site, Label new_label) const;
    std::string fault(SiteIndex n_sites) const {
        if (distance.empty() || distance.size() == n_sites) return {};
        return "the membrane distance has " + std::to_string(distance.size()) + " values for " +
               std::to_string(n_sites) + " sites";
    }
};

// The junction term: a pinch of medium between two cells of enabled types costs lambda.
struct JunctionTerm {
    std::vector<std::uint8_t> by_type;
    double lambda = 0;

    static constexpr ParameterInfo parameters[] = {
        {"lambda_junction", "world", "float", "any; on where > 0", 0.0},
        {"junction", "per type", "bool", "true or false", 0.0},
    };
    static constexpr UnitInfo about{"junction", "term",
                                    "lambda_junction for each pinch of medium between two cells of enabled types.",
                                    parameters};

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("junction lambda", Scope::world, self.lambda...);
        f("junction table", Scope::per_type, self.by_type...);
    }
    bool on() const { return lambda > 0 && detail::any_flag(by_type); }
    void set(CellType t, bool enabled) { type_slot(by_type, t) = enabled; }
    bool enables_type(CellType t) const { return t < by_type.size() && by_type[t] != 0; }
    // Pinches at the medium site `probe` (at c), reading `site` as if it held `label` (membrane.cpp).
    std::int64_t pinches(const Lattice& lattice, const Cell* cells, SiteIndex probe, const Coords& c,
                         SiteIndex site, Label label) const;
    // The change of copying new_label onto `site` (membrane.cpp).
    double change(const Lattice& lattice, const Cell* cells, SiteIndex site, Label new_label) const;
};

// The length constraint: lambda * (length - target)^2 per cell, by type.
struct LengthTerm {
    std::vector<double> target_by_type;
    std::vector<double> lambda_by_type;

    static constexpr ParameterInfo parameters[] = {
        {"length", "per type", "float", "any", 0.0},
        {"lambda_length", "per type", "float", "any; on where > 0", 0.0},
    };
    static constexpr UnitInfo about{"length", "term",
                                    "lambda_length * (major axis length - length)^2 for each cell.", parameters};

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("length target table", Scope::per_type, self.target_by_type...);
        f("length lambda table", Scope::per_type, self.lambda_by_type...);
    }
    bool on() const {
        return std::any_of(lambda_by_type.begin(), lambda_by_type.end(), [](double l) { return l > 0; });
    }
    // On, and every length energy is >= 0 or NaN.
    bool never_negative() const {
        return on() && std::none_of(lambda_by_type.begin(), lambda_by_type.end(), [](double l) { return l < 0; });
    }
    void set(CellType t, double target, double lambda) {
        type_slot(lambda_by_type, t) = lambda;
        type_slot(target_by_type, t) = target;
    }
    std::string fault(SiteIndex) const {
        if (target_by_type.size() == lambda_by_type.size()) return {};
        return "the length target and lambda tables differ in size";
    }
    // The energy of a cell of type t whose trackers are m (length.cpp).
    double energy(CellType t, const Trackers& m) const;
    // The change of copying new_label onto the site at c held by old_label, given both cells' current
    // energies (a sweep keeps them between flips rather than recomputing them at every attempt). With
    // `unwrap` (periodic shapes) each cell sees the site in its own frame in the lattice (length.cpp).
    double change(const Lattice& lattice, const Cell* cells, Label old_label, Label new_label, const Coords& c,
                  double old_now, double new_now, bool unwrap) const;
};

// The external potential: a constant force per cell type (or a cell's own, where one is set), on raw
// site coordinates or (option com_force) on each cell's centre of mass.
struct ExternalTerm {
    std::vector<std::array<double, 3>> force_by_type;
    std::vector<std::array<double, 3>> force_by_cell;  // per cell, read where own_force_by_cell is set;
    std::vector<std::uint8_t> own_force_by_cell;       // both empty until some cell has its own force

    static constexpr ParameterInfo parameters[] = {
        {"force", "per type", "vector", "any; (0, 0, 0) leaves the type out", 0.0},
        {"cell_force", "per cell", "vector", "any; overrides the type's force for that cell", 0.0},
    };
    static constexpr UnitInfo about{"external potential", "term",
                                    "-F . r for each site of a cell of the type (with com_force: -F . the change of "
                                    "the centre).",
                                    parameters};

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("external potential table", Scope::per_type, self.force_by_type...);
        f("external force by cell", Scope::per_cell, self.force_by_cell...);
        f("external own force flags", Scope::per_cell, self.own_force_by_cell...);
    }
    bool on() const {
        const auto pushes = [](const std::array<double, 3>& f) { return f[0] != 0 || f[1] != 0 || f[2] != 0; };
        if (std::any_of(force_by_type.begin(), force_by_type.end(), pushes)) return true;
        for (std::size_t l = 0; l < own_force_by_cell.size(); ++l)
            if (own_force_by_cell[l] && pushes(force_by_cell[l])) return true;
        return false;
    }
    void set(CellType t, double fx, double fy, double fz) { type_slot(force_by_type, t) = {fx, fy, fz}; }
    // The force on type t; none beyond the table.
    const std::array<double, 3>& force_of(CellType t) const {
        static constexpr std::array<double, 3> none{0.0, 0.0, 0.0};
        return t < force_by_type.size() ? force_by_type[t] : none;
    }
    // The force on cell l of type t: its own where one was set, else its type's.
    const std::array<double, 3>& force_on(Label l, CellType t) const {
        return l < own_force_by_cell.size() && own_force_by_cell[l] ? force_by_cell[l] : force_of(t);
    }
    // Gives cell l (of n_cells records) its own force; the per-cell tables are sized on first use.
    void set_cell(Label l, std::size_t n_cells, double fx, double fy, double fz) {
        force_by_cell.resize(n_cells, {0.0, 0.0, 0.0});
        own_force_by_cell.resize(n_cells, 0);
        force_by_cell[l] = {fx, fy, fz};
        own_force_by_cell[l] = 1;
    }
    // Cell l reads its type's force again.
    void clear_cell(Label l) {
        if (l < own_force_by_cell.size()) {
            own_force_by_cell[l] = 0;
            force_by_cell[l] = {0.0, 0.0, 0.0};
        }
    }
    // A new cell record reads its type's force.
    void add_cell() {
        if (own_force_by_cell.empty()) return;
        force_by_cell.push_back({0.0, 0.0, 0.0});
        own_force_by_cell.push_back(0);
    }
    std::string cell_fault(std::size_t n_cells) const {
        if (own_force_by_cell.size() != force_by_cell.size())
            return "the external force by cell and its flags differ in size";
        if (own_force_by_cell.empty() || own_force_by_cell.size() == n_cells) return {};
        return "the external force by cell has " + std::to_string(own_force_by_cell.size()) + " entries for " +
               std::to_string(n_cells) + " cell records";
    }
    // The raw form's change of copying new_label onto `site` (external.cpp).
    double change(const Lattice& lattice, const Cell* cells, SiteIndex site, Label new_label) const;
    // The centre-of-mass form's change of copying b onto `site` (held by a), each cell's centre read
    // from the trackers the sweep sees (`seen.trackers(label, cell)`: CurrentTrackers, or the parallel
    // sweep's view), the site placed in each cell's frame (periodic shapes). A template over that
    // view, defined in energy_change.hpp.
    template <class Seen>
    double change_com(const Lattice& lattice, const Cell* cells, SiteIndex site, Label a, Label b, const Seen& seen,
                      bool periodic_shapes) const;
};

// The act model: every site holds an activity, set to max_act of its cell's type when a copy puts it
// into the cell and lowered by one (down to 0) after each step. A copy from s into t costs
// (lambda_act / max_act) * (A(t) - A(s)), A being the mean activity of a site and its neighbours of
// the same cell (act.cpp), so copies from an active front outward are favoured.
using Activity = std::uint16_t;

struct ActTerm {
    std::vector<double> lambda_by_type;
    std::vector<Activity> max_by_type;
    bool arithmetic = false;        // A is the arithmetic mean instead of the geometric one
    std::vector<Activity> activity;  // per site; empty while no type was ever given the term

    static constexpr ParameterInfo parameters[] = {
        {"lambda_act", "per type", "float", "any; 0 leaves the type out", 0.0},
        {"max_act", "per type", "int", "0 to 65535; 0 leaves the type out", 0.0},
        {"act_arithmetic", "world", "bool", "true or false; false takes the geometric mean", 0.0},
    };
    static constexpr UnitInfo about{"act", "term",
                                    "(lambda_act / max_act) * (A(target) - A(source)), A the mean activity of a "
                                    "site and its neighbours of the same cell; a copied site's activity becomes "
                                    "max_act and drops by 1 each step.",
                                    parameters};

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("act lambda table", Scope::per_type, self.lambda_by_type...);
        f("act maximum table", Scope::per_type, self.max_by_type...);
        f("act arithmetic flag", Scope::world, self.arithmetic...);
        f("act activity", Scope::per_site, self.activity...);
    }
    bool on() const {
        for (std::size_t t = 0; t < lambda_by_type.size() && t < max_by_type.size(); ++t)
            if (lambda_by_type[t] != 0 && max_by_type[t] != 0) return !activity.empty();
        return false;
    }
    void set(CellType t, double lambda, Activity max_act) {
        type_slot(lambda_by_type, t) = lambda;
        type_slot(max_by_type, t) = max_act;
    }
    double lambda_of(CellType t) const { return t < lambda_by_type.size() ? lambda_by_type[t] : 0.0; }
    Activity max_of(CellType t) const { return t < max_by_type.size() ? max_by_type[t] : Activity{0}; }
    // The change of copying source's label b onto target (held by a); unlike the other units' changes it
    // takes the source site, whose local activity is part of it (act.cpp).
    double change(const Lattice& lattice, const Cell* cells, SiteIndex target, SiteIndex source, Label a,
                  Label b) const;
    // The mean activity of `site` and its neighbours held by `label` (0 for the medium).
    double local_activity(const Lattice& lattice, SiteIndex site, Label label) const;
    std::string fault(SiteIndex n_sites) const {
        if (lambda_by_type.size() != max_by_type.size()) return "the act lambda and maximum tables differ in size";
        if (activity.empty() || activity.size() == n_sites) return {};
        return "the act activity has " + std::to_string(activity.size()) + " values for " +
               std::to_string(n_sites) + " sites";
    }
};

// Persistent motion: each cell of a type with lambda_dir holds a unit preferred direction p. A copy
// that moves the centre of the cell gaining or losing the site by dc adds -lambda_dir * p . dc / |dc|
// for that cell (persistence.cpp). Every `interval` steps a cell's p turns to its own displacement
// over those steps, with angular noise that `persistence` (1: none, 0: a fresh direction) scales.
// Per cell: p ((0, 0, 0) until drawn), the centre the interval started from and the steps it has run
// (`restart`: the start is taken anew before the next step). The per-cell tables are empty until
// the term is first set or a direction is given.
struct PersistenceTerm {
    static constexpr std::uint32_t restart = 0xffffffffu;
    std::vector<double> lambda_by_type;
    std::vector<std::uint32_t> interval_by_type;
    std::vector<double> persistence_by_type;
    std::vector<std::array<double, 3>> direction;
    std::vector<std::array<double, 3>> start;
    std::vector<std::uint32_t> elapsed;

    static constexpr ParameterInfo parameters[] = {
        {"lambda_dir", "per type", "float", "finite; 0 leaves the type out", 0.0},
        {"persistence_interval", "per type", "int", "1 to 2^32 - 2 steps", 0.0},
        {"persistence", "per type", "float", "0 to 1; 1: the direction follows the displacement without noise",
         0.0},
        {"direction", "per cell", "vector", "any non-zero vector, kept as its unit vector", 0.0},
    };
    static constexpr UnitInfo about{"persistence", "term",
                                    "-lambda_dir * p . dc / |dc| for the cells gaining and losing the site, dc "
                                    "the move of the cell's centre and p its preferred direction, which turns to "
                                    "the cell's own displacement every persistence_interval steps.",
                                    parameters};

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("persistence lambda table", Scope::per_type, self.lambda_by_type...);
        f("persistence interval table", Scope::per_type, self.interval_by_type...);
        f("persistence noise table", Scope::per_type, self.persistence_by_type...);
        f("persistence directions", Scope::per_cell, self.direction...);
        f("persistence interval starts", Scope::per_cell, self.start...);
        f("persistence elapsed steps", Scope::per_cell, self.elapsed...);
    }
    bool on() const {
        if (direction.empty()) return false;
        return std::any_of(lambda_by_type.begin(), lambda_by_type.end(), [](double l) { return l != 0; });
    }
    double lambda_of(CellType t) const { return t < lambda_by_type.size() ? lambda_by_type[t] : 0.0; }
    // Sizes the per-cell tables to n_cells records (new entries: no direction, interval to restart).
    void cover(std::size_t n_cells) {
        direction.resize(n_cells, {0.0, 0.0, 0.0});
        start.resize(n_cells, {0.0, 0.0, 0.0});
        elapsed.resize(n_cells, restart);
    }
    // A new cell record: its direction is drawn before its first step.
    void add_cell() {
        if (!direction.empty()) cover(direction.size() + 1);
    }
    // The change of copying b onto `site` (held by a), each cell's centre read from the trackers the
    // sweep sees (`seen`, as for ExternalTerm::change_com), the site placed in each cell's frame
    // (periodic shapes). Defined in persistence.hpp.
    template <class Seen>
    double change(const Lattice& lattice, const Cell* cells, SiteIndex site, Label a, Label b, const Seen& seen,
                  bool periodic_shapes) const;
    // The same given both cells' types and trackers and the frame (persistence.cpp).
    double change(const ShapeFrame& frame, const Coords& c, Label a, CellType type_a, const Trackers& seen_a, Label b,
                  CellType type_b, const Trackers& seen_b) const;
    std::string fault(SiteIndex) const {
        if (lambda_by_type.size() != interval_by_type.size() || lambda_by_type.size() != persistence_by_type.size())
            return "the persistence tables differ in size";
        for (std::size_t t = 0; t < lambda_by_type.size(); ++t) {
            if (lambda_by_type[t] == 0) continue;
            if (interval_by_type[t] < 1 || interval_by_type[t] == restart)
                return "type " + std::to_string(t) + " has a persistence interval of " +
                       std::to_string(interval_by_type[t]) + " steps";
            if (!(persistence_by_type[t] >= 0 && persistence_by_type[t] <= 1))
                return "type " + std::to_string(t) + " has a persistence outside [0, 1]";
        }
        return {};
    }
    std::string cell_fault(std::size_t n_cells) const {
        if (direction.size() != start.size() || direction.size() != elapsed.size())
            return "the persistence per-cell tables differ in size";
        if (direction.empty() || direction.size() == n_cells) return {};
        return "the persistence directions have " + std::to_string(direction.size()) + " entries for " +
               std::to_string(n_cells) + " cell records";
    }
};

// Opt-in forms a world switches on before it is finalized; all off is the original behaviour.
//   periodic_shapes: coordinate sums unwrap across periodic seams (shape_frame.hpp), so centres,
//     lengths, the length term and division planes are those of the cell as it looks;
//   com_force: the external force acts on each cell's centre of mass, -F . (change of the centre),
//     instead of on raw site coordinates;
//   face_connectivity: the connectivity veto keeps guarded cells connected through faces, whatever
//     neighbourhood copies and energies use.
struct WorldOptions {
    bool periodic_shapes = false;
    bool com_force = false;
    bool face_connectivity = false;

    static constexpr ParameterInfo periodic_shapes_parameters[] = {
        {"periodic_shapes", "world", "bool", "true or false", 0.0}};
    static constexpr ParameterInfo com_force_parameters[] = {{"com_force", "world", "bool", "true or false", 0.0}};
    static constexpr ParameterInfo face_connectivity_parameters[] = {
        {"face_connectivity", "world", "bool", "true or false", 0.0}};
    static constexpr UnitInfo about[] = {
        {"periodic_shapes", "option", "Centres, lengths and division planes follow cells across periodic seams.",
         periodic_shapes_parameters},
        {"com_force", "option", "The external force acts on each cell's centre of mass.", com_force_parameters},
        {"face_connectivity", "option", "The connectivity veto keeps guarded cells connected through faces.",
         face_connectivity_parameters},
    };

    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("periodic shapes flag", Scope::world, self.periodic_shapes...);
        f("centre-of-mass force flag", Scope::world, self.com_force...);
        f("face connectivity flag", Scope::world, self.face_connectivity...);
    }
    friend bool operator==(const WorldOptions&, const WorldOptions&) = default;
};

}  // namespace morva
