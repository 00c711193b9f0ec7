// act.cpp: the act model's energy change and its per-site activity. The floating-point order is part
// of the dynamics: the local activity takes the site's own activity first and then its neighbours of
// the same cell in neighbourhood order, as a product (geometric mean: pow(product, 1 / n)) or a sum
// (arithmetic mean: sum / n); the change is (lambda / max_act) * (A(target) - A(source)).
#include <cmath>
#include <limits>
#include <string>

#include "world.hpp"

namespace morva {

void World::set_act(CellType cell_type, double lambda, std::uint64_t max_act) {
    constexpr std::uint64_t top = std::numeric_limits<Activity>::max();
    if (max_act > top)
        throw BadRequest("max_act = " + std::to_string(max_act) + " is above " + std::to_string(top) +
                         ", the largest activity a site holds");
    act.set(cell_type, lambda, static_cast<Activity>(max_act));
    if (act.activity.empty()) act.activity.assign(lattice.n_sites(), 0);
}

void World::set_act_arithmetic(bool arithmetic) { act.arithmetic = arithmetic; }

namespace {

// Folds the activity of `site` and of each neighbour held by `label` into a product or a sum (the
// site itself listed among its own neighbours counts once); returns the mean.
template <class NeighborAt>
double mean_activity(const Activity* activity, const Label* labels, SiteIndex site, Label label, std::size_t count,
                     NeighborAt neighbor_at, bool arithmetic) {
    const Activity own = activity[site];
    if (!arithmetic && own == 0) return 0.0;
    double folded = own;
    std::size_t n = 1;
    for (std::size_t i = 0; i < count; ++i) {
        const SiteIndex t = neighbor_at(i);
        if (t == site || labels[t] != label) continue;
        const Activity v = activity[t];
        if (arithmetic) {
            folded += v;
        } else {
            if (v == 0) return 0.0;
            folded *= v;
        }
        ++n;
    }
    const double count_seen = static_cast<double>(n);
    return arithmetic ? folded / count_seen : std::pow(folded, 1.0 / count_seen);
}

}  // namespace

double World::local_activity(SiteIndex site, Label label) const {
    if (label == 0) return 0.0;
    const Activity* activity = act.activity.data();
    const Label* labels = lattice.labels.data();
    if (lattice.is_interior_site(site)) {
        const std::int64_t* offsets = lattice.linear_offsets.data();
        return mean_activity(activity, labels, site, label, lattice.linear_offsets.size(),
                             [site, offsets](std::size_t i) {
                                 return static_cast<SiteIndex>(static_cast<std::int64_t>(site) + offsets[i]);
                             },
                             act.arithmetic);
    }
    const NeighborList nbrs = lattice.neighbors(site);
    return mean_activity(activity, labels, site, label, nbrs.size(), [&nbrs](std::size_t i) { return nbrs[i]; },
                         act.arithmetic);
}

// The parameters are those of the source cell's type, or of the target cell's type when the source is
// the medium; a type without lambda_act or max_act adds nothing.
double World::delta_act(SiteIndex target, SiteIndex source, Label a, Label b) const {
    const CellType type = cells[b != 0 ? b : a].cell_type;
    const double lambda = act.lambda_of(type);
    const Activity max_act = act.max_of(type);
    if (lambda == 0.0 || max_act == 0) return 0.0;
    return (lambda / static_cast<double>(max_act)) * (local_activity(target, a) - local_activity(source, b));
}

void World::decay_activity() {
    for (Activity& v : act.activity) v = static_cast<Activity>(v - (v != 0));
}

}  // namespace morva
