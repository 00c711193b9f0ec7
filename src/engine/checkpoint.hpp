// checkpoint.hpp: a whole session (the set-up world, or the finalized world with its generator, and
// the pending contact entries) to and from bytes, in the versioned
// little-endian format of docs/checkpoint-format.md. The reader trusts nothing: every count is
// checked against the bytes that remain before anything is allocated, and every cross-reference
// against its table, so hostile data ends in CheckpointError and never in a half-built world.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "setup.hpp"

namespace morva {

inline constexpr std::uint32_t checkpoint_version = 3;

// A refused checkpoint; the text says what is wrong with it.
class CheckpointError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a checkpoint is written from: the world, and the generator when the session is finalized.
struct SessionView {
    const World& world;
    const Xoshiro256pp* rng;  // null: the set-up state
    std::span<const ContactEntry> contact_entries;
};

// What a checkpoint reads back into.
struct Session {
    World world;
    std::optional<Xoshiro256pp> rng;  // present: the finalized state
    std::vector<ContactEntry> contact_entries;
};

std::vector<std::uint8_t> write_checkpoint(const SessionView& session);
Session read_checkpoint(std::span<const std::uint8_t> bytes);

// FNV-1a, 64 bits, over the bytes: the checksum that closes every checkpoint.
std::uint64_t checkpoint_checksum(std::span<const std::uint8_t> bytes);

}  // namespace morva
