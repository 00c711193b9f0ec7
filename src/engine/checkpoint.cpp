// checkpoint.cpp: the checkpoint writer and its distrustful reader. Layout and rules:
// docs/checkpoint-format.md. Values are stored as the host holds them (little-endian, IEEE 754), so
// trackers, concentrations and the generator come back bit for bit.
#include "checkpoint.hpp"
#include "checkpoint_consistency.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <type_traits>

namespace morva {

static_assert(std::endian::native == std::endian::little, "checkpoints are read and written as host bytes");

namespace {

constexpr std::array<char, 8> magic = {'M', 'O', 'R', 'V', 'A', 'C', 'K', 'P'};
constexpr std::size_t header_size = 24;   // magic, version, section count, total size
constexpr std::size_t trailer_size = 8;   // the checksum
constexpr std::size_t record_size = 126;  // one cell record, see the format document
constexpr std::size_t max_table = std::size_t{std::numeric_limits<CellType>::max()} + 1;
constexpr std::size_t max_records = std::size_t{std::numeric_limits<Label>::max()} + 1;
constexpr std::size_t max_side = std::size_t{1} << 32;
constexpr std::size_t max_side_without_sites = std::size_t{1} << 16;

// The sections of version 1, in the order they must appear. OPTS (the world options) is optional:
// written only when some option is on, so files without it are those of earlier builds, and they load
// with every option off.
enum Section : std::size_t { Grid, Sess, Cont, Cell_, Labl, Term, Flds, Opts, SectionCount };
constexpr std::size_t required_sections = Opts;
constexpr std::array<const char*, SectionCount> section_tags = {"GRID", "SESS", "CONT", "CELL",
                                                                "LABL", "TERM", "FLDS", "OPTS"};

// The TERM section: the core settings and the optional terms' members, in this order. A member of a
// term unit missing here is refused by the writer (and caught by the member-list tests). Version 2
// appends the act model's members, version 3 the cells' own forces and persistent motion. A world is
// written in the oldest version that holds it, so that older builds still load what they can.
constexpr std::array<const char*, 25> term_layout = {
    "temperature",         "membrane k",          "membrane band",            "junction lambda",
    "medium connectivity flag",                   "surface flag",             "connectivity table",
    "membrane anchoring table",                   "junction table",           "length target table",
    "length lambda table", "external potential table",                        "membrane distance",
    // version 2
    "act lambda table",    "act maximum table",   "act arithmetic flag",      "act activity",
    // version 3
    "external force by cell",                     "external own force flags", "persistence lambda table",
    "persistence interval table",                 "persistence noise table",  "persistence directions",
    "persistence interval starts",                "persistence elapsed steps"};
constexpr std::array<std::size_t, 3> term_members_by_version = {13, 17, 25};
static_assert(term_members_by_version.back() == term_layout.size());

// The layout a file of `version` holds.
std::span<const char* const> term_layout_of(std::uint32_t version) {
    return std::span<const char* const>(term_layout).first(term_members_by_version[version - 1]);
}

// The oldest version that holds the world: the later members of each version at their defaults.
std::uint32_t version_for(const WorldData& w) {
    if (!same_unit(w.persistence, PersistenceTerm{}) || !w.external.own_force_by_cell.empty()) return 3;
    return same_unit(w.act, ActTerm{}) ? 1 : 2;
}

// The members the TERM section holds: the temperature, the surface flag and each term unit's list.
template <class W, class F>
void for_each_term_member(W& w, F&& f) {
    f("temperature", Scope::world, w.temperature);
    f("surface flag", Scope::world, w.surface_active);
    WorldData::for_each_term([&f](const char*, Scope, auto& unit) { unit.members(f, unit); }, w);
}

[[noreturn]] void refuse(const std::string& text) { throw CheckpointError("checkpoint: " + text); }

// ------------------------------------------------------------------------------------------ writing

class Writer {
public:
    explicit Writer(std::size_t expected) { out_.reserve(expected); }

    void raw(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
    }
    template <class T>
    void put(T v) {
        static_assert(std::is_arithmetic_v<T>);
        raw(&v, sizeof v);
    }
    template <class T>
    void array(const std::vector<T>& v) {
        put<std::uint64_t>(v.size());
        raw(v.data(), v.size() * sizeof(T));
    }
    // The tag, a reserved zero word, the body length (patched once the body is written), the body.
    template <class Body>
    void section(const char* tag, Body body) {
        raw(tag, 4);
        put<std::uint32_t>(0);
        const std::size_t length_at = out_.size();
        put<std::uint64_t>(0);
        body();
        const std::uint64_t length = out_.size() - length_at - 8;
        std::memcpy(out_.data() + length_at, &length, 8);
    }
    std::vector<std::uint8_t>& bytes() { return out_; }

private:
    std::vector<std::uint8_t> out_;
};

// The neighbourhood as Neighborhood::make's two parameters: the largest |dz| and the largest
// |dx| + |dy| + |dz|. These rebuild the same offsets in the same order, which is checked.
std::pair<std::uint8_t, std::uint8_t> neighborhood_parameters(const Neighborhood& n) {
    std::int64_t z_reach = 0, order = 0;
    for (const Offset& o : n.offsets) {
        z_reach = std::max(z_reach, std::abs(o.dz));
        order = std::max(order, std::abs(o.dx) + std::abs(o.dy) + std::abs(o.dz));
    }
    const Neighborhood rebuilt = Neighborhood::make(z_reach, static_cast<std::uint8_t>(order));
    const bool same = std::equal(n.offsets.begin(), n.offsets.end(), rebuilt.offsets.begin(), rebuilt.offsets.end(),
                                 [](const Offset& a, const Offset& b) {
                                     return a.dx == b.dx && a.dy == b.dy && a.dz == b.dz;
                                 });
    MORVA_CHECK(same, "checkpoint: the neighbourhood is not one that World construction makes");
    return {static_cast<std::uint8_t>(z_reach), static_cast<std::uint8_t>(order)};
}

// One declared member as the format stores it: numbers as the host holds them (flags as one byte),
// tables as a count and their entries, maps of per-cell values as (label, value) pairs in label order.
template <class T>
void write_member(Writer& out, const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
        out.put<std::uint8_t>(v ? 1 : 0);
    } else if constexpr (std::is_arithmetic_v<T>) {
        out.put<T>(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
        out.put<std::uint64_t>(v.size());
        out.raw(v.data(), v.size());
    } else if constexpr (is_vector<T>::value) {
        out.array(v);
    } else {
        // The map's own order depends on its history; sorted entries make equal states equal bytes.
        std::vector<std::pair<Label, double>> entries(v.begin(), v.end());
        std::sort(entries.begin(), entries.end());
        out.put<std::uint64_t>(entries.size());
        for (const auto& [label, value] : entries) {
            out.put<std::uint32_t>(label);
            out.put<double>(value);
        }
    }
}

template <Unit T>
void write_unit(Writer& out, const T& unit) {
    T::members([&out](const char*, Scope, const auto& m) { write_member(out, m); }, unit);
}

// ------------------------------------------------------------------------------------------ reading

std::string printable_tag(const std::uint8_t* p) {
    std::string tag;
    for (int i = 0; i < 4; ++i) tag += (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '?';
    return tag;
}

// Reads one section's body; every read is bounds-checked and names what it was reading.
class Reader {
public:
    Reader(const std::uint8_t* begin, std::size_t size, const char* section)
        : p_(begin), end_(begin + size), section_(section) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

    void raw(void* out, std::size_t n, const char* what) {
        if (remaining() < n) fail(std::string(what) + " runs past the end of the section");
        if (n != 0) std::memcpy(out, p_, n);
        p_ += n;
    }
    template <class T>
    T get(const char* what) {
        T v{};
        raw(&v, sizeof v, what);
        return v;
    }
    bool flag(const char* what) {
        const auto v = get<std::uint8_t>(what);
        if (v > 1) fail(std::string(what) + " is " + std::to_string(v) + ", not 0 or 1");
        return v == 1;
    }
    // An element count, refused before any allocation when the bytes left cannot hold it.
    std::size_t count(std::size_t element_size, const char* what) {
        const auto n = get<std::uint64_t>(what);
        if (n > remaining() / element_size)
            fail(std::string(what) + ": " + std::to_string(n) + " entries do not fit in the " +
                 std::to_string(remaining()) + " bytes left");
        return static_cast<std::size_t>(n);
    }
    template <class T>
    std::vector<T> array(const char* what, std::size_t max_entries) {
        const std::size_t n = count(sizeof(T), what);
        if (n > max_entries)
            fail(std::string(what) + " has " + std::to_string(n) + " entries, more than " + std::to_string(max_entries));
        std::vector<T> v(n);
        raw(v.data(), n * sizeof(T), what);
        return v;
    }
    // A per-type table: at most one entry per representable cell type.
    template <class T>
    std::vector<T> type_table(const char* what) {
        return array<T>(what, max_table);
    }
    void expect_end() {
        if (remaining() != 0) fail(std::to_string(remaining()) + " bytes left over at the end of the section");
    }
    [[noreturn]] void fail(const std::string& text) const { refuse("section " + std::string(section_) + ": " + text); }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    const char* section_;
};

struct GridSection {
    std::array<SiteIndex, 3> dims{};
    std::array<bool, 3> periodic{};
    std::uint8_t z_reach = 0, order = 0;
    SiteIndex n_sites = 0;
};

GridSection read_grid(Reader& r, std::size_t data_size) {
    GridSection g;
    for (SiteIndex& side : g.dims) side = r.get<std::uint64_t>("lattice side");
    for (bool& p : g.periodic) p = r.flag("periodic flag");
    g.z_reach = r.get<std::uint8_t>("z reach");
    g.order = r.get<std::uint8_t>("neighbour order");
    r.expect_end();
    if (g.z_reach > 1) r.fail("z reach " + std::to_string(g.z_reach) + " is not 0 or 1");
    if (g.order > 3) r.fail("neighbour order " + std::to_string(g.order) + " is beyond 3");
    SiteIndex n = 1;
    for (const SiteIndex side : g.dims) {
        if (side > max_side) r.fail("lattice side " + std::to_string(side) + " is beyond 2^32");
        if (__builtin_mul_overflow(n, side, &n)) r.fail("the lattice's site count overflows");
    }
    // Labels take four bytes a site, so a grid larger than the data cannot be genuine.
    if (n > data_size / sizeof(Label)) r.fail(std::to_string(n) + " sites cannot fit in " + std::to_string(data_size) + " bytes");
    if (n == 0)
        for (const SiteIndex side : g.dims)
            if (side > max_side_without_sites) r.fail("a lattice without sites has a side beyond 2^16");
    g.n_sites = n;
    return g;
}

void read_session(Reader& r, Session& s) {
    const bool finalized = r.flag("finalized flag");
    Xoshiro256pp rng;
    for (std::uint64_t& word : rng.s) word = r.get<std::uint64_t>("generator state");
    r.expect_end();
    if (finalized) {
        if (rng.s == std::array<std::uint64_t, 4>{}) r.fail("the generator state is all zero");
        s.rng = rng;
    }
}

// Only the table's width and values are observable, so the rebuilt table covers the widest type and
// every type whose row or column holds a value other than +0 (bit for bit: -0 and NaN count). A world
// built in C++ may carry a table without entries, so the width is bounded by the 16-bit types alone;
// the section's length bounds what is allocated.
void read_contact(Reader& r, Session& s) {
    const std::size_t n_entries = r.count(12, "contact entries");
    s.contact_entries.resize(n_entries);
    for (ContactEntry& e : s.contact_entries) {
        e.a = r.get<std::uint16_t>("contact entry");
        e.b = r.get<std::uint16_t>("contact entry");
        e.j = r.get<double>("contact entry");
    }
    const auto n_types = r.get<std::uint64_t>("contact table size");
    constexpr std::uint64_t type_count = std::uint64_t{std::numeric_limits<CellType>::max()} + 1;
    if (n_types > type_count)
        r.fail("a contact table of " + std::to_string(n_types) + " types is wider than the " +
               std::to_string(type_count) + " cell types");
    if (n_types * n_types > r.remaining() / sizeof(double)) r.fail("the contact table runs past the end of the section");
    std::vector<double> values(n_types * n_types);
    for (double& j : values) j = r.get<double>("contact table");
    r.expect_end();
    std::vector<CellType> covered;
    for (std::size_t a = 0; a < n_types; ++a) {
        bool holds_value = a + 1 == n_types;
        for (std::size_t b = 0; b < n_types && !holds_value; ++b)
            holds_value = std::bit_cast<std::uint64_t>(values[a * n_types + b]) != 0 ||
                          std::bit_cast<std::uint64_t>(values[b * n_types + a]) != 0;
        if (holds_value) covered.push_back(static_cast<CellType>(a));
    }
    ContactMatrix matrix = ContactMatrix::covering(covered);
    for (const CellType a : covered)
        for (const CellType b : covered) matrix.set(a, b, values[std::size_t{a} * n_types + b]);
    s.world.contact = std::move(matrix);
}

template <class T>
void require_flags(Reader& r, const std::vector<T>& table, const std::string& what) {
    for (const T v : table)
        if (v > 1) r.fail(what + " holds " + std::to_string(v) + ", not 0 or 1");
}

// One declared member read back as write_member stores it; a table's scope bounds its entries (per
// type: the cell types; per site: the grid), and a table of bytes holds flags.
template <class T>
void read_member(Reader& r, T& v, const char* what, Scope scope, SiteIndex n_sites) {
    if constexpr (std::is_same_v<T, bool>) {
        v = r.flag(what);
    } else if constexpr (std::is_arithmetic_v<T>) {
        v = r.get<T>(what);
    } else if constexpr (std::is_same_v<T, std::string>) {
        v.resize(r.count(1, what));
        r.raw(v.data(), v.size(), what);
    } else if constexpr (is_vector<T>::value) {
        using Entry = typename T::value_type;
        v = r.array<Entry>(what, scope == Scope::per_site ? n_sites : scope == Scope::per_cell ? max_records : max_table);
        if constexpr (std::is_same_v<Entry, std::uint8_t>) require_flags(r, v, std::string("the ") + what);
    } else {
        const std::size_t n = r.count(12, what);
        Label previous = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto label = r.get<std::uint32_t>(what);
            const auto value = r.get<double>(what);
            if (i > 0 && label <= previous) r.fail(std::string(what) + " are not in increasing id order");
            v.emplace(label, value);
            previous = label;
        }
    }
}

// A unit's members in list order, then the unit's own checks.
template <Unit T>
void read_unit(Reader& r, T& unit, SiteIndex n_sites) {
    T::members([&](const char* what, Scope scope, auto& m) { read_member(r, m, what, scope, n_sites); }, unit);
    if constexpr (requires { unit.fault(n_sites); }) {
        const std::string fault = unit.fault(n_sites);
        if (!fault.empty()) r.fail(fault);
    }
}

void read_cells(Reader& r, World& w) {
    const std::size_t n = r.count(record_size, "cell records");
    if (n == 0) r.fail("there is no record for the medium");
    if (n > std::size_t{std::numeric_limits<Label>::max()} + 1) r.fail("more cell records than labels");
    w.cells.assign(n, Cell{});
    for (std::size_t i = 0; i < n; ++i) {
        Cell& c = w.cells[i];
        read_unit(r, c, 0);
        if (c.id != i) r.fail("record " + std::to_string(i) + " carries id " + std::to_string(c.id));
    }
    r.expect_end();
}

// Every label must name a record; once finalized, each record's volume must equal its site count.
void read_labels(Reader& r, World& w, SiteIndex n_sites, bool finalized) {
    const std::size_t n = r.count(sizeof(Label), "labels");
    if (n != n_sites) r.fail(std::to_string(n) + " labels for a grid of " + std::to_string(n_sites) + " sites");
    std::vector<Label>& labels = w.lattice.labels;
    r.raw(labels.data(), n * sizeof(Label), "labels");
    r.expect_end();
    const std::size_t n_records = w.cells.size();
    std::vector<std::int64_t> counts(finalized ? n_records : 0, 0);
    for (SiteIndex site = 0; site < n; ++site) {
        const Label l = labels[site];
        if (l >= n_records)
            r.fail("site " + std::to_string(site) + " holds label " + std::to_string(l) + ", which has no record (" +
                   std::to_string(n_records) + " records)");
        if (finalized) ++counts[l];
    }
    for (std::size_t id = 0; id < counts.size(); ++id)
        if (counts[id] != w.cells[id].volume)
            r.fail("cell " + std::to_string(id) + " has volume " + std::to_string(w.cells[id].volume) + " but " +
                   std::to_string(counts[id]) + " sites");
}

void read_terms(Reader& r, World& w, SiteIndex n_sites, std::uint32_t version) {
    for (const char* name : term_layout_of(version))
        for_each_term_member(w, [&](const char* what, Scope scope, auto& m) {
            if (std::strcmp(what, name) == 0) read_member(r, m, what, scope, n_sites);
        });
    WorldData::for_each_term(
        [&](const char*, Scope, auto& unit) {
            if constexpr (requires { unit.fault(n_sites); }) {
                const std::string fault = unit.fault(n_sites);
                if (!fault.empty()) r.fail(fault);
            }
            if constexpr (requires { unit.cell_fault(w.cells.size()); }) {
                const std::string fault = unit.cell_fault(w.cells.size());
                if (!fault.empty()) r.fail(fault);
            }
        },
        w);
    r.expect_end();
}

Field read_field(Reader& r, SiteIndex n_sites) {
    Field f;
    read_unit(r, f, n_sites);
    return f;
}

void read_fields(Reader& r, World& w, SiteIndex n_sites) {
    // The smallest field record: an empty name, five empty tables, no scales, no sites.
    const std::size_t n_fields = r.count(8 + 24 + 4 + 5 * 8 + 8 + 8, "fields");
    w.fields.reserve(n_fields);
    for (std::size_t i = 0; i < n_fields; ++i) w.fields.push_back(read_field(r, n_sites));
    r.expect_end();
}

}  // namespace

std::uint64_t checkpoint_checksum(std::span<const std::uint8_t> bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ULL;
    return h;
}

std::vector<std::uint8_t> write_checkpoint(const SessionView& s) {
    const World& w = s.world;
    const Lattice& lat = w.lattice;
    std::size_t expected = 4096 + lat.n_sites() * sizeof(Label) + w.cells.size() * record_size +
                           w.membrane.distance.size() * sizeof(float) + w.act.activity.size() * sizeof(Activity);
    for (const Field& f : w.fields) expected += f.conc.size() * sizeof(float) + 1024;
    Writer out(expected);
    out.raw(magic.data(), magic.size());
    const std::uint32_t version = version_for(w);
    out.put<std::uint32_t>(version);
    const bool with_options = w.options != WorldOptions{};
    out.put<std::uint32_t>(with_options ? SectionCount : required_sections);
    out.put<std::uint64_t>(0);  // total size, patched below

    const std::pair<std::uint8_t, std::uint8_t> reach_and_order = neighborhood_parameters(lat.neighborhood);
    out.section(section_tags[Grid], [&] {
        for (const SiteIndex side : lat.dims) out.put<std::uint64_t>(side);
        for (const bool p : lat.periodic) out.put<std::uint8_t>(p ? 1 : 0);
        out.put<std::uint8_t>(reach_and_order.first);
        out.put<std::uint8_t>(reach_and_order.second);
    });
    out.section(section_tags[Sess], [&] {
        out.put<std::uint8_t>(s.rng ? 1 : 0);
        for (int i = 0; i < 4; ++i) out.put<std::uint64_t>(s.rng ? s.rng->s[i] : 0);
    });
    out.section(section_tags[Cont], [&] {
        out.put<std::uint64_t>(s.contact_entries.size());
        for (const ContactEntry& e : s.contact_entries) {
            out.put<std::uint16_t>(e.a);
            out.put<std::uint16_t>(e.b);
            out.put<double>(e.j);
        }
        const std::size_t n = w.contact.n_types();
        out.put<std::uint64_t>(n);
        for (std::size_t a = 0; a < n; ++a)
            for (std::size_t b = 0; b < n; ++b) out.put<double>(w.contact.at(a, b));
    });
    out.section(section_tags[Cell_], [&] {
        out.put<std::uint64_t>(w.cells.size());
        for (const Cell& c : w.cells) write_unit(out, c);
    });
    out.section(section_tags[Labl], [&] { out.array(lat.labels); });
    out.section(section_tags[Term], [&] {
        std::size_t listed = 0, placed = 0;
        for_each_term_member(w, [&listed](const char*, Scope, const auto&) { ++listed; });
        for (const char* name : term_layout)
            for_each_term_member(w, [&](const char* what, Scope, const auto&) { placed += std::strcmp(what, name) == 0; });
        MORVA_CHECK(placed == listed, "checkpoint: a term's member has no place in the TERM section");
        // A version 1 file leaves out the later members, all at their defaults.
        for (const char* name : term_layout_of(version))
            for_each_term_member(w, [&](const char* what, Scope, const auto& m) {
                if (std::strcmp(what, name) == 0) write_member(out, m);
            });
    });
    out.section(section_tags[Flds], [&] {
        out.put<std::uint64_t>(w.fields.size());
        for (const Field& f : w.fields) write_unit(out, f);
    });
    if (with_options) out.section(section_tags[Opts], [&] { write_unit(out, w.options); });

    std::vector<std::uint8_t>& bytes = out.bytes();
    const std::uint64_t total = bytes.size() + trailer_size;
    std::memcpy(bytes.data() + 16, &total, 8);
    out.put<std::uint64_t>(checkpoint_checksum(bytes));
    return std::move(bytes);
}

Session read_checkpoint(std::span<const std::uint8_t> bytes) {
    const std::size_t size = bytes.size();
    if (size >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) != 0)
        refuse("not a morva checkpoint (the data does not start with the magic bytes)");
    if (size < header_size + trailer_size)
        refuse("truncated: " + std::to_string(size) + " bytes, fewer than the header and checksum take");
    std::uint32_t version = 0, n_sections = 0;
    std::uint64_t total = 0;
    std::memcpy(&version, bytes.data() + 8, 4);
    std::memcpy(&n_sections, bytes.data() + 12, 4);
    std::memcpy(&total, bytes.data() + 16, 8);
    if (version < 1 || version > checkpoint_version)
        refuse("format version " + std::to_string(version) + " is not supported (this build reads versions 1 to " +
               std::to_string(checkpoint_version) + ")");
    if (total > size) refuse("truncated: the header gives " + std::to_string(total) + " bytes, " + std::to_string(size) + " are present");
    if (total < size) refuse(std::to_string(size - total) + " bytes follow the end the header gives");
    std::uint64_t stored = 0;
    std::memcpy(&stored, bytes.data() + size - trailer_size, 8);
    if (stored != checkpoint_checksum(bytes.first(size - trailer_size)))
        refuse("checksum mismatch: the data is corrupted");
    if (n_sections != required_sections && n_sections != SectionCount)
        refuse("the header announces " + std::to_string(n_sections) + " sections, version 1 has " +
               std::to_string(required_sections) + " (" + std::to_string(SectionCount) + " with the options)");

    // Splits the body into its sections, each checked for tag, reserved word and length.
    std::array<std::pair<const std::uint8_t*, std::size_t>, SectionCount> bodies{};
    std::size_t at = header_size;
    const std::size_t body_end = size - trailer_size;
    for (std::size_t i = 0; i < n_sections; ++i) {
        if (body_end - at < 16) refuse(std::string("section ") + section_tags[i] + " is missing");
        const std::uint8_t* head = bytes.data() + at;
        if (std::memcmp(head, section_tags[i], 4) != 0)
            refuse(std::string("expected section ") + section_tags[i] + ", found '" + printable_tag(head) + "'");
        std::uint32_t reserved = 0;
        std::uint64_t length = 0;
        std::memcpy(&reserved, head + 4, 4);
        std::memcpy(&length, head + 8, 8);
        if (reserved != 0) refuse(std::string("section ") + section_tags[i] + ": the reserved word is not zero");
        at += 16;
        if (length > body_end - at) refuse(std::string("section ") + section_tags[i] + " runs past the end of the data");
        bodies[i] = {bytes.data() + at, static_cast<std::size_t>(length)};
        at += length;
    }
    if (at != body_end) refuse(std::to_string(body_end - at) + " bytes follow the last section");
    const auto reader = [&](Section s) { return Reader(bodies[s].first, bodies[s].second, section_tags[s]); };

    Reader grid_reader = reader(Grid);
    const GridSection grid = read_grid(grid_reader, size);
    Session session;
    session.world = World::make(
        Lattice::make(grid.dims, grid.periodic, Neighborhood::make(grid.z_reach, grid.order)), 0.0);
    World& w = session.world;
    Reader sess = reader(Sess);
    read_session(sess, session);
    Reader cont = reader(Cont);
    read_contact(cont, session);
    Reader cells = reader(Cell_);
    read_cells(cells, w);
    Reader labels = reader(Labl);
    read_labels(labels, w, grid.n_sites, session.rng.has_value());
    Reader terms = reader(Term);
    read_terms(terms, w, grid.n_sites, version);
    Reader fields = reader(Flds);
    read_fields(fields, w, grid.n_sites);
    if (n_sections == SectionCount) {
        Reader options = reader(Opts);
        read_unit(options, w.options, grid.n_sites);
        options.expect_end();
    }
    if (session.rng) {  // a finalized world: its trackers must be those of its labels
        const std::string difference = first_tracker_difference(w);
        if (!difference.empty()) refuse("the stored cell records disagree with the labels: " + difference);
    }
    return session;
}

}  // namespace morva
