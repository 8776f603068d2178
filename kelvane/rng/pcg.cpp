// The PCG source: seed expansion and the normal and list draws.
#include "kelvane/rng/pcg.hpp"

#include <cstring>

namespace kelvane::rng::pcg {

Pcg Pcg::seed(std::uint64_t seed) noexcept {
    // Expand the seed into four 32-bit words with a fixed-increment PCG.
    std::uint32_t words[4];
    std::uint64_t s = seed;
    for (std::uint32_t& word : words) {
        s = (s * PCG_MULTIPLIER) + SEED_EXPANSION_INCREMENT;
        word = pcg_output(s);
    }
    // Read the 16 bytes back as two little-endian 64-bit words:
    // lo = w0 + w1 2^32, hi = w2 + w3 2^32.
    const std::uint64_t lo = std::uint64_t{words[0]} | (std::uint64_t{words[1]} << 32);
    const std::uint64_t hi = std::uint64_t{words[2]} | (std::uint64_t{words[3]} << 32);
    // The increment must be odd; the state takes one step from lo.
    const std::uint64_t increment = hi | 1u;
    const std::uint64_t state = ((lo + increment) * PCG_MULTIPLIER) + increment;
    return Pcg{Pcg32{state, increment}};
}

float Pcg::normal() noexcept {
    return ziggurat_normal([this]() noexcept { return generator.next_u64(); });
}

void Pcg::fill_normal(std::span<float> out) noexcept {
    // Work on a local copy of the generator so the loop keeps it in registers.
    Pcg32 local = generator;
    for (float& slot : out) {
        slot = ziggurat_normal([&local]() noexcept { return local.next_u64(); });
    }
    generator = local;
}

void Pcg::fill_uniform(std::span<float> out) noexcept {
    Pcg32 local = generator;
    for (float& slot : out) slot = unit_interval_from(local.next_u32());
    generator = local;
}

}  // namespace kelvane::rng::pcg
