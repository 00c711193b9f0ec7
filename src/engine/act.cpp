// act.cpp: the act model's energy change and its per-site activity. The floating-point order is part
// of the dynamics: the local activity takes the site's own activity first and then its neighbours of
// the same cell in neighbourhood order, as a product (geometric mean: pow(product, 1 / n), 0 when a
// factor is 0) or a sum (arithmetic mean: sum / n); the change is
// (lambda / max_act) * (A(target) - A(source)).
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "energy_change.hpp"

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

// pow(product, 1 / n), remembered per thread for products below 2^53. Such a product of activities
// (integers, each at least 1) is exact: every partial product is an integer no larger than it, so
// none was rounded, and (product, n) packs into one key without loss. A remembered root is the very
// value pow returned for that key, so the memo changes no bit; it only spares the call, which costs
// more than the rest of the local activity and recurs often (a crawling tissue's products repeat).
// 32768 roots, 512 KB per thread that prices act changes (half of a core's second-level cache on the
// 2-CPU EPYC), answer six calls in seven on B1 with the Act model on every cell.
class RootMemo {
public:
    double root(double product, std::size_t n) {
        if (!(product < exact_below)) return std::pow(product, 1.0 / static_cast<double>(n));
        return root_of_exact(static_cast<std::uint64_t>(product), n);
    }

    // The same for a product already held as an integer of at most 2^53 (the double it converts to
    // exactly), sparing the round trip through a double.
    double root_of_exact(std::uint64_t product, std::uint64_t n) {
        const std::uint64_t key = key_of(product, n);
        const Entry& e = entries_[slot_of(key)];
        if (e.key != key) [[unlikely]]
            return refill(product, n);
        return e.root;
    }

private:
    static std::uint64_t key_of(std::uint64_t product, std::uint64_t n) { return product << n_bits | n; }
    static std::size_t slot_of(std::uint64_t key) { return (key * 0x9E3779B97F4A7C15ULL) >> (64 - slot_bits); }

    // Out of line, and working its key out again, so that the hit path keeps no more than the key
    // and its caller's values in registers.
    [[gnu::noinline]] double refill(std::uint64_t product, std::uint64_t n) {
        const std::uint64_t key = key_of(product, n);
        Entry& e = entries_[slot_of(key)];
        e.key = key;  // no key is 0: n >= 1
        return e.root = std::pow(static_cast<double>(product), 1.0 / static_cast<double>(n));
    }

    static constexpr double exact_below = 9007199254740992.0;  // 2^53
    static constexpr unsigned n_bits = 5;                       // n <= 27, the site and 26 neighbours
    static constexpr unsigned slot_bits = 15;
    // A key beside its root: one cache line per lookup.
    struct Entry {
        std::uint64_t key = 0;
        double root = 0.0;
    };
    std::array<Entry, std::size_t{1} << slot_bits> entries_{};
};

thread_local RootMemo root_memo;

inline SiteIndex shifted_site(SiteIndex site, std::int64_t delta) {
    return static_cast<SiteIndex>(static_cast<std::int64_t>(site) + delta);
}

// The geometric mean of an interior site in the defining order (interior_mean's fallback).
[[gnu::noinline]] double ordered_mean(const Activity* activity, const Label* labels, SiteIndex site, Label label,
                                      const std::int64_t* offsets, std::size_t count) {
    double folded = activity[site];
    std::size_t n = 1;
    for (std::size_t i = 0; i < count; ++i) {
        const SiteIndex t = static_cast<SiteIndex>(static_cast<std::int64_t>(site) + offsets[i]);
        if (labels[t] != label) continue;
        if (activity[t] == 0) return 0.0;
        folded *= activity[t];
        ++n;
    }
    return root_memo.root(folded, n);
}

// The local activity of an interior site (no neighbour is the site itself), the neighbours being
// site + offsets[i], without a branch per neighbour. The values of the label are summed or
// multiplied as integers, a neighbour of another label adding 0 or multiplying by 1. The sum (at
// most 27 * 65535) is exact. The product is exact while each of its n factors is at most 2^w with
// w * n <= 53, w the bit width of the factors less one or-ed together; then the double the defining
// order forms (site first, then the neighbours in order, every step exact) is this integer. A 0
// among the factors (its less-one is all ones) or a wider product is formed in that order instead.
// Count is the number of neighbours when known at compile time (the loop unrolls), else 0.
template <std::size_t Count>
[[gnu::always_inline]] inline double interior_mean(const Activity* activity, const Label* labels, SiteIndex site,
                                                   Label label, const std::int64_t* offsets, std::size_t count,
                                                   bool arithmetic) {
    if constexpr (Count != 0) count = Count;
    const std::uint64_t own = activity[site];
    if (!arithmetic && own == 0) return 0.0;
    std::uint64_t folded = own, n = 1, widths = own - 1;
    for (std::size_t i = 0; i < count; ++i) {
        const SiteIndex t = static_cast<SiteIndex>(static_cast<std::int64_t>(site) + offsets[i]);
        // All ones for the label, else 0: labels differ in some of their 32 bits, so the difference
        // less one is negative only for equal labels.
        const std::uint64_t mask = static_cast<std::uint64_t>(
            (static_cast<std::int64_t>(std::uint64_t{labels[t] ^ label}) - 1) >> 63);
        const std::uint64_t v = activity[t];
        if (arithmetic) {
            folded += mask & v;
        } else {
            const std::uint64_t less_one = mask & (v - 1);
            folded *= 1 + less_one;  // v, or 1 for another label
            widths |= less_one;
        }
        n -= mask;  // one more for the label
    }
    if (arithmetic) return static_cast<double>(folded) / static_cast<double>(n);
    // Factors below `narrow` are exact for any n up to Count + 1, without the width times n.
    constexpr std::uint64_t narrow = Count == 0 ? 0 : std::uint64_t{1} << (53 / (Count + 1));
    if (!(widths < narrow) && static_cast<std::uint64_t>(std::bit_width(widths)) * n > 53)
        return ordered_mean(activity, labels, site, label, offsets, count);
    return root_memo.root_of_exact(folded, n);  // folded <= 2^53
}

#if defined(__SSE2__)
// Three sites of a row of the flat block from `first` on, read as four 32-bit lanes: all ones where the
// label is `want`. The fourth lane reads 0, which is never a cell's label.
inline __m128i row_holds(const Label* labels, SiteIndex first, __m128i want) {
    const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(labels + first));
    return _mm_cmpeq_epi32(_mm_unpacklo_epi64(two, _mm_cvtsi32_si128(static_cast<int>(labels[first + 2]))), want);
}

// The same three sites' activities in the low three sixteen-bit lanes, the others 0.
inline __m128i row_activities(const Activity* activity, SiteIndex first) {
    std::uint32_t two;
    std::memcpy(&two, activity + first, sizeof two);
    return _mm_insert_epi16(_mm_cvtsi32_si128(static_cast<int>(two)), activity[first + 2], 2);
}

// The geometric mean of an interior site where the neighbours are the flat 8-neighbour block of row
// stride `row` (Lattice::flat_block_row), for any activities (flat_block_mean takes the common case):
// the nine sites as three rows of three lanes (and a fourth that reads as label 0 and activity 0), the
// labels compared four at a time, the factors (v for the label, else 1) multiplied as doubles. Only
// the nine sites are read: the parallel sweep keeps the tiles of a pass two sites apart, and a
// source's row one site longer would reach into another task's tile. The site's own lane always
// counts, as in interior_mean. Under the same width test as there every partial product is an
// integer below 2^53, so the product is exact in any order: the integer interior_mean forms. A 0 of
// the label (its less-one all ones, 32 bits wide, with n >= 2) or a wider product takes the defining
// order instead.
template <class Host>
[[gnu::noinline]] double wide_block_mean(const Host& host, SiteIndex site, Label label) {
    const Activity* activity = host.act.activity.data();
    if (activity[site] == 0) return 0.0;
    const Label* labels = host.lattice.labels.data();
    const std::int64_t row = host.lattice.flat_block_row;
    const SiteIndex up = shifted_site(site, -row), down = shifted_site(site, row);
    const __m128i want = _mm_set1_epi32(static_cast<int>(label));
    const __m128i one = _mm_set1_epi32(1), zero = _mm_setzero_si128();
    const auto same = [&](SiteIndex first) { return row_holds(labels, first, want); };
    const __m128i m_up = same(up - 1), m_down = same(down - 1);
    const __m128i m_mid = _mm_or_si128(same(site - 1), _mm_setr_epi32(0, -1, 0, 0));
    // v - 1 where the label holds (or the site's own lane), else 0.
    const auto less_one = [&](SiteIndex first, __m128i mask) {
        return _mm_and_si128(_mm_sub_epi32(_mm_unpacklo_epi16(row_activities(activity, first), zero), one), mask);
    };
    const __m128i l_up = less_one(up - 1, m_up), l_mid = less_one(site - 1, m_mid), l_down = less_one(down - 1, m_down);
    __m128i w = _mm_or_si128(_mm_or_si128(l_up, l_mid), l_down);
    w = _mm_or_si128(w, _mm_shuffle_epi32(w, _MM_SHUFFLE(1, 0, 3, 2)));
    w = _mm_or_si128(w, _mm_shuffle_epi32(w, _MM_SHUFFLE(2, 3, 0, 1)));
    const std::uint64_t widths = static_cast<std::uint32_t>(_mm_cvtsi128_si32(w));
    __m128i c = _mm_add_epi32(_mm_add_epi32(m_up, m_mid), m_down);  // minus the count, spread over the lanes
    c = _mm_add_epi32(c, _mm_shuffle_epi32(c, _MM_SHUFFLE(1, 0, 3, 2)));
    c = _mm_add_epi32(c, _mm_shuffle_epi32(c, _MM_SHUFFLE(2, 3, 0, 1)));
    const std::uint64_t n = static_cast<std::uint64_t>(-static_cast<std::int64_t>(_mm_cvtsi128_si32(c)));
    constexpr std::uint64_t narrow = std::uint64_t{1} << (53 / 9);
    if (!(widths < narrow) && static_cast<std::uint64_t>(std::bit_width(widths)) * n > 53)
        return ordered_mean(activity, labels, site, label, host.lattice.linear_offsets.data(), 8);
    const auto product = [one](__m128i l) {
        const __m128i f = _mm_add_epi32(l, one);
        return _mm_mul_pd(_mm_cvtepi32_pd(f), _mm_cvtepi32_pd(_mm_unpackhi_epi64(f, f)));
    };
    const __m128d p = _mm_mul_pd(_mm_mul_pd(product(l_up), product(l_mid)), product(l_down));
    const double folded = _mm_cvtsd_f64(_mm_mul_sd(p, _mm_unpackhi_pd(p, p)));
    // folded <= 2^53: converted as signed, which needs no test for the top bit.
    return root_memo.root_of_exact(static_cast<std::uint64_t>(static_cast<std::int64_t>(folded)), n);
}

// The number of set bits of an 11-bit mask: the sites of the label among the nine (flat_block_mean).
constexpr auto bit_counts = [] {
    std::array<std::uint8_t, 2048> counts{};
    for (std::size_t i = 1; i < counts.size(); ++i) counts[i] = static_cast<std::uint8_t>(counts[i / 2] + (i & 1));
    return counts;
}();

// flat_block_mean where every factor of the label is at most 40 (the common case: a max_act of 40
// or less): sixteen-bit lanes, a column's three factors multiplied in one (at most 40^3 < 2^16), the
// three columns as integers (at most 40^9 < 2^53). The product is the integer wide_block_mean forms
// and n the same count, so the root is the same. A factor of 0 (its less-one reads 65535), the
// site's own activity among them, or any factor above 40 takes wide_block_mean.
template <class Host>
[[gnu::always_inline]] inline double flat_block_mean(const Host& host, SiteIndex site, Label label) {
    const Activity* activity = host.act.activity.data();
    const Label* labels = host.lattice.labels.data();
    const std::int64_t row = host.lattice.flat_block_row;
    const SiteIndex up = shifted_site(site, -row), down = shifted_site(site, row);
    const __m128i want = _mm_set1_epi32(static_cast<int>(label));
    const auto same = [&](SiteIndex first) { return row_holds(labels, first, want); };
    const auto values = [&](SiteIndex first) { return row_activities(activity, first); };
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1);
    // Lanes 0-2 the row above, 4-6 the site's row (the site itself, lane 5, always counts), 8-10 below.
    const __m128i m_upper =
        _mm_or_si128(_mm_packs_epi32(same(up - 1), same(site - 1)), _mm_setr_epi16(0, 0, 0, 0, 0, -1, 0, 0));
    const __m128i m_lower = _mm_packs_epi32(same(down - 1), zero);
    const __m128i v_upper = _mm_unpacklo_epi64(values(up - 1), values(site - 1));
    const __m128i l_upper = _mm_and_si128(_mm_sub_epi16(v_upper, one), m_upper);
    const __m128i l_lower = _mm_and_si128(_mm_sub_epi16(values(down - 1), one), m_lower);
    const __m128i most = _mm_set1_epi16(39);
    const __m128i over = _mm_or_si128(_mm_subs_epu16(l_upper, most), _mm_subs_epu16(l_lower, most));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, zero)) != 0xFFFF) [[unlikely]]
        return wide_block_mean(host, site, label);
    const __m128i f_upper = _mm_add_epi16(l_upper, one);
    const __m128i two_rows = _mm_mullo_epi16(f_upper, _mm_shuffle_epi32(f_upper, _MM_SHUFFLE(1, 0, 3, 2)));
    const __m128i column = _mm_mullo_epi16(two_rows, _mm_add_epi16(l_lower, one));
    const std::uint64_t product = static_cast<std::uint64_t>(_mm_extract_epi16(column, 0)) *
                                  static_cast<std::uint64_t>(_mm_extract_epi16(column, 1)) *
                                  static_cast<std::uint64_t>(_mm_extract_epi16(column, 2));
    const auto sites = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(m_upper, m_lower)));
    return root_memo.root_of_exact(product, bit_counts[sites & 2047]);
}
#endif

// What the local activities read, `act` and `lattice`: the unit's own functions pass both, the sweeps'
// call (act_change) the world that holds them, so that the sweeps' call reads both off one base and
// passes one argument fewer (B1 with the act model: 0.7% fewer instructions than with the two).
struct ActAndLattice {
    const ActTerm& act;
    const Lattice& lattice;
};

// Any site: the neighbours from its list, the site itself (listed among its own neighbours in a
// small periodic box) counted once.
template <class Host>
[[gnu::noinline]] double listed_mean(const Host& host, SiteIndex site, Label label) {
    const ActTerm& act = host.act;
    const Lattice& lattice = host.lattice;
    const Activity* activity = act.activity.data();
    const Label* labels = lattice.labels.data();
    const bool arithmetic = act.arithmetic;
    const Activity own = activity[site];
    if (!arithmetic && own == 0) return 0.0;
    double folded = own;
    std::size_t n = 1;
    for (const SiteIndex t : lattice.neighbors(site)) {
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
    return arithmetic ? folded / static_cast<double>(n) : root_memo.root(folded, n);
}

// An interior site outside the flat path: the common neighbourhoods (8 neighbours in 2-D, 26 in
// 3-D) take an unrolled loop. Out of line, so that the flat path's caller stays small.
template <class Host>
[[gnu::noinline]] double interior_mean_of(const Host& host, SiteIndex site, Label label) {
    const ActTerm& act = host.act;
    const Lattice& lattice = host.lattice;
    const bool arithmetic = act.arithmetic;
    const Activity* activity = act.activity.data();
    const Label* labels = lattice.labels.data();
    const std::int64_t* offsets = lattice.linear_offsets.data();
    const std::size_t count = lattice.linear_offsets.size();
    if (count == 8) return interior_mean<8>(activity, labels, site, label, offsets, count, arithmetic);
    if (count == 26) return interior_mean<26>(activity, labels, site, label, offsets, count, arithmetic);
    return interior_mean<0>(activity, labels, site, label, offsets, count, arithmetic);
}

// The local activity of `site` as part of `label`.
template <class Host>
[[gnu::always_inline]] inline double mean_of(const Host& host, SiteIndex site, Label label) {
    const Lattice& lattice = host.lattice;
    if (label == 0) return 0.0;
    if (!lattice.is_interior_site(site)) return listed_mean(host, site, label);
#if defined(__SSE2__)
    if (lattice.flat_block_row != 0 && !host.act.arithmetic) return flat_block_mean(host, site, label);
#endif
    return interior_mean_of(host, site, label);
}

// A(target) - A(source), any sites.
template <class Host>
[[gnu::noinline]] double difference_of_means(const Host& host, SiteIndex target, SiteIndex source, Label a, Label b) {
    return mean_of(host, target, a) - mean_of(host, source, b);
}

// The change of a copy (ActTerm::change). The parameters are those of the source cell's type, or of
// the target cell's type when the source is the medium; a type without lambda_act or max_act adds
// nothing. Inlined into both callers below, so that the sweeps' call (act_change) makes no second one.
template <class Host>
[[gnu::always_inline]] inline double act_change_of(const Host& host, const Cell* cells, SiteIndex target,
                                                   SiteIndex source, Label a, Label b) {
    const ActTerm& act = host.act;
    const CellType type = cells[b != 0 ? b : a].cell_type;
    const double lambda = act.lambda_of(type);
    const Activity max_act = act.max_of(type);
    if (lambda == 0.0 || max_act == 0) return 0.0;
    const double factor = lambda / static_cast<double>(max_act);
#if defined(__SSE2__)
    // The common case, both sites of a cell and interior on the flat path, tested once for both.
    const Lattice& lattice = host.lattice;
    if (lattice.flat_block_row != 0 && !act.arithmetic && a != 0 && b != 0 && lattice.is_interior_site(target) &&
        lattice.is_interior_site(source))
        return factor * (flat_block_mean(host, target, a) - flat_block_mean(host, source, b));
#endif
    return factor * difference_of_means(host, target, source, a, b);
}

}  // namespace

double ActTerm::local_activity(const Lattice& lattice, SiteIndex site, Label label) const {
    return mean_of(ActAndLattice{*this, lattice}, site, label);
}

double ActTerm::change(const Lattice& lattice, const Cell* cells, SiteIndex target, SiteIndex source, Label a,
                       Label b) const {
    return act_change_of(ActAndLattice{*this, lattice}, cells, target, source, a, b);
}

double act_change(const World& w, SiteIndex target, SiteIndex source, Label a, Label b) {
    return act_change_of(w, w.cells.data(), target, source, a, b);
}

void World::decay_activity() {
    for (Activity& v : act.activity) v = static_cast<Activity>(v - (v != 0));
}

}  // namespace morva
