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
    auto source_term = [&](float omg) {
        const float ratio = omg / omgc;
        return static_cast<double>(((omg * omg) / ((ratio * ratio) + 1.0f)) * source_moment);
    };
    auto moment_factor = [&](float fr2) {
        return ((fr2 + fc2) * moment_scale) / ((fr2 * moment_scale) + fc2);
    };

    if (kappa <= 0.0f) {
        // High-frequency decay 1/(1 + f/f_max); kappa 0 and -0 land here.
        for (std::size_t i = 1; i < fold; ++i) {
            const float fr = freq[i];
            const float fr2 = fr * fr;
            const float omg = fr * two_pi_f;
            const double a1 = source_term(omg);
            const float path_attenuation = path_power[i] * qbar;
            const float a2 = 1.0f / ((omg / omgm) + 1.0f);
            const float a3 = ::expf(path_attenuation * (-pi_f)) / distance_cm;
            const double a2a3 = static_cast<double>(a3) * static_cast<double>(a2);
            const float frank = moment_factor(fr2);
            amp[i] = static_cast<double>(frank) * (a1 * a2a3);
        }
    } else {
        // Kappa filter e^(-pi kappa f); a NaN kappa lands here too (and makes
        // every amplitude NaN). f_max plays no part.
        for (std::size_t i = 1; i < fold; ++i) {
            const float fr = freq[i];
            const float fr2 = fr * fr;
            const float omg = fr * two_pi_f;
            const double a1 = source_term(omg);
            const float path_attenuation = path_power[i] * qbar;
            const double a2a3 = static_cast<double>(
                ::expf((path_attenuation + (kappa * fr)) * (-pi_f)) / distance_cm);
            const float frank = moment_factor(fr2);
            amp[i] = static_cast<double>(frank) * (a1 * a2a3);
        }
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

void shape_spectrum(const SpectrumPlan& plan, SpectrumShape& shape,
                    std::span<std::complex<float>> spectrum) {
    const std::size_t np2 = plan.np2;
    const std::size_t fold = plan.fold_count;
    const std::span<float> deviates(shape.deviates.data(), np2);

    // Baseline correction of the noise, then the window.
    fft::remove_quadratic_trend(shape.dt, deviates);
    const float* window = shape.envelope.data();
    std::complex<float>* bins = spectrum.data();
    for (std::size_t k = 0; k < np2; ++k) {
        bins[k] = std::complex<float>(deviates[k] * window[k], 0.0f);
    }

    fft::forward(spectrum);

    // Power over bins 0 Hz .. Nyquist, one 32-bit sum in increasing k from -0.
    float fsa = -0.0f;
    for (std::size_t k = 0; k < fold; ++k) {
        const float re = bins[k].real();
        const float im = bins[k].imag();
        fsa = fsa + ((re * re) + (im * im));
    }
    // Normalise to unit mean power over those bins (and undo the dt of the
    // transform's implied integration).
    const float amp = 1.0f / (shape.dt * ::sqrtf(fsa / static_cast<float>(fold)));
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

    fft::inverse(spectrum);

    // Real part, scaled by the method's inverse factor.
    const float scale = 1.0f / (static_cast<float>(np2) * inverse_scale_factor);
    float* out = time_series.data();
    for (std::size_t k = 0; k < np2; ++k) {
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
