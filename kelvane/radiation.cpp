// Radiation gains of the three components of a ray.
//
// Notation: sr, cr, sd, cd, si, ci, sa, ca are the sines and cosines of the
// rake, the dip, the take-off and az = azimuth - strike (`AngleTerms`);
// P = cd cr, Q = (cr sd) si, R = (sd sr) cd, S = cos 2dip sr are the partial
// products of the patterns. All arithmetic is 32-bit, in the bracketed order
// written: records reproduce bit for bit only with this order.
#include "kelvane/radiation.hpp"

#include <math.h>

namespace kelvane::radiation {

namespace {

// The horizontal blend runs in ln f from 0.5 Hz (all theoretical) to 2 Hz (all
// conical); its weight ln(f / 0.5) / ln 4 is formed as ln(f + f) / ln 4, with
// 1.3862944 = ln 4 rounded to 32 bits.
constexpr float horizontal_blend_low_hz = 0.5f;
constexpr float horizontal_blend_high_hz = 2.0f;
constexpr float ln_horizontal_blend_ratio = 1.3862944f;

// The vertical blend runs linearly in f from 0.001 Hz (theoretical) to
// 0.01 Hz (conical); 0.009 is the width of that band (Hz).
constexpr float vertical_blend_low_hz = 0.001f;
constexpr float vertical_blend_high_hz = 0.01f;
constexpr float vertical_blend_width_hz = 0.009f;

// The vertical average samples take-offs within 40 degrees of the ray's
// (0.6981317 = 40 degrees in radians, rounded to 32 bits), clipped to the
// upgoing half-space between 90 degrees (1.5707964) and 180 degrees
// (3.1415927), and azimuths over the full circle (6.2831855 = 2 pi in 32 bits).
constexpr float vertical_takeoff_spread_rad = 0.6981317f;
constexpr float takeoff_horizontal_rad = 1.5707964f;
constexpr float takeoff_straight_up_rad = 3.1415927f;
constexpr float full_circle_rad = 6.2831855f;

// The vertical conical gain is half the mean magnitude.
constexpr float vertical_conical_scale = 0.5f;

}  // namespace

void fill_horizontal_row(std::span<const float> frequency_hz, float theoretical_gain,
                         float conical_gain, float polarity, std::span<float> radiation) {
    // Hoisted: the same 32-bit difference in every bin.
    const float spread = conical_gain - theoretical_gain;
    for (std::size_t i = 0; i < frequency_hz.size(); ++i) {
        const float f = frequency_hz[i];
        // Weight of the conical gain; a NaN frequency falls through to 1.
        float blend;
        if (f <= horizontal_blend_low_hz) {
            blend = 0.0f;
        } else if (f <= horizontal_blend_high_hz) {
            blend = ::logf(f + f) / ln_horizontal_blend_ratio;
        } else {
            blend = 1.0f;
        }
        radiation[i] = ((blend * spread) + theoretical_gain) * polarity;
    }
}

template void horizontal_radiation_spectrum<rng::DrawSource>(
    rng::DrawSource&, const RadiationAngles&, const ShearRadiation&, std::span<const float>,
    float, std::size_t, std::span<float>);
template void horizontal_radiation_spectrum<rng::DrawSource>(
    rng::DrawSource&, const RadiationAngles&, std::span<const float>, float, std::size_t,
    std::span<float>);

void vertical_radiation_spectrum(const RadiationAngles& angles,
                                 std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a,
                                 std::span<const float> uniform_b, std::size_t sample_count,
                                 std::span<float> radiation) {
    KELVANE_CHECK(radiation.size() == frequency_hz.size(),
                  format("a radiation row of {} gains for {} frequencies", radiation.size(),
                         frequency_hz.size()));
    KELVANE_CHECK(sample_count >= 1, "a radiation average needs at least one sample");
    KELVANE_CHECK(sample_count <= uniform_a.size(),
                  format("a vertical radiation average of {} samples from {} uniforms",
                         sample_count, uniform_a.size()));

    // Theoretical gain: the ray's own SV pattern times sin(take-off), signed.
    const AngleTerms ray = AngleTerms::of(angles);
    const float theoretical_gain = sv_from(ray) * ray.sin_takeoff;

    // Take-off range of the average, within 40 degrees of the ray's and inside
    // [90, 180] degrees; fmaxf/fminf give the whole range for a NaN take-off.
    const float takeoff_min_rad =
        ::fmaxf(angles.takeoff_rad - vertical_takeoff_spread_rad, takeoff_horizontal_rad);
    const float takeoff_max_rad =
        ::fminf(angles.takeoff_rad + vertical_takeoff_spread_rad, takeoff_straight_up_rad);
    const float cos_min = ::cosf(takeoff_min_rad);
    const float cos_max = ::cosf(takeoff_max_rad);

    // The products of the SV pattern that depend only on dip and rake, formed
    // exactly as in `sv_from` (strike, dip and rake are not perturbed here).
    const float sr = ray.sin_rake, cr = ray.cos_rake, sd = ray.sin_dip, cd = ray.cos_dip;
    const float cos2d = (cd * cd) - (sd * sd);
    const float p = cd * cr;
    const float cr_sd = cr * sd;
    const float r2 = 2.0f * ((sd * sr) * cd);
    const float s = cos2d * sr;

    // Mean |sv sin t| over the pre-drawn pairs.
    const std::size_t pairs = sample_count < uniform_b.size() ? sample_count : uniform_b.size();
    float sum_of_magnitudes = 0.0f;
    for (std::size_t n = 0; n < pairs; ++n) {
        const float ua = uniform_a[n];
        const float ub = uniform_b[n];
        // Uniform in cos(take-off) between the two limits.
        const float t = ::acosf((ua * cos_max) + ((1.0f - ua) * cos_min));
        const float azimuth_rad = ub * full_circle_rad;
        float si;
        float ci;
        float sa;
        float ca;
        ::sincosf(t, &si, &ci);
        ::sincosf(azimuth_rad - angles.strike_rad, &sa, &ca);
        // sv_from with the hoisted products; si is also sin t (the library's
        // sincosf and sinf agree, which the tests check).
        const float cos2i = (ci * ci) - (si * si);
        const float q = cr_sd * si;
        const float sv = ((((2.0f * (q * ci)) * sa) * ca) + (((s * cos2i) * sa) - ((cos2i * p) * ca))) -
                         (((sa * sa) + 1.0f) * ((r2 * si) * ci));
        sum_of_magnitudes = sum_of_magnitudes + ::fabsf(sv * si);
    }
    const float conical_gain =
        (sum_of_magnitudes / static_cast<float>(sample_count)) * vertical_conical_scale;

    // Linear blend in f; a NaN frequency takes the conical gain.
    const float spread = conical_gain - theoretical_gain;
    for (std::size_t i = 0; i < frequency_hz.size(); ++i) {
        const float f = frequency_hz[i];
        if (f <= vertical_blend_low_hz) {
            radiation[i] = theoretical_gain;
        } else if (f <= vertical_blend_high_hz) {
            radiation[i] = (((f - vertical_blend_low_hz) * spread) / vertical_blend_width_hz) +
                           theoretical_gain;
        } else {
            radiation[i] = conical_gain;
        }
    }
}

}  // namespace kelvane::radiation
