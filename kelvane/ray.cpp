// Layered rays: path building, traversal counts, Cagniard timing, spreading.
//
// Glossary (see ray.hpp for the full notation): k a layer index, h a layer's
// thickness_km, v a speed, p the ray parameter (s/km), eta the vertical
// slowness, n_P and n_S the traversal counts, r the horizontal range (km),
// ksrc and krec the layers of the first and the last crossing.
//
// Every sum below runs in index or path order and every bracket written is
// the one evaluated: the results feed bit-reproducible records, so no sum may
// be reordered, fused or compensated.
#include "kelvane/ray.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"

namespace kelvane::ray {
namespace {

// The receiver layer: every path ends with a crossing of layer 1.
constexpr std::size_t receiver_layer = 1;

// sin of the incidence angle is capped just below 1 (0.999999 rounded to 32
// bits, widened) so a crossing at or past grazing incidence keeps a finite
// length, about 702 times the layer's thickness.
constexpr double max_sine = static_cast<double>(0.999999f);

// A path length of exactly 0 is reported as 0.001 km (rounded to 32 bits,
// widened) so later divisions by it stay finite.
constexpr double min_path_length_km = static_cast<double>(0.001f);

// Offset that keeps p_max strictly below 1/v_max, where eta of the fastest
// layer would vanish and dT/dp would divide by 0 (s/km).
constexpr double below_critical_s_km = -1e-9;

// Bisection tolerance on |dT/dp| (km) and its iteration cap.
constexpr double derivative_tolerance_km = 0.01;
constexpr int max_midpoints = 40;

// Below this |Im p| the vertical slowness takes the branch of a real p.
constexpr double real_axis_tolerance = 1e-8;

// Sine and cosine of the two half-arguments of a real ray parameter (0 and
// pi/2), evaluated once by the same joint sine-cosine routine as the complex
// case, so the real-axis branch gives the very bits a fresh evaluation would.
struct HalfAngle {
    double s;
    double c;
};
HalfAngle joint_sine_cosine(double half) {
    HalfAngle h{0.0, 0.0};
    ::sincos(half, &h.s, &h.c);
    return h;
}
const HalfAngle half_zero = joint_sine_cosine(0.0);
const HalfAngle half_right = joint_sine_cosine(std::numbers::pi / 2.0);

[[noreturn]] void negative_ray_type(std::int32_t ray_type) {
    fault(format("ray type {} is negative; th1 would be undefined", ray_type));
}

// sin(incidence) = p * vs, capped below 1; returns 1 / cos(incidence).
double inverse_cosine(double ray_parameter, double vsh_km_s) {
    double sini = ray_parameter * vsh_km_s;
    if (sini >= 1.0) sini = max_sine;
    return 1.0 / std::sqrt(1.0 - (sini * sini));
}

}  // namespace

void Travel::reset_for(std::size_t layer_count) {
    p_traversals.assign(layer_count, 0.0f);
    s_traversals.assign(layer_count, 0.0f);
}

void Coefficients::reset_for(std::size_t crossing_count) {
    directions.assign(crossing_count, Direction::Up);
}

RayShape RayShape::from_ray_type(std::int32_t ray_type) {
    if (ray_type < 0) [[unlikely]] negative_ray_type(ray_type);
    if (ray_type % 2 != 0) return RayShape{Kind::Upgoing, (ray_type - 1) / 2};
    return RayShape{Kind::DownToMoho, (ray_type - 2) / 2};
}

Takeoff takeoff_from_ray_type(std::int32_t ray_type) {
    if (ray_type < 0) [[unlikely]] negative_ray_type(ray_type);
    return (ray_type % 2 != 0) ? Takeoff::Up : Takeoff::Down;
}

SourceLayer source_layer(std::span<const state::Layer> layers, double depth_km) {
    double depth = depth_km;
    double interface = 0.0;  // depth of the bottom of layer k, km
    for (std::size_t k = 0; k < layers.size(); ++k) {
        interface = interface + layers[k].thickness_km;
        // On the interface or less than the gap below it: move to the gap below.
        if (interface <= depth && (depth - interface) < source_gap_km) {
            depth = interface + source_gap_km;
        }
        if (interface > depth) {
            // Less than the gap above the bottom of its layer: move to the gap above.
            if ((interface - depth) < source_gap_km) depth = interface - source_gap_km;
            return SourceLayer{k, depth};
        }
    }
    return SourceLayer{std::nullopt, depth};
}

DeepestLayer deepest_layer_with_thickness(std::span<const state::Layer> layers) {
    DeepestLayer deepest{0, 0.0};
    for (std::size_t k = 0; k < layers.size(); ++k) {
        if (layers[k].thickness_km > 0.0) {
            deepest.layer = k;
            deepest.thickness_km = deepest.thickness_km + layers[k].thickness_km;
        }
    }
    return deepest;
}

// A layered ray must start below layer 0: from layer 0 the direct ray would
// have no crossings and the reflected rays would start in the receiver layer,
// outside the range the spreading sum covers.
SourcePlacement place_source(std::span<const state::Layer> layers, double depth_km) {
    SourceLayer found = source_layer(layers, depth_km);
    if (found.layer && *found.layer == 0) {
        // At or above the receiver level: start on the receiver-level interface.
        found = source_layer(layers, layers[0].thickness_km);
    }
    if (found.layer) return SourcePlacement{*found.layer, found.depth_km, false};
    // Below every interface: the gap above the bottom of the deepest layer with thickness.
    const DeepestLayer deepest = deepest_layer_with_thickness(layers);
    if (deepest.layer == 0) [[unlikely]] {
        fault(format("no layer below the receiver layer of this {}-layer velocity model has "
                     "positive thickness, so no layered ray can be traced",
                     layers.size()));
    }
    return SourcePlacement{deepest.layer, deepest.thickness_km - source_gap_km, true};
}

RayPath RayPath::create(Rays& rays, WaveMode mode) {
    rays.layer_indices.clear();
    rays.wave_modes.clear();
    return RayPath{rays, mode};
}

void RayPath::push(std::size_t layer) {
    rays.layer_indices.push_back(layer);
    rays.wave_modes.push_back(mode);
}

void RayPath::ascend_to(std::size_t from, std::size_t receiver) {
    if (from < receiver) return;
    for (std::size_t layer = from; layer > receiver; --layer) push(layer);
    push(receiver);
}

std::size_t RayPath::descend_to_moho(std::span<const state::Layer> layers, std::size_t from,
                                     std::size_t bottom_layer) {
    // `from` beyond the last layer above the bottom (bottom_layer - 1, written
    // without the subtraction so a bottom_layer of 0 cannot wrap).
    if (from >= bottom_layer) return from;
    for (std::size_t layer = from; layer < bottom_layer; ++layer) {
        push(layer);
        // The ray turns where the next layer has no thickness.
        if (layers[layer + 1].thickness_km == 0.0) return layer;
    }
    return bottom_layer;
}

void RayPath::moho_multiple(std::span<const state::Layer> layers, std::size_t receiver,
                            std::size_t bottom_layer) {
    const std::size_t turning = descend_to_moho(layers, receiver, bottom_layer);
    ascend_to(turning, receiver);
}

double layer_top_km(std::span<const state::Layer> layers, std::size_t layer) {
    double top = 0.0;
    for (std::size_t k = 0; k < layer; ++k) top = top + layers[k].thickness_km;
    return top;
}

LayerFractions layer_fractions(std::span<const state::Layer> layers, std::size_t layer,
                               double depth_km) {
    const double into = depth_km - layer_top_km(layers, layer);
    const double t = layers[layer].thickness_km;
    // A layer of no thickness has no part above or below any depth: the trim
    // of a crossing there removes nothing (its fractions would be 0/0 or
    // infinite, which made the count, and through it the travel time, NaN).
    if (t == 0.0) return LayerFractions{0.0, 0.0};
    return LayerFractions{into / t, (t - into) / t};
}

void trim_traversal(RayState& state, std::size_t layer, std::size_t crossing, double fraction) {
    std::vector<float>& counts = (state.rays.wave_modes[crossing] == WaveMode::P)
                                     ? state.travel.p_traversals
                                     : state.travel.s_traversals;
    counts[layer] = static_cast<float>(static_cast<double>(counts[layer]) - fraction);
}

namespace {

// The largest layer index of the listed path; faults when it lies outside
// the model, since every count written afterwards is indexed by it.
std::size_t deepest_listed_layer(const Rays& rays, std::span<const state::Layer> layers) {
    std::size_t deepest = 0;
    for (const std::size_t layer : rays.layer_indices) deepest = (layer > deepest) ? layer : deepest;
    if (deepest >= layers.size()) [[unlikely]] {
        fault(format("ray path crosses layer {} of a {}-layer velocity model", deepest,
                     layers.size()));
    }
    return deepest;
}

// The direction of the first crossing of a path of `n` crossings from source
// layer `ksrc` to receiver layer `krec`: from the parity of one more than the
// crossings of the source layer (`source_crossings_parity`: 0 even, 1 odd),
// flipped when the receiver layer lies deeper; a single crossing leaves
// upward only towards a shallower receiver.
Direction takeoff_direction(std::int32_t source_crossings_parity, std::size_t ksrc,
                            std::size_t krec, std::uint64_t n, double source_depth_km,
                            double receiver_depth_km) {
    Direction nup = direction_from_parity(1 + source_crossings_parity);
    if (krec > ksrc) nup = flipped(nup);
    if (n == 1) return (receiver_depth_km < source_depth_km) ? nup : Direction::Down;
    return nup;
}

// Crossings of a path of `head` crossings followed by `repeats` periods of
// `period` crossings each, saturated at the largest 64-bit value.
std::uint64_t path_crossings(std::uint64_t head, std::uint64_t period, std::uint64_t repeats) {
    if (period != 0 && repeats > (std::numeric_limits<std::uint64_t>::max() - head) / period) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return head + (repeats * period);
}

// The end-layer trims: the part of the receiver layer the last crossing does
// not travel (above the receiver when it arrives going up), then the part of
// the source layer behind the takeoff. `last` is the index of a crossing
// listed in `state.rays` with the last crossing's mode. Receiver first: when
// both ends lie in one layer they subtract from the same count in this order.
void trim_end_layers(RayState& state, std::span<const state::Layer> layers,
                     double source_depth_km, double receiver_depth_km, Direction takeoff,
                     Direction arrival, std::size_t last) {
    const std::size_t ksrc = state.rays.layer_indices[0];
    const std::size_t krec = state.rays.layer_indices[last];
    const LayerFractions at_receiver = layer_fractions(layers, krec, receiver_depth_km);
    trim_traversal(state, krec, last,
                   (arrival == Direction::Up) ? at_receiver.above : at_receiver.below);
    const LayerFractions at_source = layer_fractions(layers, ksrc, source_depth_km);
    trim_traversal(state, ksrc, 0, (takeoff == Direction::Up) ? at_source.below : at_source.above);
}

}  // namespace

void build_ray_path(RayState& state, std::span<const state::Layer> layers, double source_depth_km,
                    double receiver_depth_km) {
    const Rays& rays = state.rays;
    const std::size_t n = rays.segment_count();
    KELVANE_CHECK(n != 0, "build_ray_path needs at least one ray segment");

    // The deepest layer bounds every index written below.
    const std::size_t deepest = deepest_listed_layer(rays, layers);

    state.travel.reset_for(layers.size());
    state.coefficients.reset_for(n);

    // One whole traversal per crossing, in the list of its mode.
    for (std::size_t k = 0; k < n; ++k) {
        std::vector<float>& counts = (rays.wave_modes[k] == WaveMode::P)
                                         ? state.travel.p_traversals
                                         : state.travel.s_traversals;
        counts[rays.layer_indices[k]] += 1.0f;
    }

    const std::size_t ksrc = rays.layer_indices[0];
    const std::size_t krec = rays.layer_indices[n - 1];

    // Direction of the first crossing from the parity of the source layer's crossings.
    std::int32_t nl = 0;
    for (const std::size_t layer : rays.layer_indices) {
        if (layer == ksrc) nl = 1 - nl;
    }
    const Direction takeoff =
        takeoff_direction(nl, ksrc, krec, n, source_depth_km, receiver_depth_km);

    // A repeated layer is a reflection (direction flips), a new layer a transmission.
    std::vector<Direction>& directions = state.coefficients.directions;
    directions[0] = takeoff;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        directions[k + 1] = (rays.layer_indices[k] == rays.layer_indices[k + 1])
                                ? flipped(directions[k])
                                : directions[k];
    }

    trim_end_layers(state, layers, source_depth_km, receiver_depth_km, takeoff, directions[n - 1],
                    n - 1);
    state.travel.deepest_layer = deepest;
}

std::uint64_t build_repeated_travel(RayState& state, std::span<const state::Layer> layers,
                                    double source_depth_km, double receiver_depth_km,
                                    std::size_t head_length, std::uint64_t repeats) {
    const Rays& rays = state.rays;
    const std::size_t listed = rays.segment_count();
    KELVANE_CHECK(head_length < listed && repeats >= 1,
                  format("a repeated path needs a period after its {} head crossings and at least "
                         "one repeat; got {} crossings and {} repeats",
                         head_length, listed, repeats));
    const std::size_t deepest = deepest_listed_layer(rays, layers);
    const std::size_t ksrc = rays.layer_indices[0];
    const std::size_t krec = rays.layer_indices[listed - 1];
    const std::uint64_t n = path_crossings(head_length, listed - head_length, repeats);

    // Counts: listing the path would add 1.0f per crossing, which is exact up
    // to 2^24 and then stays at 2^24 (2^24 + 1 rounds to the even 2^24), so a
    // count of N crossings is exactly min(N, 2^24).
    constexpr std::uint64_t saturated = std::uint64_t{1} << 24;
    state.travel.reset_for(layers.size());
    const auto crossings_of = [&](std::size_t layer, bool p_list, std::size_t from,
                                  std::size_t to) {
        std::uint64_t found = 0;
        for (std::size_t k = from; k < to; ++k) {
            if (rays.layer_indices[k] == layer && (rays.wave_modes[k] == WaveMode::P) == p_list) {
                ++found;
            }
        }
        return found;
    };
    std::uint64_t source_crossings = 0;  // of both lists, for the takeoff's parity
    for (std::size_t layer = 0; layer <= deepest; ++layer) {
        for (const bool p_list : {true, false}) {
            const std::uint64_t total = crossings_of(layer, p_list, 0, head_length) +
                                        (repeats * crossings_of(layer, p_list, head_length, listed));
            std::vector<float>& counts =
                p_list ? state.travel.p_traversals : state.travel.s_traversals;
            counts[layer] = static_cast<float>(std::min(total, saturated));
            if (layer == ksrc) source_crossings += total;
        }
    }

    const Direction takeoff =
        takeoff_direction(static_cast<std::int32_t>(source_crossings % 2), ksrc, krec, n,
                          source_depth_km, receiver_depth_km);

    // The direction flips at every reflection (two crossings of one layer in
    // a row): those of the listed path, then per further period its own and
    // the one where it follows the previous period.
    std::uint64_t reflections = 0;
    for (std::size_t k = 0; k + 1 < listed; ++k) {
        if (rays.layer_indices[k] == rays.layer_indices[k + 1]) ++reflections;
    }
    std::uint64_t period_reflections =
        (rays.layer_indices[listed - 1] == rays.layer_indices[head_length]) ? 1 : 0;
    for (std::size_t k = head_length; k + 1 < listed; ++k) {
        if (rays.layer_indices[k] == rays.layer_indices[k + 1]) ++period_reflections;
    }
    reflections += (repeats - 1) * period_reflections;
    const Direction arrival = (reflections % 2 == 0) ? takeoff : flipped(takeoff);

    trim_end_layers(state, layers, source_depth_km, receiver_depth_km, takeoff, arrival,
                    listed - 1);
    state.travel.deepest_layer = deepest;
    return n;
}

TraversedLayers traversed_layers(const RayState& state, std::span<const state::Layer> layers) {
    const Travel& travel = state.travel;
    const std::size_t reach = travel.deepest_layer;
    if (reach >= layers.size() || reach >= travel.p_traversals.size() ||
        reach >= travel.s_traversals.size()) [[unlikely]] {
        fault(format("the ray reaches layer {} but the model has {} layers and the counts cover {}",
                     reach, layers.size(), travel.s_traversals.size()));
    }
    return TraversedLayers(travel, layers);
}

std::complex<double> vertical_slowness(std::complex<double> ray_parameter, double velocity_km_s) {
    const double pr = ray_parameter.real();
    const double pi = ray_parameter.imag();
    // eta^2 = 1/v^2 - p^2 = a + i b.
    const double a = ((1.0 / (velocity_km_s * velocity_km_s)) - (pr * pr)) + (pi * pi);
    const double b = (-2.0 * pi) * pr;
    // Half the argument of eta^2; on the real axis 0 or pi/2 by the sign of a
    // (their sine and cosine precomputed), elsewhere from atan2.
    HalfAngle sc;
    if (std::fabs(pi) < real_axis_tolerance) {
        sc = (a < 0.0) ? half_right : half_zero;
    } else {
        sc = joint_sine_cosine(std::atan2(b, a) * 0.5);
    }
    double s = sc.s;
    double c = sc.c;
    // Branch with a non-positive imaginary part (the decaying wave).
    if (c <= 0.0 || s > real_axis_tolerance) {
        s = -s;
        c = -c;
    }
    const double m = std::sqrt(std::sqrt((a * a) + (b * b)));
    return {c * m, s * m};
}

std::complex<double> cagniard_time(const RayState& state, std::span<const state::Layer> layers,
                                   std::complex<double> ray_parameter, double range_km) {
    double sum_re = 0.0;
    double sum_im = 0.0;
    for (const TraversedLayer tl : traversed_layers(state, layers)) {
        const double h = tl.layer.thickness_km;
        std::complex<double> ea{0.0, 0.0};
        std::complex<double> eb{0.0, 0.0};
        if (tl.p > 0.0f) ea = vertical_slowness(ray_parameter, tl.layer.vp_km_s);
        if (tl.s > 0.0f) eb = vertical_slowness(ray_parameter, tl.layer.vsh_km_s);
        const double np = static_cast<double>(tl.p);
        const double ns = static_cast<double>(tl.s);
        // sum = (sum + (ea * n_P) * h) + (eb * n_S) * h, part by part.
        sum_re = (sum_re + ((ea.real() * np) * h)) + ((eb.real() * ns) * h);
        sum_im = (sum_im + ((ea.imag() * np) * h)) + ((eb.imag() * ns) * h);
    }
    return {(ray_parameter.real() * range_km) + sum_re, (ray_parameter.imag() * range_km) + sum_im};
}

namespace {

// x / eta for real x, the textbook complex quotient.
std::complex<double> real_over(double x, std::complex<double> eta) {
    const double e = eta.real();
    const double f = eta.imag();
    const double d = (e * e) + (f * f);
    return {(x * e) / d, (-x * f) / d};
}

}  // namespace

std::complex<double> cagniard_time_derivative(const RayState& state,
                                              std::span<const state::Layer> layers,
                                              std::complex<double> ray_parameter,
                                              double range_km) {
    double c_re = 0.0;
    double c_im = 0.0;
    for (const TraversedLayer tl : traversed_layers(state, layers)) {
        const double h = tl.layer.thickness_km;
        std::complex<double> a{0.0, 0.0};
        std::complex<double> b{0.0, 0.0};
        // Every count that is not 0 enters (a NaN count compares unequal to 0).
        if (tl.p != 0.0f) {
            a = real_over(static_cast<double>(tl.p) * h,
                          vertical_slowness(ray_parameter, tl.layer.vp_km_s));
        }
        if (tl.s != 0.0f) {
            b = real_over(static_cast<double>(tl.s) * h,
                          vertical_slowness(ray_parameter, tl.layer.vsh_km_s));
        }
        c_re = (c_re + a.real()) + b.real();
        c_im = (c_im + a.imag()) + b.imag();
    }
    const double pr = ray_parameter.real();
    const double pi = ray_parameter.imag();
    // dT/dp = (r + 0i) - p * c.
    const double pc_re = (pr * c_re) - (pi * c_im);
    const double pc_im = (pr * c_im) + (pi * c_re);
    return {range_km - pc_re, 0.0 - pc_im};
}

Stationary stationary_ray_parameter(const RayState& state, std::span<const state::Layer> layers,
                                    double range_km) {
    // Fastest speed crossed; a NaN speed never compares larger. A layer of no
    // thickness adds no path, so whatever its speed it bounds no ray
    // parameter: it is a reflector only (it ends the descent of the
    // reflections and multiples).
    double v_max = 0.0;
    for (const TraversedLayer tl : traversed_layers(state, layers)) {
        if (tl.layer.thickness_km == 0.0) continue;
        if (tl.p > 0.0f && tl.layer.vp_km_s > v_max) v_max = tl.layer.vp_km_s;
        if (tl.s > 0.0f && tl.layer.vsh_km_s > v_max) v_max = tl.layer.vsh_km_s;
    }
    const double p_max = (1.0 / v_max) + below_critical_s_km;

    double p0 = p_max;
    const double d_max = cagniard_time_derivative(state, layers, {p_max, 0.0}, range_km).real();
    if (d_max < 0.0) {
        // dT/dp falls from r at p = 0: bisect for its zero.
        double lo = 0.0;
        double hi = p_max;
        for (int k = 0; k < max_midpoints; ++k) {
            const double mid = (hi + lo) * 0.5;
            p0 = mid;
            const double d = cagniard_time_derivative(state, layers, {mid, 0.0}, range_km).real();
            if (std::fabs(d) <= derivative_tolerance_km) break;
            if (d > 0.0) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
    }
    const double t0 = cagniard_time(state, layers, {p0, 0.0}, range_km).real();
    return Stationary{p0, t0};
}

Spreading geometric_spreading(const RayState& state, std::span<const state::Layer> layers,
                              double source_depth_km, double ray_parameter, Takeoff takeoff) {
    const std::vector<std::size_t>& path = state.rays.layer_indices;
    KELVANE_CHECK(!path.empty(), "geometric_spreading needs at least one ray segment");
    const std::size_t nh1 = path[0];

    // Depth of the top of the source layer, leaving out layer 0 (0 for nh1 <= 1).
    double dep = 0.0;
    for (std::size_t k = 1; k < nh1; ++k) dep = dep + layers[k].thickness_km;
    const state::Layer& first = layers[nh1];
    const double th1 = (takeoff == Takeoff::Down) ? ((dep + first.thickness_km) - source_depth_km)
                                                  : (source_depth_km - dep);

    // First crossing: from the source to the edge of its layer.
    const double ri0 = th1 * inverse_cosine(ray_parameter, first.vsh_km_s);
    float qbar = static_cast<float>((ri0 / first.vsh_km_s) / static_cast<double>(first.attenuation_s));
    double length = ri0;

    // Every further crossing spans its whole layer.
    for (std::size_t k = 1; k < path.size(); ++k) {
        const state::Layer& layer = layers[path[k]];
        const double ri = inverse_cosine(ray_parameter, layer.vsh_km_s) * layer.thickness_km;
        length = length + ri;
        qbar = static_cast<float>(static_cast<double>(qbar) +
                                  ((ri / layer.vsh_km_s) / static_cast<double>(layer.attenuation_s)));
    }
    if (length == 0.0) length = min_path_length_km;
    return Spreading{length, qbar};
}

namespace {

// The start of a layered ray: where its source lies, and its path up to the
// first Moho multiple listed in `state.rays`.
struct MainPath {
    SourcePlacement source;
    RayShape shape;
    RayPath path;
    std::size_t bottom_layer;  // the last layer of the model (the half-space)
    double receiver_depth_km;  // the bottom of layer 0, km
};

// Places the source of `ray_type` and lists its path without multiples: up
// from the source layer, or down to the reflector and back up, to the
// receiver layer. Faults on an empty model, a model with no layer of
// positive thickness below layer 0, and a negative code.
MainPath list_main_path(RayState& state, std::span<const state::Layer> layers, float src_depth,
                        std::int32_t ray_type, WaveMode wave_mode) {
    if (layers.empty()) [[unlikely]] {
        fault(format("no layer below the receiver layer of this {}-layer velocity model has "
                     "positive thickness, so no layered ray can be traced",
                     layers.size()));
    }
    const std::size_t bottom_layer = layers.size() - 1;
    const double hr = layers[0].thickness_km;  // receiver depth, km
    const SourcePlacement source = place_source(layers, static_cast<double>(src_depth));

    RayPath path = RayPath::create(state.rays, wave_mode);
    const RayShape shape = RayShape::from_ray_type(ray_type);
    if (shape.kind == RayShape::Kind::Upgoing) {
        path.ascend_to(source.layer, receiver_layer);
    } else {
        const std::size_t kbot = path.descend_to_moho(layers, source.layer, bottom_layer);
        path.ascend_to(kbot, receiver_layer);
    }
    return MainPath{source, shape, path, bottom_layer, hr};
}

}  // namespace

GreenFunction green_function(RayState& state, std::span<const state::Layer> layers, float src_depth,
                             float range, std::int32_t ray_type, WaveMode wave_mode) {
    MainPath main = list_main_path(state, layers, src_depth, ray_type, wave_mode);
    RayPath& path = main.path;
    const SourcePlacement& source = main.source;
    const double hr = main.receiver_depth_km;

    // The multiples: every one lists the same crossings, so the first tells
    // how long the whole path will be, and a path longer than a traced ray
    // may be is refused before the others are listed.
    if (main.shape.multiples > 0) {
        const std::size_t head = state.rays.segment_count();
        path.moho_multiple(layers, receiver_layer, main.bottom_layer);
        const std::uint64_t n = path_crossings(head, state.rays.segment_count() - head,
                                               static_cast<std::uint64_t>(main.shape.multiples));
        if (n > max_traced_crossings) [[unlikely]] {
            fault(format("ray type {} makes {} layer crossings, more than the {} a traced ray "
                         "may make",
                         ray_type, n, max_traced_crossings));
        }
        for (std::int32_t m = 1; m < main.shape.multiples; ++m) {
            path.moho_multiple(layers, receiver_layer, main.bottom_layer);
        }
    }

    const double rr = static_cast<double>(range);
    build_ray_path(state, layers, source.depth_km, hr);
    const Stationary stationary = stationary_ray_parameter(state, layers, rr);
    const Spreading spreading = geometric_spreading(state, layers, source.depth_km, stationary.p0,
                                                    takeoff_from_ray_type(ray_type));
    return GreenFunction{static_cast<float>(stationary.p0), static_cast<float>(stationary.t0),
                         static_cast<float>(spreading.length_km), spreading.qbar};
}

RayTiming ray_timing(RayState& state, std::span<const state::Layer> layers, float src_depth,
                     float range, std::int32_t ray_type, WaveMode wave_mode) {
    MainPath main = list_main_path(state, layers, src_depth, ray_type, wave_mode);
    const double hr = main.receiver_depth_km;
    std::uint64_t crossings = 0;
    if (main.shape.multiples <= 0) {
        build_ray_path(state, layers, main.source.depth_km, hr);
        crossings = state.rays.segment_count();
    } else {
        // The main path and one multiple are listed; the counts are those of
        // the main path followed by every multiple.
        const std::size_t head = state.rays.segment_count();
        main.path.moho_multiple(layers, receiver_layer, main.bottom_layer);
        crossings = build_repeated_travel(state, layers, main.source.depth_km, hr, head,
                                          static_cast<std::uint64_t>(main.shape.multiples));
    }
    const Stationary stationary =
        stationary_ray_parameter(state, layers, static_cast<double>(range));
    return RayTiming{static_cast<float>(stationary.p0), static_cast<float>(stationary.t0),
                     crossings};
}

}  // namespace kelvane::ray
