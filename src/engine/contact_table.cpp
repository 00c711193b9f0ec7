// contact_table.cpp: making the zero-filled table; refuses a size whose entry count overflows.
#include "contact_table.hpp"

#include <cmath>

namespace morva {

ContactMatrix ContactMatrix::make(std::size_t n) {
    ContactMatrix m;
    m.n_types_ = n < 1 ? 1 : n;
    std::size_t entries = 0;
    if (__builtin_mul_overflow(m.stride(), m.stride(), &entries)) raise_fault(__FILE__, __LINE__, "capacity overflow");
    m.values_.assign(entries, 0.0);
    return m;
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

}  // namespace morva
