// Symmetrical components and Clarke/Park values of fundamentals, and their
// launchers. threadIdx.y is the group: voltages (0) or currents (1), three
// rows each.
#include "kernels/KernelElements.h"
#include "kernels/cuda/BlockReduction.cuh"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"

namespace powergpu::cuda {

namespace {

constexpr int kMaxGroups = 2;

__device__ inline float2 loadBin(const float2* bin) {
    float2 value;
    value.x = __ldg(&bin->x);
    value.y = __ldg(&bin->y);
    return value;
}

// double2 records are only 8-byte aligned: stored member by member.
__device__ inline void storeComplex(double2* destination, double2 value) {
    destination->x = value.x;
    destination->y = value.y;
}

}  // namespace

__global__ void kernelSymmetricalComponents(int binCount, const float2* spectra, double* sums) {
    __shared__ double sharedSumOfSquares[kMaxGroups][3];
    zeroSharedScratch(&sharedSumOfSquares[0][0], kMaxGroups * 3);
    __syncthreads();

    const int g = static_cast<int>(threadIdx.y);
    const float2* a = spectra + math::rowOffset(3 * g, binCount);
    const float2* b = a + binCount;
    const float2* c = b + binCount;
    double groupSums[3] = {0.0, 0.0, 0.0};  // zero, positive, negative
    // The last bin is left out; bin 0 counts fully.
    for (long long k = gridStrideStart(); k < binCount - 1; k += gridStrideStep()) {
        const math::SequenceSquares squares = math::sequenceSquares(loadBin(&a[k]), loadBin(&b[k]), loadBin(&c[k]));
        groupSums[0] += squares.zero;
        groupSums[1] += squares.positive;
        groupSums[2] += squares.negative;
    }
    blockRowSums(groupSums, sharedSumOfSquares[g]);
    if (threadIdx.x == 0) {
        atomicAdd(&sums[3 * g], sharedSumOfSquares[g][0]);
        atomicAdd(&sums[3 * g + 1], sharedSumOfSquares[g][1]);
        atomicAdd(&sums[3 * g + 2], sharedSumOfSquares[g][2]);
    }
}

__global__ void kernelSymmetricalComponentsH1(int harmonicCount, const float* magnitudes, const float* phases,
                                              double2* components) {
    if (threadIdx.x != 0) {
        return;
    }
    const int g = static_cast<int>(threadIdx.y);
    double2 abc[3];
    math::groupFundamentalPhasors(magnitudes, phases, harmonicCount, g, abc);
    double2 zero;
    double2 positive;
    double2 negative;
    math::calculateSymmetricalComponents(abc, &zero, &positive, &negative);
    storeComplex(&components[3 * g], zero);
    storeComplex(&components[3 * g + 1], positive);
    storeComplex(&components[3 * g + 2], negative);
}

__global__ void kernelClarkeH1AndParkAve(int harmonicCount, const float* magnitudes, const float* phases, bool clarke,
                                         bool park, double2* clarkeOut, double* parkOut) {
    if (threadIdx.x != 0) {
        return;
    }
    const int g = static_cast<int>(threadIdx.y);
    double2 abc[3];
    math::groupFundamentalPhasors(magnitudes, phases, harmonicCount, g, abc);
    const math::ClarkePhasors phasors = math::clarkeOfPhasors(abc[0], abc[1], abc[2]);
    if (clarke) {
        storeComplex(&clarkeOut[3 * g], phasors.alpha);
        storeComplex(&clarkeOut[3 * g + 1], phasors.beta);
        storeComplex(&clarkeOut[3 * g + 2], phasors.zero);
    }
    if (park) {
        const math::ParkAverages averages = math::parkFromClarkePhasors(phasors);
        parkOut[3 * g] = averages.d;
        parkOut[3 * g + 1] = averages.q;
        parkOut[3 * g + 2] = averages.zero;
    }
}

void launchSymmetricalComponents(const Launch& launch, int binCount, const float2* spectra, double* sums) {
    kernelSymmetricalComponents<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                                  toStream(launch.stream)>>>(binCount, spectra, sums);
}

void launchSymmetricalComponentsH1(const Launch& launch, int harmonicCount, const float* magnitudes,
                                   const float* phases, double2* components) {
    kernelSymmetricalComponentsH1<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                                    toStream(launch.stream)>>>(harmonicCount, magnitudes, phases, components);
}

void launchClarkeH1AndParkAve(const Launch& launch, int harmonicCount, const float* magnitudes, const float* phases,
                              bool clarke, bool park, double2* clarkeOut, double* parkOut) {
    kernelClarkeH1AndParkAve<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                               toStream(launch.stream)>>>(harmonicCount, magnitudes, phases, clarke, park, clarkeOut,
                                                          parkOut);
}

}  // namespace powergpu::cuda
