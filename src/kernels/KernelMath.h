// Per-element arithmetic of the seventeen general-results kernels, written
// once for both backends.
//
// The CUDA kernels and the CPU kernels call these functions for every
// sample, bin, harmonic order or phasor they handle, so both compute each
// element through the same single- and double-precision steps. Fused
// multiply-adds appear only where they are written out below (the build
// forbids the compilers to fuse anything else), which keeps the two
// backends on the same roundings; the only differences left are the last
// bits of the transcendental functions of the two math libraries.
//
// Usable from host-only translation units (no CUDA header needed) and from
// nvcc, where every function is __host__ __device__.
#pragma once

#include <cmath>
#include <cstring>

#include "kernels/DeviceTypes.h"

namespace powergpu::math {

// 2*pi and 4*pi as single-precision constants: the window angles are formed
// in float.
constexpr float kTwoPiFloat = 6.2831855f;
constexpr float kFourPiFloat = 12.566371f;
// pi as a single-precision constant, and the same value widened to double.
constexpr float kPiFloat = 3.1415927f;
constexpr double kPiFloatAsDouble = 3.1415927410125732;
constexpr double kPi = 3.141592653589793;
constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kHalfSqrt3 = 0.8660254037844386;
constexpr float kLargestFloat = 3.40282347e38f;
// A current magnitude at or below this gives no impedance.
constexpr double kSmallestCurrentForImpedance = 0.001;

// ---------------------------------------------------------------------------
// Math library seam: the device library on the GPU, <cmath> on the host.
// ---------------------------------------------------------------------------

// Names the device library's function in device code and <cmath>'s
// elsewhere, so each wrapper below is one line.
#if defined(__CUDA_ARCH__)
#define POWERGPU_DEVICE_OR_HOST(device, host) device
#else
#define POWERGPU_DEVICE_OR_HOST(device, host) host
#endif

POWERGPU_HD inline double fmaDouble(double a, double b, double c) {
    return POWERGPU_DEVICE_OR_HOST(::fma, std::fma)(a, b, c);
}

POWERGPU_HD inline float fmaFloat(float a, float b, float c) {
    return POWERGPU_DEVICE_OR_HOST(::fmaf, std::fma)(a, b, c);
}

POWERGPU_HD inline float cosFloat(float x) {
    return POWERGPU_DEVICE_OR_HOST(::cosf, std::cos)(x);
}

POWERGPU_HD inline float sinFloat(float x) {
    return POWERGPU_DEVICE_OR_HOST(::sinf, std::sin)(x);
}

#if !defined(__CUDA_ARCH__)
// The host's single-precision arctangent of y/x, with the special cases of
// atan2. The quadrant logic works in double; the arctangent of the reduced
// argument u (|u| <= tan(pi/8)) is u + u^3 P(u^2), P fitted to a relative
// error below 4e-12. So the float result is the correctly rounded one except
// in rare cases within 4e-12 of halfway between two floats, where it may be
// one unit off: within the error bound of the device library's atan2f.
// Branch-free (selects only), so a loop of angles vectorises; the math
// library's atan2f is a call per element.
inline float hostAtan2Float(float y, float x) {
    constexpr double kTanPiOver8 = 0.41421356237309503;
    constexpr double kPiOver4 = 0.78539816339744831;
    constexpr double kPiOver2 = 1.5707963267948966;
    constexpr double kPiDouble = 3.141592653589793;
    constexpr double kLargestDouble = 1.7976931348623157e308;
    const double ay = std::fabs(static_cast<double>(y));
    const double ax = std::fabs(static_cast<double>(x));
    const bool steep = ay > ax;
    const double num = steep ? ax : ay;
    const double den = steep ? ay : ax;
    double t = num / den;
    t = den == 0.0 ? 0.0 : t;            // both zero: the angle of +-0 or +-pi
    t = num > kLargestDouble ? 1.0 : t;  // both infinite: an odd multiple of pi/4
    // Both candidates are formed, then selected: a division under a
    // condition would keep the loop from vectorising.
    const bool upper = t > kTanPiOver8;
    const double reduced = (t - 1.0) / (t + 1.0);
    const double u = upper ? reduced : t;
    const double s = u * u;
    double p = -0.04048241776146648;
    p = p * s + 0.07137915147986788;
    p = p * s - 0.09029485256230214;
    p = p * s + 0.11107539979075044;
    p = p * s - 0.1428561432538106;
    p = p * s + 0.1999999894417958;
    p = p * s - 0.33333333331505566;
    double angle = u + (u * s) * p;
    angle = upper ? kPiOver4 + angle : angle;
    angle = steep ? kPiOver2 - angle : angle;
    angle = std::signbit(x) ? kPiDouble - angle : angle;
    const float result = std::copysign(static_cast<float>(angle), y);
    return (std::isnan(x) || std::isnan(y)) ? x + y : result;
}
#endif

POWERGPU_HD inline float atan2Float(float y, float x) {
#if defined(__CUDA_ARCH__)
    return ::atan2f(y, x);
#else
    return hostAtan2Float(y, x);
#endif
}

POWERGPU_HD inline double sinDouble(double x) {
    return POWERGPU_DEVICE_OR_HOST(::sin, std::sin)(x);
}

POWERGPU_HD inline double cosDouble(double x) {
    return POWERGPU_DEVICE_OR_HOST(::cos, std::cos)(x);
}

POWERGPU_HD inline double sqrtDouble(double x) {
    return POWERGPU_DEVICE_OR_HOST(::sqrt, std::sqrt)(x);
}

POWERGPU_HD inline float sqrtFloat(float x) {
    return POWERGPU_DEVICE_OR_HOST(::sqrtf, std::sqrt)(x);
}

POWERGPU_HD inline double ceilDouble(double x) {
    return POWERGPU_DEVICE_OR_HOST(::ceil, std::ceil)(x);
}

POWERGPU_HD inline double absDouble(double x) {
    return POWERGPU_DEVICE_OR_HOST(::fabs, std::fabs)(x);
}

POWERGPU_HD inline float absFloat(float x) {
    return POWERGPU_DEVICE_OR_HOST(::fabsf, std::fabs)(x);
}

// ---------------------------------------------------------------------------
// Division by three without a division instruction
// ---------------------------------------------------------------------------
//
// x / 3 correctly rounded, from two fused multiply-adds instead of a
// division (a long-latency, unpipelined instruction on processors and a
// software sequence on the GPU). Gives the bits of x / 3 for every input:
//  - q = x * RN(1/3) lies within one unit in the last place of x / 3, so the
//    excess 3q - x is representable and one fma forms it exactly;
//  - x / 3 = q - (3q - x) / 3 exactly, and fma(-(3q - x), RN(1/3), q) misses
//    it by far less than 1/6 unit in the last place before its one rounding;
//  - x / 3 itself never lies within 1/6 unit of a rounding boundary: in
//    units of the last place it is an integer divided by 3, whose fraction
//    is 0, 1/3 or 2/3, never the halfway 1/2.
// So both round to the same neighbour. A zero excess leaves q, with the
// sign of a zero quotient intact (q - (+0) keeps -0). Where x is infinite or
// NaN the excess is NaN; it is taken as 0, which leaves q = x / 3 too.
POWERGPU_HD inline double fusedMultiplyAdd(double a, double b, double c) {
    return fmaDouble(a, b, c);
}

POWERGPU_HD inline float fusedMultiplyAdd(float a, float b, float c) {
    return fmaFloat(a, b, c);
}

template <typename Real>
POWERGPU_HD inline Real divideByThree(Real x) {
    constexpr Real kThree = 3;
    constexpr Real kOneThird = Real(1) / kThree;
    const Real q = x * kOneThird;
    const Real excess = fusedMultiplyAdd(q, kThree, -x);
    const Real finiteExcess = excess == excess ? excess : Real(0);
    return fusedMultiplyAdd(-finiteExcess, kOneThird, q);
}

// Mantissa in [0.5, 1) and the power of two of a finite, nonzero value.
POWERGPU_HD inline float frexpFloat(float x, int* exponent) {
    return POWERGPU_DEVICE_OR_HOST(::frexpf, std::frexp)(x, exponent);
}

// The exponent e of a finite, nonzero value x = m 2^e with m in [0.5, 1),
// read from the bits for normal values (frexp for subnormal ones).
POWERGPU_HD inline int binaryExponent(float x) {
#if defined(__CUDA_ARCH__)
    const unsigned bits = __float_as_uint(x);
#else
    unsigned bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
#endif
    const int biased = static_cast<int>((bits >> 23) & 0xffu);
    if (biased != 0) {
        return biased - 126;
    }
    int exponent = 0;
    frexpFloat(x, &exponent);
    return exponent;
}

POWERGPU_HD inline float quietNaNFloat() {
    const unsigned bits = 0x7fc00000u;
#if defined(__CUDA_ARCH__)
    return __uint_as_float(bits);
#else
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
#endif
}

// 2^exponent for exponents of normal floats (-126..127), built from its bits.
POWERGPU_HD inline float powerOfTwo(int exponent) {
    const unsigned bits = static_cast<unsigned>(exponent + 127) << 23;
#if defined(__CUDA_ARCH__)
    return __uint_as_float(bits);
#else
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
#endif
}

POWERGPU_HD inline bool isNaN(double x) {
    return x != x;
}
POWERGPU_HD inline bool isNaN(float x) {
    return x != x;
}

// Round to the nearest integer, halves away from zero. This equals adding
// copysign(0.5, r) with rounding toward zero and truncating: the rounding
// toward zero can never carry the sum across an integer, so the result is
// the exactly rounded value that round() returns.
POWERGPU_HD inline int nearestInteger(double r) {
#if defined(__CUDA_ARCH__)
    return static_cast<int>(::round(r));
#else
    // round() written out so that it compiles to a few instructions instead
    // of a library call: r - trunc(r) is exact, so the comparison decides
    // the halves exactly as round() does.
    double whole = std::trunc(r);
    if (std::fabs(r - whole) >= 0.5) {
        whole += std::copysign(1.0, r);
    }
    return static_cast<int>(whole);
#endif
}

// sin(pi*x) and cos(pi*x). sin is exactly +-0 at integer x and cos exactly
// +0 at half-integer x, so a phase of 0 or 180 degrees leaves no imaginary
// residue and one of +-90 degrees no real residue.
POWERGPU_HD inline void sinCosPi(double x, double* sine, double* cosine) {
#if defined(__CUDA_ARCH__)
    ::sincospi(x, sine, cosine);
#else
    if (!std::isfinite(x)) {
        *sine = x - x;  // NaN for infinities and NaN
        *cosine = *sine;
        return;
    }
    if (std::fabs(x) >= 0x1p53) {
        // An even integer (and 2x might overflow below).
        *sine = x * 0.0;
        *cosine = 1.0;
        return;
    }
    // x = halfTurns/2 + r with |r| <= 0.25. halfTurns/2 is a multiple of 0.5
    // within 0.25 of x, and r is a multiple of x's last place, so the
    // subtraction is exact: all rounding is left to sin and cos of a small
    // angle.
    const double halfTurns = std::round(x * 2.0);
    const double r = x - halfTurns * 0.5;
    const double angle = r * kPi;
    const double s = std::sin(angle);
    const double c = std::cos(angle);
    const int quadrant = (static_cast<int>(std::fmod(halfTurns, 4.0)) + 4) % 4;
    switch (quadrant) {
        case 0:
            *sine = s;
            *cosine = c;
            break;
        case 1:
            *sine = c;
            *cosine = -s;
            break;
        case 2:
            *sine = -s;
            *cosine = -c;
            break;
        default:
            *sine = -c;
            *cosine = s;
            break;
    }
    if (r == 0.0) {
        if (quadrant % 2 == 0) {
            // Integer x: sin(pi*x) is a zero with the sign of x.
            *sine = x * 0.0;
        } else {
            *cosine = 0.0;  // half-integer x: +0
        }
    }
#endif
}

// ---------------------------------------------------------------------------
// Window and waveform derivations
// ---------------------------------------------------------------------------

// Blackman window of period n (not n - 1) at sample i. The angles and the
// cosines are single precision, the weighted sum double.
POWERGPU_HD inline double blackmanWindow(int i, int n) {
    const float angle1 = (static_cast<float>(i) * kTwoPiFloat) / static_cast<float>(n);
    const float angle2 = (static_cast<float>(i) * kFourPiFloat) / static_cast<float>(n);
    const float cos1 = cosFloat(angle1);
    const float cos2 = cosFloat(angle2);
    const double t = fmaDouble(static_cast<double>(cos1), -0.5, 0.42);
    return fmaDouble(static_cast<double>(cos2), 0.08, t);
}

// Amplitude scale of the Blackman window: 1 / sqrt(mean of w^2) over a
// period, w^2 averaging 0.42^2 + 0.5^2 / 2 + 0.08^2 / 2 = 0.3046. Scaling the
// windowed samples by it restores their energy, so the Parseval sums of the
// spectrum are the mean square of the unwindowed signal. Kept as the rounded
// literal the results were always computed with.
constexpr double kBlackmanAmplitudeScale = 1.811903476715088;

// Half width, in fundamentals, of the bins around each harmonic order that
// are searched for its group (the bins between two orders' groups form the
// interharmonic group); below 0.5, so neighbouring orders' groups stay apart.
constexpr double kHarmonicGroupHalfWidth = 0.3;

// A sample as it enters the FFT: windowed and scaled so that the one-sided
// Parseval sum of its spectrum is the mean square of the unwindowed samples.
POWERGPU_HD inline float windowedSample(float sample, double window, float fftScale) {
    return static_cast<float>(static_cast<double>(fftScale) * (static_cast<double>(sample) * window));
}

// Ring position of window sample i, 0 <= i < ringLength, of a window that
// starts at ring position `start`, 0 <= start < ringLength. Formed in 64
// bits: rings hold up to 2^31 - 1 samples, so i + start can pass the int
// range; one comparison replaces a 64-bit division per sample.
POWERGPU_HD inline int ringIndex(long long i, int start, int ringLength) {
    const long long position = i + start;
    return static_cast<int>(position < ringLength ? position : position - ringLength);
}

// Offset of row `row` in a row-major array of rows of `length` elements, in
// 64 bits: a few rows of a long ring already pass the int range.
POWERGPU_HD inline long long rowOffset(int row, long long length) {
    return static_cast<long long>(row) * length;
}

// Line-to-line pairs that measured phase voltages give: 3 phases 3 pairs,
// 2 phases 1 pair, 1 phase none.
POWERGPU_HD inline int starPairCount(int phaseCount) {
    return ((phaseCount - 1) * phaseCount) / 2;
}

// U12 = U1 - U2 (and U23, U31 alike).
POWERGPU_HD inline float lineToLine(float phase, float nextPhase) {
    return phase - nextPhase;
}

// The unmeasured third line-to-line voltage: U31 = -(U23 + U12).
POWERGPU_HD inline float thirdLineToLine(float first, float second) {
    return -(second + first);
}

// Phase voltage against the artificial star point of a delta connection:
// U1 = (2*U12 + U23)/3.
POWERGPU_HD inline float phaseFromLineToLine(float line, float nextLine) {
    return divideByThree(fmaFloat(line, 2.0f, nextLine));
}

// The unmeasured third current of a three-wire system: I3 = -I1 - I2.
POWERGPU_HD inline float thirdCurrent(float first, float second) {
    return (-first) - second;
}

// ---------------------------------------------------------------------------
// Clarke and Park transforms of samples
// ---------------------------------------------------------------------------

POWERGPU_HD inline float clarkeAlpha(float a, float b, float c) {
    return divideByThree(((a + a) - b) - c);
}

// The difference in single precision, the division by sqrt(3) in double.
POWERGPU_HD inline float clarkeBeta(float b, float c) {
    return static_cast<float>(static_cast<double>(b - c) / kSqrt3);
}

POWERGPU_HD inline float clarkeZero(float a, float b, float c) {
    return divideByThree((a + b) + c);
}

// Offset of the mechanical angle, degrees to radians with pi as a float.
POWERGPU_HD inline double parkOffsetRadians(double offsetDegrees) {
    return (offsetDegrees * kPiFloatAsDouble) / 180.0;
}

// Electrical angle from the measured mechanical angle (radians).
POWERGPU_HD inline double electricalAngle(int polePairs, float mechanicalAngle, double offsetRadians) {
    return static_cast<double>(polePairs) * static_cast<double>(mechanicalAngle) - offsetRadians;
}

struct ParkSample {
    double d;
    double q;
};

// d and q of one sample in the frame rotating with the electrical angle,
// given the double-precision sine and cosine of that angle.
POWERGPU_HD inline ParkSample parkTransform(float alpha, float beta, double sine, double cosine) {
    const double a = static_cast<double>(alpha);
    const double b = static_cast<double>(beta);
    ParkSample sample;
    sample.d = fmaDouble(cosine, a, sine * b);
    sample.q = cosine * b - sine * a;
    return sample;
}

// ---------------------------------------------------------------------------
// Spectral helpers
// ---------------------------------------------------------------------------

// Phase angle in degrees of bin X, corrected for a fundamental that lies
// frac bins off the bin (frac*180*lengthRatio) and taken relative to
// `reference`; wrapped into (-180, 180] unless it is NaN. The angle is the
// negated sine phase: A*sin(wt + psi) on a bin gives -psi.
POWERGPU_HD inline double calculateAngleDeg(float2 bin, double frac, double lengthRatio, double reference) {
    const float phi = atan2Float(-bin.x, -bin.y);
    const double angle = fmaDouble(frac * 180.0, lengthRatio, static_cast<double>(phi) * kDegreesPerRadian) - reference;
    const double wrapped = angle - ceilDouble(angle / 360.0 - 0.5) * 360.0;
    return isNaN(angle) ? angle : wrapped;
}

// Root-sum-square of the components of `count` bins, in single precision,
// with the components pre-scaled by a power of two so that no square
// overflows or vanishes: an all-zero group gives 0, any infinite component
// infinity, otherwise a NaN component NaN.
//
// The squares are added bin by bin, x^2 + y^2 of a bin first (its "power"),
// then the powers in four interleaved partial sums (bins k, k + 4, ...),
// combined pairwise; the partial sums keep the additions of a group
// independent. A kernel that walks many groups of one row can form the
// powers of the whole row once (vectorised) and sum them with sumOfPowers;
// the sum, and so the norm, is the same.

// x^2 + y^2 of one bin in single precision.
POWERGPU_HD inline float binPower(float2 bin) {
    return bin.x * bin.x + bin.y * bin.y;
}

// Sum of power(0) .. power(count - 1) in four interleaved partial sums.
template <typename Power>
POWERGPU_HD inline float sumOfPowers(int count, const Power& power) {
    float p0 = 0.0f;
    float p1 = 0.0f;
    float p2 = 0.0f;
    float p3 = 0.0f;
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        p0 = p0 + power(k);
        p1 = p1 + power(k + 1);
        p2 = p2 + power(k + 2);
        p3 = p3 + power(k + 3);
    }
    if (k < count) {
        p0 = p0 + power(k);
    }
    if (k + 1 < count) {
        p1 = p1 + power(k + 1);
    }
    if (k + 2 < count) {
        p2 = p2 + power(k + 2);
    }
    return (p0 + p1) + (p2 + p3);
}

// The power of bin k, read from precomputed powers or formed from the bin
// (scaled by up1 and up2, both exact powers of two).
struct StoredPower {
    const float* powers;
    POWERGPU_HD float operator()(int k) const { return powers[k]; }
};

struct ScaledBinPower {
    const float2* bins;
    float up1;
    float up2;
    POWERGPU_HD float operator()(int k) const {
        float2 scaled;
        scaled.x = (bins[k].x * up1) * up2;
        scaled.y = (bins[k].y * up1) * up2;
        return binPower(scaled);
    }
};

// Smallest plain sum of squares trusted without scaling: 2^-100, far above
// the subnormal range (2^-126), so that no square that matters has lost bits.
constexpr float kSafeSumOfSquares = 7.8886090522101181e-31f;

// The pre-scaled root-sum-square, for groups whose plain sum of squares
// overflows or comes near the subnormal range.
POWERGPU_HD inline float scaledGroupNorm(const float2* bins, int count) {
    // The largest component magnitude, and whether a NaN occurs (a NaN never
    // wins the comparison, so the maximum ignores it).
    float largest = 0.0f;
    bool sawNaN = false;
    for (int k = 0; k < count; ++k) {
        const float x = absFloat(bins[k].x);
        const float y = absFloat(bins[k].y);
        sawNaN = sawNaN || isNaN(x) || isNaN(y);
        largest = x > largest ? x : largest;
        largest = y > largest ? y : largest;
    }
    if (largest > kLargestFloat) {
        return largest;  // infinity
    }
    if (sawNaN) {
        return quietNaNFloat();
    }
    if (largest == 0.0f) {
        return 0.0f;
    }
    // Scale the largest component into [0.5, 1). 2^-exponent itself may lie
    // outside the float range (exponent is -148..128), so the scaling is
    // split into two exact steps of at most 2^74 each.
    const int exponent = binaryExponent(largest);
    const int firstShift = -exponent / 2;
    const int secondShift = -exponent - firstShift;
    const float up1 = powerOfTwo(firstShift);
    const float up2 = powerOfTwo(secondShift);
    const float sumOfSquares = sumOfPowers(count, ScaledBinPower{bins, up1, up2});
    return (sqrtFloat(sumOfSquares) * powerOfTwo(-firstShift)) * powerOfTwo(-secondShift);
}

// Whether the plain sum of a group's powers gives its norm. Scaling by a
// power of two is exact, so wherever that sum neither overflows nor comes
// near the subnormal range it equals the scaled sum; only the other groups
// take the second pass.
POWERGPU_HD inline bool isTrustedSumOfPowers(float sumOfPowers) {
    return sumOfPowers >= kSafeSumOfSquares && sumOfPowers <= kLargestFloat;
}

POWERGPU_HD inline float groupNorm(const float2* bins, int count) {
    const float sum = sumOfPowers(count, ScaledBinPower{bins, 1.0f, 1.0f});
    return isTrustedSumOfPowers(sum) ? sqrtFloat(sum) : scaledGroupNorm(bins, count);
}

// ---------------------------------------------------------------------------
// Phasors, symmetrical components, Clarke and Park of fundamentals
// ---------------------------------------------------------------------------

POWERGPU_HD inline double squaredMagnitude(ComplexDouble value) {
    return fmaDouble(value.x, value.x, value.y * value.y);
}

POWERGPU_HD inline ComplexDouble widen(float2 value) {
    ComplexDouble wide;
    wide.x = static_cast<double>(value.x);
    wide.y = static_cast<double>(value.y);
    return wide;
}

// zero = (Xa + Xb + Xc)/3, positive = (Xa + a Xb + a^2 Xc)/3, negative =
// (Xa + a^2 Xb + a Xc)/3 with a = e^(j 2pi/3), in this order of operations.
POWERGPU_HD inline void calculateSymmetricalComponents(const ComplexDouble abc[3], ComplexDouble* zero,
                                                       ComplexDouble* positive, ComplexDouble* negative) {
    const ComplexDouble xa = abc[0];
    const ComplexDouble xb = abc[1];
    const ComplexDouble xc = abc[2];
    zero->x = divideByThree((xa.x + xb.x) + xc.x);
    zero->y = divideByThree((xa.y + xb.y) + xc.y);
    const double t = xa.x - (xb.x + xc.x) * 0.5;
    const double v = (xb.y - xc.y) * kHalfSqrt3;
    positive->x = divideByThree(t - v);
    negative->x = divideByThree(t + v);
    const double tImaginary = xa.y - (xb.y + xc.y) * 0.5;
    const double vImaginary = (xb.x - xc.x) * kHalfSqrt3;
    positive->y = divideByThree(tImaginary + vImaginary);
    negative->y = divideByThree(tImaginary - vImaginary);
}

// M*e^(-j*phi*pi/180) from a harmonic magnitude and its stored angle (the
// negated sine phase), so the phasor carries the sine phase of the signal.
POWERGPU_HD inline ComplexDouble fundamentalPhasor(float magnitude, float angleDegrees) {
    const double halfTurns = static_cast<double>(angleDegrees) / -180.0;
    double sine = 0.0;
    double cosine = 0.0;
    sinCosPi(halfTurns, &sine, &cosine);
    ComplexDouble phasor;
    phasor.x = static_cast<double>(magnitude) * cosine;
    phasor.y = static_cast<double>(magnitude) * sine;
    return phasor;
}

struct OrderPowers {
    float active;
    float reactive;
    float apparent;
    float impedance;
};

// P, Q, S and Z of one harmonic order from the voltage and current
// magnitudes and stored angles. delta = psiU - psiI, so Q is positive when
// the current lags.
POWERGPU_HD inline OrderPowers orderPowers(float voltage, float current, float voltageAngle, float currentAngle) {
    const float delta = ((currentAngle - voltageAngle) * kPiFloat) / 180.0f;
    const float apparent = voltage * current;
    OrderPowers powers;
    powers.active = apparent * cosFloat(delta);
    powers.reactive = apparent * sinFloat(delta);
    powers.apparent = apparent;
    powers.impedance = static_cast<double>(current) > kSmallestCurrentForImpedance ? voltage / current : 0.0f;
    return powers;
}

struct ClarkePhasors {
    ComplexDouble alpha;
    ComplexDouble beta;
    ComplexDouble zero;
};

// Clarke components of three phasors, each component in double.
POWERGPU_HD inline ClarkePhasors clarkeOfPhasors(ComplexDouble xa, ComplexDouble xb, ComplexDouble xc) {
    ClarkePhasors clarke;
    clarke.alpha.x = divideByThree(((xa.x + xa.x) - xb.x) - xc.x);
    clarke.alpha.y = divideByThree(((xa.y + xa.y) - xb.y) - xc.y);
    clarke.beta.x = (xb.x - xc.x) / kSqrt3;
    clarke.beta.y = (xb.y - xc.y) / kSqrt3;
    clarke.zero.x = divideByThree((xa.x + xb.x) + xc.x);
    clarke.zero.y = divideByThree((xa.y + xb.y) + xc.y);
    return clarke;
}

struct ParkAverages {
    double d;
    double q;
    double zero;
};

// Park averages of the fundamentals when no mechanical angle is measured.
POWERGPU_HD inline ParkAverages parkFromClarkePhasors(const ClarkePhasors& clarke) {
    ParkAverages park;
    park.d = (clarke.alpha.y + clarke.beta.x) / kSqrt2;
    park.q = (clarke.beta.y - clarke.alpha.x) / kSqrt2;
    park.zero = (clarke.zero.x + clarke.zero.y) / kSqrt2;
    return park;
}

}  // namespace powergpu::math
