// Throughput of general results: write + schedule + fetch of whole windows,
// beside the bare FFTW execution of the same batched transforms (the floor
// of the CPU backend), measured in the same run.
//
//   S1 grid power quality: three-phase star with currents and line-to-line
//      results, 10 kHz, 50 Hz static, 10-period windows, harmonics to 50
//      with interharmonics, THD and symmetrical components.
//   S2 electric drive: three-phase with currents, Park with the mechanical
//      angle, variable frequency 10..1000 Hz, 1 MHz sampling, 10-period
//      windows at 200 Hz.
//   S1 with the grouped harmonic analysis (subgroups, interharmonic
//      subgroups, groups and THD of the six channels to order 50) beside
//      S1 without it, in the same run: the analysis's share of a window.
//   The grouped analysis alone (CPU backend) at window lengths 1998..2003
//      and three of largest prime factor 17, 19 and 23 (1989, 1995, 2024),
//      each by the plain transform of the length and by the chirp-z path,
//      in the same run: the rule of iec/ChirpTransform.h against both.
//
// Counters: windows/s and channel-samples/s (input channels x samples).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "iec/ChirpTransform.h"
#include "iec/IecHarmonicAnalysis.h"
#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"
#include "runtime/FftwPlan.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Scenario {
    double sampleRate;
    double frequency;
    uint32_t window;
    bool drive;
    bool iec = false;  // the grouped harmonic analysis
};

const Scenario kGridQuality{10000.0, 50.0, 2000, false};
const Scenario kDrive{1000000.0, 200.0, 50000, true};
const Scenario kGridQualityIec{10000.0, 50.0, 2000, false, true};

void configure(PowerModule& module, const Scenario& s) {
    module.beginUpdate();
    module.setSampleRate(s.sampleRate, 1);
    module.setGridConfigType(ThreePhaseStar);
    module.setCurrentEnabled(true);
    if (!s.drive) {
        module.setBufferLength(static_cast<uint64_t>(s.sampleRate));  // 1 s
        module.setStaticFrequency(50.0, 0.1);
        module.setLineToLineResultsEnabled(true);
        module.setHighestRequestedHarmonic(50);
        module.setInterHarmonicsEnabled(true);
        module.setThdEnabled(true);
        module.setSymmetricalComponentsEnabled(true);
        module.setIecHarmonicsEnabled(s.iec);
    } else {
        module.setBufferLength(static_cast<uint64_t>(s.sampleRate));
        module.setVariableFrequency(10.0, 1000.0);
        module.setParkTransformEnabled(true);
        module.setClarkeOrParkVoltagesEnabled(true);
        module.setClarkeOrParkCurrentsEnabled(true);
        module.setMechanicalAngleUsed(true);
        module.setPolePairs(4);
        module.setHighestRequestedHarmonic(50);
    }
    module.endUpdate();
    module.reset(0);
}

// One window's worth of samples of every input channel, written once into a
// template and copied into the rings per window, so the benchmark measures
// the library rather than the signal generator.
struct SignalTemplate {
    std::vector<std::vector<float>> voltages;
    std::vector<std::vector<float>> currents;
    std::vector<float> angle;
};

SignalTemplate makeSignal(const Scenario& s) {
    SignalTemplate t;
    t.voltages.assign(3, std::vector<float>(s.window));
    t.currents.assign(3, std::vector<float>(s.window));
    t.angle.resize(s.window);
    for (uint32_t k = 0; k < s.window; ++k) {
        const double w = 2.0 * kPi * s.frequency * k / s.sampleRate;
        for (int c = 0; c < 3; ++c) {
            const double shift = -2.0 * kPi * c / 3.0;
            t.voltages[c][k] = static_cast<float>(325.0 * (std::sin(w + shift) + 0.05 * std::sin(5.0 * (w + shift))));
            t.currents[c][k] = static_cast<float>(14.0 * std::sin(w + shift - 0.5));
        }
        t.angle[k] = static_cast<float>(std::fmod(w / 4.0, 2.0 * kPi));
    }
    return t;
}

void writeWindow(PowerModule& module, const SignalTemplate& t, uint64_t first, uint32_t count, bool angle) {
    const uint64_t ring = module.getBufferLength();
    const auto copy = [&](float* base, const std::vector<float>& values) {
        const uint64_t start = first % ring;
        const uint64_t head = std::min<uint64_t>(count, ring - start);
        std::copy(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(head), base + start);
        std::copy(values.begin() + static_cast<std::ptrdiff_t>(head), values.begin() + count, base);
    };
    for (uint8_t c = 0; c < 3; ++c) {
        copy(module.getWaveformBufferUInput(c), t.voltages[c]);
        copy(module.getWaveformBufferI(c), t.currents[c]);
    }
    if (angle) {
        copy(module.getWaveformBufferMechAngles(), t.angle);
    }
    module.writeSamples(count);
}

void runWindows(benchmark::State& state, const Scenario& s, int32_t backend) {
    std::unique_ptr<PowerModule> module;
    try {
        module = std::make_unique<PowerModule>(backend);
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    configure(*module, s);
    const SignalTemplate signal = makeSignal(s);
    uint64_t first = 0;
    int64_t windows = 0;
    for (auto _ : state) {
        writeWindow(*module, signal, first, s.window, s.drive);
        module->scheduleForCalculation(first, static_cast<int>(s.window), s.frequency);
        first += s.window;
        std::vector<PowerResultsGeneral> results;
        do {
            results = module->getResults(0);
        } while (results.empty());
        benchmark::DoNotOptimize(results.data());
        if (s.iec) {
            benchmark::DoNotOptimize(module->getIecHarmonics(results.size()).data());
        }
        windows += static_cast<int64_t>(results.size());
    }
    const double channels = s.drive ? 7.0 : 6.0;
    state.counters["windows/s"] = benchmark::Counter(static_cast<double>(windows), benchmark::Counter::kIsRate);
    state.counters["channel-samples/s"] =
        benchmark::Counter(static_cast<double>(windows) * s.window * channels, benchmark::Counter::kIsRate);
}

// The bare batched transform of one window: the same plan parameters,
// flags and array placement as the CPU backend uses.
void runFftFloor(benchmark::State& state, int n, int batch) {
    powergpu::FftPlanParameters p;
    p.n = n;
    p.inembed = n;
    p.idist = n;
    p.onembed = n / 2 + 1;
    p.odist = n / 2 + 1;
    p.batch = batch;
    powergpu::FftwPlan plan(p);
    std::vector<float, std::allocator<float>> input(static_cast<std::size_t>(n) * batch);
    for (std::size_t k = 0; k < input.size(); ++k) {
        input[k] = static_cast<float>(std::sin(0.01 * static_cast<double>(k)));
    }
    float* in = static_cast<float*>(fftwf_malloc(input.size() * sizeof(float)));
    auto* out = static_cast<powergpu::float2*>(
        fftwf_malloc(static_cast<std::size_t>(n / 2 + 1) * batch * sizeof(powergpu::float2)));
    std::copy(input.begin(), input.end(), in);
    for (auto _ : state) {
        plan.execute(in, out);
        benchmark::DoNotOptimize(out);
    }
    state.counters["windows/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    fftwf_free(in);
    fftwf_free(out);
}

// The grouped analysis of one window of six channels (copy out of the
// rings, transform, grouping, record) at window length state.range(0), by
// the transform state.range(1) chooses (0 the rule, 1 plain, 2 chirp-z).
void BM_IecWindow_Cpu(benchmark::State& state) {
    const auto length = static_cast<uint32_t>(state.range(0));
    const auto choice = static_cast<powergpu::iec::IecTransformChoice>(state.range(1));
    constexpr uint64_t kRing = 10000;
    powergpu::CpuRuntime runtime;
    std::vector<std::vector<float>> rings(powergpu::iec::kIecChannelRows, std::vector<float>(kRing));
    for (std::size_t c = 0; c < rings.size(); ++c) {
        for (uint64_t i = 0; i < kRing; ++i) {
            rings[c][i] = static_cast<float>(325.0 * std::sin(2.0 * kPi * 50.0 * i / 10000.0 + 2.1 * c) +
                                             13.0 * std::sin(2.0 * kPi * 250.0 * i / 10000.0));
        }
    }
    powergpu::iec::IecHarmonicAnalysis analysis(runtime);
    powergpu::iec::IecHarmonicSettings settings;
    settings.enabled = true;
    analysis.configure(settings, 3, 3, 2400, 1);
    analysis.setTransformChoice(choice);
    powergpu::iec::IecWindow window;
    window.length = length;
    window.frequency = 10.0 * 10000.0 / length;
    window.sampleRate = 10000.0;
    window.ringLength = kRing;
    for (std::size_t c = 0; c < rings.size(); ++c) {
        window.rings[c] = rings[c].data();
    }
    PowerIecHarmonics record{};
    for (auto _ : state) {
        analysis.enqueue(window);
        analysis.deliver(window.calculationIndex);
        benchmark::DoNotOptimize(analysis.take(1, &record));
        ++window.calculationIndex;
        window.ringPosition = (window.ringPosition + length) % kRing;
    }
    state.SetLabel(choice == powergpu::iec::IecTransformChoice::Automatic
                       ? (powergpu::iec::usesChirpTransform(static_cast<int>(length)) ? "rule: chirp-z" : "rule: plain")
                       : (choice == powergpu::iec::IecTransformChoice::Direct ? "plain" : "chirp-z"));
}

// Registered in this order and under these names, so that runs before and
// after a change line up row by row.
[[maybe_unused]] const bool kRegistered = [] {
    const auto fftFloor = [](const char* name, int n, int batch) {
        benchmark::RegisterBenchmark(name, runFftFloor, n, batch)->Unit(benchmark::kMicrosecond);
    };
    const auto windows = [](const char* name, const Scenario& s, int32_t backend) {
        benchmark::RegisterBenchmark(name, runWindows, s, backend)->Unit(benchmark::kMicrosecond);
    };
    fftFloor("BM_S1_FftFloor", 4096, 9);
    windows("BM_S1_GridQuality_Cpu", kGridQuality, POWER_BACKEND_CPU);
    windows("BM_S1_GridQualityIec_Cpu", kGridQualityIec, POWER_BACKEND_CPU);
    benchmark::RegisterBenchmark("BM_IecWindow_Cpu", BM_IecWindow_Cpu)
        ->ArgsProduct({{1989, 1995, 1998, 1999, 2000, 2001, 2002, 2003, 2024}, {1, 2, 0}})
        ->ArgNames({"length", "transform"})
        ->Unit(benchmark::kMicrosecond);
    fftFloor("BM_S2_FftFloor", 65536, 6);
    windows("BM_S2_Drive_Cpu", kDrive, POWER_BACKEND_CPU);
    windows("BM_S1_GridQuality_Cuda", kGridQuality, POWER_BACKEND_CUDA);
    windows("BM_S1_GridQualityIec_Cuda", kGridQualityIec, POWER_BACKEND_CUDA);
    windows("BM_S2_Drive_Cuda", kDrive, POWER_BACKEND_CUDA);
    return true;
}();

}  // namespace
