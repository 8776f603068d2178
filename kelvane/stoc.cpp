// Spectrum plans, the envelope and amplitude spectrum of a ray, and the
// deterministic steps of the stochastic spectrum and its inversion.
//
// Notation as in stoc.hpp. Every step is written in the width and order the
// records depend on (see the note there): 32-bit steps use the float maths
// functions (::logf, ::expf, ::powf, ::sqrtf, ::cosf), 64-bit steps the double
// ones (std::exp, std::sqrt, std::tgamma). Brackets are deliberate.
#include "kelvane/stoc.hpp"

#include <math.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kelvane/cpu.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/format.hpp"

namespace kelvane::stoc {

namespace {

// 2 pi rounded to 32 bits: angular frequency from frequency.
constexpr float two_pi_f = 6.2831855f;
// pi rounded to 32 bits: the exponent of the attenuation terms.
constexpr float pi_f = 3.1415927f;
// 4 pi rounded to 32 bits: the spherical spreading of the source constant.
constexpr float four_pi_f = 12.566371f;
// km to cm, and km/s to cm/s.
constexpr float cm_per_km = 100000.0f;
// The source constant's numerator, 0.8946 = 0.63 x 2 x 0.71: an average
// shear-wave radiation coefficient, the free-surface amplification and the
// partition of shear motion onto one horizontal component.
constexpr float source_numerator = 0.8946f;
// The method's scale of the inverse transform's real part.
constexpr float inverse_scale_factor = 0.4473f;

// Exponent b of the window t^b e^(-c t) that peaks at eps T and has fallen to
// eta of its peak at T: b = -eps ln(eta) / (1 + eps (ln(eps) - 1)). Plans and
// refreshes share it (a 32-bit product does not depend on its operands' order,
// so ln(eta) x (-eps) and (-eps) x ln(eta) are one value).
float window_exponent(float window_eps, float window_eta) {
    return ((-window_eps) * ::logf(window_eta)) /
           (((::logf(window_eps) - 1.0f) * window_eps) + 1.0f);
}

using cpu::f32x4;
using cpu::load4;
using cpu::store4;

// The 32-bit factors of one bin's amplitude (or of four bins' in vector
// lanes): the source term, the moment factor, the attenuation over distance
// and the f_max decay (1 with the kappa filter, where it plays no part).
template <class T>
struct AmplitudeFactors {
    T source;
    T frank;
    T a3;
    T a2;
};

// Value i (from 0) of the half-cosine end taper of `taper_len` values over the
// last tenth of an inverse transform, falling to 0 at the last sample.
float end_taper_at(std::size_t i, std::size_t taper_len) {
    const float step = pi_f / static_cast<float>(taper_len);
    return (::cosf(static_cast<float>(i + 1) * step) + 1.0f) * 0.5f;
}

// The per-ray constants of the amplitude spectrum (see `refresh_amplitude`).
struct AmplitudeConstants {
    float omgc;            // angular corner frequency (rad/s)
    float omgm;            // angular f_max (rad/s)
    float fc2;             // corner frequency squared (Hz^2)
    float distance_cm;     // path length (cm)
    float source_moment;   // source constant x subevent moment
    float qbar;            // path attenuation term (s)
    float moment_scale;    // subfault moment scale (1)
    float kappa;           // near-surface attenuation (s); <= 0: the f_max decay instead
};

// The 32-bit steps of one bin's amplitude, for a float or for floats in
// vector lanes (whose element-wise arithmetic rounds each lane as the float
// expression does). Always inlined, so the vector forms run in the
// instructions of the function that uses them.
//
// The exponent of the path attenuation (and of the kappa filter), times -pi.
template <class T>
[[gnu::always_inline]] inline T attenuation_exponent(const AmplitudeConstants& k, T fr,
                                                      T path_power_i) {
    const T path_attenuation = path_power_i * k.qbar;
    if (k.kappa <= 0.0f) return path_attenuation * (-pi_f);
    return (path_attenuation + (k.kappa * fr)) * (-pi_f);
}

// Omega-squared source shape, the moment factor that takes the spectrum from
// the subevent's corner down to the subfault's at low f, the attenuation over
// distance from the bins' exponentials, and the f_max decay.
template <class T>
[[gnu::always_inline]] inline AmplitudeFactors<T> factors_of(const AmplitudeConstants& k, T fr,
                                                              T exponential) {
    const T fr2 = fr * fr;
    const T omg = fr * two_pi_f;
    // High-frequency decay 1/(1 + f/f_max) when kappa is 0 or less (-0
    // included); the kappa filter (a NaN kappa too, which makes every
    // amplitude NaN) has no f_max term and leaves a2 unused.
    const T a2 = k.kappa <= 0.0f ? T(1.0f / ((omg / k.omgm) + 1.0f)) : T{};
    const T ratio = omg / k.omgc;
    const T source = ((omg * omg) / ((ratio * ratio) + 1.0f)) * k.source_moment;
    const T frank = ((fr2 + k.fc2) * k.moment_scale) / ((fr2 * k.moment_scale) + k.fc2);
    return AmplitudeFactors<T>{source, frank, exponential / k.distance_cm, a2};
}

// One bin's amplitude from its factors, in 64 bits.
inline double amplitude_of(const AmplitudeConstants& k, float source, float frank, float a3,
                           float a2) {
    const double a1 = static_cast<double>(source);
    const double a2a3 =
        k.kappa <= 0.0f ? static_cast<double>(a3) * static_cast<double>(a2) : static_cast<double>(a3);
    return static_cast<double>(frank) * (a1 * a2a3);
}

// Bins [1, end) of the amplitude spectrum eight at a time in 256-bit lanes,
// for the largest end <= fold that leaves whole steps; returns that end.
// `amp` holds each bin's exponential on entry (widened from float) and its
// amplitude on return. Every lane performs the operations of `factors_of`
// and `amplitude_of` in their order (the 64-bit ones on the widened floats),
// so the bins get the bits the one-at-a-time expressions give.
__attribute__((target("avx2"))) std::size_t amplitude_bins_avx2(const AmplitudeConstants& k,
                                                                const float* freq, double* amp,
                                                                std::size_t fold) {
    using f32x8 = float __attribute__((vector_size(32)));
    using f64x4 = double __attribute__((vector_size(32)));
    using f32x4v = float __attribute__((vector_size(16)));
    std::size_t i = 1;
    for (; i + 8 <= fold; i += 8) {
        f32x8 fr;
        std::memcpy(&fr, freq + i, sizeof fr);
        f64x4 e_low;
        f64x4 e_high;
        std::memcpy(&e_low, amp + i, sizeof e_low);
        std::memcpy(&e_high, amp + i + 4, sizeof e_high);
        const f32x4v el = __builtin_convertvector(e_low, f32x4v);
        const f32x4v eh = __builtin_convertvector(e_high, f32x4v);
        const f32x8 exponential = __builtin_shufflevector(el, eh, 0, 1, 2, 3, 4, 5, 6, 7);
        const AmplitudeFactors<f32x8> f = factors_of(k, fr, exponential);
        for (std::size_t half = 0; half < 2; ++half) {
            f32x4v source4;
            f32x4v frank4;
            f32x4v a3_4;
            f32x4v a2_4;
            std::memcpy(&source4, reinterpret_cast<const float*>(&f.source) + (4 * half), sizeof source4);
            std::memcpy(&frank4, reinterpret_cast<const float*>(&f.frank) + (4 * half), sizeof frank4);
            std::memcpy(&a3_4, reinterpret_cast<const float*>(&f.a3) + (4 * half), sizeof a3_4);
            std::memcpy(&a2_4, reinterpret_cast<const float*>(&f.a2) + (4 * half), sizeof a2_4);
            const f64x4 a1 = __builtin_convertvector(source4, f64x4);
            const f64x4 a3 = __builtin_convertvector(a3_4, f64x4);
            const f64x4 a2a3 = k.kappa <= 0.0f ? a3 * __builtin_convertvector(a2_4, f64x4) : a3;
            const f64x4 out = __builtin_convertvector(frank4, f64x4) * (a1 * a2a3);
            std::memcpy(amp + i + (4 * half), &out, sizeof out);
        }
    }
    return i;
}

// Truncates toward zero into an unsigned word, saturating: negative values and
// NaN give 0, values at or beyond 2^64 give the largest word.
std::size_t saturating_size(float value) {
    if (!(value > 0.0f)) return 0;
    // 2^64 exactly, as a float: every float below it converts without overflow.
    constexpr float word_limit = 18446744073709551616.0f;
    if (value >= word_limit) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);
}

// Twice a window of `window_s` seconds in samples of `dt` seconds, before
// truncation: (window_s + window_s) / dt, in that order.
float window_sample_count(float window_s, float dt) { return (window_s + window_s) / dt; }

// The transform length of a window of `window_s` seconds that can land on at
// most `cap` / 2 record samples: the smaller of the window's length and the
// length of `cap` samples. The window's sample count is cut to `cap` before
// it is rounded up to a transform length, so a finite window however long
// asks for no more than `cap` samples. A cut after the rounding gives the
// same length wherever the uncut count has one (good_length never falls as
// its argument grows, so good_length(min(n, cap)) = min(good_length(n),
// good_length(cap))), but asks good_length for the uncut count first, which
// faults beyond 2^63. An unbounded window, one whose count is infinite
// because the window is infinite (a zero corner frequency) or dt is zero, is
// not cut: it asks for the largest word, which faults; so does a `cap`
// beyond 2^63. A finite window at a non-zero dt whose count only overflows
// 32 bits (beyond about 3.4e38 samples) is cut like any other.
std::size_t record_cut_length(float window_s, float dt, std::size_t cap) {
    const std::size_t cap_length = fft::good_length(cap);
    const float samples = window_sample_count(window_s, dt);
    const bool unbounded = samples == std::numeric_limits<float>::infinity() &&
                           (std::isinf(window_s) || dt == 0.0f);
    if (unbounded) return fft::good_length(saturating_size(samples));
    return std::min(fft::good_length(std::min(saturating_size(samples), cap)), cap_length);
}

}  // namespace

// ---------------------------------------------------------------- SpectrumPlan

SpectrumPlan SpectrumPlan::create(std::size_t np2, float dt, float q_exponent, float window_eps,
                                  float window_eta) {
    KELVANE_CHECK(np2 >= 2 && np2 % 2 == 0,
                  format("a spectrum plan needs an even length of at least 2, got {}", np2));
    SpectrumPlan plan{np2, np2 / 2 + 1, {}, {}, {}, {}, {}};
    const std::size_t fold = plan.fold_count;
    plan.frequency_hz.resize(fold);
    plan.log_frequency_hz.resize(fold);
    plan.path_exponent.resize(fold);
    plan.envelope_power.resize(np2);

    // Bin spacing (Hz), formed from the float length first.
    const float df = 1.0f / (static_cast<float>(np2) * dt);
    // The path's frequency exponent, formed once in 32 bits.
    const float path_power = 1.0f - q_exponent;
    for (std::size_t i = 0; i < fold; ++i) {
        // Each bin's frequency by multiplication (never by accumulation), so
        // the last bin is exactly (np2/2) x df.
        const float f = static_cast<float>(i) * df;
        plan.frequency_hz[i] = f;
        plan.log_frequency_hz[i] = ::logf(f);
        plan.path_exponent[i] = ::powf(f, path_power);
    }

    // Time powers of the window: (j dt)^b.
    const float b = window_exponent(window_eps, window_eta);
    for (std::size_t j = 0; j < np2; ++j) {
        plan.envelope_power[j] = ::powf(static_cast<float>(j) * dt, b);
    }

    // The inverse's end taper, as `end_taper_at` forms it when applied.
    const std::size_t taper_len = np2 / 10;
    plan.end_taper.resize(taper_len);
    for (std::size_t i = 0; i < taper_len; ++i) plan.end_taper[i] = end_taper_at(i, taper_len);
    return plan;
}

std::size_t SpectrumPlan::length_for(float window_s, float dt) {
    // At least twice the window, in whole samples.
    return fft::good_length(saturating_size(window_sample_count(window_s, dt)));
}

std::size_t SpectrumPlan::length_for_arrival(float window_s, float dt, std::int32_t start_sample,
                                             std::size_t ndata) {
    // Samples from the arrival's first in-record sample to the record's end,
    // in checked signed 64-bit arithmetic.
    const std::int64_t first = std::max<std::int64_t>(start_sample, 1);
    KELVANE_CHECK(ndata <= static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()),
                  format("a record of {} samples overflows a signed 64-bit sample count", ndata));
    const auto record = static_cast<std::int64_t>(ndata);
    std::int64_t remaining = 0;
    std::int64_t landing = 0;
    const bool overflow = __builtin_sub_overflow(record, first, &remaining) ||
                          __builtin_add_overflow(remaining, std::int64_t{1}, &landing);
    KELVANE_CHECK(!overflow,
                  format("the samples left after sample {} of a {}-sample record overflow a "
                         "signed 64-bit count",
                         first, ndata));
    landing = std::max<std::int64_t>(landing, 1);

    // Doubled on the unsigned value: landing <= 2^63 - 1, so 2 landing fits.
    return record_cut_length(window_s, dt, static_cast<std::size_t>(landing) * 2);
}

std::size_t SpectrumPlan::longest_for_record(float window_s, float dt, std::size_t ndata) {
    // good_length grows with its argument, so the record's bound is the
    // length of the longest landing, ndata samples (1 for an empty record).
    KELVANE_CHECK(ndata <= std::numeric_limits<std::size_t>::max() / 2,
                  format("a record of {} samples cannot be doubled", ndata));
    return record_cut_length(window_s, dt, std::max<std::size_t>(ndata, 1) * 2);
}

// ------------------------------------------------------------------ PlanCache

PlanCache PlanCache::create(float dt, float q_exponent, float window_eps, float window_eta) {
    return PlanCache(dt, q_exponent, window_eps, window_eta);
}

const SpectrumPlan& PlanCache::for_length(std::size_t np2) {
    auto found = plans_.lower_bound(np2);
    if (found != plans_.end() && found->first == np2) return found->second;
    return plans_
        .emplace_hint(found, np2,
                      SpectrumPlan::create(np2, dt_, q_exponent_, window_eps_, window_eta_))
        ->second;
}

// -------------------------------------------------------------- SpectrumShape

SpectrumShape SpectrumShape::with_capacity(std::size_t np2_max) {
    return SpectrumShape{std::vector<float>(np2_max, 0.0f), std::vector<double>(np2_max, 0.0),
                         std::vector<float>(np2_max, 0.0f), 0.0f};
}

void SpectrumShape::refresh(const SpectrumPlan& plan, const SourceModel& model,
                            const RayPath& path) {
    refresh_envelope(plan, model, path);
    refresh_amplitude(plan, model, path);
}

void SpectrumShape::refresh_envelope(const SpectrumPlan& plan, const SourceModel& model,
                                     const RayPath& path) {
    const std::size_t np2 = plan.np2;
    const std::size_t fold = plan.fold_count;
    KELVANE_CHECK(np2 <= envelope.size() && fold <= amplitude.size(),
                  format("a spectrum plan of length {} does not fit a shape of capacity {}", np2,
                         envelope.size()));

    const float dt_s = model.dt;
    const float eps = model.window_eps;

    // Window t^b e^(-c t) and its unit-energy normalisation:
    // integral of (t^b e^(-c t))^2 dt = gamma(2b + 1) / (2c)^(2b + 1).
    const float b = window_exponent(eps, model.window_eta);
    const float c = (b / eps) / path.window_s;
    const float p = (b + b) + 1.0f;
    const double gsa = static_cast<double>(p);
    const double gm = std::tgamma(gsa);
    const float aa = ::powf(c + c, p);
    const double decay_per_sample = std::exp(static_cast<double>(dt_s) * (-static_cast<double>(c)));
    const float norm = static_cast<float>(std::sqrt(static_cast<double>(aa) / gm));

    // Envelope samples; the exponential decay is one 64-bit product per sample,
    // narrowed where used.
    const float* power = plan.envelope_power.data();
    float* window = envelope.data();
    double decay = 1.0;
    for (std::size_t j = 0; j < np2; ++j) {
        window[j] = (power[j] * norm) * static_cast<float>(decay);
        decay = decay * decay_per_sample;
    }
}

void SpectrumShape::refresh_amplitude(const SpectrumPlan& plan, const SourceModel& model,
                                      const RayPath& path) {
    const std::size_t fold = plan.fold_count;
    KELVANE_CHECK(plan.np2 <= envelope.size() && fold <= amplitude.size(),
                  format("a spectrum plan of length {} does not fit a shape of capacity {}",
                         plan.np2, envelope.size()));
    const float dt_s = model.dt;

    // Source constant 0.8946 / (4 pi rho beta^3), beta in cm/s.
    const float beta = path.shear_velocity_km_s * cm_per_km;
    const float cc = source_numerator / ((path.density_g_cm3 * four_pi_f) * ((beta * beta) * beta));
    const AmplitudeConstants k{path.corner_frequency_hz * two_pi_f,
                               path.fmax_hz * two_pi_f,
                               path.corner_frequency_hz * path.corner_frequency_hz,
                               path.distance_km * cm_per_km,
                               // The same 32-bit product in every bin.
                               cc * path.subevent_moment,
                               path.qbar,
                               path.moment_scale,
                               model.kappa_s};

    const float* freq = plan.frequency_hz.data();
    const float* path_power = plan.path_exponent.data();
    double* amp = amplitude.data();

    // First each bin's exponential (the library calls alone in their loop),
    // held in the amplitude row (a float widens to a double and narrows back
    // exactly); then the arithmetic of every bin, with no call in its loop.
    for (std::size_t i = 1; i < fold; ++i) {
        amp[i] = static_cast<double>(::expf(attenuation_exponent(k, freq[i], path_power[i])));
    }
    // 256-bit lanes where the processor has them, else 128-bit lanes; the
    // last few bins one at a time; every bin with the same expressions.
    std::size_t i = 1;
    if (cpu::has_avx2()) {
        i = amplitude_bins_avx2(k, freq, amp, fold);
    } else {
        for (; i + 4 <= fold; i += 4) {
            const f32x4 exponential = {static_cast<float>(amp[i]), static_cast<float>(amp[i + 1]),
                                       static_cast<float>(amp[i + 2]),
                                       static_cast<float>(amp[i + 3])};
            const AmplitudeFactors<f32x4> f = factors_of(k, load4(freq + i), exponential);
            for (int lane = 0; lane < 4; ++lane) {
                amp[i + static_cast<std::size_t>(lane)] =
                    amplitude_of(k, f.source[lane], f.frank[lane], f.a3[lane], f.a2[lane]);
            }
        }
    }
    for (; i < fold; ++i) {
        const AmplitudeFactors<float> f = factors_of(k, freq[i], static_cast<float>(amp[i]));
        amp[i] = amplitude_of(k, f.source, f.frank, f.a3, f.a2);
    }

    dt = dt_s;
}

// --------------------------------------------------------- stochastic spectrum

namespace detail {

void check_spectrum_sizes(const SpectrumPlan& plan, const SpectrumShape& shape,
                          std::span<const std::complex<float>> spectrum) {
    KELVANE_CHECK(spectrum.size() == plan.np2,
                  format("a spectrum row of {} bins does not match the plan's length {}",
                         spectrum.size(), plan.np2));
    KELVANE_CHECK(shape.deviates.size() >= plan.np2 && shape.envelope.size() >= plan.np2 &&
                      shape.amplitude.size() >= plan.fold_count,
                  format("a spectrum shape of capacity {} is shorter than the plan's length {}",
                         shape.deviates.size(), plan.np2));
}

namespace {

// The power of a transformed row over bins [0, fold), accumulated onto `fsa`
// one bin at a time: the sum runs in increasing k from -0.
inline void add_power(float& fsa, std::complex<float> bin) {
    const float re = bin.real();
    const float im = bin.imag();
    fsa = fsa + ((re * re) + (im * im));
}

// Normalise to unit mean power over bins [0, fold) (and undo the dt of the
// transform's implied integration).
float scale_for_power(float fsa, float dt, std::size_t fold) {
    return 1.0f / (dt * ::sqrtf(fsa / static_cast<float>(fold)));
}

}  // namespace

namespace {

// Samples [0, end) of `window_and_transform`'s windowing eight at a time in
// 256-bit lanes, for the largest end <= np2 that leaves whole steps; returns
// that end. The same products as the 128-bit loop there.
__attribute__((target("avx2"))) std::size_t window_samples_avx2(const float* noise,
                                                                const float* window, float* values,
                                                                std::size_t np2) {
    using f32x8 = float __attribute__((vector_size(32)));
    const f32x8 zero = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t k = 0;
    for (; k + 8 <= np2; k += 8) {
        f32x8 x;
        f32x8 w;
        std::memcpy(&x, noise + k, sizeof x);
        std::memcpy(&w, window + k, sizeof w);
        const f32x8 product = x * w;
        // Each product with a zero imaginary part: samples k .. k + 3, then k + 4 .. k + 7.
        const f32x8 low = __builtin_shufflevector(product, zero, 0, 8, 1, 8, 2, 8, 3, 8);
        const f32x8 high = __builtin_shufflevector(product, zero, 4, 8, 5, 8, 6, 8, 7, 8);
        std::memcpy(values + (2 * k), &low, sizeof low);
        std::memcpy(values + (2 * k) + 8, &high, sizeof high);
    }
    return k;
}

}  // namespace

void window_and_transform(const SpectrumPlan& plan, const SpectrumShape& shape,
                          std::span<const float> deviates, std::span<std::complex<float>> spectrum) {
    const std::size_t np2 = plan.np2;
    const float* window = shape.envelope.data();
    const float* noise = deviates.data();
    std::complex<float>* bins = spectrum.data();
    // Four samples at a time in vector lanes, each product interleaved with
    // a zero imaginary part.
    float* values = reinterpret_cast<float*>(bins);  // real, imaginary, real, ...
    const f32x4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
    // 256-bit lanes first where the processor has them.
    std::size_t k = cpu::has_avx2() ? window_samples_avx2(noise, window, values, np2) : 0;
    for (; k + 4 <= np2; k += 4) {
        const f32x4 product = load4(noise + k) * load4(window + k);
        store4(values + (2 * k), __builtin_shufflevector(product, zero, 0, 4, 1, 4));
        store4(values + (2 * k) + 4, __builtin_shufflevector(product, zero, 2, 4, 3, 4));
    }
    for (; k < np2; ++k) {
        bins[k] = std::complex<float>(noise[k] * window[k], 0.0f);
    }
    fft::forward(spectrum.first(np2));
}

std::array<float, 3> unit_power_scales(const SpectrumPlan& plan, float dt,
                                       const std::array<std::span<const std::complex<float>>, 3>& rows) {
    const std::size_t fold = plan.fold_count;
    const std::complex<float>* x = rows[0].data();
    const std::complex<float>* y = rows[1].data();
    const std::complex<float>* z = rows[2].data();
    // Three independent serial sums, stepped together so that they overlap.
    float fx = -0.0f;
    float fy = -0.0f;
    float fz = -0.0f;
    for (std::size_t k = 0; k < fold; ++k) {
        add_power(fx, x[k]);
        add_power(fy, y[k]);
        add_power(fz, z[k]);
    }
    return {scale_for_power(fx, dt, fold), scale_for_power(fy, dt, fold),
            scale_for_power(fz, dt, fold)};
}

void scale_and_mirror(const SpectrumPlan& plan, const SpectrumShape& shape, float amp,
                      std::span<std::complex<float>> spectrum) {
    const std::size_t np2 = plan.np2;
    const std::size_t fold = plan.fold_count;
    std::complex<float>* bins = spectrum.data();
    const double amp_wide = static_cast<double>(amp);

    // Scale by the amplitude spectrum in 64 bits; amplitude[0] is 0, so the
    // 0 Hz bin becomes 0.
    const double* amplitude = shape.amplitude.data();
    for (std::size_t k = 0; k < fold; ++k) {
        const double re = (static_cast<double>(bins[k].real()) * amplitude[k]) * amp_wide;
        const double im = (static_cast<double>(bins[k].imag()) * amplitude[k]) * amp_wide;
        bins[k] = std::complex<float>(static_cast<float>(re), static_cast<float>(im));
    }

    // Negative frequencies are the conjugates of the positive ones; the
    // Nyquist bin (np2/2) keeps its value and has no mirror.
    const std::size_t half = np2 / 2;
    for (std::size_t k = 1; k < half; ++k) {
        bins[np2 - k] = std::complex<float>(bins[k].real(), -bins[k].imag());
    }
}

namespace {

// Bin k of `scale_weight_and_mirror`: its weighted value, and the value of
// the bin that mirrors it (used for 0 < k < np2/2 only).
struct WeightedBin {
    float re;
    float im;
    float mirror_im;
};

inline WeightedBin weight_bin(const float* values, const double* amplitude, double amp_wide,
                              const float* site, const float* gain, std::size_t k) {
    // The amplitude spectrum in 64 bits, as `scale_and_mirror` forms it.
    const float re = static_cast<float>((static_cast<double>(values[2 * k]) * amplitude[k]) * amp_wide);
    const float im = static_cast<float>((static_cast<double>(values[(2 * k) + 1]) * amplitude[k]) * amp_wide);
    // The site gain, as `apply_site_amplification` forms it.
    const float re_site = re * site[k];
    const float im_site = im * site[k];
    // The radiation gain, as `radiate_and_invert` forms it; the mirrored bin
    // is negated before it is weighted, as the site step's mirror is.
    const float g = gain[k];
    return WeightedBin{re_site * g, im_site * g, (-im_site) * g};
}

// Bins [1, end) of `scale_weight_and_mirror` four at a time in 256-bit lanes,
// for the largest end <= half that leaves whole steps; returns that end. Each
// lane performs the scalar `weight_bin` operations in their order (widen,
// times amplitude[k], times amp_wide, narrow, times site[k], times gain[k];
// the mirror's imaginary part negated before its gain), so the bins get the
// same bits. Bins read here (below half) are never among those written as
// mirrors (above half).
__attribute__((target("avx2"))) std::size_t weight_bins_avx2(float* values,
                                                             const double* amplitude,
                                                             double amp_wide, const float* site,
                                                             const float* gain, std::size_t np2,
                                                             std::size_t half) {
    using f32x8 = float __attribute__((vector_size(32)));
    using f64x4 = double __attribute__((vector_size(32)));
    using f32x4v = float __attribute__((vector_size(16)));
    const f64x4 amp4 = {amp_wide, amp_wide, amp_wide, amp_wide};
    std::size_t k = 1;
    for (; k + 4 <= half; k += 4) {
        // Bins k .. k + 3 as (re, im) pairs.
        f32x8 v;
        std::memcpy(&v, values + (2 * k), sizeof v);
        f64x4 a;
        std::memcpy(&a, amplitude + k, sizeof a);
        f32x4v s4;
        std::memcpy(&s4, site + k, sizeof s4);
        f32x4v g4;
        std::memcpy(&g4, gain + k, sizeof g4);
        // Each bin's amplitude, site gain and radiation gain for both parts.
        const f64x4 a_low = __builtin_shufflevector(a, a, 0, 0, 1, 1);
        const f64x4 a_high = __builtin_shufflevector(a, a, 2, 2, 3, 3);
        const f32x8 s = __builtin_shufflevector(s4, s4, 0, 0, 1, 1, 2, 2, 3, 3);
        const f32x8 g = __builtin_shufflevector(g4, g4, 0, 0, 1, 1, 2, 2, 3, 3);
        // The amplitude spectrum in 64 bits.
        const f64x4 low = (__builtin_convertvector(__builtin_shufflevector(v, v, 0, 1, 2, 3), f64x4) *
                           a_low) * amp4;
        const f64x4 high = (__builtin_convertvector(__builtin_shufflevector(v, v, 4, 5, 6, 7), f64x4) *
                            a_high) * amp4;
        const f32x4v low_f = __builtin_convertvector(low, f32x4v);
        const f32x4v high_f = __builtin_convertvector(high, f32x4v);
        const f32x8 scaled = __builtin_shufflevector(low_f, high_f, 0, 1, 2, 3, 4, 5, 6, 7);
        // The site gain, then the radiation gain.
        const f32x8 sited = scaled * s;
        const f32x8 weighted = sited * g;
        // The mirror: the imaginary parts negated, then weighted.
        const f32x8 negated = -sited;
        const f32x8 conjugate = __builtin_shufflevector(sited, negated, 0, 9, 2, 11, 4, 13, 6, 15);
        const f32x8 mirrored = conjugate * g;
        std::memcpy(values + (2 * k), &weighted, sizeof weighted);
        // Bins np2 - k - 3 .. np2 - k take the mirrors of bins k + 3 .. k.
        const f32x8 reversed = __builtin_shufflevector(mirrored, mirrored, 6, 7, 4, 5, 2, 3, 0, 1);
        std::memcpy(values + (2 * (np2 - k - 3)), &reversed, sizeof reversed);
    }
    return k;
}

}  // namespace

void scale_weight_and_mirror(const SpectrumPlan& plan, const SpectrumShape& shape, float amp,
                             std::span<const float> site_gain, std::span<const float> radiation,
                             std::span<std::complex<float>> spectrum) {
    const std::size_t np2 = plan.np2;
    const std::size_t fold = plan.fold_count;
    KELVANE_CHECK(spectrum.size() == np2 && site_gain.size() == fold && radiation.size() == fold,
                  format("a spectrum row of {} bins with {} site gains and {} radiation gains for "
                         "a plan of length {}",
                         spectrum.size(), site_gain.size(), radiation.size(), np2));
    // A complex value is its real and imaginary parts, in this order.
    float* const values = reinterpret_cast<float*>(spectrum.data());
    const double* amplitude = shape.amplitude.data();
    const double amp_wide = static_cast<double>(amp);
    const float* site = site_gain.data();
    const float* gain = radiation.data();
    const std::size_t half = np2 / 2;
    // DC and Nyquist have no mirror; bin np2 - k mirrors bin k in between.
    for (const std::size_t k : {std::size_t{0}, half}) {
        const WeightedBin w = weight_bin(values, amplitude, amp_wide, site, gain, k);
        values[2 * k] = w.re;
        values[(2 * k) + 1] = w.im;
    }
    // The wide lanes take what whole steps they can; the rest one bin at a time.
    const std::size_t first =
        cpu::has_avx2() ? weight_bins_avx2(values, amplitude, amp_wide, site, gain, np2, half) : 1;
    for (std::size_t k = first; k < half; ++k) {
        const WeightedBin w = weight_bin(values, amplitude, amp_wide, site, gain, k);
        values[2 * k] = w.re;
        values[(2 * k) + 1] = w.im;
        values[2 * (np2 - k)] = w.re;
        values[(2 * (np2 - k)) + 1] = w.mirror_im;
    }
}

void shape_spectrum(const SpectrumPlan& plan, SpectrumShape& shape,
                    std::span<std::complex<float>> spectrum) {
    const std::span<float> deviates(shape.deviates.data(), plan.np2);

    // Baseline correction of the noise, then the window and the transform.
    fft::remove_quadratic_trend(shape.dt, deviates);
    window_and_transform(plan, shape, deviates, spectrum);

    // Power over bins 0 Hz .. Nyquist, normalisation and the amplitude spectrum.
    float fsa = -0.0f;
    for (std::size_t k = 0; k < plan.fold_count; ++k) add_power(fsa, spectrum[k]);
    scale_and_mirror(plan, shape, scale_for_power(fsa, shape.dt, plan.fold_count), spectrum);
}

}  // namespace detail

// ------------------------------------------------------------ inversion

void radiate_and_invert(std::span<std::complex<float>> spectrum, std::span<const float> radiation,
                        std::span<float> time_series) {
    const std::size_t np2 = spectrum.size();
    const std::size_t fold = radiation.size();
    KELVANE_CHECK(fold >= 2,
                  format("a radiation row needs at least 2 gains, got {}", fold));
    KELVANE_CHECK(np2 >= (2 * fold) - 2,
                  format("a spectrum row of {} bins is shorter than the {} bins of {} gains", np2,
                         (2 * fold) - 2, fold));
    KELVANE_CHECK(time_series.size() == np2,
                  format("a time-series row of {} samples does not match the spectrum's {} bins",
                         time_series.size(), np2));

    // Gains on 0 Hz .. Nyquist, then each mirrored bin takes the gain of the
    // positive frequency it mirrors (bin fold + i mirrors bin fold - 2 - i).
    std::complex<float>* bins = spectrum.data();
    const float* gain = radiation.data();
    for (std::size_t k = 0; k < fold; ++k) {
        bins[k] = std::complex<float>(bins[k].real() * gain[k], bins[k].imag() * gain[k]);
    }
    const std::size_t mirror_count = fold - 2;
    for (std::size_t i = 0; i < mirror_count; ++i) {
        const float g = gain[fold - 2 - i];
        std::complex<float>& bin = bins[fold + i];
        bin = std::complex<float>(bin.real() * g, bin.imag() * g);
    }

    detail::invert_to_series(spectrum, time_series);
}

namespace {

// Samples [0, end) of `invert_untapered`'s scaled real parts eight at a time
// in 256-bit lanes, for the largest end <= np2 that leaves whole steps;
// returns that end. The same products as the 128-bit loop there.
__attribute__((target("avx2"))) std::size_t real_parts_avx2(const float* values, float scale,
                                                            float* out, std::size_t np2) {
    using f32x8 = float __attribute__((vector_size(32)));
    const f32x8 scale8 = {scale, scale, scale, scale, scale, scale, scale, scale};
    std::size_t k = 0;
    for (; k + 8 <= np2; k += 8) {
        f32x8 low;
        f32x8 high;
        std::memcpy(&low, values + (2 * k), sizeof low);
        std::memcpy(&high, values + (2 * k) + 8, sizeof high);
        const f32x8 real = __builtin_shufflevector(low, high, 0, 2, 4, 6, 8, 10, 12, 14) * scale8;
        std::memcpy(out + k, &real, sizeof real);
    }
    return k;
}

// The inverse transform of `spectrum` and its scaled real part in
// `time_series`, before the end taper.
void invert_untapered(std::span<std::complex<float>> spectrum, std::span<float> time_series) {
    const std::size_t np2 = spectrum.size();
    KELVANE_CHECK(time_series.size() == np2,
                  format("a time-series row of {} samples does not match the spectrum's {} bins",
                         time_series.size(), np2));
    std::complex<float>* bins = spectrum.data();

    fft::inverse(spectrum);

    // Real part, scaled by the method's inverse factor; four samples at a
    // time in vector lanes (element-wise products round as scalar ones do).
    const float scale = 1.0f / (static_cast<float>(np2) * inverse_scale_factor);
    float* out = time_series.data();
    const float* values = reinterpret_cast<const float*>(bins);  // real, imaginary, real, ...
    // 256-bit lanes first where the processor has them.
    std::size_t k = cpu::has_avx2() ? real_parts_avx2(values, scale, out, np2) : 0;
    const f32x4 scale4 = {scale, scale, scale, scale};
    for (; k + 4 <= np2; k += 4) {
        const f32x4 low = load4(values + (2 * k));
        const f32x4 high = load4(values + (2 * k) + 4);
        store4(out + k, __builtin_shufflevector(low, high, 0, 2, 4, 6) * scale4);
    }
    for (; k < np2; ++k) {
        out[k] = bins[k].real() * scale;
    }
}

}  // namespace

void detail::invert_to_series(std::span<std::complex<float>> spectrum, std::span<float> time_series) {
    invert_untapered(spectrum, time_series);
    // Half-cosine taper over the last tenth, falling to 0 at the last sample;
    // the taper values are formed as they are applied.
    const std::size_t np2 = spectrum.size();
    const std::size_t taper_len = np2 / 10;
    float* tail = time_series.data() + (np2 - taper_len);
    for (std::size_t i = 0; i < taper_len; ++i) tail[i] = tail[i] * end_taper_at(i, taper_len);
}

void detail::invert_to_series(const SpectrumPlan& plan, std::span<std::complex<float>> spectrum,
                              std::span<float> time_series) {
    KELVANE_CHECK(spectrum.size() == plan.np2,
                  format("a spectrum row of {} bins does not match the plan's length {}",
                         spectrum.size(), plan.np2));
    invert_untapered(spectrum, time_series);
    // The plan's taper values over the last tenth.
    const std::size_t taper_len = plan.end_taper.size();
    const float* taper = plan.end_taper.data();
    float* tail = time_series.data() + (plan.np2 - taper_len);
    for (std::size_t i = 0; i < taper_len; ++i) tail[i] = tail[i] * taper[i];
}

}  // namespace kelvane::stoc
