// membrane.cpp: the anchored-membrane term with its distance field, and the junction term (pinches of
// medium between two junction-enabled cells). Both read the label grid only; the setters write the
// term settings.
#include "membrane.hpp"

#include <algorithm>
#include <limits>

#include "world.hpp"

namespace morva {

// Both terms walk faces inside the box only, whatever the boundary rule.
constexpr std::array<bool, 3> no_wrap{false, false, false};

std::vector<float> build_distance_field(std::array<SiteIndex, 3> dims, std::span<const SiteIndex> anchors) {
    const SiteIndex n = dims[0] * dims[1] * dims[2];
    std::vector<float> distance(n, std::numeric_limits<float>::infinity());
    // With unit steps a site is queued at most once, so a vector read from the front is the queue.
    std::vector<SiteIndex> queue;
    queue.reserve(n);
    for (const SiteIndex a : anchors) {
        if (a >= n || distance[a] == 0.0f) continue;
        distance[a] = 0.0f;
        queue.push_back(a);
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const SiteIndex i = queue[head];
        const float d = distance[i] + 1.0f;
        const SiteIndex x = i % dims[0], y = (i / dims[0]) % dims[1], z = i / (dims[0] * dims[1]);
        for_each_face(dims, no_wrap, i, {x, y, z}, [&](SiteIndex j) {
            if (d < distance[j]) {
                distance[j] = d;
                queue.push_back(j);
            }
        });
    }
    return distance;
}

// --- membrane term

void World::set_membrane(const std::vector<SiteIndex>& anchors, double k, double band) {
    if (anchors.empty()) {
        membrane.distance.clear();  // term off; k and band are kept
        membrane.distance.shrink_to_fit();
        return;
    }
    membrane.distance = build_distance_field(lattice.dims, anchors);
    membrane.k = k;
    membrane.band = band;
}

void World::set_membrane_anchored(CellType cell_type, bool on) {
    membrane.set_anchored(cell_type, on);
}

// A site pays k * (d - band)^2 to an anchored cell when it lies beyond the band.
double MembraneTerm::change(const Label* labels, const Cell* cells, SiteIndex site, Label new_label) const {
    if (distance.empty()) return 0.0;
    const Label old_label = labels[site];
    if (new_label == old_label) return 0.0;
    const auto anchored = [&](Label l) {
        if (l == 0) return false;
        return anchors_type(cells[l].cell_type);
    };
    const double e = static_cast<double>(distance[site]) - band;
    const double cost = k * (e * e);
    const double gain = anchored(new_label) && e > 0.0 ? cost : 0.0;
    const double loss = anchored(old_label) && e > 0.0 ? cost : 0.0;
    return gain - loss;
}

// --- junction term

void World::set_junction(CellType cell_type, bool on) {
    junction.set(cell_type, on);
}

void World::set_junction_lambda(double lambda) { junction.lambda = lambda; }

// Pinches at the medium site `probe`, reading `site` as if it held `label`: one per axis whose two
// in-box neighbours belong to two different junction-enabled cells. Faces never wrap.
std::int64_t JunctionTerm::pinches(const Lattice& lattice, const Cell* cells, SiteIndex probe, const Coords& c,
                                   SiteIndex site, Label label) const {
    const auto lab = [&](SiteIndex p) { return p == site ? label : lattice.labels[p]; };
    if (lab(probe) != 0) return 0;
    const auto enabled = [&](Label l) {
        if (l == 0) return false;
        return enables_type(cells[l].cell_type);
    };
    const auto pinched = [&](SiteIndex lo, SiteIndex hi) {
        const Label a = lab(lo), b = lab(hi);
        return std::int64_t{a != b && enabled(a) && enabled(b)};
    };
    const SiteIndex nx = lattice.nx(), ny = lattice.ny(), nz = lattice.nz(), layer = nx * ny;
    std::int64_t count = 0;
    if (c.x > 0 && c.x + 1 < nx) count += pinched(probe - 1, probe + 1);
    if (c.y > 0 && c.y + 1 < ny) count += pinched(probe - nx, probe + nx);
    if (nz > 1 && c.z > 0 && c.z + 1 < nz) count += pinched(probe - layer, probe + layer);
    return count;
}

// Only the target and its medium face neighbours can change their pinch count. The counts are
// integers, so their order does not matter; each probe's coordinates follow from the target's.
double JunctionTerm::change(const Lattice& lattice, const Cell* cells, SiteIndex site, Label new_label) const {
    const Label old_label = lattice.labels[site];
    if (new_label == old_label) return 0.0;
    std::int64_t count = 0;
    // An interior site of a neighbourhood that reaches along x (and so along every axis of the box)
    // has all its face neighbours in the box, none wrapped.
    if (old_label != 0 && new_label != 0 && lattice.geometry.reach[0] != 0 && lattice.is_interior_site(site)) {
        // Only medium sites pinch: the site holds a cell either way, so only medium face neighbours
        // can change their count, and most copies inside a tissue have none.
        const Label* l = lattice.labels.data();
        const SiteIndex nx = lattice.nx(), layer = nx * lattice.ny();
        bool medium_beside = l[site - 1] == 0 || l[site + 1] == 0 || l[site - nx] == 0 || l[site + nx] == 0;
        if (lattice.nz() > 1) medium_beside = medium_beside || l[site - layer] == 0 || l[site + layer] == 0;
        if (!medium_beside) return static_cast<double>(count) * lambda;
    }
    const Coords c = lattice.coords(site);
    count = pinches(lattice, cells, site, c, site, new_label) - pinches(lattice, cells, site, c, site, old_label);
    const auto probe = [&](SiteIndex j, const Coords& at) {
        if (lattice.labels[j] == 0)
            count += pinches(lattice, cells, j, at, site, new_label) - pinches(lattice, cells, j, at, site, old_label);
    };
    const SiteIndex nx = lattice.nx(), ny = lattice.ny(), nz = lattice.nz(), layer = nx * ny;
    if (c.x > 0) probe(site - 1, {c.x - 1, c.y, c.z});
    if (c.x + 1 < nx) probe(site + 1, {c.x + 1, c.y, c.z});
    if (c.y > 0) probe(site - nx, {c.x, c.y - 1, c.z});
    if (c.y + 1 < ny) probe(site + nx, {c.x, c.y + 1, c.z});
    if (nz > 1) {
        if (c.z > 0) probe(site - layer, {c.x, c.y, c.z - 1});
        if (c.z + 1 < nz) probe(site + layer, {c.x, c.y, c.z + 1});
    }
    return static_cast<double>(count) * lambda;
}

}  // namespace morva
