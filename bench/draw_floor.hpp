// draw_floor.hpp: the draws every copy attempt must make, without the attempt (the benchmarks' floor).
#pragma once

#include <cstdint>

#include "random.hpp"

namespace morva::bench {

// n attempts' draws (the target among n sites, the neighbour among k), from a local copy of the
// generator as the sweep makes; returns a sum so the draws cannot be dropped.
std::uint64_t draw_floor(Xoshiro256pp& main_rng, std::uint64_t n, std::uint64_t k);

}  // namespace morva::bench
