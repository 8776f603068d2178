// Tests of the station run: its records and tallies, the time windows, the
// per-pair steps (gather, earliest start, ray, arrival, placement, clipping,
// accumulation) and whole runs (order of additions, skipped subfaults,
// diagnostics, reproducibility across runs, generators and threads).
#include <gtest/gtest.h>

#include "tests/engine/support.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <complex>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "bench/scenario.hpp"
#include "kelvane/fault.hpp"
#include "kelvane/geom.hpp"
#include "kelvane/ray.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/radiation.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/site.hpp"
#include "kelvane/stoc.hpp"
#include "kelvane/sim.hpp"

namespace {

using namespace kelvane::sim;
using kelvane::config::RayType;
using kelvane::geom::SubfaultGeometry;
using kelvane::geom::SubfaultRay;
using kelvane::input::Segment;
using kelvane::input::Station;
using kelvane::scenario::Earthquake;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();

Simulation run_of(const Simulator& sim, const Station& station, std::uint64_t seed) {
    return sim.run(station, seed);
}
WindowPass windows_of(const Simulator& sim, const Segment& seg, const SubfaultGeometry& g,
                      std::size_t s) {
    return sim.time_window_pass(seg, g, sim.angles[s], sim.strengths[s]);
}

using kelvane::testing_support::fault_message;

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

bool all_zero(const std::vector<float>& a) {
    for (const float v : a) {
        if (std::bit_cast<std::uint32_t>(v) != 0u) return false;
    }
    return true;
}

// Selects the fixture generator while alive.
class FixtureGenerator {
public:
    FixtureGenerator() { ::setenv("KELVANE_FIXTURE_RNG", "", 1); }
    ~FixtureGenerator() { ::unsetenv("KELVANE_FIXTURE_RNG"); }
};

// A 2 × 2 grid of 2 km subfaults, rays {0, 1}, 30 s at 0.02 s.
Earthquake small_quake() {
    Earthquake quake;
    quake.along_strike_count = 2;
    quake.down_dip_count = 2;
    quake.hypocentre_along_strike_km = 2.0f;
    quake.hypocentre_down_dip_km = 2.0f;
    quake.top_depth_km = 2.0f;
    quake.rayset = {0, 1};
    quake.duration_s = 30.0f;
    quake.dt_s = 0.02f;
    return quake;
}

Station station_km(const Earthquake& quake, float distance_km) {
    return kelvane::scenario::station_at(quake, distance_km,
                                         kelvane::scenario::footwall_azimuth_deg(quake));
}

// A RunScalars of round numbers for the per-pair steps.
RunScalars scalars(float dt, std::size_t ndata) {
    return RunScalars{dt,   10.0f, 0.2f, 0.05f, 2.1f, 0.5f, 0.0f, 2.0f,
                      1000, 20,    ndata, 3.7f};
}

// Everything one segment pass needs, for calling `subfault_pass` directly
// with chosen weights or a changed segment.
struct PassBench {
    Simulator sim;
    Station station;
    std::uint64_t seed;
    StationStream stream;
    SubfaultGeometry geometry;
    WindowPass windows;

    PassBench(const Earthquake& quake, float distance_km, std::uint64_t seed_in)
        : sim(kelvane::scenario::build_simulator(quake)),
          station(station_km(quake, distance_km)),
          seed(seed_in),
          stream(seed_and_predraw(seed_in, 1000)),
          geometry(geometry_of(sim.slip.segments[0], station)),
          windows(windows_of(sim, sim.slip.segments[0], geometry, 0)) {}

    static SubfaultGeometry geometry_of(const Segment& seg, const Station& st) {
        return kelvane::geom::subfault_geometry(fault_plane_of(seg), {st.latitude, st.longitude});
    }

    RunContext context() const {
        return RunContext{sim.vmod,       sim.rupture,          sim.run_scalars, sim.rayset,
                          stream.deviates, sim.siteamp_log_freq, station.kappa_s, seed};
    }

    SegmentPass pass(const Segment& seg, std::span<const MomentWeight> weights,
                     std::size_t index = 0) const {
        return SegmentPass{index,   seg, geometry, windows, sim.angles[0], weights,
                           sim.strengths[0]};
    }

    struct Result {
        std::vector<float> acc;
        SegmentTally tally;
    };

    // One segment pass of segment 0 (or `seg`) with `weights`, into a zero record.
    Result run_pass(std::span<const MomentWeight> weights, const Segment* seg = nullptr,
                    std::size_t index = 0) const {
        const Segment& segment = seg ? *seg : sim.slip.segments[0];
        std::vector<float> acc(3 * sim.run_scalars.ndata, 0.0f);
        kelvane::stoc::PlanCache plans = kelvane::stoc::PlanCache::create(
            sim.run_scalars.dt, station.q_exponent, 0.2f, 0.05f);
        const RunContext ctx = context();
        const SegmentTally tally =
            subfault_pass(stream.source, plans, acc, pass(segment, weights, index), ctx);
        return Result{std::move(acc), tally};
    }
};

// ---- records ----

TEST(RunRecords, ComponentsCapFmaxAndChooseRadiation) {
    struct Case {
        float fmax_hz;
        float e090, n000, vertical;
    };
    const Case cases[] = {{20.0f, 20.0f, 20.0f, 15.0f}, {10.0f, 10.0f, 10.0f, 10.0f},
                          {15.0f, 15.0f, 15.0f, 15.0f}};
    for (const Case& c : cases) {
        EXPECT_EQ(capped_fmax(Component::E090, c.fmax_hz), c.e090) << c.fmax_hz;
        EXPECT_EQ(capped_fmax(Component::N000, c.fmax_hz), c.n000) << c.fmax_hz;
        EXPECT_EQ(capped_fmax(Component::Vertical, c.fmax_hz), c.vertical) << c.fmax_hz;
    }
    EXPECT_EQ(capped_fmax(Component::Vertical, kNaN), 15.0f);
    EXPECT_TRUE(std::isnan(capped_fmax(Component::E090, kNaN)));
    EXPECT_TRUE(std::isnan(capped_fmax(Component::N000, kNaN)));

    EXPECT_EQ(radiation_mode(Component::E090),
              (RadiationMode{RadiationMode::Kind::Horizontal, -90.0f}));
    EXPECT_EQ(radiation_mode(Component::N000),
              (RadiationMode{RadiationMode::Kind::Horizontal, 0.0f}));
    EXPECT_EQ(radiation_mode(Component::Vertical).kind, RadiationMode::Kind::Vertical);
    // The horizontal gains receive −π/2 and 0 rounded to 32 bits.
    EXPECT_EQ(radiation_mode(Component::E090).azimuth_offset_rad(), -1.5707964f);
    EXPECT_EQ(radiation_mode(Component::N000).azimuth_offset_rad(), 0.0f);
    EXPECT_EQ(static_cast<int>(Component::E090), 0);
    EXPECT_EQ(static_cast<int>(Component::Vertical), 2);
}

TEST(RunRecords, TallyAdditions) {
    Clipping tally{2, 0.5f};
    tally += Clipping{3, 0.25f};  // smaller overrun: kept, peaks still added
    EXPECT_EQ(tally, (Clipping{5, 0.5f}));
    tally += Clipping{0, 1.5f};
    EXPECT_EQ(tally, (Clipping{5, 1.5f}));
    tally += Clipping{1, kNaN};  // a NaN operand yields the other
    EXPECT_EQ(tally, (Clipping{6, 1.5f}));
    Clipping from_nan{0, kNaN};
    from_nan += Clipping{1, 0.75f};
    EXPECT_EQ(from_nan, (Clipping{1, 0.75f}));

    Census census{1, 2, 3, 4, 7};
    census += Census{10, 20, 30, 40, 99};
    EXPECT_EQ(census, (Census{11, 22, 33, 44, 7}));
}

TEST(RunRecords, ClippingOfOneArrival) {
    // dt 0.5 s, 100 samples; a 5 s window peaks 0.2 × 5 s = 2 samples after its start.
    const RunScalars run = scalars(0.5f, 100);
    struct Case {
        std::int32_t start_sample;
        float window_s;
        Clipping expected;
    };
    const Case cases[] = {
        {98, 5.0f, {0, 0.0f}},     // peak exactly on the last sample: not lost
        {99, 5.0f, {1, 0.5f}},     // one sample beyond: lost by one dt
        {110, 5.0f, {1, 6.0f}},    // 12 samples beyond
        {-50, 5.0f, {0, 0.0f}},    // early arrivals lose nothing
        {99, kNaN, {0, 0.0f}},     // a NaN overrun counts nothing
        {101, -10.0f, {0, 0.0f}},  // a negative window can pull the peak back
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Clipping::for_arrival(c.start_sample, c.window_s, run), c.expected)
            << c.start_sample << " " << c.window_s;
    }
}

// ---- sample numbers and placement ----

TEST(RunSamples, SaturatingConversion) {
    struct Case {
        float value;
        std::int32_t expected;
    };
    const Case cases[] = {
        {kNaN, 0},       {-0.9f, 0},          {0.9f, 0},           {2.9f, 2},
        {-2.9f, -2},     {2147483648.0f, kMax32}, {3e9f, kMax32},  {-2147483648.0f, kMin32},
        {-3e9f, kMin32}, {INFINITY, kMax32},  {-INFINITY, kMin32}, {2147483520.0f, 2147483520},
    };
    for (const Case& c : cases) EXPECT_EQ(saturating_sample(c.value), c.expected) << c.value;
}

TEST(RunSamples, CheckedSumFaultsWithItsTerms) {
    EXPECT_EQ(checked_sample_sum(kMax32 - 1, 1, "x"), kMax32);
    EXPECT_EQ(checked_sample_sum(kMin32, 5, "x"), kMin32 + 5);
    EXPECT_EQ(fault_message([] { checked_sample_sum(kMax32, 1, "start of a ray's window"); }),
              "start of a ray's window: sample numbers 2147483647 + 1 overflow the signed "
              "32-bit range");
    EXPECT_EQ(fault_message([] { checked_sample_sum(kMin32, -1, "earliest"); }),
              "earliest: sample numbers -2147483648 + -1 overflow the signed 32-bit range");
}

TEST(RunSamples, PlacementClipsSeriesToRecord) {
    struct Case {
        std::int32_t start_sample;
        std::size_t np2;
        std::size_t ndata;
        std::optional<Placement> expected;
    };
    const std::size_t huge = std::size_t{1} << 40;
    const Case cases[] = {
        {1, 8, 100, Placement{0, 0, 8}},
        {100, 8, 100, Placement{0, 99, 1}},  // start on the last sample: one value
        {101, 8, 100, std::nullopt},
        {95, 8, 100, Placement{0, 94, 6}},
        {-5, 8, 100, Placement{6, 0, 2}},    // values 6 and 7 land on samples 1 and 2
        {-6, 8, 100, Placement{7, 0, 1}},  // only value 7 lands, on sample 1
        {-7, 8, 100, std::nullopt},        // value 7 lands on sample 0
        {-8, 8, 100, std::nullopt},          // the series ends on sample 0
        {0, 2, 0, std::nullopt},             // a record of no samples takes nothing
        {1, 2, 0, std::nullopt},
        {kMin32, 8, 100, std::nullopt},
        {1, huge, 100, Placement{0, 0, 100}},
        // The last sample a signed 32-bit record can have: the series end is
        // formed without overflow.
        {kMax32, 2, static_cast<std::size_t>(kMax32), Placement{0, 2147483646, 1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Placement::clip(c.start_sample, c.np2, c.ndata), c.expected)
            << c.start_sample << " " << c.np2 << " " << c.ndata;
        const Arrival arrival{c.start_sample, {}};
        EXPECT_EQ(arrival.placement(c.np2, c.ndata), c.expected);
    }
}

TEST(RunSamples, AccumulateAddsWeightedRowsInPlace) {
    std::vector<float> acc(3 * 4, 1.0f);
    std::vector<float> series(3 * 8);
    for (std::size_t k = 0; k < series.size(); ++k) series[k] = static_cast<float>(k);
    const std::span<float> a(acc);
    const std::span<const float> s(series);
    const Placement placement = *Placement::clip(-5, 8, 4);
    accumulate_subfault({a.subspan(0, 4), a.subspan(4, 4), a.subspan(8, 4)},
                        {s.subspan(0, 8), s.subspan(8, 8), s.subspan(16, 8)}, MomentWeight{0.5f},
                        placement);
    const std::vector<float> expected = {1.0f + 3.0f,  1.0f + 3.5f,  1.0f, 1.0f,   // E090: 6, 7
                                         1.0f + 7.0f,  1.0f + 7.5f,  1.0f, 1.0f,   // N000: 14, 15
                                         1.0f + 11.0f, 1.0f + 11.5f, 1.0f, 1.0f};  // Vertical
    EXPECT_EQ(acc, expected);
}

// ---- station stream and layers ----

TEST(RunStreams, PredrawContinuesTheStationStream) {
    ::unsetenv("KELVANE_FIXTURE_RNG");
    const StationStream first = seed_and_predraw(42, 1000);
    const StationStream again = seed_and_predraw(42, 1000);
    EXPECT_EQ(first.deviates.radv_uniform_a, again.deviates.radv_uniform_a);
    EXPECT_EQ(first.deviates.radv_uniform_b, again.deviates.radv_uniform_b);
    ASSERT_EQ(first.deviates.radv_uniform_a.size(), 1000u);
    ASSERT_EQ(first.deviates.radv_uniform_b.size(), 1000u);
    // Uniforms 0..999 of the station stream go to a, 1000..1999 to b.
    kelvane::rng::DrawSource reference = kelvane::rng::DrawSource::for_station(42);
    for (std::size_t k = 0; k < 1000; ++k)
        ASSERT_EQ(first.deviates.radv_uniform_a[k], reference.uniform()) << k;
    for (std::size_t k = 0; k < 1000; ++k)
        ASSERT_EQ(first.deviates.radv_uniform_b[k], reference.uniform()) << k;
    EXPECT_EQ(first.source.kind(), kelvane::rng::DrawSource::Kind::Modern);
    {
        const FixtureGenerator fixture;
        const StationStream f = seed_and_predraw(42, 1000);
        EXPECT_EQ(f.source.kind(), kelvane::rng::DrawSource::Kind::Fixture);
        EXPECT_NE(f.deviates.radv_uniform_a, first.deviates.radv_uniform_a);
        // FixtureDraws::seed(42)'s first uniform.
        EXPECT_EQ(f.deviates.radv_uniform_a[0], 0.1599103808403015f);
        EXPECT_EQ(seed_and_predraw(42, 1000).deviates.radv_uniform_b, f.deviates.radv_uniform_b);
    }
}

TEST(RunStreams, SourceLayerForDepth) {
    using kelvane::state::Layer;
    // Air layer, then bottoms at 2 and 5 km, and a half-space whose depth is its top.
    const std::vector<Layer> vmod = {
        {static_cast<double>(1e-4f), static_cast<double>(1e-4f), 0.001, 0.0005, 0.001, 1, 1},
        {2.0, 2.0, 4.0, 2.0, 2.5, 100, 50},
        {5.0, 3.0, 5.0, 3.0, 2.7, 200, 100},
        {5.0, 0.0, 6.0, 4.0, 3.0, 300, 150},
    };
    struct Case {
        float depth_km;
        std::size_t layer;
    };
    const Case cases[] = {{-1.0f, 0}, {0.0f, 0}, {1e-4f, 0},  {2e-4f, 1}, {2.0f, 1},
                          {2.0001f, 2}, {5.0f, 2}, {5.5f, 3}, {500.0f, 3}, {kNaN, 3}};
    for (const Case& c : cases) EXPECT_EQ(source_layer_for(vmod, c.depth_km), c.layer) << c.depth_km;
}

// ---- time windows ----

TEST(RunWindows, WindowsFollowSlantAndTheirMaximum) {
    Earthquake quake = small_quake();
    quake.path_duration = kelvane::config::PathDurationModel::Vorel2010;  // 0.063 s/km
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    const Segment& seg = sim.slip.segments[0];
    SubfaultGeometry g = PassBench::geometry_of(seg, station_km(quake, 20.0f));
    // Subfault (1,1) at slant 0 (no path duration), (2,1) at 10 km: windows
    // differ by 2.12 × 0.63 s; the other rays stay as computed.
    const SubfaultGeometry base = g;
    g.rays[0].slant_km = 0.0f;
    g.rays[1] = g.rays[0];
    g.rays[1].slant_km = 10.0f;
    const WindowPass w = windows_of(sim, seg, g, 0);
    ASSERT_EQ(w.window_s.size(), 4u);
    EXPECT_NEAR(w.window_s[1] - w.window_s[0], 2.12f * 0.63f, 1e-5f);
    EXPECT_GT(w.window_s[0], 0.0f);
    const float largest = std::max({w.window_s[0], w.window_s[1], w.window_s[2], w.window_s[3]});
    EXPECT_EQ(w.tmax, largest);
    // Entries follow grid order: subfault (2,2) alone moves when its ray does.
    g.rays[3].slant_km = base.rays[3].slant_km + 100.0f;
    const WindowPass moved = windows_of(sim, seg, g, 0);
    EXPECT_EQ(moved.window_s[2], w.window_s[2]);
    EXPECT_NEAR(moved.window_s[3] - w.window_s[3], 2.12f * 6.3f, 1e-4f);
}

TEST(RunWindows, NaNOrNegativeWindowsLeaveTmaxZero) {
    Earthquake quake = small_quake();
    {
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        const Segment& seg = sim.slip.segments[0];
        SubfaultGeometry g = PassBench::geometry_of(seg, station_km(quake, 20.0f));
        for (SubfaultRay& r : g.rays) r = SubfaultRay{kNaN, kNaN, kNaN, kNaN, kNaN};
        const WindowPass w = windows_of(sim, seg, g, 0);
        for (const float v : w.window_s) EXPECT_TRUE(std::isnan(v));
        EXPECT_EQ(w.tmax, 0.0f);
    }
    {
        quake.czero = -2.1f;  // a negative corner frequency: negative windows
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        const Segment& seg = sim.slip.segments[0];
        SubfaultGeometry g = PassBench::geometry_of(seg, station_km(quake, 20.0f));
        for (SubfaultRay& r : g.rays) r.slant_km = 0.0f;
        const WindowPass w = windows_of(sim, seg, g, 0);
        for (const float v : w.window_s) EXPECT_LT(v, 0.0f);
        EXPECT_EQ(w.tmax, 0.0f);
    }
}

TEST(RunWindows, CornerFrequencyAndWindowInTheirOwnOrder) {
    // window = (path duration + (1 ÷ fc) × √moment_scale) × 2.12 with the
    // unperturbed fc = ((fraction × corner_coeff) × vs) ÷ (π × avg_subfault_km),
    // bit for bit, over depths that cross the taper and several layers. The
    // gather step divides by avg_subfault_km and π one after the other; at some
    // of these depths that order gives another window, so the check has teeth
    // (the mean subfault size is not a power of two, or both orders agree).
    Earthquake quake = small_quake();
    quake.subfault_km = 1.7f;
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    const Segment& seg = sim.slip.segments[0];
    SubfaultGeometry g = PassBench::geometry_of(seg, station_km(quake, 20.0f));
    const float cc = sim.angles[0].corner_coeff;
    const float avg = sim.run_scalars.avg_subfault_km;
    std::size_t orders_differ = 0;
    for (int step = 0; step < 400; ++step) {
        const float depth_km = 0.5f + 0.0737f * static_cast<float>(step);
        for (SubfaultRay& r : g.rays) r.depth_km = depth_km;
        const WindowPass w = windows_of(sim, seg, g, 0);
        const std::size_t layer = source_layer_for(sim.vmod, depth_km);
        const float vs = static_cast<float>(sim.vmod[layer].vsh_km_s);
        const float fraction = sim.rupture.factor(depth_km);
        const float fc = ((fraction * cc) * vs) / (3.1415927f * avg);
        const float fc_other = (((fraction * cc) * vs) / avg) / 3.1415927f;
        float largest = 0.0f;
        for (std::size_t k = 0; k < w.window_s.size(); ++k) {
            const float pd = path_duration_at(sim.path_duration, g.rays[k].slant_km);
            const float ms_root = ::sqrtf(sim.strengths[0][k].moment_scale);
            const float expected = (pd + (1.0f / fc) * ms_root) * 2.12f;
            ASSERT_EQ(std::bit_cast<std::uint32_t>(w.window_s[k]),
                      std::bit_cast<std::uint32_t>(expected))
                << depth_km << " " << k;
            if ((pd + (1.0f / fc_other) * ms_root) * 2.12f != expected) ++orders_differ;
            largest = std::max(largest, expected);
        }
        EXPECT_EQ(w.tmax, largest) << depth_km;
    }
    EXPECT_GT(orders_differ, 0u);
}

// ---- subfault source ----

// A draws source whose normals are all `value`, counting the draws.
struct ScriptedDraws {
    float value;
    int* normals;
    ScriptedDraws respawn(std::uint64_t) const { return *this; }
    float uniform() { return 0.5f; }
    float normal() {
        ++*normals;
        return value;
    }
    void fill_normal(std::span<float> out) {
        for (float& v : out) v = normal();
    }
    void fill_uniform(std::span<float> out) {
        for (float& v : out) v = uniform();
    }
};

TEST(RunSubfault, WeightTestAndRuptureSpeedDraw) {
    Earthquake quake = small_quake();
    quake.rv_sig1 = 0.5f;
    const PassBench bench(quake, 20.0f, 7);
    const Segment& seg = bench.sim.slip.segments[0];
    const RunContext ctx = bench.context();
    const float threshold = 0.001f;
    struct Case {
        float weight;
        float normal;
        bool passes;
        int draws;
    };
    const Case cases[] = {
        {threshold, 0.0f, true, 1},
        {std::nextafter(threshold, 0.0f), 0.0f, false, 0},
        {0.0f, 0.0f, false, 0},
        {kNaN, 0.0f, true, 1},  // a NaN weight passes
        {1.0f, 10.0f, true, 1},
    };
    int unperturbed_draws = 0;
    const std::optional<SubfaultSource> unperturbed = [&] {
        const std::vector<MomentWeight> w(4, MomentWeight{1.0f});
        ScriptedDraws d{0.0f, &unperturbed_draws};  // exp(0) = 1: the taper alone
        return SubfaultSource::gather(d, bench.pass(seg, w), 2, 1, ctx);
    }();
    ASSERT_TRUE(unperturbed.has_value());
    for (const Case& c : cases) {
        std::vector<MomentWeight> weights(4, MomentWeight{1.0f});
        weights[seg.grid_index(2, 1)] = MomentWeight{c.weight};
        int draws = 0;
        ScriptedDraws d{c.normal, &draws};
        const std::optional<SubfaultSource> s =
            SubfaultSource::gather(d, bench.pass(seg, weights), 2, 1, ctx);
        EXPECT_EQ(s.has_value(), c.passes) << c.weight;
        EXPECT_EQ(draws, c.draws) << c.weight;
        if (!s) continue;
        EXPECT_EQ(s->layer, unperturbed->layer);
        EXPECT_EQ(s->rupture_time_s, seg.at(2, 1).rupture_time_s);
        EXPECT_EQ(s->window_s, bench.windows.window_s[1]);
        if (c.normal > 0.0f) {
            // exp(10 × 0.5) pushes the fraction past the cap: 1.4 × the
            // unperturbed corner frequency ÷ the taper's fraction.
            const float base = bench.sim.rupture.factor(s->geometry.depth_km);
            EXPECT_NEAR(s->corner_frequency_hz / unperturbed->corner_frequency_hz, 1.4f / base,
                        1e-5f);
        }
    }
    // σ 0 or NaN: the stream is not touched and the taper is used unchanged.
    for (const float sigma : {0.0f, kNaN, -1.0f}) {
        RunScalars run = bench.sim.run_scalars;
        run.rupture_velocity_sigma = sigma;
        const RunContext quiet{bench.sim.vmod, bench.sim.rupture, run, bench.sim.rayset,
                               bench.stream.deviates, bench.sim.siteamp_log_freq, 0.04f, 7};
        const std::vector<MomentWeight> w(4, MomentWeight{1.0f});
        int draws = 0;
        ScriptedDraws d{10.0f, &draws};
        const auto s = SubfaultSource::gather(d, bench.pass(seg, w), 2, 1, quiet);
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(draws, 0) << sigma;
        EXPECT_EQ(s->corner_frequency_hz, unperturbed->corner_frequency_hz) << sigma;
    }
}

TEST(RunSubfault, GatheredValuesInTheirOwnOrder) {
    // fc = (((fraction × corner_coeff) × vs) ÷ avg_subfault_km) ÷ π, bit for
    // bit, with the fraction unperturbed (σ 0) or min(base × expf(N σ), 1.4);
    // vs and the density are the source layer's, narrowed. At some depths the
    // window pass's order (÷ (π × avg)) rounds differently, so the check has
    // teeth (the mean subfault size is not a power of two, or both orders agree).
    for (const float sigma : {0.0f, 0.5f}) {
        Earthquake quake = small_quake();
        quake.subfault_km = 1.7f;
        quake.rv_sig1 = sigma;
        PassBench bench(quake, 20.0f, 7);
        const Segment& seg = bench.sim.slip.segments[0];
        const RunContext ctx = bench.context();
        const std::vector<MomentWeight> w(4, MomentWeight{1.0f});
        const float cc = bench.sim.angles[0].corner_coeff;
        const float avg = bench.sim.run_scalars.avg_subfault_km;
        const std::size_t k = seg.grid_index(2, 1);
        std::size_t orders_differ = 0;
        for (int step = 0; step < 400; ++step) {
            const float depth_km = 0.5f + 0.0737f * static_cast<float>(step);
            bench.geometry.rays[k].depth_km = depth_km;
            int draws = 0;
            ScriptedDraws d{0.3f, &draws};
            const std::optional<SubfaultSource> s =
                SubfaultSource::gather(d, bench.pass(seg, w), 2, 1, ctx);
            ASSERT_TRUE(s.has_value());
            const std::size_t layer = source_layer_for(bench.sim.vmod, depth_km);
            const float base = bench.sim.rupture.factor(depth_km);
            const float fraction =
                sigma > 0.0f ? std::min(base * ::expf(0.3f * sigma), 1.4f) : base;
            const float vs = static_cast<float>(bench.sim.vmod[layer].vsh_km_s);
            const float fc = (((fraction * cc) * vs) / avg) / 3.1415927f;
            EXPECT_EQ(draws, sigma > 0.0f ? 1 : 0);
            EXPECT_EQ(s->layer, layer) << depth_km;
            EXPECT_EQ(s->shear_velocity_km_s, vs) << depth_km;
            EXPECT_EQ(s->density_g_cm3, static_cast<float>(bench.sim.vmod[layer].density_g_cm3));
            ASSERT_EQ(std::bit_cast<std::uint32_t>(s->corner_frequency_hz),
                      std::bit_cast<std::uint32_t>(fc))
                << sigma << " " << depth_km;
            if (((fraction * cc) * vs) / (3.1415927f * avg) != fc) ++orders_differ;
        }
        EXPECT_GT(orders_differ, 0u) << sigma;
    }
}

TEST(RunSubfault, EarliestStartSample) {
    // slant 37 km at 3.7 km/s: 10 s; window 10 s starts 2 s early; a straight
    // ray's window starts at 37 × 0.7 ÷ 3.7 = 7 s. dt 0.5 s.
    const RunScalars run = scalars(0.5f, 100);
    SubfaultSource s{};
    s.geometry = SubfaultRay{37.0f, 0.0f, 2.0f, 36.0f, 8.0f};
    s.window_s = 10.0f;
    const std::vector<RayType> layered = {{1}, {2}};
    const std::vector<RayType> with_straight = {{2}, {0}};
    struct Case {
        float rupture_time_s;
        float slant_km;
        const std::vector<RayType>* rays;
        std::int32_t expected;
    };
    const Case cases[] = {
        {1.0f, 37.0f, &layered, 16 + 2},
        {1.0f, 37.0f, &with_straight, 14 + 2},
        {-0.45f, 37.0f, &layered, 16},   // −0.9 samples truncates to 0
        {-0.75f, 37.0f, &layered, 15},   // −1.5 samples truncates to −1
        {kNaN, 37.0f, &layered, 16},     // a NaN rupture time counts as 0
        {0.0f, kNaN, &with_straight, 0}, // a NaN bound converts to 0
    };
    for (const Case& c : cases) {
        s.rupture_time_s = c.rupture_time_s;
        s.geometry.slant_km = c.slant_km;
        EXPECT_EQ(s.earliest_start_sample(run, *c.rays), c.expected)
            << c.rupture_time_s << " " << c.slant_km;
    }
    s.geometry.slant_km = 37.0f;
    s.rupture_time_s = 2e10f;  // saturates at 2^31 − 1 samples
    EXPECT_EQ(fault_message([&] { s.earliest_start_sample(run, layered); }),
              "earliest start of a subfault: sample numbers 16 + 2147483647 overflow the signed "
              "32-bit range");
}

TEST(RunSubfault, TracedRays) {
    const Earthquake quake = small_quake();
    const PassBench bench(quake, 20.0f, 7);
    const RunContext ctx = bench.context();
    const std::vector<MomentWeight> w(4, MomentWeight{1.0f});
    const Segment& seg = bench.sim.slip.segments[0];
    kelvane::rng::DrawSource d = kelvane::rng::DrawSource::for_station(1);
    const SubfaultSource s = *SubfaultSource::gather(d, bench.pass(seg, w), 1, 2, ctx);
    kelvane::ray::RayState state;

    const TracedRay straight = trace_ray(state, s, RayType{0}, ctx);
    EXPECT_EQ(straight.path_length_km, s.geometry.slant_km);
    EXPECT_EQ(straight.qbar, s.geometry.slant_km / (s.shear_velocity_km_s * 150.0f));
    EXPECT_EQ(straight.window_start_s, (s.geometry.slant_km * 0.7f) / 3.7f);
    EXPECT_EQ(straight.takeoff_rad, s.geometry.takeoff_rad);

    // Layered rays: the tracer's path from the subfault depth over the
    // horizontal range; the window opens 0.2 of the window before the travel
    // time; the direct ray leaves upwards, the Moho reflection downwards.
    for (const std::int32_t code : {1, 2, 3}) {
        kelvane::ray::RayState own;
        const kelvane::ray::GreenFunction green = kelvane::ray::green_function(
            own, bench.sim.vmod, s.geometry.depth_km, s.geometry.horiz_km, code,
            kelvane::ray::WaveMode::Sh);
        const TracedRay traced = trace_ray(state, s, RayType{code}, ctx);
        EXPECT_EQ(traced.path_length_km, green.rpath) << code;
        EXPECT_EQ(traced.qbar, green.qbar) << code;
        EXPECT_EQ(traced.window_start_s, green.stime - 0.2f * s.window_s) << code;
        // Incidence asinf(rp0 × vs) in 32 bits; π − incidence leaving upwards.
        const float incidence = ::asinf(green.rp0 * s.shear_velocity_km_s);
        EXPECT_EQ(traced.takeoff_rad, code % 2 == 1 ? 3.1415927f - incidence : incidence) << code;
        if (code % 2 == 1) {
            EXPECT_GE(traced.takeoff_rad, 1.5707964f) << code;
        } else {
            EXPECT_LE(traced.takeoff_rad, 1.5707964f) << code;
        }
    }
    EXPECT_EQ(fault_message([&] { trace_ray(state, s, RayType{-1}, ctx); }),
              "ray type -1 is negative; th1 would be undefined");
}

TEST(RunSubfault, ArrivalCountsTimesInWholeSamples) {
    const RunScalars run = scalars(0.5f, 100);
    const SegmentAngles angles{0.1f, 0.2f, 0.3f, 1.0f};
    SubfaultSource s{};
    s.geometry = SubfaultRay{10.0f, 1.25f, 2.0f, 9.0f, 4.0f};
    struct Case {
        float window_start_s;
        float rupture_time_s;
        std::int32_t expected;
    };
    const Case cases[] = {
        {5.35f, 0.0f, 10},    // 10.7 samples
        {5.35f, -0.45f, 10},  // rupture −0.9 samples counts as 0
        {5.35f, -0.75f, 9},   // −1.5 samples counts as −1
        {5.35f, 1.2f, 12},    // each term truncated on its own: 10 + 2
        {-3.2f, 0.0f, -6},
        {kNaN, 1.0f, 2},
    };
    for (const Case& c : cases) {
        s.rupture_time_s = c.rupture_time_s;
        const Arrival a =
            arrival_time_and_angles(TracedRay{10.0f, 0.1f, c.window_start_s, 2.5f}, s, angles, run);
        EXPECT_EQ(a.start_sample, c.expected) << c.window_start_s << " " << c.rupture_time_s;
        EXPECT_EQ(a.angles.strike_rad, 0.1f);
        EXPECT_EQ(a.angles.dip_rad, 0.2f);
        EXPECT_EQ(a.angles.rake_rad, 0.3f);
        EXPECT_EQ(a.angles.azimuth_rad, 1.25f);
        EXPECT_EQ(a.angles.takeoff_rad, 2.5f);
    }
    s.rupture_time_s = 1.0f;
    EXPECT_EQ(fault_message([&] {
                  arrival_time_and_angles(TracedRay{1.0f, 0.1f, 1e10f, 2.5f}, s, angles, run);
              }),
              "start of a ray's window: sample numbers 2147483647 + 2 overflow the signed 32-bit "
              "range");
}

// ---- whole runs ----

TEST(StationRun, EmptyRaySetGivesZeroRecordAndOnePlanPerSegment) {
    Earthquake quake = small_quake();
    quake.rayset = {};
    // Two segments side by side, the second 20 km away: their longest windows differ.
    Earthquake second = quake;
    second.fault_lat_deg = quake.fault_lat_deg + 0.2f;
    std::vector<Segment> segments;
    segments.push_back(kelvane::scenario::segment_of(quake, kelvane::scenario::subfaults_of(quake)));
    segments.push_back(
        kelvane::scenario::segment_of(second, kelvane::scenario::subfaults_of(second)));
    const Simulator sim = kelvane::scenario::simulator_of(quake, std::move(segments));
    const Station station = station_km(quake, 5.0f);
    const Simulation out = run_of(sim, station, 11);
    EXPECT_EQ(out.ndata, sim.ndata());
    EXPECT_EQ(out.dt, quake.dt_s);
    ASSERT_EQ(out.acc.size(), 3 * sim.ndata());
    EXPECT_TRUE(all_zero(out.acc));
    EXPECT_EQ(out.census.pairs_attempted, 0u);
    EXPECT_EQ(out.census.pairs_outside_record, 0u);
    EXPECT_EQ(out.census.samples_computed, 0u);
    EXPECT_EQ(out.census.samples_accumulated, 0u);
    EXPECT_EQ(out.clipping, (Clipping{0, 0.0f}));
    std::set<std::size_t> lengths;
    for (std::size_t s = 0; s < 2; ++s) {
        const Segment& seg = sim.slip.segments[s];
        const WindowPass w = windows_of(sim, seg, PassBench::geometry_of(seg, station), s);
        lengths.insert(kelvane::stoc::SpectrumPlan::length_for(w.tmax, quake.dt_s));
    }
    EXPECT_EQ(lengths.size(), 2u);
    EXPECT_EQ(out.census.transform_lengths, lengths.size());
}

TEST(StationRun, CensusOfASmallCaseByHand) {
    // 2 × 2 subfaults, rays {0, 1}, 20 km away, 120 s: every arrival starts
    // within the first 20 s and every series (twice a window of under 20 s)
    // ends inside the record. So all 8 pairs are placed whole, each with the
    // transform length of its subfault's whole window, and no peak is lost.
    Earthquake quake = small_quake();
    quake.duration_s = 120.0f;
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    const Station station = station_km(quake, 20.0f);
    const Segment& seg = sim.slip.segments[0];
    const WindowPass w = windows_of(sim, seg, PassBench::geometry_of(seg, station), 0);
    std::size_t per_ray = 0;
    std::set<std::size_t> lengths = {kelvane::stoc::SpectrumPlan::length_for(w.tmax, quake.dt_s)};
    for (const float window : w.window_s) {
        ASSERT_LT(window, 20.0f);
        const std::size_t np2 = kelvane::stoc::SpectrumPlan::length_for(window, quake.dt_s);
        per_ray += np2;
        lengths.insert(np2);
    }
    const Simulation out = run_of(sim, station, 5);
    EXPECT_EQ(out.census.pairs_attempted, 8u);
    EXPECT_EQ(out.census.pairs_outside_record, 0u);
    EXPECT_EQ(out.census.samples_computed, 2 * per_ray);
    EXPECT_EQ(out.census.samples_accumulated, 2 * per_ray);
    EXPECT_EQ(out.census.transform_lengths, lengths.size());
    EXPECT_EQ(out.clipping, (Clipping{0, 0.0f}));
    EXPECT_FALSE(all_zero(out.acc));
    for (const float v : out.acc) ASSERT_TRUE(std::isfinite(v));
}

TEST(StationRun, SkippedSubfaultLeavesEveryOtherStreamAlone) {
    // Subfault (1,2) is skipped by its weight in one pass; in the other it
    // passes (drawing its rupture-speed normal) but ruptures far too late to
    // reach the record. Every other subfault and ray must draw exactly the
    // same numbers, so the records agree bit for bit; only the tallies see
    // the second case's two lost pairs.
    Earthquake quake = small_quake();
    quake.rv_sig1 = 0.3f;
    const PassBench bench(quake, 15.0f, 99);
    const Segment& seg = bench.sim.slip.segments[0];
    const std::size_t k = seg.grid_index(1, 2);
    std::vector<MomentWeight> weights(bench.sim.weights[0].begin(), bench.sim.weights[0].end());
    std::vector<MomentWeight> skipped = weights;
    skipped[k] = MomentWeight{0.0009f};
    Segment late = seg;
    late.subfaults[k].rupture_time_s = 1000.0f;

    const PassBench::Result a = bench.run_pass(skipped);
    const PassBench::Result b = bench.run_pass(weights, &late);
    EXPECT_TRUE(same_bits(a.acc, b.acc));
    EXPECT_FALSE(all_zero(a.acc));
    EXPECT_EQ(a.tally.census.pairs_attempted, 6u);
    EXPECT_EQ(b.tally.census.pairs_attempted, 8u);
    EXPECT_EQ(b.tally.census.pairs_outside_record, a.tally.census.pairs_outside_record + 2);
    EXPECT_EQ(b.tally.census.samples_computed, a.tally.census.samples_computed);
    EXPECT_EQ(b.tally.clipping.peaks_lost, a.tally.clipping.peaks_lost + 2);
    // With the subfault on time, the record changes.
    const PassBench::Result c = bench.run_pass(weights);
    EXPECT_FALSE(same_bits(a.acc, c.acc));
    EXPECT_EQ(c.tally.census.pairs_attempted, 8u);
}

TEST(StationRun, SegmentIndexSeedsTheStreams) {
    // The same segment passed as segment 0 and as segment 1 draws from other
    // streams: same timing and tallies, different records.
    const PassBench bench(small_quake(), 15.0f, 4);
    const std::span<const MomentWeight> weights = bench.sim.weights[0];
    const PassBench::Result first = bench.run_pass(weights, nullptr, 0);
    const PassBench::Result second = bench.run_pass(weights, nullptr, 1);
    EXPECT_EQ(first.tally.census, second.tally.census);
    EXPECT_FALSE(same_bits(first.acc, second.acc));
    EXPECT_TRUE(same_bits(first.acc, bench.run_pass(weights, nullptr, 0).acc));
}

TEST(StationRun, OnePairFollowsTheStepsInOrder) {
    // Rebuilds one pair's contribution from the individual steps, in the
    // documented order: the ray stream yields the three spectra's normals
    // (E090, N000, Vertical) and then the E090 and N000 radiation uniforms;
    // the site gain applies to all three rows before the radiation gains; the
    // vertical row uses the station's pre-drawn uniforms and its own capped
    // f_max (f_max 20 Hz with kappa 0, so the cap changes the vertical's
    // amplitude). Any other order or mapping changes the bits.
    Earthquake quake = small_quake();
    quake.fmax_hz = 20.0f;
    quake.rayset = {1};
    PassBench bench(quake, 12.0f, 77);
    bench.station.kappa_s = 0.0f;
    const Segment& seg = bench.sim.slip.segments[0];
    const std::size_t i = 2, j = 1;
    const std::size_t k = seg.grid_index(i, j);
    std::vector<MomentWeight> only(4, MomentWeight{0.0f});
    only[k] = MomentWeight{0.75f};
    const PassBench::Result actual = bench.run_pass(only);

    const RunContext ctx = bench.context();
    const RunScalars& run = bench.sim.run_scalars;
    const std::uint64_t subfault_seed = substream_seed(bench.seed, 0, k);
    kelvane::rng::DrawSource subfault_rng = bench.stream.source.respawn(subfault_seed);
    const SubfaultSource source =
        *SubfaultSource::gather(subfault_rng, bench.pass(seg, only), i, j, ctx);
    kelvane::ray::RayState state;
    const TracedRay traced = trace_ray(state, source, RayType{1}, ctx);
    const Arrival arrival = arrival_time_and_angles(traced, source, bench.sim.angles[0], run);
    const std::size_t np2 = kelvane::stoc::SpectrumPlan::length_for_arrival(
        source.window_s, run.dt, arrival.start_sample, run.ndata);
    const kelvane::stoc::SpectrumPlan plan =
        kelvane::stoc::SpectrumPlan::create(np2, run.dt, bench.station.q_exponent, 0.2f, 0.05f);
    const Placement placement = *arrival.placement(np2, run.ndata);

    kelvane::rng::DrawSource ray_rng = bench.stream.source.respawn(ray_stream_seed(subfault_seed, 0));
    kelvane::stoc::SpectrumShape shape = kelvane::stoc::SpectrumShape::with_capacity(np2);
    const kelvane::stoc::SourceModel model{run.dt, 0.2f, 0.05f, 0.0f};
    std::array<kelvane::fft::AlignedVector<std::complex<float>>, 3> spectra;
    for (std::size_t c = 0; c < 3; ++c) {
        spectra[c].resize(np2);
        const float fmax_hz = c == 2 ? 15.0f : 20.0f;
        shape.refresh(plan, model,
                      kelvane::stoc::RayPath{traced.path_length_km, source.window_s,
                                             source.shear_velocity_km_s, source.density_g_cm3,
                                             source.corner_frequency_hz,
                                             source.strength.subevent_moment,
                                             source.strength.moment_scale, fmax_hz, traced.qbar});
        kelvane::stoc::stochastic_spectrum(ray_rng, plan, shape, std::span(spectra[c]));
    }
    std::vector<float> factors(20), gain(plan.fold_count);
    kelvane::site::site_amplification_factors(bench.sim.vmod, source.layer,
                                              bench.sim.siteamp_log_freq, factors);
    kelvane::site::site_gain_curve(plan.log_frequency_hz, bench.sim.siteamp_log_freq, factors,
                                   gain);
    for (auto& row : spectra) kelvane::site::apply_site_amplification(std::span(row), gain);
    std::array<std::vector<float>, 3> series;
    std::vector<float> gains(plan.fold_count);
    for (std::size_t c = 0; c < 3; ++c) {
        if (c < 2) {
            kelvane::radiation::horizontal_radiation_spectrum(
                ray_rng, arrival.angles, plan.frequency_hz, c == 0 ? -1.5707964f : 0.0f, 1000,
                std::span(gains));
        } else {
            kelvane::radiation::vertical_radiation_spectrum(
                arrival.angles, plan.frequency_hz, bench.stream.deviates.radv_uniform_a,
                bench.stream.deviates.radv_uniform_b, 1000, gains);
        }
        series[c].resize(np2);
        kelvane::stoc::radiate_and_invert(std::span(spectra[c]), gains, std::span(series[c]));
    }
    std::vector<float> expected(actual.acc.size(), 0.0f);
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t t = 0; t < placement.count; ++t) {
            float& out = expected[c * run.ndata + placement.offset + t];
            out = out + 0.75f * series[c][placement.skip + t];
        }
    }
    EXPECT_TRUE(same_bits(actual.acc, expected));
    EXPECT_EQ(actual.tally.census.samples_computed, np2);
    EXPECT_EQ(actual.tally.census.samples_accumulated, placement.count);
}

TEST(StationRun, ContributionsAddAlongStrikeOuter) {
    // With one ray code each subfault adds one series; the record must be
    // ((c11 + c12) + c21) + c22 in floats, not the down-dip-outer order.
    Earthquake quake = small_quake();
    quake.rayset = {1};
    const PassBench bench(quake, 10.0f, 3);
    const Segment& seg = bench.sim.slip.segments[0];
    const std::span<const MomentWeight> all = bench.sim.weights[0];
    std::vector<std::vector<float>> alone;  // contribution of each subfault, grid order
    for (std::size_t k = 0; k < 4; ++k) {
        std::vector<MomentWeight> only(4, MomentWeight{0.0f});
        only[k] = all[k];
        alone.push_back(bench.run_pass(only).acc);
    }
    const PassBench::Result full = bench.run_pass(all);
    std::vector<float> strike_major(full.acc.size(), 0.0f);
    std::vector<float> depth_major(full.acc.size(), 0.0f);
    for (const auto [i, j] : seg.strike_major()) {
        const std::vector<float>& c = alone[seg.grid_index(i, j)];
        for (std::size_t t = 0; t < c.size(); ++t) strike_major[t] = strike_major[t] + c[t];
    }
    for (const auto [i, j] : seg.depth_major()) {
        const std::vector<float>& c = alone[seg.grid_index(i, j)];
        for (std::size_t t = 0; t < c.size(); ++t) depth_major[t] = depth_major[t] + c[t];
    }
    EXPECT_TRUE(same_bits(full.acc, strike_major));
    // The two orders do round differently here, so the check above has teeth.
    EXPECT_FALSE(same_bits(strike_major, depth_major));
}

TEST(StationRun, FarStationLiesWhollyAfterTheRecord) {
    Earthquake quake = small_quake();
    quake.duration_s = 10.0f;
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    const std::size_t refreshes = shape_refreshes_on_this_thread();
    const Simulation out = run_of(sim, station_km(quake, 1500.0f), 1);
    EXPECT_TRUE(all_zero(out.acc));
    EXPECT_EQ(out.census.pairs_attempted, 4u * 2u);
    EXPECT_EQ(out.census.pairs_outside_record, 4u * 2u);
    EXPECT_EQ(out.census.samples_computed, 0u);
    EXPECT_EQ(out.census.samples_accumulated, 0u);
    EXPECT_EQ(out.clipping.peaks_lost, 4u * 2u);
    EXPECT_GT(out.clipping.worst_overrun_s, 300.0f);
    EXPECT_EQ(out.census.transform_lengths, 1u);  // the longest window's plan only
    EXPECT_EQ(shape_refreshes_on_this_thread(), refreshes);
}

TEST(StationRun, RefreshesPerPlacedPairFollowTheVerticalCap) {
    struct Case {
        float fmax_hz;
        std::size_t refreshes_per_pair;
    };
    const Case cases[] = {{10.0f, 1}, {15.0f, 1}, {20.0f, 2}, {kNaN, 3}};
    for (const Case& c : cases) {
        Earthquake quake = small_quake();
        quake.fmax_hz = c.fmax_hz;
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        const std::size_t before = shape_refreshes_on_this_thread();
        const Simulation out = run_of(sim, station_km(quake, 20.0f), 2);
        const std::size_t placed = out.census.pairs_attempted - out.census.pairs_outside_record;
        EXPECT_EQ(placed, 8u) << c.fmax_hz;
        EXPECT_EQ(shape_refreshes_on_this_thread() - before, c.refreshes_per_pair * placed)
            << c.fmax_hz;
    }
}

TEST(StationRun, RecordOfNoSamples) {
    Earthquake quake = small_quake();
    quake.duration_s = 0.0f;
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    ASSERT_EQ(sim.ndata(), 0u);
    const Simulation out = run_of(sim, station_km(quake, 5.0f), 1);
    EXPECT_EQ(out.ndata, 0u);
    EXPECT_TRUE(out.acc.empty());
    EXPECT_EQ(out.census.pairs_attempted, 8u);
    EXPECT_EQ(out.census.pairs_outside_record, 8u);
    EXPECT_EQ(out.census.samples_computed, 0u);
    EXPECT_EQ(out.census.samples_accumulated, 0u);
}

TEST(StationRun, ShortRecordClipsSeriesAndPeaks) {
    // 4 s: the arrivals from 20 km start inside the record but their series
    // (and some peaks) run past its end.
    Earthquake quake = small_quake();
    quake.duration_s = 4.0f;
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    const Simulation out = run_of(sim, station_km(quake, 10.0f), 8);
    const std::size_t placed = out.census.pairs_attempted - out.census.pairs_outside_record;
    EXPECT_GT(placed, 0u);
    EXPECT_LT(out.census.samples_accumulated, out.census.samples_computed);
    EXPECT_LE(out.census.samples_accumulated, placed * out.ndata);
    EXPECT_GT(out.clipping.peaks_lost, 0u);
}

TEST(StationRun, RecordEndBoundariesAtBothSkipPoints) {
    // One subfault, one layered ray. Its rupture time moves the start sample
    // (and the earliest start) by whole samples onto and past sample ndata:
    // a start on sample ndata still places one value (transform length 2); a
    // start one later is outside. An earliest start on sample ndata does not
    // skip the subfault (the traced ray's own start sets its clipping); one
    // later skips it, and the clipping then comes from the earliest start.
    Earthquake quake = small_quake();
    quake.rayset = {1};
    const PassBench bench(quake, 20.0f, 5);
    const RunScalars& run = bench.sim.run_scalars;
    const auto ndata = static_cast<std::int32_t>(run.ndata);
    const Segment& seg = bench.sim.slip.segments[0];
    const std::size_t k = seg.grid_index(2, 2);
    std::vector<MomentWeight> only(4, MomentWeight{0.0f});
    only[k] = MomentWeight{1.0f};

    // Start and earliest start of the pair with a rupture time of 0.
    Segment on_time = seg;
    on_time.subfaults[k].rupture_time_s = 0.0f;
    kelvane::rng::DrawSource d = bench.stream.source.respawn(1);
    const RunContext ctx = bench.context();
    const SubfaultSource source = *SubfaultSource::gather(d, bench.pass(on_time, only), 2, 2, ctx);
    kelvane::ray::RayState state;
    const std::int32_t start0 =
        arrival_time_and_angles(trace_ray(state, source, RayType{1}, ctx), source,
                                bench.sim.angles[0], run)
            .start_sample;
    const std::int32_t earliest0 = source.earliest_start_sample(run, bench.sim.rayset);
    ASSERT_LT(earliest0, start0);  // the bound lies strictly before the ray

    // The pass with the subfault's rupture delayed by `rupture_samples` samples.
    const auto pass_with_delay = [&](std::int32_t rupture_samples) {
        Segment late = seg;
        const float rupture_time_s = (static_cast<float>(rupture_samples) + 0.5f) * run.dt;
        EXPECT_EQ(saturating_sample(rupture_time_s / run.dt), rupture_samples);
        late.subfaults[k].rupture_time_s = rupture_time_s;
        return bench.run_pass(only, &late);
    };
    const float window_s = source.window_s;
    {
        const PassBench::Result r = pass_with_delay(ndata - start0);  // start = ndata
        EXPECT_EQ(r.tally.census, (Census{1, 0, 2, 1, 0}));
        EXPECT_EQ(r.tally.clipping, Clipping::for_arrival(ndata, window_s, run));
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t t = 0; t + 1 < run.ndata; ++t) {
                ASSERT_EQ(r.acc[c * run.ndata + t], 0.0f) << c << " " << t;
            }
        }
    }
    {
        const PassBench::Result r = pass_with_delay(ndata - start0 + 1);  // start = ndata + 1
        EXPECT_EQ(r.tally.census, (Census{1, 1, 0, 0, 0}));
        EXPECT_TRUE(all_zero(r.acc));
    }
    {
        const PassBench::Result r = pass_with_delay(ndata - earliest0);  // earliest = ndata
        EXPECT_EQ(r.tally.census, (Census{1, 1, 0, 0, 0}));
        const Clipping traced = Clipping::for_arrival(ndata + (start0 - earliest0), window_s, run);
        EXPECT_EQ(r.tally.clipping, traced);
        EXPECT_EQ(r.tally.clipping.peaks_lost, 1u);
    }
    {
        const PassBench::Result r = pass_with_delay(ndata - earliest0 + 1);  // skipped whole
        EXPECT_EQ(r.tally.census, (Census{1, 1, 0, 0, 0}));
        const Clipping skipped = Clipping::for_arrival(ndata + 1, window_s, run);
        EXPECT_EQ(r.tally.clipping, skipped);
        EXPECT_NE(skipped, Clipping::for_arrival(ndata + 1 + (start0 - earliest0), window_s, run));
    }
}

TEST(StationRun, UnrepresentableRunsAreAbandoned) {
    {
        Earthquake quake = small_quake();
        quake.dt_s = 0.0f;  // ndata becomes the largest machine word
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        EXPECT_EQ(fault_message([&] { run_of(sim, station_km(quake, 5.0f), 1); }),
                  "a record of 18446744073709551615 samples per component cannot be "
                  "represented: its 3 rows of 4-byte values exceed the largest signed machine "
                  "word");
    }
    {
        Earthquake quake = small_quake();
        quake.duration_s = 3e9f;  // more samples than signed 32-bit sample numbers reach
        quake.dt_s = 1.0f;
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        EXPECT_EQ(fault_message([&] { run_of(sim, station_km(quake, 5.0f), 1); }),
                  "a record of 3000000000 samples per component is longer than the signed "
                  "32-bit sample numbers reach (2147483647)");
    }
    {
        Earthquake quake = small_quake();
        quake.czero = 0.0f;  // zero corner frequency: an unbounded window
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        EXPECT_EQ(fault_message([&] { run_of(sim, station_km(quake, 5.0f), 1); }),
                  "a transform length that overflows usize is not a real request");
    }
    {
        Earthquake quake = small_quake();
        quake.rayset = {0, -1};
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        EXPECT_EQ(fault_message([&] { run_of(sim, station_km(quake, 5.0f), 1); }),
                  "ray type -1 is negative; th1 would be undefined");
    }
}

// Caps this process's address space at what it maps now plus `budget_mib`
// while alive, so that an allocation past the budget fails at once with
// std::bad_alloc instead of being granted. Unavailable under the
// sanitizers, whose allocators reserve far more address space than they use
// and abort instead of throwing.
class AddressSpaceBudget {
public:
    static bool available() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        return false;
#else
        return true;
#endif
    }

    explicit AddressSpaceBudget(std::size_t budget_mib) {
        ::getrlimit(RLIMIT_AS, &saved_);
        rlimit capped = saved_;
        capped.rlim_cur = mapped_bytes() + (budget_mib << 20);
        if (saved_.rlim_max != RLIM_INFINITY) capped.rlim_cur = std::min(capped.rlim_cur, saved_.rlim_max);
        ::setrlimit(RLIMIT_AS, &capped);
    }
    ~AddressSpaceBudget() { ::setrlimit(RLIMIT_AS, &saved_); }
    AddressSpaceBudget(const AddressSpaceBudget&) = delete;
    AddressSpaceBudget& operator=(const AddressSpaceBudget&) = delete;

private:
    // The process's mapped address space (bytes): the first field of statm, in pages.
    static rlim_t mapped_bytes() {
        std::FILE* f = std::fopen("/proc/self/statm", "r");
        unsigned long pages = 0;
        if (f != nullptr) {
            if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
            std::fclose(f);
        }
        return static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    }

    rlimit saved_{};
};

TEST(StationRun, FailedAllocationPropagatesAsBadAlloc) {
    if (!AddressSpaceBudget::available()) GTEST_SKIP() << "the sanitizers' allocators abort";
    // A record of 3 × 10^9 samples (12 GB) in a budget of 256 MiB.
    Earthquake quake = small_quake();
    quake.duration_s = 1e6f;
    quake.dt_s = 0.001f;
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    {
        const AddressSpaceBudget budget(256);
        EXPECT_THROW(run_of(sim, station_km(quake, 5.0f), 1), std::bad_alloc);
    }
    // The simulator is untouched and still runs stations.
    Earthquake sound = small_quake();
    EXPECT_EQ(run_of(kelvane::scenario::build_simulator(sound), station_km(sound, 5.0f), 1)
                  .census.pairs_attempted,
              8u);
}

// A station's buffers are sized by what its record can use, not by the
// subfaults' windows: inputs whose windows last days or whose arrivals never
// reach the record run within a small budget. Each case once needed from
// hundreds of MiB to tens of TB (the segment's scratch and its longest plan
// were sized for the whole longest window).
TEST(StationRun, BuffersNeverOutgrowTheRecord) {
    if (!AddressSpaceBudget::available()) GTEST_SKIP() << "the sanitizers' allocators abort";
    struct Case {
        const char* name;
        std::function<void(Earthquake&)> change;
        bool antipode;  // the station opposite the fault, else 5 km away
    };
    const Case cases[] = {
        {"corner-frequency constant 1e-11: windows of ~10^13 s",
         [](Earthquake& q) { q.czero = 1e-11f; }, false},
        {"stress drop 1e-7 bars: moment scale, and windows, enormous",
         [](Earthquake& q) { q.stress_drop_bars = 1e-7f; }, false},
        {"segment top 1 km above ground, no rays: subfaults in the air layer",
         [](Earthquake& q) {
             q.top_depth_km = -1.0f;
             q.rayset = {};
         },
         false},
        {"station on the far side of the Earth, 60 s at 0.001 s",
         [](Earthquake& q) {
             q.duration_s = 60.0f;
             q.dt_s = 0.001f;
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Earthquake quake = small_quake();
        c.change(quake);
        const Simulator sim = kelvane::scenario::build_simulator(quake);
        const Station station =
            c.antipode ? Station{quake.fault_lon_deg + 180.0f, -quake.fault_lat_deg, 0.04f, 0.6f}
                       : station_km(quake, 5.0f);
        // Warm the thread's transform plans and the ellipsoid outside the budget.
        (void)run_of(kelvane::scenario::build_simulator(small_quake()), station, 1);
        std::optional<Simulation> record;
        {
            const AddressSpaceBudget budget(96);
            EXPECT_NO_THROW(record.emplace(run_of(sim, station, 1)));
        }
        if (!record) continue;
        EXPECT_EQ(record->acc.size(), 3 * sim.ndata());
        EXPECT_TRUE(std::all_of(record->acc.begin(), record->acc.end(),
                                [](float v) { return std::isfinite(v); }));
    }
}

// With a negative dt a window's transform length shrinks as the window grows
// (its sample count 2 window / dt changes sign), so the longest pair of a
// segment comes from its shortest window, not from tmax. The scratch was once
// sized by tmax alone, and the first such pair faulted ("a spectrum plan of
// length ... does not fit a shape of capacity 2").
TEST(StationRun, NegativeSampleIntervalSizesTheScratchByTheShortestWindow) {
    Earthquake quake = small_quake();
    quake.dt_s = -0.02f;
    quake.duration_s = -30.0f;  // ndata 1500
    quake.czero = -2.1f;        // negative corner frequencies: negative windows
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    ASSERT_EQ(sim.ndata(), 1500u);
    const Station station = station_km(quake, 10.0f);
    const Segment& seg = sim.slip.segments[0];
    const WindowPass w = windows_of(sim, seg, PassBench::geometry_of(seg, station), 0);
    const std::vector<std::size_t> lengths =
        kelvane::scenario::placed_pair_lengths(sim, station, 6);
    ASSERT_FALSE(lengths.empty());
    const std::size_t longest = *std::max_element(lengths.begin(), lengths.end());
    EXPECT_GT(longest, kelvane::stoc::SpectrumPlan::longest_for_record(w.tmax, quake.dt_s,
                                                                         sim.ndata()));

    std::optional<Simulation> out;
    EXPECT_EQ(fault_message([&] { out.emplace(run_of(sim, station, 6)); }), "<no fault>");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->acc.size(), 3 * sim.ndata());
    EXPECT_EQ(out->census.samples_computed,
              std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}));
    EXPECT_EQ(out->census.pairs_attempted - out->census.pairs_outside_record, lengths.size());
}

// A window of more samples than 2^63 (a corner-frequency constant of 1e-20:
// windows of ~10^22 s) is cut to twice the record before it becomes a
// transform length, and costs what an ordinary station costs. Its length
// once faulted on the way to the cut ("a transform length that overflows
// usize is not a real request").
TEST(StationRun, EnormousFiniteWindowsAreCutToTheRecord) {
    if (!AddressSpaceBudget::available()) GTEST_SKIP() << "the sanitizers' allocators abort";
    Earthquake quake = small_quake();
    quake.czero = 1e-20f;
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    const Station station = station_km(quake, 5.0f);
    const Segment& seg = sim.slip.segments[0];
    const WindowPass w = windows_of(sim, seg, PassBench::geometry_of(seg, station), 0);
    ASSERT_GT((w.tmax + w.tmax) / quake.dt_s, 0x1p64f);  // beyond every machine word
    ASSERT_TRUE(std::isfinite(w.tmax));

    // Warm the thread's transform plans and the ellipsoid outside the budget.
    (void)run_of(kelvane::scenario::build_simulator(small_quake()), station, 1);
    std::optional<Simulation> out;
    {
        const AddressSpaceBudget budget(96);
        EXPECT_EQ(fault_message([&] { out.emplace(run_of(sim, station, 1)); }), "<no fault>");
    }
    ASSERT_TRUE(out);
    const std::size_t record_length = kelvane::fft::good_length(2 * sim.ndata());
    const std::size_t placed = out->census.pairs_attempted - out->census.pairs_outside_record;
    // Only the straight rays land (a layered window opens 0.2 of the window
    // before its travel time, long before the record), each on at most the
    // whole record.
    EXPECT_EQ(placed, 4u);
    EXPECT_LE(out->census.samples_computed, placed * record_length);
    const std::vector<std::size_t> lengths =
        kelvane::scenario::placed_pair_lengths(sim, station, 1);
    EXPECT_EQ(out->census.samples_computed,
              std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}));
}

// A ray of very many Moho multiples that starts after the record is counted
// from its travel time alone: the record is that of the ray set without it,
// bit for bit (its stream is never drawn), and its path is never listed.
// One that reaches the record is traced in full.
TEST(StationRun, RaysOfManyMultiplesAreTimedBeforeTheyAreTraced) {
    ::unsetenv("KELVANE_FIXTURE_RNG");
    Earthquake quake = small_quake();
    quake.dt_s = 0.1f;  // so that the late ray's start stays within 32-bit sample numbers
    quake.rayset = {1};
    const Simulator base = kelvane::scenario::build_simulator(quake);
    const Station station = station_km(quake, 10.0f);
    const Simulation reference = run_of(base, station, 99);

    // Ten million multiples: some 10^8 s of travel, far past the 30 s record,
    // in a path of 10^8 crossings (a gigabyte if it were listed).
    quake.rayset = {1, 20000001};
    const Simulator with_late = kelvane::scenario::build_simulator(quake);
    std::optional<Simulation> late;
    {
        std::optional<AddressSpaceBudget> budget;
        if (AddressSpaceBudget::available()) budget.emplace(64);
        late.emplace(run_of(with_late, station, 99));
    }
    EXPECT_TRUE(same_bits(late->acc, reference.acc));
    EXPECT_EQ(late->census.pairs_attempted, 2 * reference.census.pairs_attempted);
    EXPECT_EQ(late->census.pairs_outside_record,
              reference.census.pairs_outside_record + reference.census.pairs_attempted);
    EXPECT_EQ(late->census.samples_accumulated, reference.census.samples_accumulated);
    EXPECT_EQ(late->clipping.peaks_lost,
              reference.clipping.peaks_lost + reference.census.pairs_attempted);

    // 20 multiples in a record long enough to hold them: traced and placed.
    quake.rayset = {41};
    quake.duration_s = 400.0f;
    quake.dt_s = 0.05f;
    const Simulation reached = run_of(kelvane::scenario::build_simulator(quake), station, 99);
    EXPECT_EQ(reached.census.pairs_outside_record, 0u);
    EXPECT_GT(reached.census.samples_accumulated, 0u);
    EXPECT_FALSE(all_zero(reached.acc));
}

TEST(StationRun, SameStationAndSeedReproduceBitForBit) {
    ::unsetenv("KELVANE_FIXTURE_RNG");
    const Earthquake quake = small_quake();
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    const Station station = station_km(quake, 12.0f);
    const Simulation a = run_of(sim, station, 12345);
    const Simulation b = run_of(sim, station, 12345);
    EXPECT_TRUE(same_bits(a.acc, b.acc));
    EXPECT_EQ(a.census, b.census);
    EXPECT_EQ(a.clipping, b.clipping);
    EXPECT_FALSE(all_zero(a.acc));
    EXPECT_FALSE(same_bits(a.acc, run_of(sim, station, 12346).acc));

    // The fixture generator changes every stream, and is reproducible too.
    const FixtureGenerator fixture;
    const Simulation f1 = run_of(sim, station, 12345);
    const Simulation f2 = run_of(sim, station, 12345);
    EXPECT_TRUE(same_bits(f1.acc, f2.acc));
    EXPECT_FALSE(same_bits(f1.acc, a.acc));
    EXPECT_EQ(f1.census, a.census);  // geometry and timing do not depend on the draws
    // It uses only the low 32 bits of the station seed for the station stream,
    // but the subfault and ray streams see all 64 bits.
    EXPECT_FALSE(same_bits(run_of(sim, station, 12345 + (std::uint64_t{1} << 32)).acc, f1.acc));
}

TEST(StationRun, ThreadsSharingOneSimulatorMatchSerialRuns) {
    ::unsetenv("KELVANE_FIXTURE_RNG");
    Earthquake quake = small_quake();
    quake.along_strike_count = 3;
    quake.rayset = {0, 1, 2};
    const Simulator sim = kelvane::scenario::build_simulator(quake);
    constexpr std::size_t kThreads = 8;
    std::vector<Station> stations;
    for (std::size_t n = 0; n < kThreads; ++n) {
        stations.push_back(kelvane::scenario::station_at(
            quake, 4.0f + 6.0f * static_cast<float>(n), 37.0f * static_cast<float>(n)));
    }
    std::vector<std::vector<float>> serial;
    for (std::size_t n = 0; n < kThreads; ++n) serial.push_back(run_of(sim, stations[n], 1000 + n).acc);

    std::vector<std::vector<float>> parallel(kThreads);
    std::vector<std::thread> threads;
    for (std::size_t n = 0; n < kThreads; ++n) {
        threads.emplace_back([&, n] { parallel[n] = run_of(sim, stations[n], 1000 + n).acc; });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t n = 0; n < kThreads; ++n) {
        EXPECT_TRUE(same_bits(serial[n], parallel[n])) << n;
        EXPECT_FALSE(all_zero(serial[n])) << n;
    }
}

}  // namespace
