// contact_table.cpp: making the zero-filled table; refuses a size whose entry count overflows.
#include "contact_table.hpp"

namespace morva {

ContactMatrix ContactMatrix::make(std::size_t n) {
    ContactMatrix m;
    m.n_types_ = n < 1 ? 1 : n;
    std::size_t entries = 0;
    if (__builtin_mul_overflow(m.stride(), m.stride(), &entries)) raise_fault(__FILE__, __LINE__, "capacity overflow");
    m.values_.assign(entries, 0.0);
    return m;
}

}  // namespace morva
