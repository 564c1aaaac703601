// Symmetrical components and Clarke/Park values of fundamentals on the CPU.
// Group g is the voltage (0) or the current (1) group of three rows.
#include "kernels/KernelElements.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"
#include "kernels/cpu/LaneSums.h"
#include "kernels/cpu/RingWalk.h"

namespace powergpu::cpu {

namespace {

int groupCount(const Launch& launch) {
    return static_cast<int>(launch.block.y);
}

}  // namespace

POWERGPU_CPU_WIDE_KERNEL_CLONES void kernelSymmetricalComponents(const Launch& launch,
                                                                 const SymmetricalComponentsArgs& args) {
    for (int g = 0; g < groupCount(launch); ++g) {
        const float2* a = args.spectra + channelStart(3 * g, args.binCount);
        const float2* b = a + args.binCount;
        const float2* c = b + args.binCount;
        // The last bin is left out; bin 0 counts fully.
        TermChunk<3> chunk;
        for (int first = 0; first < args.binCount - 1; first += kChunk) {
            const int count = args.binCount - 1 - first < kChunk ? args.binCount - 1 - first : kChunk;
            for (int k = 0; k < count; ++k) {
                const math::SequenceSquares squares = math::sequenceSquares(a[first + k], b[first + k], c[first + k]);
                chunk.terms[0][k] = squares.zero;
                chunk.terms[1][k] = squares.positive;
                chunk.terms[2][k] = squares.negative;
            }
            chunk.accumulate(count);
        }
        double totals[3] = {0.0, 0.0, 0.0};
        chunk.addTotalsTo(totals);
        args.sums[3 * g] += totals[0];
        args.sums[3 * g + 1] += totals[1];
        args.sums[3 * g + 2] += totals[2];
    }
}

void kernelSymmetricalComponentsH1(const Launch& launch, const SymmetricalComponentsH1Args& args) {
    for (int g = 0; g < groupCount(launch); ++g) {
        ComplexDouble abc[3];
        math::groupFundamentalPhasors(args.magnitudes, args.phases, args.harmonicCount, g, abc);
        math::calculateSymmetricalComponents(abc, &args.components[3 * g], &args.components[3 * g + 1],
                                             &args.components[3 * g + 2]);
    }
}

void kernelClarkeH1AndParkAve(const Launch& launch, const ClarkeH1AndParkAveArgs& args) {
    for (int g = 0; g < groupCount(launch); ++g) {
        ComplexDouble abc[3];
        math::groupFundamentalPhasors(args.magnitudes, args.phases, args.harmonicCount, g, abc);
        const math::ClarkePhasors phasors = math::clarkeOfPhasors(abc[0], abc[1], abc[2]);
        if (args.clarke) {
            args.clarkeOut[3 * g] = phasors.alpha;
            args.clarkeOut[3 * g + 1] = phasors.beta;
            args.clarkeOut[3 * g + 2] = phasors.zero;
        }
        if (args.park) {
            const math::ParkAverages averages = math::parkFromClarkePhasors(phasors);
            args.parkOut[3 * g] = averages.d;
            args.parkOut[3 * g + 1] = averages.q;
            args.parkOut[3 * g + 2] = averages.zero;
        }
    }
}

}  // namespace powergpu::cpu
