// The fixture random source: a SplitMix64 counter.
//
// Selected for a whole station run by the environment variable
// KELVANE_FIXTURE_RNG. It is seeded from the low 32 bits of a stream seed only
// (read as a signed 32-bit integer), so it reproduces streams keyed by 32-bit
// seeds. All arithmetic on 64-bit words wraps modulo 2^64; shifts are logical.
#pragma once

#include <cstdint>
#include <span>

namespace kelvane::sim {
// Defined in kelvane/rng.hpp: the finaliser that ends every SplitMix64 word.
inline std::uint64_t mix64(std::uint64_t z) noexcept;
}  // namespace kelvane::sim

namespace kelvane::rng {

// Defined in kelvane/rng.hpp, which this header includes at its end.
inline float unit_interval_from(std::uint32_t word) noexcept;

namespace fixture {

// 0x9e3779b97f4a7c15 = 2^64 / golden ratio, rounded to odd: the SplitMix64
// step and the seeding XOR.
inline constexpr std::uint64_t GOLDEN_GAMMA = 0x9e3779b97f4a7c15ULL;

// The fixture kind of random source (`Fixture` in `DrawSource`).
struct FixtureDraws {
    std::uint64_t state;  // counter: seed state + (words drawn) x GOLDEN_GAMMA

    // The source for a signed 32-bit seed: state = sign-extended irand XOR gamma.
    static FixtureDraws seed(std::int32_t irand) noexcept {
        return FixtureDraws{static_cast<std::uint64_t>(static_cast<std::int64_t>(irand)) ^
                            GOLDEN_GAMMA};
    }

    // A fresh source seeded with the low 32 bits of `seed` read as a signed
    // 32-bit integer; this source is neither read nor changed.
    FixtureDraws respawn(std::uint64_t seed) const noexcept {
        return FixtureDraws::seed(static_cast<std::int32_t>(static_cast<std::uint32_t>(seed)));
    }

    // One SplitMix64 word: advance the counter, then mix it.
    std::uint64_t next_word() noexcept {
        state += GOLDEN_GAMMA;
        return sim::mix64(state);
    }

    // One value in [0, 1 - 2^-24] from the top 24 bits of one word.
    float uniform() noexcept {
        return unit_interval_from(static_cast<std::uint32_t>(next_word() >> 32));
    }

    // One standard-normal value by the ziggurat, one word per 64-bit draw.
    float normal() noexcept;

    // One `normal()` (or `uniform()`) per slot, slot 0 first.
    void fill_normal(std::span<float> out) noexcept;
    void fill_uniform(std::span<float> out) noexcept;
};

}  // namespace fixture

using fixture::FixtureDraws;

}  // namespace kelvane::rng

#include "kelvane/rng.hpp"
