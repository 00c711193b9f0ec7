// setup.cpp: world construction and the finalize sequence.
#include "setup.hpp"

#include <algorithm>

namespace morva {

World make_world(std::array<SiteIndex, 3> dims, Boundary boundary, std::uint8_t neighbor_order, double temperature) {
    const bool p = boundary == Boundary::Periodic;
    Lattice lattice = Lattice::make(dims, {p, p, p}, Neighborhood::make(dims[2] >= 2 ? 1 : 0, neighbor_order));
    return World::make(std::move(lattice), temperature);
}

Morva finalize(World world, const std::vector<ContactEntry>& contacts, std::uint64_t seed) {
    std::size_t widest = world.widest_type;
    for (const ContactEntry& e : contacts) widest = std::max<std::size_t>({widest, e.a, e.b});
    ContactMatrix matrix = ContactMatrix::make(widest + 1);
    for (const ContactEntry& e : contacts) {
        matrix.set(e.a, e.b, e.j);
        matrix.set(e.b, e.a, e.j);
    }
    world.set_contact_matrix(std::move(matrix));
    world.recompute_trackers();
    return Morva::make(std::move(world), seed);
}

}  // namespace morva
