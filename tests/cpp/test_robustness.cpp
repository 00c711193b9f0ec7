// Faults found by hostile probes: each test pins one mended fault.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "helpers.hpp"
#include "parallel.hpp"
#include "pool.hpp"

namespace morva::testing {
namespace {

// Runs `body` in a child process that a timer kills after `seconds`: a hang fails the test instead
// of stalling the suite.
template <class Body>
void expect_finishes(Body body, unsigned seconds = 20) {
    EXPECT_EXIT(
        {
            alarm(seconds);
            body();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

constexpr SiteIndex two_to(int power) { return SiteIndex{1} << power; }

TEST(EmptyBox, HugeOtherSidesCostNothingToBuild) {
    expect_finishes([] {
        const World w = make_world({0, two_to(32), two_to(32)}, Boundary::Periodic, 1);
        if (w.lattice.n_sites() != 0) std::_Exit(1);
    });
}

// The linear offsets of an empty box with a side of 2^63 once overflowed a signed product.
TEST(EmptyBox, SideOfTwoToTheSixtyThreeBuildsWithoutOverflow) {
    const World w = make_world({two_to(63), 0, 2}, Boundary::Noflux, 3);
    EXPECT_EQ(w.lattice.n_sites(), 0u);
    EXPECT_EQ(w.lattice.linear_offsets.size(), 26u);
}

// Every loop over sites once ran over the product of the other sides (or listed their tiles) when one
// side was 0: each of these took hours or all memory.
TEST(EmptyBox, EveryOperationReturnsAtOnce) {
    for (const std::array<SiteIndex, 3> dims : {std::array<SiteIndex, 3>{1, 0, two_to(40)},
                                                {two_to(40), 1, 0}, {0, two_to(20), two_to(20)}}) {
        expect_finishes([dims] {
            World w = make_world(dims, Boundary::Periodic, 3);
            const Label c = w.add_cell(1, 1, 1, 0, 0);
            w.add_field("c", 0.1, 0.01);
            w.remove_cells({c});
            if (w.divide_cells(0.0, 1.0).size() != 1 || !w.cell_contact_area_by_type(c).empty()) std::_Exit(1);
            Morva m = finalize(std::move(w), std::vector<ContactEntry>{{0, 1, 2.0}}, 1);
            m.world.remove_cells({c});
            m.step(3);
            m.step_parallel(2, 2);
            m.world.advance_fields(2);
            if (m.world.divide_cells(0.0, 1.0).size() != 2 || m.world.cells[c].volume != 0) std::_Exit(2);
        });
    }
}

TEST(EmptyBox, ClampedFieldAccessIsRefusedNotFaulted) {
    World w = make_world({4, 0, 1}, Boundary::Periodic, 1);
    const std::size_t f = w.add_field("c", 0.1, 0.0);
    EXPECT_THROW(w.field_value_at(f, 0, 0, 0), BadRequest);
    EXPECT_THROW(w.field_add_at(f, 9, 9, 9, 1.0), BadRequest);
    EXPECT_THROW(w.field_value_at(f + 1, 0, 0, 0), EngineFault);  // a bad index stays a failed check
    try {
        w.field_value_at(f, 0, 0, 0);
    } catch (const BadRequest& refused) {
        EXPECT_EQ(std::string(refused.what()), "field 0 has no sites (the box is 4 x 0 x 1)");
    }
}

TEST(EmptyBox, OffsetsOfABoxWithSitesStayExact) {
    const World w = make_world({5, 6, 7}, Boundary::Periodic, 3);
    ASSERT_EQ(w.lattice.linear_offsets.size(), 26u);
    EXPECT_EQ(w.lattice.linear_offsets.front(), -(1 + 5 + 30));
    EXPECT_EQ(w.lattice.linear_offsets.back(), 1 + 5 + 30);
}

// Diagnostics once cut the path at its first "src/", which printed "src/src/engine/..." for a
// checkout under a folder named src.
TEST(FaultDiagnostic, NamesTheSourceFileRelativeToTheProjectRoot) {
    World w = make_world({2, 2, 1}, Boundary::Periodic, 1);
    try {
        w.paint(4, 1);
        FAIL() << "painting beyond the grid must fault";
    } catch (const EngineFault& fault) {
        const std::string file = fault.file();
        EXPECT_EQ(file.rfind("src/engine/", 0), 0u) << file;
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::path(MORVA_SOURCE_ROOT) / file)) << file;
    }
}

// ---------------------------------------------------------------------------------------- worker pool

TEST(WorkerPoolLimits, EnvironmentCannotAskForMoreThanFourThreadsPerCpu) {
    EXPECT_EQ(pool_size_rule("2000", nullptr, 2), 8u);
    EXPECT_EQ(pool_size_rule(nullptr, "2000", 2), 8u);
    EXPECT_EQ(pool_size_rule("99", nullptr, 0), 4u);  // CPUs unknown: counted as one
    EXPECT_EQ(pool_size_rule("8", nullptr, 2), 8u);   // at the cap: honoured
    EXPECT_EQ(pool_size_rule("3", nullptr, 2), 3u);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORVA_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define MORVA_SANITIZED_BUILD 1
#endif
#endif

// Under an address-space limit with room for a dozen thread stacks, a pool of 64 is refused as a
// whole: the threads it started are stopped again, so memory stays usable for everything else (glibc
// keeps at most 40 MB of stacks for reuse) and a small pool still works.
TEST(WorkerPoolLimits, PoolThatCannotStartItsThreadsFailsWhole) {
#ifdef MORVA_SANITIZED_BUILD
    GTEST_SKIP() << "the sanitizers reserve the address space";
#else
    expect_finishes([] {
        std::size_t pages = 0;
        if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%zu", &pages) != 1) std::_Exit(2);
            std::fclose(f);
        }
        const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (128u << 20);
        const rlimit address_space{limit, limit};
        if (setrlimit(RLIMIT_AS, &address_space) != 0) std::_Exit(3);
        try {
            WorkerPool too_many(64);
            std::_Exit(4);  // 63 stacks of 8 MB cannot fit in 128 MB
        } catch (const std::system_error& e) {
            if (std::string(e.what()).find("could not start 63 threads") == std::string::npos) std::_Exit(5);
        } catch (...) {
            std::_Exit(6);
        }
        try {
            std::vector<char> block(48u << 20, 1);
            WorkerPool small(2);
            std::atomic<int> ran{0};
            auto task = [&](std::size_t, std::size_t) { ++ran; };
            small.run(10, task);
            if (ran != 10 || block[1000] != 1) std::_Exit(7);
        } catch (...) {
            std::_Exit(8);  // the failed pool's threads still hold the address space
        }
    });
#endif
}

}  // namespace
}  // namespace morva::testing
