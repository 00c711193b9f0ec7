// scouted_generator.hpp: the sequential sweep's generator for label grids larger than the caches.
// Every attempt starts with a load at a random target, a cache miss on such grids that nothing else
// can hide. The targets are outputs of the generator, so a second copy running a fixed number of
// outputs ahead knows the sites the next attempts may pick: each of its outputs is prefetched as if
// it were a target. About half of them are (an attempt takes two or three outputs); the rest are
// cheap wasted loads. The outputs handed to the sweep are the generator's own, in the same order.
#pragma once

#include "core.hpp"
#include "random.hpp"

namespace morva {

class ScoutedGenerator : public DerivedDraws<ScoutedGenerator> {
public:
    // How many outputs the scout runs ahead: about three attempts, enough to cover a miss to memory.
    static constexpr int lead = 8;

    ScoutedGenerator(const Xoshiro256pp& generator, const Label* labels, SiteIndex n_sites, std::int64_t plane)
        : main_(generator), scout_(generator), labels_(labels), n_sites_(n_sites), plane_(plane) {
        for (int i = 0; i < lead; ++i) look(scout_.next());
    }

    std::uint64_t next() {
        look(scout_.next());
        return main_.next();
    }

    // The generator as the sweep has consumed it.
    const Xoshiro256pp& generator() const { return main_; }

private:
    // The site `below(n_sites)` would give for this output (ignoring the rare rejection) and the
    // layers above and below it, which an attempt there reads too.
    void look(std::uint64_t output) const {
        const auto site = static_cast<SiteIndex>((static_cast<unsigned __int128>(output) * n_sites_) >> 64);
        const Label* at = labels_ + site;
        __builtin_prefetch(at);
        if (site >= static_cast<SiteIndex>(plane_)) __builtin_prefetch(at - plane_);
        if (site + static_cast<SiteIndex>(plane_) < n_sites_) __builtin_prefetch(at + plane_);
    }

    Xoshiro256pp main_, scout_;
    const Label* labels_;
    SiteIndex n_sites_;
    std::int64_t plane_;
};

}  // namespace morva
