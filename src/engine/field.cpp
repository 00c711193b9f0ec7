// field.cpp: chemical fields: diffusion and decay, secretion, chemotaxis.
#include "world.hpp"

namespace morva {

void World::advance_fields() {
    if (fields.empty()) return;
    raise_fault(__FILE__, __LINE__, "field advance is not built yet");
}

double World::delta_chemotaxis(SiteIndex, SiteIndex, Label) const {
    if (fields.empty()) return 0.0;
    raise_fault(__FILE__, __LINE__, "chemotaxis is not built yet");
}

}  // namespace morva
