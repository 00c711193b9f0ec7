// setup.cpp: world construction and the finalize sequence.
#include "setup.hpp"

namespace morva {

World make_world(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t neighbor_order, double temperature) {
    const bool p = boundary == Boundary::Periodic;
    Lattice lattice = Lattice::make(dims, {p, p, p}, Neighborhood::make(dims[2] >= 2 ? 1 : 0, neighbor_order));
    return World::make(std::move(lattice), temperature);
}

ContactMatrix contact_table(const std::vector<ContactEntry>& contacts) {
    std::vector<CellType> named;
    named.reserve(2 * contacts.size());
    for (const ContactEntry& e : contacts) named.insert(named.end(), {e.a, e.b});
    ContactMatrix table = ContactMatrix::covering(named);
    for (const ContactEntry& e : contacts) {
        table.set(e.a, e.b, e.j);
        table.set(e.b, e.a, e.j);
    }
    return table;
}

Morva finalize_with_table(World world, ContactMatrix table, std::uint64_t seed) {
    world.set_contact_matrix(std::move(table));
    world.recompute_trackers();
    return Morva::make(std::move(world), seed);
}

Morva finalize(World world, const std::vector<ContactEntry>& contacts, std::uint64_t seed) {
    return finalize_with_table(std::move(world), contact_table(contacts), seed);
}

}  // namespace morva
