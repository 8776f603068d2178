// The simulator constructor and the station-independent tables it builds.
//
// Notation: a = mean subfault size (km); raw weight = slip × rigidity-area of
// the layer at the subfault row's centre; L = the working layer list with the
// air layer in front. Every expression keeps the width and operation order of
// the method as written (brackets included): records reproduce bit for bit,
// so a sum is never reordered or compensated and a product never fused.
// 0.017453292f is π/180 rounded to 32 bits.
#include "kelvane/sim.hpp"

#include <math.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "kelvane/cpu.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/format.hpp"
#include "kelvane/geom.hpp"
#include "kelvane/radiation.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/site.hpp"
#include "kelvane/stoc.hpp"

namespace kelvane::sim {

namespace {

// π/180 rounded to 32 bits: degrees to radians.
constexpr float deg_to_rad = 0.017453292f;

// Raw weights at or below this are left out of the subfault count and the
// weight sum (the station run skips normalised weights below it too).
constexpr float weight_threshold = 0.001f;

// A first layer without the air layer for its P speed is refused to layered
// rays from this thickness on: the source gap (0.02 km, in 32 bits), the
// least distance of a source from the bottom of its layer (km).
constexpr float buried_receiver_min_km = static_cast<float>(ray::source_gap_km);

// 2^64 as a 32-bit float: the first sample count a machine word cannot hold.
constexpr float word_limit = 18446744073709551616.0f;

// The quotient a record's samples are counted from: duration ÷ dt in 32 bits.
float sample_quotient(const config::RecordParameters& record) {
    return record.duration_s / record.dt_s;
}

// The samples of a record of sample quotient `quotient`, truncated toward
// zero with saturation (negative or NaN gives 0; 2^64 or more, inf included,
// gives the largest machine word).
std::size_t samples_in(float quotient) {
    if (!(quotient >= 0.0f)) return 0;
    if (quotient >= word_limit) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(quotient);
}

// The dicing check: the first segment after segment 0 whose subfault length,
// then width, differs from segment 0's (a NaN never compares equal).
std::optional<SimError> dicing_mismatch(const input::StochModel& slip) {
    if (slip.segments.empty()) return std::nullopt;
    const input::Segment& reference = slip.segments[0];
    for (std::size_t k = 1; k < slip.segments.size(); ++k) {
        const input::Segment& segment = slip.segments[k];
        if (!(segment.subfault_length_km == reference.subfault_length_km)) {
            return SimError{SimError::Kind::InconsistentSegments, k, "subfault_length_km",
                            segment.subfault_length_km, reference.subfault_length_km};
        }
        if (!(segment.subfault_width_km == reference.subfault_width_km)) {
            return SimError{SimError::Kind::InconsistentSegments, k, "subfault_width_km",
                            segment.subfault_width_km, reference.subfault_width_km};
        }
    }
    return std::nullopt;
}

// The first code of `rayset` that is traced through the layers (any code but
// 0, negative codes included: the tracer places the source before it reads
// the code), in configuration order; none when every code is 0.
std::optional<std::int32_t> first_layered_code(std::span<const config::RayType> rayset) {
    const auto layered = std::find_if(rayset.begin(), rayset.end(),
                                      [](config::RayType code) { return code.code != 0; });
    if (layered == rayset.end()) return std::nullopt;
    return layered->code;
}

// The crust check: what the working layers `layers` (air layer included)
// lack for the ray set, for records of `ndata` samples; none when a station
// run can never fault on them.
// - Every pair placed on the record goes through the site amplification,
//   whose walk starts at layer 1, below the receiver level: over a single
//   layer no ray can be placed (a prepared model of one layer gets the air
//   layer only when it is deeper than 0.001 km with a P speed above
//   0.01 km/s). A record of no samples places no pair.
// - A layered ray (any code but 0, negative codes included: the tracer places
//   the source before it reads the code) starts in a layer below the
//   receiver layer that has positive thickness; the tracer faults when there
//   is none, whatever the source depth, and rays are traced before they are
//   placed, so even a record of no samples meets it. Code 0 needs no such
//   layer.
// The test `thickness_km > 0` is the tracer's own (its 64-bit thickness is
// this one widened exactly; a NaN thickness is not positive).
std::optional<SimError> crust_shortfall(std::span<const state::InputLayer> layers,
                                        std::span<const config::RayType> rayset,
                                        std::size_t ndata) {
    if (rayset.empty()) return std::nullopt;
    if (layers.size() < 2 && ndata > 0) {
        SimError error{SimError::Kind::SingleLayerModel, 0, {}, 0.0f, 0.0f};
        error.depth_km = layers.front().depth_km;
        error.vp_km_s = layers.front().vp_km_s;
        return error;
    }
    const std::optional<std::int32_t> layered = first_layered_code(rayset);
    if (!layered) return std::nullopt;
    const bool has_thickness = std::any_of(layers.begin() + 1, layers.end(),
                                           [](const state::InputLayer& layer) {
                                               return layer.thickness_km > 0.0f;
                                           });
    if (!has_thickness) {
        SimError error{SimError::Kind::NoLayerBelowReceiver, 0, {}, 0.0f, 0.0f};
        error.layer_count = layers.size();
        error.ray_code = *layered;
        return error;
    }
    // The spreading of a layered ray measures the source's distance to the
    // edge of its layer in a frame that leaves out layer 0, which is right
    // within layer 0's thickness: 0.1 mm for the air layer, at most 1 m for a
    // first layer that gets none because it is that thin. A first layer left
    // without the air layer for its P speed (at most 0.01 km/s, compared as
    // the air-layer test compares it: a caller's own air layer) shortens the
    // first leg of every downgoing ray by its thickness. No source lies
    // closer than the source gap to the bottom of its layer, so a layer
    // thinner than the gap leaves every leg a length (metres short at most,
    // the records within a few per cent of the same crust without it), while
    // one at least as thick leaves a source the gap above an interface no
    // first leg or a negative one, and the records grow with its thickness
    // (3.5 times too strong under 3 km).
    const state::InputLayer& first = layers.front();
    if (first.thickness_km >= buried_receiver_min_km &&
        first.vp_km_s <= input::air_layer_min_vp_km_s) {
        SimError error{SimError::Kind::BuriedReceiver, 0, {}, 0.0f, 0.0f};
        error.depth_km = first.thickness_km;
        error.vp_km_s = first.vp_km_s;
        error.ray_code = *layered;
        return error;
    }
    return std::nullopt;
}

// The first layer of the prepared model `prepared` (the caller's layers down
// to the half-space, before the air layer) whose thickness is negative, when
// the ray set has a layered code; none otherwise. The tracer sums thicknesses
// into interface depths and path lengths: a negative one leaves rays
// negative lengths and a source above the top of its own layer, and can take
// every positive count off a ray, whose ray parameter is then unbounded.
std::optional<SimError> negative_thickness(std::span<const state::InputLayer> prepared,
                                           std::span<const config::RayType> rayset) {
    const std::optional<std::int32_t> layered = first_layered_code(rayset);
    if (!layered) return std::nullopt;
    for (std::size_t k = 0; k < prepared.size(); ++k) {
        if (!(prepared[k].thickness_km < 0.0f)) continue;
        SimError error{SimError::Kind::NegativeThickness, 0, {}, 0.0f, 0.0f};
        error.layer_index = k;
        error.depth_km = prepared[k].thickness_km;
        error.ray_code = *layered;
        return error;
    }
    return std::nullopt;
}

// The first subfault row of `slip` that carries moment (a weight of `weights`
// not below the threshold, or NaN: the rows the station run traces) and whose
// layered rays over the working layers `vmod` would start far above it
// (`traced_far_above`); none when the ray set has no layered code. Rows in
// segment order, top row first.
std::optional<SimError> source_far_above_trace(
    const input::StochModel& slip, std::span<const std::vector<MomentWeight>> weights,
    std::span<const state::Layer> vmod, std::span<const config::RayType> rayset) {
    const std::optional<std::int32_t> layered = first_layered_code(rayset);
    if (!layered) return std::nullopt;
    const std::size_t segment_count = std::min(slip.segments.size(), weights.size());
    for (std::size_t s = 0; s < segment_count; ++s) {
        const input::Segment& segment = slip.segments[s];
        const std::span<const MomentWeight> segment_weights = weights[s];
        const geom::FaultPlane plane = fault_plane_of(segment);
        const std::size_t along = segment.along_strike_count;
        for (std::size_t row = 0; row < segment.down_dip_count; ++row) {
            const std::span<const MomentWeight> row_weights =
                segment_weights.subspan(row * along, along);
            const bool traced = std::any_of(row_weights.begin(), row_weights.end(),
                                            [](MomentWeight w) { return !(w.value < weight_threshold); });
            if (!traced) continue;
            const float depth_km = geom::row_centre_depth_km(plane, row);
            const ray::SourcePlacement placement =
                ray::place_source(vmod, static_cast<double>(depth_km));
            const FarAboveTrace why = traced_far_above(vmod, depth_km, placement);
            if (why == FarAboveTrace::None) continue;
            SimError error{SimError::Kind::SourceFarAboveTrace, s, {}, 0.0f, 0.0f};
            error.row = row;
            error.source_depth_km = depth_km;
            error.traced_depth_km = placement.depth_km;
            error.far_above = why;
            error.reference_depth_km = why == FarAboveTrace::AboveStartLayer
                                           ? ray::layer_top_km(vmod, placement.layer)
                                           : vmod.front().thickness_km;
            error.start_layer_thickness_km = vmod[placement.layer].thickness_km;
            error.start_vsh_km_s = vmod[placement.layer].vsh_km_s;
            error.own_vsh_km_s = vmod[source_layer_for(vmod, depth_km)].vsh_km_s;
            error.ray_code = *layered;
            return error;
        }
    }
    return std::nullopt;
}

// The index of the first layer whose bottom is at or below `depth_km` (a
// 32-bit comparison), else the last layer. `layers` is not empty.
std::size_t layer_at(std::span<const state::InputLayer> layers, float depth_km) {
    for (std::size_t k = 0; k < layers.size(); ++k) {
        if (layers[k].depth_km >= depth_km) return k;
    }
    return layers.size() - 1;
}

}  // namespace

FarAboveTrace traced_far_above(std::span<const state::Layer> layers, float depth_km,
                               const ray::SourcePlacement& placement) {
    if (!placement.below_model || std::isnan(depth_km)) return FarAboveTrace::None;
    if (placement.depth_km <= layers[0].thickness_km) return FarAboveTrace::AtReceiverLevel;
    if (placement.depth_km < ray::layer_top_km(layers, placement.layer)) {
        return FarAboveTrace::AboveStartLayer;
    }
    if (static_cast<double>(depth_km) > max_traced_depth_ratio * placement.depth_km) {
        return FarAboveTrace::ShallowerThanHalf;
    }
    const double own_vsh_km_s = layers[source_layer_for(layers, depth_km)].vsh_km_s;
    if (layers[placement.layer].vsh_km_s < min_start_speed_fraction * own_vsh_km_s) {
        return FarAboveTrace::SlowerStartLayer;
    }
    return FarAboveTrace::None;
}

std::optional<float> unrepresentable_sample_count(const config::RecordParameters& record) {
    const float quotient = sample_quotient(record);
    if (std::isinf(quotient)) return std::nullopt;
    if (samples_in(quotient) <= max_record_samples) return std::nullopt;
    return quotient;
}

SourceStrength SourceStrength::create(float stress_drop_bars, float avg_subfault_km,
                                      float total_moment_dyn_cm, std::size_t subfault_count) {
    const float a = avg_subfault_km;
    // 1e21 turns bars × km³ into dyne-cm.
    const float subevent_moment = (((stress_drop_bars * a) * a) * a) * 1e21f;
    const float moment_scale =
        total_moment_dyn_cm / (::sqrtf(static_cast<float>(subfault_count)) * subevent_moment);
    return {subevent_moment, moment_scale};
}

float alpha_t(float dip_deg, float rake_deg, float calpha) {
    // Dip factor: 1 up to 45° (45 itself takes the falling branch and gives 1),
    // falling to 0 at 90°, 0 outside [0°, 90°] and for NaN.
    float dip_factor = 0.0f;
    if (dip_deg >= 45.0f && dip_deg <= 90.0f) {
        dip_factor = ((dip_deg - 45.0f) / (-45.0f)) + 1.0f;
    } else if (dip_deg >= 0.0f && dip_deg <= 45.0f) {
        dip_factor = 1.0f;
    }
    // Rake wrapped into [0, 360) with the exact remainder, then folded into (−180, 180].
    float wrapped_rake_deg = ::fmodf(rake_deg, 360.0f);
    if (wrapped_rake_deg < 0.0f) wrapped_rake_deg = wrapped_rake_deg + 360.0f;
    const float folded = (wrapped_rake_deg > 180.0f) ? (wrapped_rake_deg - 360.0f) : wrapped_rake_deg;
    // Rake factor: 1 at 90°, 0 at 0° and 180°, 0 below 0° and for NaN.
    float rake_factor = 0.0f;
    if (folded >= 0.0f && folded <= 180.0f) {
        rake_factor = (::fabsf(folded - 90.0f) / (-90.0f)) + 1.0f;
    }
    return 1.0f / (((dip_factor * rake_factor) * calpha) + 1.0f);
}

SegmentAngles SegmentAngles::for_segment(const input::Segment& segment, float corner_const,
                                         float calpha) {
    return {segment.strike_deg * deg_to_rad, segment.dip_deg * deg_to_rad,
            segment.rake_deg * deg_to_rad,
            corner_const / alpha_t(segment.dip_deg, segment.rake_deg, calpha)};
}

namespace {

// Why a subfault's layered rays would start far above it, for its message.
std::string far_above_reason(const SimError& error) {
    switch (error.far_above) {
        case FarAboveTrace::AtReceiverLevel:
            return format("at or above the receivers' level ({} km deep)",
                          static_cast<float>(error.reference_depth_km));
        case FarAboveTrace::AboveStartLayer:
            return format("above the top ({} km deep) of the layer the ray would start in, "
                          "which is {} km thick, thinner than 0.02 km",
                          static_cast<float>(error.reference_depth_km),
                          static_cast<float>(error.start_layer_thickness_km));
        case FarAboveTrace::ShallowerThanHalf:
            return "less than half their depth";
        case FarAboveTrace::SlowerStartLayer:
            return format("in a layer of shear speed {} km/s, less than half the {} km/s of the "
                          "layer that holds them",
                          static_cast<float>(error.start_vsh_km_s),
                          static_cast<float>(error.own_vsh_km_s));
        case FarAboveTrace::None:
            break;
    }
    return "far above them";
}

}  // namespace

std::string display(const SimError& error) {
    switch (error.kind) {
        case SimError::Kind::InconsistentSegments:
            return format(
                "segment {} has {} = {} km, but segment 0 has {} km; every segment must be diced "
                "the same way because the subfault size is one quantity for the whole run",
                error.segment, error.dimension, error.found, error.expected);
        case SimError::Kind::SingleLayerModel:
            return format(
                "the velocity model is a single layer {} km deep with a P speed of {} km/s and "
                "gets no air layer, so there is no layer below the receiver level for the site "
                "amplification of any ray; a model needs a second layer, or a first layer deeper "
                "than 0.001 km with a P speed above 0.01 km/s",
                error.depth_km, error.vp_km_s);
        case SimError::Kind::NoLayerBelowReceiver:
            return format(
                "no layer below the receiver layer of this {}-layer velocity model (air layer "
                "included) has positive thickness, so ray type {} cannot be traced; every ray "
                "type but 0 is traced through the layers below the receiver layer and needs one "
                "of positive thickness",
                error.layer_count, error.ray_code);
        case SimError::Kind::NoSubfaultCarriesMoment:
            return format(
                "the slip model has a total moment of {} dyne-cm, but no subfault's moment "
                "weight (slip in cm × shear speed² × density × subfault area, at the depth of "
                "its row) exceeds 0.001, so the moment cannot be shared among the subfaults; "
                "subfaults whose centres lie in the air layer carry almost no moment",
                error.total_moment_dyn_cm);
        case SimError::Kind::BuriedReceiver:
            return format(
                "the first layer of the velocity model is {} km thick with a P speed of {} km/s "
                "and gets no air layer, so the receivers lie at its bottom, {} km deep; ray type "
                "{} and every other layered ray measure a source's distance to the edges of its "
                "layer without this layer, which leaves a source 0.02 km above an interface (the "
                "closest any source lies) no way down to it, or a negative one, so over this model "
                "only ray type 0 can be used (a first layer thinner than 0.02 km, or with a P "
                "speed above 0.01 km/s, which gets the air layer, serves every ray)",
                error.depth_km, error.vp_km_s, error.depth_km, error.ray_code);
        case SimError::Kind::NegativeThickness:
            return format(
                "layer {} of the velocity model (counted from 0) is {} km thick; ray type {} and "
                "every other layered ray sum the layers' thicknesses into the depths of their "
                "interfaces and the lengths of their paths, which a negative thickness makes "
                "negative, so over this model only ray type 0 can be used; give every layer a "
                "thickness of 0 or more",
                error.layer_index, error.depth_km, error.ray_code);
        case SimError::Kind::SourceFarAboveTrace:
            return format(
                "ray type {} would trace the subfaults of segment {} whose centres lie {} km deep "
                "(down-dip row {}, counted from 0) from {} km deep, {}: no interface of the "
                "velocity model lies below them, and a layered ray from below the model starts "
                "0.02 km above the bottom of its deepest layer with thickness, whatever the "
                "source's depth, so this ray's length, attenuation and travel time would not be "
                "those of these subfaults; extend the velocity model below the fault, so that "
                "its last interface lies deeper than the fault, or use ray type 0 alone",
                error.ray_code, error.segment, error.source_depth_km, error.row,
                static_cast<float>(error.traced_depth_km), far_above_reason(error));
    }
    fault(format("simulator error kind {} is not one of the seven kinds",
                 static_cast<unsigned>(error.kind)));
}

std::vector<DurationSegment> PathDurationTable::constant_slope(float slope_s_per_km) {
    return {DurationSegment{0.0f, 0.0f, slope_s_per_km}};
}

std::vector<DurationSegment> PathDurationTable::operator()(config::PathDurationModel model) const {
    using config::PathDurationModel;
    switch (model) {
        case PathDurationModel::Vorel2010:
            return constant_slope(0.063f);
        case PathDurationModel::Wus:
            return constant_slope(0.07f);
        case PathDurationModel::Ena:
            return constant_slope(0.1f);
        case PathDurationModel::Tarnel2014Wus:
            return from_breakpoints(std::array{0.0f, 7.0f, 45.0f, 125.0f, 175.0f, 270.0f},
                                    std::array{0.0f, 2.4f, 8.4f, 10.9f, 17.4f, 34.2f});
        case PathDurationModel::Tarnel2015Ena:
            return from_breakpoints(
                std::array{0.0f, 15.0f, 35.0f, 50.0f, 125.0f, 200.0f, 392.0f, 600.0f},
                std::array{0.0f, 2.6f, 17.5f, 25.1f, 25.1f, 28.5f, 46.0f, 69.1f});
    }
    fault(format("path-duration model {} is not one of the five models",
                 static_cast<unsigned>(model)));
}

float path_duration_at(std::span<const DurationSegment> table, float r_km) {
    // The last entry that starts below r; a NaN r passes none.
    DurationSegment used{0.0f, 0.0f, 0.0f};
    for (const DurationSegment& entry : table) {
        if (!(entry.start_km < r_km)) break;
        used = entry;
    }
    return ((r_km - used.start_km) * used.slope_s_per_km) + used.duration_s;
}

std::pair<SourceScale, std::vector<std::vector<MomentWeight>>> normalise_source(
    const input::StochModel& stoch, std::span<const state::InputLayer> vmod_in) {
    KELVANE_CHECK(!vmod_in.empty(), "cannot normalise the slip over a velocity model with no layers");

    // Mean subfault size: a plain 32-bit sum from −0, in segment order.
    float size_sum_km = -0.0f;
    for (const input::Segment& segment : stoch.segments) {
        size_sum_km = size_sum_km + ::sqrtf(segment.subfault_length_km * segment.subfault_width_km);
    }
    const float avg_subfault_km = size_sum_km / static_cast<float>(stoch.segments.size());

    // Raw weights, segment by segment in grid order, each row over the layer
    // at its centre depth.
    std::vector<std::vector<MomentWeight>> weights;
    weights.reserve(stoch.segments.size());
    float relative_moment_sum = 0.0f;
    for (const input::Segment& segment : stoch.segments) {
        std::vector<MomentWeight> raw;
        raw.reserve(segment.subfaults.size());
        const float row_depth_step_km = ::sinf(segment.dip_deg * deg_to_rad) * segment.subfault_width_km;
        std::size_t row_index = 0;
        for (const std::span<const input::Subfault> row : segment.depth_rows()) {
            const float row_depth_km =
                ((static_cast<float>(row_index) + 0.5f) * row_depth_step_km) + segment.top_depth_km;
            const state::InputLayer& layer = vmod_in[layer_at(vmod_in, row_depth_km)];
            // μ × area in 64 bits, narrowed once.
            const float rigidity_area = static_cast<float>(
                (((layer.vsh_km_s * layer.vsh_km_s) * layer.density_g_cm3) *
                 static_cast<double>(segment.subfault_length_km)) *
                static_cast<double>(segment.subfault_width_km));
            for (const input::Subfault& subfault : row) {
                const float raw_weight = subfault.slip.cm * rigidity_area;
                raw.push_back(MomentWeight{raw_weight});
                relative_moment_sum = relative_moment_sum + raw_weight;
            }
            ++row_index;
        }
        weights.push_back(std::move(raw));
    }
    // 1e20 turns the relative moment (cm × (km/s)² × g/cm³ × km²) into dyne-cm.
    const float total_moment_dyn_cm = relative_moment_sum * 1e20f;

    // Count and sum of the raw weights above the threshold (NaN is not counted).
    std::size_t subfault_count = 0;
    float weight_sum = 0.0f;
    for (const std::vector<MomentWeight>& segment_weights : weights) {
        for (const MomentWeight w : segment_weights) {
            if (w.value > weight_threshold) {
                ++subfault_count;
                weight_sum = weight_sum + w.value;
            }
        }
    }
    // Every weight is scaled, above the threshold or not; with none above it the
    // scale is 0 ÷ 0 = NaN and so is every weight.
    const float scale = static_cast<float>(subfault_count) / weight_sum;
    for (std::vector<MomentWeight>& segment_weights : weights) {
        for (MomentWeight& w : segment_weights) w.value = w.value * scale;
    }
    return {SourceScale{avg_subfault_km, total_moment_dyn_cm, subfault_count}, std::move(weights)};
}

Simulator::Simulator(input::StochModel slip_model,
                     std::vector<std::vector<MomentWeight>> weight_lists,
                     std::vector<std::vector<SourceStrength>> strength_lists,
                     std::vector<state::Layer> layers, config::RuptureVelocityTaper taper,
                     std::vector<DurationSegment> durations,
                     std::vector<SegmentAngles> segment_angles, std::vector<config::RayType> rays,
                     RunScalars scalars, std::array<float, 20> log_freq)
    : slip(std::move(slip_model)),
      weights(std::move(weight_lists)),
      strengths(std::move(strength_lists)),
      vmod(std::move(layers)),
      rupture(taper),
      path_duration(std::move(durations)),
      angles(std::move(segment_angles)),
      rayset(std::move(rays)),
      run_scalars(scalars),
      siteamp_log_freq(log_freq) {}

std::variant<Simulator, SimError> Simulator::create(const config::HfConfig& config,
                                                    const input::StochModel& slip,
                                                    std::span<const state::InputLayer> vmod_in) {
    // 1. Natural logarithms of the site-table frequencies.
    std::array<float, 20> siteamp_log_freq{};
    for (std::size_t k = 0; k < fn_hz.size(); ++k) siteamp_log_freq[k] = ::logf(fn_hz[k]);

    // 2. Own copies of the slip model and the layers.
    input::StochModel slip_copy = slip;
    std::vector<state::InputLayer> layers(vmod_in.begin(), vmod_in.end());

    // 3. The dicing check, before anything that can fault.
    if (const std::optional<SimError> mismatch = dicing_mismatch(slip_copy)) return *mismatch;

    // 4. The path-duration table.
    std::vector<DurationSegment> path_duration = path_duration_table(config.path.path_duration);

    // 5. The air layer (faults on an empty layer list).
    const std::vector<state::InputLayer> air_layers = input::insert_air_layer(std::move(layers));

    // 9, brought forward: samples per record, which the crust check needs.
    const std::size_t ndata = samples_in(sample_quotient(config.record));

    // The crust check, on the layers the station runs will use and the
    // length of the records they fill.
    if (const std::optional<SimError> shortfall =
            crust_shortfall(air_layers, config.path.rayset, ndata)) {
        return *shortfall;
    }
    if (const std::optional<SimError> negative = negative_thickness(vmod_in, config.path.rayset)) {
        return *negative;
    }

    // 6. The rupture taper: shallow from 5 to 8 km; deep from the deepest
    // hypocentre (at least 15 km) over 5 km (a NaN depth gives 15 and 20).
    const float h = slip_copy.max_hypocentre_depth_km;
    const config::RuptureVelocityTaper rupture{config.source.rupture_velocity.frac,
                                               config.source.rupture_velocity.shallow,
                                               config.source.rupture_velocity.deep,
                                               5.0f,
                                               8.0f,
                                               (h > 15.0f) ? h : 15.0f,
                                               (h > 15.0f) ? (h + 5.0f) : 20.0f};

    // 7. Moment weights over the air-inserted layers.
    auto [scale, weights] = normalise_source(slip_copy, air_layers);
    // With no weight above the threshold, a positive total moment is divided
    // among no subfaults: every moment scale, and so every window, would be
    // infinite. (A zero, negative or NaN total gives NaN scales instead, and
    // records that say so.)
    if (scale.subfault_count == 0 && scale.total_moment_dyn_cm > 0.0f) {
        SimError error{SimError::Kind::NoSubfaultCarriesMoment, 0, {}, 0.0f, 0.0f};
        error.total_moment_dyn_cm = scale.total_moment_dyn_cm;
        return error;
    }

    // 8. Source strengths, segment by segment in grid order.
    std::vector<std::vector<SourceStrength>> strengths;
    strengths.reserve(slip_copy.segments.size());
    for (const input::Segment& segment : slip_copy.segments) {
        std::vector<SourceStrength> segment_strengths;
        segment_strengths.reserve(segment.subfaults.size());
        for (const input::Subfault& subfault : segment.subfaults) {
            segment_strengths.push_back(SourceStrength::create(subfault.stress_drop_bars,
                                                               scale.avg_subfault_km,
                                                               scale.total_moment_dyn_cm,
                                                               scale.subfault_count));
        }
        strengths.push_back(std::move(segment_strengths));
    }

    // 10. The working layers, widened.
    std::vector<state::Layer> vmod;
    vmod.reserve(air_layers.size());
    for (const state::InputLayer& layer : air_layers) vmod.push_back(state::Layer::from(layer));

    // Subfaults whose layered rays would start far above them, on the
    // layers the station runs will trace through.
    if (const std::optional<SimError> far =
            source_far_above_trace(slip_copy, weights, vmod, config.path.rayset)) {
        return *far;
    }

    // 11. The largest shear speed in 32 bits; a NaN speed compares false and is skipped.
    float max_shear_velocity_km_s = std::numeric_limits<float>::lowest();
    for (const state::Layer& layer : vmod) {
        const float vsh_km_s = static_cast<float>(layer.vsh_km_s);
        if (vsh_km_s > max_shear_velocity_km_s) max_shear_velocity_km_s = vsh_km_s;
    }

    // 12. The run constants: 0.2 and 0.05 shape the envelope window, 1000
    // samples make the radiation averages, 20 is the site table's length.
    const RunScalars run_scalars{config.record.dt_s,
                                 config.site.f_max_hz,
                                 0.2f,
                                 0.05f,
                                 config.source.czero,
                                 config.source.calpha,
                                 config.source.rupture_velocity.rv_sig1,
                                 scale.avg_subfault_km,
                                 1000,
                                 fn_hz.size(),
                                 ndata,
                                 max_shear_velocity_km_s};

    // 13. Angles and corner coefficients per segment.
    std::vector<SegmentAngles> angles;
    angles.reserve(slip_copy.segments.size());
    for (const input::Segment& segment : slip_copy.segments) {
        angles.push_back(SegmentAngles::for_segment(segment, run_scalars.corner_const,
                                                    run_scalars.calpha));
    }

    // 14. The configured ray codes.
    std::vector<config::RayType> rayset = config.path.rayset;

    // 15. Assembly.
    return Simulator(std::move(slip_copy), std::move(weights), std::move(strengths),
                     std::move(vmod), rupture, std::move(path_duration), std::move(angles),
                     std::move(rayset), run_scalars, siteamp_log_freq);
}


// ---- station run ----
//
// Every expression below keeps the width and bracketing the records depend
// on (see sim.hpp); nothing may be reordered or fused.

namespace {

// Refreshes of the amplitude spectrum made by this thread's subfault passes.
thread_local std::size_t shape_refresh_count = 0;

// The largest sample number a record of `ndata` samples can reach: ndata
// itself for every record a run accepts (at most 2^31 − 1 samples), the
// largest signed 32-bit value for larger ones, so comparisons with sample
// numbers never wrap.
std::int32_t last_record_sample(std::size_t ndata) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(std::min(ndata, limit));
}

// Faults unless a record of `ndata` samples per component can be represented:
// 3 × ndata 4-byte values within the largest signed machine word, and sample
// numbers within the signed 32-bit range. Runs before anything is allocated.
void check_record_size(std::size_t ndata) {
    static_assert(max_record_samples * components.size() * sizeof(float) <=
                  static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()));
    if (ndata > max_record_samples) {
        fault(format("a record of {} samples per component cannot be represented: its 3 rows "
                     "of 4-byte values exceed the largest signed machine word",
                     ndata));
    }
    if (ndata > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        fault(format("a record of {} samples per component is longer than the signed 32-bit "
                     "sample numbers reach (2147483647)",
                     ndata));
    }
}

// The longest transform length a pair of a segment with `windows` can ask
// for in a record of `ndata` samples at interval `dt` (s). No pair asks for
// more than its own window's length, nor for more than twice the samples it
// can land on, so the bound is a window's length cut to twice the record.
// A window's length follows its sample count 2 window / dt, which grows with
// the window for a positive dt and shrinks with it for a negative one (a NaN
// window counts no samples, the fewest): the longest is that of the
// segment's longest window (tmax) or of its shortest among the subfaults the
// pass places (a subfault whose weight is below the threshold draws nothing
// and asks for no transform, whatever its window). With a positive dt the
// shortest never asks for more than tmax, so tmax alone decides.
std::size_t longest_pair_length(const WindowPass& windows, std::span<const MomentWeight> weights,
                                float dt, std::size_t ndata) {
    KELVANE_CHECK(weights.size() == windows.window_s.size(),
                  "a segment's moment weights must cover its windows");
    float shortest_s = windows.tmax;  // s; a NaN window compares false and is passed over
    for (std::size_t k = 0; k < windows.window_s.size(); ++k) {
        if (weights[k].value < weight_threshold) continue;  // never placed (a NaN weight is)
        if (windows.window_s[k] < shortest_s) shortest_s = windows.window_s[k];
    }
    using stoc::SpectrumPlan;
    const std::size_t from_longest = SpectrumPlan::longest_for_record(windows.tmax, dt, ndata);
    const std::size_t from_shortest = SpectrumPlan::longest_for_record(shortest_s, dt, ndata);
    return std::max(from_longest, from_shortest);
}

// The transform scratch of one segment pass, allocated once, when the
// segment's first pair lands in the record, at the longest transform length
// a pair of the segment can use, and reused by every later subfault and ray.
struct SegmentScratch {
    std::size_t np2_max;                                  // longest transform length
    std::size_t spectrum_stride;                          // complex values per spectrum row
    fft::AlignedVector<std::complex<float>> spectrum;     // 3 rows; every row 64-byte aligned
    std::vector<float> subfault_acc;                      // 3 rows × np2_max (cm/s²)
    std::vector<float> deviates;                          // 3 rows × np2_max normal draws (1)
    std::size_t fold_max;                                 // bins of the longest transform
    std::vector<float> radiation;                         // 3 rows × fold_max gains (1)
    std::vector<float> siteamp_factors;                   // site_table_len ln amplifications
    // sin and cos of azimuth - strike for each of the station's vertical
    // azimuth uniforms: the same for every ray of the segment.
    std::vector<float> vertical_sin_az;                   // one per azimuth uniform (1)
    std::vector<float> vertical_cos_az;                   // one per azimuth uniform (1)
    // The last few site gain curves, slot s holding site_gain_slots[s] of
    // the source layer and transform length in site_gain_layer[s] and
    // site_gain_np2[s] (np2 0: empty). A curve depends only on those two
    // within a run, so a pair finds its curve here more often than not.
    static constexpr std::size_t site_gain_slot_count = 8;
    std::vector<float> site_gain;                         // slot_count × fold_max gains (1)
    std::array<std::size_t, site_gain_slot_count> site_gain_layer{};
    std::array<std::size_t, site_gain_slot_count> site_gain_np2{};
    std::size_t site_gain_next_slot = 0;                  // the slot a new curve replaces
    stoc::SpectrumShape shape;                            // envelope and amplitude of the ray
    float envelope_window_s;                              // window the envelope was built for (s)
    std::size_t envelope_length;                          // samples of it built; 0 before the first

    SegmentScratch(std::size_t np2_max_in, std::size_t fold_max_in, std::size_t site_table_len,
                   std::size_t azimuth_count)
        : np2_max(np2_max_in),
          spectrum_stride(fft::padded_row_length(np2_max_in)),
          spectrum(components.size() * spectrum_stride),
          subfault_acc(components.size() * np2_max_in, 0.0f),
          deviates(components.size() * np2_max_in, 0.0f),
          fold_max(fold_max_in),
          radiation(components.size() * fold_max_in, 0.0f),
          siteamp_factors(site_table_len, 0.0f),
          vertical_sin_az(azimuth_count, 0.0f),
          vertical_cos_az(azimuth_count, 0.0f),
          site_gain(site_gain_slot_count * fold_max_in, 0.0f),
          shape(stoc::SpectrumShape::with_capacity(np2_max_in)),
          envelope_window_s(std::numeric_limits<float>::quiet_NaN()),
          envelope_length(0) {}

    // The first np2 bins of spectrum row `c`.
    std::span<std::complex<float>> spectrum_row(Component c, std::size_t np2) {
        return std::span<std::complex<float>>(spectrum).subspan(
            static_cast<std::size_t>(c) * spectrum_stride, np2);
    }
    // The first np2 samples of time-series row `c`.
    std::span<float> series_row(Component c, std::size_t np2) {
        return std::span<float>(subfault_acc).subspan(static_cast<std::size_t>(c) * np2_max, np2);
    }
    // The first fold_count radiation gains of row `c`.
    std::span<float> radiation_row(Component c, std::size_t fold_count) {
        return std::span<float>(radiation).subspan(static_cast<std::size_t>(c) * fold_max, fold_count);
    }
    // The site gain curve (fold_count gains) of a pair from source `layer`
    // with transform length np2: the one kept from an earlier pair of the
    // same layer and length, else one made by `make` into the slot used
    // longest ago.
    template <class Make>
    std::span<const float> site_gain_for(std::size_t layer, std::size_t np2, std::size_t fold_count,
                                         Make&& make) {
        for (std::size_t slot = 0; slot < site_gain_slot_count; ++slot) {
            if (site_gain_np2[slot] == np2 && site_gain_layer[slot] == layer) {
                return std::span<const float>(site_gain).subspan(slot * fold_max, fold_count);
            }
        }
        const std::size_t slot = site_gain_next_slot;
        site_gain_next_slot = (slot + 1) % site_gain_slot_count;
        const std::span<float> curve = std::span<float>(site_gain).subspan(slot * fold_max, fold_count);
        make(curve);
        site_gain_layer[slot] = layer;
        site_gain_np2[slot] = np2;
        return curve;
    }
    // The first np2 normal draws of row `c`.
    std::span<float> deviates_row(Component c, std::size_t np2) {
        return std::span<float>(deviates).subspan(static_cast<std::size_t>(c) * np2_max, np2);
    }
};

}  // namespace

float capped_fmax(Component component, float fmax_hz) {
    if (component != Component::Vertical) return fmax_hz;
    // fminf yields the cap for a NaN fmax_hz.
    return ::fminf(fmax_hz, vertical_fmax_cap_hz);
}

RadiationMode radiation_mode(Component component) {
    switch (component) {
        case Component::E090:
            return RadiationMode{RadiationMode::Kind::Horizontal, -90.0f};
        case Component::N000:
            return RadiationMode{RadiationMode::Kind::Horizontal, 0.0f};
        case Component::Vertical:
            break;
    }
    return RadiationMode{RadiationMode::Kind::Vertical, 0.0f};
}

Clipping Clipping::for_arrival(std::int32_t start_sample, float window_s, const RunScalars& run) {
    const float peak_sample =
        static_cast<float>(start_sample) + ((run.window_peak_fraction * window_s) / run.dt);
    const float overrun_samples = peak_sample - static_cast<float>(run.ndata);
    if (overrun_samples > 0.0f) return Clipping{1, overrun_samples * run.dt};
    return Clipping{0, 0.0f};
}

Clipping& Clipping::operator+=(const Clipping& other) {
    peaks_lost += other.peaks_lost;
    // fmaxf yields the other operand when one is NaN.
    worst_overrun_s = ::fmaxf(worst_overrun_s, other.worst_overrun_s);
    return *this;
}

Census& Census::operator+=(const Census& other) {
    pairs_attempted += other.pairs_attempted;
    pairs_outside_record += other.pairs_outside_record;
    samples_computed += other.samples_computed;
    samples_accumulated += other.samples_accumulated;
    return *this;
}

StationStream seed_and_predraw(std::uint64_t seed, std::size_t radv_sample_count) {
    StationStream stream{rng::DrawSource::for_station(seed),
                         Deviates{std::vector<float>(radv_sample_count, 0.0f),
                                  std::vector<float>(radv_sample_count, 0.0f)}};
    // The first radv_sample_count uniforms of the station stream, then the next.
    stream.source.fill_uniform(stream.deviates.radv_uniform_a);
    stream.source.fill_uniform(stream.deviates.radv_uniform_b);
    return stream;
}

std::size_t source_layer_for(std::span<const state::Layer> vmod, float depth_km) {
    const double depth = static_cast<double>(depth_km);
    for (std::size_t k = 0; k < vmod.size(); ++k) {
        if (vmod[k].depth_km >= depth) return k;
    }
    return vmod.size() - 1;
}

std::int32_t checked_sample_sum(std::int32_t a, std::int32_t b, const char* what) {
    std::int32_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) [[unlikely]] {
        fault(format("{}: sample numbers {} + {} overflow the signed 32-bit range", what, a, b));
    }
    return sum;
}

WindowPass Simulator::time_window_pass(const input::Segment& segment,
                                       const ::kelvane::geom::SubfaultGeometry& geometry,
                                       const SegmentAngles& segment_angles,
                                       std::span<const SourceStrength> segment_strengths) const {
    const Simulator& sim = *this;
    fault_unless_equal(segment_strengths.size(), segment.subfault_total(),
                       "a segment's source strengths must cover its subfault grid");
    WindowPass pass{std::vector<float>(segment.subfault_total(), 0.0f), 0.0f};
    for (const auto [i, j] : segment.depth_major()) {
        const ::kelvane::geom::SubfaultRay ray = geometry.at(i, j);
        const std::size_t layer = source_layer_for(sim.vmod, ray.depth_km);
        const float shear_velocity_km_s = static_cast<float>(sim.vmod[layer].vsh_km_s);
        // Unperturbed: the window does not depend on the random rupture speed.
        const float rupture_fraction = sim.rupture.factor(ray.depth_km);
        // Its own operation order; the subfault pass forms the perturbed corner
        // frequency in another, and the two may differ in the last bit.
        const float corner_frequency_hz =
            ((rupture_fraction * segment_angles.corner_coeff) * shear_velocity_km_s) /
            (pi_f * sim.run_scalars.avg_subfault_km);
        const std::size_t k = segment.grid_index(i, j);
        const float path_duration_s = path_duration_at(sim.path_duration, ray.slant_km);
        const float source_duration_s =
            (1.0f / corner_frequency_hz) * ::sqrtf(segment_strengths[k].moment_scale);
        // 2.12: the window spans the path and source durations by this factor
        // of the method.
        const float window = (path_duration_s + source_duration_s) * 2.12f;
        pass.window_s[k] = window;
        if (window > pass.tmax) pass.tmax = window;
    }
    return pass;
}

std::int32_t SubfaultSource::earliest_start_sample(const RunScalars& run,
                                                   std::span<const config::RayType> rayset) const {
    // Nothing travels faster than the model's fastest shear speed, and no
    // layered window starts more than window_peak_fraction × window before
    // its travel time.
    const float travel_time_s = geometry.slant_km / run.max_shear_velocity_km_s;
    const float window_start_s = run.window_peak_fraction * window_s;
    float bound_s = travel_time_s - window_start_s;
    const bool has_straight_ray =
        std::any_of(rayset.begin(), rayset.end(), [](config::RayType code) {
            return code.kind() == config::RayKind::StraightRay;
        });
    if (has_straight_ray) {
        // A straight ray's window starts at 0.7 × slant ÷ 3.7 (see trace_ray).
        const float straight_ray_window_start_s = (geometry.slant_km * 0.7f) / 3.7f;
        // fminf yields the other operand when one is NaN.
        bound_s = ::fminf(bound_s, straight_ray_window_start_s);
    }
    const std::int32_t rupture_sample = saturating_sample(rupture_time_s / run.dt);
    return checked_sample_sum(saturating_sample(bound_s / run.dt), rupture_sample,
                              "earliest start of a subfault");
}

namespace {

// A layered ray's window opens 0.2 of the subfault's window before its travel
// time `stime_s` (s).
float layered_window_start_s(float stime_s, const SubfaultSource& source, const RunScalars& run) {
    return stime_s - (run.window_peak_fraction * source.window_s);
}

// The record sample of a window starting `window_start_s` after the
// subfault's rupture: the window start and the rupture time are counted in
// whole samples separately, then added (checked).
std::int32_t window_start_sample(float window_start_s, const SubfaultSource& source,
                                 const RunScalars& run) {
    const std::int32_t rupture_sample = saturating_sample(source.rupture_time_s / run.dt);
    return checked_sample_sum(saturating_sample(window_start_s / run.dt), rupture_sample,
                              "start of a ray's window");
}

// Ray codes above 34 (more than 16 Moho multiples) are timed from their
// traversal counts before they are traced, so that one whose window starts
// after the record costs what a short ray costs, however many multiples it
// has, and its path is never listed.
constexpr std::int32_t longest_untimed_code = 34;

// The start sample `arrival_time_and_angles` gives the traced ray of layered
// `code`, from its travel time alone (`ray::ray_timing`).
std::int32_t timed_start_sample(ray::RayState& ray_state, const SubfaultSource& source,
                                config::RayType code, const RunContext& context) {
    const ::kelvane::geom::SubfaultRay& g = source.geometry;
    const ray::RayTiming timing = ray::ray_timing(ray_state, context.vmod, g.depth_km, g.horiz_km,
                                                  code.code, ray::WaveMode::Sh);
    return window_start_sample(layered_window_start_s(timing.stime, source, context.run), source,
                               context.run);
}

}  // namespace

TracedRay trace_ray(ray::RayState& ray_state, const SubfaultSource& source, config::RayType code,
                    const RunContext& context) {
    const ::kelvane::geom::SubfaultRay& g = source.geometry;
    const config::RayKind kind = code.kind();
    if (kind == config::RayKind::StraightRay) {
        // 150: the straight ray's quality factor; 0.7 ÷ 3.7: its window starts
        // at 0.7 of the travel time at 3.7 km/s.
        return TracedRay{g.slant_km, g.slant_km / (source.shear_velocity_km_s * 150.0f),
                         (g.slant_km * 0.7f) / 3.7f, g.takeoff_rad};
    }
    const ray::GreenFunction green = ray::green_function(
        ray_state, context.vmod, g.depth_km, g.horiz_km, code.code, ray::WaveMode::Sh);
    // Incidence at the source from the ray parameter; past grazing it is π/2.
    const float x = green.rp0 * source.shear_velocity_km_s;
    const float incidence = x > 1.0f ? half_pi_f : ::asinf(x);
    const float window_start_s = layered_window_start_s(green.stime, source, context.run);
    const float takeoff_rad = kind == config::RayKind::Upgoing ? pi_f - incidence : incidence;
    return TracedRay{green.rpath, green.qbar, window_start_s, takeoff_rad};
}

Arrival arrival_time_and_angles(const TracedRay& ray, const SubfaultSource& source,
                                const SegmentAngles& angles, const RunScalars& run) {
    return Arrival{window_start_sample(ray.window_start_s, source, run),
                   radiation::RadiationAngles{angles.strike_rad, angles.dip_rad, angles.rake_rad,
                                              source.geometry.azimuth_rad, ray.takeoff_rad}};
}

std::optional<Placement> Placement::clip(std::int32_t start_sample, std::size_t np2,
                                         std::size_t ndata) {
    // In 64 bits no sum below can overflow: the start is a 32-bit value, the
    // record end at most 2^31 − 1, and a series longer than 2^32 values
    // reaches past every record end just as one of 2^32 values does.
    constexpr std::size_t longest_series = std::size_t{1} << 32;
    const std::int64_t start = start_sample;
    const std::int64_t first_sample = std::max<std::int64_t>(start, 1);
    const std::int64_t series_end = start + static_cast<std::int64_t>(std::min(np2, longest_series)) - 1;
    const std::int64_t last_sample =
        std::min<std::int64_t>(series_end, last_record_sample(ndata));
    if (last_sample < first_sample) return std::nullopt;
    return Placement{static_cast<std::size_t>(first_sample - start),
                     static_cast<std::size_t>(first_sample - 1),
                     static_cast<std::size_t>(last_sample - first_sample + 1)};
}

namespace {

// Samples [0, end) of one row of `accumulate_subfault` in lanes of vector
// type V (element-wise, so each lane rounds as the scalar expression does),
// for the largest end <= count that leaves whole steps; returns that end.
template <class V>
[[gnu::always_inline]] inline std::size_t accumulate_row(float* out, const float* in, float w,
                                                         std::size_t count) {
    constexpr std::size_t lanes = sizeof(V) / sizeof(float);
    V wv;
    for (std::size_t l = 0; l < lanes; ++l) wv[l] = w;
    std::size_t t = 0;
    for (; t + lanes <= count; t += lanes) {
        V o;
        V x;
        std::memcpy(&o, out + t, sizeof o);
        std::memcpy(&x, in + t, sizeof x);
        o = o + (wv * x);
        std::memcpy(out + t, &o, sizeof o);
    }
    return t;
}

// The same rows eight at a time in 256-bit lanes.
__attribute__((target("avx2"))) std::size_t accumulate_row_avx2(float* out, const float* in,
                                                                float w, std::size_t count) {
    using f32x8 = float __attribute__((vector_size(32)));
    return accumulate_row<f32x8>(out, in, w, count);
}

}  // namespace

void accumulate_subfault(const std::array<std::span<float>, 3>& acc,
                         const std::array<std::span<const float>, 3>& series, MomentWeight weight,
                         const Placement& placement) {
    const float w = weight.value;
    for (std::size_t r = 0; r < components.size(); ++r) {
        float* const out = acc[r].data() + placement.offset;
        const float* const in = series[r].data() + placement.skip;
        // 256-bit lanes first where the processor has them, then 128-bit
        // lanes, the last few samples one at a time.
        std::size_t t = cpu::has_avx2() ? accumulate_row_avx2(out, in, w, placement.count) : 0;
        t += accumulate_row<cpu::f32x4>(out + t, in + t, w, placement.count - t);
        for (; t < placement.count; ++t) {
            out[t] = out[t] + (w * in[t]);
        }
    }
}

std::size_t shape_refreshes_on_this_thread() { return shape_refresh_count; }

SegmentTally subfault_pass(const rng::DrawSource& rng, stoc::PlanCache& plans,
                           std::span<float> acc, const SegmentPass& segment,
                           const RunContext& context) {
    const RunScalars& run = context.run;
    const std::size_t ndata = run.ndata;
    fault_unless_equal(acc.size(), components.size() * ndata,
                       "a station record holds 3 rows of ndata samples");
    const std::int32_t last_sample = last_record_sample(ndata);
    const std::array<std::span<float>, 3> acc_rows = {
        acc.subspan(0, ndata), acc.subspan(ndata, ndata), acc.subspan(2 * ndata, ndata)};

    const stoc::SourceModel model{run.dt, run.window_peak_fraction, run.window_end_fraction,
                                  context.kappa_s};
    // The longest transform a pair of the segment can ask for sizes its
    // scratch; its plan enters the run's cache whether or not a ray uses it.
    std::size_t np2_max = 0;
    std::size_t fold_max = 0;
    {
        const stoc::SpectrumPlan& longest =
            plans.for_length(longest_pair_length(segment.windows, segment.weights, run.dt, ndata));
        np2_max = longest.np2;
        fold_max = longest.fold_count;
    }
    // The tracer's lists grow with the paths traced; the transform scratch is
    // made for the first pair that lands in the record, so a segment none of
    // whose arrivals reach the record allocates none of it.
    ray::RayState ray_state;
    std::optional<SegmentScratch> scratch_store;
    const auto transform_scratch = [&]() -> SegmentScratch& {
        if (!scratch_store) {
            SegmentScratch& made = scratch_store.emplace(np2_max, fold_max, run.site_table_len,
                                                         context.deviates.radv_uniform_b.size());
            radiation::vertical_azimuth_terms(context.deviates.radv_uniform_b,
                                              segment.angles.strike_rad, made.vertical_sin_az,
                                              made.vertical_cos_az);
        }
        return *scratch_store;
    };
    SegmentTally tally{Clipping{0, 0.0f}, Census{0, 0, 0, 0, 0}};
    Census& census = tally.census;

    const std::uint64_t segment_seed_value = segment_seed(context.station_seed, segment.index);
    for (const auto [i, j] : segment.seg.strike_major()) {
        const std::size_t k = segment.seg.grid_index(i, j);
        const std::uint64_t subfault_seed = substream_seed_from_segment(segment_seed_value, k);
        rng::DrawSource subfault_rng = rng.respawn(subfault_seed);
        const std::optional<SubfaultSource> gathered =
            SubfaultSource::gather(subfault_rng, segment, i, j, context);
        if (!gathered) continue;
        const SubfaultSource& source = *gathered;

        // Even the earliest possible arrival lies after the record: every ray
        // of the subfault is outside, and none is traced.
        const std::int32_t earliest = source.earliest_start_sample(run, context.rayset);
        if (earliest > last_sample) {
            const Clipping lost = Clipping::for_arrival(earliest, source.window_s, run);
            for (std::size_t r = 0; r < context.rayset.size(); ++r) {
                census.pairs_attempted += 1;
                census.pairs_outside_record += 1;
                tally.clipping += lost;
            }
            continue;
        }

        // Counts a pair whose series starts on `start_sample`; true when it
        // starts after the record.
        const auto counted_outside = [&](std::int32_t start_sample) {
            tally.clipping += Clipping::for_arrival(start_sample, source.window_s, run);
            census.pairs_attempted += 1;
            if (start_sample <= last_sample) return false;
            census.pairs_outside_record += 1;
            return true;
        };
        for (std::size_t r = 0; r < context.rayset.size(); ++r) {
            rng::DrawSource ray_rng = rng.respawn(ray_stream_seed(subfault_seed, r));
            const config::RayType code = context.rayset[r];
            // A ray of many multiples that starts after the record is counted
            // from its timing alone; one that reaches the record is traced.
            if (code.code > longest_untimed_code) {
                const std::int32_t timed = timed_start_sample(ray_state, source, code, context);
                if (timed > last_sample) {
                    counted_outside(timed);
                    continue;
                }
            }
            const TracedRay traced = trace_ray(ray_state, source, code, context);
            const Arrival arrival = arrival_time_and_angles(traced, source, segment.angles, run);
            if (counted_outside(arrival.start_sample)) continue;
            const std::size_t np2 = stoc::SpectrumPlan::length_for_arrival(
                source.window_s, run.dt, arrival.start_sample, ndata);
            const stoc::SpectrumPlan& plan = plans.for_length(np2);
            const std::optional<Placement> placement = arrival.placement(np2, ndata);
            if (!placement) {
                census.pairs_outside_record += 1;
                continue;
            }
            census.samples_computed += np2;
            census.samples_accumulated += placement->count;
            const std::size_t fold_count = plan.fold_count;
            SegmentScratch& scratch = transform_scratch();

            // Spectra. The three rows go through each step of
            // `stoc::stochastic_spectrum` together, which gives every row the
            // values of one call per component in row order: the draws keep
            // their order in the ray's stream (E090, N000, then Vertical, np2
            // each, and nothing else draws in between), and the serial sums of
            // the detrending and the normalisation of independent rows can
            // overlap. The shape is refreshed whenever a component's capped
            // fmax differs from the one it was built for (always for the first
            // component; `!=` is true whenever either side is NaN); only the
            // amplitude spectrum depends on fmax, so a refresh is needed only
            // before a row's scaling, and the envelope that windows every row
            // is the one the first refresh builds.
            float built_for = std::numeric_limits<float>::quiet_NaN();
            const auto refresh_for = [&](Component c) {
                const float fmax_hz = capped_fmax(c, run.fmax_hz);
                if (!(fmax_hz != built_for)) return;
                const stoc::RayPath path{traced.path_length_km,
                                         source.window_s,
                                         source.shear_velocity_km_s,
                                         source.density_g_cm3,
                                         source.corner_frequency_hz,
                                         source.strength.subevent_moment,
                                         source.strength.moment_scale,
                                         fmax_hz,
                                         traced.qbar};
                // The envelope depends only on the subfault's window (the run's
                // dt and window shape are fixed): it is rebuilt only when the
                // window's bits differ from those of the window it holds (so
                // 0 and -0 count as different) or it holds fewer than np2
                // samples. Reusing it gives the values a rebuild would give.
                if (std::bit_cast<std::uint32_t>(source.window_s) !=
                        std::bit_cast<std::uint32_t>(scratch.envelope_window_s) ||
                    scratch.envelope_length < np2) {
                    scratch.shape.refresh_envelope(plan, model, path);
                    scratch.envelope_window_s = source.window_s;
                    scratch.envelope_length = np2;
                }
                scratch.shape.refresh_amplitude(plan, model, path);
                built_for = fmax_hz;
                ++shape_refresh_count;
            };
            refresh_for(Component::E090);
            for (const Component c : components) {
                ray_rng.fill_normal(scratch.deviates_row(c, np2));
            }
            fft::remove_quadratic_trend(scratch.shape.dt,
                                        {scratch.deviates_row(Component::E090, np2),
                                         scratch.deviates_row(Component::N000, np2),
                                         scratch.deviates_row(Component::Vertical, np2)});
            for (const Component c : components) {
                stoc::detail::window_and_transform(plan, scratch.shape, scratch.deviates_row(c, np2),
                                                   scratch.spectrum_row(c, np2));
            }
            const std::array<float, 3> power_scales = stoc::detail::unit_power_scales(
                plan, scratch.shape.dt,
                {scratch.spectrum_row(Component::E090, np2), scratch.spectrum_row(Component::N000, np2),
                 scratch.spectrum_row(Component::Vertical, np2)});

            // Site: the factors depend on the source layer and the gain curve
            // on them and the plan, so a curve made for an earlier pair of the
            // same layer and length is the curve this pair would make; one
            // gain serves the three rows.
            const std::span<const float> site_gain = scratch.site_gain_for(
                source.layer, np2, fold_count, [&](std::span<float> curve) {
                    site::site_amplification_factors(context.vmod, source.layer,
                                                     context.siteamp_log_freq,
                                                     scratch.siteamp_factors);
                    site::site_gain_curve(plan.log_frequency_hz, context.siteamp_log_freq,
                                          scratch.siteamp_factors, curve);
                });

            // Radiation gains of the three rows, in row order (the horizontal
            // rows draw from the ray's stream after all its normal draws, as
            // they always have); the unperturbed pattern is shared by the two
            // horizontal components.
            const radiation::ShearRadiation theoretical =
                radiation::radiation_pattern(arrival.angles);
            for (const Component c : components) {
                const RadiationMode mode = radiation_mode(c);
                const std::span<float> gains = scratch.radiation_row(c, fold_count);
                if (mode.kind == RadiationMode::Kind::Horizontal) {
                    radiation::horizontal_radiation_spectrum(
                        ray_rng, arrival.angles, theoretical, plan.frequency_hz,
                        mode.azimuth_offset_rad(), run.conical_sample_count, gains);
                } else {
                    // The azimuth terms were formed once for the segment, from
                    // the same uniforms and strike.
                    radiation::vertical_radiation_spectrum(
                        arrival.angles, plan.frequency_hz, context.deviates.radv_uniform_a,
                        scratch.vertical_sin_az, scratch.vertical_cos_az, run.conical_sample_count,
                        gains);
                }
            }

            // Each row: the amplitude spectrum, the site gain and the radiation
            // gains in one pass (the products of the three steps in their order),
            // then the inverse transform to the time series.
            for (const Component c : components) {
                // The first component's refresh is the one made above.
                if (c != Component::E090) refresh_for(c);
                stoc::detail::scale_weight_and_mirror(
                    plan, scratch.shape, power_scales[static_cast<std::size_t>(c)], site_gain,
                    scratch.radiation_row(c, fold_count), scratch.spectrum_row(c, np2));
                stoc::detail::invert_to_series(plan, scratch.spectrum_row(c, np2),
                                               scratch.series_row(c, np2));
            }

            accumulate_subfault(acc_rows,
                                {scratch.series_row(Component::E090, np2),
                                 scratch.series_row(Component::N000, np2),
                                 scratch.series_row(Component::Vertical, np2)},
                                source.weight, *placement);
        }
    }
    return tally;
}

geom::FaultPlane fault_plane_of(const input::Segment& segment) {
    return geom::FaultPlane{geom::GeoPoint{segment.fault_lat_deg, segment.fault_lon_deg},
                            segment.strike_deg,
                            segment.dip_deg,
                            segment.top_depth_km,
                            segment.along_strike_offset_km,
                            segment.subfault_length_km,
                            segment.subfault_width_km,
                            segment.along_strike_count,
                            segment.down_dip_count};
}

Simulation Simulator::run(const input::Station& station, std::uint64_t seed) const {
    const Simulator& sim = *this;
    const RunScalars& scalars = sim.run_scalars;
    StationStream stream = seed_and_predraw(seed, scalars.conical_sample_count);

    // The record: checked before anything of its size is allocated.
    const std::size_t ndata = scalars.ndata;
    check_record_size(ndata);
    std::vector<float> acc(components.size() * ndata, 0.0f);

    stoc::PlanCache plans = stoc::PlanCache::create(scalars.dt, station.q_exponent,
                                                    scalars.window_peak_fraction,
                                                    scalars.window_end_fraction);
    Clipping clipping{0, 0.0f};
    Census census{0, 0, 0, 0, 0};

    const RunContext context{sim.vmod,
                             sim.rupture,
                             scalars,
                             sim.rayset,
                             stream.deviates,
                             sim.siteamp_log_freq,
                             station.kappa_s,
                             seed};
    const ::kelvane::geom::GeoPoint station_point{station.latitude, station.longitude};
    const std::size_t segment_count =
        std::min({sim.slip.segments.size(), sim.angles.size(), sim.weights.size(),
                  sim.strengths.size()});
    for (std::size_t s = 0; s < segment_count; ++s) {
        const input::Segment& seg = sim.slip.segments[s];
        const ::kelvane::geom::SubfaultGeometry geometry =
            ::kelvane::geom::subfault_geometry(fault_plane_of(seg), station_point);
        const WindowPass windows =
            sim.time_window_pass(seg, geometry, sim.angles[s], sim.strengths[s]);
        const SegmentPass segment{s,          seg,           geometry, windows, sim.angles[s],
                                  sim.weights[s], sim.strengths[s]};
        const SegmentTally tally = subfault_pass(stream.source, plans, acc, segment, context);
        clipping += tally.clipping;
        census += tally.census;
    }
    census.transform_lengths = plans.plan_count();
    return Simulation{ndata, scalars.dt, std::move(acc), clipping, census};
}

}  // namespace kelvane::sim
