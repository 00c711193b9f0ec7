// field.hpp: the chemical-field record and the chemotaxis term that reads it. The field operations are
// World methods defined in field.cpp.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core.hpp"
#include "description.hpp"
#include "members.hpp"

namespace morva {

struct Cell;  // world.hpp: the cell table an energy change reads

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
    static constexpr std::uint32_t max_substeps = 1u << 20;  // what a checkpoint may ask for
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

    static constexpr ParameterInfo parameters[] = {
        {"diffusion", "per field", "float", "any", 0.0},
        {"decay", "per field", "float", "any", 0.0},
        {"dt", "per field", "float", "any", 1.0},
        {"substeps", "per field", "int", ">= 1 (0 counts as 1)", 1.0},
        {"secretion", "per type and field", "float", "any", 0.0},
        {"secretion_scale", "per cell and field", "float", "any", 1.0},
        {"chemotaxis", "per type and field", "float", "any", 0.0},
        {"kd", "per type and field", "float", "any; > 0 selects the occupancy form", 0.0},
        {"hill", "per type and field", "float", "any", 0.0},
        {"scale", "per type and field", "float", "any", 0.0},
    };
    static constexpr UnitInfo about{"fields", "term",
                                    "Chemical fields that diffuse, decay and are secreted between steps; "
                                    "chemotaxis adds its change to the energy of a copy.",
                                    parameters};

    // The saved members, in the order of a checkpoint's field record.
    template <class F, class... Self>
    static void members(F&& f, Self&... self) {
        f("field name", Scope::per_field, self.name...);
        f("field diffusion", Scope::per_field, self.d...);
        f("field decay", Scope::per_field, self.decay...);
        f("field time step", Scope::per_field, self.dt...);
        f("field substeps", Scope::per_field, self.substeps...);
        f("secretion table", Scope::per_type, self.secretion_rate...);
        f("chemotaxis table", Scope::per_type, self.chemotaxis_lambda...);
        f("occupancy kd table", Scope::per_type, self.occupancy_kd...);
        f("occupancy hill table", Scope::per_type, self.occupancy_hill...);
        f("occupancy scale table", Scope::per_type, self.occupancy_scale...);
        f("cell secretion scales", Scope::per_cell, self.cell_secretion_scale...);
        f("concentrations", Scope::per_site, self.conc...);
    }
    // Work space: sized, never saved or compared.
    template <class F, class... Self>
    static void work_space(F&& f, Self&... self) {
        f("diffusion scratch", Scope::per_site, self.scratch...);
        f("secretion by label", Scope::per_cell, self.secretion_by_label...);
    }
    std::string fault(SiteIndex n_sites) const {
        if (substeps == 0) return "field '" + name + "' has 0 substeps";
        if (substeps > max_substeps)  // a step would run for hours and could not be stopped
            return "field '" + name + "' has " + std::to_string(substeps) + " substeps, more than " +
                   std::to_string(max_substeps);
        if (occupancy_hill.size() != occupancy_kd.size() || occupancy_scale.size() != occupancy_kd.size())
            return "field '" + name + "': the occupancy tables differ in size";
        if (conc.size() != n_sites)
            return "field '" + name + "' has " + std::to_string(conc.size()) + " concentrations for " +
                   std::to_string(n_sites) + " sites";
        return {};
    }
};

struct Lattice;

// One explicit diffusion-decay step of a concentration array in site-index order: reads `in`, writes
// `out` (two distinct arrays of n_sites values each). The step the fields take; the package also
// runs it on arrays of its own when it interleaves reactions with diffusion.
void diffusion_step(const Lattice& lattice, const float* in, float* out, double d, double decay, double dt);

// Chemotaxis: a copy of new_label onto `target` from `source` adds -lambda * (phi(target) - phi(source))
// for each field in which new_label's type has a strength lambda, phi being the concentration or, where
// the type has a kd > 0, its receptor occupancy. The strengths are per type in each field's record (saved
// with it), so the term owns no tables: it reads the fields it is handed, and is on while there is one.
struct ChemotaxisTerm {
    static bool on(const std::vector<Field>& fields) { return !fields.empty(); }
    // field.cpp; the fields' terms are added in their order.
    static double change(const std::vector<Field>& fields, const Label* labels, const Cell* cells, SiteIndex target,
                         SiteIndex source, Label new_label);
};

}  // namespace morva
