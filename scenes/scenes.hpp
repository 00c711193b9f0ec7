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

// The optional terms of the sequential sweep, each weak enough to leave B1's sorting in place.
enum class Term { Connectivity, Length, Junction, Membrane, External, Fields };
inline constexpr std::array<Term, 6> all_terms{Term::Connectivity, Term::Length,   Term::Junction,
                                               Term::Membrane,     Term::External, Term::Fields};
const char* term_name(Term term);
// Switches one term on for both cell types of B1 (Fields: one field secreted by type 1, one that type 2
// secretes and type 1 follows).
void add_b1_term(World& w, Term term);
// B1 with every optional term on.
Morva b1_all_terms(std::uint64_t seed);
// B1 with every cell motile under the act model (lambda_act 200, max_act 20 for both types).
Morva b1_act(std::uint64_t seed);
// B1 with every cell in persistent motion (lambda_dir 20, a turn every 10 steps, persistence 0.7).
Morva b1_persistent(std::uint64_t seed);

}  // namespace morva::scenes
