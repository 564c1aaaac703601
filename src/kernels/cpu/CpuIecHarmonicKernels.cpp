// The grouped harmonic analysis on the CPU: every order of every row, each
// value from math::iecOrderValues, as the CUDA kernel computes it.
#include "kernels/IecGroupMath.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"

namespace powergpu::cpu {

POWERGPU_CPU_KERNEL_CLONES void kernelIecHarmonics(const Launch& launch, const IecHarmonicsArgs& args) {
    const int rows = static_cast<int>(launch.block.y);
    for (int c = 0; c < rows; ++c) {
        const float2* row = args.spectrum + static_cast<std::ptrdiff_t>(c) * args.binCount;
        for (int h = 0; h < args.orderCount; ++h) {
            const math::IecOrderValues values = math::iecOrderValues(row, args.binCount, h, args.binsPerPeriod,
                                                                     args.binsPerFundamental, args.powerScale);
            math::storeIecOrder(values, c, h, args.values);
        }
    }
}

}  // namespace powergpu::cpu
