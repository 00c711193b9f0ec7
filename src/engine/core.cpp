// core.cpp: construction of engine faults, kept out of line so checks stay small at their call sites.
#include "core.hpp"

namespace morva {

void raise_fault(const char* file, int line, std::string text) {
    throw EngineFault(file, line, std::move(text));
}

void raise_index_fault(const char* file, int line, std::size_t index, std::size_t len) {
    throw EngineFault(file, line,
                      "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                          std::to_string(index));
}

}  // namespace morva
