// The chirp-z steps of the grouped harmonic analysis on the CPU: loops over
// rows and elements, each element from kernels/ChirpMath.h as the CUDA
// kernels compute it.
#include "kernels/ChirpMath.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"

namespace powergpu::cpu {

void kernelChirpSetup(const Launch& /*launch*/, const ChirpSetupArgs& args) {
    for (long long i = 0; i < args.paddedLength; ++i) {
        args.filter[i] = math::chirpFilterValue(i, args.length, args.paddedLength);
    }
    for (long long i = 0; i < args.length; ++i) {
        args.chirp[i] = math::chirpValue(i, args.length);
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelChirpPad(const Launch& /*launch*/, const ChirpPadArgs& args) {
    for (int c = 0; c < args.rows; ++c) {
        const float* row = args.input + math::rowOffset(c, args.length);
        float2* padded = args.padded + math::rowOffset(c, args.paddedLength);
        for (long long i = 0; i < args.paddedLength; ++i) {
            padded[i] = math::chirpPadValue(row, args.chirp, i, args.length);
        }
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelChirpFilter(const Launch& /*launch*/, const ChirpFilterArgs& args) {
    for (int c = 0; c < args.rows; ++c) {
        float2* values = args.values + math::rowOffset(c, args.paddedLength);
        for (long long i = 0; i < args.paddedLength; ++i) {
            values[i] = math::chirpFilteredValue(values[i], args.filterSpectrum[i]);
        }
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelChirpUnpad(const Launch& /*launch*/, const ChirpUnpadArgs& args) {
    const float scale = 1.0f / static_cast<float>(args.paddedLength);
    for (int c = 0; c < args.rows; ++c) {
        const float2* convolved = args.convolved + math::rowOffset(c, args.paddedLength);
        float2* spectrum = args.spectrum + math::rowOffset(c, args.binCount);
        for (long long k = 0; k < args.binCount; ++k) {
            spectrum[k] = math::chirpBinValue(convolved[k], args.chirp[k], scale);
        }
    }
}

}  // namespace powergpu::cpu
