// One layered ray traced through a six-layer crust with an air layer, as the
// station run traces one for every subfault-ray pair. The state is reused, so
// after the first iteration no tracing allocates.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kelvane/ray.hpp"
#include "kelvane/state.hpp"

namespace {

using kelvane::state::Layer;

std::vector<Layer> crust() {
    // thickness km, vp km/s, vs km/s, Qs
    const double rows[][4] = {{static_cast<double>(1e-4f), 0.001, 0.0005, 100.0},
                              {1.0, 3.2, 1.8, 60.0},
                              {3.0, 5.0, 2.9, 150.0},
                              {8.0, 6.0, 3.45, 300.0},
                              {10.0, 6.5, 3.7, 400.0},
                              {12.0, 6.9, 3.9, 500.0},
                              {0.0, 7.9, 4.5, 800.0}};
    std::vector<Layer> layers;
    for (const auto& r : rows) {
        layers.push_back(Layer{0.0, r[0], r[1], r[2], 2.7, static_cast<float>(2.0 * r[3]),
                               static_cast<float>(r[3])});
    }
    return layers;
}

void BM_GreenFunction(benchmark::State& bench) {
    const std::vector<Layer> layers = crust();
    const auto code = static_cast<std::int32_t>(bench.range(0));
    kelvane::ray::RayState state;
    float range_km = 5.0f;
    for (auto _ : bench) {
        // Not const: the benchmark library deprecates DoNotOptimize of a const lvalue.
        kelvane::ray::GreenFunction g =
            kelvane::ray::green_function(state, layers, 14.3f, range_km, code, kelvane::ray::WaveMode::Sh);
        benchmark::DoNotOptimize(g);
        range_km = (range_km > 150.0f) ? 5.0f : range_km + 7.0f;
    }
}
BENCHMARK(BM_GreenFunction)->Arg(1)->Arg(2)->Arg(4);

}  // namespace
