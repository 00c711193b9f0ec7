// bench_sweep.cpp: the sequential sweep on the shared scenes B1 and B2, the draw-only floor, and a
// count of heap allocations made while stepping (a global operator new that counts).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "scenes.hpp"

namespace {
std::atomic<std::uint64_t> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using morva::Morva;

void report(benchmark::State& state, std::uint64_t sites, std::uint64_t allocs) {
    state.counters["MCS/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["attempts/s"] = benchmark::Counter(static_cast<double>(state.iterations() * sites),
                                                      benchmark::Counter::kIsRate);
    state.counters["allocs/MCS"] = static_cast<double>(allocs) / static_cast<double>(state.iterations());
}

template <Morva (*Scene)(std::uint64_t)>
void BM_Step(benchmark::State& state) {
    Morva m = Scene(1);
    m.step(static_cast<std::uint64_t>(state.range(0)));  // warm-up
    const std::uint64_t before = allocations.load();
    for (auto _ : state) m.step(1);
    report(state, m.world.lattice.n_sites(), allocations.load() - before);
}

// Only the draws every attempt must make: the target and the neighbour index.
template <Morva (*Scene)(std::uint64_t)>
void BM_DrawFloor(benchmark::State& state) {
    Morva m = Scene(1);
    const std::uint64_t n = m.world.lattice.n_sites(), k = m.world.lattice.linear_offsets.size();
    std::uint64_t sink = 0;
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < n; ++i) sink += m.rng.below(n) + m.rng.below(k);
        benchmark::DoNotOptimize(sink);
    }
    report(state, n, 0);
}

// B1 with every optional term of the sequential sweep switched on, each weak enough to leave the
// sorting dynamics in place: measures what the terms cost per attempt and that they allocate nothing.
Morva b1_all_terms(std::uint64_t seed) {
    Morva m = morva::scenes::b1_cell_sorting(seed);
    morva::World& w = m.world;
    for (const morva::CellType t : {1, 2}) {
        w.set_connectivity(t, true);
        w.set_length_constraint(t, 12.0, 0.1);
        w.set_external_potential(t, 0.01, 0.0, 0.0);
        w.set_membrane_anchored(t, true);
        w.set_junction(t, true);
    }
    w.set_junction_lambda(1.0);
    w.set_membrane({w.lattice.site_of(100, 100, 0)}, 0.001, 60.0);
    return m;
}

BENCHMARK(BM_Step<morva::scenes::b1_cell_sorting>)->Name("B1_step")->Arg(50)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Step<b1_all_terms>)->Name("B1_terms_step")->Arg(50)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawFloor<morva::scenes::b1_cell_sorting>)->Name("B1_floor")->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Step<morva::scenes::b2_adhesion_3d>)->Name("B2_step")->Arg(5)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawFloor<morva::scenes::b2_adhesion_3d>)->Name("B2_floor")->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
