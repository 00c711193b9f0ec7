// description.hpp: what the engine's energy terms and world options are to a user, declared by each
// unit beside its tables (terms.hpp, field.hpp, world.hpp) and collected by engine_description(). The
// Python package reads it through morva._native.describe() to learn the terms, their parameters and
// their ranges.
#pragma once

#include <span>
#include <vector>

namespace morva {

// One parameter of a term or option. `scope`: "world", "per type", "per cell", "per pair of types",
// "per field", or "per type and field" / "per cell and field"; `kind`: "float", "int", "bool",
// "vector" (three floats) or "sites" (a list of site indices); `range`: the values the engine takes;
// `off`: the value that leaves the term's part off (for a vector, each component; for sites, none).
struct ParameterInfo {
    const char* name;
    const char* scope;
    const char* kind;
    const char* range;
    double off;
};

// A term adds to the energy of a copy (or vetoes it); an option changes how the terms read a world.
struct UnitInfo {
    const char* name;
    const char* what;  // "term" or "option"
    const char* summary;
    std::span<const ParameterInfo> parameters;
};

// Every term and option, core terms first, in a fixed order.
std::vector<UnitInfo> engine_description();

}  // namespace morva
