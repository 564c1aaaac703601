// Harmonic tables, per-order powers and THD sums on the CPU.
#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels/KernelElements.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"
#include "kernels/cpu/RingWalk.h"

namespace powergpu::cpu {

POWERGPU_CPU_WIDE_KERNEL_CLONES void kernelHarmonics(CpuKernelContext& context, const Launch& launch, int binCount,
                                                     int harmonicCount, int halfWidth, int reserved,
                                                     bool interharmonics, double frequency, double dFrequency,
                                                     double lengthRatio, const double* referenceAngle,
                                                     const float2* spectrum, float* magnitudes,
                                                     float* interharmonicValues, float* phases) {
    static_cast<void>(reserved);
    const double binsPerFundamental = frequency / dFrequency;
    const double reference = *referenceAngle;
    const int rows = static_cast<int>(launch.block.y);
    // The groups of consecutive orders tile the row, so every bin's power
    // is needed about once: formed in one vectorised pass over the bins
    // that some group reaches, then summed group by group. No group reaches
    // past the centre of the order after the last one plus halfWidth (the
    // order before it ends at its own centre plus halfWidth). The angles
    // are formed in a loop of their own, whose iterations are independent
    // and short.
    HarmonicScratch& scratch = context.harmonicScratch(binCount, harmonicCount);
    const double reach = std::round(static_cast<double>(harmonicCount) * binsPerFundamental) + halfWidth + 1.0;
    const int poweredBins = reach < binCount ? std::max(0, static_cast<int>(reach)) : binCount;
    for (int c = 0; c < rows; ++c) {
        const float2* row = spectrum + channelStart(c, binCount);
        const std::ptrdiff_t rowStart = channelStart(c, harmonicCount);
        float* rowPowers = scratch.powers.data();
        for (int k = 0; k < poweredBins; ++k) {
            rowPowers[k] = math::binPower(row[k]);
        }
        int angleCount = 0;
        for (int h = 0; h < harmonicCount; ++h) {
            math::HarmonicOrderValues values = math::harmonicOrderMagnitudes(
                row, binCount, h, halfWidth, interharmonics, binsPerFundamental, rowPowers);
            if (values.angleFromBin) {
                values.hasAngle = false;  // stored below
                scratch.angleOrders[angleCount] = h;
                scratch.centreBins[angleCount] = row[values.centre];
                scratch.fracs[angleCount] = values.frac;
                ++angleCount;
            }
            math::storeHarmonicOrder(values, rowStart + h, magnitudes, phases, interharmonicValues);
        }
        for (int a = 0; a < angleCount; ++a) {
            scratch.angles[a] = math::harmonicOrderAngle(scratch.centreBins[a], scratch.fracs[a],
                                                         scratch.angleOrders[a], lengthRatio, reference);
        }
        for (int a = 0; a < angleCount; ++a) {
            phases[rowStart + scratch.angleOrders[a]] = scratch.angles[a];
        }
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelPQSZ(const Launch& launch, int rowCount, int harmonicCount,
                                           const float* magnitudes, const float* phases, float* powers,
                                           float* impedances) {
    const int phasesToDo = static_cast<int>(launch.block.y) < rowCount ? static_cast<int>(launch.block.y) : rowCount;
    const std::ptrdiff_t block = channelStart(rowCount, harmonicCount);  // rowCount rows
    for (int c = 0; c < phasesToDo; ++c) {
        for (int h = 0; h < harmonicCount; ++h) {
            const std::ptrdiff_t voltageEntry = channelStart(c, harmonicCount) + h;
            const std::ptrdiff_t currentEntry = voltageEntry + block;
            const math::OrderPowers orderPowers = math::orderPowers(magnitudes[voltageEntry], magnitudes[currentEntry],
                                                                    phases[voltageEntry], phases[currentEntry]);
            powers[voltageEntry] = orderPowers.active;
            powers[currentEntry] = orderPowers.reactive;
            powers[voltageEntry + 2 * block] = orderPowers.apparent;
            impedances[voltageEntry] = orderPowers.impedance;
        }
    }
}

void kernelSumOfHarmonicsSquared(const Launch& launch, int highestOrder, int harmonicCount, const float* magnitudes,
                                 PowerResultsThd* thd) {
    // One CUDA thread per record along x.
    const int records = static_cast<int>(launch.grid.x * launch.block.x);
    for (int c = 0; c < records; ++c) {
        math::accumulateHarmonicsSquared(magnitudes + channelStart(c, harmonicCount), highestOrder, thd + c);
    }
}

}  // namespace powergpu::cpu
