// sweep_plain.cpp: the sequential sweep's steps with the DoubleContact policy (see sweep_steps.hpp).
#include "sweep_steps.hpp"

namespace morva {

template std::uint64_t sequential_steps(Morva&, const AttemptSetting&, const DoubleContact&, std::uint64_t, StepCheck);

}  // namespace morva
