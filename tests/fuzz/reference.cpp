// reference.cpp: the sweep as the rules state it, computed the slow way: every accepted copy rebuilds
// all trackers from the grid, every list is a fresh vector.
#include "reference.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace morva::fuzz {

namespace {

std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

std::uint64_t RefGenerator::next() {
    const std::uint64_t result = rotate_left(s[0] + s[3], 23) + s[0];
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotate_left(s[3], 45);
    return result;
}

std::uint64_t RefGenerator::below(std::uint64_t n) {
    int leading = 0;
    while (leading < 64 && ((n >> (63 - leading)) & 1) == 0) ++leading;
    const std::uint64_t zone = (n << leading) - 1;
    for (;;) {
        const unsigned __int128 product = static_cast<unsigned __int128>(next()) * n;
        if (static_cast<std::uint64_t>(product) <= zone) return static_cast<std::uint64_t>(product >> 64);
    }
}

double RefGenerator::unit() { return static_cast<double>(next() >> 11) * 1.1102230246251565e-16; }

void RefWorld::set_neighborhood(std::uint8_t order) {
    offsets.clear();
    const std::int64_t z_reach = dims[2] > 1 ? 1 : 0;
    for (std::int64_t dz = -z_reach; dz <= z_reach; ++dz)
        for (std::int64_t dy = -1; dy <= 1; ++dy)
            for (std::int64_t dx = -1; dx <= 1; ++dx) {
                const std::int64_t norm = std::abs(dx) + std::abs(dy) + std::abs(dz);
                if (norm != 0 && norm <= order) offsets.push_back({dx, dy, dz});
            }
}

void RefWorld::set_contacts(const std::vector<std::tuple<std::uint16_t, std::uint16_t, double>>& entries) {
    contact.clear();
    for (const auto& [a, b, j] : entries) {
        contact[{a, b}] = j;
        contact[{b, a}] = j;
    }
}

std::array<std::uint64_t, 3> RefWorld::coords(std::uint64_t site) const {
    return {site % dims[0], (site / dims[0]) % dims[1], site / (dims[0] * dims[1])};
}

void RefWorld::neighbors(std::uint64_t site, std::vector<std::uint64_t>& list) const {
    const auto c = coords(site);
    list.clear();
    for (const auto& o : offsets) {
        std::array<std::int64_t, 3> p{};
        bool inside = true;
        for (int axis = 0; axis < 3; ++axis) {
            const auto size = static_cast<std::int64_t>(dims[axis]);
            std::int64_t v = static_cast<std::int64_t>(c[axis]) + o[axis];
            if (periodic) v = ((v % size) + size) % size;
            else if (v < 0 || v >= size) inside = false;
            p[axis] = v;
        }
        if (inside)
            list.push_back(static_cast<std::uint64_t>(p[0]) +
                           dims[0] * (static_cast<std::uint64_t>(p[1]) + dims[1] * static_cast<std::uint64_t>(p[2])));
    }
}

double RefWorld::contact_energy(std::uint16_t a, std::uint16_t b) const {
    const auto it = contact.find({a, b});
    return it == contact.end() ? 0.0 : it->second;
}

bool RefWorld::surface_active() const {
    return std::any_of(cells.begin(), cells.end(), [](const RefCell& c) { return c.lambda_surface != 0.0; });
}

void RefWorld::recompute() {
    for (RefCell& c : cells) {
        c.volume = c.surface = 0;
        c.sums.fill(0.0);
    }
    std::vector<std::uint64_t> list;
    for (std::uint64_t site = 0; site < n_sites(); ++site) {
        RefCell& c = cells.at(labels[site]);
        const auto p = coords(site);
        const double x = static_cast<double>(p[0]), y = static_cast<double>(p[1]), z = static_cast<double>(p[2]);
        c.volume += 1;
        const std::array<double, 9> add{x, y, z, x * x, y * y, z * z, x * y, x * z, y * z};
        for (int i = 0; i < 9; ++i) c.sums[i] += add[i];
        neighbors(site, list);
        for (const std::uint64_t t : list) c.surface += labels[t] != labels[site];
    }
}

// A site listed among its own neighbours (a periodic axis of one site) never pairs with itself: such
// entries take no part in the surface or the contact energy.
double RefWorld::energy_change(std::uint64_t site, std::uint32_t b) const {
    const std::uint32_t a = labels[site];
    if (a == b) return 0.0;
    double energy = 0.0;
    if (a != 0) {
        const RefCell& c = cells[a];
        const double d1 = static_cast<double>(c.volume - 1) - c.target_volume;
        const double d0 = static_cast<double>(c.volume) - c.target_volume;
        energy += c.lambda_volume * (d1 * d1 - d0 * d0);
    }
    if (b != 0) {
        const RefCell& c = cells[b];
        const double d1 = static_cast<double>(c.volume + 1) - c.target_volume;
        const double d0 = static_cast<double>(c.volume) - c.target_volume;
        energy += c.lambda_volume * (d1 * d1 - d0 * d0);
    }
    std::vector<std::uint64_t> list, others;
    neighbors(site, list);
    for (const std::uint64_t t : list)
        if (t != site) others.push_back(t);
    if (surface_active()) {
        // Change of each listed cell's boundary pairs; a and b and every neighbour's label are listed.
        std::map<std::uint32_t, std::int64_t> change;
        change[a] = 0;
        change[b] = 0;
        for (const std::uint64_t t : others) {
            const std::uint32_t l = labels[t];
            change[a] -= l != a;
            change[b] += l != b;
            change[l] += std::int64_t{l != b} - std::int64_t{l != a};
        }
        for (const auto& [id, d] : change) {
            if (id == 0) continue;
            const RefCell& c = cells[id];
            const double d1 = static_cast<double>(c.surface + d) - c.target_surface;
            const double d0 = static_cast<double>(c.surface) - c.target_surface;
            energy += c.lambda_surface * (d1 * d1 - d0 * d0);
        }
    }
    const std::uint16_t ta = cells[a].type, tb = cells[b].type;
    double contact_part = 0.0;
    for (const std::uint64_t t : others) {
        const std::uint32_t l = labels[t];
        const std::uint16_t tl = cells[l].type;
        const double gained = l != b ? contact_energy(tb, tl) : 0.0;
        const double lost = l != a ? contact_energy(ta, tl) : 0.0;
        contact_part += gained - lost;
    }
    return energy + contact_part;
}

void RefWorld::copy_attempt() {
    const std::uint64_t target = rng.below(n_sites());
    std::vector<std::uint64_t> list;
    neighbors(target, list);
    if (list.empty()) return;
    const std::uint64_t source = list[rng.below(list.size())];
    const std::uint32_t a = labels[target], b = labels[source];
    if (a == b) return;
    const double dh = energy_change(target, b);
    if (dh > 0.0 || std::isnan(dh)) {
        const double r = rng.unit();
        if (!(std::exp(-dh / temperature) > r)) return;
    }
    labels[target] = b;
    recompute();
}

void RefWorld::step(std::uint64_t mcs) {
    if (n_sites() == 0) return;
    for (std::uint64_t m = 0; m < mcs; ++m)
        for (std::uint64_t i = 0; i < n_sites(); ++i) copy_attempt();
}

}  // namespace morva::fuzz
