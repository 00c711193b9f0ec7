// sweep_scaled.cpp: the sequential sweep's steps with the ScaledContact policy (see sweep_steps.hpp).
#include "sweep_steps.hpp"

namespace morva {

template std::uint64_t sequential_steps(Morva&, const AttemptSetting&, const ScaledContact&, std::uint64_t, StepCheck);

}  // namespace morva
