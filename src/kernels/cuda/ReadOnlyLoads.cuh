// Loads of kernel inputs that no thread writes during the launch, through
// the read-only data cache.
#pragma once

#include "kernels/DeviceTypes.h"

namespace powergpu::cuda {

// One spectrum bin. __ldg has no overload for the library's float2 record,
// so its two members are loaded one by one.
__device__ inline float2 loadBin(const float2* bin) {
    float2 value;
    value.x = __ldg(&bin->x);
    value.y = __ldg(&bin->y);
    return value;
}

}  // namespace powergpu::cuda
