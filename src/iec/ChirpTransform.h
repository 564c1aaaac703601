// The chirp-z path of the grouped harmonic analysis's transform.
//
// A window holds whole measured periods, so its length follows the
// frequency and is often a number with a large prime factor (1999, 2003,
// 2 * 1009 at 10 kHz). The FFT libraries transform such lengths several
// times slower than smooth ones (estimated single-precision plans, six
// rows: 2000 about 19 us, 1999 about 320 us, 2003 about 365 us). The chirp-z
// transform computes the same N-point spectrum by a convolution of a power
// of two M >= 2N - 1 (kernels/ChirpMath.h): two batched M-point complex
// transforms and three element-wise passes, whose cost depends on M only.
//
// Which lengths take it is a fixed rule of the length alone, so the same
// window gives the same path, and the same values, every time and on both
// backends: lengths whose largest prime factor exceeds kChirpPrimeLimit.
// The limit is where the two costs cross on the CPU backend (six rows near
// 2000 samples, bench/general_results_bench.cpp, BM_IecWindow_Cpu): with
// the chirp-z path a window costs about 82 us whatever the length; with the
// plain transform 29..81 us for largest prime factors up to 23 (2000, 2002,
// 2024, 1995, 1989) and 110 us and more from 29 on (2001, 1998, 1999, 2003).
#pragma once

#include "iec/IecFftPlans.h"
#include "runtime/Runtime.h"

namespace powergpu::iec {

constexpr int kChirpPrimeLimit = 23;

// The largest prime factor of n >= 1 (1 for n = 1).
int largestPrimeFactor(int n);
// Whether windows of this length are transformed by the chirp-z path.
bool usesChirpTransform(int length);
// The smallest power of two >= 2 length - 1.
int chirpPaddedLength(int length);

// Device areas of the chirp-z path, each rows x paddedLength values.
struct ChirpAreas {
    float2* padded;
    float2* convolved;
};

// Enqueues on `stream` the spectra of `rows` rows of `length` samples
// (input rows `length` apart), bins 0 .. length / 2 written length / 2 + 1
// apart: the layout of the real-to-complex plan. Throws GpuException when a
// call fails.
void enqueueChirpTransform(Runtime& runtime, IecFftPlans& plans, const ChirpAreas& areas, int length, int rows,
                           const float* input, float2* spectra, StreamHandle stream);

}  // namespace powergpu::iec
