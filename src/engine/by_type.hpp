// by_type.hpp: per-type settings tables, which grow on demand so that a type never set reads as off.
#pragma once

#include <vector>

#include "core.hpp"

namespace morva {

// The entry of type t, the table first grown with `fill` up to and including t.
template <class T>
T& type_slot(std::vector<T>& by_type, CellType t, const T& fill = T{}) {
    if (by_type.size() <= t) by_type.resize(std::size_t{t} + 1, fill);
    return by_type[t];
}

}  // namespace morva
