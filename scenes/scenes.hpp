// scenes.hpp: canonical worlds shared by the C++ tests and the benchmarks, built and finalized as
// users' worlds are (setup.hpp).
#pragma once

#include <cstdint>

#include "setup.hpp"

namespace morva::scenes {

// B1: 2-D cell sorting, 200 x 200, 256 cells of two types, order 2, T = 20.
Morva b1_cell_sorting(std::uint64_t seed);
// B2: 3-D adhesion and volume, 100^3, 1,000 cells, order 3, T = 20.
Morva b2_adhesion_3d(std::uint64_t seed);

}  // namespace morva::scenes
