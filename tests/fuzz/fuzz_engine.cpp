// fuzz_engine.cpp: libFuzzer target on the engine library. Each input is a program: a header that
// picks a tiny box, then operations with their arguments, run in the two states of a world (set-up,
// then after finalize) exactly as the Python layer allows them. After every operation the world must
// be consistent (ids, labels, field sizes, trackers equal a recomputation from the grid), and every
// sequential step on a world with only core terms must match the reference sweep bit for bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "init.hpp"
#include "parallel.hpp"
#include "reference.hpp"
#include "setup.hpp"

namespace {

using namespace morva;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz_engine: invariant broken: %s\n", what);
    std::abort();
}

#define EXPECT(cond)                     \
    do {                                 \
        if (!(cond)) broken(#cond);      \
    } while (0)

// Arguments come from the input bytes; past the end every read gives 0.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : byte() % n; }

    // Mostly small types; now and then one far beyond any table.
    CellType type() {
        const std::uint8_t b = byte();
        if (b < 240) return static_cast<CellType>(b % 5);
        static constexpr CellType large[] = {7, 100, 1000, 65535};
        return large[b % 4];
    }
    // Ordinary values, and the extremes every term must survive.
    double real() {
        static constexpr double values[] = {0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 10.0, 100.0, -3.5, 16.0, 25.0, 1e-300,
                                            1e300, __builtin_inf(), -__builtin_inf(), __builtin_nan("")};
        return values[byte() % 16];
    }
    // An id below n most of the time, one past the end or far beyond it otherwise.
    std::uint64_t index(std::uint64_t n) {
        const std::uint8_t b = byte();
        if (b >= 250) return b == 255 ? 0xFFFFFFFFu : n;
        return b % (n + 1);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// The worker pools of the parallel steps, made once for the whole run. Results do not depend on the
// thread count, and waking a helper costs far more than a tiny pass, so most steps run inline.
WorkerPool& pool(bool threaded) {
    static WorkerPool inline_pool(1), threaded_pool(2);
    return threaded ? threaded_pool : inline_pool;
}

struct Session {
    std::array<SiteIndex, 3> dims{};
    bool periodic = false;
    std::uint8_t order = 0;
    std::optional<World> setup;
    std::optional<Morva> driver;
    std::vector<ContactEntry> contacts;
    std::vector<std::tuple<std::uint16_t, std::uint16_t, double>> installed;  // the entries finalize read

    World* active() { return driver ? &driver->world : setup ? &*setup : nullptr; }
};

// The grid, parameters and contact entries of the engine's world in the reference's form.
fuzz::RefWorld reference_of(const Session& s, const World& w) {
    fuzz::RefWorld r;
    r.dims = s.dims;
    r.periodic = s.periodic;
    r.set_neighborhood(s.order);
    r.labels = w.lattice.labels;
    for (const Cell& c : w.cells) {
        fuzz::RefCell rc;
        rc.type = c.cell_type;
        rc.target_volume = c.target_volume;
        rc.lambda_volume = c.lambda_volume;
        rc.target_surface = c.target_surface;
        rc.lambda_surface = c.lambda_surface;
        r.cells.push_back(rc);
    }
    r.set_contacts(s.installed);
    r.temperature = w.temperature;
    return r;
}

void expect_trackers(const std::vector<Cell>& cells, const fuzz::RefWorld& r) {
    EXPECT(cells.size() == r.cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const Cell& c = cells[i];
        const fuzz::RefCell& e = r.cells[i];
        EXPECT(c.volume == e.volume);
        EXPECT(c.surface == e.surface);
        const std::array<double, 9> sums{c.sum_x, c.sum_y, c.sum_z, c.sum_xx, c.sum_yy, c.sum_zz,
                                         c.sum_xy, c.sum_xz, c.sum_yz};
        for (int k = 0; k < 9; ++k) EXPECT(sums[k] == e.sums[k]);
    }
}

// What must hold after every operation, whether it succeeded or faulted.
void check_consistent(Session& s) {
    World* w = s.active();
    if (w == nullptr) return;
    const SiteIndex n = w->lattice.n_sites();
    EXPECT(w->lattice.labels.size() == n);
    for (std::size_t i = 0; i < w->cells.size(); ++i) EXPECT(w->cells[i].id == i);
    for (const Label l : w->lattice.labels) EXPECT(l < w->cells.size());
    for (const Field& f : w->fields) EXPECT(f.conc.size() == n);
    EXPECT(w->membrane.distance.empty() || w->membrane.distance.size() == n);
    if (!s.driver) return;
    fuzz::RefWorld r = reference_of(s, *w);
    r.recompute();
    expect_trackers(w->cells, r);
    EXPECT(w->surface_active == r.surface_active());
}

// The sequential step against the reference, on worlds whose only terms are the core ones.
void step_and_compare(Session& s, std::uint64_t mcs) {
    Morva& m = *s.driver;
    World& w = m.world;
    const TermGates gates = w.term_gates();
    const bool comparable = !gates.any_energy && !gates.on<ConnectivityTerm>() && w.fields.empty() && w.lattice.n_sites() <= 36;
    std::optional<fuzz::RefWorld> r;
    if (comparable) {
        r = reference_of(s, w);
        r->rng.s = m.rng.s;
        r->recompute();
    }
    m.step(mcs);
    if (!r) return;
    r->step(mcs);
    EXPECT(r->labels == w.lattice.labels);
    EXPECT(r->rng.s == m.rng.s);
    expect_trackers(w.cells, *r);
}

std::vector<SiteIndex> some_sites(Reader& in, SiteIndex n) {
    std::vector<SiteIndex> sites(in.below(4));
    for (SiteIndex& site : sites) site = in.index(n);
    return sites;
}

void run_setup_only(Session& s, Reader& in, std::uint8_t op) {
    World& w = *s.setup;
    const SiteIndex n = w.lattice.n_sites();
    switch (op) {
        case 0:
            w.add_cell(in.type(), in.real(), in.real(), in.real(), in.real());
            break;
        case 1: {  // a box, refused when it reaches beyond the lattice or names no record
            const Label id = static_cast<Label>(in.index(w.cells.size()));
            std::array<SiteIndex, 3> lo{}, hi{};
            for (int a = 0; a < 3; ++a) {
                lo[a] = in.below(s.dims[a] + 1);
                hi[a] = lo[a] + in.below(s.dims[a] + 2 - lo[a]);
            }
            w.paint_box(id, lo, hi);
            break;
        }
        case 2: {  // a whole label image, now and then of the wrong length
            std::vector<Label> image(in.byte() < 230 ? n : in.below(n + 2));
            for (Label& v : image) v = static_cast<Label>(in.below(5));
            std::unordered_map<Label, CellType> types;
            for (std::uint64_t k = in.below(3); k > 0; --k) types[static_cast<Label>(in.below(5))] = in.type();
            seed_from_labels(w, image, types, in.type(), in.real(), in.real());
            break;
        }
        case 9: {
            const std::string name = "f" + std::to_string(w.fields.size());
            w.add_field(name, in.real() * 0.01, in.real() * 0.01);
            break;
        }
        case 14: {  // as the binding does it: the table first, then the world is handed over
            ContactMatrix table = contact_table(s.contacts);
            s.installed.clear();
            for (const ContactEntry& e : s.contacts) s.installed.emplace_back(e.a, e.b, e.j);
            World world = std::move(*s.setup);
            s.setup.reset();
            s.driver.emplace(finalize_with_table(std::move(world), std::move(table), in.byte()));
            break;
        }
        default:
            break;
    }
}

void run_finalized_only(Session& s, Reader& in, std::uint8_t op) {
    Morva& m = *s.driver;
    switch (op) {
        case 15:
            step_and_compare(s, 1 + in.below(3));
            break;
        case 16: {
            const std::uint64_t mcs = 1 + in.below(2);
            const std::size_t block = 1 + in.below(5);
            step_parallel_on(m, mcs, block, pool(in.below(8) == 0));
            break;
        }
        default:
            break;
    }
}

void run_any_state(Session& s, World& w, Reader& in, std::uint8_t op) {
    const SiteIndex n = w.lattice.n_sites();
    const std::size_t n_fields = w.fields.size();
    switch (op) {
        case 3: {
            const CellType a = in.type(), b = in.type();
            s.contacts.push_back({a, b, in.real()});
            break;
        }
        case 4:
            if (in.byte() & 1) w.set_connectivity(in.type(), in.byte() & 1);
            else w.set_connectivity_medium(in.byte() & 1);
            break;
        case 5:
            if (in.byte() & 1) w.set_junction(in.type(), in.byte() & 1);
            else w.set_junction_lambda(in.real());
            break;
        case 6:
            if (in.byte() & 1) {
                const std::vector<SiteIndex> anchors = some_sites(in, n);
                const double k = in.real(), band = in.real();
                w.set_membrane(anchors, k, band);
            } else {
                w.set_membrane_anchored(in.type(), in.byte() & 1);
            }
            break;
        case 7: {
            const CellType t = in.type();
            const double target = in.real(), lambda = in.real();
            w.set_length_constraint(t, target, lambda);
            break;
        }
        case 8: {
            const CellType t = in.type();
            const double fx = in.real(), fy = in.real(), fz = in.real();
            w.set_external_potential(t, fx, fy, fz);
            break;
        }
        case 10: {
            const std::size_t f = in.index(n_fields);
            const double dt = in.real();
            w.set_field_dynamics(f, dt, static_cast<std::uint32_t>(in.below(3)));
            break;
        }
        case 11: {
            const std::size_t f = in.index(n_fields);
            if (in.byte() & 1) {
                const CellType t = in.type();
                w.set_secretion(f, t, in.real());
            } else {
                const Label id = static_cast<Label>(in.index(w.cells.size()));
                w.set_cell_secretion_scale(f, id, in.real());
            }
            break;
        }
        case 12: {
            const std::size_t f = in.index(n_fields);
            const CellType t = in.type();
            if (in.byte() & 1) {
                w.set_chemotaxis(f, t, in.real());
            } else {
                const double lambda = in.real(), kd = in.real(), hill = in.real(), scale = in.real();
                w.set_chemotaxis_occupancy(f, t, lambda, kd, hill, scale);
            }
            break;
        }
        case 13: {  // point access by site, or clamped (refused on a box without sites)
            const std::size_t f = in.index(n_fields);
            const SiteIndex x = in.index(s.dims[0]), y = in.index(s.dims[1]), z = in.index(s.dims[2]);
            switch (in.below(3)) {
                case 0: w.field_add_at_site(f, in.index(n), in.real()); break;
                case 1: w.field_add_at(f, x, y, z, in.real()); break;
                default: (void)w.field_value_at(f, x, y, z); break;
            }
            break;
        }
        case 17: {
            std::vector<Label> ids(in.below(4));
            for (Label& id : ids) id = static_cast<Label>(in.index(w.cells.size()));
            w.remove_cells(ids);
            break;
        }
        case 18: {  // at most doubles the records: bounded so that a program stays tiny
            const double threshold = in.real(), reset = in.real();
            if (w.cells.size() <= 256) w.divide_cells(threshold, reset);
            break;
        }
        case 19: {
            const CellType t = in.type();
            w.grow(t, in.real());
            break;
        }
        case 20: {
            const Label id = static_cast<Label>(in.index(w.cells.size()));
            w.set_cell_type(id, in.type());
            break;
        }
        case 21: {
            const Label id = static_cast<Label>(in.index(w.cells.size()));
            w.set_target_volume(id, in.real());
            break;
        }
        case 22:
            w.advance_fields(static_cast<std::uint32_t>(in.below(3)));
            break;
        case 23: {  // queries: contact areas add up to the surface once the trackers are exact
            const Label id = static_cast<Label>(in.index(w.cells.size()));
            const double length = w.cell_length(id);
            (void)length;
            const auto areas = w.cell_contact_area_by_type(id);
            if (s.driver) {
                std::int64_t total = 0;
                for (const auto& [t, area] : areas) total += area;
                EXPECT(total == w.cells[id].surface);
            }
            if (n_fields > 0) (void)w.field_mean_at_cell(in.index(n_fields), id);
            break;
        }
        default:
            break;
    }
}

void run(Session& s, Reader& in) {
    while (!in.done()) {
        const std::uint8_t op = in.byte() % 24;
        World* w = s.active();
        if (w == nullptr) return;  // a failed finalize lost the world
        try {
            if (s.setup && (op <= 2 || op == 9 || op == 14)) run_setup_only(s, in, op);
            else if (s.driver && (op == 15 || op == 16)) run_finalized_only(s, in, op);
            else run_any_state(s, *w, in, op);
        } catch (const EngineFault&) {
            // A failed check (bad id, index or image length) is part of the contract.
        } catch (const BadRequest&) {
            // So is a refused request (a box beyond the lattice, a field without sites).
        }
        check_consistent(s);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Session s;
    static constexpr SiteIndex layers[] = {1, 1, 2, 3, 0};
    s.dims = {in.below(6), 1 + in.below(5), layers[in.below(5)]};
    s.periodic = in.byte() & 1;
    s.order = static_cast<std::uint8_t>(in.below(4));
    const double temperature = in.real();
    s.setup.emplace(make_world(s.dims, s.periodic ? Boundary::Periodic : Boundary::Noflux, s.order, temperature));
    run(s, in);
    return 0;
}
