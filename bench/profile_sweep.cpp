// profile_sweep.cpp: a fixed stretch of sequential sweeps on one shared scene, for instruction-count
// profilers. Only profiled_steps is meant to be collected, e.g.
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*profiled_steps*' morva_profile b2 2 1
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scenes.hpp"

namespace {

[[gnu::noinline]] void profiled_steps(morva::Morva& m, std::uint64_t mcs) { m.step(mcs); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s b1|b1_terms|b1_act|b1_persistent|b2 warm_up_mcs profiled_mcs\n", argv[0]);
        return 2;
    }
    const char* scene = argv[1];
    morva::Morva m;
    if (std::strcmp(scene, "b1") == 0) m = morva::scenes::b1_cell_sorting(1);
    else if (std::strcmp(scene, "b1_terms") == 0) m = morva::scenes::b1_all_terms(1);
    else if (std::strcmp(scene, "b1_act") == 0) m = morva::scenes::b1_act(1);
    else if (std::strcmp(scene, "b1_persistent") == 0) m = morva::scenes::b1_persistent(1);
    else if (std::strcmp(scene, "b2") == 0) m = morva::scenes::b2_adhesion_3d(1);
    else {
        std::fprintf(stderr, "unknown scene %s\n", scene);
        return 2;
    }
    m.step(std::strtoull(argv[2], nullptr, 10));
    const std::uint64_t mcs = std::strtoull(argv[3], nullptr, 10);
    profiled_steps(m, mcs);
    std::printf("attempts %llu\n", static_cast<unsigned long long>(mcs * m.world.lattice.n_sites()));
    return 0;
}
