// Host post-processing of three-phase quantities and THD: the symmetrical
// transformation and its rotation to a reference, the derived fields of a
// sequence record (magnitudes, powers, current components, power factor),
// unbalance ratios, and the THD figures finished from the device sums with
// their guarded divisions.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "post/PowerSymmetricalComponents.h"
#include "powergpu.hpp"
#include "support/ModuleFeeder.h"

namespace {

using Complex = std::complex<double>;

constexpr double kPi = 3.141592653589793;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kTight = 1e-12;

Complex polar(double magnitude, double degrees) {
    return std::polar(magnitude, degrees * kPi / 180.0);
}

void expectComplexNear(const Complex& actual, const Complex& expected, double tolerance, const char* what) {
    EXPECT_NEAR(actual.real(), expected.real(), tolerance) << what;
    EXPECT_NEAR(actual.imag(), expected.imag(), tolerance) << what;
}

PowerResultsSymmetricalComponent component(const Complex& u, const Complex& i) {
    PowerResultsSymmetricalComponent r{};
    r.u = PowerDouble2{u.real(), u.imag()};
    r.i = PowerDouble2{i.real(), i.imag()};
    return r;
}

}  // namespace

// ---- the transformation ----------------------------------------------------------------

TEST(SymmetricalTransform, RotationFactorsAreTheCubeRootsOfUnity) {
    const std::vector<Complex>& a = PowerSymmetricalComponents::a;
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0], Complex(1.0, 0.0));
    expectComplexNear(a[1], polar(1.0, 120.0), kTight, "a");
    expectComplexNear(a[2], polar(1.0, 240.0), kTight, "a^2");
    expectComplexNear(a[1] * a[1], a[2], kTight, "a * a");
    expectComplexNear(a[1] * a[2], a[0], kTight, "a^3");
}

TEST(SymmetricalTransform, ThreeEqualValuesAreAPureZeroSequence) {
    const Complex v(3.0, -4.0);
    const std::vector<Complex> result = PowerSymmetricalComponents::transform({v, v, v});
    ASSERT_EQ(result.size(), 3u);
    expectComplexNear(result[0], v, kTight, "zero");
    expectComplexNear(result[1], 0.0, kTight, "positive");
    expectComplexNear(result[2], 0.0, kTight, "negative");
}

TEST(SymmetricalTransform, ABalancedSetIsAPurePositiveOrNegativeSequence) {
    const std::vector<Complex>& a = PowerSymmetricalComponents::a;
    const Complex v = polar(230.0, 25.0);
    // Phase 2 lags by 120 degrees, phase 3 leads by 120: positive sequence.
    const std::vector<Complex> positive = PowerSymmetricalComponents::transform({v, a[2] * v, a[1] * v});
    expectComplexNear(positive[0], 0.0, 1e-12 * 230.0, "zero");
    expectComplexNear(positive[1], v, 1e-12 * 230.0, "positive");
    expectComplexNear(positive[2], 0.0, 1e-12 * 230.0, "negative");
    // The reverse phase order: negative sequence.
    const std::vector<Complex> negative = PowerSymmetricalComponents::transform({v, a[1] * v, a[2] * v});
    expectComplexNear(negative[0], 0.0, 1e-12 * 230.0, "zero");
    expectComplexNear(negative[1], 0.0, 1e-12 * 230.0, "positive");
    expectComplexNear(negative[2], v, 1e-12 * 230.0, "negative");
}

TEST(SymmetricalTransform, AnyThreePhaseSetDecomposesIntoTheSequencesItIsMadeOf) {
    const Complex a = polar(1.0, 120.0);
    const Complex zero = polar(4.6, -70.0);
    const Complex positive = polar(230.0, 10.0);
    const Complex negative = polar(11.5, 40.0);
    const std::vector<Complex> phases = {zero + positive + negative, zero + a * a * positive + a * negative,
                                         zero + a * positive + a * a * negative};
    const std::vector<Complex> result = PowerSymmetricalComponents::transform(phases);
    expectComplexNear(result[0], zero, 1e-12 * 230.0, "zero");
    expectComplexNear(result[1], positive, 1e-12 * 230.0, "positive");
    expectComplexNear(result[2], negative, 1e-12 * 230.0, "negative");
}

TEST(SymmetricalTransform, SubtractingAReferenceRotatesByMinusItsAngle) {
    std::vector<Complex> values = {{1.0, 0.0}, {0.0, 1.0}, polar(5.0, 30.0)};
    PowerSymmetricalComponents::subtractReference(values, Complex(0.0, 1.0));
    expectComplexNear(values[0], Complex(0.0, -1.0), kTight, "1 turned by -90 degrees");
    expectComplexNear(values[1], Complex(1.0, 0.0), kTight, "j turned by -90 degrees");
    expectComplexNear(values[2], polar(5.0, -60.0), kTight, "magnitude kept");

    // Only the reference's angle matters, not its magnitude.
    std::vector<Complex> scaled = {polar(2.0, 100.0)};
    PowerSymmetricalComponents::subtractReference(scaled, polar(40.0, 45.0));
    expectComplexNear(scaled[0], polar(2.0, 55.0), kTight, "-45 degrees");

    std::vector<Complex> empty;
    PowerSymmetricalComponents::subtractReference(empty, Complex(0.0, 1.0));
    EXPECT_TRUE(empty.empty());
}

// ---- one sequence record -----------------------------------------------------------------

TEST(SymmetricalRecord, PowersAndCurrentComponentsOfAPositiveSequence) {
    // 230 V and 10 A lagging by 30 degrees per phase: S = 3 U I* = 6900 VA.
    PowerResultsSymmetricalComponent r = component(polar(230.0, 0.0), polar(10.0, -30.0));
    PowerSymmetricalComponents::calculate(r, true);
    EXPECT_NEAR(r.uMagnitude, 230.0, 1e-9);
    EXPECT_NEAR(r.uL.x, 230.0 * kSqrt3, 1e-9);
    EXPECT_NEAR(r.uL.y, 0.0, 1e-9);
    EXPECT_NEAR(r.uLMagnitude, 230.0 * kSqrt3, 1e-9);
    EXPECT_NEAR(r.iMagnitude, 10.0, 1e-12);
    EXPECT_NEAR(r.p, 6900.0 * std::cos(kPi / 6.0), 1e-9);
    EXPECT_NEAR(r.q, 6900.0 * std::sin(kPi / 6.0), 1e-9) << "a lagging current draws positive reactive power";
    EXPECT_NEAR(r.s, 6900.0, 1e-9);
    EXPECT_NEAR(r.lambda, std::cos(kPi / 6.0), 1e-12);
    // The active and reactive parts of the current, per phase.
    EXPECT_NEAR(r.iActive, 10.0 * std::cos(kPi / 6.0), 1e-12);
    EXPECT_NEAR(r.iReactive, 10.0 * std::sin(kPi / 6.0), 1e-12);
}

TEST(SymmetricalRecord, WithoutCurrentsOnlyTheVoltageFieldsAreFilled) {
    PowerResultsSymmetricalComponent r = component(polar(100.0, 60.0), polar(10.0, 0.0));
    r.p = r.q = r.s = r.iMagnitude = r.iActive = r.iReactive = r.lambda = 7.0;
    PowerSymmetricalComponents::calculate(r, false);
    EXPECT_NEAR(r.uMagnitude, 100.0, 1e-12);
    EXPECT_NEAR(std::hypot(r.uL.x, r.uL.y), 100.0 * kSqrt3, 1e-9);
    for (const double field : {r.iMagnitude, r.p, r.q, r.s, r.iActive, r.iReactive, r.lambda}) {
        EXPECT_EQ(field, 0.0);
    }
}

TEST(SymmetricalRecord, AZeroVoltageGivesZeroCurrentComponentsNotInfinities) {
    PowerResultsSymmetricalComponent r = component(0.0, polar(10.0, -30.0));
    PowerSymmetricalComponents::calculate(r, true);
    EXPECT_EQ(r.uMagnitude, 0.0);
    EXPECT_NEAR(r.iMagnitude, 10.0, 1e-12);
    EXPECT_EQ(r.p, 0.0);
    EXPECT_EQ(r.q, 0.0);
    EXPECT_EQ(r.iActive, 0.0);
    EXPECT_EQ(r.iReactive, 0.0);
    EXPECT_EQ(r.lambda, 0.0);
    EXPECT_TRUE(std::isfinite(r.iActive) && std::isfinite(r.iReactive) && std::isfinite(r.lambda));
}

TEST(SymmetricalRecord, AZeroCurrentGivesNoApparentPowerAndAPowerFactorOfZero) {
    PowerResultsSymmetricalComponent r = component(polar(230.0, 10.0), 0.0);
    PowerSymmetricalComponents::calculate(r, true);
    EXPECT_EQ(r.iMagnitude, 0.0);
    EXPECT_EQ(r.s, 0.0);
    EXPECT_EQ(r.lambda, 0.0);
    EXPECT_FALSE(std::isnan(r.lambda));
    EXPECT_EQ(r.iActive, 0.0);
}

// ---- unbalance ratios ------------------------------------------------------------------

TEST(SymmetricalRatios, RatiosArePercentOfThePositiveSequence) {
    PowerResultsSymmetricalComponent r[3] = {};
    const double voltages[3] = {4.6, 230.0, 11.5};
    const double currents[3] = {0.2, 10.0, 0.5};
    for (int k = 0; k < 3; ++k) {
        r[k].uMagnitude = voltages[k];
        r[k].rmsU = voltages[k] * 1.01;
        r[k].iMagnitude = currents[k];
        r[k].rmsI = currents[k] * 1.02;
    }
    PowerSymmetricalComponents::calculateRatios(r, true);
    const double expected[3] = {2.0, 100.0, 5.0};
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(r[k].uRatio, expected[k], 1e-12);
        EXPECT_NEAR(r[k].rmsURatio, expected[k], 1e-12);
        EXPECT_NEAR(r[k].iRatio, expected[k], 1e-12);
        EXPECT_NEAR(r[k].rmsIRatio, expected[k], 1e-12);
    }

    // Without currents the current ratios are left as they were.
    PowerResultsSymmetricalComponent v[3] = {};
    for (int k = 0; k < 3; ++k) {
        v[k].uMagnitude = voltages[k];
        v[k].rmsU = voltages[k];
        v[k].iRatio = v[k].rmsIRatio = -3.0;
    }
    PowerSymmetricalComponents::calculateRatios(v, false);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(v[k].uRatio, expected[k], 1e-12);
        EXPECT_EQ(v[k].iRatio, -3.0);
        EXPECT_EQ(v[k].rmsIRatio, -3.0);
    }
}

TEST(SymmetricalRatios, WithoutAPositiveSequenceEveryRatioIsZero) {
    PowerResultsSymmetricalComponent r[3] = {};
    r[0].uMagnitude = 50.0;
    r[0].rmsU = 50.0;
    r[2].uMagnitude = 20.0;
    r[2].rmsU = 20.0;
    r[0].iMagnitude = 1.0;
    r[0].rmsI = 1.0;
    PowerSymmetricalComponents::calculateRatios(r, true);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(r[k].uRatio, 0.0) << k;
        EXPECT_EQ(r[k].rmsURatio, 0.0) << k;
        EXPECT_EQ(r[k].iRatio, 0.0) << k;
        EXPECT_EQ(r[k].rmsIRatio, 0.0) << k;
    }
}

// ---- THD finishing -----------------------------------------------------------------------

namespace {

// A single-phase CPU module with THD, fed with 230 V at 50 Hz plus a 5 %
// fifth harmonic. On the CPU backend a window's host copies are complete when
// scheduling returns, so a test can set the fundamental or the rms that the
// THD finishing receives before the record is built.
class ThdFinishing : public ::testing::Test {
protected:
    void SetUp() override {
        module_.beginUpdate();
        module_.setSampleRate(10000.0, 1);
        module_.setBufferLength(10000);
        module_.setStaticFrequency(50.0, 0.1);
        module_.setCurrentEnabled(false);
        module_.setThdEnabled(true);
        module_.endUpdate();
        module_.reset(0);
        powergpu::test::ModuleFeeder feeder(module_, [](char, int, double t) {
            const double x = 2.0 * kPi * 50.0 * t;
            return std::sqrt(2.0) * 230.0 * (std::sin(x) + 0.05 * std::sin(5.0 * x));
        });
        feeder.write(2000);
        module_.scheduleForCalculation(0, 2000, 50.0);
    }

    // The host copy of the window's fundamental magnitude (the first window
    // after a reset takes harmonic position 0).
    float& fundamental() {
        const powergpu::PowerBuffers& buffers = module_.implementation()->getBuffers();
        return buffers.harmonics.getHostBufferAt(0, buffers.harmonicsCount, 0)[1];
    }
    // The host copy of the window's sum of squares of u.
    double& sumOfSquares() {
        return module_.implementation()->getBuffers().generalResults.getHostBufferAt(0, 1, 0)->channels[0].rmsU;
    }

    PowerResultsThd finish() {
        const std::vector<PowerResultsGeneral> records = module_.getResults(0);
        EXPECT_EQ(records.size(), 1u);
        return records.empty() ? PowerResultsThd{} : records[0].channels[0].thdU;
    }

    PowerModule module_{POWER_BACKEND_CPU};
};

const double kHarmonicRms = 0.05 * 230.0;
const double kRms = 230.0 * std::sqrt(1.0 + 0.05 * 0.05);

}  // namespace

TEST_F(ThdFinishing, RegularWindowGivesPercentOfTheFundamentalAndOfTheRms) {
    const PowerResultsThd thd = finish();
    EXPECT_NEAR(thd.thd, 5.0, 5e-3);
    EXPECT_NEAR(thd.thdOdd, 5.0, 5e-3);
    EXPECT_NEAR(thd.thdOddNonTriplen, 5.0, 5e-3);
    EXPECT_NEAR(thd.harmonicRms, kHarmonicRms, kHarmonicRms * 1e-3);
    EXPECT_NEAR(thd.thdRms, 100.0 * kHarmonicRms / kRms, 5e-3);
    EXPECT_NEAR(thd.distortionRms, kHarmonicRms, kHarmonicRms * 1e-2);
    EXPECT_NEAR(thd.distortion, 5.0, 5e-2);
}

TEST_F(ThdFinishing, WithoutAFundamentalThePercentagesOfItAreZeroButTheRmsFiguresRemain) {
    fundamental() = 0.0f;
    const PowerResultsThd thd = finish();
    for (const double percent :
         {thd.thd, thd.thdEven, thd.thdOdd, thd.thdOddTriplen, thd.thdOddNonTriplen, thd.distortion}) {
        EXPECT_EQ(percent, 0.0);
    }
    EXPECT_NEAR(thd.harmonicRms, kHarmonicRms, kHarmonicRms * 1e-3);
    EXPECT_NEAR(thd.thdRms, 100.0 * kHarmonicRms / kRms, 5e-3);
    EXPECT_NEAR(thd.distortionRms, kRms, kRms * 1e-3) << "all of the signal is distortion";
}

TEST_F(ThdFinishing, AFundamentalAboveTheRmsLeavesNoDistortion) {
    fundamental() = 2.0f * 230.0f;
    const PowerResultsThd thd = finish();
    EXPECT_EQ(thd.distortionRms, 0.0);
    EXPECT_EQ(thd.distortion, 0.0);
    EXPECT_NEAR(thd.thd, 2.5, 5e-3) << "relative to the larger fundamental";
    EXPECT_NEAR(thd.harmonicRms, kHarmonicRms, kHarmonicRms * 1e-3);
}

TEST_F(ThdFinishing, AZeroRmsGivesNoRmsPercentage) {
    sumOfSquares() = 0.0;
    const PowerResultsThd thd = finish();
    EXPECT_EQ(thd.thdRms, 0.0);
    EXPECT_EQ(thd.distortionRms, 0.0);
    EXPECT_NEAR(thd.harmonicRms, kHarmonicRms, kHarmonicRms * 1e-3);
    EXPECT_NEAR(thd.thd, 5.0, 5e-3);
}
