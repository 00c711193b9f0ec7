// contact_pairs.hpp: the contact table of a world, counted from its labels: for each pair of labels
// a < b that touch (the medium, 0, included), the number of (site, neighbour) pairs in the model's
// neighbourhood with one end in a and the other in b. Reads the world only; morva._native turns the
// counts into arrays.
#pragma once

#include <cstdint>
#include <vector>

#include "world.hpp"

namespace morva::binding {

struct ContactCounts {
    struct Pair {
        std::uint64_t key;  // a << 32 | b, 0 < a < b
        std::int64_t count;
    };
    std::vector<std::int64_t> medium;  // by label: each cell's pairs with the medium (0 at 0)
    std::vector<Pair> pairs;           // pairs of cells that touch, sorted by key
};

// Runs on the worker pool for large lattices; call it without holding the interpreter lock.
ContactCounts count_contacts(const World& w);

}  // namespace morva::binding
