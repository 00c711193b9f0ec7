// persistence.hpp: the persistence unit's change over the sweep's view of the trackers (a template,
// declared in terms.hpp), and the turns of the directions between steps (persistence.cpp).
#pragma once

#include "random.hpp"
#include "world.hpp"

namespace morva {

template <class Seen>
double PersistenceTerm::change(const Lattice& lattice, const Cell* cells, SiteIndex site, Label a, Label b,
                               const Seen& seen, bool periodic_shapes) const {
    const Trackers none{};
    const auto& seen_a = a != 0 ? seen.trackers(a, cells[a]) : none;
    const auto& seen_b = b != 0 ? seen.trackers(b, cells[b]) : none;
    return change(ShapeFrame::make(lattice.dims, lattice.periodic, periodic_shapes), lattice.coords(site), a,
                  cells[a].cell_type, seen_a, b, cells[b].cell_type, seen_b);
}

// Before each step of a sweep whose persistence gate is open: each cell of a type with lambda_dir and
// with sites, in id order, draws a direction if it has none (from `rng`, the world's generator) and,
// if its interval is to restart, takes its centre as the interval's start.
void start_persistent_step(World& w, Xoshiro256pp& rng);
// After each step: each such cell counts the step; one whose interval is complete turns its
// direction to its displacement over the interval, with noise drawn from `rng` (persistence.cpp),
// and starts the next interval where it is. Every other cell's interval restarts.
void end_persistent_step(World& w, Xoshiro256pp& rng);

}  // namespace morva
