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

// Four floats in vector lanes; element-wise arithmetic on them rounds each
// lane exactly as the same float expression does.
using f32x4 = float __attribute__((vector_size(16)));

f32x4 load4(const float* p) {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store4(float* p, f32x4 v) { std::memcpy(p, &v, sizeof v); }

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

// Truncates toward zero into an unsigned word, saturating: negative values and
// NaN give 0, values at or beyond 2^64 give the largest word.
std::size_t saturating_size(float value) {
    if (!(value > 0.0f)) return 0;
    // 2^64 exactly, as a float: every float below it converts without overflow.
    constexpr float word_limit = 18446744073709551616.0f;
    if (value >= word_limit) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);
}

}  // namespace

// ---------------------------------------------------------------- SpectrumPlan

SpectrumPlan SpectrumPlan::create(std::size_t np2, float dt, float q_exponent, float window_eps,
                                  float window_eta) {
    KELVANE_CHECK(np2 >= 2 && np2 % 2 == 0,
                  format("a spectrum plan needs an even length of at least 2, got {}", np2));
    SpectrumPlan plan{np2, np2 / 2 + 1, {}, {}, {}, {}};
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
    return plan;
}

std::size_t SpectrumPlan::length_for(float window_s, float dt) {
    // At least twice the window, in whole samples.
    const float samples = (window_s + window_s) / dt;
    return fft::good_length(saturating_size(samples));
}

std::size_t SpectrumPlan::length_for_arrival(float window_s, float dt, std::int32_t start_sample,
                                             std::size_t ndata) {
    const std::size_t whole = length_for(window_s, dt);

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
    const std::size_t clipped = fft::good_length(static_cast<std::size_t>(landing) * 2);
    return std::min(whole, clipped);
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
    const float omgc = path.corner_frequency_hz * two_pi_f;
    const float omgm = path.fmax_hz * two_pi_f;
    const float fc2 = path.corner_frequency_hz * path.corner_frequency_hz;
    const float distance_cm = path.distance_km * cm_per_km;
    // The same 32-bit product in every bin.
    const float source_moment = cc * path.subevent_moment;
    const float qbar = path.qbar;
    const float moment_scale = path.moment_scale;
    const float kappa = model.kappa_s;

    const float* freq = plan.frequency_hz.data();
    const float* path_power = plan.path_exponent.data();
    double* amp = amplitude.data();

    // Omega-squared source shape, with the moment factor that takes the
    // spectrum from the subevent's corner down to the subfault's at low f.
    // The 32-bit steps are written once for a float and for four floats in
    // vector lanes, whose element-wise arithmetic rounds each lane as the
    // float expression does; bins go four at a time, the last few one at a
    // time, with the same expressions. The 64-bit products are formed per bin.
    auto source_term = [&](auto omg) {
        const auto ratio = omg / omgc;
        return ((omg * omg) / ((ratio * ratio) + 1.0f)) * source_moment;
    };
    auto moment_factor = [&](auto fr2) {
        return ((fr2 + fc2) * moment_scale) / ((fr2 * moment_scale) + fc2);
    };
    // The exponent of the path attenuation (and of the kappa filter), times -pi.
    auto attenuation_exponent = [&](auto fr, auto path_power_i) {
        const auto path_attenuation = path_power_i * qbar;
        if (kappa <= 0.0f) return path_attenuation * (-pi_f);
        return (path_attenuation + (kappa * fr)) * (-pi_f);
    };
    // The 32-bit factors from the bins' frequencies and exponentials.
    auto factors_of = [&](auto fr, auto exponential) {
        using T = decltype(fr);
        const T fr2 = fr * fr;
        const T omg = fr * two_pi_f;
        // High-frequency decay 1/(1 + f/f_max) when kappa is 0 or less (-0
        // included); the kappa filter (a NaN kappa too, which makes every
        // amplitude NaN) has no f_max term and leaves a2 unused.
        const T a2 = kappa <= 0.0f ? T(1.0f / ((omg / omgm) + 1.0f)) : T{};
        return AmplitudeFactors<T>{source_term(omg), moment_factor(fr2), exponential / distance_cm,
                                   a2};
    };
    // One bin's amplitude from its factors, in 64 bits.
    auto amplitude_of = [&](float source, float frank, float a3, float a2) {
        const double a1 = static_cast<double>(source);
        const double a2a3 = kappa <= 0.0f ? static_cast<double>(a3) * static_cast<double>(a2)
                                          : static_cast<double>(a3);
        return static_cast<double>(frank) * (a1 * a2a3);
    };

    std::size_t i = 1;
    for (; i + 4 <= fold; i += 4) {
        const f32x4 fr = load4(freq + i);
        const f32x4 exponent = attenuation_exponent(fr, load4(path_power + i));
        const f32x4 exponential = {::expf(exponent[0]), ::expf(exponent[1]), ::expf(exponent[2]),
                                   ::expf(exponent[3])};
        const AmplitudeFactors<f32x4> f = factors_of(fr, exponential);
        for (int lane = 0; lane < 4; ++lane) {
            amp[i + static_cast<std::size_t>(lane)] =
                amplitude_of(f.source[lane], f.frank[lane], f.a3[lane], f.a2[lane]);
        }
    }
    for (; i < fold; ++i) {
        const float fr = freq[i];
        const AmplitudeFactors<float> f =
            factors_of(fr, ::expf(attenuation_exponent(fr, path_power[i])));
        amp[i] = amplitude_of(f.source, f.frank, f.a3, f.a2);
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
    std::size_t k = 0;
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
    for (std::size_t k = 1; k < half; ++k) {
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

void detail::invert_to_series(std::span<std::complex<float>> spectrum, std::span<float> time_series) {
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
    std::size_t k = 0;
    const f32x4 scale4 = {scale, scale, scale, scale};
    for (; k + 4 <= np2; k += 4) {
        const f32x4 low = load4(values + (2 * k));
        const f32x4 high = load4(values + (2 * k) + 4);
        store4(out + k, __builtin_shufflevector(low, high, 0, 2, 4, 6) * scale4);
    }
    for (; k < np2; ++k) {
        out[k] = bins[k].real() * scale;
    }

    // Half-cosine taper over the last tenth, falling to 0 at the last sample;
    // the taper values are formed as they are applied.
    const std::size_t taper_len = np2 / 10;
    if (taper_len == 0) return;
    const float step = pi_f / static_cast<float>(taper_len);
    float* tail = out + (np2 - taper_len);
    for (std::size_t i = 0; i < taper_len; ++i) {
        const float taper = (::cosf(static_cast<float>(i + 1) * step) + 1.0f) * 0.5f;
        tail[i] = tail[i] * taper;
    }
}

}  // namespace kelvane::stoc
