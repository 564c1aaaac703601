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

}  // namespace powergpu::cuda
