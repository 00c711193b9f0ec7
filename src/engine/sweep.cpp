// sweep.cpp: the sequential Metropolis sweep. Owns the main generator's draw order; writes labels only
// through World::apply_flip, its flip writer.
#include "sweep.hpp"

#include "copy_attempt.hpp"

namespace morva {

// Nothing changes a cell's type during a sweep, so the sweeps read the padded contact index of each
// label's type from a flat copy.
void fill_padded_types(const World& w, std::vector<std::uint32_t>& out) {
    out.resize(w.cells.size());
    for (std::size_t i = 0; i < w.cells.size(); ++i)
        out[i] = static_cast<std::uint32_t>(w.contact.padded_type(w.cells[i].cell_type));
}

void prepare_sweep_tables(Morva& m) {
    fill_padded_types(m.world, m.type_by_label);
    m.contact_is_scaled = m.world.contact.scaled_integers(m.scaled_contact, m.contact_unscale);
}

Morva Morva::make(World world, std::uint64_t seed) { return Morva(std::move(world), Xoshiro256pp::from_seed(seed)); }

namespace {

// The sequential sweep's flip writer: an accepted copy is applied at once, in the cells' own frames
// when `Unwrap` (periodic shapes). It keeps each cell's length energy once computed (the eigenvalue
// costs two libm calls), forgetting the two cells a flip changes. `LengthLast` sweeps price the length
// term last (decide_copy); only models whose length energies are never negative get them, so that
// the other sweeps keep no code for it.
template <bool Unwrap, bool LengthLast>
struct ApplyAtOnce {
    static constexpr bool prices_length = LengthLast;
    World& w;
    LengthEnergies& lengths;
    CurrentTrackers seen() const { return {}; }
    double length_energy(Label l) {
        if (!lengths.known[l]) {
            lengths.energy[l] = w.length_energy(l);
            lengths.known[l] = 1;
        }
        return lengths.energy[l];
    }
    template <class NeighborAt>
    void write(SiteIndex target, Label a, Label b, const Coords& c, std::size_t count, NeighborAt neighbor_at) {
        w.apply_flip<Unwrap>(target, a, b, c, count, neighbor_at);
        lengths.known[a] = 0;
        lengths.known[b] = 0;
    }
};

// One Monte Carlo step's worth of copy attempts at uniformly drawn targets. `Flat` boxes (a single
// layer) skip the z coordinate; see ApplyAtOnce for the rest.
template <bool Flat, bool Unwrap, bool LengthLast>
void run_attempts(World& w, Xoshiro256pp& main_rng, const AttemptSetting& setting, LengthEnergies& lengths) {
    Xoshiro256pp rng = main_rng;  // a local copy stays in registers: no store to the world can alias it
    const AttemptSetting k = setting;
    const Lattice& lat = w.lattice;
    const SiteIndex n_sites = lat.n_sites();
    const Geometry geo = lat.geometry;
    ApplyAtOnce<Unwrap, LengthLast> writer{w, lengths};
    for (SiteIndex attempt = 0; attempt < n_sites; ++attempt) {
        const SiteIndex target = rng.below(n_sites);
        const auto coords_of = [&geo, target] { return Flat ? geo.flat_coords(target) : geo.coords(target); };
        attempt_copy(w, k, target, lat.is_interior_site(target), coords_of, rng, writer);
    }
    main_rng = rng;
}

using Attempts = void (*)(World&, Xoshiro256pp&, const AttemptSetting&, LengthEnergies&);

template <bool... Chosen>
Attempts pick_attempts() {
    return run_attempts<Chosen...>;
}

template <bool... Chosen, class... Rest>
Attempts pick_attempts(bool next, Rest... rest) {
    return next ? pick_attempts<Chosen..., true>(rest...) : pick_attempts<Chosen..., false>(rest...);
}

}  // namespace

void Morva::step(std::uint64_t mcs) { step(mcs, StepCheck{}); }

std::uint64_t Morva::step(std::uint64_t mcs, StepCheck check) {
    if (mcs == 0) return 0;
    if (world.lattice.n_sites() == 0) return mcs;  // nothing moves or diffuses: any number of steps is none
    prepare_sweep_tables(*this);
    length_energies.known.assign(world.cells.size(), 0);  // trackers may have changed since the last call
    length_energies.energy.resize(world.cells.size());
    AttemptSetting setting = AttemptSetting::of(*this);
    // This sweep alone reads its label-type table, so it may mark labels in it
    if (contact_is_scaled && setting.contact_stride <= MarkedScaledContact::max_stride)
        setting.marked_types = type_by_label.data();
    const bool flat = world.lattice.nz() == 1 && world.lattice.geometry.reach[2] == 0;
    const bool unwrap = world.shape_frame().unwraps();
    const auto attempts = pick_attempts(flat, unwrap, setting.gates.length_never_negative);
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (world.lattice.n_sites() != 0) attempts(world, rng, setting, length_energies);
        if (unwrap) world.wrap_centres_into_box(length_energies.known);  // shifted sums round differently
        world.advance_fields();
        if (m + 1 < mcs && !check(m + 1)) return m + 1;
    }
    return mcs;
}

}  // namespace morva
