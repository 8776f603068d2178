// The PCG random source: PCG-XSH-RR with a 64-bit state and a 32-bit output.
//
// A `Pcg` is the default kind of every random stream of a station run. It is
// two 64-bit words, cheap enough to create afresh for every subfault and ray.
// All arithmetic on the 64-bit words wraps modulo 2^64; shifts are logical.
#pragma once

#include <cstdint>
#include <span>

namespace kelvane::rng {

// Defined in kelvane/rng.hpp, which this header includes at its end.
inline float unit_interval_from(std::uint32_t word) noexcept;

namespace pcg {

// 6364136223846793005: the PCG multiplier of the generator step and of the
// seed expansion.
inline constexpr std::uint64_t PCG_MULTIPLIER = 0x5851f42d4c957f2dULL;
// The increment used by the seed expansion only (the generator's own
// increment comes out of that expansion).
inline constexpr std::uint64_t SEED_EXPANSION_INCREMENT = 0xa17654e46fbe17f3ULL;

// The XSH-RR output function of a state word: xorshift high, then a random
// rotation chosen by the top five bits.
inline constexpr std::uint32_t pcg_output(std::uint64_t state) noexcept {
    const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rotation = static_cast<unsigned>(state >> 59);
    return (x >> rotation) | (x << ((32u - rotation) & 31u));
}

// The PCG32 generator: a state word and an (always odd) increment.
struct Pcg32 {
    std::uint64_t state;      // current state word
    std::uint64_t increment;  // stream selector, odd

    // One 32-bit output, taken from the state before the step.
    std::uint32_t next_u32() noexcept {
        const std::uint64_t old = state;
        state = (old * PCG_MULTIPLIER) + increment;
        return pcg_output(old);
    }

    // Two consecutive outputs: the first is the low half, the second the high.
    std::uint64_t next_u64() noexcept {
        const std::uint64_t low = next_u32();
        const std::uint64_t high = next_u32();
        return low | (high << 32);
    }
};

// The PCG kind of random source (`Modern` in `DrawSource`).
struct Pcg {
    Pcg32 generator;

    // The source for `seed`, by the four-step seed expansion.
    static Pcg seed(std::uint64_t seed) noexcept;

    // A fresh source seeded with `seed`; this source is neither read nor changed.
    Pcg respawn(std::uint64_t seed) const noexcept { return Pcg::seed(seed); }

    // One value in [0, 1 - 2^-24], a multiple of 2^-24; one 32-bit output.
    float uniform() noexcept { return unit_interval_from(generator.next_u32()); }

    // One standard-normal value by the ziggurat, over 64-bit words made of two
    // outputs each.
    float normal() noexcept;

    // One `normal()` (or `uniform()`) per slot, slot 0 first.
    void fill_normal(std::span<float> out) noexcept;
    void fill_uniform(std::span<float> out) noexcept;
};

}  // namespace pcg

using pcg::Pcg;

}  // namespace kelvane::rng

#include "kelvane/rng.hpp"
