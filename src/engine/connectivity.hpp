// connectivity.hpp: the generic component counter used by the connectivity veto.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "core.hpp"

namespace morva {

namespace detail {

// Depth-first flood fill over an explicit stack with an all-pairs scan. `visited` and `stack` hold
// room for every entry: each index is pushed once, when it is first reached.
template <class Adjacent>
std::size_t flood_components(std::span<const SiteIndex> nodes, std::uint8_t* visited, std::size_t* stack,
                             Adjacent& adjacent) {
    const std::size_t n = nodes.size();
    for (std::size_t i = 0; i < n; ++i) visited[i] = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (visited[i]) continue;
        visited[i] = 1;
        std::size_t top = 0;
        stack[top++] = i;
        ++count;
        while (top != 0) {
            const std::size_t p = stack[--top];
            for (std::size_t j = 0; j < n; ++j) {
                if (visited[j] || !adjacent(nodes[p], nodes[j])) continue;
                visited[j] = 1;
                stack[top++] = j;
            }
        }
    }
    return count;
}

}  // namespace detail

// Number of connected components of the graph whose vertices are the entries of `nodes`, entries a
// and b being joined when adjacent(a, b). The predicate is called in a fixed order and never with an
// already reached second entry. Fewer than two entries are answered at once; lists as long as a
// neighbourhood use stack storage, so the veto in the copy attempt never allocates.
template <class Adjacent>
std::size_t count_components(std::span<const SiteIndex> nodes, Adjacent&& adjacent) {
    const std::size_t n = nodes.size();
    if (n < 2) return n;
    constexpr std::size_t inline_room = 32;
    if (n <= inline_room) {
        std::array<std::uint8_t, inline_room> visited;
        std::array<std::size_t, inline_room> stack;
        return detail::flood_components(nodes, visited.data(), stack.data(), adjacent);
    }
    std::vector<std::uint8_t> visited(n);
    std::vector<std::size_t> stack(n);
    return detail::flood_components(nodes, visited.data(), stack.data(), adjacent);
}

}  // namespace morva
