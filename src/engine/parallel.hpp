// parallel.hpp: the checkerboard sweep's parts that callers besides Morva::step_parallel reach: the
// per-cell increment record, the tiling with its colour passes, and the sweep on an explicitly given
// pool.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "pool.hpp"
#include "sweep.hpp"

namespace morva {

// Seed of one tile's private generator: a function of the structure only, never of threads.
inline std::uint64_t tile_seed(std::uint64_t tile, std::uint64_t sweep_seed, std::uint64_t step, std::uint64_t colour) {
    return (tile * 0xC2B2AE3DULL) ^ sweep_seed ^ (step * 0x9E3779B9ULL) ^ (colour * 0x85EBCA77ULL);
}

// A set of same-colour tiles that may run at the same time. It is the product of one increasing list
// of tile coordinates per axis, so task i (x fastest) is the i-th tile in increasing tile index.
struct TilePass {
    std::array<std::vector<std::size_t>, 3> coords;

    std::size_t size() const { return coords[0].size() * coords[1].size() * coords[2].size(); }
    std::array<std::size_t, 3> tile_coords(std::size_t task) const {
        const std::size_t nx = coords[0].size(), ny = coords[1].size();
        return {coords[0][task % nx], coords[1][(task / nx) % ny], coords[2][task / (nx * ny)]};
    }
};

struct Tiling {
    std::array<SiteIndex, 3> dims{};
    std::array<std::size_t, 3> tiles{};  // per axis: ceil(side / block)
    std::size_t block = 0;
    std::size_t n_colours = 0;  // 8 for several layers, 4 for one
    // passes[c]: the sub-passes of colour c in the order they run. Without wrapped seams (see
    // Tiling::make) every non-empty colour has exactly one, holding all its tiles.
    std::vector<std::vector<TilePass>> passes;

    // `reach`: how far beyond its tile a task reads (1, or 2 with the act model).
    static Tiling make(const Lattice& lattice, std::size_t block, SiteIndex reach = 1);
    std::size_t tile_count() const { return tiles[0] * tiles[1] * tiles[2]; }
    std::size_t tile_index(const std::array<std::size_t, 3>& t) const {
        return t[0] + tiles[0] * (t[1] + tiles[1] * t[2]);
    }
    // Half-open site range of tile coordinate t along an axis; the far tile may be thinner.
    SiteIndex lo(std::size_t t) const { return t * block; }
    SiteIndex hi(int axis, std::size_t t) const {
        const SiteIndex start = t * block;
        return start + std::min<SiteIndex>(block, dims[axis] - start);
    }
};

// Morva::step_parallel on a given pool instead of the process-wide one. The pool takes jobs from
// several threads one at a time, so sweeps of different worlds may share it.
std::uint64_t step_parallel_on(Morva& morva, std::uint64_t mcs, std::size_t block, WorkerPool& pool,
                               StepCheck check = {});

}  // namespace morva
