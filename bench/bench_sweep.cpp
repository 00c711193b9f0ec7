// bench_sweep.cpp: the sequential sweep on the shared scenes B1 and B2, the draw-only floor, and a
// count of heap allocations made while stepping (a global operator new that counts).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "draw_floor.hpp"
#include "scenes.hpp"
#include "state_size.hpp"

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
    const std::size_t bytes_before = morva::state_bytes(m);
    for (auto _ : state) m.step(1);
    report(state, m.world.lattice.n_sites(), allocations.load() - before);
    const auto sites = static_cast<double>(m.world.lattice.n_sites());
    state.counters["bytes/site"] = static_cast<double>(morva::state_bytes(m)) / sites;
    state.counters["growth_bytes"] = static_cast<double>(morva::state_bytes(m)) - static_cast<double>(bytes_before);
}

template <Morva (*Scene)(std::uint64_t)>
void BM_DrawFloor(benchmark::State& state) {
    Morva m = Scene(1);
    const std::uint64_t n = m.world.lattice.n_sites(), k = m.world.lattice.linear_offsets.size();
    for (auto _ : state) benchmark::DoNotOptimize(morva::bench::draw_floor(m.rng, n, k));
    report(state, n, 0);
}

// B1 with one optional term on: the per-term cost table.
template <morva::scenes::Term T>
Morva b1_one_term(std::uint64_t seed) {
    Morva m = morva::scenes::b1_cell_sorting(seed);
    morva::scenes::add_b1_term(m.world, T);
    return m;
}

BENCHMARK(BM_Step<morva::scenes::b1_cell_sorting>)->Name("B1_step")->Arg(50)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Step<morva::scenes::b1_all_terms>)->Name("B1_terms_step")->Arg(50)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Step<morva::scenes::b1_act>)->Name("B1_act_step")->Arg(50)->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Step<morva::scenes::b1_persistent>)->Name("B1_persistent_step")->Arg(50)->Iterations(200)->Unit(benchmark::kMillisecond);
#define MORVA_TERM_BENCH(term, name)                                                                  \
    BENCHMARK(BM_Step<b1_one_term<morva::scenes::Term::term>>)->Name("B1_only_" name "_step")->Arg(50) \
        ->Iterations(200)->Unit(benchmark::kMillisecond);
MORVA_TERM_BENCH(Connectivity, "connectivity")
MORVA_TERM_BENCH(Length, "length")
MORVA_TERM_BENCH(Junction, "junction")
MORVA_TERM_BENCH(Membrane, "membrane")
MORVA_TERM_BENCH(External, "external")
MORVA_TERM_BENCH(Fields, "fields")
#undef MORVA_TERM_BENCH
BENCHMARK(BM_DrawFloor<morva::scenes::b1_cell_sorting>)->Name("B1_floor")->Iterations(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Step<morva::scenes::b2_adhesion_3d>)->Name("B2_step")->Arg(5)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DrawFloor<morva::scenes::b2_adhesion_3d>)->Name("B2_floor")->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
