// description.cpp: the engine's terms and options in one list, from the units' own declarations.
#include "description.hpp"

#include "world.hpp"

namespace morva {

namespace {

// The core terms live in the cell records and the contact table rather than in units of their own.
// Volume and surface are per cell because that is what a world holds: a cell's targets change on
// their own (growth, set_target_volume, a daughter's reset target), whoever set them first.
constexpr ParameterInfo volume_parameters[] = {
    {"target_volume", "per cell", "float", "any", 0.0},
    {"lambda_volume", "per cell", "float", "any; 0 leaves the term off", 0.0},
};
constexpr ParameterInfo surface_parameters[] = {
    {"target_surface", "per cell", "float", "any", 0.0},
    {"lambda_surface", "per cell", "float", "any; 0 leaves the term off", 0.0},
};
constexpr ParameterInfo contact_parameters[] = {
    {"contact", "per pair of types", "float", "any", 0.0},
};

}  // namespace

std::vector<UnitInfo> engine_description() {
    std::vector<UnitInfo> units = {
        {"volume", "term", "lambda_volume * (volume - target_volume)^2 for each cell.", volume_parameters},
        {"surface", "term", "lambda_surface * (surface - target_surface)^2 for each cell.", surface_parameters},
        {"contact", "term", "The contact energy of every boundary pair, by the types on either side.",
         contact_parameters},
    };
    const WorldData world;
    WorldData::for_each_term([&units](const char*, Scope, const auto& unit) { units.push_back(unit.about); }, world);
    units.push_back(Field::about);
    for (const UnitInfo& option : WorldOptions::about) units.push_back(option);
    return units;
}

}  // namespace morva
