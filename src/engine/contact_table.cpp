// contact_table.cpp: making the zero-filled table over its covered types; refuses a size whose entry
// count overflows.
#include "contact_table.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace morva {

void ContactMatrix::allocate() {
    std::size_t entries = 0;
    if (__builtin_mul_overflow(stride(), stride(), &entries)) raise_fault(__FILE__, __LINE__, "capacity overflow");
    values_.assign(entries, 0.0);
}

ContactMatrix ContactMatrix::make(std::size_t n) {
    ContactMatrix m;
    m.n_covered_ = n < 1 ? 1 : n;
    MORVA_CHECK(m.n_covered_ <= std::numeric_limits<std::uint32_t>::max(), "capacity overflow");
    m.index_of_type_.resize(m.n_covered_);
    for (std::size_t t = 0; t < m.n_covered_; ++t) m.index_of_type_[t] = static_cast<std::uint32_t>(t);
    m.allocate();
    return m;
}

// Dense indices follow increasing type number.
ContactMatrix ContactMatrix::covering(const std::vector<CellType>& types) {
    ContactMatrix m;
    std::size_t extent = 0;
    for (const CellType t : types) extent = std::max<std::size_t>(extent, std::size_t{t} + 1);
    std::vector<std::uint8_t> covered(extent, 0);
    for (const CellType t : types) covered[t] = 1;
    m.index_of_type_.assign(extent, 0);
    for (std::size_t t = 0; t < extent; ++t)
        if (covered[t]) m.index_of_type_[t] = static_cast<std::uint32_t>(m.n_covered_++);
    for (std::size_t t = 0; t < extent; ++t)
        if (!covered[t]) m.index_of_type_[t] = static_cast<std::uint32_t>(m.zero_row());
    m.allocate();
    return m;
}

void ContactMatrix::set(std::size_t a, std::size_t b, double j) {
    const std::size_t ia = padded_type(a), ib = padded_type(b);
    MORVA_CHECK(ia != zero_row() && ib != zero_row(), "contact entry for a type the table does not cover");
    values_[ia * stride() + ib] = j;
}

bool ContactMatrix::scaled_integers(std::vector<std::int64_t>& out, double& unscale) const {
    constexpr int max_shift = 32;
    constexpr double limit = 140737488355328.0;  // 2^47
    int shift = 0;
    for (const double j : values_) {
        if (!std::isfinite(j)) return false;
        while (shift <= max_shift && std::ldexp(j, shift) != std::trunc(std::ldexp(j, shift))) ++shift;
        if (shift > max_shift) return false;
    }
    out.resize(values_.size());
    for (std::size_t i = 0; i < values_.size(); ++i) {
        const double scaled = std::ldexp(values_[i], shift);
        if (!(std::fabs(scaled) <= limit)) return false;
        out[i] = static_cast<std::int64_t>(scaled);
    }
    unscale = std::ldexp(1.0, -shift);
    return true;
}

bool ContactMatrix::same_state(const ContactMatrix& o) const {
    if (n_types() != o.n_types()) return false;
    for (std::size_t a = 0; a < n_types(); ++a)
        for (std::size_t b = 0; b < n_types(); ++b)
            if (std::bit_cast<std::uint64_t>(at(a, b)) != std::bit_cast<std::uint64_t>(o.at(a, b))) return false;
    return true;
}

}  // namespace morva
