#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "cell_ode.hpp"

namespace morva::testing {
namespace {

TEST(CellOde, PairSumsAddEachSideApartInTheOrderOfThePairs) {
    // Pairs (0, 1), (0, 2), (2, 1), then (0, 2) again after another first position.
    const std::vector<std::uint32_t> first{0, 0, 2, 0}, second{1, 2, 1, 2};
    const std::vector<double> weights{1.0, 2.0, 4.0, 8.0}, values{1e16, 1.0, -1e16};
    std::vector<double> out(3);
    pair_sums(first, second, weights, values, out);
    // Position 0 as first: ((1 * 1 + 2 * -1e16) + 8 * -1e16); position 1 as second: 1e16 + 4 * -1e16.
    EXPECT_EQ(out[0], (1.0 + 2.0 * -1e16) + 8.0 * -1e16);
    EXPECT_EQ(out[1], 0.0 + (1.0 * 1e16 + 4.0 * -1e16));
    EXPECT_EQ(out[2], 4.0 * 1.0 + (2.0 * 1e16 + 8.0 * 1e16));
}

TEST(CellOde, RungeKuttaStageAndStepEndAreTheClassicalFormulas) {
    const std::vector<double> state{1.0, -2.0}, slope{0.5, 4.0};
    std::vector<double> out(2);
    rk4_stage(state, slope, 0.25, out);
    EXPECT_EQ(out, (std::vector<double>{1.125, -1.0}));
    std::vector<double> y{1.0, 0.1};
    const std::vector<double> k1{1.0, 0.3}, k2{2.0, 0.7}, k3{3.0, 1.1}, k4{4.0, 1e-17};
    rk4_finish(y, k1, k2, k3, k4, 0.5);
    EXPECT_EQ(y[0], 1.0 + 0.5 * (1.0 + 4.0 + 6.0 + 4.0));
    EXPECT_EQ(y[1], 0.1 + 0.5 * (((0.3 + 2.0 * 0.7) + 2.0 * 1.1) + 1e-17));
}

}  // namespace
}  // namespace morva::testing
