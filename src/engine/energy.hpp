// energy.hpp: the contact-energy table. The Hamiltonian change itself is World::delta_hamiltonian.
#pragma once

#include <vector>

#include "core.hpp"

namespace morva {

struct ContactMatrix {
    std::vector<double> values;  // J(a, b) at a * n_types + b
    std::size_t n_types = 1;

    static ContactMatrix make(std::size_t n);

    // A type at or beyond n_types has no row or column: its contact energies are 0.
    double at(std::size_t a, std::size_t b) const {
        return (a < n_types && b < n_types) ? values[a * n_types + b] : 0.0;
    }
};

}  // namespace morva
