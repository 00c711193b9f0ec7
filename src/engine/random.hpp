// random.hpp: the Xoshiro256++ generator, its seeding from one 64-bit value, and the two derived
// draws (bounded integer, 53-bit real). The exact draw sequence is part of the dynamics.
#pragma once

#include <array>
#include <cstdint>

namespace morva {

class Xoshiro256pp {
public:
    std::array<std::uint64_t, 4> s{};

    // 32 bytes from eight PCG-XSH-RR 64/32 outputs; an all-zero expansion falls back to SplitMix64.
    static Xoshiro256pp from_seed(std::uint64_t seed) {
        Xoshiro256pp g;
        std::uint64_t state = seed;
        bool all_zero = true;
        for (int word = 0; word < 4; ++word) {
            std::uint64_t value = 0;
            for (int half = 0; half < 2; ++half) {
                state = state * 6364136223846793005ULL + 0xa17654e46fbe17f3ULL;
                const auto xorshifted = static_cast<std::uint32_t>(((state >> 45) ^ (state >> 27)));
                const auto rot = static_cast<std::uint32_t>(state >> 59);
                const std::uint32_t out = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
                value |= static_cast<std::uint64_t>(out) << (32 * half);  // little-endian byte order
            }
            g.s[word] = value;
            all_zero = all_zero && value == 0;
        }
        if (all_zero) {
            std::uint64_t sm = 0;
            for (auto& word : g.s) {
                sm += 0x9e3779b97f4a7c15ULL;
                std::uint64_t z = sm;
                z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
                z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
                word = z ^ (z >> 31);
            }
        }
        return g;
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s[0] + s[3], 23) + s[0];
        const std::uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }

    // Uniform in [0, n), n >= 1: widening multiply with a conservative rejection zone; every
    // rejected draw consumes an output.
    std::uint64_t below(std::uint64_t n) {
        const std::uint64_t zone = (n << __builtin_clzll(n)) - 1;
        for (;;) {
            const unsigned __int128 m = static_cast<unsigned __int128>(next()) * n;
            if (static_cast<std::uint64_t>(m) <= zone) return static_cast<std::uint64_t>(m >> 64);
        }
    }

    // Uniform in [0, 1) with 53 random bits.
    double unit() { return static_cast<double>(next() >> 11) * 1.1102230246251565e-16; }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

}  // namespace morva
