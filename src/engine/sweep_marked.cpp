// sweep_marked.cpp: the sequential sweep's steps with the MarkedScaledContact policy (see sweep_steps.hpp).
#include "sweep_steps.hpp"

namespace morva {

template std::uint64_t sequential_steps(Morva&, const AttemptSetting&, const MarkedScaledContact&, std::uint64_t, StepCheck);

}  // namespace morva
