// persistence.hpp: persistent motion's part of a copy as the sweeps see the trackers, and its turns
// between steps (persistence.cpp). Directions live in the persistence unit (terms.hpp).
#pragma once

#include "random.hpp"
#include "world.hpp"

namespace morva {

// The persistence change of copying b onto `site` (held by a), each cell's centre read from the
// trackers the sweep sees (CurrentTrackers, or the parallel sweep's view). Out of line, as the
// centre-of-mass force, so that its code stays out of the inner loop while its gate is closed.
template <class Seen>
[[gnu::noinline]] inline double delta_persistence(const World& w, SiteIndex site, Label a, Label b, const Seen& seen) {
    const Cell* cells = w.cells.data();
    const Trackers none{};
    const auto& seen_a = a != 0 ? seen.trackers(a, cells[a]) : none;
    const auto& seen_b = b != 0 ? seen.trackers(b, cells[b]) : none;
    return w.persistence.change(w.shape_frame(), w.lattice.coords(site), a, cells[a].cell_type, seen_a, b,
                                cells[b].cell_type, seen_b);
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
