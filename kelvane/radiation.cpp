// Radiation gains of the three components of a ray.
//
// Notation: sr, cr, sd, cd, si, ci, sa, ca are the sines and cosines of the
// rake, the dip, the take-off and az = azimuth - strike (`AngleTerms`);
// P = cd cr, Q = (cr sd) si, R = (sd sr) cd, S = cos 2dip sr are the partial
// products of the patterns. All arithmetic is 32-bit, in the bracketed order
// written: records reproduce bit for bit only with this order.
// The 256-bit loop below instantiates the header's pattern templates for
// 256-bit lanes; they are always inlined into that loop and never called, so
// the note that such a function's return convention differs between
// instruction sets does not concern them.
#pragma GCC diagnostic ignored "-Wpsabi"
#include "kelvane/radiation.hpp"

#include <math.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kelvane/cpu.hpp"

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

using cpu::f32x4;
using cpu::load4;
using cpu::store4;
using i32x4 = std::int32_t __attribute__((vector_size(16)));
using u64x2 = std::uint64_t __attribute__((vector_size(16)));

// Single-precision sine and cosine of `count` arguments, one library sincosf
// each.
void sincos_each(const float* x, float* sines, float* cosines, std::size_t count) {
    for (std::size_t n = 0; n < count; ++n) ::sincosf(x[n], &sines[n], &cosines[n]);
}

// Vector lanes from `p`; always inlined, so that a wide vector never passes
// through a call of a function built for narrower lanes.
template <class V>
[[gnu::always_inline]] inline void load_lanes(V& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}

// Squared projections of `add_perturbed_projections` for samples [first, end)
// `V` lanes at a time, for the largest end <= count that leaves whole steps;
// returns that end. Each lane performs the pattern and projection expressions
// of `radiation_pattern` and `project_horizontal`, in their order. Always
// inlined, so the wide form runs in the instructions of the function using it.
template <class V>
[[gnu::always_inline]] inline std::size_t squared_projections(
    const float* sin_rake, const float* cos_rake, const float* sin_dip, const float* cos_dip,
    const float* sin_takeoff, const float* cos_takeoff, const float* sin_az, const float* cos_az,
    const float* sin_d, const float* cos_d, float* squares, std::size_t first, std::size_t count) {
    constexpr std::size_t lanes = sizeof(V) / sizeof(float);
    std::size_t n = first;
    for (; n + lanes <= count; n += lanes) {
        V sr, cr, sd, cd, si, ci, sa, ca, s_d, c_d;
        load_lanes(sr, sin_rake + n);
        load_lanes(cr, cos_rake + n);
        load_lanes(sd, sin_dip + n);
        load_lanes(cd, cos_dip + n);
        load_lanes(si, sin_takeoff + n);
        load_lanes(ci, cos_takeoff + n);
        load_lanes(sa, sin_az + n);
        load_lanes(ca, cos_az + n);
        load_lanes(s_d, sin_d + n);
        load_lanes(c_d, cos_d + n);
        const V p = (sh_pattern(sr, cr, sd, cd, si, ci, sa, ca) * s_d) +
                    (sv_pattern(sr, cr, sd, cd, si, ci, sa, ca) * c_d);
        const V square = p * p;
        std::memcpy(squares + n, &square, sizeof square);
    }
    return n;
}

// `squared_projections` from sample 0 in 256-bit lanes.
__attribute__((target("avx2"))) std::size_t squared_projections_avx2(
    const float* sin_rake, const float* cos_rake, const float* sin_dip, const float* cos_dip,
    const float* sin_takeoff, const float* cos_takeoff, const float* sin_az, const float* cos_az,
    const float* sin_d, const float* cos_d, float* squares, std::size_t count) {
    using f32x8 = float __attribute__((vector_size(32)));
    return squared_projections<f32x8>(sin_rake, cos_rake, sin_dip, cos_dip, sin_takeoff,
                                      cos_takeoff, sin_az, cos_az, sin_d, cos_d, squares, 0,
                                      count);
}

}  // namespace

float add_perturbed_projections(std::span<const float> uniforms, const RadiationAngles& angles,
                                float component_rad, float sum_of_squares) {
    const std::size_t count = uniforms.size() / 5;
    KELVANE_CHECK(count <= conical_chunk_samples && uniforms.size() == 5 * count,
                  format("{} uniforms are not the draws of at most {} samples", uniforms.size(),
                         conical_chunk_samples));
    // The sine-cosine arguments of each sample: rake, dip, take-off and
    // az = azimuth - strike for the pattern (`AngleTerms::of`), and
    // component - azimuth for the projection (`project_horizontal`).
    float rake[conical_chunk_samples];
    float dip[conical_chunk_samples];
    float takeoff[conical_chunk_samples];
    float az[conical_chunk_samples];
    float projection[conical_chunk_samples];
    for (std::size_t n = 0; n < count; ++n) {
        const float* u = uniforms.data() + (5 * n);
        const float takeoff_rad = ((0.5f - u[0]) * conical_perturbation_rad) + angles.takeoff_rad;
        const float azimuth_rad = ((0.5f - u[1]) * conical_perturbation_rad) + angles.azimuth_rad;
        const float strike_rad = ((0.5f - u[2]) * conical_perturbation_rad) + angles.strike_rad;
        const float dip_rad = ((0.5f - u[3]) * conical_perturbation_rad) + angles.dip_rad;
        const float rake_rad = ((0.5f - u[4]) * conical_perturbation_rad) + angles.rake_rad;
        rake[n] = rake_rad;
        dip[n] = dip_rad;
        takeoff[n] = takeoff_rad;
        az[n] = azimuth_rad - strike_rad;
        projection[n] = component_rad - azimuth_rad;
    }

    // The five single-precision sine-cosine pairs of every sample.
    float sin_rake[conical_chunk_samples], cos_rake[conical_chunk_samples];
    float sin_dip[conical_chunk_samples], cos_dip[conical_chunk_samples];
    float sin_takeoff[conical_chunk_samples], cos_takeoff[conical_chunk_samples];
    float sin_az[conical_chunk_samples], cos_az[conical_chunk_samples];
    float sin_d[conical_chunk_samples], cos_d[conical_chunk_samples];
    sincos_each(rake, sin_rake, cos_rake, count);
    sincos_each(dip, sin_dip, cos_dip, count);
    sincos_each(takeoff, sin_takeoff, cos_takeoff, count);
    sincos_each(az, sin_az, cos_az, count);
    sincos_each(projection, sin_d, cos_d, count);

    // Patterns and projections, each as `radiation_pattern` and
    // `project_horizontal` form them: four samples at a time in vector lanes
    // (element-wise, so each lane rounds as the scalar expression does), the
    // last few one at a time; then the squares are added in sample order.
    float squares[conical_chunk_samples];
    // 256-bit lanes first where the processor has them.
    std::size_t n = cpu::has_avx2()
                        ? squared_projections_avx2(sin_rake, cos_rake, sin_dip, cos_dip, sin_takeoff,
                                                   cos_takeoff, sin_az, cos_az, sin_d, cos_d,
                                                   squares, count)
                        : 0;
    n = squared_projections<f32x4>(sin_rake, cos_rake, sin_dip, cos_dip, sin_takeoff, cos_takeoff,
                                   sin_az, cos_az, sin_d, cos_d, squares, n, count);
    for (; n < count; ++n) {
        const AngleTerms t{sin_rake[n], cos_rake[n],    sin_dip[n], cos_dip[n],
                           sin_takeoff[n], cos_takeoff[n], sin_az[n], cos_az[n]};
        const float p = (sh_from(t) * sin_d[n]) + (sv_from(t) * cos_d[n]);
        squares[n] = p * p;
    }
    for (std::size_t k = 0; k < count; ++k) sum_of_squares = sum_of_squares + squares[k];
    return sum_of_squares;
}

void fill_horizontal_row(std::span<const float> frequency_hz, float theoretical_gain,
                         float conical_gain, float polarity, std::span<float> radiation) {
    // Hoisted: the same 32-bit difference in every bin, and the gains of the
    // two constant weights, 0 and 1, formed as every bin of that weight would
    // form them.
    const float spread = conical_gain - theoretical_gain;
    const float all_theoretical = ((0.0f * spread) + theoretical_gain) * polarity;
    const float all_conical = ((1.0f * spread) + theoretical_gain) * polarity;
    const std::size_t bins = frequency_hz.size();
    const float* f_hz = frequency_hz.data();
    float* out = radiation.data();
    // Weight of the conical gain; a NaN frequency falls through to 1.
    const auto gain_at = [&](float f) {
        if (f <= horizontal_blend_low_hz) return all_theoretical;
        if (f <= horizontal_blend_high_hz) {
            const float blend = ::logf(f + f) / ln_horizontal_blend_ratio;
            return ((blend * spread) + theoretical_gain) * polarity;
        }
        return all_conical;
    };
    // Four bins at a time where all four take a constant gain (a lane
    // comparison is the scalar comparison, NaN included); the blend band one
    // bin at a time.
    const f32x4 low = {horizontal_blend_low_hz, horizontal_blend_low_hz, horizontal_blend_low_hz,
                       horizontal_blend_low_hz};
    const f32x4 high = {horizontal_blend_high_hz, horizontal_blend_high_hz,
                        horizontal_blend_high_hz, horizontal_blend_high_hz};
    const f32x4 theoretical4 = {all_theoretical, all_theoretical, all_theoretical, all_theoretical};
    const f32x4 conical4 = {all_conical, all_conical, all_conical, all_conical};
    std::size_t i = 0;
    for (; i + 4 <= bins; i += 4) {
        const f32x4 f = load4(f_hz + i);
        const i32x4 below = f <= low;   // -1 where the gain is all theoretical
        const i32x4 within = f <= high;  // -1 up to the top of the blend band
        const i32x4 blended = within & ~below;
        // Any lane in the blend band: tested as two 64-bit halves, which is
        // cheaper than taking the four lanes out one by one.
        const u64x2 blended_halves = std::bit_cast<u64x2>(blended);
        if ((blended_halves[0] | blended_halves[1]) != 0) {
            for (std::size_t j = i; j < i + 4; ++j) out[j] = gain_at(f_hz[j]);
            continue;
        }
        store4(out + i, below ? theoretical4 : conical4);
    }
    for (; i < bins; ++i) out[i] = gain_at(f_hz[i]);
}

template void horizontal_radiation_spectrum<rng::DrawSource>(
    rng::DrawSource&, const RadiationAngles&, const ShearRadiation&, std::span<const float>,
    float, std::size_t, std::span<float>);
template void horizontal_radiation_spectrum<rng::DrawSource>(
    rng::DrawSource&, const RadiationAngles&, std::span<const float>, float, std::size_t,
    std::span<float>);

namespace {

// az = azimuth - strike of an azimuth uniform.
inline float vertical_azimuth(float ub, float strike_rad) {
    const float azimuth_rad = ub * full_circle_rad;
    return azimuth_rad - strike_rad;
}

// The vertical gains over `pairs` samples, whose azimuth terms
// `azimuth_terms(first, count, sin_buffer, cos_buffer)` gives a chunk at a
// time as two pointers (either into the buffers, which it fills, or into
// terms formed beforehand).
template <class AzimuthTerms>
void vertical_gains(const RadiationAngles& angles, std::span<const float> frequency_hz,
                    std::span<const float> uniform_a, std::size_t pairs, std::size_t sample_count,
                    std::span<float> radiation, AzimuthTerms&& azimuth_terms) {
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

    // The products of the SV pattern that depend only on dip and rake, as
    // `sv_from` forms them (strike, dip and rake are not perturbed here).
    const DipRakeProducts<float> dip_rake =
        dip_rake_products(ray.sin_rake, ray.cos_rake, ray.sin_dip, ray.cos_dip);

    // Mean |sv sin t| over the pre-drawn pairs, a chunk of samples at a time:
    // first each sample's take-off, then its sine-cosine pair and those of
    // az = azimuth - strike, then the magnitudes, added in sample order.
    float sum_of_magnitudes = 0.0f;
    for (std::size_t first = 0; first < pairs; first += conical_chunk_samples) {
        const std::size_t count =
            pairs - first < conical_chunk_samples ? pairs - first : conical_chunk_samples;
        float takeoff[conical_chunk_samples];
        for (std::size_t n = 0; n < count; ++n) {
            const float ua = uniform_a[first + n];
            // Uniform in cos(take-off) between the two limits.
            takeoff[n] = ::acosf((ua * cos_max) + ((1.0f - ua) * cos_min));
        }
        float sin_takeoff[conical_chunk_samples], cos_takeoff[conical_chunk_samples];
        sincos_each(takeoff, sin_takeoff, cos_takeoff, count);
        float sin_buffer[conical_chunk_samples], cos_buffer[conical_chunk_samples];
        const auto [sin_az, cos_az] = azimuth_terms(first, count, sin_buffer, cos_buffer);
        // sv_from with the hoisted products, for a float or four floats in
        // vector lanes (element-wise, so each lane rounds as the float
        // expression does); si is also sin t (the library's sincosf and sinf
        // agree, which the tests check).
        const auto sv_times_sin = [&](auto si, auto ci, auto sa, auto ca) {
            return sv_pattern_of(dip_rake, si, ci, sa, ca) * si;
        };
        float magnitudes[conical_chunk_samples];
        std::size_t n = 0;
        for (; n + 4 <= count; n += 4) {
            const f32x4 product = sv_times_sin(load4(sin_takeoff + n), load4(cos_takeoff + n),
                                               load4(sin_az + n), load4(cos_az + n));
            // |x| clears the sign bit, as fabsf does.
            const i32x4 magnitude = std::bit_cast<i32x4>(product) & 0x7fffffff;
            store4(magnitudes + n, std::bit_cast<f32x4>(magnitude));
        }
        for (; n < count; ++n) {
            magnitudes[n] = ::fabsf(sv_times_sin(sin_takeoff[n], cos_takeoff[n], sin_az[n], cos_az[n]));
        }
        for (std::size_t k = 0; k < count; ++k) sum_of_magnitudes = sum_of_magnitudes + magnitudes[k];
    }
    const float conical_gain =
        (sum_of_magnitudes / static_cast<float>(sample_count)) * vertical_conical_scale;

    // Linear blend in f; a NaN frequency takes the conical gain.
    const float spread = conical_gain - theoretical_gain;
    const auto gain_at = [&](float f) {
        if (f <= vertical_blend_low_hz) return theoretical_gain;
        if (f <= vertical_blend_high_hz) {
            return (((f - vertical_blend_low_hz) * spread) / vertical_blend_width_hz) +
                   theoretical_gain;
        }
        return conical_gain;
    };
    // Four bins at a time where all four lie above the blend band (a lane
    // comparison is the scalar comparison, NaN included), the others one at
    // a time.
    const std::size_t bins = frequency_hz.size();
    const float* f_hz = frequency_hz.data();
    float* out = radiation.data();
    const f32x4 high = {vertical_blend_high_hz, vertical_blend_high_hz, vertical_blend_high_hz,
                        vertical_blend_high_hz};
    const f32x4 conical4 = {conical_gain, conical_gain, conical_gain, conical_gain};
    std::size_t i = 0;
    for (; i + 4 <= bins; i += 4) {
        const u64x2 within = std::bit_cast<u64x2>(load4(f_hz + i) <= high);
        if ((within[0] | within[1]) != 0) {
            for (std::size_t j = i; j < i + 4; ++j) out[j] = gain_at(f_hz[j]);
            continue;
        }
        store4(out + i, conical4);
    }
    for (; i < bins; ++i) out[i] = gain_at(f_hz[i]);
}

}  // namespace

void vertical_radiation_spectrum(const RadiationAngles& angles,
                                 std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a,
                                 std::span<const float> uniform_b, std::size_t sample_count,
                                 std::span<float> radiation) {
    const std::size_t pairs = sample_count < uniform_b.size() ? sample_count : uniform_b.size();
    vertical_gains(angles, frequency_hz, uniform_a, pairs, sample_count, radiation,
                   [&](std::size_t first, std::size_t count, float* sin_az, float* cos_az) {
                       float az[conical_chunk_samples];
                       for (std::size_t n = 0; n < count; ++n) {
                           az[n] = vertical_azimuth(uniform_b[first + n], angles.strike_rad);
                       }
                       sincos_each(az, sin_az, cos_az, count);
                       return std::pair<const float*, const float*>{sin_az, cos_az};
                   });
}

void vertical_azimuth_terms(std::span<const float> uniform_b, float strike_rad,
                            std::span<float> sin_az, std::span<float> cos_az) {
    KELVANE_CHECK(sin_az.size() == uniform_b.size() && cos_az.size() == uniform_b.size(),
                  format("{} and {} azimuth terms for {} azimuth uniforms", sin_az.size(),
                         cos_az.size(), uniform_b.size()));
    for (std::size_t n = 0; n < uniform_b.size(); ++n) {
        const float az = vertical_azimuth(uniform_b[n], strike_rad);
        ::sincosf(az, &sin_az[n], &cos_az[n]);
    }
}

void vertical_radiation_spectrum(const RadiationAngles& angles,
                                 std::span<const float> frequency_hz,
                                 std::span<const float> uniform_a, std::span<const float> sin_az,
                                 std::span<const float> cos_az, std::size_t sample_count,
                                 std::span<float> radiation) {
    KELVANE_CHECK(sin_az.size() == cos_az.size(),
                  format("{} sines and {} cosines of azimuths", sin_az.size(), cos_az.size()));
    const std::size_t pairs = sample_count < sin_az.size() ? sample_count : sin_az.size();
    vertical_gains(angles, frequency_hz, uniform_a, pairs, sample_count, radiation,
                   [&](std::size_t first, std::size_t, float*, float*) {
                       return std::pair<const float*, const float*>{sin_az.data() + first,
                                                                    cos_az.data() + first};
                   });
}

}  // namespace kelvane::radiation
