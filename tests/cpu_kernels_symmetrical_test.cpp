// CPU symmetrical-component and Clarke/Park-of-fundamental kernels on
// balanced, negative-sequence and zero-sequence sets.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "kernel_test_signals.h"
#include "kernels/cpu/CpuKernels.h"

namespace powergpu {
namespace {

using kernel_test::kPi;
using kernel_test::rowsLaunch;
using Complex = std::complex<double>;

const Complex kRotation = std::polar(1.0, 2.0 * kPi / 3.0);  // a = e^(j 2pi/3)

float2 toBin(Complex value) {
    float2 result;
    result.x = static_cast<float>(value.real());
    result.y = static_cast<float>(value.imag());
    return result;
}

// Spectra of two groups (rows 0..2 voltages, 3..5 currents), binCount bins
// each: the voltages a positive-sequence set, the currents a negative one.
// Bin k of phase a is (k + 1) e^(j 0.7k); the last bin is huge so that
// counting it would show.
class SequenceSums : public ::testing::Test {
protected:
    static constexpr int kBins = 9;
    std::vector<float2> spectra = std::vector<float2>(6 * kBins);
    double expected = 0.0;

    void SetUp() override {
        for (int k = 0; k < kBins; ++k) {
            const Complex a = k == kBins - 1 ? Complex(1e4, 0.0) : std::polar(k + 1.0, 0.7 * k);
            spectra[0 * kBins + k] = toBin(a);
            spectra[1 * kBins + k] = toBin(kRotation * kRotation * a);
            spectra[2 * kBins + k] = toBin(kRotation * a);
            spectra[3 * kBins + k] = toBin(2.0 * a);
            spectra[4 * kBins + k] = toBin(2.0 * kRotation * a);
            spectra[5 * kBins + k] = toBin(2.0 * kRotation * kRotation * a);
            if (k < kBins - 1) {
                expected += (k + 1.0) * (k + 1.0);
            }
        }
    }
};

TEST_F(SequenceSums, BalancedSetsSumIntoTheirOwnSequence) {
    std::vector<double> sums(6, 0.0);
    cpu::kernelSymmetricalComponents(rowsLaunch(2, 1, 8), kBins, spectra.data(), sums.data());
    const double tolerance = 1e-5 * expected;
    EXPECT_NEAR(sums[0], 0.0, tolerance);
    EXPECT_NEAR(sums[1], expected, tolerance);
    EXPECT_NEAR(sums[2], 0.0, tolerance);
    EXPECT_NEAR(sums[3], 0.0, 4.0 * tolerance);
    EXPECT_NEAR(sums[4], 0.0, 4.0 * tolerance);
    EXPECT_NEAR(sums[5], 4.0 * expected, 4.0 * tolerance);
}

TEST_F(SequenceSums, EqualPhasorsAreAllZeroSequence) {
    std::vector<float2> equal(3 * kBins);
    for (int k = 0; k < kBins; ++k) {
        equal[k] = equal[kBins + k] = equal[2 * kBins + k] = spectra[k];
    }
    std::vector<double> sums(3, 0.0);
    cpu::kernelSymmetricalComponents(rowsLaunch(1, 1, 8), kBins, equal.data(), sums.data());
    EXPECT_NEAR(sums[0], expected, 1e-6 * expected);
    EXPECT_EQ(sums[1], 0.0);
    EXPECT_EQ(sums[2], 0.0);
}

TEST_F(SequenceSums, SumsAddToTheRecordAndOneBinSumsNothing) {
    std::vector<double> sums = {1.0, 2.0, 3.0};
    cpu::kernelSymmetricalComponents(rowsLaunch(1, 1, 8), kBins, spectra.data(), sums.data());
    EXPECT_NEAR(sums[1], 2.0 + expected, 1e-5 * expected);
    std::vector<double> single(3, 0.0);
    cpu::kernelSymmetricalComponents(rowsLaunch(1, 1, 1), 1, spectra.data(), single.data());
    EXPECT_EQ(single[0], 0.0);
    EXPECT_EQ(single[1], 0.0);
    EXPECT_EQ(single[2], 0.0);
}

// --- Fundamentals ------------------------------------------------------------------

// Harmonic tables of 6 rows, 3 orders: the fundamentals (order 1) of a
// positive-sequence voltage set (stored angles 0, 120, -120, i.e. sine
// phases 0, -120, 120) and of currents lagging them by 30 degrees.
class FundamentalTables : public ::testing::Test {
protected:
    static constexpr int kOrders = 3;
    const float voltage = 230.0f;
    const float current = 5.0f;
    std::vector<float> magnitudes = std::vector<float>(6 * kOrders, 0.0f);
    std::vector<float> angles = std::vector<float>(6 * kOrders, 0.0f);

    void SetUp() override {
        const float storedAngles[3] = {0.0f, 120.0f, -120.0f};
        for (int phase = 0; phase < 3; ++phase) {
            magnitudes[phase * kOrders + 1] = voltage;
            angles[phase * kOrders + 1] = storedAngles[phase];
            magnitudes[(3 + phase) * kOrders + 1] = current;
            angles[(3 + phase) * kOrders + 1] = storedAngles[phase] + 30.0f;
        }
    }
};

Complex complexOf(double2 value) {
    return {value.x, value.y};
}

TEST_F(FundamentalTables, SequenceComponentsOfTheFundamentals) {
    std::vector<double2> components(6);
    cpu::kernelSymmetricalComponentsH1(rowsLaunch(2, 1, 1), kOrders, magnitudes.data(), angles.data(),
                                       components.data());
    EXPECT_NEAR(std::abs(complexOf(components[0])), 0.0, 1e-12 * voltage);
    EXPECT_NEAR(std::abs(complexOf(components[1]) - Complex(voltage, 0.0)), 0.0, 1e-12 * voltage);
    EXPECT_NEAR(std::abs(complexOf(components[2])), 0.0, 1e-12 * voltage);
    // The current phasor carries the sine phase: lagging 30 degrees.
    EXPECT_NEAR(std::abs(complexOf(components[3])), 0.0, 1e-12 * current);
    EXPECT_NEAR(std::abs(complexOf(components[4]) - std::polar<double>(current, -kPi / 6.0)), 0.0, 1e-12 * current);
    EXPECT_NEAR(std::abs(complexOf(components[5])), 0.0, 1e-12 * current);
}

TEST_F(FundamentalTables, ClarkeAndParkOfTheFundamentals) {
    std::vector<double2> clarke(6);
    std::vector<double> park(6, 0.0);
    cpu::kernelClarkeH1AndParkAve(rowsLaunch(2, 1, 1), kOrders, magnitudes.data(), angles.data(), true, true,
                                  clarke.data(), park.data());
    // Voltages: alpha = Xa = 230, beta = (Xb - Xc)/sqrt(3) = -230j, zero 0.
    EXPECT_NEAR(clarke[0].x, voltage, 1e-12 * voltage);
    EXPECT_NEAR(clarke[0].y, 0.0, 1e-12 * voltage);
    EXPECT_NEAR(clarke[1].x, 0.0, 1e-12 * voltage);
    EXPECT_NEAR(clarke[1].y, -voltage, 1e-12 * voltage);
    EXPECT_NEAR(std::abs(complexOf(clarke[2])), 0.0, 1e-12 * voltage);
    EXPECT_NEAR(park[0], 0.0, 1e-12 * voltage);
    EXPECT_NEAR(park[1], -std::sqrt(2.0) * voltage, 1e-12 * voltage);
    EXPECT_NEAR(park[2], 0.0, 1e-12 * voltage);
    // Currents: the same vector turned by -30 degrees.
    const Complex alpha = std::polar<double>(current, -kPi / 6.0);
    EXPECT_NEAR(std::abs(complexOf(clarke[3]) - alpha), 0.0, 1e-12 * current);
    EXPECT_NEAR(std::abs(complexOf(clarke[4]) - Complex(0.0, -1.0) * alpha), 0.0, 1e-12 * current);
    EXPECT_NEAR(park[3], (alpha.imag() + alpha.imag()) / std::sqrt(2.0), 1e-12 * current);
    EXPECT_NEAR(park[4], (-alpha.real() - alpha.real()) / std::sqrt(2.0), 1e-12 * current);
}

TEST_F(FundamentalTables, DisabledOutputsAreLeftAlone) {
    double2 sentinel;
    sentinel.x = -1.0;
    sentinel.y = -2.0;
    std::vector<double2> clarke(3, sentinel);
    std::vector<double> park(3, -3.0);
    cpu::kernelClarkeH1AndParkAve(rowsLaunch(1, 1, 1), kOrders, magnitudes.data(), angles.data(), false, true,
                                  clarke.data(), park.data());
    EXPECT_EQ(clarke[0].x, -1.0);
    EXPECT_EQ(clarke[2].y, -2.0);
    EXPECT_NEAR(park[1], -std::sqrt(2.0) * voltage, 1e-12 * voltage);
    std::vector<double> parkKept(3, -3.0);
    cpu::kernelClarkeH1AndParkAve(rowsLaunch(1, 1, 1), kOrders, magnitudes.data(), angles.data(), true, false,
                                  clarke.data(), parkKept.data());
    EXPECT_NEAR(clarke[0].x, voltage, 1e-12 * voltage);
    EXPECT_EQ(parkKept[0], -3.0);
    EXPECT_EQ(parkKept[2], -3.0);
}

}  // namespace
}  // namespace powergpu
