// Faults found by hostile probes: each test pins one mended fault.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "helpers.hpp"

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

}  // namespace
}  // namespace morva::testing
