// shape_frame.hpp: where a site is counted in its cell's coordinate sums. Without periodic shapes a
// site counts at its raw lattice coordinates. With them, on each periodic axis a site of a cell counts
// at its image nearest to that cell's current centre, so a cell lying across a seam has the sums of
// the cell as it looks. The medium always counts at raw coordinates: it has no shape.
#pragma once

#include <array>
#include <cmath>

#include "core.hpp"
#include "trackers.hpp"

namespace morva {

using Point = std::array<double, 3>;

// The box sides the sums unwrap over: 0 on an axis that does not wrap (or when the option is off).
struct ShapeFrame {
    Point side{};
    Point half{};

    static ShapeFrame make(const std::array<SiteIndex, 3>& dims, const std::array<bool, 3>& periodic, bool on) {
        ShapeFrame f;
        for (int axis = 0; axis < 3; ++axis)
            if (on && periodic[axis] && dims[axis] > 1) {  // a single layer has nothing to unwrap
                f.side[axis] = static_cast<double>(dims[axis]);
                f.half[axis] = f.side[axis] / 2.0;
            }
        return f;
    }
    bool unwraps() const { return side[0] != 0 || side[1] != 0 || side[2] != 0; }

    // Coordinate x moved by whole boxes into [centre - half, centre + half): a site exactly half a box
    // away goes to the low side wherever the cell is. Centres stay within a step's drift of the box
    // (see wrap_into_box), so one move is enough.
    double image(int axis, double x, double centre) const {
        const double d = x - centre;
        if (d >= half[axis]) return x - side[axis];
        if (d < -half[axis]) return x + side[axis];
        return x;
    }

    // Where the site at raw p counts for a cell whose current trackers are t.
    Point place(Label label, const Trackers& t, const Point& p) const {
        if (label == 0 || t.volume <= 0) return p;
        const double n = static_cast<double>(t.volume);
        Point out = p;
        if (side[0] != 0) out[0] = image(0, p[0], t.sum_x / n);
        if (side[1] != 0) out[1] = image(1, p[1], t.sum_y / n);
        if (side[2] != 0) out[2] = image(2, p[2], t.sum_z / n);
        return out;
    }

    // A centre read from unwrapped sums, brought back into the box.
    Point wrapped(Point c) const {
        for (int axis = 0; axis < 3; ++axis)
            if (side[axis] != 0) c[axis] -= side[axis] * std::floor(c[axis] / side[axis]);
        return c;
    }

    // Shifts the sums by whole boxes so that the centre lies in [0, side) on every unwrapping axis.
    // The sums hold integers, so the shift is exact while they stay below 2^53. Says whether it moved
    // them.
    bool wrap_into_box(Trackers& t) const {
        if (t.volume <= 0) return false;
        bool moved = false;
        const double n = static_cast<double>(t.volume);
        double* sum[3] = {&t.sum_x, &t.sum_y, &t.sum_z};
        double* square[3] = {&t.sum_xx, &t.sum_yy, &t.sum_zz};
        // cross[a][b]: the mixed sum of axes a and b.
        double* cross[3][3] = {{nullptr, &t.sum_xy, &t.sum_xz}, {&t.sum_xy, nullptr, &t.sum_yz},
                               {&t.sum_xz, &t.sum_yz, nullptr}};
        for (int axis = 0; axis < 3; ++axis) {
            if (side[axis] == 0) continue;
            const double s = side[axis] * std::floor(*sum[axis] / n / side[axis]);
            if (s == 0) continue;
            *square[axis] = (*square[axis] - 2.0 * s * *sum[axis]) + n * s * s;
            for (int other = 0; other < 3; ++other)
                if (other != axis) *cross[axis][other] -= s * *sum[other];
            *sum[axis] -= n * s;
            moved = true;
        }
        return moved;
    }
};

// The raw coordinates of a site: the frame without periodic shapes, free in the hot loop.
struct RawPlace {
    Point operator()(Label, const Point& p) const { return p; }
};

}  // namespace morva
