// bench_parallel.cpp: the checkerboard sweep against the sequential sweep on B1 and B2, with one and
// two threads. The side-by-side runs interleave the three drivers step by step, so their ratios come
// from the same stretch of time on a shared machine.
#include <benchmark/benchmark.h>

#include <chrono>

#include "parallel.hpp"
#include "scenes.hpp"

namespace {

using morva::Morva;
using morva::WorkerPool;
using Clock = std::chrono::steady_clock;

constexpr std::size_t block = 16;  // the default tile side

// args: warm-up steps, threads.
template <Morva (*Scene)(std::uint64_t)>
void BM_Parallel(benchmark::State& state) {
    WorkerPool pool(static_cast<std::size_t>(state.range(1)));
    Morva m = Scene(1);
    morva::step_parallel_on(m, static_cast<std::uint64_t>(state.range(0)), block, pool);
    for (auto _ : state) morva::step_parallel_on(m, 1, block, pool);
    state.counters["MCS/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["threads"] = static_cast<double>(pool.size());
}

template <class F>
double seconds(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One iteration: one step of each driver. Reports each driver's MCS/s and the two ratios the targets
// name: one-thread parallel over sequential, and two threads over one.
template <Morva (*Scene)(std::uint64_t)>
void BM_SideBySide(benchmark::State& state) {
    const auto warm_up = static_cast<std::uint64_t>(state.range(0));
    WorkerPool one(1), two(2);
    Morva seq = Scene(1), par1 = Scene(1), par2 = Scene(1);
    seq.step(warm_up);
    morva::step_parallel_on(par1, warm_up, block, one);
    morva::step_parallel_on(par2, warm_up, block, two);
    double t_seq = 0, t_one = 0, t_two = 0;
    for (auto _ : state) {
        t_seq += seconds([&] { seq.step(1); });
        t_one += seconds([&] { morva::step_parallel_on(par1, 1, block, one); });
        t_two += seconds([&] { morva::step_parallel_on(par2, 1, block, two); });
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["step_MCS/s"] = n / t_seq;
    state.counters["par1_MCS/s"] = n / t_one;
    state.counters["par2_MCS/s"] = n / t_two;
    state.counters["par1/step"] = t_seq / t_one;
    state.counters["par2/par1"] = t_one / t_two;
    state.counters["threads"] = static_cast<double>(two.size());
}

BENCHMARK(BM_Parallel<morva::scenes::b1_cell_sorting>)->Name("B1_parallel")->ArgNames({"warmup", "threads"})
    ->Args({50, 1})->Args({50, 2})->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Parallel<morva::scenes::b2_adhesion_3d>)->Name("B2_parallel")->ArgNames({"warmup", "threads"})
    ->Args({5, 1})->Args({5, 2})->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SideBySide<morva::scenes::b1_cell_sorting>)->Name("B1_side_by_side")->Arg(50)->Iterations(200)
    ->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SideBySide<morva::scenes::b2_adhesion_3d>)->Name("B2_side_by_side")->Arg(5)->Iterations(20)
    ->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
