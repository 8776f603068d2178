// The station run on a realistic earthquake (bench/scenario.hpp: 20 × 10
// subfaults of 2 km, six-layer crust, rays {1, 2}, 40 s at 0.01 s, f_max
// 10 Hz, kappa 0.04 s, Q exponent 0.6), for stations 5, 20 and 80 km from the
// fault's top edge.
//
// BM_StationRun times whole runs and reports the time per placed
// subfault-ray pair. The other benchmarks time the pieces of the same
// station's work separately, each over every placed pair of the station (the
// pairs are found once, outside the timing, with the run's own steps):
// geometry (subfault rays and time windows), rays (gathering, tracing and
// placing every pair), spectra (refreshes, normal draws, both transforms),
// site (factors, gain curve, application) and radiation (the three gain rows).
#include <benchmark/benchmark.h>

#include <complex>
#include <cstdint>
#include <optional>
#include <vector>

#include "bench/scenario.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/geom.hpp"
#include "kelvane/radiation.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/sim.hpp"
#include "kelvane/site.hpp"
#include "kelvane/stoc.hpp"

namespace {

using namespace kelvane;

const scenario::Earthquake& quake() {
    static const scenario::Earthquake value;
    return value;
}

const sim::Simulator& simulator() {
    static const sim::Simulator value = scenario::build_simulator(quake());
    return value;
}

input::Station station(std::int64_t distance_km) {
    return scenario::station_at(quake(), static_cast<float>(distance_km),
                                scenario::footwall_azimuth_deg(quake()));
}


// One placed pair, found with the run's own steps.
struct Pair {
    sim::SubfaultSource source;
    sim::TracedRay traced;
    sim::Arrival arrival;
    std::size_t np2;
    std::uint64_t ray_seed;
};

// Everything of one station's single segment that the piece benchmarks need.
struct StationWork {
    input::Station st;
    std::uint64_t seed;
    sim::StationStream stream;
    geom::SubfaultGeometry geometry;
    sim::WindowPass windows;
    stoc::PlanCache plans;
    std::vector<Pair> pairs;
    std::size_t np2_max = 0;

    explicit StationWork(std::int64_t distance_km)
        : st(station(distance_km)),
          seed(20260 + static_cast<std::uint64_t>(distance_km)),
          stream(sim::seed_and_predraw(seed, simulator().run_scalars.conical_sample_count)),
          geometry(geom::subfault_geometry(sim::fault_plane_of(simulator().slip.segments[0]),
                                           {st.latitude, st.longitude})),
          windows(simulator().time_window_pass(simulator().slip.segments[0], geometry,
                                               simulator().angles[0],
                                               simulator().strengths[0])),
          plans(stoc::PlanCache::create(simulator().run_scalars.dt, st.q_exponent,
                                        simulator().run_scalars.window_peak_fraction,
                                        simulator().run_scalars.window_end_fraction)) {
        np2_max = plans.for_length(stoc::SpectrumPlan::length_for(windows.tmax,
                                                                  simulator().run_scalars.dt))
                      .np2;
        // The scenario has one segment, so every placed pair is one of segment 0.
        scenario::for_each_placed_pair(
            simulator(), st, seed,
            [&](std::size_t, std::uint64_t subfault_seed, std::size_t r,
                const sim::SubfaultSource& source, const sim::TracedRay& traced,
                const sim::Arrival& arrival, std::size_t np2) {
                plans.for_length(np2);
                pairs.push_back(
                    Pair{source, traced, arrival, np2, sim::ray_stream_seed(subfault_seed, r)});
            });
    }

    sim::RunContext context() const {
        const sim::Simulator& s = simulator();
        return sim::RunContext{s.vmod,          s.rupture,          s.run_scalars, s.rayset,
                               stream.deviates, s.siteamp_log_freq, st.kappa_s,    seed};
    }
    sim::SegmentPass segment_pass() const {
        const sim::Simulator& s = simulator();
        return sim::SegmentPass{0, s.slip.segments[0], geometry, windows, s.angles[0],
                                s.weights[0], s.strengths[0]};
    }
};

StationWork& work(std::int64_t distance_km) {
    static StationWork at5(5), at20(20), at80(80);
    return distance_km == 5 ? at5 : distance_km == 20 ? at20 : at80;
}

// Scratch rows at the segment's longest length, as a segment pass holds them.
struct Scratch {
    std::size_t stride;
    fft::AlignedVector<std::complex<float>> spectrum;
    std::vector<float> series;
    std::vector<float> gains;
    std::vector<float> factors;
    stoc::SpectrumShape shape;

    explicit Scratch(std::size_t np2_max)
        : stride(fft::padded_row_length(np2_max)),
          spectrum(3 * stride),
          series(3 * np2_max, 0.0f),
          gains(np2_max / 2 + 1, 1.0f),
          factors(simulator().run_scalars.site_table_len, 0.0f),
          shape(stoc::SpectrumShape::with_capacity(np2_max)) {}

    std::span<std::complex<float>> row(std::size_t c, std::size_t np2) {
        return std::span<std::complex<float>>(spectrum).subspan(c * stride, np2);
    }
};

void report_pairs(benchmark::State& state, std::size_t pairs) {
    state.counters["pairs"] = static_cast<double>(pairs);
    state.counters["per_pair"] = benchmark::Counter(
        static_cast<double>(pairs),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_StationRun(benchmark::State& state) {
    const input::Station st = station(state.range(0));
    const std::uint64_t seed = 20260 + static_cast<std::uint64_t>(state.range(0));
    std::size_t placed = 0;
    std::size_t samples = 0;
    for (auto _ : state) {
        const sim::Simulation out = simulator().run(st, seed);
        placed = out.census.pairs_attempted - out.census.pairs_outside_record;
        samples = out.census.samples_computed;
        benchmark::DoNotOptimize(out.acc.data());
    }
    report_pairs(state, placed);
    // Mean transform length of a placed pair.
    state.counters["np2_mean"] =
        placed == 0 ? 0.0 : static_cast<double>(samples) / static_cast<double>(placed);
}

void BM_Geometry(benchmark::State& state) {
    const input::Station st = station(state.range(0));
    const input::Segment& seg = simulator().slip.segments[0];
    for (auto _ : state) {
        const geom::SubfaultGeometry g =
            geom::subfault_geometry(sim::fault_plane_of(seg), {st.latitude, st.longitude});
        // Not const: the benchmark library deprecates DoNotOptimize of a const lvalue.
        sim::WindowPass w = simulator().time_window_pass(seg, g, simulator().angles[0],
                                                         simulator().strengths[0]);
        benchmark::DoNotOptimize(w.tmax);
    }
    report_pairs(state, work(state.range(0)).pairs.size());
}

void BM_Rays(benchmark::State& state) {
    StationWork& w = work(state.range(0));
    const sim::RunContext ctx = w.context();
    const sim::SegmentPass pass = w.segment_pass();
    const input::Segment& seg = simulator().slip.segments[0];
    const std::uint64_t seg_seed = sim::segment_seed(w.seed, 0);
    ray::RayState ray_state;
    for (auto _ : state) {
        for (const auto [i, j] : seg.strike_major()) {
            rng::DrawSource d = w.stream.source.respawn(
                sim::substream_seed_from_segment(seg_seed, seg.grid_index(i, j)));
            const std::optional<sim::SubfaultSource> source =
                sim::SubfaultSource::gather(d, pass, i, j, ctx);
            if (!source) continue;
            for (const config::RayType code : simulator().rayset) {
                const sim::TracedRay traced = sim::trace_ray(ray_state, *source, code, ctx);
                sim::Arrival arrival = sim::arrival_time_and_angles(
                    traced, *source, simulator().angles[0], simulator().run_scalars);
                benchmark::DoNotOptimize(arrival.start_sample);
            }
        }
    }
    report_pairs(state, w.pairs.size());
}

void BM_Spectra(benchmark::State& state) {
    StationWork& w = work(state.range(0));
    Scratch scratch(w.np2_max);
    const sim::RunScalars& run = simulator().run_scalars;
    const stoc::SourceModel model{run.dt, run.window_peak_fraction, run.window_end_fraction,
                                  w.st.kappa_s};
    for (auto _ : state) {
        for (const Pair& p : w.pairs) {
            const stoc::SpectrumPlan& plan = w.plans.for_length(p.np2);
            rng::DrawSource d = w.stream.source.respawn(p.ray_seed);
            const stoc::RayPath path{p.traced.path_length_km, p.source.window_s,
                                     p.source.shear_velocity_km_s, p.source.density_g_cm3,
                                     p.source.corner_frequency_hz, p.source.strength.subevent_moment,
                                     p.source.strength.moment_scale, run.fmax_hz, p.traced.qbar};
            scratch.shape.refresh(plan, model, path);
            for (std::size_t c = 0; c < 3; ++c) {
                stoc::stochastic_spectrum(d, plan, scratch.shape, scratch.row(c, p.np2));
            }
            const std::span<const float> gains =
                std::span<const float>(scratch.gains).first(plan.fold_count);
            for (std::size_t c = 0; c < 3; ++c) {
                stoc::radiate_and_invert(scratch.row(c, p.np2), gains,
                                         std::span<float>(scratch.series).subspan(c * w.np2_max, p.np2));
            }
        }
        benchmark::DoNotOptimize(scratch.series.data());
    }
    report_pairs(state, w.pairs.size());
}

void BM_Site(benchmark::State& state) {
    StationWork& w = work(state.range(0));
    Scratch scratch(w.np2_max);
    for (auto _ : state) {
        for (const Pair& p : w.pairs) {
            const stoc::SpectrumPlan& plan = w.plans.for_length(p.np2);
            const std::span<float> gain = std::span<float>(scratch.gains).first(plan.fold_count);
            site::site_amplification_factors(simulator().vmod, p.source.layer,
                                             simulator().siteamp_log_freq, scratch.factors);
            site::site_gain_curve(plan.log_frequency_hz, simulator().siteamp_log_freq,
                                  scratch.factors, gain);
            for (std::size_t c = 0; c < 3; ++c) {
                site::apply_site_amplification(scratch.row(c, p.np2), gain);
            }
        }
        benchmark::DoNotOptimize(scratch.spectrum.data());
    }
    report_pairs(state, w.pairs.size());
}

void BM_Radiation(benchmark::State& state) {
    StationWork& w = work(state.range(0));
    Scratch scratch(w.np2_max);
    const std::size_t samples = simulator().run_scalars.conical_sample_count;
    // The vertical azimuth terms, formed once for the segment as the run forms them.
    std::vector<float> sin_az(w.stream.deviates.radv_uniform_b.size());
    std::vector<float> cos_az(w.stream.deviates.radv_uniform_b.size());
    radiation::vertical_azimuth_terms(w.stream.deviates.radv_uniform_b,
                                      simulator().angles[0].strike_rad, sin_az, cos_az);
    for (auto _ : state) {
        for (const Pair& p : w.pairs) {
            const stoc::SpectrumPlan& plan = w.plans.for_length(p.np2);
            const std::span<float> gains = std::span<float>(scratch.gains).first(plan.fold_count);
            rng::DrawSource d = w.stream.source.respawn(p.ray_seed);
            const radiation::ShearRadiation theoretical = radiation::radiation_pattern(p.arrival.angles);
            for (const sim::Component c : sim::components) {
                const sim::RadiationMode mode = sim::radiation_mode(c);
                if (mode.kind == sim::RadiationMode::Kind::Horizontal) {
                    radiation::horizontal_radiation_spectrum(d, p.arrival.angles, theoretical,
                                                             plan.frequency_hz,
                                                             mode.azimuth_offset_rad(), samples, gains);
                } else {
                    radiation::vertical_radiation_spectrum(p.arrival.angles, plan.frequency_hz,
                                                           w.stream.deviates.radv_uniform_a, sin_az,
                                                           cos_az, samples, gains);
                }
            }
            benchmark::DoNotOptimize(scratch.gains.data());
        }
    }
    report_pairs(state, w.pairs.size());
}

BENCHMARK(BM_StationRun)->Arg(5)->Arg(20)->Arg(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Geometry)->Arg(5)->Arg(20)->Arg(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rays)->Arg(5)->Arg(20)->Arg(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Spectra)->Arg(5)->Arg(20)->Arg(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Site)->Arg(5)->Arg(20)->Arg(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Radiation)->Arg(5)->Arg(20)->Arg(80)->Unit(benchmark::kMillisecond);

}  // namespace
