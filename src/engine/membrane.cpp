// membrane.cpp: the anchored-membrane term and its distance field.
#include "world.hpp"

namespace morva {

double World::delta_membrane(SiteIndex, Label) const { raise_fault(__FILE__, __LINE__, "membrane term is not built yet"); }
double World::delta_junction(SiteIndex, Label) const { raise_fault(__FILE__, __LINE__, "junction term is not built yet"); }

}  // namespace morva
