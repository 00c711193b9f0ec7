// bench_field.cpp: field advances (diffusion and decay, no secretion) on a 200 x 200 and a 100^3 box,
// each beside a plain copy of the same array, the floor a memory-bound stencil cannot beat.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "scenes.hpp"

namespace {

using morva::SiteIndex;
using morva::World;
using morva::Boundary;

World field_world(std::array<SiteIndex, 3> dims, Boundary boundary) {
    World w = morva::make_world(dims, boundary, 1);
    w.add_field("u", 0.1, 0.001);
    std::mt19937 gen(5);
    std::uniform_real_distribution<float> value(0.0f, 10.0f);
    for (float& c : w.fields[0].conc) c = value(gen);
    return w;
}

void report(benchmark::State& state, std::uint64_t sites) {
    state.counters["sites/s"] = benchmark::Counter(static_cast<double>(state.iterations() * sites),
                                                   benchmark::Counter::kIsRate);
}

void BM_FieldAdvance(benchmark::State& state, std::array<SiteIndex, 3> dims, Boundary boundary) {
    World w = field_world(dims, boundary);
    w.advance_fields();  // sizes the scratch array
    for (auto _ : state) {
        w.advance_fields();
        benchmark::DoNotOptimize(w.fields[0].conc.data());
        benchmark::ClobberMemory();
    }
    report(state, w.lattice.n_sites());
}

// Reads and writes the same number of floats as one diffusion step, with no arithmetic.
void BM_CopyFloor(benchmark::State& state, std::array<SiteIndex, 3> dims) {
    World w = field_world(dims, Boundary::Periodic);
    std::vector<float>& from = w.fields[0].conc;
    std::vector<float> to(from.size());
    for (auto _ : state) {
        std::copy(from.begin(), from.end(), to.begin());
        from.swap(to);
        benchmark::DoNotOptimize(from.data());
        benchmark::ClobberMemory();
    }
    report(state, w.lattice.n_sites());
}

// B1 with a field that type 1 secretes and type 2 follows: the cost of chemotaxis and secretion in
// the sweep, to set beside B1_step.
void BM_B1Chemotaxis(benchmark::State& state) {
    morva::Morva m = morva::scenes::b1_cell_sorting(1);
    morva::World& w = m.world;
    w.add_field("u", 0.1, 0.001);
    w.set_secretion(0, 1, 0.05);
    w.set_chemotaxis(0, 2, 5.0);
    m.step(5);  // warm-up
    for (auto _ : state) m.step(1);
    state.counters["attempts/s"] = benchmark::Counter(static_cast<double>(state.iterations() * w.lattice.n_sites()),
                                                      benchmark::Counter::kIsRate);
}

constexpr std::array<SiteIndex, 3> square{200, 200, 1};
constexpr std::array<SiteIndex, 3> cube{100, 100, 100};

BENCHMARK_CAPTURE(BM_FieldAdvance, 2d_periodic, square, Boundary::Periodic)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FieldAdvance, 2d_noflux, square, Boundary::Noflux)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_CopyFloor, 2d, square)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_FieldAdvance, 3d_periodic, cube, Boundary::Periodic)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FieldAdvance, 3d_noflux, cube, Boundary::Noflux)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CopyFloor, 3d, cube)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_B1Chemotaxis)->Name("B1_step_chemotaxis")->Iterations(100)->Unit(benchmark::kMillisecond);

}  // namespace
