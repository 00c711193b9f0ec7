// sweep_steps.hpp: the sequential sweep's steps for one contact policy (with_contact_policy). Each
// policy's steps are compiled in a file of their own (sweep_plain.cpp, sweep_scaled.cpp,
// sweep_marked.cpp): the eight forms of the attempt loop per policy are large, and compiled all
// together the loops lose inlining they need.
#pragma once

#include "copy_attempt.hpp"

namespace morva {

// mcs steps of the sequential sweep with the given contact policy, asking `check` between steps;
// returns the number of steps done (Morva::step).
template <class Contact>
std::uint64_t sequential_steps(Morva& m, const AttemptSetting& setting, const Contact& contact, std::uint64_t mcs,
                               StepCheck check);

extern template std::uint64_t sequential_steps(Morva&, const AttemptSetting&, const DoubleContact&, std::uint64_t,
                                               StepCheck);
extern template std::uint64_t sequential_steps(Morva&, const AttemptSetting&, const ScaledContact&, std::uint64_t,
                                               StepCheck);
extern template std::uint64_t sequential_steps(Morva&, const AttemptSetting&, const MarkedScaledContact&,
                                               std::uint64_t, StepCheck);

namespace sweep_detail {

// The sequential sweep's flip writer: an accepted copy is applied at once, in the cells' own frames
// when `Unwrap` (periodic shapes). It keeps each cell's length energy once computed (the eigenvalue
// costs two libm calls), forgetting the two cells a flip changes. `LengthLast` sweeps price the length
// term last (decide_copy); only models whose length energies are never negative get them, so that
// the other sweeps keep no code for it. Likewise only `Flat` sweeps (single-layer boxes, the only ones
// with flat 8-neighbour rows) keep code for counting those rows' labels at once (count_neighbors).
template <bool Flat, bool Unwrap, bool LengthLast>
struct ApplyAtOnce {
    static constexpr bool prices_length = LengthLast;
    World& w;
    LengthEnergies& lengths;
    bool act;  // the act model's gate: an accepted copy sets the site's activity
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
        if constexpr (Flat)
            w.apply_flip<Unwrap>(target, a, b, c, count, neighbor_at, FlatRow{w.lattice.flat_block_row});
        else
            w.apply_flip<Unwrap>(target, a, b, c, count, neighbor_at);
        if (act) w.activate(target, b);
        lengths.known[a] = 0;
        lengths.known[b] = 0;
    }
};

// One Monte Carlo step's worth of copy attempts at uniformly drawn targets. `Flat` boxes (a single
// layer) skip the z coordinate; see ApplyAtOnce for the rest.
template <bool Flat, bool Unwrap, bool LengthLast, class Contact>
void run_attempts(World& w, Xoshiro256pp& main_rng, const AttemptSetting& setting, const Contact& policy,
                  LengthEnergies& lengths) {
    Xoshiro256pp rng = main_rng;  // a local copy stays in registers: no store to the world can alias it
    const AttemptSetting k = setting;
    const Contact contact = policy;
    const Lattice& lat = w.lattice;
    const SiteIndex n_sites = lat.n_sites();
    const Geometry geo = lat.geometry;
    ApplyAtOnce<Flat, Unwrap, LengthLast> writer{w, lengths, k.gates.on<ActTerm>()};
    for (SiteIndex attempt = 0; attempt < n_sites; ++attempt) {
        const SiteIndex target = rng.below(n_sites);
        const auto coords_of = [&geo, target] { return Flat ? geo.flat_coords(target) : geo.coords(target); };
        attempt_copy(w, k, target, lat.is_interior_site(target), coords_of, contact, rng, writer);
    }
    main_rng = rng;
}

template <class Contact>
using Attempts = void (*)(World&, Xoshiro256pp&, const AttemptSetting&, const Contact&, LengthEnergies&);

template <class Contact, bool... Chosen>
Attempts<Contact> pick_attempts() {
    return run_attempts<Chosen..., Contact>;
}

template <class Contact, bool... Chosen, class... Rest>
Attempts<Contact> pick_attempts(bool next, Rest... rest) {
    return next ? pick_attempts<Contact, Chosen..., true>(rest...) : pick_attempts<Contact, Chosen..., false>(rest...);
}

}  // namespace sweep_detail

template <class Contact>
std::uint64_t sequential_steps(Morva& m, const AttemptSetting& setting, const Contact& contact, std::uint64_t mcs,
                               StepCheck check) {
    World& world = m.world;
    const bool flat = world.lattice.nz() == 1 && world.lattice.geometry.reach[2] == 0;
    const bool unwrap = world.shape_frame().unwraps();
    const auto attempts =
        sweep_detail::pick_attempts<Contact>(flat, unwrap, setting.gates.length_never_negative);
    for (std::uint64_t step = 0; step < mcs; ++step) {
        if (setting.gates.on<PersistenceTerm>()) start_persistent_step(world, m.rng);
        if (world.lattice.n_sites() != 0) attempts(world, m.rng, setting, contact, m.length_energies);
        if (setting.gates.on<ActTerm>()) world.decay_activity();
        if (unwrap) world.wrap_centres_into_box(m.length_energies.known);  // shifted sums round differently
        if (setting.gates.on<PersistenceTerm>()) end_persistent_step(world, m.rng);
        world.advance_fields();
        if (step + 1 < mcs && !check(step + 1)) return step + 1;
    }
    return mcs;
}

}  // namespace morva
