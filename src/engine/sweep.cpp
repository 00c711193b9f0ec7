// sweep.cpp: the sequential Metropolis sweep. Owns the main generator's draw order; writes labels only
// through World::apply_flip.
#include "sweep.hpp"

namespace morva {

Morva Morva::make(World world, std::uint64_t seed) {
    Morva m;
    m.world = std::move(world);
    m.rng = Xoshiro256pp::from_seed(seed);
    return m;
}

namespace {

// The optional terms, asked for in their fixed order and added left to right onto E1.
inline double add_optional_terms(const World& w, const TermGates& g, double dh, SiteIndex target, SiteIndex source,
                                 Label b) {
    if (g.fields) dh += w.delta_chemotaxis(target, source, b);
    if (g.membrane) dh += w.delta_membrane(target, b);
    if (g.junction) dh += w.delta_junction(target, b);
    if (g.length) dh += w.delta_length(target, b);
    if (g.external) dh += w.delta_external(target, b);
    return dh;
}

// One Monte Carlo step's worth of copy attempts. Interior targets take their neighbours from the
// fixed linear offsets; only targets near a face build the wrapped or clipped list.
void run_attempts(World& w, Xoshiro256pp& rng, const TermGates& gates) {
    const Lattice& lat = w.lattice;
    const SiteIndex n_sites = lat.n_sites();
    const std::uint64_t n_offsets = lat.linear_offsets.size();
    const double temperature = w.temperature;
    const Label* labels = lat.labels.data();
    for (SiteIndex attempt = 0; attempt < n_sites; ++attempt) {
        const SiteIndex target = rng.below(n_sites);
        const Coords c = lat.coords(target);
        const bool interior = lat.is_interior(c);
        NeighborList boundary;
        SiteIndex source;
        if (interior) {
            if (n_offsets == 0) continue;
            source = static_cast<SiteIndex>(static_cast<std::int64_t>(target) +
                                            lat.linear_offsets[rng.below(n_offsets)]);
        } else {
            boundary = lat.boundary_neighbors(c);
            if (boundary.empty()) continue;
            source = boundary[rng.below(boundary.size())];
        }
        const Label a = labels[target], b = labels[source];
        if (a == b) continue;

        const NeighborList nbrs = interior ? lat.interior_neighbors(target) : boundary;
        double dh = w.delta_hamiltonian(target, a, b, nbrs);
        if (gates.any_energy()) dh = add_optional_terms(w, gates, dh, target, source, b);
        if (!metropolis_accepts(dh, temperature, rng)) continue;
        if (gates.connectivity && w.connectivity_applies(a) && !w.would_stay_connected(target, a)) continue;
        w.apply_flip(target, a, b, c, nbrs);
    }
}

}  // namespace

void Morva::step(std::uint64_t mcs) {
    if (mcs == 0) return;
    const TermGates gates = world.term_gates();
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (world.lattice.n_sites() != 0) run_attempts(world, rng, gates);
        world.advance_fields();
    }
}

}  // namespace morva
