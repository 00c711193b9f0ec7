// sweep.hpp: the sweep driver. Morva owns the finalized world and the one main generator.
#pragma once

#include <bit>
#include <cmath>
#include <numbers>

#include "random.hpp"
#include "world.hpp"

namespace morva {

// Asked between the whole steps of a run with the number of steps done; false ends the run there.
// The default asks nothing and lets every step run.
struct StepCheck {
    bool (*keep_going)(void* context, std::uint64_t steps_done) = nullptr;
    void* context = nullptr;
    bool operator()(std::uint64_t steps_done) const { return !keep_going || keep_going(context, steps_done); }
};

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

    // Takes the world by move: the label grid, cell table and fields are never copied, and nothing is
    // allocated (finalize relies on that once it has taken the set-up world).
    static Morva make(World world, std::uint64_t seed);
    Morva(World w, Xoshiro256pp generator) : world(std::move(w)), rng(generator) {}
    Morva() = default;
    Morva(Morva&&) = default;
    Morva& operator=(Morva&&) = default;
    Morva(const Morva&) = delete;
    Morva& operator=(const Morva&) = delete;

    // Sequential Metropolis sweep: mcs times, n_sites copy attempts then one field advance.
    void step(std::uint64_t mcs);
    // Checkerboard sweep over tiles of side `block` on the worker pool (parallel.cpp).
    void step_parallel(std::uint64_t mcs, std::size_t block);
    // The same, asking `check` between steps: the steps done before it said stop give exactly the
    // state the same number of steps gives in one call. Return the number of steps done.
    std::uint64_t step(std::uint64_t mcs, StepCheck check);
    std::uint64_t step_parallel(std::uint64_t mcs, std::size_t block, StepCheck check);
};

void fill_padded_types(const World& w, std::vector<std::uint32_t>& out);
void prepare_sweep_tables(Morva& m);

// The Metropolis rule: downhill and level copies pass without a draw; uphill ones draw once and pass
// where boltzmann_passes. NaN fails both comparisons and is rejected after its draw.
inline bool boltzmann_passes(double dh, double temperature, double r) { return std::exp(-dh / temperature) > r; }

inline bool metropolis_accepts(double dh, double temperature, Xoshiro256pp& rng) {
    if (dh <= 0.0) return true;
    return boltzmann_passes(dh, temperature, rng.unit());
}

// True only where boltzmann_passes(dh, temperature, r) is false for every dh >= lower, found without
// exp: writing r = m * 2^e with m in [1, 2), -ln r <= -ln 2 * (e + m - 1) (ln lies above its chord
// over [1, 2]), and the margin of 1e-6 in the exponent covers the roundings of the division and of
// exp (under an ulp). False for r == 0 and for NaN.
inline bool surely_rejected(double lower, double temperature, double r) {
    if (!(r > 0.0)) return false;
    const auto bits = std::bit_cast<std::uint64_t>(r);
    const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1023;  // r is a normal number below 1
    const double m = std::bit_cast<double>((bits & 0x000f'ffff'ffff'ffffULL) | 0x3ff0'0000'0000'0000ULL);
    const double minus_ln_r_at_most = -std::numbers::ln2 * (static_cast<double>(e) + (m - 1.0));
    return lower / temperature > minus_ln_r_at_most + 1e-6;
}

}  // namespace morva
