// The grouped harmonic analysis: values of tones whose rectangular-window
// spectrum is known in closed form, THD figures, the CUDA kernel against the
// CPU one, and the general results untouched by the analysis.
#include <gtest/gtest.h>

#include <complex>
#include <cstddef>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "kernels/IecGroupMath.h"
#include "kernels/cpu/CpuKernels.h"
#include "support/KernelSignals.h"
#include "support/TestSupport.h"

#ifdef POWERGPU_HAVE_CUDA
#include <cuda_runtime.h>

#include "kernels/cuda/CudaKernels.h"
#endif

namespace {

using namespace powergpu::test;
using Bins = std::vector<Complex>;

struct Tone {
    double frequency;
    double rms;
    double phase;  // radians
};

// The rms values of bins 0..N/2 of the N-point rectangular-window DFT of
// sampled tones, in closed form: sum_n e^(j 2 pi x n / N) over one window is
// N for integer x that is a multiple of N, else (1 - e^(j 2 pi x)) / (1 - e^(j 2 pi x / N)).
std::vector<double> binRmsOf(const std::vector<Tone>& tones, double sampleRate, int n) {
    const auto geometric = [n](double x) {
        const double whole = std::round(x / n) * n;
        if (std::abs(x - whole) < 1e-12) {
            return Complex(n, 0.0);
        }
        return (1.0 - std::polar(1.0, kTwoPi * x)) / (1.0 - std::polar(1.0, kTwoPi * x / n));
    };
    std::vector<double> rms(n / 2 + 1);
    for (int k = 0; k <= n / 2; ++k) {
        Complex sum;
        for (const Tone& t : tones) {
            const double cycles = t.frequency * n / sampleRate;  // sin = (e^(ja) - e^(-ja)) / 2j
            sum +=
                kSqrt2 * t.rms / Complex(0.0, 2.0) *
                (std::polar(1.0, t.phase) * geometric(cycles - k) - std::polar(1.0, -t.phase) * geometric(-cycles - k));
        }
        rms[k] = std::abs(sum) * kSqrt2 / n;
    }
    return rms;
}

// Root-sum-square of bins first..last, the edge bins at the given weight.
double rss(const std::vector<double>& bins, int first, int last, double edgeWeight = 1.0) {
    double sum = 0.0;
    for (int k = first; k <= last; ++k) {
        sum += (k == first || k == last ? edgeWeight : 1.0) * bins[k] * bins[k];
    }
    return std::sqrt(sum);
}

SignalFunction tones(const std::vector<Tone>& voltage, const std::vector<Tone>& current) {
    return [voltage, current](char kind, int, double t) {
        double value = 0.0;
        for (const Tone& tone : kind == 'U' ? voltage : current) {
            value += kSqrt2 * tone.rms * std::sin(kTwoPi * tone.frequency * t + tone.phase);
        }
        return value;
    };
}

// Runs windows of `length` samples from running index 0 on, fetching each.
std::vector<PowerIecHarmonics> analyse(PowerModule& module, const SignalFunction& signal, uint32_t length,
                                       double frequency, int windows) {
    ModuleFeeder feeder(module, signal);
    for (int w = 0; w < windows; ++w) {
        feeder.writeUpTo(uint64_t{length} * (w + 1));
        module.scheduleForCalculation(uint64_t{length} * w, length, frequency);
        module.sync();
        EXPECT_EQ(module.getResults(0).size(), 1u);
    }
    return module.getIecHarmonics(100);
}

// A star grid with currents at 10 kHz and 50 Hz, the analysis enabled.
void configureStarAt10kHz(PowerModule& module) {
    configure(module, 10000.0, 3000, [](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setStaticFrequency(50.0, 0.1);
        m.setIecHarmonicsEnabled(true);
    });
}

class IecHarmonics : public BackendTest {};

// 230 V at 50 Hz, a 5th harmonic of 4 % and an interharmonic of 1 % at
// 287 Hz (between bins 57 and 58 of the 5 Hz bins, so it leaks into every
// bin), sampled at 10 kHz: windows of 2000 samples, the second wrapping
// around the ring end. Expected values: the closed-form bins grouped by
// hand (subgroup 5: bins 49..51; interharmonic 5: bins 52..58; group 5:
// bins 45..55 with 45 and 55 at half power). Tolerance 2e-3 V: the samples
// are floats (6e-8 relative) and the transform is single precision, which
// leaves errors of a few 1e-6 of the 325 V peak in every bin.
TEST_P(IecHarmonics, GroupsAndSubgroupsOfAHarmonicAndAnInterharmonic) {
    const std::vector<Tone> voltage{{50.0, 230.0, 0.3}, {250.0, 9.2, -1.1}, {287.0, 2.3, 0.7}};
    const std::vector<Tone> current{{50.0, 10.0, -0.2}, {150.0, 1.5, 0.4}};
    PowerModule module(GetParam());
    configureStarAt10kHz(module);
    const std::vector<PowerIecHarmonics> records = analyse(module, tones(voltage, current), 2000, 50.0, 2);
    ASSERT_EQ(records.size(), 2u);
    for (std::size_t w = 0; w < records.size(); ++w) {
        const PowerIecHarmonics& r = records[w];
        std::vector<Tone> shifted = voltage;  // the tones as the window sees them from its first sample
        for (Tone& tone : shifted) {
            tone.phase += kTwoPi * tone.frequency * 0.2 * static_cast<double>(w);
        }
        const std::vector<double> u = binRmsOf(shifted, 10000.0, 2000);
        double harmonics = 0.0;
        for (int h = 2; h <= 50; ++h) {
            harmonics += std::pow(rss(u, 10 * h - 1, 10 * h + 1), 2);
        }
        EXPECT_EQ(r.firstSampleIndex, 2000u * w);
        EXPECT_EQ(r.length, 2000u);
        EXPECT_EQ(r.binsPerPeriod, 10);
        EXPECT_EQ(r.highestOrder, 50);
        EXPECT_EQ(r.voltageCount, 3);
        EXPECT_EQ(r.currentCount, 3);
        for (int c = 0; c < 3; ++c) {
            const PowerIecHarmonicChannel& ch = r.channels[c];
            EXPECT_NEAR(ch.subgroup[1], rss(u, 9, 11), 2e-3);
            EXPECT_NEAR(ch.subgroup[5], rss(u, 49, 51), 2e-3);
            EXPECT_NEAR(ch.subgroup[6], rss(u, 59, 61), 2e-3);
            EXPECT_NEAR(ch.interharmonic[5], rss(u, 52, 58), 2e-3);
            EXPECT_NEAR(ch.interharmonic[4], rss(u, 42, 48), 2e-3);
            EXPECT_NEAR(ch.group[5], rss(u, 45, 55, 0.5), 2e-3);
            EXPECT_NEAR(ch.group[6], rss(u, 55, 65, 0.5), 2e-3);
            EXPECT_NEAR(ch.subgroup[0], u[0] / kSqrt2, 2e-3);  // the interharmonic's incomplete cycle
            // Physics: nearly all of the interharmonic's power lies in its centred subgroup.
            EXPECT_GT(ch.interharmonic[5], 0.95 * 2.3);
            EXPECT_LT(ch.interharmonic[5], 2.3);
            // The 5th, and what the interharmonic leaks into the subgroups (1e-5: 2e-3 V of 230 V).
            EXPECT_NEAR(ch.thds, 100.0 * std::sqrt(harmonics) / rss(u, 9, 11), 1e-3);
            EXPECT_NEAR(ch.thds, 4.0, 0.1);
            const PowerIecHarmonicChannel& current = r.channels[3 + c];
            EXPECT_NEAR(current.subgroup[3], 1.5, 1e-4);  // on a bin: the subgroup is the tone
            EXPECT_NEAR(current.group[3], 1.5, 1e-4);
            EXPECT_NEAR(current.thdg, 15.0, 1e-3);
            EXPECT_NEAR(current.subgroup[2], 0.0, 1e-4);
            EXPECT_NEAR(current.subgroup[0], 0.0, 1e-4);  // whole periods only: no mean
        }
    }
}

// With the currents left out (a voltage-only evaluation), the records carry
// the same voltage values as with them, within the single-precision
// transform's few 1e-6 of the peak (the batch has three rows instead of
// six), and nothing in the current channels.
TEST_P(IecHarmonics, CurrentsLeftOutOnRequest) {
    const std::vector<Tone> voltage{{50.0, 230.0, 0.3}, {250.0, 9.2, -1.1}};
    const std::vector<Tone> current{{50.0, 10.0, -0.2}, {150.0, 1.5, 0.4}};
    PowerModule module(GetParam());
    configureStarAt10kHz(module);
    EXPECT_TRUE(module.getIecHarmonicsCurrentsEnabled());
    const std::vector<PowerIecHarmonics> both = analyse(module, tones(voltage, current), 1999, 50.0 * 1999 / 2000, 1);
    module.setIecHarmonicsCurrentsEnabled(false);  // rebuilds
    EXPECT_FALSE(module.getIecHarmonicsCurrentsEnabled());
    module.reset(0);
    const std::vector<PowerIecHarmonics> voltages =
        analyse(module, tones(voltage, current), 1999, 50.0 * 1999 / 2000, 1);
    ASSERT_EQ(both.size(), 1u);
    ASSERT_EQ(voltages.size(), 1u);
    EXPECT_EQ(both[0].currentCount, 3);
    EXPECT_EQ(voltages[0].voltageCount, 3);
    EXPECT_EQ(voltages[0].currentCount, 0);
    for (int c = 0; c < 3; ++c) {
        for (int h = 0; h <= 50; ++h) {
            EXPECT_NEAR(voltages[0].channels[c].subgroup[h], both[0].channels[c].subgroup[h], 2e-3) << c << " " << h;
            EXPECT_EQ(voltages[0].channels[3 + c].subgroup[h], 0.0);
        }
        EXPECT_NEAR(voltages[0].channels[c].thds, 4.0, 0.1);
        // 1999 samples hold 9.995 periods of the 50 Hz tones: the 10 A
        // fundamental leaks a few mA into the 3rd's subgroup.
        EXPECT_NEAR(both[0].channels[3 + c].subgroup[3], 1.5, 1e-2);
    }
}

// Every delivered window has its record, so that callers pair them one to
// one: a window of one sample has no spectrum, and its record says so
// (highest order 0, nothing computed) between the records of its neighbours.
TEST_P(IecHarmonics, AWindowWithoutASpectrumStillHasItsRecord) {
    const std::vector<Tone> voltage{{50.0, 230.0, 0.0}, {250.0, 9.2, 0.0}};
    PowerModule module(GetParam());
    configureStarAt10kHz(module);
    ModuleFeeder feeder(module, tones(voltage, {}));
    std::size_t windows = 0;
    for (const auto& [first, length] : {std::pair<uint64_t, uint32_t>{0, 2000}, {2000, 1}, {4000, 2000}}) {
        feeder.writeUpTo(first + length);  // the ring holds 3000 samples
        module.scheduleForCalculation(first, length, 50.0);
        module.sync();
        windows += module.getResults(0).size();
    }
    ASSERT_EQ(windows, 3u);
    const std::vector<PowerIecHarmonics> records = module.getIecHarmonics(10);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1].firstSampleIndex, 2000u);
    EXPECT_EQ(records[1].length, 1u);
    EXPECT_EQ(records[1].highestOrder, 0);
    for (const PowerIecHarmonicChannel& channel : records[1].channels) {
        EXPECT_EQ(channel.subgroup[1], 0.0);
        EXPECT_EQ(channel.thds, 0.0);
    }
    for (const std::size_t w : {0u, 2u}) {
        EXPECT_EQ(records[w].highestOrder, 50);
        EXPECT_NEAR(records[w].channels[0].subgroup[1], 230.0, 2e-3);
        EXPECT_NEAR(records[w].channels[0].thds, 4.0, 1e-4);
    }
}

// 60 Hz windows of 12 periods at 12 kHz (5 Hz bins again), a 3rd harmonic
// of 3 % and a 5th of 4 % on bins: THDS and THDG are sqrt(3^2 + 4^2) = 5 %.
// Orders are cut where the subgroup would pass half the sample rate, and
// the highest order setting limits them further.
TEST_P(IecHarmonics, ThdAndHighestOrder) {
    const std::vector<Tone> voltage{{60.0, 120.0, 0.0}, {180.0, 3.6, 1.0}, {300.0, 4.8, 2.0}};
    PowerModule module(GetParam());
    configure(module, 12000.0, 6000, [](PowerModule& m) {
        m.setStaticFrequency(60.0, 0.1);
        m.setIecHarmonicsEnabled(true);
    });
    std::vector<PowerIecHarmonics> records = analyse(module, tones(voltage, {}), 2400, 60.0, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].binsPerPeriod, 12);
    EXPECT_NEAR(records[0].channels[0].thds, 5.0, 1e-4);
    EXPECT_NEAR(records[0].channels[0].thdg, 5.0, 1e-4);
    EXPECT_EQ(records[0].currentCount, 1);

    module.setIecHarmonicsHighestOrder(4);  // rebuilds; the 5th is left out
    module.reset(0);
    records = analyse(module, tones(voltage, {}), 2400, 60.0, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].highestOrder, 4);
    EXPECT_NEAR(records[0].channels[0].thds, 3.0, 1e-4);
    EXPECT_EQ(records[0].channels[0].subgroup[5], 0.0);

    PowerModule slow(GetParam());  // 2 kHz: order 16 (960 Hz, bin 192 of 200) is the last below 1 kHz
    configure(slow, 2000.0, 2000, [](PowerModule& m) {
        m.setStaticFrequency(60.0, 0.1);
        m.setIecHarmonicsEnabled(true);
    });
    records = analyse(slow, tones(voltage, {}), 400, 60.0, 1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].highestOrder, 16);
    EXPECT_EQ(records[0].channels[0].subgroup[17], 0.0);
}

// Windows of ten measured periods at frequencies off nominal: whole samples
// hold the ten periods only to within half a sample, so the fundamental lies
// up to 0.0025 bins off its bin and leaks about 230 V * 0.0025 / 40 into each
// bin of the 5th's group 40 bins away. The nearest bins still gather the
// tones: the fundamental within 1e-3, the 5th's group within 0.03 V (the
// leakage over its 11 bins), THDS within 0.015 %. Each length gets its own
// plan, and no more than 32 are kept however many lengths come.
TEST_P(IecHarmonics, WindowsOfMeasuredPeriodsOffNominal) {
    PowerModule module = recordedModule(GetParam());
    configure(module, 10000.0, 8000, [](PowerModule& m) {
        m.setVariableFrequency(45.0, 55.0);
        m.setCurrentEnabled(false);
        m.setIecHarmonicsEnabled(true);
    });
    const std::size_t mainPlans = recordingRuntime(module).livePlans();
    uint64_t first = 0;
    for (int w = 0; w < 40; ++w) {
        const double frequency = 49.8 + 0.01 * w;
        const auto length = static_cast<uint32_t>(std::lround(100000.0 / frequency));
        const std::vector<Tone> voltage{{frequency, 230.0, 0.1 * w}, {5.0 * frequency, 9.2, 0.0}};
        ModuleFeeder feeder(module, tones(voltage, {}));
        feeder.restartAt(first);
        feeder.writeUpTo(first + length);
        module.scheduleForCalculation(first, length, frequency);
        module.sync();
        ASSERT_EQ(module.getResults(0).size(), 1u);
        const std::vector<PowerIecHarmonics> records = module.getIecHarmonics(1);
        ASSERT_EQ(records.size(), 1u);
        const PowerIecHarmonicChannel& u = records[0].channels[0];
        EXPECT_EQ(records[0].binsPerPeriod, 10);
        EXPECT_NEAR(u.subgroup[1], 230.0, 230.0 * 1e-3) << frequency << " Hz";
        EXPECT_NEAR(u.group[5], 9.2, 0.03) << frequency << " Hz";
        EXPECT_NEAR(u.thds, 4.0, 0.015) << frequency << " Hz";
        EXPECT_LE(recordingRuntime(module).livePlans(), mainPlans + 32);
        first += length;
    }
}

// The analysis adds its own launch and leaves every general result as it
// was, bit for bit; disabled, it launches nothing.
TEST_P(IecHarmonics, GeneralResultsUnchanged) {
    const std::vector<Tone> voltage{{50.0, 230.0, 0.3}, {250.0, 9.2, -1.1}, {287.0, 2.3, 0.7}};
    const SignalFunction signal = tones(voltage, {{50.0, 10.0, -0.2}});
    std::vector<PowerResultsGeneral> results[2];
    std::vector<float> harmonics[2];
    for (const bool enabled : {false, true}) {
        PowerModule module = recordedModule(GetParam());
        configure(module, 10000.0, 5000, [&](PowerModule& m) {
            m.setGridConfigType(ThreePhaseStar);
            m.setStaticFrequency(50.0, 0.1);
            m.setHighestRequestedHarmonic(50);
            m.setThdEnabled(true);
            m.setInterHarmonicsEnabled(true);
            m.setIecHarmonicsEnabled(enabled);
        });
        recordingRuntime(module).setCallLogging(true);
        ModuleFeeder feeder(module, signal);
        for (int w = 0; w < 3; ++w) {
            feeder.writeUpTo(2000u * (w + 1));
            module.scheduleForCalculation(2000u * w, 2000, 50.0);
            module.sync();
            for (const PowerResultsGeneral& r : module.getResults(0)) {
                results[enabled].push_back(r);
                harmonics[enabled].insert(harmonics[enabled].end(), r.channels[0].harmonicsU,
                                          r.channels[0].harmonicsU + r.harmonicLength);
            }
        }
        EXPECT_EQ(countLaunches(recordingRuntime(module).callLog(), "kernelIecHarmonics"), enabled ? 3 : 0);
    }
    ASSERT_EQ(results[0].size(), 3u);
    ASSERT_EQ(results[1].size(), 3u);
    EXPECT_EQ(harmonics[0], harmonics[1]);
    for (std::size_t w = 0; w < 3; ++w) {
        for (int c = 0; c < 3; ++c) {
            EXPECT_EQ(std::memcmp(&results[0][w].channels[c], &results[1][w].channels[c],
                                  offsetof(PowerResultsChannel, fftU)),
                      0)
                << "window " << w << " channel " << c;
        }
    }
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(IecHarmonics);

// Random spectra through both kernels: the per-order arithmetic is shared
// and sums run in the same order, so every value agrees to the last bit;
// orders beyond orderCount stay as they were.
TEST(IecHarmonicsCudaDifferential, KernelAgreesBitForBitWithCpu) {
    POWERGPU_REQUIRE_BACKEND(POWER_BACKEND_CUDA);
#ifdef POWERGPU_HAVE_CUDA
    std::mt19937 random(20261206u);
    std::uniform_real_distribution<float> value(-1e4f, 1e4f);
    for (const int length : {2000, 2401, 1800, 333}) {  // M = 10, 12 (r off integer), 9 (odd), 2
        const int bins = length / 2 + 1, rows = 6;
        std::vector<powergpu::float2> spectrum(static_cast<std::size_t>(bins) * rows);
        for (auto& b : spectrum) {
            b = powergpu::float2{value(random), value(random)};
        }
        const double binsPerFundamental = 50.0 * length / 10000.0;
        const int orders = std::min(51, static_cast<int>((bins - 2) / binsPerFundamental) + 1);
        const powergpu::Launch launch = powergpu::kernel_test::rowsLaunch(rows, 2);
        std::vector<double> cpu(static_cast<std::size_t>(rows) * powergpu::math::kIecValuesPerRow, -1.0);
        std::vector<double> gpu(cpu.size());
        powergpu::float2* dSpectrum = nullptr;
        double* dValues = nullptr;
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&dSpectrum), spectrum.size() * sizeof(powergpu::float2)), 0);
        ASSERT_EQ(cudaMalloc(reinterpret_cast<void**>(&dValues), cpu.size() * sizeof(double)), 0);
        cudaMemcpy(dSpectrum, spectrum.data(), spectrum.size() * sizeof(powergpu::float2), cudaMemcpyHostToDevice);
        cudaMemcpy(dValues, cpu.data(), cpu.size() * sizeof(double), cudaMemcpyHostToDevice);
        const int perPeriod = std::max(1, static_cast<int>(std::lround(binsPerFundamental)));
        const double scale = 2.0 / (double(length) * length);
        powergpu::cuda::launchIecHarmonics(
            launch, powergpu::IecHarmonicsArgs{bins, orders, perPeriod, binsPerFundamental, scale, dSpectrum, dValues});
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        cudaMemcpy(gpu.data(), dValues, gpu.size() * sizeof(double), cudaMemcpyDeviceToHost);
        cudaFree(dSpectrum);
        cudaFree(dValues);
        powergpu::cpu::kernelIecHarmonics(
            launch, powergpu::IecHarmonicsArgs{bins, orders, perPeriod, binsPerFundamental, scale, spectrum.data(),
                                               cpu.data()});
        for (std::size_t k = 0; k < cpu.size(); ++k) {
            ASSERT_EQ(cpu[k], gpu[k]) << "length " << length << " value " << k;
        }
    }
#endif
}

// The whole path on both backends (ring copies across the ring end, the
// derived third current, transform, kernel, copy back, record) for a
// three-phase signal with harmonics and an interharmonic: the records agree
// within the transforms' last bits, 1e-5 of the channel's fundamental.
TEST(IecHarmonicsCudaDifferential, RecordsOfBothBackendsAgree) {
    POWERGPU_REQUIRE_BACKEND(POWER_BACKEND_CUDA);
    const std::vector<Tone> voltage{{50.0, 230.0, 0.3}, {250.0, 9.2, -1.1}, {287.0, 2.3, 0.7}, {650.0, 1.0, 0.2}};
    const std::vector<Tone> current{{50.0, 10.0, -0.2}, {150.0, 1.5, 0.4}, {122.0, 0.3, 0.0}};
    std::vector<PowerIecHarmonics> records[2];
    for (const int32_t backend : {POWER_BACKEND_CPU, POWER_BACKEND_CUDA}) {
        PowerModule module(backend);
        configure(module, 10000.0, 5000, [](PowerModule& m) {
            m.setGridConfigType(ThreePhaseStarTwoCurrents);
            m.setStaticFrequency(50.0, 0.1);
            m.setIecHarmonicsEnabled(true);
        });
        records[backend == POWER_BACKEND_CUDA] = analyse(module, tones(voltage, current), 2000, 50.0, 4);
    }
    ASSERT_EQ(records[0].size(), 4u);
    ASSERT_EQ(records[1].size(), 4u);
    for (std::size_t w = 0; w < 4; ++w) {
        for (int c = 0; c < POWER_IEC_CHANNEL_COUNT; ++c) {
            const PowerIecHarmonicChannel& cpu = records[0][w].channels[c];
            const PowerIecHarmonicChannel& gpu = records[1][w].channels[c];
            const double scale = 1e-5 * std::max(cpu.subgroup[1], 1.0);
            for (int h = 0; h < POWER_IEC_ORDER_COUNT; ++h) {
                EXPECT_NEAR(cpu.subgroup[h], gpu.subgroup[h], scale) << w << " " << c << " " << h;
                EXPECT_NEAR(cpu.interharmonic[h], gpu.interharmonic[h], scale) << w << " " << c << " " << h;
                EXPECT_NEAR(cpu.group[h], gpu.group[h], scale) << w << " " << c << " " << h;
            }
            EXPECT_NEAR(cpu.thds, gpu.thds, 1e-4) << w << " " << c;
        }
    }
}

}  // namespace
