// init.hpp: laying out the initial tissue from a whole label image.
#pragma once

#include <unordered_map>
#include <utility>
#include <vector>

#include "world.hpp"

namespace morva {

// Creates one cell per distinct non-zero image value (in order of first appearance in site order)
// and writes its id into every site carrying that value; image value 0 leaves the site's label as
// it is. A new cell takes types[value] when present, else default_type, and no surface constraint.
// Trackers are not touched. Returns the (image value, cell id) pairs in creation order.
// Faults, changing nothing, when the image length differs from the number of sites.
std::vector<std::pair<Label, Label>> seed_from_labels(World& w, const std::vector<Label>& labels,
                                                     const std::unordered_map<Label, CellType>& types,
                                                     CellType default_type, double target_volume,
                                                     double lambda_volume);

}  // namespace morva
