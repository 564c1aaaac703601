// The shared per-element arithmetic of the kernels against values known
// from trigonometry, the DFT of the window and the algebra of sequence
// components.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <complex>
#include <limits>
#include <vector>

#include "kernel_test_signals.h"
#include "kernels/KernelMath.h"

namespace powergpu {
namespace {

using kernel_test::kPi;
using Complex = std::complex<double>;

float2 bin(float x, float y) {
    float2 value;
    value.x = x;
    value.y = y;
    return value;
}

double2 phasor(Complex value) {
    double2 result;
    result.x = value.real();
    result.y = value.imag();
    return result;
}

Complex complexOf(double2 value) {
    return {value.x, value.y};
}

const Complex kRotation = std::polar(1.0, 2.0 * kPi / 3.0);  // a = e^(j 2pi/3)

// --- Blackman window ------------------------------------------------------

TEST(BlackmanWindow, SumAndMeanSquareAreThoseOfThePeriodicWindow) {
    for (const int n : {64, 1000, 4096}) {
        double sum = 0.0;
        double sumOfSquares = 0.0;
        for (int i = 0; i < n; ++i) {
            const double w = math::blackmanWindow(i, n);
            sum += w;
            sumOfSquares += w * w;
        }
        // Mean 0.42; mean square 0.42^2 + 0.5^2/2 + 0.08^2/2 = 0.3046.
        EXPECT_NEAR(sum / n, 0.42, 1e-7) << "n = " << n;
        EXPECT_NEAR(sumOfSquares / n, 0.3046, 1e-7) << "n = " << n;
    }
}

TEST(BlackmanWindow, FollowsTheTextbookShape) {
    const int n = 1000;
    EXPECT_NEAR(math::blackmanWindow(0, n), 0.0, 1e-7);      // 0.42 - 0.5 + 0.08
    EXPECT_NEAR(math::blackmanWindow(n / 2, n), 1.0, 1e-7);  // 0.42 + 0.5 + 0.08
    for (int i = 1; i < n; ++i) {
        // The single-precision angles leave errors of a few 1e-7.
        EXPECT_NEAR(math::blackmanWindow(i, n), kernel_test::textbookBlackman(i, n), 1e-6) << "i = " << i;
        // Period n, not n - 1: symmetric about n/2.
        EXPECT_NEAR(math::blackmanWindow(i, n), math::blackmanWindow(n - i, n), 1e-6) << "i = " << i;
    }
}

TEST(BlackmanWindow, WindowedSampleIsScaledProductRoundedToFloat) {
    // 3 * 0.5 * 2 = 3 exactly; the product is taken in double before rounding.
    EXPECT_EQ(math::windowedSample(3.0f, 0.5, 2.0f), 3.0f);
    const float small = 1.0f + FLT_EPSILON;
    const double window = 1.0 - 1e-9;
    EXPECT_EQ(math::windowedSample(small, window, 1.0f), static_cast<float>(static_cast<double>(small) * window));
}

// --- Rounding ---------------------------------------------------------------

TEST(NearestInteger, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(math::nearestInteger(2.5), 3);
    EXPECT_EQ(math::nearestInteger(-2.5), -3);
    EXPECT_EQ(math::nearestInteger(0.5), 1);
    EXPECT_EQ(math::nearestInteger(-0.5), -1);
    EXPECT_EQ(math::nearestInteger(2.4999999999999996), 2);
    EXPECT_EQ(math::nearestInteger(2.9999999999999996), 3);
    EXPECT_EQ(math::nearestInteger(3.75), 4);  // 50 Hz * 0.3 / 4 Hz
    // The largest double below 0.5: adding 0.5 in round-to-nearest would
    // give 1, the exact rule gives 0.
    EXPECT_EQ(math::nearestInteger(std::nextafter(0.5, 0.0)), 0);
    EXPECT_EQ(math::nearestInteger(-std::nextafter(0.5, 0.0)), 0);
}

// --- Phase angles -----------------------------------------------------------

TEST(CalculateAngleDeg, GivesTheNegatedSinePhaseOfABin) {
    // A*sin(wt + psi) on a bin has the bin value (A/2)(sin psi, -cos psi).
    for (const double psi : {0.0, 30.0, 90.0, 135.0, -60.0, -170.0}) {
        const double r = psi * kPi / 180.0;
        const float2 x = bin(static_cast<float>(std::sin(r)), static_cast<float>(-std::cos(r)));
        EXPECT_NEAR(kernel_test::angleDifference(math::calculateAngleDeg(x, 0.0, 1.0, 0.0), -psi), 0.0, 1e-4)
            << "psi = " << psi;
    }
}

TEST(CalculateAngleDeg, WrapsIntoHalfOpenInterval) {
    // X = (-0, -1) has phi = atan2(+0, 1) = 0, so the result is -reference.
    const float2 zeroAngle = bin(-0.0f, -1.0f);
    EXPECT_EQ(math::calculateAngleDeg(zeroAngle, 0.0, 1.0, -180.0), 180.0);
    EXPECT_EQ(math::calculateAngleDeg(zeroAngle, 0.0, 1.0, 180.0), 180.0);  // -180 becomes 180
    EXPECT_DOUBLE_EQ(math::calculateAngleDeg(zeroAngle, 0.0, 1.0, -181.0), -179.0);
    EXPECT_DOUBLE_EQ(math::calculateAngleDeg(zeroAngle, 0.0, 1.0, 540.0), 180.0);
    EXPECT_DOUBLE_EQ(math::calculateAngleDeg(zeroAngle, 0.0, 1.0, 10.0), -10.0);
}

TEST(CalculateAngleDeg, ZeroBinGives180) {
    // atan2(-0, -0) = -pi; -180 wraps to +180. The float value of pi lies
    // above pi, so the angle is 180 within 1e-5 degrees.
    const double angle = math::calculateAngleDeg(bin(0.0f, 0.0f), 0.0, 1.0, 0.0);
    EXPECT_NEAR(angle, 180.0, 1e-5);
    EXPECT_LE(angle, 180.0);
}

TEST(CalculateAngleDeg, CompensatesAFundamentalBetweenBins) {
    // frac * 180 * lengthRatio is added: -0.5 bins at lengthRatio 0.5 is -45.
    EXPECT_DOUBLE_EQ(math::calculateAngleDeg(bin(-0.0f, -1.0f), -0.5, 0.5, 0.0), -45.0);
    EXPECT_DOUBLE_EQ(math::calculateAngleDeg(bin(-0.0f, -1.0f), 0.25, 1.0, 0.0), 45.0);
}

TEST(CalculateAngleDeg, NaNPropagates) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(math::calculateAngleDeg(bin(nan, 1.0f), 0.0, 1.0, 0.0)));
    EXPECT_TRUE(std::isnan(math::calculateAngleDeg(bin(1.0f, 0.0f), 0.0, 1.0, std::nan(""))));
}

// --- Group norm -------------------------------------------------------------

TEST(GroupNorm, IsTheRootSumSquareOfAllComponents) {
    const std::vector<float2> bins = {bin(3.0f, 4.0f), bin(0.0f, 12.0f)};
    EXPECT_FLOAT_EQ(math::groupNorm(bins.data(), 1), 5.0f);
    EXPECT_FLOAT_EQ(math::groupNorm(bins.data(), 2), 13.0f);
    const std::vector<float2> single = {bin(-2.5f, 0.0f)};
    EXPECT_EQ(math::groupNorm(single.data(), 1), 2.5f);
}

TEST(GroupNorm, DoesNotOverflowNearTheLargestFloat) {
    // The squares overflow float; the norm itself (2e38) does not.
    const std::vector<float2> large = {bin(1e38f, -1e38f), bin(1e38f, 1e38f)};
    EXPECT_NEAR(math::groupNorm(large.data(), 2) / 2e38f, 1.0f, 1e-6f);
    const std::vector<float2> nearMax = {bin(FLT_MAX, 0.0f), bin(0.0f, 0.0f)};
    EXPECT_EQ(math::groupNorm(nearMax.data(), 2), FLT_MAX);
    // A norm beyond the float range is infinite, not NaN.
    const std::vector<float2> beyond = {bin(FLT_MAX, FLT_MAX)};
    EXPECT_TRUE(std::isinf(math::groupNorm(beyond.data(), 1)));
}

TEST(GroupNorm, KeepsSubnormalValues) {
    // The squares of these vanish in float; the norm (5e-40) is representable.
    const std::vector<float2> tiny = {bin(3e-40f, 4e-40f)};
    EXPECT_NEAR(math::groupNorm(tiny.data(), 1) / 5e-40f, 1.0f, 1e-4f);
    const std::vector<float2> smallest = {bin(std::numeric_limits<float>::denorm_min(), 0.0f)};
    EXPECT_EQ(math::groupNorm(smallest.data(), 1), std::numeric_limits<float>::denorm_min());
}

TEST(GroupNorm, ZeroInfiniteAndNaNGroups) {
    const std::vector<float2> zeros = {bin(0.0f, -0.0f), bin(0.0f, 0.0f)};
    EXPECT_EQ(math::groupNorm(zeros.data(), 2), 0.0f);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float2> infinite = {bin(1.0f, 2.0f), bin(-inf, 0.0f)};
    EXPECT_EQ(math::groupNorm(infinite.data(), 2), inf);
    const std::vector<float2> infiniteAndNaN = {bin(nan, 2.0f), bin(0.0f, inf)};
    EXPECT_EQ(math::groupNorm(infiniteAndNaN.data(), 2), inf);
    const std::vector<float2> withNaN = {bin(1.0f, 2.0f), bin(nan, 0.0f)};
    EXPECT_TRUE(std::isnan(math::groupNorm(withNaN.data(), 2)));
}

// --- sin(pi x), cos(pi x) -----------------------------------------------------

TEST(SinCosPi, ExactZerosAndOnesAtIntegersAndHalfIntegers) {
    for (int k = -720; k <= 720; ++k) {
        double s = 1.0;
        double c = 1.0;
        math::sinCosPi(k, &s, &c);
        EXPECT_EQ(s, 0.0) << "x = " << k;
        EXPECT_EQ(c, (k % 2 == 0) ? 1.0 : -1.0) << "x = " << k;
        math::sinCosPi(k + 0.5, &s, &c);
        EXPECT_EQ(c, 0.0) << "x = " << k + 0.5;
        EXPECT_EQ(s, (((k % 2) + 2) % 2 == 0) ? 1.0 : -1.0) << "x = " << k + 0.5;
    }
    double s = 1.0;
    double c = 0.0;
    math::sinCosPi(std::ldexp(1.0, 60) + std::ldexp(1.0, 9), &s, &c);  // a huge even integer
    EXPECT_EQ(s, 0.0);
    EXPECT_EQ(c, 1.0);
    math::sinCosPi(std::ldexp(1.0, 52) + 1.0, &s, &c);  // an odd integer
    EXPECT_EQ(s, 0.0);
    EXPECT_EQ(c, -1.0);
    math::sinCosPi(-1e308, &s, &c);
    EXPECT_EQ(s, 0.0);
    EXPECT_EQ(c, 1.0);
}

TEST(SinCosPi, AccurateBetweenTheExactPoints) {
    for (double x = -3.0; x <= 3.0; x += 0.01171875) {
        double s = 0.0;
        double c = 0.0;
        math::sinCosPi(x, &s, &c);
        const long double angle = 3.141592653589793238462643383279502884L * static_cast<long double>(x);
        EXPECT_NEAR(s, static_cast<double>(std::sin(angle)), 4e-16) << "x = " << x;
        EXPECT_NEAR(c, static_cast<double>(std::cos(angle)), 4e-16) << "x = " << x;
    }
    double s = 0.0;
    double c = 0.0;
    math::sinCosPi(1.0 / 6.0, &s, &c);
    EXPECT_NEAR(s, 0.5, 2e-16);
    math::sinCosPi(std::numeric_limits<double>::infinity(), &s, &c);
    EXPECT_TRUE(std::isnan(s));
    EXPECT_TRUE(std::isnan(c));
}

TEST(FundamentalPhasor, AnglesOnTheAxesLeaveNoResidue) {
    const double2 at0 = math::fundamentalPhasor(2.0f, 0.0f);
    EXPECT_EQ(at0.x, 2.0);
    EXPECT_EQ(at0.y, 0.0);
    // The stored angle is the negated sine phase: +90 becomes -j.
    const double2 at90 = math::fundamentalPhasor(2.0f, 90.0f);
    EXPECT_EQ(at90.x, 0.0);
    EXPECT_EQ(at90.y, -2.0);
    const double2 atMinus90 = math::fundamentalPhasor(2.0f, -90.0f);
    EXPECT_EQ(atMinus90.x, 0.0);
    EXPECT_EQ(atMinus90.y, 2.0);
    const double2 at180 = math::fundamentalPhasor(2.0f, 180.0f);
    EXPECT_EQ(at180.x, -2.0);
    EXPECT_EQ(at180.y, 0.0);
    const double2 at30 = math::fundamentalPhasor(2.0f, 30.0f);
    EXPECT_NEAR(at30.x, std::sqrt(3.0), 1e-15);
    EXPECT_NEAR(at30.y, -1.0, 1e-15);
}

// --- Symmetrical components ---------------------------------------------------

TEST(SymmetricalComponents, BalancedPositiveSequenceHasOnlyAPositiveComponent) {
    const Complex xa = std::polar(230.0, 0.3);
    const double2 abc[3] = {phasor(xa), phasor(kRotation * kRotation * xa), phasor(kRotation * xa)};
    double2 zero;
    double2 positive;
    double2 negative;
    math::calculateSymmetricalComponents(abc, &zero, &positive, &negative);
    EXPECT_NEAR(std::abs(complexOf(zero)), 0.0, 1e-12);
    EXPECT_NEAR(std::abs(complexOf(negative)), 0.0, 1e-12);
    EXPECT_NEAR(std::abs(complexOf(positive) - xa), 0.0, 1e-12);
}

TEST(SymmetricalComponents, NegativeSequenceAndZeroSequenceAreSeparated) {
    const Complex xa = std::polar(5.0, -1.1);
    const double2 negativeSet[3] = {phasor(xa), phasor(kRotation * xa), phasor(kRotation * kRotation * xa)};
    double2 zero;
    double2 positive;
    double2 negative;
    math::calculateSymmetricalComponents(negativeSet, &zero, &positive, &negative);
    EXPECT_NEAR(std::abs(complexOf(negative) - xa), 0.0, 1e-13);
    EXPECT_NEAR(std::abs(complexOf(positive)), 0.0, 1e-13);
    EXPECT_NEAR(std::abs(complexOf(zero)), 0.0, 1e-13);

    const double2 equal[3] = {phasor(xa), phasor(xa), phasor(xa)};
    math::calculateSymmetricalComponents(equal, &zero, &positive, &negative);
    EXPECT_NEAR(std::abs(complexOf(zero) - xa), 0.0, 1e-14);
    EXPECT_EQ(positive.x, 0.0);
    EXPECT_EQ(positive.y, 0.0);
    EXPECT_EQ(negative.x, 0.0);
    EXPECT_EQ(negative.y, 0.0);
}

// --- Per-order powers -----------------------------------------------------------

TEST(OrderPowers, ReactivePowerIsPositiveWhenTheCurrentLags) {
    // Stored angles are negated sine phases: a current lagging by 30 degrees
    // has a stored angle 30 degrees above the voltage's.
    const math::OrderPowers lagging = math::orderPowers(230.0f, 10.0f, 20.0f, 50.0f);
    EXPECT_NEAR(lagging.apparent, 2300.0f, 1e-3f);
    EXPECT_NEAR(lagging.active, 2300.0 * std::cos(kPi / 6.0), 2e-3);
    EXPECT_NEAR(lagging.reactive, 1150.0, 2e-3);
    EXPECT_NEAR(lagging.impedance, 23.0f, 1e-5f);
    const math::OrderPowers leading = math::orderPowers(230.0f, 10.0f, 20.0f, -10.0f);
    EXPECT_NEAR(leading.reactive, -1150.0, 2e-3);
    EXPECT_NEAR(leading.active, 2300.0 * std::cos(kPi / 6.0), 2e-3);
}

TEST(OrderPowers, ImpedanceNeedsACurrentAbove0001) {
    // 0.001f lies just above 0.001; the float below it lies below.
    const float justAbove = 0.001f;
    ASSERT_GT(static_cast<double>(justAbove), 0.001);
    const float justBelow = std::nextafter(justAbove, 0.0f);
    ASSERT_LT(static_cast<double>(justBelow), 0.001);
    EXPECT_EQ(math::orderPowers(1.0f, justBelow, 0.0f, 0.0f).impedance, 0.0f);
    EXPECT_NEAR(math::orderPowers(1.0f, justAbove, 0.0f, 0.0f).impedance, 1000.0f, 1e-3f);
    EXPECT_EQ(math::orderPowers(1.0f, 0.0f, 0.0f, 0.0f).impedance, 0.0f);
}

// --- Clarke and Park ---------------------------------------------------------

TEST(ClarkeOfSamples, BalancedSetGivesAlphaBetaOnTheUnitCircle) {
    const double amplitude = 325.0;
    for (double theta = 0.0; theta < 2.0 * kPi; theta += 0.1) {
        const auto a = static_cast<float>(amplitude * std::cos(theta));
        const auto b = static_cast<float>(amplitude * std::cos(theta - 2.0 * kPi / 3.0));
        const auto c = static_cast<float>(amplitude * std::cos(theta + 2.0 * kPi / 3.0));
        EXPECT_NEAR(math::clarkeAlpha(a, b, c), a, 1e-4 * amplitude);
        EXPECT_NEAR(math::clarkeBeta(b, c), amplitude * std::sin(theta), 1e-4 * amplitude);
        EXPECT_NEAR(math::clarkeZero(a, b, c), 0.0, 1e-4 * amplitude);
        // In the frame turning with theta the vector stands still on d.
        const math::ParkSample park =
            math::parkTransform(math::clarkeAlpha(a, b, c), math::clarkeBeta(b, c), std::sin(theta), std::cos(theta));
        EXPECT_NEAR(park.d, amplitude, 1e-4 * amplitude);
        EXPECT_NEAR(park.q, 0.0, 1e-4 * amplitude);
    }
}

TEST(ClarkeOfPhasors, BalancedFundamentalsAndTheirParkAverages) {
    // Stored angles 0, 120, -120 of magnitude m: phasors m, a^2 m, a m.
    const double m = 100.0;
    const double2 xa = math::fundamentalPhasor(100.0f, 0.0f);
    const double2 xb = math::fundamentalPhasor(100.0f, 120.0f);
    const double2 xc = math::fundamentalPhasor(100.0f, -120.0f);
    const math::ClarkePhasors clarke = math::clarkeOfPhasors(xa, xb, xc);
    EXPECT_NEAR(clarke.alpha.x, m, 1e-12);
    EXPECT_NEAR(clarke.alpha.y, 0.0, 1e-12);
    EXPECT_NEAR(clarke.beta.x, 0.0, 1e-12);
    EXPECT_NEAR(clarke.beta.y, -m, 1e-12);
    EXPECT_NEAR(std::abs(complexOf(clarke.zero)), 0.0, 1e-12);
    const math::ParkAverages park = math::parkFromClarkePhasors(clarke);
    EXPECT_NEAR(park.d, 0.0, 1e-12);
    EXPECT_NEAR(park.q, -std::sqrt(2.0) * m, 1e-12);
    EXPECT_NEAR(park.zero, 0.0, 1e-12);
}

TEST(WaveformDerivations, LineToLineAndBackAndTheMissingCurrent) {
    EXPECT_EQ(math::starPairCount(3), 3);
    EXPECT_EQ(math::starPairCount(2), 1);
    EXPECT_EQ(math::starPairCount(1), 0);
    // Phase voltages 10, -4, -6 (sum 0): U12 = 14, U23 = 2, U31 = -16.
    EXPECT_EQ(math::thirdLineToLine(14.0f, 2.0f), -16.0f);
    EXPECT_EQ(math::phaseFromLineToLine(14.0f, 2.0f), 10.0f);
    EXPECT_EQ(math::phaseFromLineToLine(2.0f, -16.0f), -4.0f);
    EXPECT_EQ(math::phaseFromLineToLine(-16.0f, 14.0f), -6.0f);
    EXPECT_EQ(math::thirdCurrent(3.0f, -5.0f), 2.0f);
}

}  // namespace
}  // namespace powergpu
