// term_helpers.hpp: shared pieces of the optional-term tests: whole-grid flood fills, block tissues
// for the long runs, and the random-flip loop that compares an energy change with the difference of
// a whole energy computed before and after the flip.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <random>
#include <vector>

#include "helpers.hpp"

namespace morva::testing {

// Connected pieces of the sites labelled `label`; `for_each_adjacent(p, visit)` calls visit(q) for each
// site q adjacent to p.
template <class ForEachAdjacent>
std::size_t pieces_by(const World& w, Label label, ForEachAdjacent&& for_each_adjacent) {
    const auto& labels = w.lattice.labels;
    std::vector<std::uint8_t> seen(labels.size(), 0);
    std::vector<SiteIndex> stack;
    std::size_t pieces = 0;
    for (SiteIndex s = 0; s < labels.size(); ++s) {
        if (labels[s] != label || seen[s]) continue;
        ++pieces;
        seen[s] = 1;
        stack.push_back(s);
        while (!stack.empty()) {
            const SiteIndex p = stack.back();
            stack.pop_back();
            for_each_adjacent(p, [&](SiteIndex q) {
                if (labels[q] == label && !seen[q]) {
                    seen[q] = 1;
                    stack.push_back(q);
                }
            });
        }
    }
    return pieces;
}

// Connected pieces of the sites labelled `label`, adjacency being the lattice's own neighbour lists.
inline std::size_t pieces_of(const World& w, Label label) {
    return pieces_by(w, label, [&w](SiteIndex p, auto&& visit) {
        for (const SiteIndex q : w.lattice.neighbors(p)) visit(q);
    });
}

// A set-up world tiled with cells x cells square blocks of side `side` (2-D), starting at `margin`,
// types alternating 1, 2 in a checkerboard; every cell's target volume is its block's area.
inline World block_tissue(SiteIndex nx, SiteIndex ny, Boundary boundary, std::uint8_t order, SiteIndex cells,
                          SiteIndex side, SiteIndex margin, double temperature) {
    World w = make_world({nx, ny, 1}, boundary, order, temperature);
    for (SiteIndex by = 0; by < cells; ++by)
        for (SiteIndex bx = 0; bx < cells; ++bx) {
            const auto type = static_cast<CellType>(1 + (bx + by) % 2);
            const Label id = w.add_cell(type, static_cast<double>(side * side), 1.0, 0.0, 0.0);
            w.paint_box(id, {margin + side * bx, margin + side * by, 0},
                              {margin + side * (bx + 1), margin + side * (by + 1), 1});
        }
    return w;
}

// Random flips (random site, random label from the table); before each one the term's change must
// equal the difference of its whole energy after and before, within `tolerance` relative to the
// size of the energies. Returns how many flips changed the whole energy, so that callers can check
// the comparison was not vacuous.
inline int expect_delta_matches_whole(World& w, std::uint64_t seed, int flips,
                                      const std::function<double(const World&, SiteIndex, Label)>& delta,
                                      const std::function<double(const World&)>& whole, double tolerance) {
    std::mt19937_64 gen(seed);
    int changed = 0;
    double before = whole(w);
    for (int i = 0; i < flips; ++i) {
        const SiteIndex site = gen() % w.lattice.n_sites();
        const auto label = static_cast<Label>(gen() % w.cells.size());
        const double d = delta(w, site, label);
        w.apply_flip(site, label);
        const double after = whole(w);
        const double scale = 1.0 + std::fabs(before) + std::fabs(after);
        EXPECT_NEAR(d, after - before, tolerance * scale) << "flip " << i << " site " << site << " to " << label;
        changed += after != before;
        before = after;
    }
    return changed;
}

struct TermShape {
    std::array<SiteIndex, 3> dims;
    Boundary boundary;
    std::uint8_t order;
};

inline std::string describe(const TermShape& c) {
    return std::to_string(c.dims[0]) + "x" + std::to_string(c.dims[1]) + "x" + std::to_string(c.dims[2]) +
           (c.boundary == Boundary::Periodic ? "_periodic_" : "_noflux_") + "order" + std::to_string(c.order);
}
inline std::string shape_name(const ::testing::TestParamInfo<TermShape>& info) { return describe(info.param); }
inline void PrintTo(const TermShape& c, std::ostream* os) { *os << describe(c); }

// Boxes of both boundaries, 2-D and 3-D, and the small periodic ones that list a site several times.
inline const std::vector<TermShape>& term_shapes() {
    static const std::vector<TermShape> shapes{
        {{9, 7, 1}, Boundary::Periodic, 1}, {{9, 7, 1}, Boundary::Noflux, 2},  {{6, 5, 4}, Boundary::Periodic, 3},
        {{6, 5, 4}, Boundary::Noflux, 1},   {{1, 6, 6}, Boundary::Periodic, 2}, {{2, 9, 1}, Boundary::Periodic, 2},
        {{3, 3, 3}, Boundary::Periodic, 3}};
    return shapes;
}

}  // namespace morva::testing
