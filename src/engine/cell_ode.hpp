// cell_ode.hpp: the arithmetic of ODEs in cells on flat arrays, for the package's Runge-Kutta writer
// and its neighbour sums. Pure functions of their arguments: no world, no Python. Each does the
// floating-point operations of the NumPy expression it stands for, in the same order (the build's
// -ffp-contract=off keeps products and sums apart), so results are the same bit for bit.
#pragma once

#include <cstdint>
#include <span>

namespace morva {

// out[i]: the sum over the pairs k with first[k] = i of weights[k] * values[second[k]], plus the
// sum over those with second[k] = i of weights[k] * values[first[k]], each side summed apart in the
// order of the pairs and the two added last: bincount(first, weights * values[second]) +
// bincount(second, weights * values[first]). Positions lie below values.size() (the caller checks);
// out has values.size() entries.
void pair_sums(std::span<const std::uint32_t> first, std::span<const std::uint32_t> second,
               std::span<const double> weights, std::span<const double> values, std::span<double> out);

// out = state + factor * slope: the state a Runge-Kutta stage evaluates the slope at.
void rk4_stage(std::span<const double> state, std::span<const double> slope, double factor, std::span<double> out);

// state += factor * (k1 + 2 k2 + 2 k3 + k4), summed left to right: the end of a classical step (factor h / 6).
void rk4_finish(std::span<double> state, std::span<const double> k1, std::span<const double> k2,
                std::span<const double> k3, std::span<const double> k4, double factor);

}  // namespace morva
