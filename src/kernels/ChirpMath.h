// Per-element arithmetic of the chirp-z transform of the grouped harmonic
// analysis, written once for the CPU and the CUDA kernels.
//
// The N-point spectrum X_k = sum_n x_n exp(-2 pi i k n / N) is rewritten
// with the chirp w_m = exp(-i pi m^2 / N) (2kn = k^2 + n^2 - (k-n)^2) as
//   X_k = w_k * sum_n (x_n w_n) conj(w_{k-n}),
// a convolution that an M-point FFT computes for any N once M >= 2N - 1
// (M a power of two, a length every FFT library transforms fast). The
// inverse transform is a forward one of the conjugate:
//   IFFT(Z) = conj(FFT(conj(Z))) / M,
// so one forward plan serves both directions.
//
// The chirp's angle uses m^2 mod 2N, taken in 64-bit integers, so the
// angle stays below 2 pi and exact for every m; it is evaluated in double
// and stored as float.
#pragma once

#include "kernels/KernelMath.h"

namespace powergpu::math {

// w_m = exp(-i pi m^2 / N).
POWERGPU_HD inline float2 chirpValue(long long m, int length) {
    const long long period = 2LL * length;
    const long long residue = (m % period) * (m % period) % period;
    const double angle = -3.14159265358979323846 * static_cast<double>(residue) / static_cast<double>(length);
    return float2{static_cast<float>(POWERGPU_DEVICE_OR_HOST(::cos, std::cos)(angle)),
                  static_cast<float>(POWERGPU_DEVICE_OR_HOST(::sin, std::sin)(angle))};
}

// Element i of the convolution filter b_j = conj(w_j), j = -(N-1) .. N-1,
// stored circularly in M elements (negative j at M + j, zero between).
POWERGPU_HD inline float2 chirpFilterValue(long long i, int length, int paddedLength) {
    long long j = -1;
    if (i < length) {
        j = i;
    } else if (i > paddedLength - length) {
        j = paddedLength - i;
    }
    if (j < 0) {
        return float2{0.0f, 0.0f};
    }
    const float2 w = chirpValue(j, length);
    return float2{w.x, -w.y};
}

POWERGPU_HD inline float2 complexProduct(float2 a, float2 b) {
    return float2{fmaFloat(a.x, b.x, -a.y * b.y), fmaFloat(a.x, b.y, a.y * b.x)};
}

// Element i of a padded row: x_i w_i inside the window, zero beyond it.
POWERGPU_HD inline float2 chirpPadValue(const float* row, const float2* chirp, long long i, int length) {
    if (i >= length) {
        return float2{0.0f, 0.0f};
    }
    return float2{row[i] * chirp[i].x, row[i] * chirp[i].y};
}

// conj(A_i F_i): the product with the filter's spectrum, conjugated so that
// the next forward transform inverts it.
POWERGPU_HD inline float2 chirpFilteredValue(float2 transformed, float2 filterSpectrum) {
    const float2 product = complexProduct(transformed, filterSpectrum);
    return float2{product.x, -product.y};
}

// Bin k of the spectrum: w_k conj(B_k) / M, B the forward transform of the
// conjugated product.
POWERGPU_HD inline float2 chirpBinValue(float2 convolved, float2 chirp, float inversePaddedLength) {
    const float2 value = complexProduct(float2{convolved.x, -convolved.y}, chirp);
    return float2{value.x * inversePaddedLength, value.y * inversePaddedLength};
}

}  // namespace powergpu::math
