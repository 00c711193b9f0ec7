// trackers.hpp: what the engine keeps per cell about its sites: volume, surface and the coordinate
// sums the centre of mass and the length are read from. One record serves the cell table, the
// parallel sweep's per-task increments and their merge.
#pragma once

#include <cstdint>

namespace morva {

struct Trackers {
    double sum_xx = 0, sum_yy = 0, sum_zz = 0, sum_xy = 0, sum_xz = 0, sum_yz = 0;
    std::int64_t volume = 0;
    std::int64_t surface = 0;  // boundary pairs: listed neighbours with another label
    double sum_x = 0, sum_y = 0, sum_z = 0;

    // One site at (x, y, z) joins or leaves the volume and the coordinate sums.
    void add_site(double x, double y, double z) {
        volume += 1;
        sum_x += x, sum_y += y, sum_z += z;
        sum_xx += x * x, sum_yy += y * y, sum_zz += z * z;
        sum_xy += x * y, sum_xz += x * z, sum_yz += y * z;
    }
    void remove_site(double x, double y, double z) {
        volume -= 1;
        sum_x -= x, sum_y -= y, sum_z -= z;
        sum_xx -= x * x, sum_yy -= y * y, sum_zz -= z * z;
        sum_xy -= x * y, sum_xz -= x * z, sum_yz -= y * z;
    }

    // Adds increments collected elsewhere, field by field.
    Trackers& operator+=(const Trackers& d) {
        sum_xx += d.sum_xx, sum_yy += d.sum_yy, sum_zz += d.sum_zz;
        sum_xy += d.sum_xy, sum_xz += d.sum_xz, sum_yz += d.sum_yz;
        volume += d.volume;
        surface += d.surface;
        sum_x += d.sum_x, sum_y += d.sum_y, sum_z += d.sum_z;
        return *this;
    }

    friend bool operator==(const Trackers&, const Trackers&) = default;
};

}  // namespace morva
