// Layered rays: path, timing, length and attenuation of one ray through the
// flat-layered velocity model.
//
// Notation used throughout this module and its source:
//   layer 0      the receiver layer (the air layer of a working model); the
//                receiver sits at its bottom, at depth thickness_km of layer 0,
//                and every path ends with a crossing of layer 1
//   depth        km, positive down, measured from the top of layer 0 (the
//                source depth and the end-layer trims use this frame)
//   crossing     one one-way passage through one layer; a path is the ordered
//                list of crossings from the source to the receiver
//   n_P, n_S     traversal counts of a layer: how many times the path crosses
//                it as a P and as a shear wave (32-bit; whole numbers except in
//                the source and receiver layers, where the part of the layer not
//                travelled is trimmed off)
//   p            horizontal ray parameter, s/km (64-bit, complex where the
//                travel-time function is evaluated)
//   eta(p, v)    vertical slowness sqrt(1/v^2 - p^2), s/km
//   T(p)         Cagniard travel-time function p*r + sum h*(n_P*eta_P + n_S*eta_S)
//                over the layers the path reaches, r the horizontal range in km
//   p0           the real p at which dT/dp = 0: the ray that reaches range r
//
// The order of every floating-point operation is deliberate: records must
// reproduce bit for bit, so sums run in the written order and the brackets
// written are the brackets evaluated.
//
// One `RayState` serves every layered ray of a segment pass; each ray empties
// and refills its lists, so tracing allocates only when a path is longer than
// any traced before with that state.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelvane/state.hpp"

namespace kelvane::ray {

// Wave type of a crossing. A `P` crossing counts as a P traversal, any other as
// a shear traversal. The station run always traces `Sh`.
enum class WaveMode : std::uint8_t { Sv = 0, Sh = 1, P = 2 };

// True for `Sv` and `Sh`.
constexpr bool is_shear(WaveMode mode) { return mode == WaveMode::Sv || mode == WaveMode::Sh; }

// Direction of travel during one crossing.
enum class Direction : std::uint8_t { Up = 0, Down = 1 };

// `Up` for an even count of crossings, `Down` for an odd one (negative counts
// by the same parity).
constexpr Direction direction_from_parity(std::int32_t crossings) {
    return (crossings % 2 == 0) ? Direction::Up : Direction::Down;
}

// The other direction.
constexpr Direction flipped(Direction direction) {
    return direction == Direction::Up ? Direction::Down : Direction::Up;
}

// The path: one entry per crossing, in travel order from source to receiver.
struct Rays {
    std::vector<std::size_t> layer_indices;  // layer index of each crossing
    std::vector<WaveMode> wave_modes;        // wave type of each crossing; as long as layer_indices

    // Number of crossings.
    std::size_t segment_count() const { return layer_indices.size(); }
};

// Per-layer traversal counts of the current path.
struct Travel {
    std::vector<float> p_traversals;  // P crossings per layer, one entry per model layer (1)
    std::vector<float> s_traversals;  // shear crossings per layer, one entry per model layer (1)
    std::size_t deepest_layer = 0;    // largest layer index on the path

    // Both count lists hold `layer_count` zeros afterwards; `deepest_layer`
    // is left as it is. Allocates only when the lists must grow.
    void reset_for(std::size_t layer_count);
};

// Direction of travel of every crossing of the current path.
struct Coefficients {
    std::vector<Direction> directions;  // one per crossing

    // `directions` holds `crossing_count` times `Up` afterwards.
    void reset_for(std::size_t crossing_count);
};

// The tracer's scratch record, created empty once per segment pass and
// refilled by every layered ray traced in it.
struct RayState {
    Rays rays;
    Travel travel;
    Coefficients coefficients;
};

// Kind of a layered ray: the direct upgoing ray or the reflection off the
// base of the crust, each followed by `multiples` extra passes from the
// receiver layer down to the reflector and back.
struct RayShape {
    enum class Kind : std::uint8_t { Upgoing = 0, DownToMoho = 1 };

    Kind kind;
    std::int32_t multiples;  // extra receiver-to-reflector round trips; 0 or less adds none

    // Odd code 2m + 1: `Upgoing` with m multiples; even code 2m + 2:
    // `DownToMoho` with m multiples. A negative code faults with
    // "ray type {code} is negative; th1 would be undefined".
    static RayShape from_ray_type(std::int32_t ray_type);
};

// Direction in which a ray code leaves the source.
enum class Takeoff : std::uint8_t { Up = 0, Down = 1 };

// Odd code: `Up`; even code: `Down`. A negative code faults as
// `RayShape::from_ray_type` does.
Takeoff takeoff_from_ray_type(std::int32_t ray_type);

// Part of one layer above and below a depth inside it, each as a fraction of
// the layer's thickness (1).
struct LayerFractions {
    double above;
    double below;
};

// Result of the source-layer search.
struct SourceLayer {
    std::optional<std::size_t> layer;  // layer holding the source; none below every interface
    double depth_km;                   // source depth after moving it off nearby interfaces, km
};

// Result of `deepest_layer_with_thickness`.
struct DeepestLayer {
    std::size_t layer;     // last layer with thickness_km > 0; 0 when there is none
    double thickness_km;   // sum of thickness_km over all layers with thickness_km > 0, km
};

// Keeps a source 0.02 km (0.02 rounded to 32 bits, widened) off every
// interface, so no source lies on a layer boundary.
inline constexpr double source_gap_km = static_cast<double>(0.02f);

// The layer holding a source at `depth_km` (64-bit, km from the top of layer 0)
// and the depth moved off nearby interfaces: a source on an interface or less
// than the gap below it moves to the gap below it; a source less than the gap
// above the interface that ends its layer moves to the gap above it. None when
// no interface lies below the (moved) depth.
SourceLayer source_layer(std::span<const state::Layer> layers, double depth_km);

// The last layer with positive thickness and the summed thickness of all layers
// with positive thickness, km.
DeepestLayer deepest_layer_with_thickness(std::span<const state::Layer> layers);

// Where a layered ray from a subfault centre starts.
struct SourcePlacement {
    std::size_t layer;  // the layer of the first crossing
    double depth_km;    // the source depth the ray is traced from, km from the top of layer 0
    // True when no interface lies below the centre (nor below the receiver
    // level, for a centre above it): the source is then placed the gap above
    // the bottom of the deepest layer with thickness, whatever its own depth.
    bool below_model;
};

// The start of every layered ray from a centre `depth_km` deep (km from the
// top of layer 0), as `green_function` places it: the source-layer search;
// a centre the search puts in layer 0 (at or above the receiver level) is
// searched again as a centre on the receiver-level interface, so that every
// ray starts below layer 0; a centre below every interface starts the gap
// above the bottom of the deepest layer with thickness. Faults when no layer
// below layer 0 has positive thickness (no layered ray exists there).
SourcePlacement place_source(std::span<const state::Layer> layers, double depth_km);

// Builder of a path inside a `Rays`: every crossing it appends carries `mode`.
// Distinct from the spectral record `stoc::RayPath`.
struct RayPath {
    Rays& rays;
    WaveMode mode;

    // Empties the path in `rays` (keeping its capacity) and builds on it.
    static RayPath create(Rays& rays, WaveMode mode);

    // Appends one crossing of `layer`.
    void push(std::size_t layer);

    // Appends the upward crossings `from`, `from` - 1, ..., `receiver`;
    // nothing when `from` < `receiver`.
    void ascend_to(std::size_t from, std::size_t receiver);

    // Appends the downward crossings from `from` to the reflector and returns
    // the turning layer: the first layer at or below `from` whose next layer
    // has thickness exactly 0, else `bottom_layer` (not appended). When `from`
    // >= `bottom_layer` there is no layer below it to turn at: nothing is
    // appended and the result is `from` (so a `bottom_layer` of 0, a model of
    // one layer, appends nothing). Needs `bottom_layer` < layers.size().
    std::size_t descend_to_moho(std::span<const state::Layer> layers, std::size_t from,
                                std::size_t bottom_layer);

    // One multiple: down from `receiver` to the reflector, then back up to
    // `receiver`.
    void moho_multiple(std::span<const state::Layer> layers, std::size_t receiver,
                       std::size_t bottom_layer);
};

// Fills counts, directions, end-layer trims and `deepest_layer` of `state`
// from the path in `state.rays`. `source_depth_km` and `receiver_depth_km` are
// km from the top of layer 0. An empty path faults with "build_ray_path needs
// at least one ray segment" before `state` changes; so does (with its own
// message) a crossing of a layer outside `layers`.
void build_ray_path(RayState& state, std::span<const state::Layer> layers, double source_depth_km,
                    double receiver_depth_km);

// The counts, trims and `deepest_layer` that `build_ray_path` gives a path
// made of the first `head_length` crossings listed in `state.rays` followed
// by `repeats` copies of the rest of the listed crossings (the period, listed
// once), without listing the copies: the same values, bit for bit, for any
// number of repeats (a count of more than 2^24 crossings is 2^24, as adding
// 1.0f crossing by crossing leaves it). `state.coefficients` is not filled.
// Returns the crossings of the whole path (at most the largest 64-bit value).
// Faults when there is no period or no repeat, and on a crossing of a layer
// outside `layers`.
std::uint64_t build_repeated_travel(RayState& state, std::span<const state::Layer> layers,
                                    double source_depth_km, double receiver_depth_km,
                                    std::size_t head_length, std::uint64_t repeats);

// The depth of the top of `layer` (km from the top of layer 0): the
// thicknesses of the layers above it summed in index order, layer 0 included.
// `layer` <= layers.size().
double layer_top_km(std::span<const state::Layer> layers, std::size_t layer);

// For `depth_km` inside `layer`: the parts of the layer above and below it, as
// fractions of its thickness. `layer` < layers.size().
LayerFractions layer_fractions(std::span<const state::Layer> layers, std::size_t layer,
                               double depth_km);

// Subtracts `fraction` from the count of `layer` in the P or shear list,
// chosen by the mode of crossing `crossing`; 64-bit subtraction narrowed.
void trim_traversal(RayState& state, std::size_t layer, std::size_t crossing, double fraction);

// One traced layered ray; all 32-bit, narrowed from the 64-bit results.
struct GreenFunction {
    float rp0;    // stationary ray parameter, s/km
    float stime;  // travel time, s
    float rpath;  // path length, km
    float qbar;   // sum over the crossings of travel time over Qs, s (accumulated in 32 bits)
};

// One of the layers 0 to `deepest_layer` of the current path with its counts.
struct TraversedLayer {
    const state::Layer& layer;
    float p;  // P traversal count (1)
    float s;  // shear traversal count (1)
};

// The layers 0 to `deepest_layer` of the current path, in index order; a view
// over `state` and `layers` (nothing is copied or allocated).
class TraversedLayers {
public:
    class Iterator {
    public:
        Iterator(const TraversedLayers* owner, std::size_t index) : owner_(owner), index_(index) {}
        TraversedLayer operator*() const { return (*owner_)[index_]; }
        Iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return index_ != other.index_; }

    private:
        const TraversedLayers* owner_;
        std::size_t index_;
    };

    std::size_t size() const { return travel_->deepest_layer + 1; }
    TraversedLayer operator[](std::size_t k) const {
        return TraversedLayer{layers_[k], travel_->p_traversals[k], travel_->s_traversals[k]};
    }
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, size()); }

private:
    friend TraversedLayers traversed_layers(const RayState& state,
                                            std::span<const state::Layer> layers);
    TraversedLayers(const Travel& travel, std::span<const state::Layer> layers)
        : travel_(&travel), layers_(layers) {}

    const Travel* travel_;
    std::span<const state::Layer> layers_;
};

// The traversed layers of the ray in `state`. Faults when the layer list or a
// count list does not reach `deepest_layer` (a state not filled by
// `build_ray_path` for this model).
TraversedLayers traversed_layers(const RayState& state, std::span<const state::Layer> layers);

// eta(p, v) for complex p (s/km) and speed v (km/s): for real p below 1/v the
// positive root of 1/v^2 - p^2; above 1/v, -i*sqrt(p^2 - 1/v^2) with a real part
// of about -6e-17 times its magnitude.
std::complex<double> vertical_slowness(std::complex<double> ray_parameter, double velocity_km_s);

// T(p) of the ray in `state` at range `range_km` (km), s. A layer enters only
// through counts greater than 0.
std::complex<double> cagniard_time(const RayState& state, std::span<const state::Layer> layers,
                                   std::complex<double> ray_parameter, double range_km);

// dT/dp of the ray in `state`, km. A layer enters through every count that is
// not 0 (negative and NaN counts included).
std::complex<double> cagniard_time_derivative(const RayState& state,
                                              std::span<const state::Layer> layers,
                                              std::complex<double> ray_parameter, double range_km);

// Stationary ray parameter and travel time of the ray in `state`.
struct Stationary {
    double p0;  // s/km
    double t0;  // s
};

// p0 by bisection of dT/dp on [0, p_max], p_max just below 1/(fastest speed
// of the layers with thickness that keep a positive count), to |dT/dp| <=
// 0.01 km or at most 40 midpoints; p0 = p_max when dT/dp there is not
// negative. t0 = Re T(p0). With no such layer p_max is infinite; a source the
// simulator accepts always leaves one (it starts inside a layer below the
// receiver level).
Stationary stationary_ray_parameter(const RayState& state, std::span<const state::Layer> layers,
                                    double range_km);

// Path length and attenuation of the ray in `state`.
struct Spreading {
    double length_km;  // summed crossing lengths, km; 0.001 instead of exactly 0
    float qbar;        // sum of (length / vs) / Qs over the crossings, s, rounded per crossing
};

// Follows the path once with shear speed and Qs: the first crossing covers the
// distance from the source to the edge of its layer on the `takeoff` side
// (measured in a frame that leaves out layer 0), every further crossing the
// full thickness of its layer, each divided by the cosine of its incidence
// angle (sine p*vs, capped at 0.999999). Faults on an empty path.
Spreading geometric_spreading(const RayState& state, std::span<const state::Layer> layers,
                              double source_depth_km, double ray_parameter, Takeoff takeoff);

// Traces one layered ray from a source at `src_depth` (km) to a receiver at
// horizontal range `range` (km) with ray code `ray_type` (positive) in
// `wave_mode`, refilling `state`. A source at or above the bottom of layer 0 is
// traced as a source on that interface (the gap below it, in layer 1). Faults
// on a negative code and on a model with no layer of positive thickness below
// layer 0 (no layered ray exists there), including an empty model.
GreenFunction green_function(RayState& state, std::span<const state::Layer> layers, float src_depth,
                             float range, std::int32_t ray_type, WaveMode wave_mode);

// A traced path holds at most 2^20 crossings (about 10 MiB of path lists):
// far more than any ray that arrives inside a record crosses in a crust of
// real thickness (a multiple adds two crossings per crustal layer and tens of
// seconds of travel). `green_function` faults on a longer path with "ray type
// {code} makes {n} layer crossings, more than the 1048576 a traced ray may
// make", before listing it.
inline constexpr std::uint64_t max_traced_crossings = std::uint64_t{1} << 20;

// The ray parameter and travel time of a layered ray, as `green_function`
// gives them, bit for bit, and the crossings of its path.
struct RayTiming {
    float rp0;                // stationary ray parameter, s/km
    float stime;              // travel time, s
    std::uint64_t crossings;  // crossings of the whole path
};

// `rp0` and `stime` of `green_function` for the same arguments, found from the
// traversal counts alone: the path's Moho multiples are not listed one by one
// (`build_repeated_travel`), so the cost does not grow with their number.
// Leaves `state` holding the main path, one multiple and the counts of the
// whole path. Faults as `green_function` does, but not on the path's length.
RayTiming ray_timing(RayState& state, std::span<const state::Layer> layers, float src_depth,
                     float range, std::int32_t ray_type, WaveMode wave_mode);

}  // namespace kelvane::ray
