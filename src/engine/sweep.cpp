// sweep.cpp: the sequential Metropolis sweep. Owns the main generator's draw order; writes labels only
// through World::apply_flip, its flip writer.
#include "sweep.hpp"

#include "sweep_steps.hpp"

namespace morva {

// Nothing changes a cell's type during a sweep, so the sweeps read the padded contact index of each
// label's type from a flat copy.
void fill_padded_types(const World& w, std::vector<std::uint32_t>& out) {
    out.resize(w.cells.size());
    for (std::size_t i = 0; i < w.cells.size(); ++i)
        out[i] = static_cast<std::uint32_t>(w.contact.padded_type(w.cells[i].cell_type));
}

void prepare_sweep_tables(Morva& m) {
    fill_padded_types(m.world, m.type_by_label);
    m.contact_is_scaled = m.world.contact.scaled_integers(m.scaled_contact, m.contact_unscale);
}

Morva Morva::make(World world, std::uint64_t seed) { return Morva(std::move(world), Xoshiro256pp::from_seed(seed)); }

void Morva::step(std::uint64_t mcs) { step(mcs, StepCheck{}); }

std::uint64_t Morva::step(std::uint64_t mcs, StepCheck check) {
    if (mcs == 0) return 0;
    if (world.lattice.n_sites() == 0) return mcs;  // nothing moves or diffuses: any number of steps is none
    prepare_sweep_tables(*this);
    length_energies.known.assign(world.cells.size(), 0);  // trackers may have changed since the last call
    length_energies.energy.resize(world.cells.size());
    const AttemptSetting setting = AttemptSetting::of(*this);
    // This sweep alone reads its label-type table, so its contact policy may mark labels in it.
    return with_contact_policy(*this, true, [&](const auto& contact) {
        return sequential_steps(*this, setting, contact, mcs, check);
    });
}

}  // namespace morva
