// The act model: its gate, its energy change against a plain re-implementation copy by copy, the
// activity a sweep writes and lowers, and its place in checkpoints.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <utility>

#include "checkpoint.hpp"
#include "energy_change.hpp"
#include "term_helpers.hpp"

namespace morva::testing {
namespace {

TEST(Act, OffByDefaultAndOnlyWithBothParameters) {
    World w = make_world({6, 5, 1}, Boundary::Periodic, 1);
    EXPECT_FALSE(w.term_gates().on<ActTerm>());
    EXPECT_TRUE(w.act.activity.empty());
    w.set_act(2, 0.0, 20);
    EXPECT_FALSE(w.term_gates().on<ActTerm>());
    EXPECT_EQ(w.act.activity.size(), w.lattice.n_sites());
    w.set_act(1, 3.0, 0);
    EXPECT_FALSE(w.term_gates().on<ActTerm>());
    w.set_act(1, 3.0, 65535);
    EXPECT_TRUE(w.term_gates().on<ActTerm>());
    EXPECT_THROW(w.set_act(1, 3.0, 65536), BadRequest);
    EXPECT_EQ(w.act.max_of(1), 65535);
}

// A plainly written local activity: the values of the site and its same-cell neighbours, then their
// geometric mean through logarithms or their arithmetic mean.
double plain_local_activity(const World& w, SiteIndex u, bool arithmetic) {
    const Label l = w.lattice.labels[u];
    if (l == 0) return 0.0;
    std::vector<double> values{static_cast<double>(w.act.activity[u])};
    for (const SiteIndex t : w.lattice.neighbors(u))
        if (t != u && w.lattice.labels[t] == l) values.push_back(w.act.activity[t]);
    double sum = 0.0, logs = 0.0;
    for (const double v : values) {
        if (v == 0 && !arithmetic) return 0.0;
        sum += v;
        logs += std::log(v);
    }
    const double n = static_cast<double>(values.size());
    return arithmetic ? sum / n : std::exp(logs / n);
}

// The local activity in its defining floating-point order: the site's value, then each same-cell
// neighbour's in list order, folded as doubles; pow for the geometric mean. The engine's must equal
// it bit for bit. `l` is the cell the site is priced for: its own by default, or a neighbour's (the
// site's own value still counts first).
double ordered_local_activity(const World& w, SiteIndex u, Label l) {
    if (l == 0) return 0.0;
    const bool arithmetic = w.act.arithmetic;
    double folded = w.act.activity[u];
    if (!arithmetic && folded == 0) return 0.0;
    double n = 1;
    for (const SiteIndex t : w.lattice.neighbors(u)) {
        if (t == u || w.lattice.labels[t] != l) continue;
        const double v = w.act.activity[t];
        if (!arithmetic && v == 0) return 0.0;
        folded = arithmetic ? folded + v : folded * v;
        ++n;
    }
    return arithmetic ? folded / n : std::pow(folded, 1.0 / n);
}

double plain_delta_act(const World& w, SiteIndex target, SiteIndex source) {
    const Label a = w.lattice.labels[target], b = w.lattice.labels[source];
    const CellType type = b != 0 ? w.cells[b].cell_type : w.cells[a].cell_type;
    const double lambda = w.act.lambda_of(type), max_act = w.act.max_of(type);
    if (lambda == 0 || max_act == 0) return 0.0;
    const bool arithmetic = w.act.arithmetic;
    return -lambda / max_act * (plain_local_activity(w, source, arithmetic) - plain_local_activity(w, target, arithmetic));
}

// Random copies between neighbours of random worlds (2-D and 3-D, walls and periodic boxes, both
// means; type 3 has no act term), each priced both ways and then applied as a sweep applies it.
// Activities run up to 6, 40 or 65535, so that some products pass 2^53.
TEST(Act, EnergyChangeMatchesAPlainSumCopyByCopy) {
    struct Case {
        std::array<SiteIndex, 3> dims;
        Boundary boundary;
        std::uint8_t order;
        bool arithmetic;
        std::uint64_t top;  // largest activity
    };
    const Case cases[] = {{{9, 8, 1}, Boundary::Periodic, 2, false, 6},    {{7, 6, 1}, Boundary::Noflux, 1, true, 6},
                          {{5, 4, 4}, Boundary::Periodic, 1, false, 6},    {{5, 5, 3}, Boundary::Noflux, 2, true, 65535},
                          {{9, 8, 1}, Boundary::Periodic, 2, false, 65535}, {{6, 5, 5}, Boundary::Periodic, 3, false, 40}};
    std::size_t priced = 0;
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        const Case& k = cases[c];
        World w = random_world(k.dims, k.boundary, k.order, 5, 11 + c);
        w.set_act(1, 12.0, 6);
        w.set_act(2, 3.5, 2);
        w.set_act_arithmetic(k.arithmetic);
        std::mt19937_64 gen(c);
        for (Activity& v : w.act.activity) v = static_cast<Activity>(gen() % 4 == 0 ? 0 : 1 + gen() % k.top);
        for (int copy = 0; copy < 400; ++copy) {
            const SiteIndex target = gen() % w.lattice.n_sites();
            const NeighborList nbrs = w.lattice.neighbors(target);
            const SiteIndex source = nbrs[gen() % nbrs.size()];
            const Label a = w.lattice.labels[target], b = w.lattice.labels[source];
            if (a == b) continue;
            const double expected = plain_delta_act(w, target, source);
            const double got = w.act.change(w.lattice, w.cells.data(), target, source, a, b);
            ASSERT_NEAR(got, expected, 1e-12 * (1 + std::abs(expected))) << "case " << c << " copy " << copy;
            // The sweeps' call reads the same unit off the world: the same bits.
            ASSERT_EQ(std::bit_cast<std::uint64_t>(act_change(w, target, source, a, b)), std::bit_cast<std::uint64_t>(got))
                << "case " << c << " copy " << copy;
            // Both sites for their own cells, and each for the other's cell.
            for (const auto& [u, l] : {std::pair{target, a}, std::pair{source, b}, std::pair{target, b},
                                       std::pair{source, a}})
                ASSERT_EQ(std::bit_cast<std::uint64_t>(w.act.local_activity(w.lattice, u, l)),
                          std::bit_cast<std::uint64_t>(ordered_local_activity(w, u, l)))
                    << "case " << c << " copy " << copy << " site " << u << " label " << l;
            priced += expected != 0;
            w.apply_flip(target, b);
            w.activate(target, b);
            if (copy % 50 == 49) w.decay_activity();
        }
    }
    EXPECT_GT(priced, 300u);
}

// One cell over a flat 8-neighbour box, its activities on either side of the largest factor whose
// column of three still multiplies in sixteen bits (40), all equal or mixed: the same bits as the
// defining order.
TEST(Act, FlatBlocksOnEitherSideOfTheNarrowFactors) {
    World w = make_world({6, 6, 1}, Boundary::Periodic, 2);
    w.paint_box(w.add_cell(1, 36.0, 1.0, 0.0, 0.0), {0, 0, 0}, {6, 6, 1});
    w.set_act(1, 1.0, 65535);
    ASSERT_NE(w.lattice.flat_block_row, 0);
    const SiteIndex site = 2 * 6 + 3;
    ASSERT_TRUE(w.lattice.is_interior_site(site));
    for (const unsigned top : {39u, 40u, 41u, 42u, 64u, 65535u})
        for (const unsigned spread : {1u, 3u}) {
            for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s)
                w.act.activity[s] = static_cast<Activity>(top - s % spread);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(w.act.local_activity(w.lattice, site, 1)),
                      std::bit_cast<std::uint64_t>(ordered_local_activity(w, site, 1)))
                << "top " << top << " spread " << spread;
        }
}

TEST(Act, ASweepActivatesCopiedSitesAndLowersEveryActivityOnce) {
    World w = random_world({12, 10, 1}, Boundary::Periodic, 2, 6, 3);
    w.set_act(1, 40.0, 9);
    w.set_act(2, 10.0, 4);
    for (SiteIndex s = 0; s < w.lattice.n_sites(); ++s) w.act.activity[s] = static_cast<Activity>(s % 3);
    const std::vector<Activity> before_activity = w.act.activity;
    const std::vector<Label> before = w.lattice.labels;
    Morva m = finalize(std::move(w), {{0, 1, 8.0}, {0, 2, 8.0}, {0, 3, 8.0}, {1, 2, 5.0}}, 7);
    m.step(1);
    const World& after = m.world;
    std::size_t moved = 0;
    for (SiteIndex s = 0; s < after.lattice.n_sites(); ++s) {
        const Label l = after.lattice.labels[s];
        const Activity v = after.act.activity[s];
        const Activity fresh = l == 0 ? 0 : static_cast<Activity>(std::max(1, int{after.act.max_of(after.cells[l].cell_type)}) - 1);
        if (l != before[s]) {
            ++moved;
            EXPECT_EQ(v, fresh) << "site " << s;
        } else {
            const Activity kept = before_activity[s] == 0 ? 0 : static_cast<Activity>(before_activity[s] - 1);
            EXPECT_TRUE(v == kept || v == fresh) << "site " << s;
        }
    }
    EXPECT_GT(moved, 10u);
}

Morva act_session(std::uint64_t seed) {
    World w = block_tissue(24, 24, Boundary::Periodic, 2, 2, 6, 5, 10.0);
    w.set_act(1, 30.0, 15);
    w.set_act(2, 5.0, 40);
    return finalize(std::move(w), {{0, 1, 10.0}, {0, 2, 10.0}, {1, 2, 6.0}}, seed);
}

TEST(Act, CheckpointResumesBitForBit) {
    Morva original = act_session(5);
    original.step(5);
    const std::vector<std::uint8_t> bytes = write_checkpoint({original.world, &original.rng, {}});
    EXPECT_EQ(written_version(bytes), 2u);
    Session s = read_checkpoint(bytes);
    EXPECT_TRUE(same_state(s.world, original.world));
    Morva loaded(std::move(s.world), *s.rng);
    original.step(5);
    loaded.step(5);
    EXPECT_TRUE(same_state(loaded.world, original.world));
    EXPECT_NE(original.world.act.activity, std::vector<Activity>(original.world.act.activity.size(), 0));
}

// Hashes of labels and activity pinned from the act model as first written (a plain neighbour loop
// and pow for every site): the fast paths of the local activity must not move a single draw. The
// scenes take both means, small products and products beyond 2^53, and a 3-D box.
std::uint64_t act_hash(const World& w) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const Label l : w.lattice.labels) h = (h ^ l) * 0x100000001b3ULL;
    for (const Activity v : w.act.activity) h = (h ^ v) * 0x100000001b3ULL;
    return h;
}

TEST(Act, PinnedRunsOfBothMeansAndEveryRange) {
    struct Scene {
        bool flat;
        double lambda;
        Activity max1, max2;
        bool arithmetic;
        std::uint64_t hash;
    };
    const Scene scenes[] = {{true, 30.0, 15, 40, false, 13832019442359048227ULL},
                            {true, 2000.0, 65535, 50000, false, 8044772764594541755ULL},
                            {true, 30.0, 15, 40, true, 277091404612128479ULL},
                            {false, 60.0, 20, 9000, false, 12261829700117107542ULL}};
    for (std::size_t c = 0; c < std::size(scenes); ++c) {
        const Scene& k = scenes[c];
        World w = k.flat ? block_tissue(30, 30, Boundary::Periodic, 2, 3, 8, 3, 10.0)
                         : make_world({14, 14, 14}, Boundary::Periodic, 3, 10.0);
        if (!k.flat)
            for (SiteIndex b = 0; b < 8; ++b) {
                const Label id = w.add_cell(static_cast<CellType>(1 + b % 2), 64.0, 20.0, 0.0, 0.0);
                const SiteIndex x = 2 + 6 * (b % 2), y = 2 + 6 * (b / 2 % 2), z = 2 + 6 * (b / 4);
                w.paint_box(id, {x, y, z}, {x + 4, y + 4, z + 4});
            }
        w.set_act(1, k.lambda, k.max1);
        w.set_act(2, k.lambda / 2, k.max2);
        w.set_act_arithmetic(k.arithmetic);
        const double j = k.flat ? 1.0 : 0.3;  // cells of the 26-neighbour box survive the surface energy
        Morva m = finalize(std::move(w), {{0, 1, 10 * j}, {0, 2, 10 * j}, {1, 1, 4 * j}, {2, 2, 4 * j}, {1, 2, 6 * j}},
                           3 + c);
        m.step(25);
        EXPECT_EQ(act_hash(m.world), k.hash) << "scene " << c;
        EXPECT_GT(*std::max_element(m.world.act.activity.begin(), m.world.act.activity.end()), k.max1 / 2);
    }
}

}  // namespace
}  // namespace morva::testing
