// Parallel sweeps of different worlds from several threads on one pool, and runs stopped between steps.
// Named Parallel* so that the ThreadSanitizer build runs them.
#include <gtest/gtest.h>

#include <thread>

#include "helpers.hpp"
#include "parallel.hpp"

namespace morva::testing {
namespace {

Morva tissue(std::uint64_t seed) {
    World w = random_world({20, 18, 6}, Boundary::Periodic, 3, 12, seed, 0.2);
    w.temperature = 6.0;
    w.add_field("f", 0.1, 0.01);
    w.set_secretion(0, 1, 1.0);
    return Morva::make(std::move(w), seed + 1);
}

void expect_same(const Morva& a, const Morva& b) {
    EXPECT_EQ(a.world.lattice.labels, b.world.lattice.labels);
    EXPECT_EQ(a.rng.s, b.rng.s);
    expect_same_trackers(a.world.cells, b.world.cells);
    EXPECT_EQ(a.world.fields[0].conc, b.world.fields[0].conc);
}

TEST(ParallelSharedPool, SweepsFromTwoThreadsMatchSweepsOneAfterTheOther) {
    WorkerPool pool(3);
    Morva a = tissue(1), b = tissue(2), a_alone = tissue(1), b_alone = tissue(2);
    std::thread first([&] { step_parallel_on(a, 6, 4, pool); });
    std::thread second([&] { step_parallel_on(b, 6, 5, pool); });
    first.join();
    second.join();
    step_parallel_on(a_alone, 6, 4, pool);
    step_parallel_on(b_alone, 6, 5, pool);
    expect_same(a, a_alone);
    expect_same(b, b_alone);
}

// The check stops the run after k steps: the state is what a run of k steps gives.
TEST(ParallelStepCheck, StoppedRunsEqualShorterRuns) {
    struct Stop {
        std::uint64_t at;
        std::uint64_t asked = 0;
        static bool keep_going(void* self, std::uint64_t done) {
            auto& s = *static_cast<Stop*>(self);
            ++s.asked;
            return done < s.at;
        }
    };
    WorkerPool pool(2);
    for (const bool parallel : {false, true}) {
        Stop stop{3};
        Morva stopped = tissue(4), shorter = tissue(4);
        const StepCheck check{&Stop::keep_going, &stop};
        const std::uint64_t done = parallel ? step_parallel_on(stopped, 10, 4, pool, check) : stopped.step(10, check);
        EXPECT_EQ(done, 3u);
        EXPECT_EQ(stop.asked, 3u);
        if (parallel)
            step_parallel_on(shorter, 3, 4, pool);
        else
            shorter.step(3);
        expect_same(stopped, shorter);

        Stop never{100};
        Morva full = tissue(4);
        const StepCheck all{&Stop::keep_going, &never};
        EXPECT_EQ(parallel ? step_parallel_on(full, 5, 4, pool, all) : full.step(5, all), 5u);
        EXPECT_EQ(never.asked, 4u);  // between steps only
    }
}

}  // namespace
}  // namespace morva::testing
