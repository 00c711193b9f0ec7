// reference.hpp: a plain second implementation of the sequential sweep for tiny boxes, written from
// the rules alone and sharing no code with the engine: its own generator, neighbour lists, trackers
// and energy. It covers the core terms only (contact, volume, surface); the fuzzer compares it with
// the engine's step on worlds where no other term is switched on.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

namespace morva::fuzz {

class RefGenerator {
public:
    std::array<std::uint64_t, 4> s{};

    std::uint64_t next();
    std::uint64_t below(std::uint64_t n);  // uniform in [0, n), conservative rejection zone
    double unit();                         // 53 random bits in [0, 1)
};

struct RefCell {
    std::int64_t volume = 0, surface = 0;
    // x, y, z, xx, yy, zz, xy, xz, yz
    std::array<double, 9> sums{};
    double target_volume = 0, lambda_volume = 0, target_surface = 0, lambda_surface = 0;
    std::uint16_t type = 0;
};

struct RefWorld {
    std::array<std::uint64_t, 3> dims{};
    bool periodic = false;
    std::vector<std::array<std::int64_t, 3>> offsets;
    std::vector<std::uint32_t> labels;
    std::vector<RefCell> cells;
    std::map<std::pair<std::uint16_t, std::uint16_t>, double> contact;  // both orientations stored
    double temperature = 0;
    RefGenerator rng;

    // The offsets of a neighbourhood order: dz outermost, then dy, then dx, each ascending.
    void set_neighborhood(std::uint8_t order);
    void set_contacts(const std::vector<std::tuple<std::uint16_t, std::uint16_t, double>>& entries);

    std::uint64_t n_sites() const { return dims[0] * dims[1] * dims[2]; }
    std::array<std::uint64_t, 3> coords(std::uint64_t site) const;
    // The neighbour list of a site, in offset order, written over `list`.
    void neighbors(std::uint64_t site, std::vector<std::uint64_t>& list) const;
    double contact_energy(std::uint16_t a, std::uint16_t b) const;
    bool surface_active() const;

    // Every tracker from the label grid.
    void recompute();
    double energy_change(std::uint64_t site, std::uint32_t b) const;
    void copy_attempt();
    void step(std::uint64_t mcs);
};

}  // namespace morva::fuzz
