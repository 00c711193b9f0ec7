// energy_change.hpp: the change of the Hamiltonian for one copy: the core part (volume, surface,
// contact) as one inline template, shared by World::delta_hamiltonian and the sweeps' copy attempt,
// and the optional terms added onto it. The order of the floating-point additions is part of the
// dynamics. The sweeps pass their own neighbour and type accessors so that interior targets need no
// list and types come from a flat table.
#pragma once

#include <type_traits>

#include "persistence.hpp"
#include "world.hpp"

namespace morva {

// The volume and surface the energy sees, and the whole tracker record where a term needs the
// centre: the trackers themselves in the sequential sweep; the parallel sweep adds a worker's own
// increments (parallel.cpp).
struct CurrentTrackers {
    std::int64_t volume(Label, const Cell& c) const { return c.volume; }
    std::int64_t surface(Label, const Cell& c) const { return c.surface; }
    const Trackers& trackers(Label, const Cell& c) const { return c; }
};

// The centre-of-mass form of the external force: -F . (change of the centre) for the cell losing
// the site (a) and the one gaining it (b), each seeing the site in its own frame. The medium has no
// centre, and a cell's first or last site moves no centre.
template <class Seen>
double ExternalTerm::change_com(const Lattice& lattice, const Cell* cells, SiteIndex site, Label a, Label b,
                                const Seen& seen, bool periodic_shapes) const {
    const Coords c = lattice.coords(site);
    const Point raw{static_cast<double>(c.x), static_cast<double>(c.y), static_cast<double>(c.z)};
    const ShapeFrame frame = ShapeFrame::make(lattice.dims, lattice.periodic, periodic_shapes);
    // F . (centre moved by (toward - from) / n): the sign and n differ for losing and gaining.
    const auto work = [](const std::array<double, 3>& f, const Point& from, const Point& toward, double n) {
        return ((f[0] * (toward[0] - from[0]) + f[1] * (toward[1] - from[1])) + f[2] * (toward[2] - from[2])) / n;
    };
    double dh = 0.0;
    if (a != 0) {
        const Trackers& t = seen.trackers(a, cells[a]);
        if (t.volume > 1) {
            const double n = static_cast<double>(t.volume);
            const Point centre{t.sum_x / n, t.sum_y / n, t.sum_z / n};
            dh -= work(force_on(a, cells[a].cell_type), frame.place(a, t, raw), centre, n - 1.0);
        }
    }
    if (b != 0) {
        const Trackers& t = seen.trackers(b, cells[b]);
        if (t.volume > 0) {
            const double n = static_cast<double>(t.volume);
            const Point centre{t.sum_x / n, t.sum_y / n, t.sum_z / n};
            dh -= work(force_on(b, cells[b].cell_type), centre, frame.place(b, t, raw), n + 1.0);
        }
    }
    return dh;
}

// The sweeps' calls of the two changes that read the trackers they see, kept out of line with the
// world and the view alone as arguments: inlined, or with the units' seven, they crowd the sweeps'
// inner loop (its registers) even while their gates are closed.
template <class Seen>
[[gnu::noinline]] double com_force_change(const World& w, SiteIndex target, Label a, Label b, const Seen& seen) {
    return w.external.change_com(w.lattice, w.cells.data(), target, a, b, seen, w.options.periodic_shapes);
}
template <class Seen>
[[gnu::noinline]] double persistence_change(const World& w, SiteIndex target, Label a, Label b, const Seen& seen) {
    return w.persistence.change(w.lattice, w.cells.data(), target, a, b, seen, w.options.periodic_shapes);
}

// The same for the act unit (act.cpp, where the unit's change is inlined into it): the world and four
// values, all in registers, where a call of the unit's own change would pass one on the stack.
double act_change(const World& w, SiteIndex target, SiteIndex source, Label a, Label b);

// The optional terms that come before the length term, added left to right onto dh. Always inlined:
// the sweeps' attempt loops read its gates where they are.
[[gnu::always_inline]] inline double add_terms_before_length(const World& w, const TermGates& g, double dh,
                                                             SiteIndex target, SiteIndex source, Label b) {
    if (g.fields) dh += ChemotaxisTerm::change(w.fields, w.lattice.labels.data(), w.cells.data(), target, source, b);
    if (g.on<MembraneTerm>()) dh += w.membrane.change(w.lattice.labels.data(), w.cells.data(), target, b);
    if (g.on<JunctionTerm>()) dh += w.junction.change(w.lattice, w.cells.data(), target, b);
    return dh;
}

// The length term's part, given both cells' current energies; its gate must be open.
inline double length_change(const World& w, Label a, Label b, const Coords& c, double a_now, double b_now) {
    return w.length.change(w.lattice, w.cells.data(), a, b, c, a_now, b_now, w.options.periodic_shapes);
}

// The external force's part, the last term; its gate must be open.
template <class Seen>
inline double external_change(const World& w, const TermGates& g, SiteIndex target, Label a, Label b,
                              const Seen& seen) {
    if (g.com_force) return com_force_change(w, target, a, b, seen);
    return w.external.change(w.lattice, w.cells.data(), target, b);
}

// The optional terms, asked for in their fixed order and added left to right onto the core change.
// seen is the tracker view (see CurrentTrackers); length_now(l) gives cell l's current length energy
// (World::length_energy, or a kept copy of it); coords_of() the target's coordinates. The parallel
// sweep refuses models with a length term, so there its gate is always closed.
template <class Seen, class LengthNow, class CoordsOf>
inline double add_optional_terms(const World& w, const TermGates& g, double dh, SiteIndex target, SiteIndex source,
                                 Label a, Label b, const Seen& seen, LengthNow&& length_now, CoordsOf&& coords_of) {
    dh = add_terms_before_length(w, g, dh, target, source, b);
    if (g.on<LengthTerm>()) dh += length_change(w, a, b, coords_of(), length_now(a), length_now(b));
    if (g.on<ExternalTerm>()) dh += external_change(w, g, target, a, b, seen);
    if (g.on<ActTerm>()) dh += act_change(w, target, source, a, b);
    if (g.on<PersistenceTerm>()) dh += persistence_change(w, target, a, b, seen);
    return dh;
}

// The contact part of a copy of the site from label a to label b: for each neighbour holding l, the
// contact b gains (J(b, l) unless l is b) less the one a loses (J(a, l) unless l is a); a site never
// contacts itself, and types outside the table read the zero row. Each policy below sums it its own
// way from the same table; neighbor_at(i) gives the i-th of count neighbours, type_of(l) the padded
// index of label l's type.

// The doubles of the table, summed neighbour by neighbour as written: the order that fixes the bits.
struct DoubleContact {
    const ContactMatrix& table;

    template <class NeighborAt, class TypeOf>
    double sum(const Label* labels, SiteIndex site, Label a, Label b, std::size_t count, NeighborAt neighbor_at,
               TypeOf type_of) const {
        const double* row_a = table.row(type_of(a));
        const double* row_b = table.row(type_of(b));
        double total = 0.0;
        for (std::size_t i = 0; i < count; ++i) {
            const SiteIndex t = neighbor_at(i);
            if (t == site) continue;
            const Label l = labels[t];
            const std::size_t tl = type_of(l);
            const double gained = l != b ? row_b[tl] : 0.0;
            const double lost = l != a ? row_a[tl] : 0.0;
            total += gained - lost;
        }
        return total;
    }
};

// The same table as integers J * 2^shift (ContactMatrix::scaled_integers). With every entry a multiple
// of 2^-shift below 2^47 * 2^-shift, each of the at most 2 * 26 terms, each difference and each partial
// sum of the double loop is a multiple of 2^-shift below 2^53 * 2^-shift: every addition is exact, so
// the double sum equals the integer sum scaled back, in any order. It is never -0 either way (the sum
// starts at +0, and an exact x + (-x) rounds to +0). Being exact, the sum may be regrouped: every
// neighbour adds row_b - row_a of its type, then the neighbours holding a (which lose nothing) give
// row_a back and those holding b (which gain nothing) take row_b off. No branch per neighbour.
struct ScaledContact {
    const std::int64_t* values;
    std::size_t stride;
    double unscale;  // 2^-shift
    const std::int64_t* row(std::size_t padded) const { return values + padded * stride; }

    template <class NeighborAt, class TypeOf>
    double sum(const Label* labels, SiteIndex site, Label a, Label b, std::size_t count, NeighborAt neighbor_at,
               TypeOf type_of) const {
        const std::size_t type_a = type_of(a), type_b = type_of(b);
        const std::int64_t* row_a = row(type_a);
        const std::int64_t* row_b = row(type_b);
        std::int64_t total = 0, of_a = 0, of_b = 0, of_site = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const SiteIndex t = neighbor_at(i);
            if constexpr (!excludes_site_v<NeighborAt>) of_site += t == site;
            const Label l = labels[t];
            const std::size_t tl = type_of(l);
            total += row_b[tl] - row_a[tl];
            of_a += l == a;
            of_b += l == b;
        }
        // The site itself (listed only in boxes narrower than the neighbourhood) holds a: as counted,
        // each listing added row_b[type_a], which it must not.
        total += of_a * row_a[type_a] - of_b * row_b[type_b] - of_site * row_b[type_a];
        return static_cast<double>(total) * unscale;
    }
};

// The scaled table for a sweep that owns its label-type table and has few types: for the length of
// one sum, a and b get two extra type indices, and one row of per-type terms (both rows' difference,
// the gain alone for a neighbour holding a, the loss alone for one holding b) makes each neighbour a
// single load. The sum is the same integer as ScaledContact's. Marking writes the table, so sum is not
// const: the policy belongs to the one sweep that owns the table.
struct MarkedScaledContact {
    static constexpr std::size_t max_stride = 30;
    ScaledContact table;
    std::uint32_t* types;  // what type_of reads, indexed by label; restored before sum returns

    template <class NeighborAt, class TypeOf>
    double sum(const Label* labels, SiteIndex site, Label a, Label b, std::size_t count, NeighborAt neighbor_at,
               TypeOf) {
        const std::size_t stride = table.stride;
        const std::uint32_t type_a = types[a], type_b = types[b];
        const std::int64_t* row_a = table.row(type_a);
        const std::int64_t* row_b = table.row(type_b);
        std::int64_t term[max_stride + 2];
        for (std::size_t t = 0; t < stride; ++t) term[t] = row_b[t] - row_a[t];
        term[stride] = row_b[type_a];
        term[stride + 1] = -row_a[type_b];
        types[a] = static_cast<std::uint32_t>(stride);
        types[b] = static_cast<std::uint32_t>(stride + 1);
        std::int64_t total = 0, of_site = 0;
#pragma GCC unroll 4
        for (std::size_t i = 0; i < count; ++i) {
            const SiteIndex t = neighbor_at(i);
            if constexpr (!excludes_site_v<NeighborAt>) of_site += t == site;
            total += term[types[labels[t]]];
        }
        types[a] = type_a;
        types[b] = type_b;
        return static_cast<double>(total - of_site * row_b[type_a]) * table.unscale;
    }
};

// neighbor_at(i) gives entry i of the target's neighbour list (count entries); type_of(l) the padded
// contact index of label l's type (ContactMatrix::padded_type). The additions run in a fixed order:
// volume of a, volume of b, surface entries by ascending id, then the separately summed contact part.
template <class NeighborAt, class TypeOf, class Trackers, class Contact = DoubleContact>
inline double core_delta(const World& w, SiteIndex site, Label a, Label b, std::size_t count, NeighborAt neighbor_at,
                         TypeOf type_of, const Trackers& seen, Contact&& contact) {
    const Cell* cells = w.cells.data();
    double energy = 0.0;
    if (a != 0) {
        const Cell& c = cells[a];
        const std::int64_t volume = seen.volume(a, c);
        const double d1 = static_cast<double>(volume - 1) - c.target_volume;
        const double d0 = static_cast<double>(volume) - c.target_volume;
        energy += c.lambda_volume * (d1 * d1 - d0 * d0);
    }
    if (b != 0) {
        const Cell& c = cells[b];
        const std::int64_t volume = seen.volume(b, c);
        const double d1 = static_cast<double>(volume + 1) - c.target_volume;
        const double d0 = static_cast<double>(volume) - c.target_volume;
        energy += c.lambda_volume * (d1 * d1 - d0 * d0);
    }
    if (w.surface_active) {
        NeighborList nbrs;
        for (std::size_t i = 0; i < count; ++i) nbrs.push_back(neighbor_at(i));
        for (const SurfaceDelta& e : w.surface_deltas(site, a, b, nbrs)) {
            if (e.id == 0) continue;
            const Cell& c = cells[e.id];
            const std::int64_t surface = seen.surface(e.id, c);
            const double d1 = static_cast<double>(surface + e.change) - c.target_surface;
            const double d0 = static_cast<double>(surface) - c.target_surface;
            energy += c.lambda_surface * (d1 * d1 - d0 * d0);
        }
    }
    return energy + contact.sum(w.lattice.labels.data(), site, a, b, count, neighbor_at, type_of);
}

}  // namespace morva
