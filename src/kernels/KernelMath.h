// Per-element arithmetic of the seventeen kernels, written once for both
// backends.
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

POWERGPU_HD inline double fmaDouble(double a, double b, double c) {
#if defined(__CUDA_ARCH__)
    return ::fma(a, b, c);
#else
    return std::fma(a, b, c);
#endif
}

POWERGPU_HD inline float fmaFloat(float a, float b, float c) {
#if defined(__CUDA_ARCH__)
    return ::fmaf(a, b, c);
#else
    return std::fma(a, b, c);
#endif
}

POWERGPU_HD inline float cosFloat(float x) {
#if defined(__CUDA_ARCH__)
    return ::cosf(x);
#else
    return std::cos(x);
#endif
}

POWERGPU_HD inline float sinFloat(float x) {
#if defined(__CUDA_ARCH__)
    return ::sinf(x);
#else
    return std::sin(x);
#endif
}

POWERGPU_HD inline float atan2Float(float y, float x) {
#if defined(__CUDA_ARCH__)
    return ::atan2f(y, x);
#else
    return std::atan2(y, x);
#endif
}

POWERGPU_HD inline double sinDouble(double x) {
#if defined(__CUDA_ARCH__)
    return ::sin(x);
#else
    return std::sin(x);
#endif
}

POWERGPU_HD inline double cosDouble(double x) {
#if defined(__CUDA_ARCH__)
    return ::cos(x);
#else
    return std::cos(x);
#endif
}

POWERGPU_HD inline double sqrtDouble(double x) {
#if defined(__CUDA_ARCH__)
    return ::sqrt(x);
#else
    return std::sqrt(x);
#endif
}

POWERGPU_HD inline float sqrtFloat(float x) {
#if defined(__CUDA_ARCH__)
    return ::sqrtf(x);
#else
    return std::sqrt(x);
#endif
}

POWERGPU_HD inline double ceilDouble(double x) {
#if defined(__CUDA_ARCH__)
    return ::ceil(x);
#else
    return std::ceil(x);
#endif
}

POWERGPU_HD inline double absDouble(double x) {
#if defined(__CUDA_ARCH__)
    return ::fabs(x);
#else
    return std::fabs(x);
#endif
}

POWERGPU_HD inline float absFloat(float x) {
#if defined(__CUDA_ARCH__)
    return ::fabsf(x);
#else
    return std::fabs(x);
#endif
}

// Mantissa in [0.5, 1) and the power of two of a finite, nonzero value.
POWERGPU_HD inline float frexpFloat(float x, int* exponent) {
#if defined(__CUDA_ARCH__)
    return ::frexpf(x, exponent);
#else
    return std::frexp(x, exponent);
#endif
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

// A sample as it enters the FFT: windowed and scaled so that the one-sided
// Parseval sum of its spectrum is the mean square of the unwindowed samples.
POWERGPU_HD inline float windowedSample(float sample, double window, float fftScale) {
    return static_cast<float>(static_cast<double>(fftScale) * (static_cast<double>(sample) * window));
}

// Ring position of window sample i.
POWERGPU_HD inline int ringIndex(int i, int offset, int ringLength) {
    return (i + offset) % ringLength;
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
    return fmaFloat(line, 2.0f, nextLine) / 3.0f;
}

// The unmeasured third current of a three-wire system: I3 = -I1 - I2.
POWERGPU_HD inline float thirdCurrent(float first, float second) {
    return (-first) - second;
}

// ---------------------------------------------------------------------------
// Clarke and Park transforms of samples
// ---------------------------------------------------------------------------

POWERGPU_HD inline float clarkeAlpha(float a, float b, float c) {
    return (((a + a) - b) - c) / 3.0f;
}

// The difference in single precision, the division by sqrt(3) in double.
POWERGPU_HD inline float clarkeBeta(float b, float c) {
    return static_cast<float>(static_cast<double>(b - c) / kSqrt3);
}

POWERGPU_HD inline float clarkeZero(float a, float b, float c) {
    return ((a + b) + c) / 3.0f;
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
    double angle = fmaDouble(frac * 180.0, lengthRatio, static_cast<double>(phi) * kDegreesPerRadian) - reference;
    if (!isNaN(angle)) {
        angle = angle - ceilDouble(angle / 360.0 - 0.5) * 360.0;
    }
    return angle;
}

// Root-sum-square of the components of `count` bins, in single precision,
// with the components pre-scaled by a power of two so that no square
// overflows or vanishes: an all-zero group gives 0, any infinite component
// infinity, otherwise a NaN component NaN.
// Smallest plain sum of squares trusted without scaling: 2^-100, far above
// the subnormal range (2^-126), so that no square that matters has lost bits.
constexpr float kSafeSumOfSquares = 7.8886090522101181e-31f;

POWERGPU_HD inline float groupNorm(const float2* bins, int count) {
    // Scaling by a power of two is exact, so wherever the plain sum of
    // squares neither overflows nor comes near the subnormal range it gives
    // the same value as the scaled one below; that common case takes one pass.
    {
        float partial[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        int k = 0;
        for (; k + 2 <= count; k += 2) {
            partial[0] = partial[0] + bins[k].x * bins[k].x;
            partial[1] = partial[1] + bins[k].y * bins[k].y;
            partial[2] = partial[2] + bins[k + 1].x * bins[k + 1].x;
            partial[3] = partial[3] + bins[k + 1].y * bins[k + 1].y;
        }
        if (k < count) {
            partial[0] = partial[0] + bins[k].x * bins[k].x;
            partial[1] = partial[1] + bins[k].y * bins[k].y;
        }
        const float sumOfSquares = (partial[0] + partial[1]) + (partial[2] + partial[3]);
        if (sumOfSquares >= kSafeSumOfSquares && sumOfSquares <= kLargestFloat) {
            return sqrtFloat(sumOfSquares);
        }
    }
    // Otherwise: the largest component magnitude, and whether a NaN occurs
    // (a NaN never wins the comparison, so the maximum ignores it).
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
    // Four partial sums (real and imaginary parts of even and odd bins) keep
    // the additions independent; the order is fixed, so every processor
    // gives the same bits.
    float partial[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int k = 0;
    for (; k + 2 <= count; k += 2) {
        const float x0 = (bins[k].x * up1) * up2;
        const float y0 = (bins[k].y * up1) * up2;
        const float x1 = (bins[k + 1].x * up1) * up2;
        const float y1 = (bins[k + 1].y * up1) * up2;
        partial[0] = partial[0] + x0 * x0;
        partial[1] = partial[1] + y0 * y0;
        partial[2] = partial[2] + x1 * x1;
        partial[3] = partial[3] + y1 * y1;
    }
    if (k < count) {
        const float x = (bins[k].x * up1) * up2;
        const float y = (bins[k].y * up1) * up2;
        partial[0] = partial[0] + x * x;
        partial[1] = partial[1] + y * y;
    }
    const float sumOfSquares = (partial[0] + partial[1]) + (partial[2] + partial[3]);
    return (sqrtFloat(sumOfSquares) * powerOfTwo(-firstShift)) * powerOfTwo(-secondShift);
}

// ---------------------------------------------------------------------------
// Phasors, symmetrical components, Clarke and Park of fundamentals
// ---------------------------------------------------------------------------

POWERGPU_HD inline double squaredMagnitude(double2 value) {
    return fmaDouble(value.x, value.x, value.y * value.y);
}

POWERGPU_HD inline double2 widen(float2 value) {
    double2 wide;
    wide.x = static_cast<double>(value.x);
    wide.y = static_cast<double>(value.y);
    return wide;
}

// zero = (Xa + Xb + Xc)/3, positive = (Xa + a Xb + a^2 Xc)/3, negative =
// (Xa + a^2 Xb + a Xc)/3 with a = e^(j 2pi/3), in this order of operations.
POWERGPU_HD inline void calculateSymmetricalComponents(const double2 abc[3], double2* zero, double2* positive,
                                                       double2* negative) {
    const double2 xa = abc[0];
    const double2 xb = abc[1];
    const double2 xc = abc[2];
    zero->x = ((xa.x + xb.x) + xc.x) / 3.0;
    zero->y = ((xa.y + xb.y) + xc.y) / 3.0;
    const double t = xa.x - (xb.x + xc.x) * 0.5;
    const double v = (xb.y - xc.y) * kHalfSqrt3;
    positive->x = (t - v) / 3.0;
    negative->x = (t + v) / 3.0;
    const double tImaginary = xa.y - (xb.y + xc.y) * 0.5;
    const double vImaginary = (xb.x - xc.x) * kHalfSqrt3;
    positive->y = (tImaginary + vImaginary) / 3.0;
    negative->y = (tImaginary - vImaginary) / 3.0;
}

// M*e^(-j*phi*pi/180) from a harmonic magnitude and its stored angle (the
// negated sine phase), so the phasor carries the sine phase of the signal.
POWERGPU_HD inline double2 fundamentalPhasor(float magnitude, float angleDegrees) {
    const double halfTurns = static_cast<double>(angleDegrees) / -180.0;
    double sine = 0.0;
    double cosine = 0.0;
    sinCosPi(halfTurns, &sine, &cosine);
    double2 phasor;
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
    double2 alpha;
    double2 beta;
    double2 zero;
};

// Clarke components of three phasors, each component in double.
POWERGPU_HD inline ClarkePhasors clarkeOfPhasors(double2 xa, double2 xb, double2 xc) {
    ClarkePhasors clarke;
    clarke.alpha.x = (((xa.x + xa.x) - xb.x) - xc.x) / 3.0;
    clarke.alpha.y = (((xa.y + xa.y) - xb.y) - xc.y) / 3.0;
    clarke.beta.x = (xb.x - xc.x) / kSqrt3;
    clarke.beta.y = (xb.y - xc.y) / kSqrt3;
    clarke.zero.x = ((xa.x + xb.x) + xc.x) / 3.0;
    clarke.zero.y = ((xa.y + xb.y) + xc.y) / 3.0;
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
