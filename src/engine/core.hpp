// core.hpp: aliases shared by every engine file, the one fault type and its check macros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace morva {

using SiteIndex = std::size_t;
using Label = std::uint32_t;
using CellType = std::uint16_t;

// Every engine check that fails throws this; the Python layer turns it into PanicException.
// `text` is the fault itself, `file` and `line` locate the check for the diagnostic.
class EngineFault : public std::exception {
public:
    EngineFault(const char* file, int line, std::string text)
        : file_(file), line_(line), text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }
    const char* file() const noexcept { return file_; }
    int line() const noexcept { return line_; }

private:
    const char* file_;
    int line_;
    std::string text_;
};

// A request its caller can correct (a box reaching beyond the lattice, an id without a record); the
// Python layer turns it into ValueError. Distinct from EngineFault, which reports a failed check.
class BadRequest : public std::exception {
public:
    explicit BadRequest(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

[[noreturn]] void raise_fault(const char* file, int line, std::string text);
[[noreturn]] void raise_index_fault(const char* file, int line, std::size_t index, std::size_t len);

}  // namespace morva

// Always on: faults that callers can trigger (an id, index or length out of range).
#define MORVA_CHECK(cond, text)                                  \
    do {                                                         \
        if (!(cond)) ::morva::raise_fault(__FILE__, __LINE__, (text)); \
    } while (0)

// Bounds check with the standard text: the length and the offending index.
#define MORVA_CHECK_INDEX(index, len)                                              \
    do {                                                                           \
        const std::size_t morva_i_ = static_cast<std::size_t>(index);              \
        const std::size_t morva_n_ = static_cast<std::size_t>(len);                \
        if (morva_i_ >= morva_n_) ::morva::raise_index_fault(__FILE__, __LINE__, morva_i_, morva_n_); \
    } while (0)
