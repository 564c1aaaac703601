// CPU harmonic-table, per-order power and THD kernels: rms values and
// phases of harmonics of transformed signals, bin grouping on synthetic
// spectra, powers of lagging currents and the even/odd/triplen split.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kernel_test_signals.h"
#include "kernels/cpu/CpuKernels.h"

namespace powergpu {
namespace {

using kernel_test::kPi;
using kernel_test::rowsLaunch;
using kernel_test::sineAt;

constexpr float kUntouched = -777.0f;

float2 bin(float x, float y) {
    float2 value;
    value.x = x;
    value.y = y;
    return value;
}

// Harmonic tables of three rows, one launch of kernelHarmonics.
struct HarmonicTables {
    HarmonicTables(int rows, int harmonicCount)
        : magnitudes(rows * harmonicCount, kUntouched),
          interharmonics(rows * harmonicCount, kUntouched),
          phases(rows * harmonicCount, kUntouched) {}
    std::vector<float> magnitudes;
    std::vector<float> interharmonics;
    std::vector<float> phases;
};

// --- Harmonics of transformed signals --------------------------------------------

// 1024-sample windows with the fundamental on bin 16 (16 cycles): DC,
// fundamental, 5th harmonic and an interharmonic tone at 2.5 times the
// fundamental, with different phases per row.
class HarmonicsOfSignals : public ::testing::Test {
protected:
    static constexpr int kN = 1024;
    static constexpr int kBins = kN / 2 + 1;
    static constexpr double kBinsPerFundamental = 16.0;
    static constexpr int kHalfWidth = 5;  // nearest integer to 0.3 * 16
    static constexpr int kOrders = 33;    // groups and interharmonics cover bins 0..512
    const double dc[3] = {5.0, -3.0, 0.0};
    const double fundamental[3] = {230.0, 200.0, 10.0};
    const double fundamentalPhase[3] = {20.0, -100.0, 75.0};
    const double fifth[3] = {12.0, 8.0, 2.0};
    const double fifthPhase[3] = {-40.0, 160.0, 5.0};
    const double interharmonic[3] = {3.0, 0.0, 1.0};
    std::vector<float2> spectra;
    double meanSquare[3] = {0.0, 0.0, 0.0};

    void SetUp() override {
        std::vector<float> samples(3 * kN);
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < kN; ++i) {
                const double value = dc[c] + sineAt(fundamental[c], 16.0, kN, fundamentalPhase[c], i) +
                                     sineAt(fifth[c], 80.0, kN, fifthPhase[c], i) +
                                     sineAt(interharmonic[c], 40.0, kN, 0.0, i);
                samples[c * kN + i] = static_cast<float>(value);
                meanSquare[c] += value * value / kN;
            }
        }
        std::vector<float> rows(3 * kN, 0.0f);
        std::vector<float> unused(3 * kN, 0.0f);
        cpu::CpuKernelContext context;
        cpu::kernelWaveformsUStar(context, rowsLaunch(3), kN, 0, kN, kN, kernel_test::fftScaleFor(kN, kN), false, false,
                                  samples.data(), nullptr, rows.data(), unused.data());
        spectra = kernel_test::realSpectra(rows, 3, kN);
    }

    HarmonicTables run(double referenceAngle) const {
        HarmonicTables tables(3, kOrders);
        cpu::kernelHarmonics(rowsLaunch(3, 2), kBins, kOrders, kHalfWidth, 0, true, 50.0 * kBinsPerFundamental, 50.0,
                             1.0, &referenceAngle, spectra.data(), tables.magnitudes.data(),
                             tables.interharmonics.data(), tables.phases.data());
        return tables;
    }
};

TEST_F(HarmonicsOfSignals, MagnitudesAreTheRmsValuesPerOrder) {
    const HarmonicTables tables = run(0.0);
    for (int c = 0; c < 3; ++c) {
        const float* magnitudes = &tables.magnitudes[c * kOrders];
        const double tolerance = 1e-5 * fundamental[c];
        EXPECT_NEAR(magnitudes[0], std::fabs(dc[c]), tolerance) << "row " << c;
        EXPECT_NEAR(magnitudes[1], fundamental[c] / std::sqrt(2.0), tolerance) << "row " << c;
        EXPECT_NEAR(magnitudes[5], fifth[c] / std::sqrt(2.0), tolerance) << "row " << c;
        for (const int order : {2, 3, 4, 6, 7, 20, 32}) {
            EXPECT_NEAR(magnitudes[order], 0.0, tolerance) << "row " << c << " order " << order;
        }
        // The tone at 2.5 times the fundamental (bin 40) lies in the group
        // between orders 2 and 3 (bins 38..42).
        EXPECT_NEAR(tables.interharmonics[c * kOrders + 2], interharmonic[c] / std::sqrt(2.0), tolerance);
        EXPECT_NEAR(tables.interharmonics[c * kOrders + 1], 0.0, tolerance);
        EXPECT_NEAR(tables.interharmonics[c * kOrders + 3], 0.0, tolerance);
    }
}

TEST_F(HarmonicsOfSignals, HarmonicAndInterharmonicGroupsPartitionTheEnergy) {
    const HarmonicTables tables = run(0.0);
    for (int c = 0; c < 3; ++c) {
        double sum = 0.0;
        for (int h = 0; h < kOrders; ++h) {
            const double magnitude = tables.magnitudes[c * kOrders + h];
            sum += magnitude * magnitude;
            const double inter = tables.interharmonics[c * kOrders + h];
            if (inter != kUntouched) {
                sum += inter * inter;
            }
        }
        EXPECT_NEAR(sum / meanSquare[c], 1.0, 1e-4) << "row " << c;
    }
}

TEST_F(HarmonicsOfSignals, AnglesAreRelativeToOrderTimesTheReference) {
    // The reference angle of row 0's fundamental, as kernelReferenceAngle
    // measures it: the negated sine phase.
    double reference = 0.0;
    cpu::kernelReferenceAngle(rowsLaunch(1, 1, 1), 50.0 * kBinsPerFundamental, 50.0, 1.0, spectra.data(), &reference);
    EXPECT_NEAR(kernel_test::angleDifference(reference, -fundamentalPhase[0]), 0.0, 1e-3);

    const HarmonicTables tables = run(reference);
    for (int c = 0; c < 3; ++c) {
        const float* phases = &tables.phases[c * kOrders];
        EXPECT_EQ(phases[0], 0.0f);
        // Order h: -psi_h - h * (-psi_ref).
        const double expectedFirst = fundamentalPhase[0] - fundamentalPhase[c];
        const double expectedFifth = 5.0 * fundamentalPhase[0] - fifthPhase[c];
        EXPECT_NEAR(kernel_test::angleDifference(phases[1], expectedFirst), 0.0, 1e-3) << "row " << c;
        EXPECT_NEAR(kernel_test::angleDifference(phases[5], expectedFifth), 0.0, 1e-3) << "row " << c;
        for (int h = 0; h < kOrders; ++h) {
            EXPECT_GT(phases[h], -180.0f);
            EXPECT_LE(phases[h], 180.0f);
        }
    }
}

// --- Bin grouping on synthetic spectra ----------------------------------------------

// Bin k of the row holds (k, 0): a group's norm tells which bins it took.
std::vector<float2> rampSpectrum(int binCount) {
    std::vector<float2> row(binCount);
    for (int k = 0; k < binCount; ++k) {
        row[k] = bin(static_cast<float>(k), 0.0f);
    }
    return row;
}

float rootSumSquareOfBins(int first, int last) {
    double sum = 0.0;
    for (int k = first; k <= last; ++k) {
        sum += double(k) * k;
    }
    return static_cast<float>(std::sqrt(sum));
}

TEST(HarmonicBinGroups, GroupsAndInterharmonicsOfTenBinsPerFundamental) {
    // frequency/dFrequency = 10, halfWidth 3: order 2 takes bins 17..23,
    // the interharmonic after it bins 24..26.
    const int binCount = 64;
    const int orders = 5;
    const std::vector<float2> row = rampSpectrum(binCount);
    HarmonicTables tables(1, orders);
    const double reference = 0.0;
    cpu::kernelHarmonics(rowsLaunch(1), binCount, orders, 3, 0, true, 500.0, 50.0, 1.0, &reference, row.data(),
                         tables.magnitudes.data(), tables.interharmonics.data(), tables.phases.data());
    EXPECT_FLOAT_EQ(tables.magnitudes[2], rootSumSquareOfBins(17, 23));
    EXPECT_FLOAT_EQ(tables.interharmonics[2], rootSumSquareOfBins(24, 26));
    // DC: half of bin 0 (here 0) plus bins 1..3; interharmonic 0 is bins 4..6.
    EXPECT_FLOAT_EQ(tables.magnitudes[0], rootSumSquareOfBins(1, 3));
    EXPECT_FLOAT_EQ(tables.interharmonics[0], rootSumSquareOfBins(4, 6));
    EXPECT_FLOAT_EQ(tables.magnitudes[4], rootSumSquareOfBins(37, 43));
    EXPECT_FLOAT_EQ(tables.interharmonics[4], rootSumSquareOfBins(44, 46));
    // Real positive centre bins have the stored angle of -90 degrees.
    EXPECT_NEAR(tables.phases[3], -90.0f, 1e-4f);
}

TEST(HarmonicBinGroups, DcEntryWeighsBinZeroByHalf) {
    std::vector<float2> row(16, bin(0.0f, 0.0f));
    row[0] = bin(4.0f, 0.0f);
    row[1] = bin(0.0f, 2.0f);
    HarmonicTables tables(1, 1);
    const double reference = 0.0;
    cpu::kernelHarmonics(rowsLaunch(1), 16, 1, 1, 0, false, 4.0, 1.0, 1.0, &reference, row.data(),
                         tables.magnitudes.data(), tables.interharmonics.data(), tables.phases.data());
    EXPECT_FLOAT_EQ(tables.magnitudes[0], std::sqrt(0.5f * 16.0f + 4.0f));
    EXPECT_EQ(tables.interharmonics[0], kUntouched);  // interharmonics off
}

TEST(HarmonicBinGroups, OverlappingGroupsLeaveTheInterharmonicAlone) {
    // halfWidth 6 at 10 bins per fundamental: the groups of orders 2 and 3
    // (14..26, 24..36) overlap, so nothing lies between them.
    const std::vector<float2> row = rampSpectrum(64);
    HarmonicTables tables(1, 4);
    const double reference = 0.0;
    cpu::kernelHarmonics(rowsLaunch(1), 64, 4, 6, 0, true, 500.0, 50.0, 1.0, &reference, row.data(),
                         tables.magnitudes.data(), tables.interharmonics.data(), tables.phases.data());
    EXPECT_FLOAT_EQ(tables.magnitudes[2], rootSumSquareOfBins(14, 26));
    EXPECT_EQ(tables.interharmonics[2], kUntouched);
    EXPECT_EQ(tables.interharmonics[1], kUntouched);
}

TEST(HarmonicBinGroups, OrdersCentredOutsideTheRowReportZeroAndReadNothingBeyondIt) {
    // Row 0 has 68 bins; row 1 behind it is all NaN. Order 7 is centred on
    // bin 70, beyond row 0 (its group 67..73 would touch bin 67 of row 0
    // and bins of row 1).
    const int binCount = 68;
    const int orders = 9;
    std::vector<float2> rows = rampSpectrum(binCount);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    rows.resize(2 * binCount, bin(nan, nan));
    HarmonicTables tables(2, orders);
    const double reference = 0.0;
    cpu::kernelHarmonics(rowsLaunch(2), binCount, orders, 3, 0, true, 500.0, 50.0, 1.0, &reference, rows.data(),
                         tables.magnitudes.data(), tables.interharmonics.data(), tables.phases.data());
    // Order 6 (bins 57..63) is inside; its interharmonic takes 64..66, the
    // bins up to one before the next group.
    EXPECT_FLOAT_EQ(tables.magnitudes[6], rootSumSquareOfBins(57, 63));
    EXPECT_FLOAT_EQ(tables.interharmonics[6], rootSumSquareOfBins(64, 66));
    for (const int order : {7, 8}) {
        EXPECT_EQ(tables.magnitudes[order], 0.0f) << "order " << order;
        EXPECT_EQ(tables.phases[order], 0.0f) << "order " << order;
        EXPECT_EQ(tables.interharmonics[order], kUntouched) << "order " << order;
    }
}

// --- Per-order powers ------------------------------------------------------------------

TEST(OrderPowersKernel, PowersOfLaggingAndLeadingCurrentsPerPhase) {
    // Rows 0..2 voltages, 3..5 currents; orders 0..3.
    const int rows = 3;
    const int orders = 4;
    std::vector<float> magnitudes(2 * rows * orders, 0.0f);
    std::vector<float> phases(2 * rows * orders, 0.0f);
    const float lag[3] = {30.0f, -60.0f, 0.0f};  // current lags by this many degrees
    for (int c = 0; c < rows; ++c) {
        const int u = c * orders + 1;
        const int i = u + rows * orders;
        magnitudes[u] = 230.0f;
        magnitudes[i] = 10.0f * static_cast<float>(c + 1);
        phases[u] = -20.0f;
        phases[i] = -20.0f + lag[c];  // stored angles are negated sine phases
    }
    // Order 2 of phase 0: current exactly at the impedance threshold region.
    magnitudes[2] = 50.0f;
    magnitudes[rows * orders + 2] = std::nextafter(0.001f, 0.0f);
    magnitudes[3] = 50.0f;
    magnitudes[rows * orders + 3] = 0.001f;
    std::vector<float> powers(3 * rows * orders, kUntouched);
    std::vector<float> impedances(rows * orders, kUntouched);
    cpu::kernelPQSZ(rowsLaunch(rows), rows, orders, magnitudes.data(), phases.data(), powers.data(), impedances.data());
    for (int c = 0; c < rows; ++c) {
        const int entry = c * orders + 1;
        const double s = 230.0 * 10.0 * (c + 1);
        const double delta = lag[c] * kPi / 180.0;
        EXPECT_NEAR(powers[entry], s * std::cos(delta), 1e-5 * s) << "P of phase " << c;
        EXPECT_NEAR(powers[entry + rows * orders], s * std::sin(delta), 1e-5 * s) << "Q of phase " << c;
        EXPECT_NEAR(powers[entry + 2 * rows * orders], s, 1e-6 * s) << "S of phase " << c;
        EXPECT_NEAR(impedances[entry], 23.0 / (c + 1), 1e-5) << "Z of phase " << c;
        // Orders with no current: no power, no impedance.
        EXPECT_EQ(impedances[c * orders], 0.0f);
        EXPECT_EQ(powers[c * orders + 2 * rows * orders], 0.0f);
    }
    EXPECT_EQ(impedances[2], 0.0f);               // current just below 0.001
    EXPECT_NEAR(impedances[3], 50000.0f, 0.01f);  // 0.001f lies just above 0.001
}

// --- THD sums ------------------------------------------------------------------------

TEST(HarmonicsSquaredKernel, SplitsOrdersIntoEvenOddAndTriplen) {
    const int orders = 12;
    std::vector<float> magnitudes(2 * orders);
    for (int h = 0; h < orders; ++h) {
        magnitudes[h] = static_cast<float>(h);                  // record 0: order h has magnitude h
        magnitudes[orders + h] = 2.0f * static_cast<float>(h);  // record 1: twice that
    }
    std::vector<PowerResultsThd> thd(3, PowerResultsThd{});
    cpu::kernelSumOfHarmonicsSquared(rowsLaunch(1, 1, 2), 9, orders, magnitudes.data(), thd.data());
    // Orders 2..9: even 4+16+36+64, odd triplen 9+81, odd non-triplen 25+49.
    for (int r = 0; r < 2; ++r) {
        const double factor = r == 0 ? 1.0 : 4.0;
        EXPECT_EQ(thd[r].thdEven, 120.0 * factor);
        EXPECT_EQ(thd[r].thdOddTriplen, 90.0 * factor);
        EXPECT_EQ(thd[r].thdOddNonTriplen, 74.0 * factor);
        EXPECT_EQ(thd[r].thdOdd, 164.0 * factor);
        EXPECT_EQ(thd[r].thd, 284.0 * factor);
    }
    EXPECT_EQ(thd[2].thd, 0.0);  // one record per thread, no more

    std::vector<PowerResultsThd> upToLast(1, PowerResultsThd{});
    cpu::kernelSumOfHarmonicsSquared(rowsLaunch(1, 1, 1), orders - 1, orders, magnitudes.data(), upToLast.data());
    EXPECT_EQ(upToLast[0].thd, 284.0 + 100.0 + 121.0);

    std::vector<PowerResultsThd> none(1, PowerResultsThd{});
    cpu::kernelSumOfHarmonicsSquared(rowsLaunch(1, 1, 1), 1, orders, magnitudes.data(), none.data());
    EXPECT_EQ(none[0].thd, 0.0);
    EXPECT_EQ(none[0].thdOdd, 0.0);
}

}  // namespace
}  // namespace powergpu
