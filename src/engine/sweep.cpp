// sweep.cpp: the sequential Metropolis sweep. Owns the main generator's draw order; writes labels only
// through World::apply_flip.
#include "sweep.hpp"

#include "hamiltonian.hpp"

namespace morva {

// Nothing changes a cell's type during a sweep, so the sweeps read the padded contact index of each
// label's type from a flat copy.
void fill_padded_types(const World& w, std::vector<std::uint32_t>& out) {
    out.resize(w.cells.size());
    for (std::size_t i = 0; i < w.cells.size(); ++i)
        out[i] = static_cast<std::uint32_t>(w.contact.padded_type(w.cells[i].cell_type));
}

Morva Morva::make(World world, std::uint64_t seed) {
    Morva m;
    m.world = std::move(world);
    m.rng = Xoshiro256pp::from_seed(seed);
    return m;
}

namespace {

// One Monte Carlo step's worth of copy attempts. Interior targets take their neighbours from the fixed
// linear offsets and build no list; only targets near a face build the wrapped or clipped one. `Flat`
// boxes (a single layer) skip the z coordinate.
template <bool Flat>
void run_attempts(World& w, Xoshiro256pp& main_rng, const TermGates& gates, const std::uint32_t* types) {
    Xoshiro256pp rng = main_rng;  // a local copy stays in registers: no store to the world can alias it
    const Lattice& lat = w.lattice;
    const SiteIndex n_sites = lat.n_sites();
    const std::uint64_t n_offsets = lat.linear_offsets.size();
    const std::int64_t* offsets = lat.linear_offsets.data();
    const double temperature = w.temperature;
    const Label* labels = lat.labels.data();
    const Geometry geo = lat.geometry;
    const auto type_of = [types](Label l) { return types[l]; };

    const auto coords_of = [&](SiteIndex site) { return Flat ? geo.flat_coords(site) : geo.coords(site); };

    // Everything after the energy change is the same for both kinds of target.
    const auto finish = [&](SiteIndex target, SiteIndex source, Label a, Label b, double dh, const auto& neighbor_list) {
        if (gates.any_energy()) dh = add_optional_terms(w, gates, dh, target, source, b);
        if (!metropolis_accepts(dh, temperature, rng)) return;
        if (gates.connectivity && w.connectivity_applies(a) && !w.would_stay_connected(target, a)) return;
        w.apply_flip(target, a, b, coords_of(target), neighbor_list());
    };

    for (SiteIndex attempt = 0; attempt < n_sites; ++attempt) {
        const SiteIndex target = rng.below(n_sites);
        if (lat.is_interior_site(target)) {
            if (n_offsets == 0) continue;
            const auto source = static_cast<SiteIndex>(static_cast<std::int64_t>(target) + offsets[rng.below(n_offsets)]);
            const Label a = labels[target], b = labels[source];
            if (a == b) continue;
            const auto neighbor_at = [=](std::size_t i) {
                return static_cast<SiteIndex>(static_cast<std::int64_t>(target) + offsets[i]);
            };
            const double dh = core_delta(w, target, a, b, n_offsets, neighbor_at, type_of, CurrentTrackers{});
            finish(target, source, a, b, dh, [&] { return lat.interior_neighbors(target); });
        } else {
            const NeighborList nbrs = lat.boundary_neighbors(coords_of(target));
            if (nbrs.empty()) continue;
            const SiteIndex source = nbrs[rng.below(nbrs.size())];
            const Label a = labels[target], b = labels[source];
            if (a == b) continue;
            const double dh =
                core_delta(w, target, a, b, nbrs.size(), [&](std::size_t i) { return nbrs[i]; }, type_of, CurrentTrackers{});
            finish(target, source, a, b, dh, [&]() -> const NeighborList& { return nbrs; });
        }
    }
    main_rng = rng;
}

}  // namespace

void Morva::step(std::uint64_t mcs) { step(mcs, StepCheck{}); }

std::uint64_t Morva::step(std::uint64_t mcs, StepCheck check) {
    if (mcs == 0) return 0;
    const TermGates gates = world.term_gates();
    fill_padded_types(world, type_by_label);
    const bool flat = world.lattice.nz() == 1 && world.lattice.geometry.reach[2] == 0;
    const auto attempts = flat ? run_attempts<true> : run_attempts<false>;
    for (std::uint64_t m = 0; m < mcs; ++m) {
        if (world.lattice.n_sites() != 0) attempts(world, rng, gates, type_by_label.data());
        world.advance_fields();
        if (m + 1 < mcs && !check(m + 1)) return m + 1;
    }
    return mcs;
}

}  // namespace morva
