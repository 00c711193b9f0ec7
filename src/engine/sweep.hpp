// sweep.hpp: the sweep driver. Morva owns the finalized world and the one main generator.
#pragma once

#include <cmath>

#include "random.hpp"
#include "world.hpp"

namespace morva {

// Each cell's length energy as its trackers stand, where known[l] says so.
struct LengthEnergies {
    std::vector<double> energy;
    std::vector<std::uint8_t> known;
};

struct Morva {
    World world;
    Xoshiro256pp rng;
    // Scratch filled at the start of every sweep call (prepare_sweep_tables): the padded contact
    // index of each label's type, and the contact table as scaled integers when it allows that.
    std::vector<std::uint32_t> type_by_label;
    std::vector<std::int64_t> scaled_contact;
    double contact_unscale = 0;
    bool contact_is_scaled = false;
    LengthEnergies length_energies;

    // Takes the world by move: the label grid, cell table and fields are never copied.
    static Morva make(World world, std::uint64_t seed);
    Morva() = default;
    Morva(Morva&&) = default;
    Morva& operator=(Morva&&) = default;
    Morva(const Morva&) = delete;
    Morva& operator=(const Morva&) = delete;

    // Sequential Metropolis sweep: mcs times, n_sites copy attempts then one field advance.
    void step(std::uint64_t mcs);
    // Checkerboard sweep over tiles of side `block` on the worker pool (parallel.cpp).
    void step_parallel(std::uint64_t mcs, std::size_t block);
};

void fill_padded_types(const World& w, std::vector<std::uint32_t>& out);
void prepare_sweep_tables(Morva& m);

// The Metropolis rule: downhill and level copies pass without a draw; uphill ones draw once.
// NaN fails both comparisons and is rejected after its draw.
inline bool metropolis_accepts(double dh, double temperature, Xoshiro256pp& rng) {
    if (dh <= 0.0) return true;
    const double r = rng.unit();
    return std::exp(-dh / temperature) > r;
}

}  // namespace morva
