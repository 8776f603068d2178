// Cost of one ray's spectrum work at typical transform lengths: the shape's
// refresh (once per ray and maximum frequency), and one component's random
// spectrum with its radiation weighting and inversion (three per ray).
#include <benchmark/benchmark.h>

#include <complex>
#include <cstddef>
#include <span>

#include "kelvane/fft.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/stoc.hpp"

namespace {

using kelvane::stoc::RayPath;
using kelvane::stoc::SourceModel;
using kelvane::stoc::SpectrumPlan;
using kelvane::stoc::SpectrumShape;

constexpr float kDt = 0.01f;  // s

// A subfault 30 km away in a 3.5 km/s, 2.8 g/cm^3 crust; the window fills
// half the transform.
RayPath bench_path(std::size_t np2) {
    return RayPath{30.0f, static_cast<float>(np2) * kDt * 0.5f, 3.5f, 2.8f, 1.2f,
                   1.0e23f, 4.0f, 10.0f, 0.02f};
}

void BM_Refresh(benchmark::State& state) {
    const auto np2 = static_cast<std::size_t>(state.range(0));
    const SpectrumPlan plan = SpectrumPlan::create(np2, kDt, 0.6f, 0.2f, 0.05f);
    SpectrumShape shape = SpectrumShape::with_capacity(np2);
    const SourceModel model{kDt, 0.2f, 0.05f, 0.03f};
    const RayPath path = bench_path(np2);
    for (auto _ : state) {
        shape.refresh(plan, model, path);
        benchmark::DoNotOptimize(shape.amplitude.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Refresh)->Arg(2048)->Arg(4096);

void BM_SpectrumAndInvert(benchmark::State& state) {
    const auto np2 = static_cast<std::size_t>(state.range(0));
    const SpectrumPlan plan = SpectrumPlan::create(np2, kDt, 0.6f, 0.2f, 0.05f);
    SpectrumShape shape = SpectrumShape::with_capacity(np2);
    shape.refresh(plan, SourceModel{kDt, 0.2f, 0.05f, 0.03f}, bench_path(np2));
    // 64-byte aligned rows, as the station run keeps them.
    kelvane::fft::AlignedVector<std::complex<float>> spectrum(np2);
    kelvane::fft::AlignedVector<float> series(np2);
    const kelvane::fft::AlignedVector<float> gains(plan.fold_count, 0.7f);
    auto draws = kelvane::rng::DrawSource::modern(kelvane::rng::Pcg::seed(42));
    // Plan both transforms before timing.
    kelvane::stoc::stochastic_spectrum(draws, plan, shape, std::span(spectrum));
    kelvane::stoc::radiate_and_invert(std::span(spectrum), gains, series);
    for (auto _ : state) {
        kelvane::stoc::stochastic_spectrum(draws, plan, shape, std::span(spectrum));
        kelvane::stoc::radiate_and_invert(std::span(spectrum), gains, series);
        benchmark::DoNotOptimize(series.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpectrumAndInvert)->Arg(2048)->Arg(4096);

}  // namespace
