// init.cpp: seeding from a label image. Appends cells and writes labels directly; the trackers are
// left for finalize to recompute.
#include "init.hpp"

#include <algorithm>
#include <string>

namespace morva {

std::vector<std::pair<Label, Label>> seed_from_labels(World& w, const std::vector<Label>& labels,
                                                     const std::unordered_map<Label, CellType>& types,
                                                     CellType default_type, double target_volume,
                                                     double lambda_volume) {
    // Every type named counts towards the contact table's width, even when the image is refused.
    w.widest_type = std::max(w.widest_type, default_type);
    for (const auto& [value, type] : types) w.widest_type = std::max(w.widest_type, type);
    const SiteIndex n_sites = w.lattice.n_sites();
    MORVA_CHECK(labels.size() == n_sites, "labels length must equal n_sites: " + std::to_string(labels.size()) +
                                              " != " + std::to_string(n_sites));
    std::vector<std::pair<Label, Label>> created;
    std::unordered_map<Label, Label> id_of;
    // Images come in runs of equal values: remember the last one to skip most map lookups.
    Label last_value = 0, last_id = 0;
    for (SiteIndex site = 0; site < n_sites; ++site) {
        const Label v = labels[site];
        if (v == 0) continue;
        if (v != last_value) {
            auto [it, inserted] = id_of.try_emplace(v, 0);
            if (inserted) {
                const auto t = types.find(v);
                const CellType type = t != types.end() ? t->second : default_type;
                it->second = w.add_cell(type, target_volume, lambda_volume, 0.0, 0.0);
                created.emplace_back(v, it->second);
            }
            last_value = v;
            last_id = it->second;
        }
        w.lattice.labels[site] = last_id;
    }
    return created;
}

}  // namespace morva
