// The chirp-z path of the grouped harmonic analysis: spectra of window
// lengths with a large prime factor against a double-precision DFT, and the
// grouped values of a window of such a length against those of the plain
// transform at a neighbouring smooth length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "iec/ChirpTransform.h"
#include "iec/IecFftPlans.h"
#include "iec/IecHarmonicAnalysis.h"
#include "iec/RuntimeArray.h"
#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;
using powergpu::float2;
using powergpu::iec::MemorySide;
using powergpu::iec::RuntimeArray;

// Bins 0..N/2 of the N-point DFT in double, the twiddles from an exact
// index k n mod N.
std::vector<Complex> directDft(const std::vector<float>& row) {
    const int n = static_cast<int>(row.size());
    std::vector<Complex> twiddle(n);
    for (int m = 0; m < n; ++m) {
        twiddle[m] = std::polar(1.0, -kTwoPi * m / n);
    }
    std::vector<Complex> bins(n / 2 + 1);
    for (int k = 0; k <= n / 2; ++k) {
        Complex sum;
        for (int i = 0; i < n; ++i) {
            sum += static_cast<double>(row[i]) * twiddle[(static_cast<long long>(k) * i) % n];
        }
        bins[k] = sum;
    }
    return bins;
}

struct Tone {
    double frequency;
    double rms;
    double phase;  // radians
};

class ChirpTransform : public BackendTest {};

// A random row and a 230 V tone with a 4 % 5th harmonic, not on a bin, at
// prime lengths and twice a prime, through the runtime's kernels and FFTs.
// Tolerance 1e-5 of the row's largest bin: the samples, chirp and FFTs are
// single precision (6e-8 relative per rounding, a few dozen roundings deep
// through two 4096-point transforms), so errors of a few 1e-7 of the
// largest bin are expected; a wrong chirp sign, index or scale gives errors
// of the order of the bins themselves.
TEST_P(ChirpTransform, SpectraOfAwkwardLengthsMatchADirectDft) {
    const std::unique_ptr<powergpu::Runtime> runtime =
        powergpu::createRuntime(static_cast<powergpu::Backend>(GetParam()));
    powergpu::iec::IecFftPlans plans(*runtime);
    std::mt19937 random(20261206u);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    constexpr int kRows = 2;
    for (const int length : {1999, 2003, 2 * 1009}) {
        ASSERT_TRUE(powergpu::iec::usesChirpTransform(length)) << length;
        const int bins = length / 2 + 1;
        const int padded = powergpu::iec::chirpPaddedLength(length);
        EXPECT_EQ(padded, 4096);
        std::vector<float> samples(static_cast<std::size_t>(kRows) * length);
        for (int i = 0; i < length; ++i) {
            const double t = i / 10000.0;
            samples[i] = uniform(random);
            samples[length + i] = static_cast<float>(kSqrt2 * 230.0 * std::sin(kTwoPi * 50.3 * t + 0.4) +
                                                     kSqrt2 * 9.2 * std::sin(kTwoPi * 251.5 * t - 1.0));
        }
        RuntimeArray<float> input(*runtime, MemorySide::Device);
        RuntimeArray<float2> spectra(*runtime, MemorySide::Device);
        RuntimeArray<float2> areaA(*runtime, MemorySide::Device);
        RuntimeArray<float2> areaB(*runtime, MemorySide::Device);
        input.resize(samples.size());
        spectra.resize(static_cast<std::size_t>(kRows) * bins);
        areaA.resize(static_cast<std::size_t>(kRows) * padded);
        areaB.resize(static_cast<std::size_t>(kRows) * padded);
        ASSERT_EQ(runtime->memcpyAsync(input.data(), samples.data(), samples.size() * sizeof(float),
                                       powergpu::MemcpyKind::HostToDevice, nullptr),
                  0);
        powergpu::iec::enqueueChirpTransform(*runtime, plans, {areaA.data(), areaB.data()}, length, kRows, input.data(),
                                             spectra.data(), nullptr);
        std::vector<float2> result(spectra.size());
        ASSERT_EQ(runtime->memcpyAsync(result.data(), spectra.data(), result.size() * sizeof(float2),
                                       powergpu::MemcpyKind::DeviceToHost, nullptr),
                  0);
        ASSERT_EQ(runtime->deviceSynchronize(), 0);
        for (int row = 0; row < kRows; ++row) {
            const std::vector<Complex> expected =
                directDft(std::vector<float>(samples.begin() + row * length, samples.begin() + (row + 1) * length));
            double largest = 0.0;
            for (const Complex& bin : expected) {
                largest = std::max(largest, std::abs(bin));
            }
            for (int k = 0; k < bins; ++k) {
                const float2 got = result[static_cast<std::size_t>(row) * bins + k];
                ASSERT_LE(std::abs(Complex(got.x, got.y) - expected[k]), 1e-5 * largest)
                    << "length " << length << " row " << row << " bin " << k;
            }
        }
    }
}

// 230 V with a 4 % 5th harmonic over exactly ten periods: 1999 and 2003
// samples (50.025 and 49.925 Hz, chirp-z) against 2000 samples (50 Hz, the
// plain transform). Every subgroup, interharmonic subgroup and group agrees
// within 1 mV (4e-6 of the fundamental: single-precision rounding of both
// transforms, measured below 0.2 mV), THD within 1e-4 %. The call log shows
// which path ran.
TEST_P(ChirpTransform, GroupedValuesAtAnAwkwardLengthAgreeWithThePlainPath) {
    PowerModule module = recordedModule(GetParam());
    configure(module, 10000.0, 8000, [](PowerModule& m) {
        m.setVariableFrequency(45.0, 55.0);
        m.setCurrentEnabled(false);
        m.setIecHarmonicsEnabled(true);
    });
    uint64_t first = 0;
    const auto analyse = [&](uint32_t length, std::size_t& complexTransforms) {
        const double frequency = 10.0 * 10000.0 / length;
        const std::vector<Tone> voltage{{frequency, 230.0, 0.3}, {5.0 * frequency, 9.2, -0.8}};
        ModuleFeeder feeder(module, [voltage](char, int, double t) {
            double value = 0.0;
            for (const Tone& tone : voltage) {
                value += kSqrt2 * tone.rms * std::sin(kTwoPi * tone.frequency * t + tone.phase);
            }
            return value;
        });
        feeder.restartAt(first);
        feeder.writeUpTo(first + length);
        recordingRuntime(module).clearCallLog();
        recordingRuntime(module).setCallLogging(true);
        module.scheduleForCalculation(first, length, frequency);
        module.sync();
        complexTransforms = callsOf(recordingRuntime(module).callLog(), powergpu::RuntimeCall::FftExecC2C).size();
        first += length;
        EXPECT_EQ(module.getResults(0).size(), 1u);
        const std::vector<PowerIecHarmonics> records = module.getIecHarmonics(1);
        return records.empty() ? PowerIecHarmonicChannel{} : records[0].channels[0];
    };
    std::size_t plainTransforms = 0;
    const PowerIecHarmonicChannel smooth = analyse(2000, plainTransforms);
    EXPECT_EQ(plainTransforms, 0u);
    EXPECT_NEAR(smooth.subgroup[1], 230.0, 5e-3);
    EXPECT_NEAR(smooth.subgroup[5], 9.2, 5e-3);
    for (const uint32_t length : {1999u, 2003u}) {
        std::size_t chirpTransforms = 0;
        const PowerIecHarmonicChannel awkward = analyse(length, chirpTransforms);
        EXPECT_GE(chirpTransforms, 2u) << length;
        for (int h = 0; h < POWER_IEC_ORDER_COUNT; ++h) {
            EXPECT_NEAR(awkward.subgroup[h], smooth.subgroup[h], 1e-3) << length << " order " << h;
            EXPECT_NEAR(awkward.interharmonic[h], smooth.interharmonic[h], 1e-3) << length << " order " << h;
            EXPECT_NEAR(awkward.group[h], smooth.group[h], 1e-3) << length << " order " << h;
        }
        EXPECT_NEAR(awkward.thds, smooth.thds, 1e-4) << length;
        EXPECT_NEAR(awkward.thdg, smooth.thdg, 1e-4) << length;
    }
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(ChirpTransform);

// A failed transform while a length's chirp tables are made (the filter's
// spectrum, the first complex transform) fails that window and keeps no
// half-made tables: the next window of the length makes them again and
// reads 230 V and the 4 % 5th harmonic within 1 mV.
TEST(ChirpTransformFaults, AFailedFilterTransformKeepsNoTables) {
    powergpu::RecordingRuntime runtime(std::make_shared<powergpu::CpuRuntime>());
    constexpr uint32_t kLength = 1999;
    constexpr uint64_t kRing = 4 * kLength;
    const double frequency = 10.0 * 10000.0 / kLength;
    std::vector<float> ring(kRing);
    for (uint64_t i = 0; i < kRing; ++i) {
        const double t = static_cast<double>(i) / 10000.0;
        ring[i] = static_cast<float>(kSqrt2 * 230.0 * std::sin(kTwoPi * frequency * t) +
                                     kSqrt2 * 9.2 * std::sin(kTwoPi * 5.0 * frequency * t));
    }
    powergpu::iec::IecHarmonicAnalysis analysis(runtime);
    powergpu::iec::IecHarmonicSettings settings;
    settings.enabled = true;
    analysis.configure(settings, 1, 0, 2400, 2);
    powergpu::iec::IecWindow window;
    window.length = kLength;
    window.frequency = frequency;
    window.sampleRate = 10000.0;
    window.ringLength = kRing;
    window.rings[0] = ring.data();
    runtime.injectFault(powergpu::RuntimeCall::FftExecC2C, powergpu::kFftExecFailed);
    EXPECT_THROW(analysis.enqueue(window), GpuException);
    analysis.deliver(window.calculationIndex);
    EXPECT_EQ(analysis.waiting(), 0u);

    window.calculationIndex = 1;
    analysis.enqueue(window);
    analysis.deliver(window.calculationIndex);
    PowerIecHarmonics record{};
    ASSERT_EQ(analysis.take(1, &record), 1u);
    EXPECT_NEAR(record.channels[0].subgroup[1], 230.0, 1e-3);
    EXPECT_NEAR(record.channels[0].subgroup[5], 9.2, 1e-3);
    EXPECT_NEAR(record.channels[0].subgroup[3], 0.0, 1e-3);
}

}  // namespace
