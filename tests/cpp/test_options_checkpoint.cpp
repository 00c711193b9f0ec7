// World options in checkpoints: the optional OPTS section, written only when an option is on.
#include <gtest/gtest.h>

#include <cstring>

#include "checkpoint.hpp"
#include "option_helpers.hpp"
#include "parallel.hpp"

namespace morva::testing {
namespace {

// A hot periodic tissue on the seams with every option on, a length term, forces and the veto.
Morva options_session(WorldOptions options, std::uint64_t seed) {
    World w = block_tissue(30, 30, Boundary::Periodic, 2, 3, 6, 6, 8.0);
    const std::vector<Label> labels = w.lattice.labels;
    for (SiteIndex s = 0; s < labels.size(); ++s)  // moved so that the blocks lie over the seams
        w.lattice.labels[translated(w.lattice, s, {21, 22, 0})] = labels[s];
    w.options = options;
    w.set_length_constraint(1, 7.0, 0.5);
    w.set_external_potential(2, 30.0, -10.0, 0.0);
    w.set_connectivity(1, true);
    return finalize(std::move(w), {{0, 1, 10.0}, {0, 2, 10.0}, {1, 2, 6.0}}, seed);
}

constexpr WorldOptions all_on{.periodic_shapes = true, .com_force = true, .face_connectivity = true};

std::vector<std::uint8_t> dump(const Morva& m) { return write_checkpoint({m.world, &m.rng, {}}); }

std::uint32_t section_count(const std::vector<std::uint8_t>& bytes) {
    std::uint32_t n = 0;
    std::memcpy(&n, bytes.data() + 12, 4);
    return n;
}

// The same bytes with the header's size and the checksum made right for the new length.
std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> bytes, std::uint32_t sections) {
    std::memcpy(bytes.data() + 12, &sections, 4);
    const std::uint64_t total = bytes.size();
    std::memcpy(bytes.data() + 16, &total, 8);
    const std::uint64_t sum = checkpoint_checksum(std::span(bytes).first(bytes.size() - 8));
    std::memcpy(bytes.data() + bytes.size() - 8, &sum, 8);
    return bytes;
}

TEST(OptionsCheckpoint, OptionsComeBackAndTheRunContinuesBitForBit) {
    Morva original = options_session(all_on, 4);
    original.step(6);
    const std::vector<std::uint8_t> bytes = dump(original);
    EXPECT_EQ(section_count(bytes), 8u);
    Session s = read_checkpoint(bytes);
    EXPECT_EQ(s.world.options, all_on);
    Morva loaded = Morva::make(std::move(s.world), 0);
    loaded.rng = *s.rng;
    WorkerPool pool(2);
    for (Morva* m : {&original, &loaded}) {
        m->step(4);
        m->world.divide_cells(30.0, 18.0);
        m->world.set_length_constraint(1, 7.0, 0.0);  // the parallel sweep takes no length term
        step_parallel_on(*m, 3, 6, pool);
    }
    EXPECT_EQ(loaded.world.lattice.labels, original.world.lattice.labels);
    EXPECT_EQ(loaded.rng.s, original.rng.s);
    expect_same_trackers(loaded.world.cells, original.world.cells);
    EXPECT_EQ(dump(loaded), dump(original));
}

TEST(OptionsCheckpoint, WithEveryOptionOffTheFileHasNoOptionsSection) {
    const std::vector<std::uint8_t> off = dump(options_session({}, 4));
    EXPECT_EQ(section_count(off), 7u);
    EXPECT_EQ(read_checkpoint(off).world.options, WorldOptions{});
    for (const WorldOptions one : {WorldOptions{.periodic_shapes = true}, WorldOptions{.com_force = true},
                                   WorldOptions{.face_connectivity = true}}) {
        const std::vector<std::uint8_t> on = dump(options_session(one, 4));
        EXPECT_EQ(section_count(on), 8u);
        EXPECT_EQ(read_checkpoint(on).world.options, one);
    }
}

// A file of an earlier build is the same file without its OPTS section: it loads with every option off.
TEST(OptionsCheckpoint, FilesWithoutTheSectionLoadWithOptionsOff) {
    // Without periodic shapes the cells' sums are raw coordinates, as in a file written before the options.
    const std::vector<std::uint8_t> bytes = dump(options_session({.com_force = true, .face_connectivity = true}, 7));
    constexpr std::size_t opts_size = 16 + 3;  // tag, reserved word, length, three flags
    const std::size_t opts_at = bytes.size() - 8 - opts_size;
    ASSERT_EQ(std::memcmp(bytes.data() + opts_at, "OPTS", 4), 0);
    std::vector<std::uint8_t> older(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(opts_at));
    older.resize(older.size() + 8);
    EXPECT_EQ(read_checkpoint(resealed(older, 7)).world.options, WorldOptions{});

    // Cut from a world whose cells keep unwrapped sums, the file no longer matches its labels.
    const std::vector<std::uint8_t> unwrapped = dump(options_session(all_on, 7));
    std::vector<std::uint8_t> cut(unwrapped.begin(), unwrapped.begin() + static_cast<std::ptrdiff_t>(opts_at));
    cut.resize(cut.size() + 8);
    EXPECT_THROW(read_checkpoint(resealed(cut, 7)), CheckpointError);

    std::vector<std::uint8_t> bad_flag = bytes;
    bad_flag[opts_at + 17] = 2;
    try {
        read_checkpoint(resealed(bad_flag, 8));
        ADD_FAILURE() << "a flag of 2 was accepted";
    } catch (const CheckpointError& e) {
        EXPECT_NE(std::string(e.what()).find("centre-of-mass force flag"), std::string::npos) << e.what();
    }
    try {
        read_checkpoint(resealed(bytes, 9));
        ADD_FAILURE() << "nine sections were accepted";
    } catch (const CheckpointError& e) {
        EXPECT_NE(std::string(e.what()).find("9 sections"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace morva::testing
