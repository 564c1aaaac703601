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

POWERGPU_CPU_WIDE_KERNEL_CLONES void kernelSymmetricalComponents(const Launch& launch, int binCount,
                                                                 const float2* spectra, double* sums) {
    for (int g = 0; g < groupCount(launch); ++g) {
        const float2* a = spectra + channelStart(3 * g, binCount);
        const float2* b = a + binCount;
        const float2* c = b + binCount;
        double zero = 0.0;
        double positive = 0.0;
        double negative = 0.0;
        // The last bin is left out; bin 0 counts fully.
        double zeroSquares[kChunk];
        double positiveSquares[kChunk];
        double negativeSquares[kChunk];
        for (int first = 0; first < binCount - 1; first += kChunk) {
            const int count = binCount - 1 - first < kChunk ? binCount - 1 - first : kChunk;
            for (int k = 0; k < count; ++k) {
                const math::SequenceSquares squares = math::sequenceSquares(a[first + k], b[first + k], c[first + k]);
                zeroSquares[k] = squares.zero;
                positiveSquares[k] = squares.positive;
                negativeSquares[k] = squares.negative;
            }
            zero += laneSum(zeroSquares, count);
            positive += laneSum(positiveSquares, count);
            negative += laneSum(negativeSquares, count);
        }
        sums[3 * g] += zero;
        sums[3 * g + 1] += positive;
        sums[3 * g + 2] += negative;
    }
}

void kernelSymmetricalComponentsH1(const Launch& launch, int harmonicCount, const float* magnitudes,
                                   const float* phases, double2* components) {
    for (int g = 0; g < groupCount(launch); ++g) {
        double2 abc[3];
        math::groupFundamentalPhasors(magnitudes, phases, harmonicCount, g, abc);
        math::calculateSymmetricalComponents(abc, &components[3 * g], &components[3 * g + 1], &components[3 * g + 2]);
    }
}

void kernelClarkeH1AndParkAve(const Launch& launch, int harmonicCount, const float* magnitudes, const float* phases,
                              bool clarke, bool park, double2* clarkeOut, double* parkOut) {
    for (int g = 0; g < groupCount(launch); ++g) {
        double2 abc[3];
        math::groupFundamentalPhasors(magnitudes, phases, harmonicCount, g, abc);
        const math::ClarkePhasors phasors = math::clarkeOfPhasors(abc[0], abc[1], abc[2]);
        if (clarke) {
            clarkeOut[3 * g] = phasors.alpha;
            clarkeOut[3 * g + 1] = phasors.beta;
            clarkeOut[3 * g + 2] = phasors.zero;
        }
        if (park) {
            const math::ParkAverages averages = math::parkFromClarkePhasors(phasors);
            parkOut[3 * g] = averages.d;
            parkOut[3 * g + 1] = averages.q;
            parkOut[3 * g + 2] = averages.zero;
        }
    }
}

}  // namespace powergpu::cpu
