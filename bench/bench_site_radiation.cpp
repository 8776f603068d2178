// Per-ray cost of the site amplification and the radiation averages at a
// transform length of 2048 points (1025 bins), 0.01 s sampling.
#include <benchmark/benchmark.h>

#include <math.h>

#include <complex>
#include <cstddef>
#include <vector>

#include "kelvane/radiation.hpp"
#include "kelvane/rng.hpp"
#include "kelvane/site.hpp"
#include "kelvane/state.hpp"

namespace {

using namespace kelvane;

constexpr std::size_t np2 = 2048;
constexpr std::size_t fold_count = np2 / 2 + 1;
constexpr float dt_s = 0.01f;
constexpr std::size_t conical_samples = 1000;

std::vector<float> bin_frequencies() {
    std::vector<float> f(fold_count);
    const float df = 1.0f / (static_cast<float>(np2) * dt_s);
    for (std::size_t i = 0; i < fold_count; ++i) f[i] = static_cast<float>(i) * df;
    return f;
}

std::vector<float> log_of(const std::vector<float>& values) {
    std::vector<float> out;
    for (float v : values) out.push_back(::logf(v));
    return out;
}

// Site factors for a source in layer 4 of a six-layer model with an air layer,
// the gain curve, and the gain applied to three component spectra.
void BM_SiteAmplification(benchmark::State& state) {
    const std::vector<state::Layer> vmod = {
        {1e-4, 1e-4, 0.001, 0.0005, 0.001, 100.0f, 50.0f},
        {0.5, 0.5, 1.8, 1.0, 2.0, 100.0f, 50.0f},
        {2.5, 2.0, 4.2, 2.5, 2.4, 200.0f, 100.0f},
        {12.5, 10.0, 6.0, 3.5, 2.8, 400.0f, 200.0f},
        {30.0, 17.5, 6.6, 3.8, 2.9, 600.0f, 300.0f},
        {30.0, 0.0, 7.8, 4.5, 3.3, 1000.0f, 500.0f},
    };
    const std::vector<float> table_log =
        log_of({0.01f, 0.02f, 0.03f, 0.05f, 0.07f, 0.1f, 0.2f, 0.3f, 0.5f, 0.7f, 1.0f, 2.0f, 3.0f,
                5.0f, 7.0f, 10.0f, 20.0f, 30.0f, 50.0f, 70.0f});
    const std::vector<float> log_bins = log_of(bin_frequencies());
    std::vector<float> factors(table_log.size());
    std::vector<float> gain(fold_count);
    std::vector<std::complex<float>> spectra(3 * np2, {1.0f, 0.5f});
    for (auto _ : state) {
        site::site_amplification_factors(vmod, 4, table_log, factors);
        site::site_gain_curve(log_bins, table_log, factors, gain);
        for (std::size_t c = 0; c < 3; ++c) {
            site::apply_site_amplification(std::span(spectra).subspan(c * np2, np2), gain);
        }
        benchmark::DoNotOptimize(spectra.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SiteAmplification);

const radiation::RadiationAngles ray_angles{0.6f, 1.1f, 1.9f, 2.4f, 2.3f};

// One horizontal component's gain row: 1000 perturbed patterns.
void BM_HorizontalRadiation(benchmark::State& state) {
    const std::vector<float> f = bin_frequencies();
    std::vector<float> row(fold_count);
    rng::DrawSource stream = rng::DrawSource::modern(rng::Pcg::seed(42));
    for (auto _ : state) {
        radiation::horizontal_radiation_spectrum(stream, ray_angles, f, -1.5707964f,
                                                 conical_samples, row);
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_HorizontalRadiation);

// The vertical gain row over the station's 1000 pre-drawn pairs.
void BM_VerticalRadiation(benchmark::State& state) {
    const std::vector<float> f = bin_frequencies();
    std::vector<float> row(fold_count);
    rng::DrawSource stream = rng::DrawSource::modern(rng::Pcg::seed(7));
    std::vector<float> ua(conical_samples);
    std::vector<float> ub(conical_samples);
    stream.fill_uniform(ua);
    stream.fill_uniform(ub);
    for (auto _ : state) {
        radiation::vertical_radiation_spectrum(ray_angles, f, ua, ub, conical_samples, row);
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_VerticalRadiation);

}  // namespace
