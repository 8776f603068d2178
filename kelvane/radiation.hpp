// Double-couple shear-wave radiation patterns and the per-bin radiation gains
// of a ray's three component spectra.
//
// Angles are 32-bit radians: strike clockwise from north, dip from the
// horizontal, rake in the fault plane, azimuth from the subfault to the station
// clockwise from north, take-off from the downward vertical. Every product of
// the patterns is formed in 32 bits in the bracketed order written: the order
// is part of the result, because records reproduce bit for bit.
//
// Each gain row blends a theoretical gain (the pattern of the ray's own
// geometry) at low frequencies into a conical gain (an average over perturbed
// geometries) at high frequencies. The horizontal averages draw 5 uniforms per
// sample from the ray's stream; the vertical average draws nothing and reads
// the station's two pre-drawn uniform lists.
//
// Nothing here allocates, throws in a loop or keeps state; random sources are
// used by static dispatch (instantiated for `rng::DrawSource`).
#pragma once

#include <math.h>

#include <cstddef>
#include <span>

#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"
#include "kelvane/rng.hpp"

namespace kelvane::radiation {

// The geometry of one ray (32-bit radians).
struct RadiationAngles {
    float strike_rad;   // segment strike, clockwise from north (rad)
    float dip_rad;      // segment dip, from the horizontal (rad)
    float rake_rad;     // segment rake, in the fault plane (rad)
    float azimuth_rad;  // forward azimuth subfault -> station, clockwise from north (rad)
    float takeoff_rad;  // ray take-off angle, from the downward vertical (rad)
};

// Sines and cosines of the pattern's angles; az = azimuth - strike.
struct AngleTerms {
    float sin_rake;     // sr (1)
    float cos_rake;     // cr (1)
    float sin_dip;      // sd (1)
    float cos_dip;      // cd (1)
    float sin_takeoff;  // si (1)
    float cos_takeoff;  // ci (1)
    float sin_az;       // sa (1)
    float cos_az;       // ca (1)

    // Single-precision sincos of the rake, the dip, the take-off and az, in
    // that order; az is one 32-bit subtraction.
    static AngleTerms of(const RadiationAngles& angles) noexcept {
        AngleTerms t;
        ::sincosf(angles.rake_rad, &t.sin_rake, &t.cos_rake);
        ::sincosf(angles.dip_rad, &t.sin_dip, &t.cos_dip);
        ::sincosf(angles.takeoff_rad, &t.sin_takeoff, &t.cos_takeoff);
        ::sincosf(angles.azimuth_rad - angles.strike_rad, &t.sin_az, &t.cos_az);
        return t;
    }
};

// The two shear-wave pattern values of one geometry (1).
struct ShearRadiation {
    float sh;  // SH pattern (1)
    float sv;  // SV pattern (1)
};

// The partial products of both patterns that depend on the dip and the rake
// alone: cos 2dip, P = cd cr, cr sd (Q before its factor si), R = (sd sr) cd
// and S = cos 2dip sr.
template <class T>
struct DipRakeProducts {
    T cos2d;  // cos 2dip (1)
    T p;      // P (1)
    T cr_sd;  // cr sd (1)
    T r;      // R (1)
    T s;      // S (1)
};

// `DipRakeProducts` of the rake's and the dip's sines and cosines. `T` is
// float, or a vector of floats whose element-wise arithmetic rounds each lane
// exactly as float arithmetic does.
template <class T>
[[gnu::always_inline]] inline DipRakeProducts<T> dip_rake_products(T sr, T cr, T sd, T cd) noexcept {
    const T cos2d = (cd * cd) - (sd * sd);
    return DipRakeProducts<T>{cos2d, cd * cr, cr * sd, (sd * sr) * cd, cos2d * sr};
}

// The SH pattern
//   cr cd ci sin az + cr sd si cos 2az + sr cos 2dip ci cos az
//   - 1/2 sr sin 2dip si sin 2az,
// in the bracketing that fixes its rounding (the doublings are exact). `T` as
// for `dip_rake_products`.
template <class T>
[[gnu::always_inline]] inline T sh_pattern(T sr, T cr, T sd, T cd, T si, T ci, T sa, T ca) noexcept {
    const DipRakeProducts<T> k = dip_rake_products(sr, cr, sd, cd);
    const T cos2p = (ca * ca) - (sa * sa);
    const T q = k.cr_sd * si;
    return (((ci * k.s) * ca) + ((cos2p * q) + ((ci * k.p) * sa))) - (((2.0f * (si * k.r)) * sa) * ca);
}

// The SV pattern
//   sr cos 2dip cos 2i sin az - cr cd cos 2i cos az + 1/2 cr sd sin 2i sin 2az
//   - 1/2 sr sin 2dip sin 2i (1 + sin^2 az),
// with i the take-off angle, in the bracketing that fixes its rounding, from
// the dip-rake products `k`. `P` and `T` are each float or a vector of floats
// as for `dip_rake_products` (float products with vector angles broadcast).
template <class P, class T>
[[gnu::always_inline]] inline T sv_pattern_of(const DipRakeProducts<P>& k, T si, T ci, T sa,
                                              T ca) noexcept {
    const T cos2i = (ci * ci) - (si * si);
    const T q = k.cr_sd * si;
    return ((((2.0f * (q * ci)) * sa) * ca) + (((k.s * cos2i) * sa) - ((cos2i * k.p) * ca))) -
           (((sa * sa) + 1.0f) * (((2.0f * k.r) * si) * ci));
}

// The SV pattern of the eight sines and cosines; `T` as for
// `dip_rake_products`.
template <class T>
[[gnu::always_inline]] inline T sv_pattern(T sr, T cr, T sd, T cd, T si, T ci, T sa, T ca) noexcept {
    return sv_pattern_of(dip_rake_products(sr, cr, sd, cd), si, ci, sa, ca);
}

inline float sh_from(const AngleTerms& t) noexcept {
    return sh_pattern(t.sin_rake, t.cos_rake, t.sin_dip, t.cos_dip, t.sin_takeoff, t.cos_takeoff,
                      t.sin_az, t.cos_az);
}

inline float sv_from(const AngleTerms& t) noexcept {
    return sv_pattern(t.sin_rake, t.cos_rake, t.sin_dip, t.cos_dip, t.sin_takeoff, t.cos_takeoff,
                      t.sin_az, t.cos_az);
}

// SH and SV of one geometry.
inline ShearRadiation radiation_pattern(const RadiationAngles& angles) noexcept {
    const AngleTerms t = AngleTerms::of(angles);
    return ShearRadiation{sh_from(t), sv_from(t)};
}

// SV alone of one geometry.
inline float sv_radiation(const RadiationAngles& angles) noexcept {
    return sv_from(AngleTerms::of(angles));
}

// Half-width of the horizontal perturbations: each angle moves by
// (0.5 - u) x pi/2, up to +-45 degrees; 1.5707964 is pi/2 rounded to 32 bits.
inline constexpr float conical_perturbation_rad = 1.5707964f;

// The horizontal projection of a pattern onto a component whose direction is
// `component_rad` (E090: -pi/2, N000: 0) for a ray of azimuth `azimuth_rad`:
// sh sin d + sv cos d with d = component - azimuth.
inline float project_horizontal(const ShearRadiation& pattern, float component_rad,
                                float azimuth_rad) noexcept {
    float sin_d;
    float cos_d;
    ::sincosf(component_rad - azimuth_rad, &sin_d, &cos_d);
    return (pattern.sh * sin_d) + (pattern.sv * cos_d);
}

// Samples of a horizontal average whose uniforms are drawn into one buffer at
// a time (5 per sample): small enough for the stack and the first-level cache.
inline constexpr std::size_t conical_chunk_samples = 128;

// Adds, in sample order, the squared horizontal projections p^2 of the
// perturbed geometries of `uniforms.size() / 5` samples to `sum_of_squares`
// and returns the sum. Sample n perturbs `angles` by the five uniforms
// uniforms[5n .. 5n + 5): take-off, azimuth, strike, dip, rake, each moved by
// (0.5 - u) x pi/2. At most `conical_chunk_samples` samples; defined in
// radiation.cpp (no random draws, so not a template).
float add_perturbed_projections(std::span<const float> uniforms, const RadiationAngles& angles,
                                float component_rad, float sum_of_squares);

// Writes the horizontal gain row from the two gains and the polarity; defined
// in radiation.cpp (no random draws, so not a template).
void fill_horizontal_row(std::span<const float> frequency_hz, float theoretical_gain,
                         float conical_gain, float polarity, std::span<float> radiation);

// The gain row of one horizontal component of one ray, with the ray's
// unperturbed pattern `theoretical` (= radiation_pattern(angles), shared by
// the two horizontal components of a ray).
//   rng            the ray's random source; advanced by exactly 5 x sample_count
//                  uniforms, per sample in the order take-off, azimuth, strike,
//                  dip, rake.
//   frequency_hz   each bin's frequency (Hz), DC to Nyquist.
//   component_rad  the component's direction: -1.5707964 for E090, 0 for N000.
//   sample_count   number of perturbed geometries averaged, at least 1.
//   radiation      output, as long as `frequency_hz` (signed gain, 1).
// Every gain carries the sign of the unperturbed projection: up to 0.5 Hz the
// signed theoretical projection, above 2 Hz the root-mean-square projection of
// the perturbed geometries with that sign, a blend in ln f between.
template <rng::Draws D>
void horizontal_radiation_spectrum(D& rng, const RadiationAngles& angles,
                                   const ShearRadiation& theoretical,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::size_t sample_count, std::span<float> radiation) {
    KELVANE_CHECK(radiation.size() == frequency_hz.size(),
                  format("a radiation row of {} gains for {} frequencies", radiation.size(),
                         frequency_hz.size()));
    KELVANE_CHECK(sample_count >= 1, "a radiation average needs at least one sample");

    // The unperturbed projection gives the sign of the whole row (+1 for 0
    // and NaN) and the theoretical gain.
    const float projected = project_horizontal(theoretical, component_rad, angles.azimuth_rad);
    const float polarity = projected < 0.0f ? -1.0f : 1.0f;
    const float theoretical_gain = ::fabsf(projected);

    // Mean square projection over perturbed geometries. The uniforms are
    // drawn a chunk at a time into a buffer, in the order one sample after
    // another would draw them (take-off, azimuth, strike, dip, rake), and the
    // squares are added in sample order.
    float sum_of_squares = 0.0f;
    float uniforms[5 * conical_chunk_samples];
    for (std::size_t first = 0; first < sample_count; first += conical_chunk_samples) {
        const std::size_t count =
            sample_count - first < conical_chunk_samples ? sample_count - first : conical_chunk_samples;
        const std::span<float> drawn(uniforms, 5 * count);
        rng.fill_uniform(drawn);
        sum_of_squares = add_perturbed_projections(drawn, angles, component_rad, sum_of_squares);
    }
    const float conical_gain =
        ::sqrtf(sum_of_squares / static_cast<float>(sample_count));

    fill_horizontal_row(frequency_hz, theoretical_gain, conical_gain, polarity, radiation);
}

// The same, computing the unperturbed pattern from `angles` itself.
template <rng::Draws D>
void horizontal_radiation_spectrum(D& rng, const RadiationAngles& angles,
                                   std::span<const float> frequency_hz, float component_rad,
                                   std::size_t sample_count, std::span<float> radiation) {
    horizontal_radiation_spectrum(rng, angles, radiation_pattern(angles), frequency_hz,
                                  component_rad, sample_count, radiation);
}

extern template void horizontal_radiation_spectrum<rng::DrawSource>(
    rng::DrawSource&, const RadiationAngles&, const ShearRadiation&, std::span<const float>,
    float, std::size_t, std::span<float>);
extern template void horizontal_radiation_spectrum<rng::DrawSource>(
    rng::DrawSource&, const RadiationAngles&, std::span<const float>, float, std::size_t,
    std::span<float>);

// The gain row of the vertical component of one ray.
//   angles        the ray's geometry.
//   frequency_hz  each bin's frequency (Hz), DC to Nyquist.
//   uniform_a     the station's take-off uniforms, at least `sample_count`.
//   uniform_b     the station's azimuth uniforms; the average runs over as many
//                 pairs as the shorter of uniform_a[0 .. sample_count) and
//                 uniform_b.
//   sample_count  the divisor of the average, at least 1.
//   radiation     output, as long as `frequency_hz` (gain, 1).
// Up to 0.001 Hz the signed theoretical gain sv sin(take-off); above 0.01 Hz
// the conical gain, half the mean |sv sin t| over take-offs t within 40 degrees
// of the ray's (clipped to 90..180 degrees) and azimuths over the full circle,
// so it does not depend on the ray's azimuth; linear in f between.
void vertical_radiation_spectrum(const RadiationAngles& angles,
                                 std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a,
                                 std::span<const float> uniform_b, std::size_t sample_count,
                                 std::span<float> radiation);

// The sine and cosine of az = azimuth - strike for each of the vertical
// average's azimuth uniforms (azimuth = u x 2 pi), formed as
// `vertical_radiation_spectrum` forms them. They depend only on the station's
// uniforms and the segment's strike, so a station run forms them once per
// segment rather than once per ray. `sin_az` and `cos_az` are as long as
// `uniform_b`.
void vertical_azimuth_terms(std::span<const float> uniform_b, float strike_rad,
                            std::span<float> sin_az, std::span<float> cos_az);

// `vertical_radiation_spectrum` with the azimuth terms of `uniform_b` and the
// ray's strike formed beforehand by `vertical_azimuth_terms`: the same gains.
void vertical_radiation_spectrum(const RadiationAngles& angles,
                                 std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> sin_az,
                                 std::span<const float> cos_az, std::size_t sample_count,
                                 std::span<float> radiation);

}  // namespace kelvane::radiation
