// members.hpp: how a piece of state declares its members, once. A unit (a term's tables, the world
// options, a cell record, a field) has
//     template <class F, class... Self> static void members(F&& f, Self&... self);
// which calls f(name, scope, self.member...) for each saved member in order. Passing one object walks
// it; passing two walks both side by side (comparison). The checkpoint, the state-size figures and
// the world's equality are all driven from these lists, so a member added to a unit and to its list
// reaches all three; a member left out of the list is caught by the member-list tests (arity check).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace morva {

// Where a member's values live: one for the world, one per cell type, per cell, per site, per pair of
// types; a nested unit is walked through its own list.
enum class Scope : std::uint8_t { world, per_type, per_cell, per_site, per_pair, per_field, unit };

template <class T>
concept Unit = requires(T& t) { T::members([](const char*, Scope, auto&...) {}, t); };

template <class T>
struct is_vector : std::false_type {};
template <class T, class A>
struct is_vector<std::vector<T, A>> : std::true_type {};

template <class T>
inline constexpr bool is_unit_table = false;
template <Unit T, class A>
inline constexpr bool is_unit_table<std::vector<T, A>> = true;

// The number of members of aggregate T (a base class counts as one): the largest n for which T can be
// brace-initialised from n values. Used to check that a unit's list names every member.
namespace detail {
struct any_value {
    template <class T>
    operator T() const;
};
template <class T, std::size_t... I>
constexpr bool brace_initialisable(std::index_sequence<I...>) {
    return requires { T{(static_cast<void>(I), any_value{})...}; };
}
template <class T, std::size_t N>
constexpr std::size_t arity_from() {
    if constexpr (!brace_initialisable<T>(std::make_index_sequence<N + 1>{})) return N;
    else return arity_from<T, N + 1>();
}
}  // namespace detail

template <class T>
constexpr std::size_t aggregate_arity() {
    static_assert(std::is_aggregate_v<T>);
    return detail::arity_from<T, 0>();
}

template <Unit T>
std::size_t listed_members(const T& unit) {
    std::size_t n = 0;
    T::members([&n](const char*, Scope, const auto&) { ++n; }, unit);
    return n;
}

// Bit-for-bit equality of two members of the same declared type: NaN equals itself, +0 and -0 differ.
template <class T>
bool same_bits(const T& x, const T& y);

template <Unit T>
bool same_unit(const T& a, const T& b) {
    bool same = true;
    T::members([&same](const char*, Scope, const auto& x, const auto& y) { same = same && same_bits(x, y); }, a, b);
    return same;
}

template <class T>
bool same_bits(const T& x, const T& y) {
    if constexpr (requires { x.same_state(y); }) {
        return x.same_state(y);
    } else if constexpr (Unit<T>) {
        return same_unit(x, y);
    } else if constexpr (std::is_arithmetic_v<T> || std::is_trivially_copyable_v<T>) {
        return std::memcmp(&x, &y, sizeof(T)) == 0;
    } else if constexpr (is_vector<T>::value) {
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!same_bits(x[i], y[i])) return false;
        return true;
    } else if constexpr (std::is_same_v<T, std::string>) {
        return x == y;
    } else {  // a map of per-cell values
        if (x.size() != y.size()) return false;
        for (const auto& [key, value] : x) {
            const auto it = y.find(key);
            if (it == y.end() || !same_bits(value, it->second)) return false;
        }
        return true;
    }
}

// The heap bytes a member holds (reserved, not just used); maps count their entries' payload only.
template <class T>
std::size_t heap_bytes(const T& v) {
    if constexpr (requires { v.heap_bytes(); }) {
        return v.heap_bytes();
    } else if constexpr (Unit<T>) {
        std::size_t bytes = 0;
        T::members([&bytes](const char*, Scope, const auto& m) { bytes += heap_bytes(m); }, v);
        if constexpr (requires { T::work_space([](const char*, Scope, auto&...) {}, v); })
            T::work_space([&bytes](const char*, Scope, const auto& m) { bytes += heap_bytes(m); }, v);
        return bytes;
    } else if constexpr (is_vector<T>::value) {
        std::size_t bytes = v.capacity() * sizeof(typename T::value_type);
        if constexpr (Unit<typename T::value_type>)
            for (const auto& e : v) bytes += heap_bytes(e);
        return bytes;
    } else if constexpr (std::is_same_v<T, std::string>) {
        return 0;  // names are short: counted with the record
    } else if constexpr (requires { typename T::mapped_type; }) {
        return v.size() * (sizeof(typename T::key_type) + sizeof(typename T::mapped_type));
    } else {
        return 0;
    }
}

}  // namespace morva
