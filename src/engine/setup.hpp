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

// The contact table of the entries (later entries win, each in both orientations). It covers the types
// that have entries; every other type contacts with 0. This is all that finalize allocates.
ContactMatrix contact_table(const std::vector<ContactEntry>& contacts);

// Installs the table, recomputes the trackers and moves the world into a new driver seeded with
// `seed`. Allocates nothing, so a caller that makes the table first and then hands its world over
// keeps that world whenever memory runs short. A label without a record faults in the recomputation.
Morva finalize_with_table(World world, ContactMatrix table, std::uint64_t seed);
// Both steps at once, for callers that keep nothing of a world that fails (the scenes, the benchmarks).
Morva finalize(World world, const std::vector<ContactEntry>& contacts, std::uint64_t seed);

}  // namespace morva
