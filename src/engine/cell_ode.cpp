// cell_ode.cpp: pair sums and Runge-Kutta stages on flat arrays (see cell_ode.hpp). Writes only `out`
// (and `state` in rk4_finish).
#include "cell_ode.hpp"

#include <algorithm>
#include <vector>

namespace morva {

void pair_sums(std::span<const std::uint32_t> first, std::span<const std::uint32_t> second,
               std::span<const double> weights, std::span<const double> values, std::span<double> out) {
    std::fill(out.begin(), out.end(), 0.0);
    if (first.empty()) return;
    std::vector<double> as_second(values.size(), 0.0);
    // A run of pairs with one first position (the contact table's order) adds up in a register,
    // each pair's term still added in turn.
    std::uint32_t at = first[0];
    double sum = 0.0;
    for (std::size_t k = 0; k < first.size(); ++k) {
        if (first[k] != at) {
            out[at] = sum;
            at = first[k];
            sum = out[at];
        }
        sum += weights[k] * values[second[k]];
        as_second[second[k]] += weights[k] * values[first[k]];
    }
    out[at] = sum;
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += as_second[i];
}

void rk4_stage(std::span<const double> state, std::span<const double> slope, double factor, std::span<double> out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = state[i] + factor * slope[i];
}

void rk4_finish(std::span<double> state, std::span<const double> k1, std::span<const double> k2,
                std::span<const double> k3, std::span<const double> k4, double factor) {
    for (std::size_t i = 0; i < state.size(); ++i)
        state[i] = state[i] + factor * (k1[i] + 2.0 * k2[i] + 2.0 * k3[i] + k4[i]);
}

}  // namespace morva
