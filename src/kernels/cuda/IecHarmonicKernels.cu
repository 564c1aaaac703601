// The grouped harmonic analysis: one thread per order (grid-stride in x),
// the spectrum row in y. Every value has one writer; no atomics.
#include "kernels/IecGroupMath.h"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"

namespace powergpu::cuda {

__global__ void kernelIecHarmonics(const IecHarmonicsArgs args) {
    const int c = static_cast<int>(threadIdx.y);
    const float2* row = args.spectrum + math::rowOffset(c, args.binCount);
    for (long long h = gridStrideStart(); h < args.orderCount; h += gridStrideStep()) {
        const math::IecOrderValues values = math::iecOrderValues(
            row, args.binCount, static_cast<int>(h), args.binsPerPeriod, args.binsPerFundamental, args.powerScale);
        math::storeIecOrder(values, c, static_cast<int>(h), args.values);
    }
}

void launchIecHarmonics(const Launch& launch, const IecHarmonicsArgs& args) {
    kernelIecHarmonics<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        args);
}

}  // namespace powergpu::cuda
