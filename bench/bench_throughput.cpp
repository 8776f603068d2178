// Throughput of the station run against the cost of its irreducible kernels.
//
// A station's cost is its placed subfault-ray pairs times the cost of one
// pair. The kernels a pair cannot do without are: six single-precision
// complex transforms of np2 points (three forward, three inverse), 3 np2
// normal draws, 10 000 uniform draws (5 per sample of the two horizontal
// radiation averages of 1000 samples), 11 000 single-precision sine-cosine
// pairs (5 per horizontal sample and the take-off of each vertical sample;
// the vertical samples' azimuth terms depend only on the station and the
// segment, so a run forms them once per segment) and the amplitude
// spectrum's fold_count exponentials and one power. Their sum, timed here in
// isolation on the same machine and in the same process, is the kernel floor
// of a pair of length np2.
//
//   BM_KernelFloor/np2        the kernels of one pair of length np2, run
//                             together; counters: each kernel's floor (us)
//   BM_EnginePerPair/km       whole station runs of the realistic station
//                             (bench/scenario.hpp, the station of
//                             bench_station.cpp at 5, 20 and 80 km); counters:
//                             per_pair (s), floor_per_pair_us (the floor of
//                             the same pairs' lengths, averaged)
//   BM_Scaling/n/r            whole runs for n subfaults (n/10 along strike ×
//                             10 down dip) and r ray codes ({1}, {1, 2},
//                             {1, 2, 3, 4}); counters as above
//   BM_PairLoopAllocations    heap allocations of one whole run (after a
//                             warm-up run on the thread) for the ray set
//                             {1, 2} repeated 1, 2 and 4 times: the pairs
//                             double and double again, the lengths, paths and
//                             plans stay the same, so any difference in the
//                             count is allocation per pair
//
// scripts/bench runs these and prints the table. The floor of a length is the
// sum of each kernel's fastest repetition, every repetition on fresh random
// inputs as every pair has its own (the maths library's branches would learn
// inputs repeated run after run and time faster than any pair can); being a
// minimum, interference from other processes raises the engine figure rather
// than the floor.
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <math.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "bench/counting_allocator.hpp"
#include "bench/scenario.hpp"
#include "kelvane/fft.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/sim.hpp"
#include "kelvane/stoc.hpp"

namespace {

using namespace kelvane;
using Clock = std::chrono::steady_clock;

// Per pair: two horizontal averages of 1000 samples with 5 uniforms and 5
// sine-cosine pairs each (four for the pattern, one for the projection), and
// one vertical average of 1000 samples with 1 sine-cosine pair each (its
// take-off).
constexpr std::size_t radiation_samples = 1000;
constexpr std::size_t uniforms_per_pair = 2 * 5 * radiation_samples;
constexpr std::size_t sincos_per_pair = (2 * 5 + 1) * radiation_samples;

// Seconds of each kernel of one pair of one length.
struct KernelTimes {
    double transforms_s = 0.0;  // 3 forward + 3 inverse transforms of np2 points
    double normals_s = 0.0;     // 3 np2 normal draws
    double uniforms_s = 0.0;    // 10 000 uniform draws
    double sincos_s = 0.0;      // 11 000 scalar sincosf
    double amplitude_s = 0.0;   // fold_count expf and one powf

    double total() const { return transforms_s + normals_s + uniforms_s + sincos_s + amplitude_s; }

    // The fastest of each kernel over two sets of times.
    void keep_fastest(const KernelTimes& t) {
        transforms_s = std::min(transforms_s, t.transforms_s);
        normals_s = std::min(normals_s, t.normals_s);
        uniforms_s = std::min(uniforms_s, t.uniforms_s);
        sincos_s = std::min(sincos_s, t.sincos_s);
        amplitude_s = std::min(amplitude_s, t.amplitude_s);
    }
};

double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// The kernels of one pair of length np2, on buffers laid out as a segment
// pass lays them out (three 64-byte aligned spectrum rows).
class PairKernels {
public:
    explicit PairKernels(std::size_t np2)
        : np2_(np2),
          fold_(np2 / 2 + 1),
          stride_(fft::padded_row_length(np2)),
          rows_(3 * stride_),
          normals_(3 * np2, 0.0f),
          uniforms_(uniforms_per_pair, 0.0f),
          angles_(sincos_per_pair, 0.0f),
          sines_(sincos_per_pair, 0.0f),
          cosines_(sincos_per_pair, 0.0f),
          exponents_(fold_, 0.0f),
          amplitude_(fold_, 0.0f),
          source_(rng::Pcg::seed(0x5eedULL + np2)) {
        // The engine's planner flags, in place on an aligned row: the plans a
        // run executes.
        auto* row = reinterpret_cast<fftwf_complex*>(rows_.data());
        forward_ = fftwf_plan_dft_1d(static_cast<int>(np2), row, row, FFTW_FORWARD, FFTW_ESTIMATE);
        inverse_ = fftwf_plan_dft_1d(static_cast<int>(np2), row, row, FFTW_BACKWARD, FFTW_ESTIMATE);
        // Exponents of the path and kappa attenuation, 0 to about -12.
        for (std::size_t k = 0; k < fold_; ++k) {
            exponents_[k] = -12.0f * (static_cast<float>(k) / static_cast<float>(fold_));
        }
    }
    ~PairKernels() {
        fftwf_destroy_plan(forward_);
        fftwf_destroy_plan(inverse_);
    }
    PairKernels(const PairKernels&) = delete;
    PairKernels& operator=(const PairKernels&) = delete;

    // Runs every kernel once, timing each.
    KernelTimes run() {
        KernelTimes t;
        // Fresh sine-cosine arguments for every run (untimed), as every pair
        // has its own: the library's branches would learn arguments repeated
        // run after run and time faster than any pair can.
        draw_angles();
        const Clock::time_point t0 = Clock::now();
        source_.fill_normal(normals_);
        const Clock::time_point t1 = Clock::now();
        source_.fill_uniform(uniforms_);
        const Clock::time_point t2 = Clock::now();
        for (std::size_t k = 0; k < angles_.size(); ++k) {
            ::sincosf(angles_[k], &sines_[k], &cosines_[k]);
        }
        benchmark::ClobberMemory();
        const Clock::time_point t3 = Clock::now();
        const float aa = ::powf(uniforms_[0] + 1.5f, 2.6f);
        for (std::size_t k = 0; k < fold_; ++k) amplitude_[k] = ::expf(exponents_[k]) * aa;
        benchmark::ClobberMemory();
        const Clock::time_point t4 = Clock::now();
        // Rows filled from the normals (untimed: the engine writes them while
        // windowing, which is not a kernel).
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t k = 0; k < np2_; ++k) {
                rows_[c * stride_ + k] = std::complex<float>(normals_[c * np2_ + k], 0.0f);
            }
        }
        const Clock::time_point t5 = Clock::now();
        for (std::size_t c = 0; c < 3; ++c) fftwf_execute_dft(forward_, row(c), row(c));
        for (std::size_t c = 0; c < 3; ++c) fftwf_execute_dft(inverse_, row(c), row(c));
        benchmark::ClobberMemory();
        const Clock::time_point t6 = Clock::now();
        t.normals_s = seconds_between(t0, t1);
        t.uniforms_s = seconds_between(t1, t2);
        t.sincos_s = seconds_between(t2, t3);
        t.amplitude_s = seconds_between(t3, t4);
        t.transforms_s = seconds_between(t5, t6);
        benchmark::DoNotOptimize(sines_.data());
        benchmark::DoNotOptimize(cosines_.data());
        benchmark::DoNotOptimize(amplitude_.data());
        benchmark::DoNotOptimize(rows_.data());
        return t;
    }

private:
    // The arguments the radiation averages of a ray of the realistic
    // earthquake (strike 30°, dip 70°, rake 90°; a ray leaving upwards at 2.2
    // rad towards azimuth -60°) give sincosf, since its cost depends on the
    // argument's range: per horizontal sample the perturbed rake, dip,
    // take-off, azimuth - strike and component - azimuth (for E090 and N000),
    // per vertical sample a take-off uniform in cosine within 40° of the
    // ray's.
    void draw_angles() {
        const float strike = 0.5235988f, dip = 1.2217305f, rake = 1.5707964f;
        const float takeoff = 2.2f, azimuth = -1.0471976f;
        const auto perturbed = [this](float centre) {
            return ((0.5f - angle_source_.uniform()) * 1.5707964f) + centre;
        };
        std::size_t k = 0;
        for (const float component : {-1.5707964f, 0.0f}) {
            for (std::size_t n = 0; n < radiation_samples; ++n) {
                const float t = perturbed(takeoff), a = perturbed(azimuth), s = perturbed(strike);
                angles_[k++] = perturbed(rake);
                angles_[k++] = perturbed(dip);
                angles_[k++] = t;
                angles_[k++] = a - s;
                angles_[k++] = component - a;
            }
        }
        const float cos_min = ::cosf(takeoff - 0.6981317f), cos_max = ::cosf(3.1415927f);
        for (std::size_t n = 0; n < radiation_samples; ++n) {
            const float ua = angle_source_.uniform();
            angles_[k++] = ::acosf((ua * cos_max) + ((1.0f - ua) * cos_min));
        }
    }

    fftwf_complex* row(std::size_t c) {
        return reinterpret_cast<fftwf_complex*>(rows_.data() + c * stride_);
    }

    std::size_t np2_;
    std::size_t fold_;
    std::size_t stride_;
    fft::AlignedVector<std::complex<float>> rows_;
    std::vector<float> normals_;
    std::vector<float> uniforms_;
    std::vector<float> angles_;
    std::vector<float> sines_;
    std::vector<float> cosines_;
    std::vector<float> exponents_;
    std::vector<float> amplitude_;
    rng::Pcg source_;
    rng::Pcg angle_source_ = rng::Pcg::seed(0xa11eULL);
    fftwf_plan forward_ = nullptr;
    fftwf_plan inverse_ = nullptr;
};

// The kernel floor of a pair of length np2, measured on first request: the
// fastest time of each kernel over at least 15 repetitions and 0.15 s, after
// three warm-up repetitions.
const KernelTimes& kernel_floor(std::size_t np2) {
    static std::map<std::size_t, KernelTimes> floors;
    const auto found = floors.find(np2);
    if (found != floors.end()) return found->second;
    PairKernels kernels(np2);
    for (int k = 0; k < 3; ++k) kernels.run();
    KernelTimes fastest = kernels.run();
    double spent_s = fastest.total();
    for (int reps = 1; reps < 15 || spent_s < 0.15; ++reps) {
        const KernelTimes t = kernels.run();
        spent_s += t.total();
        fastest.keep_fastest(t);
    }
    return floors.emplace(np2, fastest).first->second;
}

// The mean kernel floor of a list of pair lengths (s).
double mean_floor_s(const std::vector<std::size_t>& lengths) {
    if (lengths.empty()) return 0.0;
    double sum = 0.0;
    for (const std::size_t np2 : lengths) sum += kernel_floor(np2).total();
    return sum / static_cast<double>(lengths.size());
}

void BM_KernelFloor(benchmark::State& state) {
    const auto np2 = static_cast<std::size_t>(state.range(0));
    const KernelTimes floor = kernel_floor(np2);
    PairKernels kernels(np2);
    for (auto _ : state) benchmark::DoNotOptimize(kernels.run());
    state.counters["floor_us"] = floor.total() * 1e6;
    state.counters["transforms_us"] = floor.transforms_s * 1e6;
    state.counters["normals_us"] = floor.normals_s * 1e6;
    state.counters["uniforms_us"] = floor.uniforms_s * 1e6;
    state.counters["sincos_us"] = floor.sincos_s * 1e6;
    state.counters["amplitude_us"] = floor.amplitude_s * 1e6;
}

// Whole runs of one station; the counters tie them to the kernel floor of the
// same pairs. Faults the benchmark when the pairs found by the run's public
// steps are not the pairs the run's census counts.
void time_station_runs(benchmark::State& state, const sim::Simulator& simulator,
                       const input::Station& station, std::uint64_t seed) {
    const std::vector<std::size_t> lengths = scenario::placed_pair_lengths(simulator, station, seed);
    const sim::Simulation probe = simulator.run(station, seed);
    const std::size_t placed = probe.census.pairs_attempted - probe.census.pairs_outside_record;
    const std::size_t samples = std::accumulate(lengths.begin(), lengths.end(), std::size_t{0});
    if (placed != lengths.size() || samples != probe.census.samples_computed) {
        state.SkipWithError("the benchmark's pair list does not match the run's census");
        return;
    }
    const double floor_s = mean_floor_s(lengths);
    for (auto _ : state) {
        const sim::Simulation out = simulator.run(station, seed);
        benchmark::DoNotOptimize(out.acc.data());
    }
    state.counters["pairs"] = static_cast<double>(placed);
    state.counters["per_pair"] = benchmark::Counter(
        static_cast<double>(placed),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["floor_per_pair_us"] = floor_s * 1e6;
    state.counters["np2_mean"] =
        placed == 0 ? 0.0 : static_cast<double>(samples) / static_cast<double>(placed);
}

// The realistic earthquake and station of bench_station.cpp.
const scenario::Earthquake& realistic_quake() {
    static const scenario::Earthquake quake;
    return quake;
}

void BM_EnginePerPair(benchmark::State& state) {
    static const sim::Simulator simulator = scenario::build_simulator(realistic_quake());
    const std::int64_t distance_km = state.range(0);
    const input::Station station =
        scenario::station_at(realistic_quake(), static_cast<float>(distance_km),
                             scenario::footwall_azimuth_deg(realistic_quake()));
    time_station_runs(state, simulator, station, 20260 + static_cast<std::uint64_t>(distance_km));
}

// The realistic earthquake with n/10 × 10 subfaults (hypocentre in the middle
// of the top half) and the first `ray_count` ray codes 1, 2, 3, 4.
scenario::Earthquake scaled_quake(std::size_t subfaults, std::size_t ray_count) {
    scenario::Earthquake quake;
    quake.along_strike_count = subfaults / 10;
    quake.down_dip_count = 10;
    quake.hypocentre_along_strike_km =
        0.5f * static_cast<float>(quake.along_strike_count) * quake.subfault_km;
    quake.hypocentre_down_dip_km = 12.0f;
    quake.rayset.clear();
    for (std::size_t r = 0; r < ray_count; ++r) quake.rayset.push_back(static_cast<std::int32_t>(r + 1));
    return quake;
}

void BM_Scaling(benchmark::State& state) {
    const auto subfaults = static_cast<std::size_t>(state.range(0));
    const auto ray_count = static_cast<std::size_t>(state.range(1));
    const scenario::Earthquake quake = scaled_quake(subfaults, ray_count);
    const sim::Simulator simulator = scenario::build_simulator(quake);
    // 20 km from the middle of the top edge, on the footwall side.
    const input::Station station =
        scenario::station_at(quake, 20.0f, scenario::footwall_azimuth_deg(quake));
    time_station_runs(state, simulator, station, 20280);
}

void BM_PairLoopAllocations(benchmark::State& state) {
    const std::uint64_t seed = 20280;
    std::vector<double> allocations;
    std::vector<double> pairs;
    for (const std::size_t repeats : {1, 2, 4}) {
        scenario::Earthquake quake = realistic_quake();
        quake.rayset.clear();
        for (std::size_t k = 0; k < repeats; ++k) {
            quake.rayset.push_back(1);
            quake.rayset.push_back(2);
        }
        const sim::Simulator simulator = scenario::build_simulator(quake);
        const input::Station station =
            scenario::station_at(quake, 20.0f, scenario::footwall_azimuth_deg(quake));
        // The warm-up run plans this thread's transforms for every length.
        benchmark::DoNotOptimize(simulator.run(station, seed).acc.data());
        const std::size_t before = bench::allocations_on_this_thread();
        const sim::Simulation out = simulator.run(station, seed);
        const std::size_t after = bench::allocations_on_this_thread();
        allocations.push_back(static_cast<double>(after - before));
        pairs.push_back(
            static_cast<double>(out.census.pairs_attempted - out.census.pairs_outside_record));
        state.counters["plans_x" + std::to_string(repeats)] =
            static_cast<double>(out.census.transform_lengths);
    }
    for (auto _ : state) benchmark::DoNotOptimize(allocations.data());
    state.counters["allocs_run_x1"] = allocations[0];
    state.counters["allocs_run_x2"] = allocations[1];
    state.counters["allocs_run_x4"] = allocations[2];
    state.counters["pairs_x1"] = pairs[0];
    state.counters["pairs_x2"] = pairs[1];
    state.counters["pairs_x4"] = pairs[2];
    state.counters["allocs_per_extra_pair"] = (allocations[2] - allocations[0]) / (pairs[2] - pairs[0]);
}

BENCHMARK(BM_KernelFloor)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EnginePerPair)->Arg(5)->Arg(20)->Arg(80)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scaling)
    ->ArgsProduct({{50, 100, 200, 400}, {1, 2, 4}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PairLoopAllocations)->Iterations(1);

}  // namespace
