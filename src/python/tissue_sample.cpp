// tissue_sample.cpp: the live cells of a world and their contacts by position (tissue_sample.hpp).
#include "tissue_sample.hpp"

#include <initializer_list>

namespace morva::binding {

TissueSample sample_tissue(const World& w, const ContactCounts* counts) {
    const std::vector<Cell>& cells = w.cells;
    TissueSample s;
    std::vector<std::uint32_t> position(cells.size(), 0);  // by label: where a live cell stands in ids
    for (auto* column : {&s.volume, &s.surface, &s.target_volume}) column->reserve(cells.size());
    s.ids.reserve(cells.size()), s.type.reserve(cells.size());
    for (std::size_t label = 1; label < cells.size(); ++label) {
        const Cell& cell = cells[label];
        if (cell.volume <= 0) continue;
        position[label] = static_cast<std::uint32_t>(s.ids.size());
        s.ids.push_back(static_cast<std::int64_t>(label));
        s.volume.push_back(static_cast<double>(cell.volume));
        s.surface.push_back(static_cast<double>(cell.surface));
        s.target_volume.push_back(cell.target_volume);
        s.type.push_back(cell.cell_type);
    }
    if (counts == nullptr) return s;
    s.medium.reserve(s.ids.size());
    for (const std::int64_t label : s.ids) s.medium.push_back(static_cast<double>(counts->medium[label]));
    const std::size_t n = counts->pairs.size();
    s.first.resize(n), s.second.resize(n), s.area.resize(n);
    for (std::size_t k = 0; k < n; ++k) {  // cells that touch have sites, so both are live
        const ContactCounts::Pair& pair = counts->pairs[k];
        s.first[k] = position[pair.key >> 32];
        s.second[k] = position[pair.key & 0xFFFFFFFFu];
        s.area[k] = static_cast<double>(pair.count);
    }
    return s;
}

}  // namespace morva::binding
