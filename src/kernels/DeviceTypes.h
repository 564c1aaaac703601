// Types shared by host code, CPU kernels and CUDA kernels.
//
// The complex types are the layout of the FFT output (real, imaginary).
// double2 here is only 8-byte aligned: records store complex doubles at
// offsets that are not multiples of 16, so device code writes them member
// by member.
#pragma once

#include "powergpu.h"

#if defined(__CUDACC__)
#define POWERGPU_HD __host__ __device__
#else
#define POWERGPU_HD
#endif

namespace powergpu {

using float2 = PowerFloat2;
using double2 = PowerDouble2;

static_assert(sizeof(float2) == 8, "float2 is two floats");
static_assert(sizeof(double2) == 16, "double2 is two doubles");

}  // namespace powergpu
