// Symmetrical components and Clarke/Park values of fundamentals, and their
// launchers. threadIdx.y is the group: voltages (0) or currents (1), three
// rows each.
#include "kernels/KernelElements.h"
#include "kernels/cuda/BlockReduction.cuh"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"
#include "kernels/cuda/ReadOnlyLoads.cuh"

namespace powergpu::cuda {

namespace {

constexpr int kMaxGroups = 2;

// ComplexDouble records are only 8-byte aligned: stored member by member.
__device__ inline void storeComplex(ComplexDouble* destination, ComplexDouble value) {
    destination->x = value.x;
    destination->y = value.y;
}

}  // namespace

__global__ void kernelSymmetricalComponents(const SymmetricalComponentsArgs args) {
    __shared__ double sharedSumOfSquares[kMaxGroups][3];
    zeroSharedScratch(&sharedSumOfSquares[0][0], kMaxGroups * 3);
    __syncthreads();

    const int g = static_cast<int>(threadIdx.y);
    const float2* a = args.spectra + math::rowOffset(3 * g, args.binCount);
    const float2* b = a + args.binCount;
    const float2* c = b + args.binCount;
    double groupSums[3] = {0.0, 0.0, 0.0};  // zero, positive, negative
    // The last bin is left out; bin 0 counts fully.
    for (long long k = gridStrideStart(); k < args.binCount - 1; k += gridStrideStep()) {
        const math::SequenceSquares squares = math::sequenceSquares(loadBin(&a[k]), loadBin(&b[k]), loadBin(&c[k]));
        groupSums[0] += squares.zero;
        groupSums[1] += squares.positive;
        groupSums[2] += squares.negative;
    }
    blockRowSums(groupSums, sharedSumOfSquares[g]);
    if (threadIdx.x == 0) {
        atomicAdd(&args.sums[3 * g], sharedSumOfSquares[g][0]);
        atomicAdd(&args.sums[3 * g + 1], sharedSumOfSquares[g][1]);
        atomicAdd(&args.sums[3 * g + 2], sharedSumOfSquares[g][2]);
    }
}

__global__ void kernelSymmetricalComponentsH1(const SymmetricalComponentsH1Args args) {
    if (threadIdx.x != 0) {
        return;
    }
    const int g = static_cast<int>(threadIdx.y);
    ComplexDouble abc[3];
    math::groupFundamentalPhasors(args.magnitudes, args.phases, args.harmonicCount, g, abc);
    ComplexDouble zero;
    ComplexDouble positive;
    ComplexDouble negative;
    math::calculateSymmetricalComponents(abc, &zero, &positive, &negative);
    storeComplex(&args.components[3 * g], zero);
    storeComplex(&args.components[3 * g + 1], positive);
    storeComplex(&args.components[3 * g + 2], negative);
}

__global__ void kernelClarkeH1AndParkAve(const ClarkeH1AndParkAveArgs args) {
    if (threadIdx.x != 0) {
        return;
    }
    const int g = static_cast<int>(threadIdx.y);
    ComplexDouble abc[3];
    math::groupFundamentalPhasors(args.magnitudes, args.phases, args.harmonicCount, g, abc);
    const math::ClarkePhasors phasors = math::clarkeOfPhasors(abc[0], abc[1], abc[2]);
    if (args.clarke) {
        storeComplex(&args.clarkeOut[3 * g], phasors.alpha);
        storeComplex(&args.clarkeOut[3 * g + 1], phasors.beta);
        storeComplex(&args.clarkeOut[3 * g + 2], phasors.zero);
    }
    if (args.park) {
        const math::ParkAverages averages = math::parkFromClarkePhasors(phasors);
        args.parkOut[3 * g] = averages.d;
        args.parkOut[3 * g + 1] = averages.q;
        args.parkOut[3 * g + 2] = averages.zero;
    }
}

void launchSymmetricalComponents(const Launch& launch, const SymmetricalComponentsArgs& args) {
    kernelSymmetricalComponents<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                                  toStream(launch.stream)>>>(args);
}

void launchSymmetricalComponentsH1(const Launch& launch, const SymmetricalComponentsH1Args& args) {
    kernelSymmetricalComponentsH1<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                                    toStream(launch.stream)>>>(args);
}

void launchClarkeH1AndParkAve(const Launch& launch, const ClarkeH1AndParkAveArgs& args) {
    kernelClarkeH1AndParkAve<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                               toStream(launch.stream)>>>(args);
}

}  // namespace powergpu::cuda
