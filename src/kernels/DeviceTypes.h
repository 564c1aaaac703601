// Types shared by host code, CPU kernels and CUDA kernels.
//
// The complex types are the layout of the FFT output (real, imaginary).
// ComplexDouble is only 8-byte aligned: records store complex doubles at
// offsets that are not multiples of 16, so device code writes them member
// by member. It is deliberately not called double2: CUDA's double2 is
// 16-byte aligned, and a name shared with it would hide the difference.
#pragma once

#include "powergpu.h"

// The shared per-element functions are always inlined on the host: the CPU
// kernels are compiled once per instruction set (see CpuTargetClones.h),
// and a helper compiled out of line would fall back to the baseline one.
#if defined(__CUDACC__)
#define POWERGPU_HD __host__ __device__
#elif defined(__GNUC__)
#define POWERGPU_HD __attribute__((always_inline))
#else
#define POWERGPU_HD
#endif

namespace powergpu {

using float2 = PowerFloat2;
using ComplexDouble = PowerDouble2;

static_assert(sizeof(float2) == 8, "float2 is two floats");
static_assert(sizeof(ComplexDouble) == 16, "ComplexDouble is two doubles");

}  // namespace powergpu
