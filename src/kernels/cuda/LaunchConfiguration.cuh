// The runtime's launch record as a CUDA execution configuration.
#pragma once

#include <cuda_runtime.h>

#include "runtime/Runtime.h"

namespace powergpu::cuda {

inline dim3 toDim3(const Dim3& extent) {
    return dim3(extent.x, extent.y, extent.z);
}

inline cudaStream_t toStream(StreamHandle stream) {
    return static_cast<cudaStream_t>(stream);
}

// Grid-stride loops over x: the first index of this thread and the step.
// 64-bit, so that the last step past a count near 2^31 does not wrap.
__device__ inline long long gridStrideStart() {
    return static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
}
__device__ inline long long gridStrideStep() {
    return static_cast<long long>(gridDim.x) * blockDim.x;
}

}  // namespace powergpu::cuda
