// The simulator: the immutable, station-independent state of one earthquake,
// and the tables and formulas its constructor builds.
//
// Every step is written in the exact width and operation order the records
// depend on: records reproduce bit for bit, so no sum or product may be
// reordered, fused or widened. All arithmetic is 32-bit unless said 64-bit.
#pragma once

#include <math.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "kelvane/config.hpp"
#include "kelvane/geom.hpp"
#include "kelvane/input.hpp"
#include "kelvane/radiation.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/state.hpp"
#include "kelvane/stoc.hpp"

namespace kelvane::sim {

// A subfault's normalised moment weight. Weights compare by their value; a
// NaN weight is neither smaller nor greater than anything.
struct MomentWeight {
    float value;  // (1)

    friend auto operator<=>(const MomentWeight&, const MomentWeight&) = default;
};

// A subfault's source strength.
struct SourceStrength {
    float subevent_moment;  // moment of the subevent (dyne-cm)
    float moment_scale;     // scale of the subfault's spectrum to the total moment (1)

    // With a = `avg_subfault_km`: subevent_moment = (((stress_drop_bars × a) × a) × a) × 1e21
    // and moment_scale = total_moment_dyn_cm ÷ (sqrt(subfault_count) × subevent_moment).
    static SourceStrength create(float stress_drop_bars, float avg_subfault_km,
                                 float total_moment_dyn_cm, std::size_t subfault_count);
};

// The scale of the slip model, returned by `normalise_source` beside the weights.
struct SourceScale {
    float avg_subfault_km;       // mean of sqrt(length × width) over the segments (km)
    float total_moment_dyn_cm;   // total moment (dyne-cm)
    std::size_t subfault_count;  // number of raw weights above 0.001 (not the slip model's count)
};

// One piece of a piecewise-linear path duration.
struct DurationSegment {
    float start_km;        // distance where the piece starts (km)
    float duration_s;      // duration at `start_km` (s)
    float slope_s_per_km;  // growth of the duration with distance (s/km)

    friend bool operator==(const DurationSegment&, const DurationSegment&) = default;
};

// A segment's angles and corner-frequency coefficient.
struct SegmentAngles {
    float strike_rad;    // strike (radians)
    float dip_rad;       // dip (radians)
    float rake_rad;      // rake (radians)
    float corner_coeff;  // corner_const ÷ alpha_t(dip, rake, calpha)

    static SegmentAngles for_segment(const input::Segment& segment, float corner_const,
                                     float calpha);
};

// 1 ÷ (dip_factor × rake_factor × calpha + 1), where the dip factor falls
// from 1 at 45° to 0 at 90° (1 from 0° to 45°, else 0) and the rake factor
// peaks at 1 for a rake of 90° and falls to 0 at 0° and 180° (0 for a rake
// folded below 0). Angles in degrees; a NaN dip or rake gives factor 0.
float alpha_t(float dip_deg, float rake_deg, float calpha);

// The run constants.
struct RunScalars {
    float dt;                           // sample interval (s)
    float fmax_hz;                      // the site's maximum frequency (Hz)
    float window_peak_fraction;         // 0.2: envelope shape, window start and peak (1)
    float window_end_fraction;          // 0.05: envelope shape (1)
    float corner_const;                 // the corner-frequency constant czero
    float calpha;                       // weight of the dip-and-rake term (1)
    float rupture_velocity_sigma;       // spread of the rupture-fraction perturbation (1)
    float avg_subfault_km;              // from `normalise_source` (km)
    std::size_t conical_sample_count;   // 1000: radiation averages and pre-drawn uniforms
    std::size_t site_table_len;         // 20: the length of the site table
    std::size_t ndata;                  // samples per record component
    float max_shear_velocity_km_s;      // largest shear speed of the working layers (km/s)
};

// Why the layered rays of a subfault centre would start far above it; see
// `traced_far_above`.
enum class FarAboveTrace : std::uint8_t {
    None,               // they start at the centre's own depth, within the gap
    AtReceiverLevel,    // at or above the receivers' level (the bottom of layer 0)
    AboveStartLayer,    // above the top of the layer of their first crossing
    ShallowerThanHalf,  // less than 1 / max_traced_depth_ratio of the centre's depth
    SlowerStartLayer,   // in a layer much slower than the one holding the centre
};

// The simulator constructor's errors, `kind` naming the variant; each
// variant reads only its own fields, the others keep their zero values.
//   InconsistentSegments   segments diced into subfaults of different sizes
//                          (`segment`, `dimension`, `found`, `expected`);
//   SingleLayerModel       a non-empty ray set over a working model of one
//                          layer and a record of at least one sample: no
//                          layer lies below the receiver level for the site
//                          amplification every placed ray goes through
//                          (`depth_km`, `vp_km_s` of that layer);
//   NoLayerBelowReceiver   a layered ray code (any code but 0) over a working
//                          model none of whose layers below the receiver
//                          layer (layer 0) has positive thickness, so no
//                          layered ray can be traced (`layer_count`, `ray_code`);
//   NoSubfaultCarriesMoment a positive total moment of which no subfault's raw
//                          weight exceeds the weight threshold: the moment
//                          cannot be shared among subfaults (each subfault's
//                          moment scale would be infinite, and so its window)
//                          (`total_moment_dyn_cm`);
//   BuriedReceiver         a layered ray code over a working model whose
//                          first layer, at least the source gap (0.02 km)
//                          thick, got no air layer for its P speed of at most
//                          0.01 km/s: the receivers lie at its bottom, while
//                          the layered rays' spreading measures a source's
//                          distance to the edges of its layer from a frame
//                          without that layer, which for a source the gap
//                          above an interface can leave no length or a
//                          negative one (`depth_km`, `vp_km_s` of the first
//                          layer, `ray_code`);
//   SourceFarAboveTrace    a layered ray code and a subfault row that carries
//                          moment below every interface, whose rays would be
//                          traced from far above it: from the gap above the
//                          bottom of the deepest layer with thickness, at or
//                          above the receivers' level, above the top of that
//                          layer, less than half the row's depth or in a
//                          layer much slower than the row's own
//                          (`segment`, `row`, `source_depth_km`,
//                          `traced_depth_km`, `far_above`,
//                          `reference_depth_km`, `start_layer_thickness_km`,
//                          `start_vsh_km_s`, `own_vsh_km_s`, `ray_code`);
//   NegativeThickness      a layered ray code over a model with a layer of
//                          negative thickness (`layer_index`, its thickness
//                          in `depth_km`, `ray_code`).
struct SimError {
    enum class Kind : std::uint8_t {
        InconsistentSegments,
        SingleLayerModel,
        NoLayerBelowReceiver,
        NoSubfaultCarriesMoment,
        BuriedReceiver,
        SourceFarAboveTrace,
        NegativeThickness,
    };

    Kind kind;
    std::size_t segment;         // index of the offending segment, from 0 (so at least 1)
    std::string_view dimension;  // "subfault_length_km" or "subfault_width_km" (static text)
    float found;                 // the offending segment's value (km)
    float expected;              // segment 0's value (km)
    float depth_km = 0.0f;       // depth of the only (or the first) layer's bottom (km)
    double vp_km_s = 0.0;        // P speed of the only (or the first) layer (km/s)
    std::size_t layer_count = 0;  // layers of the working model, the air layer included
    std::int32_t ray_code = 0;    // the first layered code of the ray set, in configuration order
    float total_moment_dyn_cm = 0.0f;  // the slip model's total moment (dyne-cm)
    std::size_t layer_index = 0;        // the offending layer of the caller's model, from 0
    std::size_t row = 0;                // down-dip row of the offending subfaults, from 0
    float source_depth_km = 0.0f;       // depth of that row's subfault centres (km)
    double traced_depth_km = 0.0;       // depth their layered rays would start from (km)
    FarAboveTrace far_above = FarAboveTrace::None;  // why that start is refused
    double reference_depth_km = 0.0;    // the receivers' level, or the start layer's top (km)
    double start_layer_thickness_km = 0.0;  // the thickness of the start layer (km)
    double start_vsh_km_s = 0.0;        // the start layer's shear speed (km/s)
    double own_vsh_km_s = 0.0;          // the shear speed of the layer holding the centres (km/s)

    friend bool operator==(const SimError&, const SimError&) = default;
};

// The message of `error`, as the module raises it unchanged.
std::string display(const SimError& error);

// Below every interface of the model, a layered ray starts the source gap
// above the bottom of the deepest layer with thickness, whatever the depth of
// its subfault centre; the ray's time, length and attenuation are then those
// of a source at that depth. A centre more than this many times as deep as
// that start is refused: near the epicentre the ray would be about that much
// too short and the record that much too strong (a 7 km cover over a centre
// at 9.5 km, 1.36 times as deep, passes; 300 m over a centre at 5 km, 18
// times, does not).
inline constexpr double max_traced_depth_ratio = 2.0;

// The ray from such a start runs in the start layer, not in the layer that
// holds the centre (the half-space), and at long range horizontally at the
// fastest speed it crosses: a start layer slower than the centre's own layer
// slows and attenuates it, the more so with range. A start layer of less than
// this fraction of that layer's shear speed is refused: 0.6 km/s of soil over
// a 3.5 km/s half-space left a twentieth of the ray at 10 km, and nothing from
// 30 km on, of what the same subfault gives in the model extended below the
// fault. (At this fraction the ray kept 0.3 to 1.2 of it at 30 km and 0.02 to
// 0.1 at 150 km; at 0.86, 0.6 to 0.8 at 150 km.)
inline constexpr double min_start_speed_fraction = 0.5;

// Whether the layered rays of a subfault centre `depth_km` deep, which start
// at `placement` (as `ray::place_source` gives it over the working layers
// `layers`), would start far above it: below the model, at or above the
// receivers' level, above the top of the deepest layer with thickness (a
// layer thinner than the gap: the first leg of every ray would then have a
// negative length), at less than 1 / `max_traced_depth_ratio` of the
// centre's depth, or in a layer slower than `min_start_speed_fraction` of the
// layer holding the centre (`source_layer_for`), checked in that order. A
// centre inside the model starts inside its own layer, the gap off its
// interfaces at most, and a NaN depth has no depth to compare: neither is
// refused.
FarAboveTrace traced_far_above(std::span<const state::Layer> layers, float depth_km,
                               const ray::SourcePlacement& placement);

// The most samples a record component can hold: 3 rows of 4-byte values
// within the largest signed 64-bit byte count, 2^63 − 1, which is also the
// most a batch result can hold for one station.
inline constexpr std::size_t max_record_samples =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / (3 * sizeof(float));

// The sample count duration ÷ dt (32 bits) of `record` when it is finite but
// more than `max_record_samples` (2^64 and more included, where the record's
// sample count `Simulator::ndata` saturates to the largest machine word):
// no record of it can be represented, and no batch of it either, not even an
// empty one. None otherwise, an infinite count (dt 0, an infinite duration)
// included.
std::optional<float> unrepresentable_sample_count(const config::RecordParameters& record);

// The frequencies of the site-amplification table (Hz), in table order.
inline constexpr std::array<float, 20> fn_hz = {
    0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f, 0.3f, 0.5f, 0.7f,
    1.0f,  2.0f,  3.0f,  5.0f,  7.0f,  10.0f, 20.0f, 30.0f, 50.0f, 70.0f,
};

// The path-duration tables. `path_duration_table(model)` gives the table of a
// model; `path_duration_table.constant_slope(s)` and
// `path_duration_table.from_breakpoints(start_km, duration_s)` are its two
// builders.
struct PathDurationTable {
    // The one-entry table {0 km, 0 s, `slope_s_per_km`}.
    static std::vector<DurationSegment> constant_slope(float slope_s_per_km);

    // One entry per breakpoint: entry k runs from start_km[k] with duration
    // duration_s[k] and the slope of the interval to breakpoint k + 1; the last
    // entry continues the last interval's slope. Each slope is one 32-bit
    // subtraction of durations divided by one of distances.
    template <std::size_t N>
        requires(N >= 2)
    static std::vector<DurationSegment> from_breakpoints(const std::array<float, N>& start_km,
                                                         const std::array<float, N>& duration_s) {
        std::vector<DurationSegment> table;
        table.reserve(N);
        for (std::size_t k = 0; k + 1 < N; ++k) {
            const float slope =
                (duration_s[k + 1] - duration_s[k]) / (start_km[k + 1] - start_km[k]);
            table.push_back({start_km[k], duration_s[k], slope});
        }
        table.push_back({start_km[N - 1], duration_s[N - 1], table.back().slope_s_per_km});
        return table;
    }

    std::vector<DurationSegment> operator()(config::PathDurationModel model) const;
};

inline constexpr PathDurationTable path_duration_table{};

// The path duration (s) at distance `r_km` (km): the last entry whose start
// lies below `r_km` (none: {0, 0, 0}) gives (r_km − start_km) × slope + duration.
// So r ≤ 0 gives 0, a NaN r gives NaN, and a breakpoint distance uses the interval below it.
float path_duration_at(std::span<const DurationSegment> table, float r_km);

// Turns the slip into moment weights over the air-inserted layers `vmod_in`:
// each subfault's raw weight is its slip × the rigidity-area of the layer at
// its row's centre depth; the weights are scaled so that those above 0.001 sum
// to about their count. Returns the scale and one weight list per segment, in
// grid order. Faults on an empty layer list or a segment with no columns.
std::pair<SourceScale, std::vector<std::vector<MomentWeight>>> normalise_source(
    const input::StochModel& stoch, std::span<const state::InputLayer> vmod_in);

// ---- station run: records, time windows, subfault arrivals and the run ----
//
// A station run turns the simulator, one station and a 64-bit seed into the
// station's three-component record. It visits the segments in list order; per
// segment it computes the subfault-to-station geometry and every subfault's
// time window, then (`subfault_pass`) walks the subfaults along strike (outer)
// and down dip (inner), and for each ray code of a subfault that passes the
// moment-weight test it traces the ray, places its arrival on the record and,
// where any of it lands inside the record, draws the three component spectra,
// amplifies them for the site, weights them by radiation, transforms them to
// time and adds them into the record.
//
// Notation:
//   sample n     record samples are numbered from 1: sample n is column n - 1
//                of a record row; sample numbers are signed 32-bit
//   np2          a pair's transform length (even, at least 2); np2_max the
//                longest of a segment (from its longest window)
//   fold_count   bins from 0 Hz to Nyquist, np2/2 + 1
//   pair         one subfault and one ray code
//
// Operation order. Every floating-point expression is written in the width
// (32-bit `float` unless said) and the bracketing that the records depend on;
// the order of the draws within each random stream and of the additions into
// the record is fixed (segments in list order, subfaults along strike outer,
// ray codes in configuration order, the three rows of a pair at once). A
// record reproduces bit for bit only with exactly this order.
//
// Conversions to sample numbers truncate toward zero and saturate (NaN gives
// 0); the additions that form a sample number are checked and abandon the run
// with a fault naming their terms when the signed 32-bit range overflows.
//
// `Simulator::run` only reads the simulator: any number of threads may run
// stations against one simulator at once, without a lock.

// The output components, in row order of every record.
enum class Component : std::uint8_t {
    E090 = 0,      // east horizontal, azimuth 090
    N000 = 1,      // north horizontal, azimuth 000
    Vertical = 2,  // vertical
};

// The components in row order: every per-ray loop visits them in this order.
inline constexpr std::array<Component, 3> components = {Component::E090, Component::N000,
                                                        Component::Vertical};

// Vertical maximum frequency cap (Hz): the vertical's high-frequency decay
// never starts above 15 Hz.
inline constexpr float vertical_fmax_cap_hz = 15.0f;

// How a component's radiation gains are computed.
struct RadiationMode {
    enum class Kind : std::uint8_t {
        Horizontal,  // perturbed-geometry average drawn from the ray's stream
        Vertical,    // conical average over the station's pre-drawn uniforms
    };

    Kind kind;
    float azimuth_offset_deg;  // Horizontal: the component's direction (degrees, −90 E090, 0 N000);
                               // 0 for Vertical

    // The offset in radians, as the horizontal gains receive it: degrees ×
    // 0.017453292 (π/180 rounded to 32 bits); −1.5707964 for E090, 0 for N000.
    float azimuth_offset_rad() const { return azimuth_offset_deg * 0.017453292f; }

    friend bool operator==(const RadiationMode&, const RadiationMode&) = default;
};

// The component's maximum frequency (Hz): for `Vertical` the smaller of
// `fmax_hz` and 15 (15 also for a NaN `fmax_hz`); the horizontals keep
// `fmax_hz` unchanged.
float capped_fmax(Component component, float fmax_hz);

// E090: Horizontal with offset −90°; N000: Horizontal with 0°; Vertical: Vertical.
RadiationMode radiation_mode(Component component);

// Arrivals whose envelope peak falls after the end of the record.
struct Clipping {
    std::size_t peaks_lost;  // traced pairs whose peak sample lies after the last record sample
    float worst_overrun_s;   // largest such overrun (s); 0 when there is none

    // The diagnostic of one arrival whose first series value lands on sample
    // `start_sample` with a window of `window_s` (s): its peak lies
    // window_peak_fraction × window_s after the start; an overrun past sample
    // ndata counts one lost peak and its overrun in seconds. A NaN overrun
    // counts nothing.
    static Clipping for_arrival(std::int32_t start_sample, float window_s, const RunScalars& run);

    // Adds `peaks_lost` and keeps the larger `worst_overrun_s` (a NaN operand
    // yields the other operand).
    Clipping& operator+=(const Clipping& other);

    friend bool operator==(const Clipping&, const Clipping&) = default;
};

// Counters of one run.
struct Census {
    std::size_t pairs_attempted;       // pairs of every subfault that passes the weight test
    std::size_t pairs_outside_record;  // of those, pairs that put no sample into the record
    std::size_t samples_computed;      // transform lengths of the placed pairs, summed
    std::size_t samples_accumulated;   // samples the placed pairs added into the record, summed
    std::size_t transform_lengths;     // distinct transform lengths planned by the run

    // Sums the first four counters; `transform_lengths` is left unchanged (the
    // run sets it once, after its last segment).
    Census& operator+=(const Census& other);

    friend bool operator==(const Census&, const Census&) = default;
};

// One station's result, owned by the caller.
struct Simulation {
    std::size_t ndata;       // samples per component
    float dt;                // sample interval (s)
    std::vector<float> acc;  // 3 rows × ndata, row-major, rows in `Component` order (cm/s²)
    Clipping clipping;       // diagnostic
    Census census;           // diagnostic

    // Row `component` of `acc`: ndata samples, sample n at index n − 1 (cm/s²).
    std::span<const float> row(Component component) const {
        return std::span<const float>(acc).subspan(static_cast<std::size_t>(component) * ndata,
                                                   ndata);
    }
};

// The station's pre-drawn uniforms of the vertical radiation average, handed
// unchanged to every vertical gain row of the run.
struct Deviates {
    std::vector<float> radv_uniform_a;  // take-off uniforms, conical_sample_count entries, [0, 1)
    std::vector<float> radv_uniform_b;  // azimuth uniforms, conical_sample_count entries, [0, 1)
};

// The station stream and its pre-draws.
struct StationStream {
    rng::DrawSource source;  // only its kind (PCG or fixture) is used after the pre-draws
    Deviates deviates;
};

// Creates the station's random source from `seed` (the fixture kind when
// KELVANE_FIXTURE_RNG is present) and fills `radv_uniform_a`, then
// `radv_uniform_b`, with `radv_sample_count` uniforms each from it, in index
// order. Nothing else is ever drawn from the station stream.
StationStream seed_and_predraw(std::uint64_t seed, std::size_t radv_sample_count);

// The index of the first layer of `vmod` (not empty) whose bottom depth
// `depth_km` (64-bit) is at least `depth_km` (km, widened); the last layer's
// index when none is (a deeper or NaN depth). With an air layer, a depth of at
// most 0.0001 km selects layer 0.
std::size_t source_layer_for(std::span<const state::Layer> vmod, float depth_km);

// The segment's plane as the geometry takes it: origin (latitude first),
// orientation, top depth, the along-strike offset of the origin and the grid.
geom::FaultPlane fault_plane_of(const input::Segment& segment);

// The time windows of one segment.
struct WindowPass {
    std::vector<float> window_s;  // per subfault, grid order (s)
    float tmax;                   // largest window, never below 0 (s); NaN windows are passed over
};

// Read-only views the subfault pass needs for one segment; owns nothing.
struct SegmentPass {
    std::size_t index;                               // position in the simulator's segment list, from 0
    const input::Segment& seg;                       // the segment
    const ::kelvane::geom::SubfaultGeometry& geom;   // its subfault rays to the station
    const WindowPass& windows;                       // its time windows
    const SegmentAngles& angles;                     // its angles and corner coefficient
    std::span<const MomentWeight> weights;           // per subfault, grid order
    std::span<const SourceStrength> strengths;       // per subfault, grid order
};

// Read-only views shared by every segment of one run; owns nothing.
struct RunContext {
    std::span<const state::Layer> vmod;            // working layers, air layer included
    const config::RuptureVelocityTaper& rupture;   // depth taper of the rupture fraction
    const RunScalars& run;                         // run constants
    std::span<const config::RayType> rayset;       // ray codes in configuration order
    const Deviates& deviates;                      // the station's pre-drawn uniforms
    std::span<const float> siteamp_log_freq;       // ln of the 20 site-table frequencies (ln Hz)
    float kappa_s;                                 // the station's near-surface attenuation (s)
    std::uint64_t station_seed;                    // the run's seed
};

// π and π/2 rounded to 32 bits.
inline constexpr float pi_f = 3.1415927f;
inline constexpr float half_pi_f = 1.5707964f;

// Saturating conversion of `value` to a sample number: truncation toward zero;
// NaN gives 0, values at or above 2^31 give 2^31 − 1, values at or below
// −2^31 give −2^31.
inline std::int32_t saturating_sample(float value) {
    if (value != value) return 0;
    if (value >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
    if (value <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

// a + b as sample numbers; an overflow of the signed 32-bit range abandons the
// run with a fault naming `what` and both terms.
std::int32_t checked_sample_sum(std::int32_t a, std::int32_t b, const char* what);

// The values gathered for one subfault that passes the weight test; read by
// every ray of it.
struct SubfaultSource {
    ::kelvane::geom::SubfaultRay geometry;  // straight line from the subfault centre to the station
    MomentWeight weight;                    // normalised moment weight
    SourceStrength strength;                // subevent moment and moment scale
    float rupture_time_s;                   // rupture time (s)
    float window_s;                         // time window from the segment's `WindowPass` (s)
    std::size_t layer;                      // layer holding the subfault centre
    float shear_velocity_km_s;              // that layer's shear speed, narrowed (km/s)
    float density_g_cm3;                    // that layer's density, narrowed (g/cm³)
    float corner_frequency_hz;              // corner frequency with the rupture-speed perturbation (Hz)

    // Rupture fractions never exceed 1.4 after the random perturbation.
    static constexpr float max_rupture_fraction = 1.4f;

    // The values of subfault (i, j) (both counted from 1), or none when its
    // moment weight is below 0.001 (a NaN weight passes); a skipped subfault
    // draws nothing. When rupture_velocity_sigma σ > 0 (not NaN), draws one
    // standard normal N from `subfault_rng` and perturbs the depth taper's
    // rupture fraction to min(base × exp(N σ), 1.4) (1.4 also for NaN): the
    // only draw of the subfault's stream.
    template <rng::Draws D>
    static std::optional<SubfaultSource> gather(D& subfault_rng, const SegmentPass& segment,
                                                std::size_t i, std::size_t j,
                                                const RunContext& context);

    // A lower bound on the start sample of every ray of this subfault: its
    // straight-line travel time at the model's largest shear speed less 0.2 of
    // its window (no later than a straight ray's window start when the ray set
    // holds code 0), in whole samples, plus its rupture sample.
    std::int32_t earliest_start_sample(const RunScalars& run,
                                       std::span<const config::RayType> rayset) const;
};

// One traced ray of one subfault.
struct TracedRay {
    float path_length_km;  // length of the ray (km)
    float qbar;            // travel time over Q summed along the ray (s)
    float window_start_s;  // start of the time window after the rupture time (s)
    float takeoff_rad;     // take-off angle from the downward vertical (radians)
};

// Straight ray (code 0): the slant line, qbar = slant ÷ (vs × 150), window
// start (slant × 0.7) ÷ 3.7. Layered ray: `green_function` in SH from the
// subfault depth and horizontal range, incidence asin(rp0 × vs) (π/2 past 1),
// take-off π − incidence for an upgoing code and the incidence for a
// downgoing one, window start 0.2 × window before the travel time.
// `ray_state` is rewritten by every layered ray. A negative code faults in
// the tracer.
TracedRay trace_ray(ray::RayState& ray_state, const SubfaultSource& source, config::RayType code,
                    const RunContext& context);

// Where a series of np2 values lands in a record of ndata samples.
struct Placement {
    std::size_t skip;    // series values dropped at its head
    std::size_t offset;  // record column of the first value kept
    std::size_t count;   // values kept

    // Value t (from 0) of a series whose first value lands on sample
    // `start_sample` goes to sample start_sample + t; values before sample 1
    // and after sample ndata are dropped. None when no value lands in the
    // record. Exact for every input: the sums are formed in 64 bits.
    static std::optional<Placement> clip(std::int32_t start_sample, std::size_t np2,
                                         std::size_t ndata);

    friend bool operator==(const Placement&, const Placement&) = default;
};

// A ray's arrival on the record.
struct Arrival {
    std::int32_t start_sample;            // record sample of the series' first value
    radiation::RadiationAngles angles;    // the segment's angles, the subfault azimuth, the ray's take-off

    // `Placement::clip` of `start_sample`, np2 and ndata.
    std::optional<Placement> placement(std::size_t np2, std::size_t ndata) const {
        return Placement::clip(start_sample, np2, ndata);
    }
};

// start_sample = the window start in whole samples plus the rupture time in
// whole samples (each truncated separately; a checked addition); the angles of
// the segment, the subfault's azimuth and the ray's take-off.
Arrival arrival_time_and_angles(const TracedRay& ray, const SubfaultSource& source,
                                const SegmentAngles& angles, const RunScalars& run);

// Adds weight × series[r][skip + t] into acc[r][offset + t] for the three rows
// r and t = 0 … count − 1 (32-bit, the product first). Requires offset + count
// ≤ each `acc` row's length and skip + count ≤ each series row's length, which
// `Placement::clip` guarantees for the lengths it was given.
void accumulate_subfault(const std::array<std::span<float>, 3>& acc,
                         const std::array<std::span<const float>, 3>& series, MomentWeight weight,
                         const Placement& placement);

// The tallies of one segment pass.
struct SegmentTally {
    Clipping clipping;
    Census census;
};

// The pairs of one segment: subfaults along strike (outer) and down dip
// (inner), ray codes in configuration order; adds every placed pair's three
// series into `acc` (3 rows × ndata, row-major) and returns the segment's
// tallies. `rng` gives only its kind to the derived streams; `plans` gains the
// plan of the longest length a pair of the segment can ask for (that of its
// longest window, or with a negative dt of its shortest, cut to twice the
// record) and of every placed pair's length. The transform scratch is
// allocated once, at that longest length, when the first pair lands in the
// record. A ray code above
// 34 is timed from its traversal counts first and traced only when it
// reaches the record.
SegmentTally subfault_pass(const rng::DrawSource& rng, stoc::PlanCache& plans,
                           std::span<float> acc, const SegmentPass& segment,
                           const RunContext& context);

// Number of amplitude-spectrum refreshes the subfault passes of this thread
// have made: a test hook (one per placed pair when fmax ≤ 15 Hz, two above, three
// for NaN).
std::size_t shape_refreshes_on_this_thread();

// ---- definitions of the templates ----

template <rng::Draws D>
std::optional<SubfaultSource> SubfaultSource::gather(D& subfault_rng, const SegmentPass& segment,
                                                     std::size_t i, std::size_t j,
                                                     const RunContext& context) {
    const std::size_t k = segment.seg.grid_index(i, j);
    // Weight test: below 0.001 (32-bit) the subfault is skipped without a draw.
    const MomentWeight weight = segment.weights[k];
    if (weight.value < 0.001f) return std::nullopt;

    const ::kelvane::geom::SubfaultRay geometry = segment.geom.at(i, j);
    const std::size_t layer = source_layer_for(context.vmod, geometry.depth_km);
    const float shear_velocity_km_s = static_cast<float>(context.vmod[layer].vsh_km_s);
    const float density_g_cm3 = static_cast<float>(context.vmod[layer].density_g_cm3);

    // Rupture fraction: the depth taper, perturbed by one log-normal factor.
    const float base = context.rupture.factor(geometry.depth_km);
    float rupture_fraction = base;
    const float sigma = context.run.rupture_velocity_sigma;
    if (sigma > 0.0f) {
        const float n = subfault_rng.normal();
        const float perturbed = base * ::expf(n * sigma);
        // A NaN product is capped too.
        rupture_fraction = perturbed < max_rupture_fraction ? perturbed : max_rupture_fraction;
    }

    const float corner_frequency_hz =
        (((rupture_fraction * segment.angles.corner_coeff) * shear_velocity_km_s) /
         context.run.avg_subfault_km) /
        pi_f;
    return SubfaultSource{geometry,
                          weight,
                          segment.strengths[k],
                          segment.seg.at(i, j).rupture_time_s,
                          segment.windows.window_s[k],
                          layer,
                          shear_velocity_km_s,
                          density_g_cm3,
                          corner_frequency_hz};
}

// The immutable, station-independent state of one earthquake. Made only by
// `create`, which copies everything it keeps; never changed afterwards, so
// any number of threads may read one simulator at the same time.
//
// The run constants are the field `run_scalars`: the name `run` belongs to the
// station run.
class Simulator {
public:
    // All station-independent work, once: the site logarithms, the dicing
    // check, the path-duration table, the air layer, the crust check, the
    // rupture taper, the slip normalisation and source strengths, the run
    // constants and the segment angles. The two checks give the errors: the
    // dicing check comes before anything that can fault; the crust check
    // refuses a ray set the working layers (air layer included) cannot carry,
    // the ones a station run would fault on: any ray over a single layer, a
    // layered ray where no layer below the receiver layer has positive
    // thickness. `vmod_in` is a model prepared by
    // `input::build_velocity_model`; faults when it is empty. The arguments
    // are not changed and not referred to afterwards.
    static std::variant<Simulator, SimError> create(const config::HfConfig& config,
                                                    const input::StochModel& slip,
                                                    std::span<const state::InputLayer> vmod_in);

    // Samples of every component of every record.
    std::size_t ndata() const { return run_scalars.ndata; }

    // The station run: the three-component record of `station` for the
    // 64-bit `seed`, with its diagnostics. Only reads the simulator, so any
    // number of threads may run stations against one simulator at once. Returns
    // no error value; a broken invariant or a record that cannot be
    // represented (3 × ndata 4-byte values beyond the largest signed machine
    // word, or more samples than signed 32-bit sample numbers reach) faults,
    // before any segment. A failed allocation throws std::bad_alloc; nothing
    // is leaked.
    Simulation run(const input::Station& station, std::uint64_t seed) const;

    // The time windows of `segment` towards one station: per subfault (grid
    // order) 2.12 × (path duration at the slant distance + source duration),
    // the source duration being √moment_scale over the unperturbed corner
    // frequency; `tmax` the largest (never below 0).
    WindowPass time_window_pass(const input::Segment& segment,
                                const ::kelvane::geom::SubfaultGeometry& geometry,
                                const SegmentAngles& segment_angles,
                                std::span<const SourceStrength> segment_strengths) const;

    const input::StochModel slip;                                // own copy of the slip model
    const std::vector<std::vector<MomentWeight>> weights;        // per segment, grid order
    const std::vector<std::vector<SourceStrength>> strengths;    // per segment, grid order
    const std::vector<state::Layer> vmod;                        // working layers, air layer first
    const config::RuptureVelocityTaper rupture;                  // depth taper of the rupture fraction
    const std::vector<DurationSegment> path_duration;            // the configured path-duration table
    const std::vector<SegmentAngles> angles;                     // per segment
    const std::vector<config::RayType> rayset;                   // copy of the configured ray codes
    const RunScalars run_scalars;                                // the run constants
    const std::array<float, 20> siteamp_log_freq;                // logf of each `fn_hz` entry

private:
    Simulator(input::StochModel slip_model, std::vector<std::vector<MomentWeight>> weight_lists,
              std::vector<std::vector<SourceStrength>> strength_lists,
              std::vector<state::Layer> layers, config::RuptureVelocityTaper taper,
              std::vector<DurationSegment> durations, std::vector<SegmentAngles> segment_angles,
              std::vector<config::RayType> rays, RunScalars scalars,
              std::array<float, 20> log_freq);
};

}  // namespace kelvane::sim
