// init.cpp
#include "world.hpp"

namespace morva {}  // namespace morva
