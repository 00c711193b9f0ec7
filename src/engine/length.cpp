// length.cpp: the length constraint (major-axis length from the trackers).
#include "world.hpp"

namespace morva {

double World::delta_length(SiteIndex, Label) const { raise_fault(__FILE__, __LINE__, "length term is not built yet"); }

}  // namespace morva
