// option_helpers.hpp: shared pieces of the world-option tests: face flood fills, translated copies
// of a tissue and centre tracks that follow a cell across seams.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "term_helpers.hpp"

namespace morva::testing {

// Pieces of the sites labelled `label`, joined through faces only (the box's own boundary rule).
inline std::size_t face_pieces(const World& w, Label label) {
    return pieces_by(w, label, [&w](SiteIndex p, auto&& visit) { w.lattice.for_each_face(p, visit); });
}

// Cells (not the medium) in more than one face-connected piece.
inline std::size_t cells_in_face_pieces(const World& w) {
    std::size_t split = 0;
    for (Label l = 1; l < w.cells.size(); ++l) split += face_pieces(w, l) > 1;
    return split;
}

// Cell sites that share no face with a site of their own cell.
inline std::size_t stranded_sites(const World& w) {
    const auto& labels = w.lattice.labels;
    std::size_t stranded = 0;
    for (SiteIndex s = 0; s < labels.size(); ++s) {
        if (labels[s] == 0) continue;
        bool joined = false;
        w.lattice.for_each_face(s, [&](SiteIndex q) { joined |= q != s && labels[q] == labels[s]; });
        stranded += !joined;
    }
    return stranded;
}

// The site that `site` moves to when the whole box is translated by `shift` (periodic axes).
inline SiteIndex translated(const Lattice& lat, SiteIndex site, const std::array<SiteIndex, 3>& shift) {
    const Coords c = lat.coords(site);
    return lat.site_of((c.x + shift[0]) % lat.dims[0], (c.y + shift[1]) % lat.dims[1], (c.z + shift[2]) % lat.dims[2]);
}

// a - b brought to the nearest whole-box image on an axis of side `side` (0: no wrapping).
inline double wrapped_difference(double a, double b, double side) {
    const double d = a - b;
    return side == 0 ? d : d - side * std::round(d / side);
}

// Follows a cell's reported centre across seams: each reading moves the track by the shortest wrapped
// step from the previous one.
class CentreTrack {
public:
    CentreTrack(const World& w, Label id) : w_(w), id_(id), last_(w.cell_centre(id)), unwrapped_(last_) {}
    Point read() {
        const Point now = w_.cell_centre(id_);
        for (int a = 0; a < 3; ++a)
            unwrapped_[a] += wrapped_difference(now[a], last_[a],
                                                w_.lattice.periodic[a] ? static_cast<double>(w_.lattice.dims[a]) : 0);
        last_ = now;
        return unwrapped_;
    }

private:
    const World& w_;
    Label id_;
    Point last_, unwrapped_;
};

}  // namespace morva::testing
