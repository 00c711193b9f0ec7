// checkpoint_consistency.hpp: what the labels of a finalized world determine, rebuilt after a read and
// compared with what the file stored, so that a file edited behind its checksum is refused rather than
// run on trackers that do not match its grid. Reads the labels; leaves every tracker as it was read, so a world
// that passes runs on exactly the values it was saved with. Costs one tracker recomputation: a pass
// over the sites and their neighbours, plus a copy of the cell table.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <string>
#include <vector>

#include "world.hpp"

namespace morva {

namespace detail {

// Integer-valued sums are exact below 2**53 whatever the order of additions; beyond, the order of the
// running updates may round differently from a fresh pass.
inline bool same_sum(double stored, double rebuilt) {
    constexpr double exact_below = 9007199254740992.0;
    if (std::fabs(rebuilt) < exact_below) return stored == rebuilt;
    return std::fabs(stored - rebuilt) <= 1e-12 * std::fabs(rebuilt);
}

inline std::string shortest(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

inline std::string tracker_difference(Label id, const char* what, double stored, double rebuilt) {
    return "cell " + std::to_string(id) + " stores " + what + " " + shortest(stored) + ", its sites give " +
           shortest(rebuilt);
}

// A cell kept in its own unwrapped frame may be stored at another image of the box than a fresh pass
// puts it: its centre is compared modulo the box, its second moments about the centre as they are.
inline std::string unwrapped_difference(Label id, const Trackers& s, const Trackers& r,
                                        const std::array<SiteIndex, 3>& dims) {
    if (r.volume == 0) return {};
    const double v = static_cast<double>(r.volume);
    const double cs[3] = {s.sum_x / v, s.sum_y / v, s.sum_z / v}, cr[3] = {r.sum_x / v, r.sum_y / v, r.sum_z / v};
    const char* centre_names[3] = {"centre x", "centre y", "centre z"};
    for (int a = 0; a < 3; ++a) {
        const double side = static_cast<double>(dims[static_cast<std::size_t>(a)]);
        const double off = std::fabs(std::fmod(cs[a] - cr[a], side));
        if (!(std::min(off, side - off) <= 1e-6)) return tracker_difference(id, centre_names[a], cs[a], cr[a]);
    }
    const auto moment = [v](const Trackers& t, double Trackers::*sum, double ca, double cb) { return t.*sum / v - ca * cb; };
    const std::tuple<const char*, double Trackers::*, int, int> named[] = {
        {"sum_xx", &Trackers::sum_xx, 0, 0}, {"sum_yy", &Trackers::sum_yy, 1, 1}, {"sum_zz", &Trackers::sum_zz, 2, 2},
        {"sum_xy", &Trackers::sum_xy, 0, 1}, {"sum_xz", &Trackers::sum_xz, 0, 2}, {"sum_yz", &Trackers::sum_yz, 1, 2}};
    for (const auto& [name, sum, a, b] : named) {
        const double ms = moment(s, sum, cs[a], cs[b]), mr = moment(r, sum, cr[a], cr[b]);
        if (!(std::fabs(ms - mr) <= 1e-6 * std::max(1.0, std::fabs(mr)))) return tracker_difference(id, name, s.*sum, r.*sum);
    }
    return {};
}

}  // namespace detail

// The first tracker of `w` that differs from a recomputation from the labels, described; empty when all
// agree. Volumes and surfaces are compared exactly; coordinate sums exactly where the world keeps them
// in raw coordinates, else through the centre (modulo the box) and the second moments about it.
inline std::string first_tracker_difference(World& w) {
    const std::vector<Cell> stored = w.cells;
    const bool surface_active = w.surface_active;
    w.recompute_trackers();
    const bool sums = !w.shape_frame().unwraps();
    std::string found;
    for (std::size_t id = 0; id < stored.size() && found.empty(); ++id) {
        const Trackers& s = stored[id];
        const Trackers& r = w.cells[id];
        const auto label = static_cast<Label>(id);
        if (s.volume != r.volume)
            found = detail::tracker_difference(label, "volume", static_cast<double>(s.volume), static_cast<double>(r.volume));
        else if (s.surface != r.surface)
            found = detail::tracker_difference(label, "surface", static_cast<double>(s.surface), static_cast<double>(r.surface));
        else if (!sums)
            found = detail::unwrapped_difference(label, s, r, w.lattice.dims);
        else {
            const std::pair<const char*, double Trackers::*> named[] = {
                {"sum_x", &Trackers::sum_x},   {"sum_y", &Trackers::sum_y},   {"sum_z", &Trackers::sum_z},
                {"sum_xx", &Trackers::sum_xx}, {"sum_yy", &Trackers::sum_yy}, {"sum_zz", &Trackers::sum_zz},
                {"sum_xy", &Trackers::sum_xy}, {"sum_xz", &Trackers::sum_xz}, {"sum_yz", &Trackers::sum_yz}};
            for (const auto& [name, member] : named)
                if (!detail::same_sum(s.*member, r.*member)) {
                    found = detail::tracker_difference(label, name, s.*member, r.*member);
                    break;
                }
        }
    }
    w.cells = stored;
    w.surface_active = surface_active;
    return found;
}

}  // namespace morva
