// Cost of half-cycle (period) values beside the general results of the
// same stream: a three-phase grid with currents, one-cycle values refreshed
// every half cycle with RVC detection, at 10 kHz and at 1 MHz.
//
// Each benchmark feeds 10-cycle windows (write + schedule + fetch); the
// "WithPeriodValues" variants also report the window's ten cycles and fetch
// its twenty period values. The ratio of the two, in the same run, is what
// period values add to the general results.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "powergpu.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFrequency = 50.0;
constexpr int kCyclesPerWindow = 10;
constexpr int kPositionsPerSample = 1000;

struct Stream {
    std::unique_ptr<PowerModule> module;
    std::vector<std::vector<float>> voltages;
    std::vector<std::vector<float>> currents;
    uint32_t window = 0;
    uint64_t first = 0;
};

Stream makeStream(double sampleRate, bool periodValues) {
    Stream s;
    s.module = std::make_unique<PowerModule>(POWER_BACKEND_CPU);
    PowerModule& m = *s.module;
    m.beginUpdate();
    m.setSampleRate(sampleRate, kPositionsPerSample);
    m.setBufferLength(static_cast<uint64_t>(sampleRate));  // 1 s
    m.setGridConfigType(ThreePhaseStar);
    m.setStaticFrequency(kFrequency, 0.1);
    // The general results of the grid power-quality scenario (S1).
    m.setLineToLineResultsEnabled(true);
    m.setHighestRequestedHarmonic(50);
    m.setInterHarmonicsEnabled(true);
    m.setThdEnabled(true);
    m.setSymmetricalComponentsEnabled(true);
    if (periodValues) {
        m.setPeriodValuesEnabled(true);
        m.setHalfPeriodValuesCount(2);
        m.setPeriodValuesOverlapInPercent(50);
        m.setRvcEnabled(true);
        m.setPeriodSymmetricalComponentsEnabled(true);
    }
    m.endUpdate();
    m.reset(0);
    s.window = static_cast<uint32_t>(std::lround(kCyclesPerWindow * sampleRate / kFrequency));
    s.voltages.assign(3, std::vector<float>(s.window));
    s.currents.assign(3, std::vector<float>(s.window));
    for (uint32_t k = 0; k < s.window; ++k) {
        const double w = 2.0 * kPi * kFrequency * k / sampleRate;
        for (int c = 0; c < 3; ++c) {
            const double shift = -2.0 * kPi * c / 3.0;
            s.voltages[c][k] = static_cast<float>(325.0 * std::sin(w + shift));
            s.currents[c][k] = static_cast<float>(14.0 * std::sin(w + shift - 0.5));
        }
    }
    return s;
}

void writeWindow(Stream& s) {
    PowerModule& m = *s.module;
    const uint64_t ring = m.getBufferLength();
    const uint64_t start = s.first % ring;
    const uint64_t head = std::min<uint64_t>(s.window, ring - start);
    const auto copy = [&](float* base, const std::vector<float>& values) {
        std::copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(head), base + start);
        std::copy(values.begin() + static_cast<std::ptrdiff_t>(head), values.end(), base);
    };
    for (uint8_t c = 0; c < 3; ++c) {
        copy(m.getWaveformBufferUInput(c), s.voltages[c]);
        copy(m.getWaveformBufferI(c), s.currents[c]);
    }
    m.writeSamples(s.window);
}

void run(benchmark::State& state, double sampleRate, bool periodValues) {
    Stream s = makeStream(sampleRate, periodValues);
    const double samplesPerCycle = sampleRate / kFrequency;
    std::vector<uint64_t> starts(kCyclesPerWindow);
    std::vector<int> lengths(kCyclesPerWindow);
    std::vector<double> frequencies(kCyclesPerWindow, kFrequency);
    std::unique_ptr<bool[]> valid(new bool[kCyclesPerWindow]);
    int64_t periodValueCount = 0;
    uint64_t cycle = 0;
    for (auto _ : state) {
        writeWindow(s);
        s.module->scheduleForCalculation(s.first, static_cast<int>(s.window), kFrequency);
        s.first += s.window;
        std::vector<PowerResultsGeneral> results;
        do {
            results = s.module->getResults(0);
        } while (results.empty());
        benchmark::DoNotOptimize(results.data());
        if (periodValues) {
            for (int k = 0; k < kCyclesPerWindow; ++k, ++cycle) {
                starts[k] = static_cast<uint64_t>(std::llround(cycle * samplesPerCycle * kPositionsPerSample));
                lengths[k] = static_cast<int>(std::lround(samplesPerCycle * kPositionsPerSample));
                valid[k] = true;
            }
            s.module->scheduleForPeriodCalculation(kCyclesPerWindow, starts.data(), lengths.data(), frequencies.data(),
                                                   valid.get());
            bool more = true;
            while (more) {
                int count = 0;
                PowerResultsPeriod* records = nullptr;
                s.module->getPeriodResults(&count, &more, &records);
                periodValueCount += count;
                benchmark::DoNotOptimize(records);
            }
        }
    }
    state.counters["windows/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * s.window, benchmark::Counter::kIsRate);
    if (periodValues) {
        state.counters["periodValues/s"] =
            benchmark::Counter(static_cast<double>(periodValueCount), benchmark::Counter::kIsRate);
    }
}

void BM_GeneralOnly_10kHz(benchmark::State& state) {
    run(state, 1.0e4, false);
}
void BM_WithPeriodValues_10kHz(benchmark::State& state) {
    run(state, 1.0e4, true);
}
void BM_GeneralOnly_1MHz(benchmark::State& state) {
    run(state, 1.0e6, false);
}
void BM_WithPeriodValues_1MHz(benchmark::State& state) {
    run(state, 1.0e6, true);
}

}  // namespace

BENCHMARK(BM_GeneralOnly_10kHz)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WithPeriodValues_10kHz)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GeneralOnly_1MHz)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WithPeriodValues_1MHz)->Unit(benchmark::kMillisecond);
