// contact_pairs.cpp: counts the contact table of a world from its labels (contact_pairs.hpp).
// Reads the lattice only; each worker writes its own tally.
#include "contact_pairs.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <memory>
#include <optional>

#include "pool.hpp"

namespace morva::binding {
namespace {

// The pairs counted are the surface term's unit, so a cell's surface is the sum of its contacts. The
// neighbourhood is symmetric, so each pair of sites is looked at once, along the "forward" half of
// the offsets.
//
// Rows (x fastest) are first put in run-length form: each row a list of stretches of one label.
// A row is then compared with the row each forward offset leads to, shifted by the offset's dx
// (wrapped or cut at the faces as the boundary says), by walking the two lists side by side: every
// stretch where both labels stay the same is counted at once, so the work goes with the number of
// label changes along rows, not with the number of sites (two rows with many changes, such as rows
// across small cells, are compared site by site instead, which is then cheaper). Contacts with the
// medium are counted straight into an array by cell; a pair of cells into the lower cell's line of
// partner slots (PartnerCounts). Large lattices are cut into ranges of rows counted by the worker
// pool, each worker into its own tally; the tallies are merged and sorted, so the result does not
// depend on the number of threads.

// The rows of a box (x fastest) in run-length form, where that form pays: row r has runs[r]
// stretches of one label; a row compared stretch by stretch with another (`walk`) has them
// written out as [first[r], first[r] + runs[r]) of end and label, end the x just past the
// stretch's last site. The other rows are compared site by site and never written out.
struct RowRuns {
    std::vector<std::size_t> runs, first;
    std::vector<char> written;  // rows of a pair that will be walked
    std::vector<std::int64_t> end;
    std::vector<Label> label;
    std::size_t walked_limit = 0;

    // Rows a and b are compared stretch by stretch when their runs are few against the row length.
    bool walk(std::size_t a, std::size_t b) const { return runs[a] + runs[b] <= walked_limit; }
};

constexpr morva::SiteIndex contact_sites_per_thread = 1 << 16;  // below this, threads cost more than they save

// The row ranges [rows * i / tasks, rows * (i + 1) / tasks) handed to `work(first, last, worker)`,
// on the worker pool when the box is large enough to gain from it.
template <class Work>
void over_rows(morva::SiteIndex n_sites, morva::SiteIndex rows, std::size_t pool_size, Work&& work) {
    const std::size_t tasks = std::min<std::size_t>({4 * pool_size, n_sites / contact_sites_per_thread, rows});
    if (n_sites < 2 * contact_sites_per_thread || tasks < 2) {
        work(morva::SiteIndex{0}, rows, std::size_t{0});
        return;
    }
    auto task = [&](std::size_t i, std::size_t worker) { work(rows * i / tasks, rows * (i + 1) / tasks, worker); };
    morva::WorkerPool::process_pool().run(tasks, task);
}

// The row (y + ny * z) that offset o leads to from row y + ny * z, wrapped or cut at the faces as
// the boundary says; nothing when it leads out of a closed box. The box's extents are copied in, so
// that a counting loop keeps them in registers across its stores.
struct RowWrap {
    std::int64_t ny, nz;
    bool periodic_y, periodic_z;

    explicit RowWrap(const morva::Lattice& lattice)
        : ny(static_cast<std::int64_t>(lattice.ny())), nz(static_cast<std::int64_t>(lattice.nz())),
          periodic_y(lattice.periodic[1]), periodic_z(lattice.periodic[2]) {}

    std::optional<std::size_t> row_at(std::int64_t y, std::int64_t z, const morva::Offset& o) const {
        y += o.dy, z += o.dz;
        if (y < 0 || y >= ny) [[unlikely]] {
            if (!periodic_y) return std::nullopt;
            y = (y + ny) % ny;
        }
        if (z < 0 || z >= nz) [[unlikely]] {
            if (!periodic_z) return std::nullopt;
            z = (z + nz) % nz;
        }
        return static_cast<std::size_t>(y + ny * z);
    }
};

// Calls `visit(row, y, z)` for each row of [first, last) (row = y + ny * z) in order.
template <class Visit>
void for_rows(const morva::Lattice& lattice, std::size_t first, std::size_t last, Visit&& visit) {
    const std::size_t ny = lattice.ny();
    std::int64_t y = static_cast<std::int64_t>(first % ny), z = static_cast<std::int64_t>(first / ny);
    for (std::size_t row = first; row < last; ++row) {
        visit(row, y, z);
        if (++y == static_cast<std::int64_t>(ny)) y = 0, ++z;
    }
}

// How many x in [1, n) have row[x] != row[x - 1].
std::size_t label_changes(const Label* row, std::size_t n) {
    std::size_t x = 1, changes = 0;
#if defined(__SSE2__)
    const auto load = [](const Label* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    __m128i equal = _mm_setzero_si128();  // per lane, minus the number of equal neighbours
    for (; x + 4 <= n; x += 4) equal = _mm_add_epi32(equal, _mm_cmpeq_epi32(load(row + x), load(row + x - 1)));
    alignas(16) std::int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), equal);
    const std::int64_t equal_pairs = -(std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3]);
    changes = x - 1 - static_cast<std::size_t>(equal_pairs);
#endif
    for (; x < n; ++x) changes += row[x] != row[x - 1];
    return changes;
}

RowRuns row_runs(const morva::Lattice& lattice, const std::vector<morva::Offset>& forward, std::size_t pool_size) {
    const morva::SiteIndex nx = lattice.nx(), rows = lattice.ny() * lattice.nz();
    const Label* grid = lattice.labels.data();
    RowRuns runs;
    runs.walked_limit = static_cast<std::size_t>(nx) / 4;  // short stretches: site by site is cheaper
    runs.runs.assign(rows, 0);
    runs.first.assign(rows, 0);
    over_rows(lattice.n_sites(), rows, pool_size, [&](morva::SiteIndex first, morva::SiteIndex last, std::size_t) {
        for (morva::SiteIndex r = first; r < last; ++r) {
            runs.runs[r] = label_changes(grid + r * nx, nx) + 1;
        }
    });
    runs.written.assign(rows, 0);
    // A row of few runs is written out as it is likely walked; a row of more is written out when a
    // row it meets (through an offset or its opposite) has few enough.
    const RowWrap wrap(lattice);
    for_rows(lattice, 0, rows, [&](std::size_t r, std::int64_t y, std::int64_t z) {
        if (runs.runs[r] >= runs.walked_limit) return;
        if (2 * runs.runs[r] <= runs.walked_limit) {
            runs.written[r] = 1;
            return;
        }
        for (const morva::Offset& o : forward)
            for (const morva::Offset& way : {o, morva::Offset{-o.dx, -o.dy, -o.dz}})
                if (const auto other = wrap.row_at(y, z, way); other && runs.walk(r, *other)) {
                    runs.written[r] = 1;
                    return;
                }
    });
    std::size_t total = 0;
    for (morva::SiteIndex r = 0; r < rows; ++r) {
        runs.first[r] = total;
        if (runs.written[r]) total += runs.runs[r];
    }
    runs.end.resize(total);
    runs.label.resize(total);
    over_rows(lattice.n_sites(), rows, pool_size, [&](morva::SiteIndex first, morva::SiteIndex last, std::size_t) {
        for (morva::SiteIndex r = first; r < last; ++r) {
            if (!runs.written[r]) continue;
            const Label* row = grid + r * nx;
            std::size_t k = runs.first[r];
            runs.label[k] = row[0];
            for (morva::SiteIndex x = 1; x < nx; ++x)
                if (row[x] != row[x - 1]) runs.end[k] = static_cast<std::int64_t>(x), runs.label[++k] = row[x];
            runs.end[k] = static_cast<std::int64_t>(nx);
        }
    });
    return runs;
}

// Counts of cell pairs (a < b, both cells) in an open-addressing table keyed by a << 32 | b: one
// multiply and usually one probe per count, whatever the number of cells.
class PairCounts {
public:
    using Entry = ContactCounts::Pair;  // key 0: empty (a pair of cells never has a = 0)

    explicit PairCounts(std::size_t expected) {
        std::size_t capacity = 64;
        while (capacity < 2 * expected) capacity *= 2;
        resize(capacity);
    }

    void add(std::uint64_t key, std::int64_t n) {
        for (std::size_t slot = home(key);; slot = (slot + 1) & mask_) {
            Entry& e = entries_[slot];
            if (e.key == key) {
                e.count += n;
                return;
            }
            if (e.key == 0) {
                e = {key, n};
                if (++used_ * 2 > entries_.size()) resize(2 * entries_.size());
                return;
            }
        }
    }

    // Calls `visit(entry)` for each pair counted, in no particular order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Entry& e : entries_)
            if (e.key != 0) visit(e);
    }

    std::size_t size() const { return used_; }

private:
    std::size_t home(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    void resize(std::size_t capacity) {
        std::vector<Entry> old(capacity, Entry{0, 0});
        old.swap(entries_);
        mask_ = capacity - 1;
        shift_ = 64 - std::countr_zero(capacity);
        used_ = 0;
        for (const Entry& e : old)
            if (e.key != 0) add(e.key, e.count);
    }

    std::vector<Entry> entries_;
    std::size_t mask_ = 0, used_ = 0;
    int shift_ = 64;
};

// For each 8-bit mask: its set bits k in increasing order, then zeros, and how many there are.
struct LaneTable {
    alignas(16) std::array<std::array<std::uint16_t, 8>, 256> lanes{};
    std::array<std::uint8_t, 256> count{};
};

constexpr LaneTable make_lane_table() {
    LaneTable table;
    for (unsigned mask = 0; mask < 256; ++mask)
        for (unsigned k = 0; k < 8; ++k)
            if (mask >> k & 1) table.lanes[mask][table.count[mask]++] = static_cast<std::uint16_t>(k);
    return table;
}

constexpr LaneTable lane_table = make_lane_table();

// Bits k < 8 where line[k] is `value` or 0.
unsigned value_or_zero_mask(const Label* line, Label value) {
#if defined(__SSE2__)
    const __m128i v = _mm_set1_epi32(static_cast<int>(value)), zero = _mm_setzero_si128();
    const auto half = [&](const Label* p) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_cmpeq_epi32(x, v), _mm_cmpeq_epi32(x, zero));
        return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(hit)));
    };
    return half(line) | half(line + 4) << 4;
#else
    unsigned mask = 0;
    for (unsigned k = 0; k < 8; ++k) mask |= static_cast<unsigned>(line[k] == value || line[k] == 0) << k;
    return mask;
#endif
}

// Counts of pairs of cells a < b: each cell a keeps its first eight partners b in a line of slots
// of its own, searched with vector compares (no hashing: most counts land in a line already in
// the cache, as neighbouring sites belong to neighbouring cells); the partners after the eighth go
// to an open-addressing table, which only cells with many neighbours ever use. A cell's partners
// and counts lie side by side in one line (in two arrays, a call on a box of small packed cells
// took about a tenth longer).
class PartnerCounts {
public:
    static constexpr std::size_t width = 8;

    explicit PartnerCounts(std::size_t n_labels) : line_(n_labels), more_(16) {}

    void add(Label a, Label b, std::int64_t n) {  // 0 < a < b
        Line& line = line_[a];
        Label* partners = line.partner;
        // Slots are taken from the front, so b's slot, when b is there, comes before the first
        // free one: the lower of the two is where b is counted (a free slot counts 0). A new
        // partner is written in with a branch, mispredicted at each: storing a partner at every
        // count instead, to no effect or to a place aside (no branch), costs more, as the reads
        // of the lines that follow wait for where the store goes.
        const unsigned places = value_or_zero_mask(partners, b);
        if (places == 0) [[unlikely]] {  // a new partner, and the line is full
            more_.add(static_cast<std::uint64_t>(a) << 32 | b, n);
            return;
        }
        const unsigned slot = static_cast<unsigned>(std::countr_zero(places));
        if (partners[slot] == 0) partners[slot] = b;
        line.count[slot] += n;
    }

    // Whether some pairs went to the table: then only `for_each` gives them all.
    bool overflowed() const { return more_.size() != 0; }

    // The pairs counted, keyed a << 32 | b and sorted by key, when none went to the table. Each
    // line's partners are put in order by their ranks (how many of the line are lower), which
    // takes no branch on the labels, as sorting a few entries would.
    std::vector<PairCounts::Entry> sorted() const {
        std::size_t total = 0;
        for (const Line& line : line_) total += taken(line);
        std::vector<PairCounts::Entry> out(total + width);  // a line writes all its slots
        std::size_t next = 0;
        for (std::size_t a = 1; a < line_.size(); ++a) {
            const Line& line = line_[a];
            for (std::size_t k = 0; k < width; ++k)
                out[next + lower_partners(line, k)] = {std::uint64_t{a} << 32 | line.partner[k], line.count[k]};
            next += taken(line);  // the free slots, ranked after the partners, are written over
        }
        out.resize(total);
        return out;
    }

    // Calls `visit(entry)` for each pair counted, keyed a << 32 | b, in no particular order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t a = 0; a < line_.size(); ++a)
            for (std::size_t i = 0; i < width && line_[a].partner[i] != 0; ++i)
                visit(PairCounts::Entry{static_cast<std::uint64_t>(a) << 32 | line_[a].partner[i], line_[a].count[i]});
        more_.for_each(visit);
    }

private:
    // No member initialisers: a trivial type is value-initialised by one memset of the vector,
    // where initialisers would have every line filled field by field.
    struct Line {
        Label partner[width];       // the partners met, then 0
        std::int64_t count[width];  // by slot, 0 while free
    };
    std::vector<Line> line_;  // by cell, zeroed

    static std::size_t taken(const Line& line) { return width - lane_table.count[value_or_zero_mask(line.partner, 0)]; }

    // How many partners of the line are lower than slot k's; free slots rank as the highest.
    static std::size_t lower_partners(const Line& line, std::size_t k) {
        const auto order = [](Label b) { return b - 1; };  // a free slot's 0 comes last
        std::size_t lower = 0;
        for (std::size_t j = 0; j < width; ++j) lower += order(line.partner[j]) < order(line.partner[k]);
        return lower;
    }
    PairCounts more_;
};

class ContactTally {
public:
    explicit ContactTally(std::size_t n_labels) : medium_area(n_labels, 0), touching(n_labels) {}

    // Rows [first, last) of the box (row = y + ny * z) against the rows the forward offsets lead to.
    void count_rows(const morva::Lattice& lattice, const RowRuns& runs, const std::vector<morva::Offset>& forward,
                    morva::SiteIndex first, morva::SiteIndex last) {
        const std::int64_t nx = static_cast<std::int64_t>(lattice.nx());
        const Label* grid = lattice.labels.data();
        const RowWrap wrap(lattice);
        for (morva::SiteIndex row = first; row < last; ++row) {
            const std::int64_t y = static_cast<std::int64_t>(row) % wrap.ny, z = static_cast<std::int64_t>(row) / wrap.ny;
            for (const morva::Offset& o : forward) {
                const std::optional<std::size_t> other = wrap.row_at(y, z, o);
                if (!other) continue;
                const Label* here = grid + row * lattice.nx();
                const Label* there = grid + *other * lattice.nx();
                if (runs.walk(row, *other))
                    count_shifted(runs, row, *other, o.dx, nx);
                else
                    count_sites_shifted(here, there, o.dx, nx);
                if (o.dx != 0 && lattice.periodic[0]) {  // the pair across the x faces
                    const Label a = o.dx > 0 ? here[nx - 1] : here[0], b = o.dx > 0 ? there[0] : there[nx - 1];
                    if (a != b) count(a, b, 1);
                }
            }
        }
    }

    // Site by site from the boundary rule's neighbour lists: for boxes too thin for the rows above
    // (a periodic axis of one or two sites, where two offsets can lead to the same site).
    void count_sites(const morva::Lattice& lattice) {
        const Label* grid = lattice.labels.data();
        for (morva::SiteIndex site = 0; site < lattice.n_sites(); ++site)
            for (const morva::SiteIndex t : lattice.neighbors(site))
                if (t > site && grid[t] != grid[site]) count(grid[site], grid[t], 1);
    }

    std::vector<std::int64_t> medium_area;  // by cell
    PartnerCounts touching;                 // pairs of cells

private:
    // Site x of row `a` against site x + dx of row `b`, for every x with both inside the row.
    void count_shifted(const RowRuns& runs, std::size_t a, std::size_t b, std::int64_t dx, std::int64_t nx) {
        const std::int64_t* ends = runs.end.data();
        const Label* labels = runs.label.data();
        std::int64_t x = std::max<std::int64_t>(0, -dx);
        const std::int64_t end = nx - std::max<std::int64_t>(0, dx);
        std::size_t i = runs.first[a], j = runs.first[b];  // walked rows: both written out
        while (x < end && ends[i] <= x) ++i;
        while (x < end && ends[j] - dx <= x) ++j;
        while (x < end) {
            const std::int64_t a_end = ends[i], b_end = ends[j] - dx, stop = std::min({a_end, b_end, end});
            const Label p = labels[i], q = labels[j];
            if (p != q) count(p, q, stop - x);
            i += a_end == stop;
            j += b_end == stop;
            x = stop;
        }
    }

    // The same for rows of many short stretches, one site at a time: rows `a` and `b` as labels.
    void count_sites_shifted(const Label* a, const Label* b, std::int64_t dx, std::int64_t nx) {
        const Label* here = a + std::max<std::int64_t>(0, -dx);
        const Label* there = b + std::max<std::int64_t>(0, dx);
        const std::int64_t n = nx - (dx != 0);
        for (std::int64_t x = 0; x < n; x += segment)
            count_segment(here + x, there + x, std::min(segment, n - x));
    }

    // Bit k set where a[k] != b[k], for k < 8.
    static unsigned mismatch_mask(const Label* a, const Label* b) {
#if defined(__SSE2__)
        const auto load = [](const Label* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        const __m128i low = _mm_cmpeq_epi32(load(a), load(b)), high = _mm_cmpeq_epi32(load(a + 4), load(b + 4));
        return ~static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(low)) |
                                      _mm_movemask_ps(_mm_castsi128_ps(high)) << 4) & 0xFFu;
#else
        unsigned differ = 0;
        for (unsigned k = 0; k < 8; ++k) differ |= static_cast<unsigned>(a[k] != b[k]) << k;
        return differ;
#endif
    }

    // Sites [0, n) of `here` against the same of `there`, n <= segment. Mismatches come at random
    // places, so that a branch per site or per mismatch would often be guessed wrong: the places
    // are first written out, eight sites at a time, from the mask of the eight's mismatches; the
    // pairs of labels there are then folded into runs of one pair (along a face), each counted at
    // once. Only the count of a run branches on the labels, on whether one is the medium.
    void count_segment(const Label* here, const Label* there, std::int64_t n) {
        std::size_t found = 0;
        std::int64_t x = 0;
        for (; x + 8 <= n; x += 8) found = write_lanes(found, mismatch_mask(here + x, there + x), x);
        if (x < n) {
            unsigned tail = 0;
            for (std::int64_t k = 0; k < n - x; ++k) tail |= static_cast<unsigned>(here[x + k] != there[x + k]) << k;
            found = write_lanes(found, tail, x);
        }
        // Run r (from 1) holds the labels run_key_[r], here << 32 | there, of the mismatches
        // [run_end_[r - 1], run_end_[r]); run 0 is empty, of key 0, which no mismatch has.
        std::uint64_t last = 0;
        std::size_t runs = 0;
        for (std::size_t i = 0; i < found; ++i) {
            const std::uint64_t key = std::uint64_t{here[at_[i]]} << 32 | there[at_[i]];
            runs += key != last;
            run_key_[runs] = key, run_end_[runs] = static_cast<std::uint32_t>(i + 1);
            last = key;
        }
        for (std::size_t r = 1; r <= runs; ++r) {
            const Label p = static_cast<Label>(run_key_[r] >> 32), q = static_cast<Label>(run_key_[r]);
            const Label swap = (q - p) & (0u - static_cast<Label>(q < p));  // q - p when q is the lower
            const Label lo = p + swap, hi = q - swap;
            const std::int64_t k = run_end_[r] - run_end_[r - 1];
            if (lo == 0)
                medium_area[hi] += k;
            else
                touching.add(lo, hi, k);
        }
    }

    // Writes x + k for each bit k of `mask` to at_ from `found` on, in order; returns the new end.
    // All eight lanes are written: the ones past the mask's bits are overwritten by the next.
    std::size_t write_lanes(std::size_t found, unsigned mask, std::int64_t x) {
        const auto& lanes = lane_table.lanes[mask];
#if defined(__SSE2__)
        const __m128i at = _mm_add_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(lanes.data())),
                                         _mm_set1_epi16(static_cast<short>(x)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at_.data() + found), at);
#else
        for (std::size_t k = 0; k < 8; ++k) at_[found + k] = static_cast<std::uint16_t>(lanes[k] + x);
#endif
        return found + lane_table.count[mask];
    }

    static constexpr std::int64_t segment = 512;         // sites per batch: positions fit 16 bits
    std::array<std::uint16_t, segment + 8> at_;          // the mismatches' places in the batch
    std::array<std::uint64_t, segment + 1> run_key_;     // runs of one pair of labels ...
    std::array<std::uint32_t, segment + 1> run_end_{};   // ... and where each ends (count_segment)

    void count(Label a, Label b, std::int64_t n) {  // a != b (or n = 0)
        const Label lo = std::min(a, b), hi = std::max(a, b);
        if (lo == 0)
            medium_area[hi] += n;
        else
            touching.add(lo, hi, n);
    }
};

std::vector<ContactTally> tally_contacts(const morva::World& w) {
    const morva::Lattice& lattice = w.lattice;
    // The forward half: offsets (dz, dy, dx) after zero in that order, each pair of sites seen once.
    std::vector<morva::Offset> forward;
    for (const morva::Offset& o : lattice.neighborhood.offsets)
        if (o.dz > 0 || (o.dz == 0 && (o.dy > 0 || (o.dy == 0 && o.dx > 0)))) forward.push_back(o);
    bool thin = false;  // a periodic axis so short that an offset and its opposite meet
    for (int axis = 0; axis < 3; ++axis)
        thin = thin || (lattice.periodic[axis] && lattice.geometry.reach[axis] != 0 && lattice.dims[axis] < 3);
    if (thin || lattice.n_sites() == 0) {
        std::vector<ContactTally> one;
        one.emplace_back(w.cells.size()).count_sites(lattice);
        return one;
    }
    const std::size_t pool_size = lattice.n_sites() < 2 * contact_sites_per_thread
                                      ? 1 : morva::WorkerPool::process_pool().size();
    const RowRuns runs = row_runs(lattice, forward, pool_size);
    std::vector<ContactTally> tallies;  // made in place: a copy of a prototype costs as much again
    tallies.reserve(pool_size);
    for (std::size_t i = 0; i < pool_size; ++i) tallies.emplace_back(w.cells.size());
    over_rows(lattice.n_sites(), lattice.ny() * lattice.nz(), pool_size,
              [&](morva::SiteIndex first, morva::SiteIndex last, std::size_t worker) {
                  tallies[worker].count_rows(lattice, runs, forward, first, last);
              });
    return tallies;
}

// The pairs of cells of all tallies, each once with its total count, sorted by key (by the lower
// cell, then the higher): a counting sort on the lower cell, then each cell's few pairs sorted.
std::vector<PairCounts::Entry> sorted_pairs(const std::vector<ContactTally>& tallies, std::size_t n_labels) {
    std::vector<std::size_t> next(n_labels + 1, 0);
    for (const ContactTally& t : tallies) t.touching.for_each([&](const auto& e) { ++next[(e.key >> 32) + 1]; });
    for (std::size_t a = 0; a < n_labels; ++a) next[a + 1] += next[a];
    std::vector<PairCounts::Entry> sorted(next[n_labels]);
    const std::vector<std::size_t> start(next.begin(), next.end());
    for (const ContactTally& t : tallies) t.touching.for_each([&](const auto& e) { sorted[next[e.key >> 32]++] = e; });
    const auto by_key = [](const PairCounts::Entry& x, const PairCounts::Entry& y) { return x.key < y.key; };
    std::size_t kept = 0;
    for (std::size_t a = 1; a < n_labels; ++a) {
        const auto begin = sorted.begin() + static_cast<std::ptrdiff_t>(start[a]);
        const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(start[a + 1]);
        if (end - begin > 16) {
            std::sort(begin, end, by_key);
        } else {
            for (auto i = begin; i != end; ++i)  // insertion: a cell has a few pairs as the lower cell
                for (auto j = i; j != begin && by_key(*j, *(j - 1)); --j) std::iter_swap(j, j - 1);
        }
        for (auto i = begin; i != end; ++i) {  // one entry per key: tallies of several threads add up
            if (kept != 0 && sorted[kept - 1].key == i->key)
                sorted[kept - 1].count += i->count;
            else
                sorted[kept++] = *i;
        }
    }
    sorted.resize(kept);
    return sorted;
}

}  // namespace

ContactCounts count_contacts(const World& w) {
    const std::vector<ContactTally> tallies = tally_contacts(w);
    const std::size_t n_labels = w.cells.size();
    ContactCounts counts;
    counts.medium.assign(n_labels, 0);
    for (std::size_t a = 1; a < n_labels; ++a)
        for (const ContactTally& t : tallies) counts.medium[a] += t.medium_area[a];
    const bool one_line_each = tallies.size() == 1 && !tallies.front().touching.overflowed();
    counts.pairs = one_line_each ? tallies.front().touching.sorted() : sorted_pairs(tallies, n_labels);
    return counts;
}

}  // namespace morva::binding
