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

// The SH pattern
//   cr cd ci sin az + cr sd si cos 2az + sr cos 2dip ci cos az
//   - 1/2 sr sin 2dip si sin 2az,
// in the bracketing that fixes its rounding (the doublings are exact).
inline float sh_from(const AngleTerms& t) noexcept {
    const float sr = t.sin_rake, cr = t.cos_rake, sd = t.sin_dip, cd = t.cos_dip;
    const float si = t.sin_takeoff, ci = t.cos_takeoff, sa = t.sin_az, ca = t.cos_az;
    const float cos2d = (cd * cd) - (sd * sd);
    const float cos2p = (ca * ca) - (sa * sa);
    const float p = cd * cr;
    const float q = (cr * sd) * si;
    const float r = (sd * sr) * cd;
    const float s = cos2d * sr;
    return (((ci * s) * ca) + ((cos2p * q) + ((ci * p) * sa))) - (((2.0f * (si * r)) * sa) * ca);
}

// The SV pattern
//   sr cos 2dip cos 2i sin az - cr cd cos 2i cos az + 1/2 cr sd sin 2i sin 2az
//   - 1/2 sr sin 2dip sin 2i (1 + sin^2 az),
// with i the take-off angle, in the bracketing that fixes its rounding.
inline float sv_from(const AngleTerms& t) noexcept {
    const float sr = t.sin_rake, cr = t.cos_rake, sd = t.sin_dip, cd = t.cos_dip;
    const float si = t.sin_takeoff, ci = t.cos_takeoff, sa = t.sin_az, ca = t.cos_az;
    const float cos2d = (cd * cd) - (sd * sd);
    const float cos2i = (ci * ci) - (si * si);
    const float p = cd * cr;
    const float q = (cr * sd) * si;
    const float r = (sd * sr) * cd;
    const float s = cos2d * sr;
    return ((((2.0f * (q * ci)) * sa) * ca) + (((s * cos2i) * sa) - ((cos2i * p) * ca))) -
           (((sa * sa) + 1.0f) * (((2.0f * r) * si) * ci));
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

    // Mean square projection over perturbed geometries.
    float sum_of_squares = 0.0f;
    for (std::size_t n = 0; n < sample_count; ++n) {
        // Five draws, one statement each so their order is fixed.
        const float u1 = rng.uniform();
        const float u2 = rng.uniform();
        const float u3 = rng.uniform();
        const float u4 = rng.uniform();
        const float u5 = rng.uniform();
        RadiationAngles perturbed;
        perturbed.takeoff_rad = ((0.5f - u1) * conical_perturbation_rad) + angles.takeoff_rad;
        perturbed.azimuth_rad = ((0.5f - u2) * conical_perturbation_rad) + angles.azimuth_rad;
        perturbed.strike_rad = ((0.5f - u3) * conical_perturbation_rad) + angles.strike_rad;
        perturbed.dip_rad = ((0.5f - u4) * conical_perturbation_rad) + angles.dip_rad;
        perturbed.rake_rad = ((0.5f - u5) * conical_perturbation_rad) + angles.rake_rad;
        const ShearRadiation sample = radiation_pattern(perturbed);
        const float p = project_horizontal(sample, component_rad, perturbed.azimuth_rad);
        sum_of_squares = sum_of_squares + (p * p);
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

}  // namespace kelvane::radiation
