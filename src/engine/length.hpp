// length.hpp: the major-axis length of a point set given by its count and moment sums.
#pragma once

#include <cstdint>

namespace morva {

// Length of the major axis, sqrt(12 * largest covariance eigenvalue), of the points whose count is
// `n` and whose coordinate and second-moment sums are given. Fewer than two points: 0.
double major_axis_length(std::int64_t n, double sum_x, double sum_y, double sum_z, double sum_xx, double sum_yy,
                         double sum_zz, double sum_xy, double sum_xz, double sum_yz);

}  // namespace morva
