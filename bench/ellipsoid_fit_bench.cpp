// Magnetometer ellipsoid fit on a noisy, rotated, offset cloud of the sizes a
// calibration run collects (telemetry rate times collection time).

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "calibration.hpp"

namespace {

std::vector<vyre::MagnetometerSample> noisy_ellipsoid(std::size_t n) {
    std::mt19937 rng(42);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::vector<vyre::MagnetometerSample> out;
    out.reserve(n);
    const float c = std::cos(0.6f), s = std::sin(0.6f);
    for (std::size_t i = 0; i < n; ++i) {
        float x = gauss(rng), y = gauss(rng), z = gauss(rng);
        const float len = std::sqrt(x * x + y * y + z * z);
        x = 55.0f * x / len;
        y = 42.0f * y / len;
        z = 48.0f * z / len;
        out.push_back({12.0f + c * x - s * y + 0.4f * gauss(rng), -7.0f + s * x + c * y + 0.4f * gauss(rng),
                       20.0f + z + 0.4f * gauss(rng)});
    }
    return out;
}

void BM_FitEllipsoid(benchmark::State& state) {
    const auto samples = noisy_ellipsoid(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto fit = vyre::fit_magnetometer_ellipsoid(samples);
        if (!fit) state.SkipWithError("no fit");
        benchmark::DoNotOptimize(fit);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_FitEllipsoid)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace
