// connectivity.hpp: the generic component counter used by the connectivity veto.
#pragma once

#include "core.hpp"

namespace morva {}  // namespace morva
