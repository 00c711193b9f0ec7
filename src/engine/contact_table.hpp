// contact_table.hpp: the contact energy J of every pair of cell types, held for the types that need it.
#pragma once

#include <cstdint>
#include <vector>

#include "core.hpp"

namespace morva {

// J(a, b) for every pair of cell types. Only the types the table covers have rows and columns of their
// own, each at a dense index; every other type reads one shared all-zero row and column, so all its
// contact energies are 0. A table covering just the types that have contact entries stays small
// whatever their numbers, and a sweep still reads every J with one load and no branch.
class ContactMatrix {
public:
    // Covers types 0 .. n - 1 (at least type 0); all entries 0.
    static ContactMatrix make(std::size_t n);
    // Covers exactly the given types (any order, repeats allowed); all entries 0.
    static ContactMatrix covering(const std::vector<CellType>& types);

    // One past the largest covered type: every type at or beyond it reads the zero row.
    std::size_t n_types() const { return index_of_type_.size(); }
    // Both types must be covered.
    void set(std::size_t a, std::size_t b, double j);
    double at(std::size_t a, std::size_t b) const { return row(padded_type(a))[padded_type(b)]; }

    // The dense index of a type's row: its own for a covered type, the zero row's for any other.
    std::size_t padded_type(std::size_t t) const { return t < index_of_type_.size() ? index_of_type_[t] : zero_row(); }
    const double* row(std::size_t padded) const { return values_.data() + padded * stride(); }
    std::size_t bytes() const { return values_.capacity() * sizeof(double); }
    std::size_t heap_bytes() const { return bytes(); }
    // The same width and the same value, bit for bit, for every pair of types: what a table shows.
    bool same_state(const ContactMatrix& o) const;

    // The padded table as integers J * 2^shift, when one shift makes every entry an integer of at most
    // 2^47 (out is then filled and `unscale` set to 2^-shift); false for any other table (a fraction
    // that is not dyadic, a huge, infinite or NaN entry). See ScaledContact for why this is exact.
    bool scaled_integers(std::vector<std::int64_t>& out, double& unscale) const;
    std::size_t padded_stride() const { return stride(); }

private:
    std::size_t zero_row() const { return n_covered_; }
    std::size_t stride() const { return n_covered_ + 1; }
    void allocate();

    std::vector<std::uint32_t> index_of_type_;  // by type; zero_row() for a type without a row
    std::vector<double> values_;                // stride() x stride(), row-major
    std::size_t n_covered_ = 0;
};

}  // namespace morva
