// Cost of the cycle detector.
//
//   CycleDetector/<chunk>: a detector fed 60 s of a 10 kHz reference (230 V,
//     50 Hz with 5 % fifth and 3 % seventh harmonics and noise of 0.1 % of
//     the amplitude) in chunks of <chunk> samples, then flushed; the
//     entries are taken after every chunk, as a caller would. items/s is
//     samples per second; an hour of a 10 kHz reference costs 60
//     iterations.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "cycles/CycleDetector.h"
#include "cycles/CycleSettings.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 10000.0;

std::vector<double> reference(std::size_t count) {
    std::mt19937_64 random(5);
    std::normal_distribution<double> noise(0.0, 0.325);
    std::vector<double> x(count);
    for (std::size_t n = 0; n < count; ++n) {
        const double phase = 2.0 * kPi * 50.0 * static_cast<double>(n) / kRate;
        x[n] = 325.0 * (std::sin(phase) + 0.05 * std::sin(5.0 * phase) + 0.03 * std::sin(7.0 * phase)) + noise(random);
    }
    return x;
}

void BM_CycleDetector(benchmark::State& state) {
    const std::vector<double> x = reference(static_cast<std::size_t>(60.0 * kRate));
    const auto chunk = static_cast<std::size_t>(state.range(0));
    PowerCycleDetectorSettings settings = powergpu::cycles::defaultCycleSettings();
    settings.sampleRate = kRate;
    std::vector<PowerCycleEntry> entries(4096);
    std::size_t taken = 0;
    for (auto _ : state) {
        powergpu::cycles::CycleDetector detector(settings);
        for (std::size_t k = 0; k < x.size(); k += chunk) {
            detector.process(x.data() + k, std::min(chunk, x.size() - k));
            taken += detector.take(entries.size(), entries.data());
        }
        detector.flush();
        taken += detector.take(entries.size(), entries.data());
        benchmark::DoNotOptimize(taken);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(x.size()));
    state.counters["entries"] = static_cast<double>(taken) / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_CycleDetector)->Arg(1 << 17)->Arg(4096)->Unit(benchmark::kMillisecond);
