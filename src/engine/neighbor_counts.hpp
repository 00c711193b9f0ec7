// neighbor_counts.hpp: how many of a site's neighbours hold the two labels of a copy, which is all a
// flip needs to know about them to change both surfaces (record_flip).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core.hpp"

namespace morva {

// A neighbour accessor whose type says `excludes_site` never gives the site itself (interior
// targets: every offset is non-zero).
template <class NeighborAt>
constexpr bool excludes_site_v = requires { requires NeighborAt::excludes_site; };

// Of a site's listed neighbours, the site itself (listed only in boxes narrower than the
// neighbourhood) left out: how many there are and how many hold a and b.
struct NeighborCounts {
    std::int64_t n = 0, of_a = 0, of_b = 0;
};

#if defined(__SSE2__)
// The eight neighbours of an interior site of a flat 8-neighbour lattice with rows `row` sites apart
// (Lattice::flat_block_row), as two rows of four labels compared four at a time. Reads exactly the
// eight sites the loop of count_neighbors reads.
inline NeighborCounts flat_block_counts(const Label* labels, SiteIndex site, Label a, Label b, std::int64_t row) {
    // Three labels of a row from `first` on, and `fourth` after them.
    const auto four = [labels](SiteIndex first, Label fourth) {
        const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(labels + first));
        const __m128i rest = _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<int>(labels[first + 2])),
                                                _mm_cvtsi32_si128(static_cast<int>(fourth)));
        return _mm_unpacklo_epi64(two, rest);
    };
    const auto at = [site](std::int64_t delta) {
        return static_cast<SiteIndex>(static_cast<std::int64_t>(site) + delta);
    };
    const __m128i upper = four(at(-row - 1), labels[at(-1)]);
    const __m128i lower = four(at(row - 1), labels[at(1)]);
    const __m128i want_a = _mm_set1_epi32(static_cast<int>(a)), want_b = _mm_set1_epi32(static_cast<int>(b));
    // -1 per match; a's and b's interleaved, then summed into lanes 0 (a) and 1 (b).
    const __m128i m_a = _mm_add_epi32(_mm_cmpeq_epi32(upper, want_a), _mm_cmpeq_epi32(lower, want_a));
    const __m128i m_b = _mm_add_epi32(_mm_cmpeq_epi32(upper, want_b), _mm_cmpeq_epi32(lower, want_b));
    __m128i sums = _mm_add_epi32(_mm_unpacklo_epi32(m_a, m_b), _mm_unpackhi_epi32(m_a, m_b));
    sums = _mm_add_epi32(sums, _mm_shuffle_epi32(sums, _MM_SHUFFLE(1, 0, 3, 2)));
    const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums));
    return {8, -static_cast<std::int64_t>(static_cast<std::int32_t>(both)),
            -static_cast<std::int64_t>(static_cast<std::int32_t>(both >> 32))};
}
#endif

// How a caller names its lattice's flat 8-neighbour rows: FlatRow{Lattice::flat_block_row} (0 where
// the neighbourhood is another), or NotFlat where the box is not flat, which keeps no code for them.
struct FlatRow {
    std::int64_t row;
};
struct NotFlat {};

// neighbor_at(i) gives entry i of the site's `count` neighbours; `flat` is used where the accessor's
// type says its sites are an interior site's neighbours.
template <class NeighborAt, class Flat>
inline NeighborCounts count_neighbors(const Label* labels, SiteIndex site, Label a, Label b, std::size_t count,
                                      NeighborAt neighbor_at, Flat flat) {
#if defined(__SSE2__)
    if constexpr (excludes_site_v<NeighborAt> && std::is_same_v<Flat, FlatRow>)
        if (flat.row != 0) return flat_block_counts(labels, site, a, b, flat.row);
#endif
    (void)flat;
    NeighborCounts k;
    for (std::size_t i = 0; i < count; ++i) {
        const SiteIndex t = neighbor_at(i);
        if (t == site) continue;
        const Label l = labels[t];
        ++k.n;
        k.of_a += l == a;
        k.of_b += l == b;
    }
    return k;
}

}  // namespace morva
