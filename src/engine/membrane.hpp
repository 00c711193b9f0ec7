// membrane.hpp: the distance field of the anchored-membrane term.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "core.hpp"

namespace morva {

// Face-step distance of every site of an nx x ny x nz box (no wrap) to the nearest anchor, by a
// breadth-first search. Anchors outside the box are ignored; with none left every value is +inf.
std::vector<float> build_distance_field(std::array<SiteIndex, 3> dims, std::span<const SiteIndex> anchors);

}  // namespace morva
