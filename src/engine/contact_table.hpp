// contact_table.hpp: the contact energy J of every pair of cell types, padded for branch-free reads.
#pragma once

#include <cstdint>
#include <vector>

#include "core.hpp"

namespace morva {

// J(a, b) for types 0 .. n_types - 1. A type at or beyond n_types has no row or column: all its
// contact energies are 0. The table is stored with one extra all-zero row and column, so a sweep
// maps such types onto index n_types and reads every J with one load and no branch.
class ContactMatrix {
public:
    static ContactMatrix make(std::size_t n);

    std::size_t n_types() const { return n_types_; }
    void set(std::size_t a, std::size_t b, double j) { values_[a * stride() + b] = j; }
    double at(std::size_t a, std::size_t b) const { return row(padded_type(a))[padded_type(b)]; }

    // The padded index of a type: itself inside the table, n_types (the zero row) beyond it.
    std::size_t padded_type(std::size_t t) const { return t < n_types_ ? t : n_types_; }
    const double* row(std::size_t padded) const { return values_.data() + padded * stride(); }
    std::size_t bytes() const { return values_.capacity() * sizeof(double); }

    // The padded table as integers J * 2^shift, when one shift makes every entry an integer of at most
    // 2^47 (out is then filled and `unscale` set to 2^-shift); false for any other table (a fraction
    // that is not dyadic, a huge, infinite or NaN entry). See ScaledContact for why this is exact.
    bool scaled_integers(std::vector<std::int64_t>& out, double& unscale) const;
    std::size_t padded_stride() const { return stride(); }

private:
    std::size_t stride() const { return n_types_ + 1; }
    std::vector<double> values_;
    std::size_t n_types_ = 1;
};

}  // namespace morva
