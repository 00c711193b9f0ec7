// scenes.cpp: builders of the shared worlds. Cell ids follow block order, x fastest.
#include "scenes.hpp"

namespace morva::scenes {

Morva b1_cell_sorting(std::uint64_t seed) {
    World w = make_world({200, 200, 1}, Boundary::Periodic, 2, 20.0);
    for (SiteIndex by = 0; by < 16; ++by)
        for (SiteIndex bx = 0; bx < 16; ++bx) {
            const auto type = static_cast<CellType>(1 + (bx + by) % 2);
            const Label id = w.add_cell(type, 100.0, 1.0, 0.0, 0.0);
            w.paint_box(id, {20 + 10 * bx, 20 + 10 * by, 0}, {30 + 10 * bx, 30 + 10 * by, 1});
        }
    return finalize(std::move(w), {{0, 1, 16.0}, {0, 2, 16.0}, {1, 1, 2.0}, {2, 2, 14.0}, {1, 2, 11.0}}, seed);
}

Morva b2_adhesion_3d(std::uint64_t seed) {
    World w = make_world({100, 100, 100}, Boundary::Periodic, 3, 20.0);
    for (SiteIndex bz = 0; bz < 10; ++bz)
        for (SiteIndex by = 0; by < 10; ++by)
            for (SiteIndex bx = 0; bx < 10; ++bx) {
                const Label id = w.add_cell(1, 500.0, 1.0, 0.0, 0.0);
                w.paint_box(id, {10 + 8 * bx, 10 + 8 * by, 10 + 8 * bz}, {18 + 8 * bx, 18 + 8 * by, 18 + 8 * bz});
            }
    return finalize(std::move(w), {{0, 1, 20.0}, {1, 1, 10.0}}, seed);
}

const char* term_name(Term term) {
    switch (term) {
        case Term::Connectivity: return "connectivity";
        case Term::Length: return "length";
        case Term::Junction: return "junction";
        case Term::Membrane: return "membrane";
        case Term::External: return "external";
        case Term::Fields: return "fields";
    }
    return "";
}

void add_b1_term(World& w, Term term) {
    switch (term) {
        case Term::Connectivity:
            for (const CellType t : {1, 2}) w.set_connectivity(t, true);
            break;
        case Term::Length:
            for (const CellType t : {1, 2}) w.set_length_constraint(t, 12.0, 0.1);
            break;
        case Term::Junction:
            for (const CellType t : {1, 2}) w.set_junction(t, true);
            w.set_junction_lambda(1.0);
            break;
        case Term::Membrane:
            for (const CellType t : {1, 2}) w.set_membrane_anchored(t, true);
            w.set_membrane({w.lattice.site_of(100, 100, 0)}, 0.001, 60.0);
            break;
        case Term::External:
            for (const CellType t : {1, 2}) w.set_external_potential(t, 0.01, 0.0, 0.0);
            break;
        case Term::Fields: {
            const std::size_t secreted = w.add_field("secreted", 0.1, 0.01);
            w.set_secretion(secreted, 1, 0.5);
            const std::size_t cue = w.add_field("cue", 0.1, 0.01);
            w.set_secretion(cue, 2, 0.5);
            w.set_chemotaxis(cue, 1, 0.5);
            break;
        }
    }
}

Morva b1_all_terms(std::uint64_t seed) {
    Morva m = b1_cell_sorting(seed);
    for (const Term term : all_terms) add_b1_term(m.world, term);
    return m;
}

Morva b1_act(std::uint64_t seed) {
    Morva m = b1_cell_sorting(seed);
    m.world.set_act(1, 200.0, 20);
    m.world.set_act(2, 200.0, 20);
    return m;
}

Morva b1_persistent(std::uint64_t seed) {
    Morva m = b1_cell_sorting(seed);
    m.world.set_persistence(1, 20.0, 10, 0.7);
    m.world.set_persistence(2, 20.0, 10, 0.7);
    return m;
}

}  // namespace morva::scenes
