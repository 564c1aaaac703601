// CPU RMS, spectral RMS and reference-angle kernels: sums of sines over
// whole cycles, Parseval sums of windowed and transformed rows, and the
// phase of the fundamental.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "kernel_test_signals.h"
#include "kernels/cpu/CpuKernels.h"

namespace powergpu {
namespace {

using kernel_test::kPi;
using kernel_test::rowsLaunch;
using kernel_test::sineAt;

std::unique_ptr<PowerResultsGeneral> zeroedRecord() {
    auto record = std::make_unique<PowerResultsGeneral>();
    std::memset(record.get(), 0, sizeof(PowerResultsGeneral));
    return record;
}

float2 bin(float x, float y) {
    float2 value;
    value.x = x;
    value.y = y;
    return value;
}

// Three phases of sines with 7 whole cycles in the 1000-sample window,
// stored in a 1500-sample ring from position 1200 on (the window wraps).
class TimeDomainSums : public ::testing::Test {
protected:
    static constexpr int kRing = 1500;
    static constexpr int kOffset = 1200;
    static constexpr int kN = 1000;
    static constexpr double kCycles = 7.0;
    const double voltageAmplitude[3] = {325.0, 320.0, 330.0};
    const double currentAmplitude[3] = {10.0, 12.0, 8.0};
    const double lagDegrees[3] = {30.0, -45.0, 0.0};
    std::vector<float> voltages = std::vector<float>(3 * kRing, 1e6f);
    std::vector<float> currents = std::vector<float>(3 * kRing, 1e6f);

    void SetUp() override {
        for (int i = 0; i < kN; ++i) {
            const int j = (i + kOffset) % kRing;
            for (int c = 0; c < 3; ++c) {
                voltages[c * kRing + j] = static_cast<float>(sineAt(voltageAmplitude[c], kCycles, kN, 20.0, i));
                currents[c * kRing + j] =
                    static_cast<float>(sineAt(currentAmplitude[c], kCycles, kN, 20.0 - lagDegrees[c], i));
            }
        }
    }
};

TEST_F(TimeDomainSums, RectifiedMeanAndMeanSquareOfSines) {
    auto record = zeroedRecord();
    cpu::kernelRmsU(rowsLaunch(3), kN, kOffset, kRing, voltages.data(), record.get());
    for (int c = 0; c < 3; ++c) {
        const double a = voltageAmplitude[c];
        EXPECT_NEAR(record->channels[c].meanAbsU / kN, 2.0 * a / kPi, 1e-4 * a) << "phase " << c;
        EXPECT_NEAR(record->channels[c].rmsU / kN, a * a / 2.0, 1e-6 * a * a) << "phase " << c;
        EXPECT_EQ(record->channels[c].meanAbsI, 0.0);
    }
    EXPECT_EQ(record->channels[3].rmsU, 0.0);  // rows beyond the launch stay zero
}

// Every accumulator field of the first three channel blocks.
std::vector<double> accumulatorFields(const PowerResultsGeneral& record) {
    std::vector<double> fields;
    for (int c = 0; c < 3; ++c) {
        const PowerResultsChannel& ch = record.channels[c];
        for (const double value : {ch.meanAbsU, ch.meanAbsI, ch.meanAbsUL, ch.rmsU, ch.rmsI, ch.rmsUL, ch.p, ch.rmsFftU,
                                   ch.rmsFftI, ch.rmsFftUL, ch.pFft, ch.nonActivePower}) {
            fields.push_back(value);
        }
    }
    return fields;
}

// Like the atomic additions of the CUDA kernels, every kernel adds its sums
// to the record: running it twice doubles every field it touches.
void expectTwiceDoubles(const std::function<void(PowerResultsGeneral*)>& kernel) {
    auto once = zeroedRecord();
    kernel(once.get());
    auto twice = zeroedRecord();
    kernel(twice.get());
    kernel(twice.get());
    const std::vector<double> single = accumulatorFields(*once);
    const std::vector<double> doubled = accumulatorFields(*twice);
    for (std::size_t k = 0; k < single.size(); ++k) {
        EXPECT_DOUBLE_EQ(doubled[k], 2.0 * single[k]) << "field " << k;
    }
}

TEST_F(TimeDomainSums, SumsAddToTheRecord) {
    expectTwiceDoubles(
        [&](PowerResultsGeneral* r) { cpu::kernelRmsU(rowsLaunch(3), kN, kOffset, kRing, voltages.data(), r); });
    expectTwiceDoubles(
        [&](PowerResultsGeneral* r) { cpu::kernelRmsUL(rowsLaunch(3), kN, kOffset, kRing, voltages.data(), r); });
    expectTwiceDoubles([&](PowerResultsGeneral* r) {
        cpu::kernelRmsUI(rowsLaunch(3), kN, kOffset, kRing, voltages.data(), currents.data(), r);
    });
    auto record = zeroedRecord();
    cpu::kernelRmsUL(rowsLaunch(3), kN, kOffset, kRing, voltages.data(), record.get());
    for (int c = 0; c < 3; ++c) {
        const double a = voltageAmplitude[c];
        EXPECT_NEAR(record->channels[c].rmsUL / kN, a * a / 2.0, 1e-6 * a * a);
        EXPECT_NEAR(record->channels[c].meanAbsUL / kN, 2.0 * a / kPi, 1e-4 * a);
        EXPECT_EQ(record->channels[c].rmsU, 0.0);
    }
}

TEST_F(TimeDomainSums, ActivePowerFollowsTheDisplacementAngle) {
    auto record = zeroedRecord();
    cpu::kernelRmsUI(rowsLaunch(3), kN, kOffset, kRing, voltages.data(), currents.data(), record.get());
    for (int c = 0; c < 3; ++c) {
        const double u = voltageAmplitude[c];
        const double i = currentAmplitude[c];
        const PowerResultsChannel& channel = record->channels[c];
        EXPECT_NEAR(channel.meanAbsU / kN, 2.0 * u / kPi, 1e-4 * u);
        EXPECT_NEAR(channel.meanAbsI / kN, 2.0 * i / kPi, 1e-4 * i);
        EXPECT_NEAR(channel.rmsU / kN, u * u / 2.0, 1e-6 * u * u);
        EXPECT_NEAR(channel.rmsI / kN, i * i / 2.0, 1e-6 * i * i);
        EXPECT_NEAR(channel.p / kN, u * i / 2.0 * std::cos(lagDegrees[c] * kPi / 180.0), 1e-6 * u * i) << "phase " << c;
    }
}

TEST(TimeDomainSumsEdges, ShortAndEmptyWindows) {
    const std::vector<float> ring = {1.0f, -2.0f, 3.0f, -4.0f, 5.0f};
    auto record = zeroedRecord();
    // Three samples from position 3: 4, 5 and (wrapped) 1.
    cpu::kernelRmsU(rowsLaunch(1), 3, 3, 5, ring.data(), record.get());
    EXPECT_EQ(record->channels[0].meanAbsU, 10.0);
    EXPECT_EQ(record->channels[0].rmsU, 42.0);
    auto empty = zeroedRecord();
    cpu::kernelRmsU(rowsLaunch(1), 0, 3, 5, ring.data(), empty.get());
    EXPECT_EQ(empty->channels[0].rmsU, 0.0);
}

// --- Spectral sums ---------------------------------------------------------------

// Voltages, currents and line-to-line voltages windowed by the waveform
// kernels into zero-padded rows and transformed like the pipeline does.
class SpectralSums : public ::testing::Test {
protected:
    static constexpr int kN = 1000;
    static constexpr int kFft = 1024;
    static constexpr int kBins = kFft / 2 + 1;
    static constexpr double kCycles = 37.0;
    const double voltageAmplitude[3] = {325.0, 300.0, 310.0};
    const double currentAmplitude[3] = {10.0, 5.0, 7.0};
    const double lagDegrees[3] = {30.0, -60.0, 10.0};
    const double phaseDegrees[3] = {15.0, -105.0, 135.0};
    std::vector<float2> spectrumU;
    std::vector<float2> spectrumI;
    std::vector<float2> spectrumUL;

    void SetUp() override {
        std::vector<float> voltages(3 * kN);
        std::vector<float> currents(3 * kN);
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < kN; ++i) {
                voltages[c * kN + i] =
                    static_cast<float>(sineAt(voltageAmplitude[c], kCycles, kN, phaseDegrees[c], i) + 0.1 * c);
                currents[c * kN + i] =
                    static_cast<float>(sineAt(currentAmplitude[c], kCycles, kN, phaseDegrees[c] - lagDegrees[c], i));
            }
        }
        std::vector<float> lines(3 * kN);
        std::vector<float> voltageRows(3 * kFft, 0.0f);
        std::vector<float> lineRows(3 * kFft, 0.0f);
        std::vector<float> currentRows(3 * kFft, 0.0f);
        cpu::CpuKernelContext context;
        const float scale = kernel_test::fftScaleFor(kN, kFft);
        cpu::kernelWaveformsUStar(context, rowsLaunch(3), kN, 0, kN, kFft, scale, true, true, voltages.data(),
                                  lines.data(), voltageRows.data(), lineRows.data());
        cpu::kernelWaveformsI(context, rowsLaunch(3), kN, 0, kN, kFft, scale, currents.data(), currentRows.data());
        spectrumU = kernel_test::realSpectra(voltageRows, 3, kFft);
        spectrumI = kernel_test::realSpectra(currentRows, 3, kFft);
        spectrumUL = kernel_test::realSpectra(lineRows, 3, kFft);
        meanSquareU.resize(3);
        meanSquareUL.resize(3);
        meanProduct.resize(3);
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < kN; ++i) {
                meanSquareU[c] += double(voltages[c * kN + i]) * voltages[c * kN + i] / kN;
                meanSquareUL[c] += double(lines[c * kN + i]) * lines[c * kN + i] / kN;
                meanProduct[c] += double(voltages[c * kN + i]) * currents[c * kN + i] / kN;
            }
        }
    }

    std::vector<double> meanSquareU;
    std::vector<double> meanSquareUL;
    std::vector<double> meanProduct;
};

TEST_F(SpectralSums, ParsevalSumsAreTheMeanSquares) {
    auto record = zeroedRecord();
    cpu::kernelFreqRms(rowsLaunch(3), kBins, spectrumU.data(), spectrumI.data(), spectrumUL.data(), record.get());
    for (int c = 0; c < 3; ++c) {
        const PowerResultsChannel& channel = record->channels[c];
        const double i = currentAmplitude[c];
        EXPECT_NEAR(channel.rmsFftU / meanSquareU[c], 1.0, 1e-4) << "phase " << c;
        EXPECT_NEAR(channel.rmsFftUL / meanSquareUL[c], 1.0, 1e-4) << "phase " << c;
        EXPECT_NEAR(channel.rmsFftI / (i * i / 2.0), 1.0, 1e-4) << "phase " << c;
        EXPECT_NEAR(channel.pFft / meanProduct[c], 1.0, 1e-4) << "phase " << c;
        // The reactive sum: U I sin(lag), positive when the current lags.
        const double q = voltageAmplitude[c] * i / 2.0 * std::sin(lagDegrees[c] * kPi / 180.0);
        EXPECT_NEAR(channel.nonActivePower, q, 1e-3 * voltageAmplitude[c] * i / 2.0) << "phase " << c;
    }
}

TEST_F(SpectralSums, SumsAddToTheRecord) {
    expectTwiceDoubles([&](PowerResultsGeneral* r) {
        cpu::kernelFreqRms(rowsLaunch(3), kBins, spectrumU.data(), spectrumI.data(), spectrumUL.data(), r);
    });
}

TEST_F(SpectralSums, MissingSpectraLeaveTheirFieldsAlone) {
    auto record = zeroedRecord();
    for (int c = 0; c < 3; ++c) {
        record->channels[c].rmsFftI = 123.0;
        record->channels[c].rmsFftUL = 123.0;
        record->channels[c].pFft = 123.0;
        record->channels[c].nonActivePower = 123.0;
    }
    cpu::kernelFreqRms(rowsLaunch(3), kBins, spectrumU.data(), nullptr, nullptr, record.get());
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(record->channels[c].rmsFftU / meanSquareU[c], 1.0, 1e-4);
        EXPECT_EQ(record->channels[c].rmsFftI, 123.0);
        EXPECT_EQ(record->channels[c].rmsFftUL, 123.0);
        EXPECT_EQ(record->channels[c].pFft, 123.0);
        EXPECT_EQ(record->channels[c].nonActivePower, 123.0);
    }
}

TEST(SpectralSumsEdges, FirstAndLastBinsCountHalf) {
    const std::vector<float2> single = {bin(2.0f, 0.0f)};
    auto record = zeroedRecord();
    cpu::kernelFreqRms(rowsLaunch(1), 1, single.data(), nullptr, nullptr, record.get());
    EXPECT_EQ(record->channels[0].rmsFftU, 2.0);  // 0.5 * 2^2

    const std::vector<float2> three = {bin(2.0f, 0.0f), bin(3.0f, 4.0f), bin(0.0f, 2.0f)};
    auto threeBins = zeroedRecord();
    cpu::kernelFreqRms(rowsLaunch(1), 3, three.data(), nullptr, nullptr, threeBins.get());
    EXPECT_EQ(threeBins->channels[0].rmsFftU, 2.0 + 25.0 + 2.0);
}

// --- Reference angle ----------------------------------------------------------------

TEST(ReferenceAngle, ZeroBinGives180) {
    const std::vector<float2> spectrum(8, bin(0.0f, 0.0f));
    double angle = 0.0;
    cpu::kernelReferenceAngle(rowsLaunch(1, 1, 1), 150.0, 50.0, 1.0, spectrum.data(), &angle);
    EXPECT_NEAR(angle, 180.0, 1e-5);  // -pi as a float, wrapped
}

TEST(ReferenceAngle, HalfBinSelectsTheUpperBin) {
    // frequency/dFrequency = 2.5 selects bin 3 with frac = -0.5.
    std::vector<float2> spectrum(8, bin(0.0f, 0.0f));
    spectrum[2] = bin(1.0f, 0.0f);
    spectrum[3] = bin(-0.0f, -1.0f);  // phi = 0
    double angle = 0.0;
    cpu::kernelReferenceAngle(rowsLaunch(1, 1, 1), 125.0, 50.0, 0.5, spectrum.data(), &angle);
    EXPECT_DOUBLE_EQ(angle, -45.0);  // -0.5 * 180 * 0.5
}

TEST(ReferenceAngle, PhaseOfAFundamentalBetweenBins) {
    // 10.3 bins of a 1024-point transform of an 800-sample window: the
    // fundamental lies between bins and the window is zero-padded.
    const int n = 800;
    const int fft = 1024;
    const double binsPerFundamental = 10.3;
    const double cycles = binsPerFundamental * n / fft;
    for (const double psi : {0.0, 50.0, -120.0, 179.0}) {
        std::vector<float> samples(n);
        for (int i = 0; i < n; ++i) {
            samples[i] = static_cast<float>(sineAt(100.0, cycles, n, psi, i));
        }
        std::vector<float> row(fft, 0.0f);
        std::vector<float> unused(fft, 0.0f);
        cpu::CpuKernelContext context;
        cpu::kernelWaveformsUStar(context, rowsLaunch(1), n, 0, n, fft, kernel_test::fftScaleFor(n, fft), false, false,
                                  samples.data(), nullptr, row.data(), unused.data());
        const std::vector<float2> spectrum = kernel_test::realSpectra(row, 1, fft);
        double angle = 0.0;
        cpu::kernelReferenceAngle(rowsLaunch(1, 1, 1), binsPerFundamental * 50.0, 50.0, double(n) / fft,
                                  spectrum.data(), &angle);
        EXPECT_NEAR(kernel_test::angleDifference(angle, -psi), 0.0, 0.02) << "psi = " << psi;
        EXPECT_GT(angle, -180.0);
        EXPECT_LE(angle, 180.0);
    }
}

}  // namespace
}  // namespace powergpu
