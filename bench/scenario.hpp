// A realistic earthquake for benchmarks and tests of the station run.
//
// One planar segment diced into square subfaults (by default 20 × 10 of
// 2 km: strike 30°, dip 70°, rake 90°, top 1 km, stress drop 50 bars), a
// smooth slip asperity, rupture times spreading from a hypocentre at 2.8 km/s,
// a six-layer crust cut where the shear speed reaches 4.0 km/s, direct and
// Moho-reflected rays, 40 s at 0.01 s, f_max 10 Hz and the Tarnel2014Wus path
// duration (deck code 11). Every field can be changed before building, so
// tests use the same builder for small grids and short records.
//
// Units: km, s, degrees, km/s, g/cm³, bars, cm, Hz.
#pragma once

#include <math.h>

#include <array>
#include <optional>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "kelvane/config.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/geom.hpp"
#include "kelvane/input.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/sim.hpp"
#include "kelvane/state.hpp"
#include "kelvane/stoc.hpp"

namespace kelvane::scenario {

// One layer of the crust as a caller gives it.
struct CrustLayer {
    float thickness_km;
    double vp_km_s;
    double vsh_km_s;
    double density_g_cm3;
    float qp;
    float qs;
};

// A six-layer crust over the mantle (the last layer's thickness is ignored).
inline std::vector<CrustLayer> six_layer_crust() {
    return {
        {1.0f, 3.2, 1.8, 2.2, 100.0f, 50.0f},    {3.0f, 4.8, 2.8, 2.5, 300.0f, 150.0f},
        {6.0f, 5.9, 3.4, 2.7, 600.0f, 300.0f},   {10.0f, 6.3, 3.6, 2.8, 800.0f, 400.0f},
        {12.0f, 6.8, 3.9, 2.9, 1000.0f, 500.0f}, {0.0f, 7.9, 4.5, 3.3, 1200.0f, 600.0f},
    };
}

struct Earthquake {
    // Segment.
    float fault_lon_deg = -118.5f;
    float fault_lat_deg = 34.2f;
    std::size_t along_strike_count = 20;
    std::size_t down_dip_count = 10;
    float subfault_km = 2.0f;  // length and width of a subfault
    float strike_deg = 30.0f;
    float dip_deg = 70.0f;
    float rake_deg = 90.0f;
    float top_depth_km = 1.0f;
    float stress_drop_bars = 50.0f;
    // Hypocentre, from the column-1 end of the top edge: along strike, down dip.
    float hypocentre_along_strike_km = 20.0f;
    float hypocentre_down_dip_km = 12.0f;
    float rupture_speed_km_s = 2.8f;  // lays out the rupture times from the hypocentre
    float peak_slip_cm = 200.0f;      // asperity peak; the background slip is 50 cm
    // Source.
    float czero = 2.1f;
    float calpha = 0.5f;
    float frac = 0.8f;
    float shallow = 0.6f;
    float deep = 1.0f;
    float rv_sig1 = 0.1f;
    // Path, site, record.
    std::vector<std::int32_t> rayset = {1, 2};
    config::PathDurationModel path_duration = config::PathDurationModel::Tarnel2014Wus;
    float fmax_hz = 10.0f;
    float duration_s = 40.0f;
    float dt_s = 0.01f;
    // Crust.
    std::vector<CrustLayer> crust = six_layer_crust();
    double vs_moho_km_s = 4.0;
};

// The subfault grid of `quake` in grid order: slip from a Gaussian asperity
// centred on the hypocentre over a 50 cm background, rise time 1.2 s, rupture
// time the in-plane distance from the hypocentre over the rupture speed.
inline std::vector<input::Subfault> subfaults_of(const Earthquake& quake) {
    std::vector<input::Subfault> grid;
    grid.reserve(quake.along_strike_count * quake.down_dip_count);
    const double half_length_km =
        0.5 * static_cast<double>(quake.along_strike_count) * static_cast<double>(quake.subfault_km);
    const double half_width_km =
        0.5 * static_cast<double>(quake.down_dip_count) * static_cast<double>(quake.subfault_km);
    for (std::size_t j = 1; j <= quake.down_dip_count; ++j) {
        for (std::size_t i = 1; i <= quake.along_strike_count; ++i) {
            const double along_km = (static_cast<double>(i) - 0.5) * static_cast<double>(quake.subfault_km);
            const double down_km = (static_cast<double>(j) - 0.5) * static_cast<double>(quake.subfault_km);
            const double da = along_km - static_cast<double>(quake.hypocentre_along_strike_km);
            const double dd = down_km - static_cast<double>(quake.hypocentre_down_dip_km);
            const double asperity =
                std::exp(-(da * da) / (0.5 * half_length_km * half_length_km + 1.0) -
                         (dd * dd) / (0.5 * half_width_km * half_width_km + 1.0));
            const float slip_cm =
                50.0f + static_cast<float>(static_cast<double>(quake.peak_slip_cm - 50.0f) * asperity);
            const float rupture_time_s =
                static_cast<float>(std::sqrt(da * da + dd * dd) / static_cast<double>(quake.rupture_speed_km_s));
            grid.push_back(input::Subfault{input::Slip{slip_cm}, 1.2f, rupture_time_s,
                                           quake.stress_drop_bars});
        }
    }
    return grid;
}

inline input::Segment segment_of(const Earthquake& quake, std::vector<input::Subfault> grid) {
    return input::SegmentBuilder{}
        .fault_lon_deg(quake.fault_lon_deg)
        .fault_lat_deg(quake.fault_lat_deg)
        .along_strike_count(quake.along_strike_count)
        .down_dip_count(quake.down_dip_count)
        .subfault_length_km(quake.subfault_km)
        .subfault_width_km(quake.subfault_km)
        .strike_deg(quake.strike_deg)
        .dip_deg(quake.dip_deg)
        .rake_deg(quake.rake_deg)
        .top_depth_km(quake.top_depth_km)
        .hypocentre_along_strike_km(quake.hypocentre_along_strike_km)
        .hypocentre_down_dip_km(quake.hypocentre_down_dip_km)
        .subfaults(std::move(grid))
        .build();
}

inline config::HfConfig config_of(const Earthquake& quake) {
    std::vector<config::RayType> rays;
    for (const std::int32_t code : quake.rayset) rays.push_back(config::RayType{code});
    return config::HfConfig{
        config::SourceParameters{quake.czero, quake.calpha,
                                 config::RuptureVelocity{quake.frac, quake.shallow, quake.deep,
                                                         quake.rv_sig1}},
        config::PathParameters{std::move(rays), quake.path_duration},
        config::SiteParameters{quake.fmax_hz},
        config::RecordParameters{quake.duration_s, quake.dt_s},
    };
}

// The prepared velocity model of `quake`; faults when the crust is refused.
inline std::vector<state::InputLayer> velocity_model_of(const Earthquake& quake) {
    std::vector<state::InputLayer> layers;
    for (const CrustLayer& c : quake.crust) {
        layers.push_back(state::InputLayer{0.0f, c.thickness_km, c.vp_km_s, c.vsh_km_s,
                                           c.density_g_cm3, c.qp, c.qs});
    }
    auto prepared = input::build_velocity_model(layers, quake.vs_moho_km_s);
    if (auto* error = std::get_if<state::ModelError>(&prepared)) fault(state::display(*error));
    return std::get<std::vector<state::InputLayer>>(std::move(prepared));
}

// A simulator over a slip model of the given segments (all diced alike).
inline sim::Simulator simulator_of(const Earthquake& quake, std::vector<input::Segment> segments) {
    const input::StochModel slip = input::StochModel::create(std::move(segments));
    auto built = sim::Simulator::create(config_of(quake), slip, velocity_model_of(quake));
    if (auto* error = std::get_if<sim::SimError>(&built)) fault(sim::display(*error));
    return std::get<sim::Simulator>(std::move(built));
}

// The one-segment simulator of `quake`.
inline sim::Simulator build_simulator(const Earthquake& quake) {
    std::vector<input::Segment> segments;
    segments.push_back(segment_of(quake, subfaults_of(quake)));
    return simulator_of(quake, std::move(segments));
}

// A station `distance_km` from the middle of the segment's top edge towards
// `azimuth_deg` (clockwise from north), placed on a sphere of radius 6371 km
// (close enough for a test layout; the engine itself works on WGS84).
inline input::Station station_at(const Earthquake& quake, float distance_km, float azimuth_deg,
                                 float kappa_s = 0.04f, float q_exponent = 0.6f) {
    constexpr double earth_radius_km = 6371.0;
    constexpr double deg = 3.14159265358979323846 / 180.0;
    const double az = static_cast<double>(azimuth_deg) * deg;
    const double north_km = static_cast<double>(distance_km) * std::cos(az);
    const double east_km = static_cast<double>(distance_km) * std::sin(az);
    const double lat0 = static_cast<double>(quake.fault_lat_deg);
    const double lat = lat0 + (north_km / earth_radius_km) / deg;
    const double lon = static_cast<double>(quake.fault_lon_deg) +
                       (east_km / (earth_radius_km * std::cos(lat0 * deg))) / deg;
    return input::Station{static_cast<float>(lon), static_cast<float>(lat), kappa_s, q_exponent};
}

// The footwall side of the default segment: perpendicular to strike, away
// from the dip direction.
inline float footwall_azimuth_deg(const Earthquake& quake) { return quake.strike_deg - 90.0f; }

// Every pair that a run of `station` with `seed` places on the record, in the
// run's order (segments, subfaults along strike, ray codes), found with the
// run's own public steps: `visit(s, subfault_seed, r, source, traced,
// arrival, np2)` for the pair of segment `s`, subfault stream `subfault_seed`
// and ray index `r`, with its transform length `np2`. A pair's length depends
// only on its geometry, never on its ray stream, so the lengths are those the
// run itself uses.
template <class Visit>
void for_each_placed_pair(const sim::Simulator& simulator, const input::Station& station,
                          std::uint64_t seed, Visit&& visit) {
    const sim::StationStream stream =
        sim::seed_and_predraw(seed, simulator.run_scalars.conical_sample_count);
    const sim::RunScalars& run = simulator.run_scalars;
    const sim::RunContext ctx{simulator.vmod,          simulator.rupture, run,
                              simulator.rayset,        stream.deviates,   simulator.siteamp_log_freq,
                              station.kappa_s,         seed};
    ray::RayState ray_state;
    for (std::size_t s = 0; s < simulator.slip.segments.size(); ++s) {
        const input::Segment& seg = simulator.slip.segments[s];
        const geom::SubfaultGeometry geometry =
            geom::subfault_geometry(sim::fault_plane_of(seg), {station.latitude, station.longitude});
        const sim::WindowPass windows = simulator.time_window_pass(
            seg, geometry, simulator.angles[s], simulator.strengths[s]);
        const sim::SegmentPass pass{s,           seg, geometry, windows, simulator.angles[s],
                                    simulator.weights[s], simulator.strengths[s]};
        const std::uint64_t seg_seed = sim::segment_seed(seed, s);
        for (const auto [i, j] : seg.strike_major()) {
            const std::uint64_t subfault_seed =
                sim::substream_seed_from_segment(seg_seed, seg.grid_index(i, j));
            rng::DrawSource d = stream.source.respawn(subfault_seed);
            const std::optional<sim::SubfaultSource> source =
                sim::SubfaultSource::gather(d, pass, i, j, ctx);
            if (!source) continue;
            for (std::size_t r = 0; r < simulator.rayset.size(); ++r) {
                const sim::TracedRay traced =
                    sim::trace_ray(ray_state, *source, simulator.rayset[r], ctx);
                const sim::Arrival arrival =
                    sim::arrival_time_and_angles(traced, *source, simulator.angles[s], run);
                if (arrival.start_sample > static_cast<std::int32_t>(run.ndata)) continue;
                const std::size_t np2 = stoc::SpectrumPlan::length_for_arrival(
                    source->window_s, run.dt, arrival.start_sample, run.ndata);
                if (!arrival.placement(np2, run.ndata)) continue;
                visit(s, subfault_seed, r, *source, traced, arrival, np2);
            }
        }
    }
}

// The transform length of every pair that a run of `station` with `seed`
// places on the record, in the run's order; callers compare their count and
// sum with the run's census.
inline std::vector<std::size_t> placed_pair_lengths(const sim::Simulator& simulator,
                                                    const input::Station& station,
                                                    std::uint64_t seed) {
    std::vector<std::size_t> lengths;
    for_each_placed_pair(simulator, station, seed,
                         [&](std::size_t, std::uint64_t, std::size_t, const sim::SubfaultSource&,
                             const sim::TracedRay&, const sim::Arrival&,
                             std::size_t np2) { lengths.push_back(np2); });
    return lengths;
}

}  // namespace kelvane::scenario
