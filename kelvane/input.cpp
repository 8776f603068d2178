// The slip-model records and the preparation of the velocity model.
//
// 32-bit arithmetic in the written order throughout: the deepest hypocentre
// and the prepared depths feed every record, which reproduce bit for bit.
// 0.017453292f is π/180 rounded to 32 bits.
#include "kelvane/input.hpp"

#include <cmath>

#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"

namespace kelvane::input {

namespace {

// π/180 rounded to 32 bits: degrees to radians.
constexpr float deg_to_rad = 0.017453292f;

// along_strike_count × down_dip_count; faults on overflow.
std::size_t grid_size(std::size_t along_strike_count, std::size_t down_dip_count) {
    std::size_t n = 0;
    if (__builtin_mul_overflow(along_strike_count, down_dip_count, &n)) {
        fault(format("subfault grid of {}x{} entries overflows the machine word",
                     along_strike_count, down_dip_count));
    }
    return n;
}

}  // namespace

Segment::Segment(float fault_lon_deg_, float fault_lat_deg_, std::size_t along_strike_count_,
                 std::size_t down_dip_count_, float subfault_length_km_,
                 float subfault_width_km_, float strike_deg_, float dip_deg_, float rake_deg_,
                 float top_depth_km_, float hypocentre_along_strike_km_,
                 float hypocentre_down_dip_km_, std::vector<Subfault> subfaults_)
    : fault_lon_deg(fault_lon_deg_),
      fault_lat_deg(fault_lat_deg_),
      along_strike_count(along_strike_count_),
      down_dip_count(down_dip_count_),
      subfault_length_km(subfault_length_km_),
      subfault_width_km(subfault_width_km_),
      strike_deg(strike_deg_),
      dip_deg(dip_deg_),
      rake_deg(rake_deg_),
      top_depth_km(top_depth_km_),
      hypocentre_along_strike_km(hypocentre_along_strike_km_),
      hypocentre_down_dip_km(hypocentre_down_dip_km_),
      // Half the length: (count × 0.5) × length, in that order.
      along_strike_offset_km((static_cast<float>(along_strike_count_) * 0.5f) *
                             subfault_length_km_),
      subfaults(std::move(subfaults_)) {
    const std::size_t n = grid_size(along_strike_count, down_dip_count);
    if (subfaults.size() != n) {
        fault(format("subfault grid holds {} entries, expected {}x{}", subfaults.size(),
                     along_strike_count, down_dip_count));
    }
}

std::size_t Segment::subfault_total() const { return subfaults.size(); }

std::size_t Segment::grid_index(std::size_t along_strike, std::size_t down_dip) const {
    if (along_strike < 1 || along_strike > along_strike_count || down_dip < 1 ||
        down_dip > down_dip_count) {
        fault(format("subfault ({},{}) is outside the {}x{} grid", along_strike, down_dip,
                     along_strike_count, down_dip_count));
    }
    return ((down_dip - 1) * along_strike_count) + (along_strike - 1);
}

Subfault Segment::at(std::size_t along_strike, std::size_t down_dip) const {
    const std::size_t k = grid_index(along_strike, down_dip);
    // Holds for every built segment; guards an owner that resized the list.
    KELVANE_CHECK(k < subfaults.size(),
                  format("subfault list of {} entries is shorter than its {}x{} grid",
                         subfaults.size(), along_strike_count, down_dip_count));
    return subfaults[k];
}

DepthRows Segment::depth_rows() const {
    KELVANE_CHECK(along_strike_count >= 1,
                  "segment has no subfault columns along strike, so it has no depth rows");
    return DepthRows(subfaults, along_strike_count);
}

GridOrder Segment::depth_major() const { return GridOrder(along_strike_count, down_dip_count, false); }

GridOrder Segment::strike_major() const { return GridOrder(along_strike_count, down_dip_count, true); }

StochModel StochModel::create(std::vector<Segment> segments) {
    std::size_t subfault_count = 0;
    float max_hypocentre_depth_km = 0.0f;
    for (const Segment& segment : segments) {
        const std::size_t n = grid_size(segment.along_strike_count, segment.down_dip_count);
        if (__builtin_add_overflow(subfault_count, n, &subfault_count)) {
            fault("subfault count of the slip model overflows the machine word");
        }
        // Hypocentre depth: sin(dip) × distance down dip + top depth (km).
        const float zhyp = (::sinf(segment.dip_deg * deg_to_rad) * segment.hypocentre_down_dip_km) +
                           segment.top_depth_km;
        // A NaN depth compares false and never replaces the current value.
        if (zhyp > max_hypocentre_depth_km) max_hypocentre_depth_km = zhyp;
    }
    return {std::move(segments), subfault_count, max_hypocentre_depth_km};
}

std::variant<std::vector<state::InputLayer>, state::ModelError> build_velocity_model(
    std::span<const state::InputLayer> layers, double vs_moho_km_s) {
    if (layers.empty()) return state::ModelError::no_layers();
    // A comparison with a NaN speed is false: such a layer never reaches the Moho.
    if (layers[0].vsh_km_s >= vs_moho_km_s) {
        return state::ModelError::moho_at_first_layer(vs_moho_km_s);
    }

    std::vector<state::InputLayer> out;
    out.reserve(layers.size());
    out.push_back(layers[0]);
    out.back().depth_km = layers[0].thickness_km;

    for (std::size_t k = 1; k < layers.size(); ++k) {
        const float above_km = out.back().depth_km;  // the top of layer k
        out.push_back(layers[k]);
        if (layers[k].vsh_km_s >= vs_moho_km_s) {
            // Layer k is the half-space below the Moho; every later layer is dropped.
            out.back().depth_km = above_km;
            out.back().thickness_km = 0.0f;
            return out;
        }
        out.back().depth_km = above_km + layers[k].thickness_km;
    }
    // The Moho speed was never reached: the last layer becomes the half-space,
    // its depth left at its bottom.
    out.back().thickness_km = 0.0f;
    return out;
}

std::vector<state::InputLayer> insert_air_layer(std::vector<state::InputLayer> vmod_in) {
    KELVANE_CHECK(!vmod_in.empty(), "cannot insert an air layer into a velocity model with no layers");
    const state::InputLayer& first = vmod_in[0];
    // A NaN in either compares false and leaves the model unchanged.
    if (first.depth_km > air_layer_min_depth_km && first.vp_km_s > air_layer_min_vp_km_s) {
        // A 0.1 m layer of near-vacuum: speeds and density are the 32-bit
        // values 0.001, 0.0005 and 0.001 widened to 64 bits.
        const state::InputLayer air{1e-4f,
                                    1e-4f,
                                    static_cast<double>(0.001f),
                                    static_cast<double>(0.0005f),
                                    static_cast<double>(0.001f),
                                    first.attenuation_p,
                                    first.attenuation_s};
        // The depths of the other layers stay measured from the old first layer's top.
        vmod_in.insert(vmod_in.begin(), air);
    }
    return vmod_in;
}

}  // namespace kelvane::input
