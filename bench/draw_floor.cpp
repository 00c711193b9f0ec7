// draw_floor.cpp: a file of its own so that its loop can start on a cache line of its own
// (-falign-loops=128, set for this file in CMakeLists.txt): where the linker happens to place the loop
// then no longer moves the floor by a fifth from one build to the next.
#include "draw_floor.hpp"

namespace morva::bench {

std::uint64_t draw_floor(Xoshiro256pp& main_rng, std::uint64_t n, std::uint64_t k) {
    Xoshiro256pp rng = main_rng;
    std::uint64_t sink = 0;
    for (std::uint64_t i = 0; i < n; ++i) sink += rng.below(n) + rng.below(k);
    main_rng = rng;
    return sink;
}

}  // namespace morva::bench
