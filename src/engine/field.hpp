// field.hpp: the chemical-field record. The field operations are World methods defined in field.cpp.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core.hpp"

namespace morva {

struct Field {
    std::string name;
    std::vector<float> conc;  // one concentration per site, in site-index order
    std::vector<double> secretion_rate;     // by cell type
    std::vector<double> chemotaxis_lambda;  // by cell type
    std::vector<double> occupancy_kd;       // by cell type; > 0 selects the occupancy form
    std::vector<double> occupancy_hill;     // by cell type
    std::vector<double> occupancy_scale;    // by cell type
    std::unordered_map<Label, double> cell_secretion_scale;
    double d = 0.0;
    double decay = 0.0;
    double dt = 1.0;
    std::uint32_t substeps = 1;  // never 0
    // Where a diffusion step writes before it swaps with `conc`; sized on the first step and
    // reused, so stepping allocates nothing after that. Its contents mean nothing between steps.
    std::vector<float> scratch;
    // What each label's sites receive in a secretion pass, filled at the start of each pass; sized
    // like the cell table and reused. Its contents mean nothing between passes.
    struct LabelSecretion {
        float amount;
        bool secretes;
    };
    std::vector<LabelSecretion> secretion_by_label;
};

}  // namespace morva
