// Cost of the flickermeters.
//
//   Meter/<rate>: one channel's meter fed one second of a 230 V, 50 Hz sine
//     with the 8.8 Hz reference fluctuation, in blocks of 0.1 s: the time
//     per iteration is the cost per channel-second at that sample rate.
//   S1Writes/<flicker>: writeSamples of one second of the S1 grid scenario
//     (three voltages, three currents, 10 kHz) in blocks of one 10-period
//     window, with the meters off (0) or on (1): what enabling flicker adds
//     to the caller's write path. Compare with BM_S1_GridQuality_Cpu of
//     general_results_bench (the cost of one S1 window, 0.2 s of samples).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "flicker/FlickerMeter.h"
#include "powergpu.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<float> oneSecond(double rate, double phase) {
    std::vector<float> samples(static_cast<std::size_t>(rate));
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const double t = static_cast<double>(k) / rate;
        const double envelope = 1.0 + 0.5 * 0.0025 * std::sin(2.0 * kPi * 8.8 * t);
        samples[k] = static_cast<float>(325.0 * envelope * std::sin(2.0 * kPi * 50.0 * t + phase));
    }
    return samples;
}

void BM_Flicker_Meter(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    using namespace powergpu::flicker;
    FlickerMeter meter;
    meter.configure(planDecimation(rate), lampParameters(kLamp230V), 50.0, 0, 0);
    const std::vector<float> samples = oneSecond(rate, 0.0);
    const std::size_t block = samples.size() / 10;
    MeterOutput out;
    uint64_t first = 0;
    for (auto _ : state) {
        for (std::size_t k = 0; k < samples.size(); k += block) {
            meter.feed(samples.data() + k, block, first, out);
            first += block;
        }
        out.pinst.clear();
        out.pst.clear();
    }
    state.counters["channel-seconds/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_Flicker_S1Writes(benchmark::State& state) {
    const double rate = 10000.0;
    const uint32_t window = 2000;
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(rate, 1);
    module.setGridConfigType(ThreePhaseStar);
    module.setBufferLength(static_cast<uint64_t>(rate));
    module.setStaticFrequency(50.0, 0.1);
    module.setFlickerEnabled(state.range(0) != 0);
    module.endUpdate();
    module.reset(0);
    std::vector<std::vector<float>> voltages;
    for (int c = 0; c < 3; ++c) {
        voltages.push_back(oneSecond(rate, -2.0 * kPi * c / 3.0));
    }
    PowerFlickerPinst pinst[256];
    for (auto _ : state) {
        for (uint32_t k = 0; k < voltages[0].size(); k += window) {
            for (uint8_t c = 0; c < 3; ++c) {
                std::copy(voltages[c].begin() + k, voltages[c].begin() + k + window,
                          module.getWaveformBufferUInput(c) + k);
                std::copy(voltages[c].begin() + k, voltages[c].begin() + k + window, module.getWaveformBufferI(c) + k);
            }
            module.writeSamples(window);
        }
        if (state.range(0) != 0) {
            for (uint8_t c = 0; c < 3; ++c) {
                while (module.getFlickerPinst(c, 256, pinst) == 256) {
                }
            }
        }
    }
    state.counters["seconds/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_Flicker_Meter)->Arg(1600)->Arg(10000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Flicker_S1Writes)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
