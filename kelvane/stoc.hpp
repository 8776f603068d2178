// The stochastic spectrum of one ray: transform-length plans, the envelope
// window and amplitude spectrum of a ray, the random spectrum drawn from them,
// and its radiation weighting and inversion to a time series.
//
// Notation:
//   np2          transform length (even, at least 2)
//   fold_count   bins from 0 Hz to the Nyquist bin, np2/2 + 1
//   df           bin spacing (Hz), 1/(np2 dt)
//   eps, eta     window peak fraction and window end level (dimensionless)
//   b, c         exponent and decay rate (1/s) of the window t^b e^(-c t)
//   omg, omgc    angular frequency and angular corner frequency (rad/s)
//   qbar         path attenuation term (s); the path decays as e^(-pi f^(1-q) qbar)
//
// Operation order. Every expression below is written in the order and width
// (32-bit `float` or 64-bit `double`) that the station records depend on: a
// record reproduces bit for bit only if each step rounds exactly as written,
// so brackets are deliberate and no expression may be reassociated, fused or
// "improved" into a more accurate form.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "kelvane/rng.hpp"

namespace kelvane::stoc {

// Everything that depends only on one transform length (and on the station's
// Q exponent and the run's window shape). Immutable once built.
struct SpectrumPlan {
    std::size_t np2;         // transform length: even, at least 2
    std::size_t fold_count;  // bins from 0 Hz to the Nyquist bin: np2/2 + 1
    std::vector<float> frequency_hz;      // fold_count entries: bin i at i df (Hz)
    std::vector<float> log_frequency_hz;  // fold_count entries: ln(frequency_hz), -inf at bin 0
    std::vector<float> path_exponent;     // fold_count entries: frequency_hz^(1 - q_exponent)
    std::vector<float> envelope_power;    // np2 entries: (j dt)^b (s^b), 0 at j = 0
    std::vector<float> end_taper;         // np2/10 entries: the inverse's end taper (1)

    // Builds the plan for transform length `np2` (even, >= 2; anything else
    // faults), sample interval `dt` (s), the frequency exponent `q_exponent`
    // of the station's path Q, and the window's peak fraction `window_eps`
    // and end level `window_eta` (dimensionless, 0.2 and 0.05 in a run).
    static SpectrumPlan create(std::size_t np2, float dt, float q_exponent, float window_eps,
                               float window_eta);

    // Transform length for a whole window of `window_s` seconds sampled every
    // `dt` s: good_length of 2 window_s / dt samples. A zero, negative or NaN
    // window gets 2; an infinite one faults in good_length.
    static std::size_t length_for(float window_s, float dt);

    // Transform length for an arrival whose first sample (numbered from 1) is
    // `start_sample` in a record of `ndata` samples: the whole window's length,
    // but no longer than twice the samples left from the arrival's first
    // in-record sample to the record's end. The window's sample count is cut
    // to those samples before it becomes a length, so a finite window of any
    // duration at a non-zero dt is answered; an unbounded one (an infinite
    // window, or dt 0, with an infinite count) faults as in `length_for`.
    // Faults on a signed 64-bit overflow.
    static std::size_t length_for_arrival(float window_s, float dt, std::int32_t start_sample,
                                          std::size_t ndata);

    // The longest length `length_for_arrival` can return for any arrival of a
    // window of `window_s` seconds in a record of `ndata` samples: the whole
    // window's length, but no longer than twice the record (an arrival lands
    // on at most ndata samples, and on at least 1). What a segment sizes its
    // buffers by, so that they never outgrow what the record can use. The
    // sample count is cut to twice the record first, as in
    // `length_for_arrival`; an unbounded window faults as there.
    static std::size_t longest_for_record(float window_s, float dt, std::size_t ndata);
};

// One station run's plans, by transform length. A plan is built on the first
// request for its length and then kept, unchanged, until the cache is dropped;
// plans depend on the station's Q exponent, so a cache never crosses runs.
class PlanCache {
public:
    // An empty cache for sample interval `dt` (s), Q exponent `q_exponent`,
    // window peak fraction `window_eps` and end level `window_eta`.
    static PlanCache create(float dt, float q_exponent, float window_eps, float window_eta);

    // The plan for transform length `np2`, built on a miss. The reference
    // stays valid while the cache lives (plans are never replaced or evicted).
    const SpectrumPlan& for_length(std::size_t np2);

    // Number of distinct transform lengths planned so far.
    std::size_t plan_count() const { return plans_.size(); }

    float dt() const { return dt_; }                  // s
    float q_exponent() const { return q_exponent_; }  // dimensionless
    float window_eps() const { return window_eps_; }  // dimensionless
    float window_eta() const { return window_eta_; }  // dimensionless

private:
    PlanCache(float dt, float q_exponent, float window_eps, float window_eta)
        : dt_(dt), q_exponent_(q_exponent), window_eps_(window_eps), window_eta_(window_eta) {}

    float dt_;          // s, the run's sample interval
    float q_exponent_;  // the station's frequency exponent of Q
    float window_eps_;  // window peak fraction
    float window_eta_;  // window end level
    std::map<std::size_t, SpectrumPlan> plans_;  // node-based: references survive insertion
};

// The source-side inputs of a refresh; the same throughout a station run.
struct SourceModel {
    float dt;          // s, sample interval
    float window_eps;  // window peak fraction (0.2)
    float window_eta;  // window end level (0.05)
    float kappa_s;     // s, near-surface attenuation; <= 0 selects the f_max decay
};

// The ray- and component-side inputs of a refresh (not the ray tracer's path).
struct RayPath {
    float distance_km;          // km, path length R of the 1/R spreading
    float window_s;             // s, duration of the subfault's time window
    float shear_velocity_km_s;  // km/s, shear velocity at the source
    float density_g_cm3;        // g/cm^3, density at the source
    float corner_frequency_hz;  // Hz, the subfault's corner frequency
    float subevent_moment;      // dyne-cm, the subfault's subevent moment
    float moment_scale;         // dimensionless, the subfault's moment scale
    float fmax_hz;              // Hz, the component's maximum frequency
    float qbar;                 // s, the path's attenuation term
};

// One segment pass's scratch: the current ray's envelope window and amplitude
// spectrum, and the buffer of normal deviates. The three lists keep the length
// given to `with_capacity`; a refresh for a shorter plan leaves their tails
// stale (no reader looks past np2 / fold_count).
struct SpectrumShape {
    std::vector<float> envelope;    // capacity entries; [0, np2): window samples (1/sqrt(s))
    std::vector<double> amplitude;  // capacity entries; [1, fold_count): spectrum; [0] stays 0
    std::vector<float> deviates;    // capacity entries; scratch for the normal draws
    float dt;                       // s, copied from the SourceModel by refresh; 0 before

    // A shape whose lists hold `np2_max` zeros (the segment's longest length).
    static SpectrumShape with_capacity(std::size_t np2_max);

    // Recomputes envelope[0, np2), amplitude[1, fold_count) and dt for `plan`,
    // `model` and `path`. Faults when the plan is longer than the capacity.
    // Allocates nothing.
    void refresh(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path);

    // The two parts of `refresh`, which is exactly `refresh_envelope` then
    // `refresh_amplitude`. The envelope depends on the ray only through its
    // window: envelope[j] is the same value for every plan of one run that
    // reaches j, so a caller that already holds the envelope of the same
    // `window_s` over at least np2 samples may refresh the amplitude alone.
    // Both fault like `refresh` when the plan is longer than the capacity.
    void refresh_envelope(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path);
    void refresh_amplitude(const SpectrumPlan& plan, const SourceModel& model, const RayPath& path);
};

namespace detail {

// The deterministic part of the stochastic spectrum once `shape.deviates`
// holds np2 fresh normal draws: detrend, window, forward transform, normalise
// to unit mean power over bins [0, fold_count), scale by the amplitude
// spectrum and mirror the upper half. Sizes are checked by the caller.
void shape_spectrum(const SpectrumPlan& plan, SpectrumShape& shape,
                    std::span<std::complex<float>> spectrum);

// Faults unless `spectrum` has np2 bins and `shape` holds at least np2 samples.
void check_spectrum_sizes(const SpectrumPlan& plan, const SpectrumShape& shape,
                          std::span<const std::complex<float>> spectrum);

// The steps of `shape_spectrum` after the detrending, in its order, for a
// caller that takes a pair's three rows through each step together (the rows
// are independent, so a row's values do not depend on how the steps of
// different rows interleave). Sizes as `check_spectrum_sizes` checks them.
//
// Windows the np2 detrended `deviates` by the shape's envelope into
// `spectrum` and transforms it forward.
void window_and_transform(const SpectrumPlan& plan, const SpectrumShape& shape,
                          std::span<const float> deviates, std::span<std::complex<float>> spectrum);
// The normalisation 1 / (dt sqrt(mean power over bins [0, fold_count))) of
// each of three transformed rows; each power is one 32-bit sum in increasing
// bin order from -0, the three sums stepped together.
std::array<float, 3> unit_power_scales(const SpectrumPlan& plan, float dt,
                                       const std::array<std::span<const std::complex<float>>, 3>& rows);
// Scales bins [0, fold_count) of a transformed row by `amp` and the shape's
// amplitude spectrum (in 64 bits) and mirrors them into the upper half.
void scale_and_mirror(const SpectrumPlan& plan, const SpectrumShape& shape, float amp,
                      std::span<std::complex<float>> spectrum);

// In one pass over bins [0, fold_count), the values of three steps of a
// station run in turn: `scale_and_mirror`, then `site::apply_site_amplification`
// with `site_gain`, then the gain step of `radiate_and_invert` with
// `radiation` (fold_count gains each). Every bin gets exactly the products of
// those steps in their order; the mirror that `scale_and_mirror` writes is
// one the site step overwrites, so only the final mirror is formed: bin np2 - k
// (0 < k < np2/2) gets the real part of bin k and minus its site-scaled
// imaginary part, each times the gain of bin k. The row must have exactly np2
// bins.
void scale_weight_and_mirror(const SpectrumPlan& plan, const SpectrumShape& shape, float amp,
                             std::span<const float> site_gain, std::span<const float> radiation,
                             std::span<std::complex<float>> spectrum);

// The inverse step of `radiate_and_invert`, once the gains are applied:
// transforms `spectrum` back in place and writes the scaled, end-tapered real
// part into `time_series` (as many samples as bins).
void invert_to_series(std::span<std::complex<float>> spectrum, std::span<float> time_series);

// The same, with the end taper of `plan` (formed once per length, the values
// the taper step forms) instead of forming it again; the spectrum has plan.np2
// bins.
void invert_to_series(const SpectrumPlan& plan, std::span<std::complex<float>> spectrum,
                      std::span<float> time_series);

}  // namespace detail

// Draws one component's random spectrum into `spectrum` (exactly plan.np2
// bins, overwritten whole): np2 standard normals from `rng` (exactly np2
// draws, slot order), detrended with the shape's dt, windowed by the shape's
// envelope, transformed forward, normalised and multiplied by the shape's
// amplitude spectrum; bin 0 becomes 0 and bins above the Nyquist bin are the
// conjugates of the bins they mirror. The shape must have been refreshed for
// `plan` and this component. Allocates nothing.
template <rng::Draws D>
void stochastic_spectrum(D& rng, const SpectrumPlan& plan, SpectrumShape& shape,
                         std::span<std::complex<float>> spectrum) {
    detail::check_spectrum_sizes(plan, shape, spectrum);
    rng.fill_normal(std::span<float>(shape.deviates.data(), plan.np2));
    detail::shape_spectrum(plan, shape, spectrum);
}

// Weights `spectrum` (its length is np2, at least 2 fold_count - 2 bins) by the
// component's radiation gains `radiation` (fold_count gains, bins 0 Hz to
// Nyquist; each mirrored bin takes its positive frequency's gain), transforms
// it back in place and writes the scaled, end-tapered real part into
// `time_series` (np2 samples, overwritten whole). Allocates nothing.
void radiate_and_invert(std::span<std::complex<float>> spectrum, std::span<const float> radiation,
                        std::span<float> time_series);

}  // namespace kelvane::stoc
