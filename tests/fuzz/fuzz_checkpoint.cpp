// libFuzzer target on the checkpoint reader. Each input is read twice: as it is, and with its closing
// checksum made right, so that mutations reach past the checksum into the sections. Whatever the
// reader accepts must behave as a world: it survives a step of each sweep and a field advance, and
// writing it back and reading that again gives the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <vector>

#include "checkpoint.hpp"
#include "parallel.hpp"
#include "pool.hpp"
#include "setup.hpp"

namespace {

using namespace morva;

Morva driver_of(Session& s) {
    if (!s.rng) return finalize(std::move(s.world), s.contact_entries, 1);
    Morva m;
    m.world = std::move(s.world);
    m.rng = *s.rng;
    return m;
}

bool has_length_term(const World& w) {
    for (const double lambda : w.length.lambda_by_type)
        if (lambda > 0) return true;
    return false;
}

void exercise(Session s) {
    const std::vector<std::uint8_t> again = write_checkpoint({s.world, s.rng ? &*s.rng : nullptr, s.contact_entries});
    Session reread = read_checkpoint(again);
    const std::vector<std::uint8_t> third =
        write_checkpoint({reread.world, reread.rng ? &*reread.rng : nullptr, reread.contact_entries});
    if (third != again) std::abort();

    // Any substep count is valid, but a hostile one would make a step last for hours.
    for (Field& f : s.world.fields) f.substeps = std::min<std::uint32_t>(f.substeps, 3);
    Morva m = driver_of(s);
    m.step(1);
    if (!has_length_term(m.world)) {
        static WorkerPool pool(1);  // tasks inline, in order: the same code without thread hand-offs
        step_parallel_on(m, 1, 2, pool);
    }
    m.world.advance_fields();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        exercise(read_checkpoint({data, size}));
    } catch (const CheckpointError&) {
    }
    if (size < 32) return 0;
    std::vector<std::uint8_t> fixed(data, data + size);
    const std::uint64_t sum = checkpoint_checksum(std::span(fixed).first(size - 8));
    std::memcpy(fixed.data() + size - 8, &sum, 8);
    try {
        exercise(read_checkpoint(fixed));
    } catch (const CheckpointError&) {
    }
    return 0;
}
