// copy_attempt.hpp: the copy attempt both sweeps run once they have chosen a target: draw a source
// among the target's neighbours, price the copy, apply the Metropolis rule and the connectivity veto,
// and hand an accepted copy to a flip writer. The sequential sweep's writer applies it at once
// (World::apply_flip); the parallel sweep's collects it for the merge (parallel.cpp). A new energy
// term therefore enters both sweeps here, through add_optional_terms.
#pragma once

#include "energy_change.hpp"
#include "sweep.hpp"

namespace morva {

// What every attempt of a sweep reads; fixed for the sweep, and small enough to live in registers.
struct AttemptSetting {
    const Label* labels;
    const std::int64_t* offsets;  // site deltas of an interior target's neighbours
    std::size_t n_offsets;
    const std::uint32_t* types;  // padded contact index of each label's type
    TermGates gates;
    double temperature;

    static AttemptSetting of(const Morva& m) {
        const World& w = m.world;
        const Lattice& lat = w.lattice;
        return {lat.labels.data(),
                lat.linear_offsets.data(),
                lat.linear_offsets.size(),
                m.type_by_label.data(),
                w.term_gates(),
                w.temperature};
    }
};

// Calls run(contact) with the contact policy (energy_change.hpp) the sweep's tables allow, chosen once
// for a whole sweep: MarkedScaledContact where the sweep alone reads its label-type table
// (`owns_types`; the policy marks labels in it) and the table is narrow, ScaledContact where the
// table scales to integers, DoubleContact otherwise.
template <class Run>
decltype(auto) with_contact_policy(Morva& m, bool owns_types, Run&& run) {
    if (m.contact_is_scaled) {
        ScaledContact scaled{m.scaled_contact.data(), m.world.contact.padded_stride(), m.contact_unscale};
        if (owns_types && scaled.stride <= MarkedScaledContact::max_stride) {
            MarkedScaledContact marked{scaled, m.type_by_label.data()};
            return run(marked);
        }
        return run(scaled);
    }
    DoubleContact plain{m.world.contact};
    return run(plain);
}

inline SiteIndex shifted(SiteIndex site, std::int64_t delta) {
    return static_cast<SiteIndex>(static_cast<std::int64_t>(site) + delta);
}

// The neighbours of a target as fixed site deltas: an interior target's linear offsets (none of them
// zero), or the list of its face class (Lattice::face_offsets), which may hold the site itself.
template <bool ExcludesSite>
struct OffsetNeighbors {
    static constexpr bool excludes_site = ExcludesSite;
    SiteIndex target;
    const std::int64_t* offsets;
    SiteIndex operator()(std::size_t i) const { return shifted(target, offsets[i]); }
};
using InteriorNeighbors = OffsetNeighbors<true>;

// The Metropolis rule for a model whose length energies are never negative, pricing the costly length
// term only where the rule may need it. A length change is (e3 + e4) - now with e3, e4 >= 0 (or NaN),
// and rounding is monotone, so the change with it is at least `lower`, formed as it is without the new
// energies: where that is uphill the draw is due, and surely_rejected may settle the attempt at once.
// A NaN change is rejected after its draw either way. The outcome and the draws are the plain rule's.
template <class Seen, class LengthNow, class CoordsOf>
[[gnu::always_inline]] inline bool accepts_pricing_length_last(const World& w, const AttemptSetting& k, double core,
                                                               SiteIndex target, SiteIndex source, Label a, Label b,
                                                               const Seen& seen, LengthNow& length_now,
                                                               CoordsOf& coords_of, Xoshiro256pp& rng) {
    const TermGates& g = k.gates;
    const double before = add_terms_before_length(w, g, core, target, source, b);
    const double old_a = length_now(a), old_b = length_now(b);
    const double external = g.on<ExternalTerm>() ? external_change(w, g, target, a, b, seen) : 0.0;
    const double act = g.on<ActTerm>() ? act_change(w, target, source, a, b) : 0.0;
    const double persistence = g.on<PersistenceTerm>() ? persistence_change(w, target, a, b, seen) : 0.0;
    // The terms after the length term, added in their order (add_optional_terms).
    const auto add_later_terms = [&](double dh) {
        if (g.on<ExternalTerm>()) dh += external;
        if (g.on<ActTerm>()) dh += act;
        if (g.on<PersistenceTerm>()) dh += persistence;
        return dh;
    };
    const double lower = add_later_terms(before - (old_a + old_b));
    const auto total = [&] { return add_later_terms(before + length_change(w, a, b, coords_of(), old_a, old_b)); };
    if (!(lower > 0.0)) return metropolis_accepts(total(), k.temperature, rng);
    const double r = rng.unit();
    return !surely_rejected(lower, k.temperature, r) && boltzmann_passes(total(), k.temperature, r);
}

// Everything after the source is drawn, the same for both kinds of target. `contact` is the sweep's
// contact policy (with_contact_policy), a few words taken by value so that it stays in registers. A Writer gives seen(), the
// trackers the energy reads (see CurrentTrackers), length_energy(label) (World::length_energy as the
// writer's trackers stand), write(target, a, b, coords, count, neighbor_at), and prices_length: false
// for a sweep that refuses length terms, which then keeps no code for them.
template <class NeighborAt, class CoordsOf, class Contact, class Writer>
[[gnu::always_inline]] inline void decide_copy(const World& w, const AttemptSetting& k, SiteIndex target,
                                               SiteIndex source, Label a, Label b, std::size_t count,
                                               NeighborAt neighbor_at, CoordsOf coords_of, Contact contact,
                                               Xoshiro256pp& rng, Writer& writer) {
    const std::uint32_t* types = k.types;
    const auto type_of = [types](Label l) { return types[l]; };
    const double core = core_delta(w, target, a, b, count, neighbor_at, type_of, writer.seen(), contact);
    const auto accepted = [&]() __attribute__((always_inline)) {
        const auto length_now = [&writer](Label l) { return writer.length_energy(l); };
        if constexpr (Writer::prices_length)
            if (k.gates.length_never_negative)
                return accepts_pricing_length_last(w, k, core, target, source, a, b, writer.seen(), length_now,
                                                   coords_of, rng);
        const double dh = k.gates.any_energy ? add_optional_terms(w, k.gates, core, target, source, a, b,
                                                                   writer.seen(), length_now, coords_of)
                                               : core;
        return metropolis_accepts(dh, k.temperature, rng);
    };
    if (!accepted()) return;
    if (k.gates.on<ConnectivityTerm>()) {
        if (k.gates.face_connectivity) {
            if (!w.face_connectivity_allows(target, a, b)) return;
        } else if (w.connectivity_applies(a) && !w.would_stay_connected(target, a)) {
            return;
        }
    }
    writer.write(target, a, b, coords_of(), count, neighbor_at);
}

// One copy attempt at `target`. Interior targets take their neighbours from the fixed linear offsets,
// targets near a face from the deltas of their face class; no list is built. coords_of() gives the
// target's coordinates, asked for only when needed.
template <class CoordsOf, class Contact, class Writer>
[[gnu::always_inline]] inline void attempt_copy(const World& w, const AttemptSetting& k, SiteIndex target,
                                                bool interior, CoordsOf coords_of, Contact contact,
                                                Xoshiro256pp& rng, Writer& writer) {
    if (interior) {
        if (k.n_offsets == 0) return;
        const SiteIndex source = shifted(target, k.offsets[rng.below(k.n_offsets)]);
        const Label a = k.labels[target], b = k.labels[source];
        if (a == b) return;
        decide_copy(w, k, target, source, a, b, k.n_offsets, InteriorNeighbors{target, k.offsets}, coords_of, contact,
                    rng, writer);
    } else {
        const Lattice& lat = w.lattice;
        const std::size_t face_class = lat.face_class(coords_of());
        const std::size_t count = lat.face_counts[face_class];
        if (count == 0) return;
        const std::int64_t* offsets = lat.face_offsets.data() + face_class * Lattice::face_stride;
        const SiteIndex source = shifted(target, offsets[rng.below(count)]);
        const Label a = k.labels[target], b = k.labels[source];
        if (a == b) return;
        decide_copy(w, k, target, source, a, b, count, OffsetNeighbors<false>{target, offsets}, coords_of, contact,
                    rng, writer);
    }
}

}  // namespace morva
