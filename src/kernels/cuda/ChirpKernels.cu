// The chirp-z steps of the grouped harmonic analysis: elements grid-stride
// in x, the row in blockIdx.y. Each element from kernels/ChirpMath.h.
#include "kernels/ChirpMath.h"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"

namespace powergpu::cuda {

__global__ void kernelChirpSetup(const ChirpSetupArgs args) {
    for (long long i = gridStrideStart(); i < args.paddedLength; i += gridStrideStep()) {
        args.filter[i] = math::chirpFilterValue(i, args.length, args.paddedLength);
        if (i < args.length) {
            args.chirp[i] = math::chirpValue(i, args.length);
        }
    }
}

__global__ void kernelChirpPad(const ChirpPadArgs args) {
    const int c = static_cast<int>(blockIdx.y);
    const float* row = args.input + math::rowOffset(c, args.length);
    float2* padded = args.padded + math::rowOffset(c, args.paddedLength);
    for (long long i = gridStrideStart(); i < args.paddedLength; i += gridStrideStep()) {
        padded[i] = math::chirpPadValue(row, args.chirp, i, args.length);
    }
}

__global__ void kernelChirpFilter(const ChirpFilterArgs args) {
    float2* values = args.values + math::rowOffset(static_cast<int>(blockIdx.y), args.paddedLength);
    for (long long i = gridStrideStart(); i < args.paddedLength; i += gridStrideStep()) {
        values[i] = math::chirpFilteredValue(values[i], args.filterSpectrum[i]);
    }
}

__global__ void kernelChirpUnpad(const ChirpUnpadArgs args) {
    const int c = static_cast<int>(blockIdx.y);
    const float2* convolved = args.convolved + math::rowOffset(c, args.paddedLength);
    float2* spectrum = args.spectrum + math::rowOffset(c, args.binCount);
    const float scale = 1.0f / static_cast<float>(args.paddedLength);
    for (long long k = gridStrideStart(); k < args.binCount; k += gridStrideStep()) {
        spectrum[k] = math::chirpBinValue(convolved[k], args.chirp[k], scale);
    }
}

void launchChirpSetup(const Launch& launch, const ChirpSetupArgs& args) {
    kernelChirpSetup<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchChirpPad(const Launch& launch, const ChirpPadArgs& args) {
    kernelChirpPad<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchChirpFilter(const Launch& launch, const ChirpFilterArgs& args) {
    kernelChirpFilter<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchChirpUnpad(const Launch& launch, const ChirpUnpadArgs& args) {
    kernelChirpUnpad<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

}  // namespace powergpu::cuda
