// setup.hpp: the one way to make a world and to finalize it into a sweep driver, used by the Python
// binding, the test scenes and the benchmarks alike.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sweep.hpp"

namespace morva {

enum class Boundary { Periodic, Noflux };

// An empty box holding the medium's record only. Every axis wraps, or none does; a box of several
// layers takes its neighbourhood in three dimensions.
World make_world(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t neighbor_order,
                 double temperature = 1.0);

// One contact energy as given before finalize: J(a, b) = J(b, a) = j.
struct ContactEntry {
    CellType a = 0, b = 0;
    double j = 0;
};

// Builds the contact table from the entries (later entries win) wide enough for every type they or the
// set-up calls named, recomputes the trackers and moves the world into a new driver seeded with `seed`.
Morva finalize(World world, const std::vector<ContactEntry>& contacts, std::uint64_t seed);

}  // namespace morva
