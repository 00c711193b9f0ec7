// scenes.hpp: canonical worlds shared by the C++ tests and the benchmarks.
#pragma once

#include <array>
#include <cstdint>
#include <tuple>
#include <vector>

#include "sweep.hpp"

namespace morva::scenes {

enum class Boundary { Periodic, Noflux };

// A set-up world: an empty box with the medium's record only.
World make_world(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t order, double temperature = 1.0);

// What finalize does: builds the contact table from (a, b, J) entries (symmetric, later entries win),
// recomputes the trackers and moves the world into a driver.
Morva finalize(World world, const std::vector<std::tuple<CellType, CellType, double>>& contacts,
               std::uint64_t seed);

// Paints the half-open box [lo, hi) with a label.
void paint_box(World& w, Label label, std::array<SiteIndex, 3> lo, std::array<SiteIndex, 3> hi);

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

}  // namespace morva::scenes
