// Random streams of a station run.
//
// Every random number of a run comes from a `DrawSource`: either the PCG
// source (`Modern`, holding a `Pcg`) or the fixture source (`Fixture`, holding
// a `FixtureDraws`), chosen once per run from the environment. A station's
// record depends bit for bit on the 64-bit words these sources produce and on
// the order they are consumed in, so every step here is exact: integer
// arithmetic wraps modulo 2^64, shifts are logical, and the normal sampler's
// 64-bit float operations are written in the order that fixes their rounding.
//
// Sources are used by static dispatch only (the `Draws` concept); drawing
// allocates nothing and calls nothing beyond exp and ln in the rare slow paths
// of the normal sampler.
//
// Glossary of the normal sampler (a 256-layer ziggurat): X[i] is the right edge
// of layer i, F[i] = exp(-X[i]^2 / 2) the density there; R = X[1] is where the
// tail starts.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <variant>

#include "kelvane/rng/fixture.hpp"
#include "kelvane/rng/pcg.hpp"

namespace kelvane::rng {

// The top 24 bits of `word` scaled into [0, 1 - 2^-24]: (word >> 8) converts to
// a 32-bit float exactly and the scaling by 2^-24 is exact.
inline float unit_interval_from(std::uint32_t word) noexcept {
    return static_cast<float>(word >> 8) * 0x1p-24f;
}

// Ziggurat tables, 257 entries each: X falls strictly from X[0] to X[256] = 0
// and F rises to F[256] = 1. X[0] = V / f(R) (V = 0.00492867323399, the common
// area of the layers), X[1] = R, X[n] = f^-1(V / X[n-1] + f(X[n-1])),
// F[n] = f(X[n]) with f(x) = exp(-x x / 2); F[3] is one unit in the last place
// above that rule, and F[0] is never read.
extern const std::array<double, 257> ZIG_NORM_X;
extern const std::array<double, 257> ZIG_NORM_F;

// R: where the tail of the normal starts (= ZIG_NORM_X[1]), 64-bit.
inline constexpr double ZIG_NORM_R = 3.654152885361009;

// The 64-bit float (w >> 12) x 2^-53 x 2 + 2^-53, an odd multiple of 2^-53 in
// (0, 1): never 0, so its logarithm is finite.
inline double open01_from(std::uint64_t word) noexcept {
    return (static_cast<double>(word >> 12) * 2.0 + 1.0) * 0x1p-53;
}

// One standard-normal value from the 64-bit words of `next_word` (a callable
// returning std::uint64_t), narrowed to 32 bits at the end. A draw takes one
// word when the layer accepts outright, two when the density test decides, and
// one plus two per pass when it enters the tail; a rejection starts over with
// fresh words.
template <class NextWord>
float ziggurat_normal(NextWord&& next_word) noexcept {
    for (;;) {
        const std::uint64_t w = next_word();
        // Layer from bits 0..7; bits 8..11 are unused.
        const auto i = static_cast<std::size_t>(w & 255u);
        // u in [-1, 1): the float with exponent 2^1 and mantissa w >> 12, in
        // [2, 4), minus 3 (both steps exact).
        const double u =
            std::bit_cast<double>((std::uint64_t{0x400} << 52) | (w >> 12)) - 3.0;
        const double x = u * ZIG_NORM_X[i];
        // Inside the layer's rectangle: accept outright.
        if (std::fabs(x) < ZIG_NORM_X[i + 1]) return static_cast<float>(x);
        if (i == 0) {
            // Base layer past R: sample the tail by Marsaglia's exponential
            // method, a from the first word of each pass, b from the second.
            double xt = 0.0;
            double yt = 0.0;
            do {
                const double a = open01_from(next_word());
                const double b = open01_from(next_word());
                xt = std::log(a) / ZIG_NORM_R;
                yt = std::log(b);
            } while (!((-2.0 * yt) >= (xt * xt)));
            return static_cast<float>(u < 0.0 ? (xt - ZIG_NORM_R) : (ZIG_NORM_R - xt));
        }
        // The wedge between the rectangles: accept when a uniform height lies
        // below the density.
        const double big_u = static_cast<double>(next_word() >> 11) * 0x1p-53;
        const double height =
            ZIG_NORM_F[i + 1] + ((ZIG_NORM_F[i] - ZIG_NORM_F[i + 1]) * big_u);
        if (height < std::exp((x * x) * (-0.5))) return static_cast<float>(x);
    }
}

// The interface of a random source. `fill_normal` and `fill_uniform` mean one
// single draw per slot, slot 0 first (an empty list draws nothing); each
// source writes its own loop so that its state stays in registers.
template <class D>
concept Draws = requires(D source, const D& held, std::uint64_t seed, std::span<float> out) {
    { held.respawn(seed) } -> std::same_as<D>;
    { source.uniform() } -> std::same_as<float>;
    { source.normal() } -> std::same_as<float>;
    { source.fill_normal(out) } -> std::same_as<void>;
    { source.fill_uniform(out) } -> std::same_as<void>;
};

// A stream of a station run: the PCG kind (`Modern`) or the fixture kind
// (`Fixture`); every stream made from it by `respawn` has its kind.
class DrawSource {
public:
    enum class Kind { Modern, Fixture };

    static DrawSource modern(Pcg source) noexcept { return DrawSource(source); }
    static DrawSource fixture(FixtureDraws source) noexcept { return DrawSource(source); }

    // The station stream for `seed`. Looks KELVANE_FIXTURE_RNG up on every
    // call: present (with any value, the empty one included) selects the
    // fixture source seeded with the low 32 bits of `seed` read as a signed
    // 32-bit integer; absent selects `Pcg::seed(seed)`. The value is never read.
    static DrawSource for_station(std::uint64_t seed);

    Kind kind() const noexcept { return source_.index() == 0 ? Kind::Modern : Kind::Fixture; }
    // The held source, or null when the stream is of the other kind.
    const Pcg* modern_source() const noexcept { return std::get_if<Pcg>(&source_); }
    const FixtureDraws* fixture_source() const noexcept {
        return std::get_if<FixtureDraws>(&source_);
    }

    // A fresh stream of the same kind seeded with `seed`.
    DrawSource respawn(std::uint64_t seed) const noexcept {
        if (const Pcg* p = std::get_if<Pcg>(&source_)) return DrawSource(p->respawn(seed));
        return DrawSource(std::get<FixtureDraws>(source_).respawn(seed));
    }

    float uniform() noexcept {
        if (Pcg* p = std::get_if<Pcg>(&source_)) return p->uniform();
        return std::get_if<FixtureDraws>(&source_)->uniform();
    }
    float normal() noexcept {
        if (Pcg* p = std::get_if<Pcg>(&source_)) return p->normal();
        return std::get_if<FixtureDraws>(&source_)->normal();
    }
    // The kind is selected once per list, not once per slot.
    void fill_normal(std::span<float> out) noexcept {
        if (Pcg* p = std::get_if<Pcg>(&source_)) return p->fill_normal(out);
        return std::get_if<FixtureDraws>(&source_)->fill_normal(out);
    }
    void fill_uniform(std::span<float> out) noexcept {
        if (Pcg* p = std::get_if<Pcg>(&source_)) return p->fill_uniform(out);
        return std::get_if<FixtureDraws>(&source_)->fill_uniform(out);
    }

private:
    explicit DrawSource(Pcg source) noexcept : source_(source) {}
    explicit DrawSource(FixtureDraws source) noexcept : source_(source) {}

    std::variant<Pcg, FixtureDraws> source_;  // Modern first, then Fixture
};

static_assert(Draws<Pcg>);
static_assert(Draws<FixtureDraws>);
static_assert(Draws<DrawSource>);

}  // namespace kelvane::rng

namespace kelvane::sim {

// 0x9e3779b97f4a7c15 = 2^64 / golden ratio, rounded to odd: the offset of
// segments and rays in the seed tree.
inline constexpr std::uint64_t SEED_TREE_GAMMA = 0x9e3779b97f4a7c15ULL;

// The SplitMix64 finaliser (Stafford's "mix13" multipliers): every subfault
// and ray stream seed is derived through it. mix64(0) = 0.
inline std::uint64_t mix64(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The part of a subfault seed that depends on the station and the segment only
// (`segment` counted from 0 in the simulator's segment list): computed once
// per segment.
inline std::uint64_t segment_seed(std::uint64_t station_seed, std::size_t segment) noexcept {
    return mix64(station_seed ^ (static_cast<std::uint64_t>(segment) * SEED_TREE_GAMMA));
}

// A subfault seed from its segment's `segment_seed` and its grid index
// (`subfault` counted from 0 in the segment's subfault list).
inline std::uint64_t substream_seed_from_segment(std::uint64_t segment_seed_value,
                                                 std::size_t subfault) noexcept {
    return mix64(segment_seed_value ^ static_cast<std::uint64_t>(subfault));
}

// The seed of the stream of subfault `subfault` of segment `segment`.
inline std::uint64_t substream_seed(std::uint64_t station_seed, std::size_t segment,
                                    std::size_t subfault) noexcept {
    return substream_seed_from_segment(segment_seed(station_seed, segment), subfault);
}

// The seed of the stream of ray `ray` (its position in the configured ray set,
// from 0) of the subfault whose seed is `subfault_seed`.
inline std::uint64_t ray_stream_seed(std::uint64_t subfault_seed, std::size_t ray) noexcept {
    return mix64(subfault_seed ^ ((static_cast<std::uint64_t>(ray) + 1u) * SEED_TREE_GAMMA));
}

}  // namespace kelvane::sim
