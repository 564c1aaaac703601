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
__device__ inline int gridStrideStart() {
    return static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
}
__device__ inline int gridStrideStep() {
    return static_cast<int>(gridDim.x * blockDim.x);
}

}  // namespace powergpu::cuda
