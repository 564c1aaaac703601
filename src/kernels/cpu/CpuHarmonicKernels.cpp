// Harmonic tables, per-order powers and THD sums on the CPU.
#include <algorithm>
#include <cmath>
#include <vector>

#include "kernels/KernelElements.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"
#include "kernels/cpu/RingWalk.h"

namespace powergpu::cpu {

// The orders of a row are done in stages, each a loop of independent
// iterations, instead of order by order (where every order waits for its
// sums, then its square roots, then its angle):
//  1. the plan of every order (which bins its groups take);
//  2. the power of every bin that some group reaches, in one vectorised
//     pass (no group reaches past the centre of the order after the last
//     one plus halfWidth: the order before it ends at its own centre plus
//     halfWidth);
//  3. the sums of all groups, then their square roots (vectorised), then
//     the scaled norm of the rare groups whose plain sum is not trusted;
//  4. the values of every order, and the angles in a vectorised loop.
// Each value is the one that math::harmonicOrderValues gives for its order.
POWERGPU_CPU_WIDE_KERNEL_CLONES void kernelHarmonics(CpuKernelContext& context, const Launch& launch,
                                                     const HarmonicsArgs& args) {
    const double binsPerFundamental = args.frequency / args.dFrequency;
    const double reference = *args.referenceAngle;
    const int rows = static_cast<int>(launch.block.y);
    HarmonicScratch& scratch = context.harmonicScratch(args.binCount, args.harmonicCount);
    const double reach =
        std::round(static_cast<double>(args.harmonicCount) * binsPerFundamental) + args.halfWidth + 1.0;
    const int poweredBins = reach < args.binCount ? std::max(0, static_cast<int>(reach)) : args.binCount;

    // Stage 1: the plans are the same for every row. Group g of the list
    // is the order's group (g = 2h) or its interharmonic group (g = 2h + 1).
    int* groupFirst = scratch.groupFirst.data();
    int* groupCount = scratch.groupCount.data();
    for (int h = 0; h < args.harmonicCount; ++h) {
        const math::HarmonicOrderPlan plan =
            math::planHarmonicOrder(args.binCount, h, args.halfWidth, args.interharmonics, binsPerFundamental);
        scratch.plans[h] = plan;
        groupFirst[2 * h] = plan.groupFirst;
        groupCount[2 * h] = plan.groupCount;
        groupFirst[2 * h + 1] = plan.interFirst;
        groupCount[2 * h + 1] = plan.interCount;
    }
    const int groups = 2 * args.harmonicCount;

    for (int c = 0; c < rows; ++c) {
        const float2* row = args.spectrum + channelStart(c, args.binCount);
        const std::ptrdiff_t rowStart = channelStart(c, args.harmonicCount);
        // Stage 2.
        float* powers = scratch.powers.data();
        for (int k = 0; k < poweredBins; ++k) {
            powers[k] = math::binPower(row[k]);
        }
        // Stage 3.
        float* sums = scratch.sums.data();
        float* norms = scratch.norms.data();
        for (int g = 0; g < groups; ++g) {
            sums[g] = math::sumOfPowers(groupCount[g], math::StoredPower{powers + groupFirst[g]});
        }
        int untrusted = 0;
        for (int g = 0; g < groups; ++g) {
            norms[g] = math::sqrtFloat(sums[g]);
            untrusted |= (groupCount[g] >= 1 && !math::isTrustedSumOfPowers(sums[g])) ? 1 : 0;
        }
        for (int g = 0; untrusted != 0 && g < groups; ++g) {
            if (groupCount[g] >= 1 && !math::isTrustedSumOfPowers(sums[g])) {
                norms[g] = math::scaledGroupNorm(row + groupFirst[g], groupCount[g]);
            }
        }
        // Stage 4.
        int angleCount = 0;
        for (int h = 0; h < args.harmonicCount; ++h) {
            const math::HarmonicOrderPlan& plan = scratch.plans[h];
            math::HarmonicOrderValues values =
                math::harmonicOrderFromNorms(plan, row[0], norms[2 * h], norms[2 * h + 1]);
            if (values.angleFromBin) {
                values.hasAngle = false;  // stored below
                scratch.angleOrders[angleCount] = h;
                scratch.centreBins[angleCount] = row[plan.centre];
                scratch.fracs[angleCount] = plan.frac;
                ++angleCount;
            }
            math::storeHarmonicOrder(values, rowStart + h, args.magnitudes, args.phases, args.interharmonicValues);
        }
        for (int a = 0; a < angleCount; ++a) {
            scratch.angles[a] = math::harmonicOrderAngle(scratch.centreBins[a], scratch.fracs[a],
                                                         scratch.angleOrders[a], args.lengthRatio, reference);
        }
        for (int a = 0; a < angleCount; ++a) {
            args.phases[rowStart + scratch.angleOrders[a]] = scratch.angles[a];
        }
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelPQSZ(const Launch& launch, const PQSZArgs& args) {
    const int phasesToDo =
        static_cast<int>(launch.block.y) < args.rowCount ? static_cast<int>(launch.block.y) : args.rowCount;
    const std::ptrdiff_t block = channelStart(args.rowCount, args.harmonicCount);  // args.rowCount rows
    for (int c = 0; c < phasesToDo; ++c) {
        for (int h = 0; h < args.harmonicCount; ++h) {
            const std::ptrdiff_t voltageEntry = channelStart(c, args.harmonicCount) + h;
            const std::ptrdiff_t currentEntry = voltageEntry + block;
            const math::OrderPowers orderPowers =
                math::orderPowers(args.magnitudes[voltageEntry], args.magnitudes[currentEntry],
                                  args.phases[voltageEntry], args.phases[currentEntry]);
            args.powers[voltageEntry] = orderPowers.active;
            args.powers[currentEntry] = orderPowers.reactive;
            args.powers[voltageEntry + 2 * block] = orderPowers.apparent;
            args.impedances[voltageEntry] = orderPowers.impedance;
        }
    }
}

void kernelSumOfHarmonicsSquared(const Launch& launch, const SumOfHarmonicsSquaredArgs& args) {
    // One CUDA thread per record along x.
    const int records = static_cast<int>(launch.grid.x * launch.block.x);
    for (int c = 0; c < records; ++c) {
        math::accumulateHarmonicsSquared(args.magnitudes + channelStart(c, args.harmonicCount), args.highestOrder,
                                         args.thd + c);
    }
}

}  // namespace powergpu::cpu
