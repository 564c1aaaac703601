// The CPU kernels and the per-element arithmetic they share with the CUDA
// kernels, against values known from trigonometry, Parseval's theorem, the
// DFT of the Blackman window and the algebra of sequence components.
#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>

#include "kernels/KernelElements.h"
#include "kernels/KernelMath.h"
#include "kernels/cpu/CpuKernels.h"
#include "support/KernelSignals.h"

namespace powergpu {
namespace {

using namespace kernel_test;
using Complex = std::complex<double>;
constexpr float kUntouched = -777.0f;
const Complex kRotation = std::polar(1.0, 2.0 * kPi / 3.0);  // a = e^(j 2pi/3)

// The bit pattern of a float or a double: equal bits, not merely equal values.
template <typename T>
uint64_t bitsOf(T x) {
    uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof x);
    return bits;
}

// Ring position of window sample i; the expected FFT input of a sample.
const auto positionOf = [](int i, int offset, int ring) { return (i + offset) % ring; };
const auto windowed = [](float sample, int i, int n, float scale) { return scale * textbookBlackman(i, n) * sample; };

// Magnitudes, interharmonic groups and angles of one kernelHarmonics launch.
struct HarmonicTables {
    HarmonicTables(int rows, int orders, const Launch& launch, int bins, int halfWidth, double binsPerFundamental,
                   double lengthRatio, double reference, const float2* spectra)
        : magnitudes(rows * orders, kUntouched), inter(rows * orders, kUntouched), phases(rows * orders, kUntouched) {
        cpu::CpuKernelContext context;
        cpu::kernelHarmonics(
            context, launch,
            powergpu::HarmonicsArgs{bins, orders, halfWidth, true, 50.0 * binsPerFundamental, 50.0, lengthRatio,
                                    &reference, spectra, magnitudes.data(), inter.data(), phases.data()});
    }
    std::vector<float> magnitudes, inter, phases;
};

}  // namespace

TEST(KernelMath, BlackmanWindowIsThePeriodicTextbookWindow) {
    for (const int n : {64, 1000, 4096}) {
        double sum = 0.0, squares = 0.0;
        for (int i = 0; i < n; ++i) {
            const double w = math::blackmanWindow(i, n);
            sum += w;
            squares += w * w;
            // Single-precision angles leave a few 1e-7; period n, not n - 1: symmetric about n/2.
            ASSERT_NEAR(w, textbookBlackman(i, n), 1e-6) << "i = " << i;
            ASSERT_NEAR(w, math::blackmanWindow((n - i) % n, n), 1e-6) << "i = " << i;
        }
        EXPECT_NEAR(sum / n, 0.42, 1e-7) << "n = " << n;
        EXPECT_NEAR(squares / n, 0.3046, 1e-7) << "0.42^2 + 0.5^2/2 + 0.08^2/2";
        EXPECT_NEAR(math::blackmanWindow(n / 2, n), 1.0, 1e-7);
    }
}

TEST(KernelMath, SinCosPiIsExactAtIntegersAndHalfIntegers) {
    double s = 1.0, c = 1.0;
    for (int k = -720; k <= 720; ++k) {
        math::sinCosPi(k, &s, &c);
        ASSERT_TRUE(s == 0.0 && c == (k % 2 == 0 ? 1.0 : -1.0)) << "x = " << k;
        math::sinCosPi(k + 0.5, &s, &c);
        ASSERT_TRUE(c == 0.0 && s == (((k % 2) + 2) % 2 == 0 ? 1.0 : -1.0)) << "x = " << k + 0.5;
    }
    math::sinCosPi(std::ldexp(1.0, 52) + 1.0, &s, &c);  // a huge odd integer
    EXPECT_TRUE(s == 0.0 && c == -1.0);
    math::sinCosPi(1.0 / 6.0, &s, &c);
    EXPECT_NEAR(s, 0.5, 2e-16);
    // The stored angle is the negated sine phase: +90 becomes -j, without residue.
    const ComplexDouble at90 = math::fundamentalPhasor(2.0f, 90.0f);
    const ComplexDouble at180 = math::fundamentalPhasor(2.0f, 180.0f);
    EXPECT_TRUE(at90.x == 0.0 && at90.y == -2.0 && at180.x == -2.0 && at180.y == 0.0);
}

// The quotient by three from fused multiply-adds must be the correctly
// rounded one, bit for bit: the sequence components and the Clarke values
// of both backends are defined by x / 3.
TEST(KernelMath, DivisionByThreeGivesTheBitsOfTheQuotient) {
    // Every float significand of one binade (the result depends on the
    // significand only, away from the subnormal range), and of the subnormals.
    for (uint32_t m = 0; m < (1u << 23); ++m) {
        for (const uint32_t exponentBits : {127u << 23, 0u}) {
            float x = 0.0f;
            const uint32_t pattern = exponentBits | m;
            std::memcpy(&x, &pattern, sizeof x);
            ASSERT_EQ(bitsOf(math::divideByThree(x)), bitsOf(x / 3.0f)) << "x = " << x;
            ASSERT_EQ(bitsOf(math::divideByThree(-x)), bitsOf(-x / 3.0f)) << "x = " << -x;
        }
    }
    // Doubles: random bit patterns over the whole range, then sums of
    // widened floats as the spectra give them.
    uint64_t state = 0x9E3779B97F4A7C15ull;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (int k = 0; k < 4000000; ++k) {
        const uint64_t pattern = next();
        double x = 0.0;
        std::memcpy(&x, &pattern, sizeof x);
        if (std::isnan(x)) {
            continue;
        }
        ASSERT_EQ(bitsOf(math::divideByThree(x)), bitsOf(x / 3.0)) << std::hexfloat << x;
        const double sum = (static_cast<double>(static_cast<float>(x)) + static_cast<float>(k)) - 0.1f;
        ASSERT_EQ(bitsOf(math::divideByThree(sum)), bitsOf(sum / 3.0)) << std::hexfloat << sum;
    }
    for (const double x : {0.0, -0.0, 3.0, -9.0, DBL_MAX, -DBL_MAX, DBL_MIN, 4.9e-324, -4.9e-324,
                           std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(bitsOf(math::divideByThree(x)), bitsOf(x / 3.0)) << x;
        EXPECT_EQ(bitsOf(math::divideByThree(static_cast<float>(x))), bitsOf(static_cast<float>(x) / 3.0f)) << x;
    }
    EXPECT_TRUE(std::isnan(math::divideByThree(std::nan(""))));
    EXPECT_TRUE(std::isnan(math::divideByThree(std::nanf(""))));
}

// The host arctangent of the phase angles: within one unit in the last
// place of the correctly rounded value everywhere (the device library
// allows more), and the special cases of atan2.
TEST(KernelMath, HostArctangentIsFaithfulWithTheSpecialCasesOfAtan2) {
    const auto ulpsApart = [](float a, float b) {
        int32_t ia = 0, ib = 0;
        std::memcpy(&ia, &a, sizeof a);
        std::memcpy(&ib, &b, sizeof b);
        return std::abs(static_cast<int64_t>(ia) - static_cast<int64_t>(ib));
    };
    std::mt19937 generator(7);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-60, 60);
    int64_t worst = 0;
    int inexact = 0;
    for (int k = 0; k < 2000000; ++k) {
        const float y = std::ldexp(mantissa(generator), exponent(generator));
        const float x = k % 3 == 0 ? y * (1.0f + 1e-3f * mantissa(generator))
                                   : std::ldexp(mantissa(generator), exponent(generator));
        const float expected = static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
        const int64_t apart = ulpsApart(math::hostAtan2Float(y, x), expected);
        worst = std::max(worst, apart);
        inexact += apart != 0 ? 1 : 0;
    }
    EXPECT_LE(worst, 1);
    EXPECT_LT(inexact, 200) << "correctly rounded but in rare near-halfway cases";
    const float inf = std::numeric_limits<float>::infinity();
    const float pi = static_cast<float>(kPi);
    const std::vector<std::array<float, 3>> cases = {
        {0.0f, 0.0f, 0.0f},    {-0.0f, 0.0f, -0.0f},    {0.0f, -0.0f, pi},         {-0.0f, -0.0f, -pi},
        {1.0f, 0.0f, pi / 2},  {-1.0f, -0.0f, -pi / 2}, {inf, 5.0f, pi / 2},       {5.0f, -inf, pi},
        {-5.0f, inf, -0.0f},   {inf, inf, pi / 4},      {-inf, -inf, -3 * pi / 4}, {1.0f, -1.0f, 3 * pi / 4},
        {1e-45f, 1e38f, 0.0f}, {1e38f, 1e-45f, pi / 2}};
    for (const auto& c : cases) {
        const float angle = math::hostAtan2Float(c[0], c[1]);
        EXPECT_LE(ulpsApart(angle, c[2]), 1) << "atan2(" << c[0] << ", " << c[1] << ") = " << angle;
        EXPECT_EQ(std::signbit(angle), std::signbit(c[2])) << "atan2(" << c[0] << ", " << c[1] << ")";
    }
    EXPECT_TRUE(std::isnan(math::hostAtan2Float(std::nanf(""), 1.0f)));
    EXPECT_TRUE(std::isnan(math::hostAtan2Float(0.0f, std::nanf(""))));
}

TEST(KernelMath, GroupNormDoesNotOverflowOrUnderflow) {
    const auto norm = [](std::vector<float2> bins) {
        return math::groupNorm(bins.data(), static_cast<int>(bins.size()));
    };
    EXPECT_FLOAT_EQ(norm({bin(3.0f, 4.0f), bin(0.0f, 12.0f)}), 13.0f);
    EXPECT_NEAR(norm({bin(1e38f, -1e38f), bin(1e38f, 1e38f)}) / 2e38f, 1.0f, 1e-6f) << "squares overflow float";
    EXPECT_EQ(norm({bin(FLT_MAX, 0.0f), bin(0.0f, 0.0f)}), FLT_MAX);
    EXPECT_TRUE(std::isinf(norm({bin(FLT_MAX, FLT_MAX)}))) << "beyond the float range: infinite, not NaN";
    EXPECT_NEAR(norm({bin(3e-40f, 4e-40f)}) / 5e-40f, 1.0f, 1e-4f) << "squares underflow float";
    EXPECT_TRUE(std::isnan(norm({bin(1.0f, 2.0f), bin(std::nanf(""), 0.0f)})));
}

TEST(CpuWaveformKernels, StarLineToLineVoltagesAndWindowedRowsAtTheWrappedRingPositions) {
    // Ring of 64 per phase; a window of 20 from 56 wraps to 0..11; rows of 32.
    const int ring = 64, offset = 56, n = 20, fft = 32;
    const float scale = fftScaleFor(n, fft);
    std::vector<float> phases(3 * ring), lines(3 * ring, kUntouched), phaseRows(3 * fft, kUntouched),
        lineRows(3 * fft, kUntouched);
    for (int j = 0; j < 3 * ring; ++j) {
        phases[j] = static_cast<float>((j / ring + 1) * (j % ring + 1));  // exact differences, unequal everywhere
    }
    cpu::CpuKernelContext context;
    cpu::kernelWaveformsUStar(
        context, rowsLaunch(3),
        powergpu::WaveformsUStarArgs{
            {n, offset, ring}, fft, scale, true, true, phases.data(), lines.data(), phaseRows.data(), lineRows.data()});
    const float factors[3] = {-1.0f, -1.0f, 2.0f};  // U12 = U23 = -(j + 1), U31 = 2 (j + 1)
    for (int c = 0; c < 3; ++c) {
        for (int j = 0; j < ring; ++j) {
            const bool inWindow = (j - offset + ring) % ring < n;
            EXPECT_EQ(lines[c * ring + j], inWindow ? factors[c] * (j + 1) : kUntouched) << c << " at " << j;
        }
        for (int i = 0; i < fft; ++i) {
            const int j = positionOf(i, offset, ring);
            if (i >= n) {
                EXPECT_EQ(phaseRows[c * fft + i], kUntouched) << "zero padding written";
                continue;
            }
            EXPECT_NEAR(phaseRows[c * fft + i], windowed(phases[c * ring + j], i, n, scale), 1e-6 * scale * 200.0);
            EXPECT_NEAR(lineRows[c * fft + i], windowed(lines[c * ring + j], i, n, scale), 1e-6 * scale * 200.0);
        }
    }
}

TEST(CpuWaveformKernels, TwoMeasuredLineVoltagesGiveTheThirdAndBalancedPhases) {
    const int ring = 256, offset = 200, n = 128, fft = 128;  // wraps at 256
    const double amplitude = 325.0;
    const auto star = [&](int c, int j) { return amplitude * std::sin(2.0 * kPi * j / 64.0 - c * 2.0 * kPi / 3.0); };
    std::vector<float> phases(3 * ring, kUntouched), lines(3 * ring, kUntouched), rows(3 * fft, kUntouched),
        lineRows(3 * fft, kUntouched);
    for (int j = 0; j < ring; ++j) {
        for (int c = 0; c < 2; ++c) {
            lines[c * ring + j] = static_cast<float>(star(c, j) - star(c + 1, j));
        }
    }
    cpu::CpuKernelContext context;
    cpu::kernelWaveformsUDelta(context, rowsLaunch(3),
                               powergpu::WaveformsUDeltaArgs{2,
                                                             {n, offset, ring},
                                                             fft,
                                                             fftScaleFor(n, fft),
                                                             true,
                                                             phases.data(),
                                                             lines.data(),
                                                             rows.data(),
                                                             lineRows.data()});
    for (int i = 0; i < n; ++i) {
        const int j = positionOf(i, offset, ring);
        EXPECT_EQ(lines[2 * ring + j], -(lines[j] + lines[ring + j])) << "U31 = -(U12 + U23) at " << j;
        double sum = 0.0;
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(phases[c * ring + j], star(c, j), 1e-5 * amplitude) << "phase " << c << " at " << j;
            sum += phases[c * ring + j];
        }
        EXPECT_NEAR(sum, 0.0, 1e-5 * amplitude) << "against the artificial star point";
    }
    EXPECT_TRUE(phases[100] == kUntouched && lines[2 * ring + 100] == kUntouched) << "outside the window";
}

TEST(CpuWaveformKernels, ThirdCurrentIsMinusTheSumOfTheOtherTwo) {
    const int ring = 100, offset = 90, n = 50, fft = 64;
    const float scale = fftScaleFor(n, fft);
    const auto current = [](int c, int j) { return 16.0 * std::cos(2.0 * kPi * j / 25.0 - c * 2.0 * kPi / 3.0); };
    std::vector<float> currents(3 * ring, kUntouched), rows(3 * fft, kUntouched);
    for (int j = 0; j < 2 * ring; ++j) {
        currents[j] = static_cast<float>(current(j / ring, j % ring));
    }
    cpu::CpuKernelContext context;
    cpu::kernelWaveformsI(context, rowsLaunch(2),
                          powergpu::WaveformsIArgs{{n, offset, ring}, fft, scale, currents.data(), rows.data()});
    cpu::kernelWaveformsI3(context, rowsLaunch(1),
                           powergpu::WaveformsI3Args{{n, offset, ring}, fft, scale, currents.data(), rows.data()});
    for (int i = 0; i < n; ++i) {
        const int j = positionOf(i, offset, ring);
        EXPECT_NEAR(currents[2 * ring + j], current(2, j), 1e-5 * 16.0) << "I3 at " << j;
        EXPECT_NEAR(rows[2 * fft + i], windowed(currents[2 * ring + j], i, n, scale), 1e-6 * scale * 16.0);
    }
    EXPECT_TRUE(currents[2 * ring + 50] == kUntouched && rows[2 * fft + 50] == kUntouched);
}

TEST(CpuWaveformKernels, ClarkeAndParkOfBalancedSets) {
    // Group 0 voltages, group 1 currents, balanced around the electrical angle
    // of a mechanical angle 0.037 j rad with 2 pole pairs and an offset of 30 degrees.
    const int ring = 128, offset = 100, n = 64;
    const double amplitude[2] = {325.0, 12.0}, shift[2] = {0.4, -0.9};
    std::vector<float> samples(6 * ring), angle(ring);
    const auto electrical = [&](int j) { return 2.0 * angle[j] - 30.0 * kPi / 180.0; };
    for (int j = 0; j < ring; ++j) {
        angle[j] = static_cast<float>(0.037 * j);
        for (int k = 0; k < 6; ++k) {
            samples[k * ring + j] = static_cast<float>(
                amplitude[k / 3] * std::cos(electrical(j) + shift[k / 3] - (k % 3) * 2.0 * kPi / 3.0));
        }
    }
    std::vector<float> clarke(6 * ring, kUntouched), park(6 * ring, kUntouched);
    std::vector<double> averages = {0.0, 0.0, -1.0, 0.0, 0.0, -1.0};
    cpu::kernelWaveformsClarke(rowsLaunch(2),
                               powergpu::WaveformsClarkeArgs{{n, offset, ring}, samples.data(), clarke.data()});
    cpu::kernelWaveformsPark(
        rowsLaunch(2), powergpu::WaveformsParkArgs{
                           {n, offset, ring}, 2, 30.0, samples.data(), angle.data(), park.data(), averages.data()});
    for (int g = 0; g < 2; ++g) {
        const double a = amplitude[g], tolerance = 1e-5 * amplitude[g];
        for (int i = 0; i < n; ++i) {
            const int j = positionOf(i, offset, ring);
            const double theta = electrical(j) + shift[g];
            EXPECT_NEAR(clarke[3 * g * ring + j], a * std::cos(theta), tolerance);
            EXPECT_NEAR(clarke[(3 * g + 1) * ring + j], a * std::sin(theta), tolerance);
            EXPECT_NEAR(clarke[(3 * g + 2) * ring + j], 0.0, tolerance);
            EXPECT_NEAR(park[3 * g * ring + j], a * std::cos(shift[g]), tolerance) << "d is constant";
            EXPECT_NEAR(park[(3 * g + 1) * ring + j], a * std::sin(shift[g]), tolerance) << "q is constant";
            EXPECT_EQ(park[(3 * g + 2) * ring + j], kUntouched) << "no third row";
        }
        EXPECT_NEAR(averages[3 * g], a * std::cos(shift[g]), tolerance);
        EXPECT_NEAR(averages[3 * g + 1], a * std::sin(shift[g]), tolerance);
        EXPECT_EQ(averages[3 * g + 2], -1.0);
        EXPECT_EQ(clarke[3 * g * ring + 50], kUntouched) << "outside the window";
    }
}

TEST(CpuSpectralKernels, ParsevalSumsOfTransformedRowsAreTheMeanSquares) {
    // 37 cycles in 1000 samples, zero-padded to 1024 and transformed.
    const int n = 1000, fft = 1024, bins = fft / 2 + 1;
    const double u[3] = {325.0, 300.0, 310.0}, i[3] = {10.0, 5.0, 7.0}, lag[3] = {30.0, -60.0, 10.0};
    std::vector<float> voltages(3 * n), currents(3 * n), lines(3 * n), uRows(3 * fft, 0.0f), iRows(3 * fft, 0.0f),
        lRows(3 * fft, 0.0f);
    for (int k = 0; k < 3 * n; ++k) {
        const int c = k / n;
        voltages[k] = static_cast<float>(sineAt(u[c], 37.0, n, 15.0 - 120.0 * c, k % n) + 0.1 * c);
        currents[k] = static_cast<float>(sineAt(i[c], 37.0, n, 15.0 - 120.0 * c - lag[c], k % n));
    }
    cpu::CpuKernelContext context;
    const float scale = fftScaleFor(n, fft);
    cpu::kernelWaveformsUStar(
        context, rowsLaunch(3),
        powergpu::WaveformsUStarArgs{
            {n, 0, n}, fft, scale, true, true, voltages.data(), lines.data(), uRows.data(), lRows.data()});
    cpu::kernelWaveformsI(context, rowsLaunch(3),
                          powergpu::WaveformsIArgs{{n, 0, n}, fft, scale, currents.data(), iRows.data()});
    const std::vector<float2> su = realSpectra(uRows, 3, fft), si = realSpectra(iRows, 3, fft),
                              sl = realSpectra(lRows, 3, fft);
    PowerResultsGeneral record{};
    cpu::kernelFreqRms(rowsLaunch(3), powergpu::FreqRmsArgs{bins, 3, su.data(), si.data(), sl.data(), &record});
    for (int c = 0; c < 3; ++c) {
        double squareU = 0.0, squareL = 0.0, product = 0.0;
        for (int k = c * n; k < (c + 1) * n; ++k) {
            squareU += double(voltages[k]) * voltages[k] / n;
            squareL += double(lines[k]) * lines[k] / n;
            product += double(voltages[k]) * currents[k] / n;
        }
        const PowerResultsChannel& ch = record.channels[c];
        EXPECT_NEAR(ch.rmsFftU / squareU, 1.0, 1e-4) << "phase " << c;
        EXPECT_NEAR(ch.rmsFftUL / squareL, 1.0, 1e-4) << "phase " << c;
        EXPECT_NEAR(ch.rmsFftI / (i[c] * i[c] / 2.0), 1.0, 1e-4) << "phase " << c;
        EXPECT_NEAR(ch.pFft / product, 1.0, 1e-4) << "phase " << c;
        // The reactive sum U I sin(lag): positive when the current lags.
        EXPECT_NEAR(ch.q, u[c] * i[c] / 2.0 * std::sin(lag[c] * kPi / 180.0), 1e-3 * u[c] * i[c] / 2.0);
    }
    // First and last bins count half.
    const std::vector<float2> three = {bin(2.0f, 0.0f), bin(3.0f, 4.0f), bin(0.0f, 2.0f)};
    PowerResultsGeneral small{};
    cpu::kernelFreqRms(rowsLaunch(1), powergpu::FreqRmsArgs{3, 0, three.data(), nullptr, nullptr, &small});
    EXPECT_EQ(small.channels[0].rmsFftU, 2.0 + 25.0 + 2.0);
}

TEST(CpuSpectralKernels, HarmonicMagnitudesAndAnglesOfTransformedSignals) {
    // 1024 samples, fundamental on bin 16: DC, fundamental, 5th and a tone at 2.5 times the fundamental.
    const int n = 1024, orders = 33;
    const double dc[3] = {5.0, -3.0, 0.0}, h1[3] = {230.0, 200.0, 10.0}, psi1[3] = {20.0, -100.0, 75.0};
    const double h5[3] = {12.0, 8.0, 2.0}, psi5[3] = {-40.0, 160.0, 5.0}, tone[3] = {3.0, 0.0, 1.0};
    std::vector<float> samples(3 * n), rows(3 * n, 0.0f), unused(3 * n, 0.0f);
    for (int k = 0; k < 3 * n; ++k) {
        const int c = k / n, i = k % n;
        samples[k] = static_cast<float>(dc[c] + sineAt(h1[c], 16.0, n, psi1[c], i) +
                                        sineAt(h5[c], 80.0, n, psi5[c], i) + sineAt(tone[c], 40.0, n, 0.0, i));
    }
    cpu::CpuKernelContext context;
    cpu::kernelWaveformsUStar(
        context, rowsLaunch(3),
        powergpu::WaveformsUStarArgs{
            {n, 0, n}, n, fftScaleFor(n, n), false, false, samples.data(), nullptr, rows.data(), unused.data()});
    const std::vector<float2> spectra = realSpectra(rows, 3, n);
    // The reference: row 0's fundamental angle, the negated sine phase.
    double reference = 0.0;
    cpu::kernelReferenceAngle(rowsLaunch(1, 1, 1),
                              powergpu::ReferenceAngleArgs{800.0, 50.0, 1.0, spectra.data(), &reference});
    EXPECT_NEAR(angleDifference(reference, -psi1[0]), 0.0, 1e-3);
    const HarmonicTables t(3, orders, rowsLaunch(3, 2), n / 2 + 1, 5, 16.0, 1.0, reference, spectra.data());
    for (int c = 0; c < 3; ++c) {
        SCOPED_TRACE("row " + std::to_string(c));
        const float* m = &t.magnitudes[c * orders];
        const double tolerance = 1e-5 * h1[c];
        EXPECT_NEAR(m[0], std::fabs(dc[c]), tolerance);
        EXPECT_NEAR(m[1], h1[c] / std::sqrt(2.0), tolerance);
        EXPECT_NEAR(m[5], h5[c] / std::sqrt(2.0), tolerance);
        for (const int order : {2, 3, 4, 6, 7, 20, 32}) {
            EXPECT_NEAR(m[order], 0.0, tolerance) << "order " << order;
        }
        // Bin 40 lies in the group between orders 2 and 3 (bins 38..42).
        EXPECT_NEAR(t.inter[c * orders + 2], tone[c] / std::sqrt(2.0), tolerance);
        EXPECT_NEAR(t.inter[c * orders + 1] + t.inter[c * orders + 3], 0.0, tolerance);
        // Order h: -psi_h - h (-psi_ref).
        EXPECT_NEAR(angleDifference(t.phases[c * orders + 1], psi1[0] - psi1[c]), 0.0, 1e-3);
        EXPECT_NEAR(angleDifference(t.phases[c * orders + 5], 5.0 * psi1[0] - psi5[c]), 0.0, 1e-3);
        for (int h = 0; h < orders; ++h) {
            EXPECT_TRUE(t.phases[c * orders + h] > -180.0f && t.phases[c * orders + h] <= 180.0f);
        }
    }
}

TEST(CpuSpectralKernels, HarmonicGroupsTakeTheirBinsAndOrdersOutsideTheRowReportZero) {
    // Bin k holds (k, 0): a group's norm tells which bins it took. 10 bins per
    // fundamental, half width 3: order 2 takes 17..23, the group after it 24..26.
    const auto rss = [](int first, int last) {
        double sum = 0.0;
        for (int k = first; k <= last; ++k) {
            sum += double(k) * k;
        }
        return static_cast<float>(std::sqrt(sum));
    };
    // Row 0 has 68 bins, row 1 behind it is NaN: order 7 (centre 70) lies outside row 0.
    std::vector<float2> rows(2 * 68, bin(std::nanf(""), std::nanf("")));
    for (int k = 0; k < 68; ++k) {
        rows[k] = bin(static_cast<float>(k), 0.0f);
    }
    const HarmonicTables t(2, 9, rowsLaunch(2), 68, 3, 10.0, 1.0, 0.0, rows.data());
    EXPECT_FLOAT_EQ(t.magnitudes[2], rss(17, 23));
    EXPECT_FLOAT_EQ(t.inter[2], rss(24, 26));
    EXPECT_FLOAT_EQ(t.magnitudes[0], rss(1, 3)) << "half of bin 0, then 1..3";
    EXPECT_FLOAT_EQ(t.inter[0], rss(4, 6));
    EXPECT_FLOAT_EQ(t.magnitudes[6], rss(57, 63));
    EXPECT_FLOAT_EQ(t.inter[6], rss(64, 66)) << "up to one before the next group";
    EXPECT_NEAR(t.phases[3], -90.0f, 1e-4f) << "a real positive centre bin";
    for (const int order : {7, 8}) {
        EXPECT_TRUE(t.magnitudes[order] == 0.0f && t.phases[order] == 0.0f && t.inter[order] == kUntouched) << order;
    }
}

// The CPU kernel forms the bin powers of a row once and the angles in a loop
// of their own; every value must still be the one the per-order function
// (what each CUDA thread runs) gives, bit for bit: on random rows, with
// groups clipped at the row end, orders beyond it, and bins so large or so
// small that their groups take the scaled path.
TEST(CpuSpectralKernels, HarmonicTablesAreThoseOfThePerOrderFunctionBitForBit) {
    std::mt19937 generator(11);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    for (const auto& c : {std::make_tuple(20.48, 6, 51, 2049), std::make_tuple(10.3, 3, 51, 300),
                          std::make_tuple(2.5, 1, 40, 64), std::make_tuple(37.77, 11, 20, 1025)}) {
        const double binsPerFundamental = std::get<0>(c);
        const int halfWidth = std::get<1>(c), orders = std::get<2>(c), bins = std::get<3>(c), rows = 3;
        std::vector<float2> spectra(static_cast<std::size_t>(rows) * bins);
        for (std::size_t k = 0; k < spectra.size(); ++k) {
            const float scale = k % 97 == 5 ? 3e19f : (k % 89 == 7 ? 1e-22f : 100.0f);
            spectra[k] = bin(scale * gauss(generator), scale * gauss(generator));
        }
        const double reference = 37.5;
        const HarmonicTables t(rows, orders, rowsLaunch(rows), bins, halfWidth, binsPerFundamental, 0.7, reference,
                               spectra.data());
        std::vector<float> magnitudes(rows * orders, kUntouched), inter(rows * orders, kUntouched),
            phases(rows * orders, kUntouched);
        for (int row = 0; row < rows; ++row) {
            for (int h = 0; h < orders; ++h) {
                const math::HarmonicOrderValues values =
                    math::harmonicOrderValues(spectra.data() + row * bins, bins, h, halfWidth, true,
                                              (50.0 * binsPerFundamental) / 50.0, 0.7, reference);
                math::storeHarmonicOrder(values, row * orders + h, magnitudes.data(), phases.data(), inter.data());
            }
        }
        for (int e = 0; e < rows * orders; ++e) {
            ASSERT_EQ(bitsOf(t.magnitudes[e]), bitsOf(magnitudes[e])) << "magnitude " << e << " of " << bins;
            ASSERT_EQ(bitsOf(t.inter[e]), bitsOf(inter[e])) << "interharmonic " << e << " of " << bins;
            ASSERT_EQ(bitsOf(t.phases[e]), bitsOf(phases[e])) << "angle " << e << " of " << bins;
        }
    }
}

TEST(CpuSpectralKernels, OrderPowersSignOfQAndTheImpedanceBoundary) {
    // Rows 0..2 voltages, 3..5 currents, orders 0..3; stored angles are negated
    // sine phases, so a lagging current's angle lies above the voltage's.
    const int rows = 3, orders = 4, block = rows * orders;
    std::vector<float> magnitudes(2 * block, 0.0f), phases(2 * block, 0.0f);
    const float lag[3] = {30.0f, -60.0f, 0.0f};
    for (int c = 0; c < rows; ++c) {
        magnitudes[c * orders + 1] = 230.0f;
        magnitudes[block + c * orders + 1] = 10.0f * (c + 1);
        phases[c * orders + 1] = -20.0f;
        phases[block + c * orders + 1] = -20.0f + lag[c];
    }
    magnitudes[2] = magnitudes[3] = 50.0f;
    magnitudes[block + 2] = std::nextafter(0.001f, 0.0f);  // below 0.001 as a double
    magnitudes[block + 3] = 0.001f;                        // just above
    std::vector<float> powers(3 * block, kUntouched), impedances(block, kUntouched);
    cpu::kernelPQSZ(rowsLaunch(rows), powergpu::PQSZArgs{rows, orders, magnitudes.data(), phases.data(), powers.data(),
                                                         impedances.data()});
    for (int c = 0; c < rows; ++c) {
        const int e = c * orders + 1;
        const double s = 2300.0 * (c + 1), delta = lag[c] * kPi / 180.0;
        EXPECT_NEAR(powers[e], s * std::cos(delta), 1e-5 * s) << "P of phase " << c;
        EXPECT_NEAR(powers[block + e], s * std::sin(delta), 1e-5 * s) << "Q of phase " << c << ", > 0 lagging";
        EXPECT_NEAR(powers[2 * block + e], s, 1e-6 * s) << "S of phase " << c;
        EXPECT_NEAR(impedances[e], 23.0 / (c + 1), 1e-5) << "Z of phase " << c;
        EXPECT_TRUE(impedances[c * orders] == 0.0f && powers[2 * block + c * orders] == 0.0f) << "no current";
    }
    EXPECT_EQ(impedances[2], 0.0f);
    EXPECT_NEAR(impedances[3], 50000.0f, 0.01f);
}

TEST(CpuSpectralKernels, ThdSumsSplitOrdersIntoEvenOddAndTriplen) {
    const int orders = 12;
    std::vector<float> magnitudes(2 * orders);
    for (int h = 0; h < 2 * orders; ++h) {
        magnitudes[h] = static_cast<float>((h / orders + 1) * (h % orders));  // record 1 is twice record 0
    }
    std::vector<PowerResultsThd> thd(3, PowerResultsThd{});
    cpu::kernelSumOfHarmonicsSquared(rowsLaunch(1, 1, 2),
                                     powergpu::SumOfHarmonicsSquaredArgs{9, orders, magnitudes.data(), thd.data()});
    // Orders 2..9: even 4+16+36+64, odd triplen 9+81, odd non-triplen 25+49.
    for (int r = 0; r < 2; ++r) {
        const double f = r == 0 ? 1.0 : 4.0;
        EXPECT_TRUE(thd[r].thdEven == 120.0 * f && thd[r].thdOddTriplen == 90.0 * f &&
                    thd[r].thdOddNonTriplen == 74.0 * f && thd[r].thdOdd == 164.0 * f && thd[r].thd == 284.0 * f)
            << "record " << r;
    }
    EXPECT_EQ(thd[2].thd, 0.0) << "one record per thread";
    std::vector<PowerResultsThd> last(1, PowerResultsThd{});
    cpu::kernelSumOfHarmonicsSquared(
        rowsLaunch(1, 1, 1), powergpu::SumOfHarmonicsSquaredArgs{orders - 1, orders, magnitudes.data(), last.data()});
    EXPECT_EQ(last[0].thd, 284.0 + 100.0 + 121.0);
}

TEST(CpuSymmetricalKernels, BalancedSetsSumIntoTheirSequenceAndEqualSetsIntoZero) {
    // Voltages a positive-sequence set, currents (twice as large) a negative one;
    // bin k of phase a is (k + 1) e^(j 0.7k); the huge last bin must not count.
    const int bins = 9;
    std::vector<float2> spectra(6 * bins), equal(3 * bins);
    double expected = 0.0;
    const auto toBin = [](Complex z) { return bin(static_cast<float>(z.real()), static_cast<float>(z.imag())); };
    for (int k = 0; k < bins; ++k) {
        const Complex a = k == bins - 1 ? Complex(1e4, 0.0) : std::polar(k + 1.0, 0.7 * k);
        const Complex set[6] = {a,       kRotation * kRotation * a, kRotation * a,
                                2.0 * a, 2.0 * kRotation * a,       2.0 * kRotation * kRotation * a};
        for (int row = 0; row < 6; ++row) {
            spectra[row * bins + k] = toBin(set[row]);
        }
        equal[k] = equal[bins + k] = equal[2 * bins + k] = toBin(a);
        expected += k < bins - 1 ? (k + 1.0) * (k + 1.0) : 0.0;
    }
    std::vector<double> sums(6, 0.0), zero(3, 0.0);
    cpu::kernelSymmetricalComponents(rowsLaunch(2, 1, 8),
                                     powergpu::SymmetricalComponentsArgs{bins, spectra.data(), sums.data()});
    cpu::kernelSymmetricalComponents(rowsLaunch(1, 1, 8),
                                     powergpu::SymmetricalComponentsArgs{bins, equal.data(), zero.data()});
    const std::vector<double> wanted = {0.0, expected, 0.0, 0.0, 0.0, 4.0 * expected};
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(sums[k], wanted[k], 4e-5 * expected) << "sum " << k;
    }
    EXPECT_NEAR(zero[0], expected, 1e-6 * expected);
    EXPECT_TRUE(zero[1] == 0.0 && zero[2] == 0.0);
}

}  // namespace powergpu
