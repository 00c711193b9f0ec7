// tissue_sample.hpp: what the package's cell ODEs read of a world, in one pass: the live cells'
// columns and their contacts as positions among them, ready for neighbour sums. Reads the world only.
#pragma once

#include <cstdint>
#include <vector>

#include "contact_pairs.hpp"
#include "world.hpp"

namespace morva::binding {

struct TissueSample {
    std::vector<std::int64_t> ids;  // the live cells (volume > 0), ascending; the medium never
    std::vector<double> volume, surface, target_volume;
    std::vector<std::int64_t> type;
    // The pairs of cells of the contact table, in its order (by lower cell, then higher), as their
    // positions in ids; and each live cell's contact with the medium. Empty unless asked for.
    std::vector<std::uint32_t> first, second;
    std::vector<double> area, medium;
};

// The live cells' columns; with `counts` (count_contacts of the same world) their contacts too.
TissueSample sample_tissue(const World& w, const ContactCounts* counts);

}  // namespace morva::binding
