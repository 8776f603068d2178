// Costs of the random draws and the transforms of a station run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "kelvane/fft.hpp"
#include "kelvane/rng.hpp"

namespace {

using kelvane::rng::DrawSource;
using kelvane::rng::FixtureDraws;
using kelvane::rng::Pcg;

constexpr std::size_t LIST_LENGTH = 4096;

DrawSource source_of_kind(bool fixture) {
    return fixture ? DrawSource::fixture(FixtureDraws::seed(12345))
                   : DrawSource::modern(Pcg::seed(12345));
}

// Uniforms by `fill_uniform` on a 4096 list; range(0) = 1 for the fixture.
void BM_RngFillUniform(benchmark::State& state) {
    DrawSource source = source_of_kind(state.range(0) != 0);
    std::vector<float> out(LIST_LENGTH);
    for (auto _ : state) {
        source.fill_uniform(out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(LIST_LENGTH));
    state.SetLabel(state.range(0) != 0 ? "fixture" : "pcg");
}
BENCHMARK(BM_RngFillUniform)->Arg(0)->Arg(1);

void BM_RngFillNormal(benchmark::State& state) {
    DrawSource source = source_of_kind(state.range(0) != 0);
    std::vector<float> out(LIST_LENGTH);
    for (auto _ : state) {
        source.fill_normal(out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(LIST_LENGTH));
    state.SetLabel(state.range(0) != 0 ? "fixture" : "pcg");
}
BENCHMARK(BM_RngFillNormal)->Arg(0)->Arg(1);

// Single draws through the tagged union, as the radiation code makes them.
void BM_RngSingleUniform(benchmark::State& state) {
    DrawSource source = source_of_kind(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(source.uniform());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) != 0 ? "fixture" : "pcg");
}
BENCHMARK(BM_RngSingleUniform)->Arg(0)->Arg(1);

void BM_RngSingleNormal(benchmark::State& state) {
    DrawSource source = source_of_kind(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(source.normal());
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) != 0 ? "fixture" : "pcg");
}
BENCHMARK(BM_RngSingleNormal)->Arg(0)->Arg(1);

// Creating a stream from a seed, as done for every subfault and ray.
void BM_RngRespawn(benchmark::State& state) {
    const DrawSource source = source_of_kind(state.range(0) != 0);
    std::uint64_t seed = 1;
    for (auto _ : state) {
        DrawSource child = source.respawn(kelvane::sim::ray_stream_seed(seed++, 0));
        benchmark::DoNotOptimize(child);
    }
    state.SetLabel(state.range(0) != 0 ? "fixture" : "pcg");
}
BENCHMARK(BM_RngRespawn)->Arg(0)->Arg(1);

// One transform of range(0) points in place, plan already cached. Each
// iteration restores the input (outside the timed span, by manual timing) so
// the values stay those of a fresh row.
template <bool Forward>
void BM_Transform(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::mt19937 engine(7);
    std::normal_distribution<float> value;
    kelvane::fft::AlignedVector<std::complex<float>> input(n);
    for (auto& z : input) z = {value(engine), value(engine)};
    kelvane::fft::AlignedVector<std::complex<float>> row = input;
    kelvane::fft::transform(row, Forward);  // plan outside the timing
    for (auto _ : state) {
        std::copy(input.begin(), input.end(), row.begin());
        const auto start = std::chrono::steady_clock::now();
        kelvane::fft::transform(row, Forward);
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
        const auto stop = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Transform<true>)->Name("BM_FftForward")->Arg(1024)->Arg(2048)->Arg(4096)->Arg(5120)->UseManualTime();
BENCHMARK(BM_Transform<false>)->Name("BM_FftInverse")->Arg(1024)->Arg(2048)->Arg(4096)->Arg(5120)->UseManualTime();

}  // namespace
