// CPU waveform derivation kernels: derived channels at the right ring
// positions, FFT rows in window order, Clarke and Park transforms of
// balanced three-phase sets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "kernel_test_signals.h"
#include "kernels/cpu/CpuKernels.h"

namespace powergpu {
namespace {

using kernel_test::kPi;
using kernel_test::rowsLaunch;

constexpr float kUntouched = -777.0f;

// Ring position of window sample i.
int positionOf(int i, int offset, int ringLength) {
    return (i + offset) % ringLength;
}

// A window of n samples starting at `offset` of a ring of ringLength
// samples per channel; the window wraps the ring end when offset + n >
// ringLength.
struct RingWindow {
    int ringLength;
    int offset;
    int n;
    int fftLength;

    bool covers(int j) const {
        for (int i = 0; i < n; ++i) {
            if (positionOf(i, offset, ringLength) == j) {
                return true;
            }
        }
        return false;
    }
    std::size_t at(int channel, int j) const { return static_cast<std::size_t>(channel) * ringLength + j; }
    std::size_t row(int channel, int i) const { return static_cast<std::size_t>(channel) * fftLength + i; }
};

// Expected FFT input value of a sample: scaled and Blackman-windowed.
double windowed(float sample, int i, int n, float scale) {
    return static_cast<double>(scale) * kernel_test::textbookBlackman(i, n) * sample;
}

void expectWindowedRow(const std::vector<float>& rows, const RingWindow& w, int channel,
                       const std::vector<float>& expectedSamples, float scale) {
    for (int i = 0; i < w.n; ++i) {
        const float sample = expectedSamples[static_cast<std::size_t>(i)];
        EXPECT_NEAR(rows[w.row(channel, i)], windowed(sample, i, w.n, scale), 1e-6 * scale * std::fabs(sample) + 1e-9)
            << "row " << channel << " sample " << i;
    }
    for (int i = w.n; i < w.fftLength; ++i) {
        EXPECT_EQ(rows[w.row(channel, i)], kUntouched) << "zero padding of row " << channel << " written at " << i;
    }
}

// --- Star: line-to-line voltages from phase voltages -------------------------

class StarWaveforms : public ::testing::Test {
protected:
    // Ring of 64 samples per phase; the window of 20 samples starts at 56 and
    // wraps to 0..11.
    const RingWindow window{64, 56, 20, 32};
    const float scale = kernel_test::fftScaleFor(20, 32);
    cpu::CpuKernelContext context;
    std::vector<float> phases = std::vector<float>(3 * 64);
    std::vector<float> lines = std::vector<float>(3 * 64, kUntouched);
    std::vector<float> phaseRows = std::vector<float>(3 * 32, kUntouched);
    std::vector<float> lineRows = std::vector<float>(3 * 32, kUntouched);

    void SetUp() override {
        // Phase c at ring position j holds (c + 1)(j + 1): the differences are
        // exact and differ at every position.
        for (int c = 0; c < 3; ++c) {
            for (int j = 0; j < 64; ++j) {
                phases[window.at(c, j)] = static_cast<float>((c + 1) * (j + 1));
            }
        }
    }

    void run(int phaseCount, bool store, bool windowLines) {
        cpu::kernelWaveformsUStar(context, rowsLaunch(phaseCount), window.n, window.offset, window.ringLength,
                                  window.fftLength, scale, store, windowLines, phases.data(), lines.data(),
                                  phaseRows.data(), lineRows.data());
    }

    std::vector<float> windowSamples(const std::vector<float>& ring, int channel) const {
        std::vector<float> samples;
        for (int i = 0; i < window.n; ++i) {
            samples.push_back(ring[window.at(channel, positionOf(i, window.offset, window.ringLength))]);
        }
        return samples;
    }
};

TEST_F(StarWaveforms, LineToLineVoltagesLandAtTheWindowRingPositions) {
    run(3, true, true);
    // U12 = U1 - U2 = -(j + 1), U23 = -(j + 1), U31 = U3 - U1 = 2(j + 1).
    const float factors[3] = {-1.0f, -1.0f, 2.0f};
    for (int c = 0; c < 3; ++c) {
        for (int j = 0; j < window.ringLength; ++j) {
            const float expected = window.covers(j) ? factors[c] * static_cast<float>(j + 1) : kUntouched;
            EXPECT_EQ(lines[window.at(c, j)], expected) << "line " << c << " position " << j;
        }
    }
}

TEST_F(StarWaveforms, FftRowsHoldTheWindowedSamplesInWindowOrder) {
    run(3, true, true);
    for (int c = 0; c < 3; ++c) {
        expectWindowedRow(phaseRows, window, c, windowSamples(phases, c), scale);
        expectWindowedRow(lineRows, window, c, windowSamples(lines, c), scale);
    }
    // The first windowed sample is about 0 (the window starts at 0).
    EXPECT_NEAR(phaseRows[window.row(2, 0)], 0.0f, 1e-6f * scale * phases[window.at(2, 56)]);
}

TEST_F(StarWaveforms, StoringAndWindowingLineToLineAreIndependent) {
    run(3, false, true);
    for (const float value : lines) {
        EXPECT_EQ(value, kUntouched);
    }
    std::vector<float> expected(static_cast<std::size_t>(window.n));
    for (int i = 0; i < window.n; ++i) {
        expected[static_cast<std::size_t>(i)] =
            -static_cast<float>(positionOf(i, window.offset, window.ringLength) + 1);  // U12
    }
    expectWindowedRow(lineRows, window, 0, expected, scale);

    lineRows.assign(lineRows.size(), kUntouched);
    run(3, true, false);
    EXPECT_EQ(lines[window.at(0, 56)], -57.0f);
    for (const float value : lineRows) {
        EXPECT_EQ(value, kUntouched);
    }
}

TEST_F(StarWaveforms, FewerPhasesGiveFewerPairs) {
    run(1, true, true);  // one phase: no pair at all
    for (const float value : lines) {
        EXPECT_EQ(value, kUntouched);
    }
    expectWindowedRow(phaseRows, window, 0, windowSamples(phases, 0), scale);

    run(2, true, true);  // two phases: U12 only
    EXPECT_EQ(lines[window.at(0, 0)], -1.0f);
    EXPECT_EQ(lines[window.at(1, 0)], kUntouched);
    EXPECT_EQ(lineRows[window.row(1, 5)], kUntouched);
}

TEST_F(StarWaveforms, EmptyWindowWritesNothing) {
    cpu::kernelWaveformsUStar(context, rowsLaunch(3), 0, window.offset, window.ringLength, window.fftLength, scale,
                              true, true, phases.data(), lines.data(), phaseRows.data(), lineRows.data());
    for (const float value : phaseRows) {
        EXPECT_EQ(value, kUntouched);
    }
    for (const float value : lines) {
        EXPECT_EQ(value, kUntouched);
    }
}

// --- Delta: phase voltages from line-to-line voltages --------------------------

class DeltaWaveforms : public ::testing::Test {
protected:
    const RingWindow window{256, 200, 128, 128};  // wraps at 256
    const float scale = kernel_test::fftScaleFor(128, 128);
    const double amplitude = 325.0;
    cpu::CpuKernelContext context;
    std::vector<float> phases = std::vector<float>(3 * 256, kUntouched);
    std::vector<float> lines = std::vector<float>(3 * 256, kUntouched);
    std::vector<float> phaseRows = std::vector<float>(3 * 128, kUntouched);
    std::vector<float> lineRows = std::vector<float>(3 * 128, kUntouched);

    // Balanced star voltage of phase c at ring position j, plus a common
    // (zero-sequence) part that line-to-line voltages cannot carry.
    double starVoltage(int c, int j, double common) const {
        return amplitude * std::sin(2.0 * kPi * j / 64.0 - c * 2.0 * kPi / 3.0) + common;
    }

    void fillLines(int measured, double common) {
        for (int j = 0; j < window.ringLength; ++j) {
            for (int c = 0; c < measured; ++c) {
                lines[window.at(c, j)] =
                    static_cast<float>(starVoltage(c, j, common) - starVoltage((c + 1) % 3, j, common));
            }
        }
    }

    void run(int measured, bool windowLines) {
        cpu::kernelWaveformsUDelta(context, rowsLaunch(3), measured, window.n, window.offset, window.ringLength,
                                   window.fftLength, scale, windowLines, phases.data(), lines.data(), phaseRows.data(),
                                   lineRows.data());
    }
};

TEST_F(DeltaWaveforms, TwoMeasuredLinesGiveTheThirdAndBalancedPhases) {
    fillLines(2, 0.0);
    run(2, true);
    for (int i = 0; i < window.n; ++i) {
        const int j = positionOf(i, window.offset, window.ringLength);
        // U31 = -(U12 + U23) is stored into the third line-to-line channel.
        EXPECT_EQ(lines[window.at(2, j)], -(lines[window.at(1, j)] + lines[window.at(0, j)]));
        EXPECT_NEAR(lines[window.at(2, j)], starVoltage(2, j, 0.0) - starVoltage(0, j, 0.0), 1e-4 * amplitude);
        double sum = 0.0;
        for (int c = 0; c < 3; ++c) {
            // Against the artificial star point a balanced set is recovered.
            EXPECT_NEAR(phases[window.at(c, j)], starVoltage(c, j, 0.0), 1e-5 * amplitude) << "c " << c << " j " << j;
            sum += phases[window.at(c, j)];
            EXPECT_NEAR(phaseRows[window.row(c, i)], windowed(phases[window.at(c, j)], i, window.n, scale),
                        1e-6 * scale * amplitude);
            EXPECT_NEAR(lineRows[window.row(c, i)], windowed(lines[window.at(c, j)], i, window.n, scale),
                        1e-6 * scale * 2.0 * amplitude);
        }
        EXPECT_NEAR(sum, 0.0, 1e-5 * amplitude);
    }
    // Ring positions outside the window stay as they were.
    EXPECT_EQ(phases[window.at(0, 100)], kUntouched);
    EXPECT_EQ(lines[window.at(2, 100)], kUntouched);
}

TEST_F(DeltaWaveforms, ThreeMeasuredLinesLoseOnlyTheCommonPart) {
    fillLines(3, 40.0);
    run(3, false);
    for (int i = 0; i < window.n; ++i) {
        const int j = positionOf(i, window.offset, window.ringLength);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(phases[window.at(c, j)], starVoltage(c, j, 0.0), 1e-5 * amplitude);
        }
    }
    for (const float value : lineRows) {
        EXPECT_EQ(value, kUntouched);
    }
}

// --- Currents ----------------------------------------------------------------

TEST(CurrentWaveforms, WindowedCurrentsAndTheDerivedThirdCurrent) {
    const RingWindow window{100, 90, 50, 64};
    const float scale = kernel_test::fftScaleFor(50, 64);
    const double amplitude = 16.0;
    auto current = [&](int c, int j) { return amplitude * std::cos(2.0 * kPi * j / 25.0 - c * 2.0 * kPi / 3.0); };
    std::vector<float> ring(3 * 100, kUntouched);
    for (int j = 0; j < 100; ++j) {
        ring[window.at(0, j)] = static_cast<float>(current(0, j));
        ring[window.at(1, j)] = static_cast<float>(current(1, j));
    }
    std::vector<float> rows(3 * 64, kUntouched);
    cpu::CpuKernelContext context;
    cpu::kernelWaveformsI(context, rowsLaunch(2), window.n, window.offset, window.ringLength, window.fftLength, scale,
                          ring.data(), rows.data());
    cpu::kernelWaveformsI3(context, rowsLaunch(1), window.n, window.offset, window.ringLength, window.fftLength, scale,
                           ring.data(), rows.data());
    for (int i = 0; i < window.n; ++i) {
        const int j = positionOf(i, window.offset, window.ringLength);
        EXPECT_NEAR(ring[window.at(2, j)], current(2, j), 1e-5 * amplitude) << "I3 at " << j;
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(rows[window.row(c, i)], windowed(ring[window.at(c, j)], i, window.n, scale),
                        1e-6 * scale * amplitude);
        }
    }
    EXPECT_EQ(ring[window.at(2, 50)], kUntouched);   // outside the window
    EXPECT_EQ(rows[window.row(2, 50)], kUntouched);  // zero padding
}

// --- Clarke and Park -----------------------------------------------------------

// Three-phase sets on a ring: group 0 (channels 0..2) voltages, group 1
// (channels 3..5) currents, each balanced with its own amplitude and phase
// relative to an electrical angle theta(j).
class TransformWaveforms : public ::testing::Test {
protected:
    static constexpr int kRing = 128;
    const RingWindow window{kRing, 100, 64, 64};
    const double amplitudes[2] = {325.0, 12.0};
    const double phaseOffsets[2] = {0.4, -0.9};
    const int polePairs = 2;
    const double offsetDegrees = 30.0;
    std::vector<float> ring = std::vector<float>(6 * kRing);
    std::vector<float> angle = std::vector<float>(kRing);

    double electrical(int j) const { return polePairs * static_cast<double>(angle[j]) - offsetDegrees * kPi / 180.0; }

    void SetUp() override {
        for (int j = 0; j < kRing; ++j) {
            angle[j] = static_cast<float>(0.037 * j);  // mechanical angle, radians
            for (int g = 0; g < 2; ++g) {
                for (int k = 0; k < 3; ++k) {
                    ring[window.at(3 * g + k, j)] = static_cast<float>(
                        amplitudes[g] * std::cos(electrical(j) + phaseOffsets[g] - k * 2.0 * kPi / 3.0));
                }
            }
        }
    }
};

TEST_F(TransformWaveforms, ClarkeOfBalancedSetsAtTheWindowPositions) {
    std::vector<float> clarke(6 * kRing, kUntouched);
    cpu::kernelWaveformsClarke(rowsLaunch(2), window.n, window.offset, window.ringLength, ring.data(), clarke.data());
    for (int j = 0; j < kRing; ++j) {
        for (int g = 0; g < 2; ++g) {
            if (!window.covers(j)) {
                EXPECT_EQ(clarke[window.at(3 * g, j)], kUntouched);
                continue;
            }
            const double theta = electrical(j) + phaseOffsets[g];
            const double tolerance = 1e-5 * amplitudes[g];
            EXPECT_NEAR(clarke[window.at(3 * g, j)], amplitudes[g] * std::cos(theta), tolerance);
            EXPECT_NEAR(clarke[window.at(3 * g + 1, j)], amplitudes[g] * std::sin(theta), tolerance);
            EXPECT_NEAR(clarke[window.at(3 * g + 2, j)], 0.0, tolerance);
        }
    }
}

TEST_F(TransformWaveforms, ClarkeZeroComponentOfACommonSignal) {
    std::vector<float> common(3 * kRing, 7.5f);
    std::vector<float> clarke(3 * kRing, kUntouched);
    cpu::kernelWaveformsClarke(rowsLaunch(1), 4, 0, kRing, common.data(), clarke.data());
    EXPECT_EQ(clarke[0], 0.0f);
    EXPECT_EQ(clarke[kRing], 0.0f);
    EXPECT_EQ(clarke[2 * kRing], 7.5f);
    EXPECT_EQ(clarke[4], kUntouched);
}

TEST_F(TransformWaveforms, ParkOfBalancedSetsIsConstantAndAveraged) {
    std::vector<float> park(6 * kRing, kUntouched);
    std::vector<double> averages(6, -1.0);
    averages[0] = averages[1] = averages[3] = averages[4] = 0.0;  // zeroed by the caller
    cpu::kernelWaveformsPark(rowsLaunch(2), window.n, window.offset, window.ringLength, polePairs, offsetDegrees,
                             ring.data(), angle.data(), park.data(), averages.data());
    for (int g = 0; g < 2; ++g) {
        const double d = amplitudes[g] * std::cos(phaseOffsets[g]);
        const double q = amplitudes[g] * std::sin(phaseOffsets[g]);
        const double tolerance = 1e-5 * amplitudes[g];
        for (int i = 0; i < window.n; ++i) {
            const int j = positionOf(i, window.offset, window.ringLength);
            EXPECT_NEAR(park[window.at(3 * g, j)], d, tolerance) << "group " << g << " position " << j;
            EXPECT_NEAR(park[window.at(3 * g + 1, j)], q, tolerance);
            EXPECT_EQ(park[window.at(3 * g + 2, j)], kUntouched);  // the third row is not written
        }
        EXPECT_NEAR(averages[3 * g], d, tolerance);
        EXPECT_NEAR(averages[3 * g + 1], q, tolerance);
        EXPECT_EQ(averages[3 * g + 2], -1.0);
    }
    EXPECT_EQ(park[window.at(0, 50)], kUntouched);  // outside the window
}

TEST_F(TransformWaveforms, ParkAveragesWithoutWaveformsAndEmptyWindow) {
    std::vector<double> averages(3, 0.0);
    cpu::kernelWaveformsPark(rowsLaunch(1), window.n, window.offset, window.ringLength, polePairs, offsetDegrees,
                             ring.data(), angle.data(), nullptr, averages.data());
    EXPECT_NEAR(averages[0], amplitudes[0] * std::cos(phaseOffsets[0]), 1e-5 * amplitudes[0]);
    EXPECT_NEAR(averages[1], amplitudes[0] * std::sin(phaseOffsets[0]), 1e-5 * amplitudes[0]);

    std::vector<double> untouched(3, 0.0);
    cpu::kernelWaveformsPark(rowsLaunch(1), 0, window.offset, window.ringLength, polePairs, offsetDegrees, ring.data(),
                             angle.data(), nullptr, untouched.data());
    EXPECT_EQ(untouched[0], 0.0);
    EXPECT_EQ(untouched[1], 0.0);
}

}  // namespace
}  // namespace powergpu
