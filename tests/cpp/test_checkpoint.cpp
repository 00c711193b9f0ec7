#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "checkpoint.hpp"
#include "helpers.hpp"

namespace morva::testing {
namespace {

// A tissue with every optional term and two fields, finalized.
Morva full_session(std::uint64_t seed) {
    World w = random_world({12, 10, 4}, Boundary::Periodic, 3, 9, seed, 0.2);
    w.temperature = 5.0;
    const std::size_t f = w.add_field("signal", 0.1, 0.02);
    w.add_field("other", 0.05, 0.01);
    w.set_field_dynamics(f, 0.5, 2);
    w.set_secretion(f, 1, 1.5);
    w.set_cell_secretion_scale(f, 4, 0.5);
    w.set_cell_secretion_scale(f, 2, 3.0);
    w.set_chemotaxis(f, 2, 20.0);
    w.set_chemotaxis_occupancy(1, 3, -10.0, 0.5, 2.0, 1.5);
    w.set_connectivity(1, true);
    w.junction.lambda = 1.5;
    w.set_junction(2, true);
    w.set_membrane({0, 5, 77}, 0.4, 1.0);
    w.set_membrane_anchored(3, true);
    w.set_external_potential(1, 0.3, 0.0, -0.2);
    w.set_length_constraint(2, 4.0, 0.3);
    return Morva::make(std::move(w), seed);
}

const std::vector<ContactEntry> entries = {{1, 2, 3.5}, {0, 3, 1.0}};

std::vector<std::uint8_t> dump(const Morva& m) { return write_checkpoint({m.world, &m.rng, entries}); }

Morva restore(const std::vector<std::uint8_t>& bytes) {
    Session s = read_checkpoint(bytes);
    EXPECT_TRUE(s.rng.has_value());
    Morva m;
    m.world = std::move(s.world);
    m.rng = *s.rng;
    return m;
}

void expect_same_session(const Morva& a, const Morva& b) {
    EXPECT_EQ(a.world.lattice.labels, b.world.lattice.labels);
    EXPECT_EQ(a.rng.s, b.rng.s);
    expect_same_trackers(a.world.cells, b.world.cells);
    ASSERT_EQ(a.world.fields.size(), b.world.fields.size());
    for (std::size_t i = 0; i < a.world.fields.size(); ++i) EXPECT_EQ(a.world.fields[i].conc, b.world.fields[i].conc);
}

std::string refusal(const std::vector<std::uint8_t>& bytes) {
    try {
        read_checkpoint(bytes);
    } catch (const CheckpointError& e) {
        return e.what();
    }
    return "(accepted)";
}

// The bytes with their closing checksum made right again.
std::vector<std::uint8_t> rechecked(std::vector<std::uint8_t> bytes) {
    const std::uint64_t sum = checkpoint_checksum(std::span(bytes).first(bytes.size() - 8));
    std::memcpy(bytes.data() + bytes.size() - 8, &sum, 8);
    return bytes;
}

TEST(Checkpoint, FinalizedSessionContinuesBitForBit) {
    Morva original = full_session(3);
    original.step(4);
    Morva loaded = restore(dump(original));
    expect_same_session(original, loaded);
    EXPECT_EQ(dump(loaded), dump(original));
    EXPECT_EQ(loaded.world.membrane.distance, original.world.membrane.distance);
    for (Morva* m : {&original, &loaded}) {
        m->step(3);
        m->world.divide_cells(6.0, 5.0);
        m->world.remove_cells({2});
        m->step(3);
    }
    expect_same_session(original, loaded);
    EXPECT_EQ(dump(loaded), dump(original));
}

TEST(Checkpoint, SetUpSessionKeepsItsEntriesAndHasNoGenerator) {
    World w = random_world({6, 5, 1}, Boundary::Noflux, 2, 4, 9);
    const std::vector<std::uint8_t> bytes = write_checkpoint({w, nullptr, entries});
    Session s = read_checkpoint(bytes);
    EXPECT_FALSE(s.rng.has_value());
    ASSERT_EQ(s.contact_entries.size(), 2u);
    EXPECT_EQ(s.contact_entries[1].b, 3);
    EXPECT_EQ(s.contact_entries[0].j, 3.5);
    EXPECT_EQ(s.world.lattice.labels, w.lattice.labels);
    EXPECT_EQ(s.world.lattice.periodic, w.lattice.periodic);
    EXPECT_EQ(s.world.lattice.linear_offsets, w.lattice.linear_offsets);
}

TEST(Checkpoint, EveryTruncationAndFlippedByteIsRefused) {
    World w = random_world({5, 4, 1}, Boundary::Periodic, 1, 3, 2);
    w.add_field("f", 0.1, 0.0);
    const std::vector<std::uint8_t> bytes = write_checkpoint({w, nullptr, entries});
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_NE(refusal(cut), "(accepted)") << n;
    }
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::vector<std::uint8_t> flipped = bytes;
        flipped[at] ^= 0x10;
        EXPECT_NE(refusal(flipped), "(accepted)") << at;
    }
    std::vector<std::uint8_t> flipped = bytes;
    flipped[100] ^= 1;
    EXPECT_EQ(refusal(flipped), "checkpoint: checksum mismatch: the data is corrupted");
}

TEST(Checkpoint, ContentsThatContradictEachOtherAreRefused) {
    const Morva m = full_session(5);
    const std::vector<std::uint8_t> bytes = dump(m);
    const auto labels_at = [&] {  // the first label: after the LABL tag, reserved word, length and count
        const std::string text(bytes.begin(), bytes.end());
        return text.find("LABL") + 24;
    };
    std::vector<std::uint8_t> bad = bytes;
    const Label unknown = 1000;
    std::memcpy(bad.data() + labels_at(), &unknown, 4);
    EXPECT_NE(refusal(rechecked(bad)).find("holds label 1000, which has no record"), std::string::npos);

    // A label moved to another known cell: the volumes no longer match the grid.
    bad = bytes;
    const Label other = m.world.lattice.labels[0] == 1 ? 2 : 1;
    std::memcpy(bad.data() + labels_at(), &other, 4);
    EXPECT_NE(refusal(rechecked(bad)).find("but"), std::string::npos);

    bad = bytes;
    const std::uint32_t version = 9;
    std::memcpy(bad.data() + 8, &version, 4);
    EXPECT_EQ(refusal(bad), "checkpoint: format version 9 is not supported (this build reads versions 1 to 3)");
}

}  // namespace
}  // namespace morva::testing
