// RMS, spectral RMS and reference-angle kernels and their launchers. The
// summing kernels add their block totals to the accumulator fields of the
// window's record, which the scheduler has zeroed.
#include "kernels/KernelElements.h"
#include "kernels/cuda/BlockReduction.cuh"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"

namespace powergpu::cuda {

namespace {

// Rows (phases or line-to-line pairs) that one summing launch serves at
// most: the block height the scheduler uses is never above 3.
constexpr int kMaxRows = 3;

__device__ inline float2 loadBin(const float2* bin) {
    float2 value;
    value.x = __ldg(&bin->x);
    value.y = __ldg(&bin->y);
    return value;
}

}  // namespace

// Rectified-mean and mean-square sums of row threadIdx.y of a ring, added
// to the two fields of that row's channel block named by the template.
template <double PowerResultsChannel::*Absolute, double PowerResultsChannel::*Square>
__device__ void addRingRms(int n, int offset, int ringLength, const float* ring, PowerResultsGeneral* results) {
    __shared__ double blockSums[kMaxRows][2];
    zeroSharedScratch(&blockSums[0][0], kMaxRows * 2);
    __syncthreads();

    const int c = static_cast<int>(threadIdx.y);
    const int start = offset % ringLength;
    const float* row = ring + math::rowOffset(c, ringLength);
    math::RmsSums rms;
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        rms.add(__ldg(&row[math::ringIndex(i, start, ringLength)]));
    }
    double sums[2] = {rms.absolute, rms.square};
    blockRowSums(sums, blockSums[c]);
    if (threadIdx.x == 0) {
        atomicAdd(&(results->channels[c].*Absolute), blockSums[c][0]);
        atomicAdd(&(results->channels[c].*Square), blockSums[c][1]);
    }
}

__global__ void kernelRmsU(int n, int offset, int ringLength, const float* phaseRing, PowerResultsGeneral* results) {
    addRingRms<&PowerResultsChannel::meanAbsU, &PowerResultsChannel::rmsU>(n, offset, ringLength, phaseRing, results);
}

__global__ void kernelRmsUL(int n, int offset, int ringLength, const float* lineRing, PowerResultsGeneral* results) {
    addRingRms<&PowerResultsChannel::meanAbsUL, &PowerResultsChannel::rmsUL>(n, offset, ringLength, lineRing, results);
}

__global__ void kernelRmsUI(int n, int offset, int ringLength, const float* phaseRing, const float* currentRing,
                            PowerResultsGeneral* results) {
    __shared__ double blockSums[kMaxRows][5];
    zeroSharedScratch(&blockSums[0][0], kMaxRows * 5);
    __syncthreads();

    const int c = static_cast<int>(threadIdx.y);
    const int start = offset % ringLength;
    const float* voltage = phaseRing + math::rowOffset(c, ringLength);
    const float* current = currentRing + math::rowOffset(c, ringLength);
    math::RmsPairSums rms;
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, ringLength);
        rms.add(__ldg(&voltage[j]), __ldg(&current[j]));
    }
    double sums[5] = {rms.absoluteU, rms.absoluteI, rms.squareU, rms.squareI, rms.product};
    blockRowSums(sums, blockSums[c]);
    if (threadIdx.x == 0) {
        PowerResultsChannel& channel = results->channels[c];
        atomicAdd(&channel.meanAbsU, blockSums[c][0]);
        atomicAdd(&channel.meanAbsI, blockSums[c][1]);
        atomicAdd(&channel.rmsU, blockSums[c][2]);
        atomicAdd(&channel.rmsI, blockSums[c][3]);
        atomicAdd(&channel.p, blockSums[c][4]);
    }
}

__global__ void kernelFreqRms(int binCount, const float2* spectrumU, const float2* spectrumI, const float2* spectrumUL,
                              PowerResultsGeneral* results) {
    // Per row: U, I, UL, P, Q.
    __shared__ double blockSums[kMaxRows][5];
    zeroSharedScratch(&blockSums[0][0], kMaxRows * 5);
    __syncthreads();

    const int c = static_cast<int>(threadIdx.y);
    const float2* u = spectrumU + math::rowOffset(c, binCount);
    const float2* i = spectrumI != nullptr ? spectrumI + math::rowOffset(c, binCount) : nullptr;
    const float2* ul = spectrumUL != nullptr ? spectrumUL + math::rowOffset(c, binCount) : nullptr;
    double sums[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
    for (long long k = gridStrideStart(); k < binCount; k += gridStrideStep()) {
        const double weight = math::parsevalWeight(static_cast<int>(k), binCount);
        const float2 voltage = loadBin(&u[k]);
        sums[0] = math::addWeightedSquare(sums[0], weight, voltage);
        if (ul != nullptr) {
            sums[2] = math::addWeightedSquare(sums[2], weight, loadBin(&ul[k]));
        }
        if (i != nullptr) {
            const float2 current = loadBin(&i[k]);
            sums[1] = math::addWeightedSquare(sums[1], weight, current);
            sums[3] = math::addWeightedActive(sums[3], weight, voltage, current);
            sums[4] = math::addWeightedReactive(sums[4], weight, voltage, current);
        }
    }
    blockRowSums(sums, blockSums[c]);
    if (threadIdx.x == 0) {
        PowerResultsChannel& channel = results->channels[c];
        atomicAdd(&channel.rmsFftU, blockSums[c][0]);
        if (ul != nullptr) {
            atomicAdd(&channel.rmsFftUL, blockSums[c][2]);
        }
        if (i != nullptr) {
            atomicAdd(&channel.rmsFftI, blockSums[c][1]);
            atomicAdd(&channel.pFft, blockSums[c][3]);
            // The reactive sum travels in nonActivePower until the host moves it.
            atomicAdd(&channel.nonActivePower, blockSums[c][4]);
        }
    }
}

__global__ void kernelReferenceAngle(double frequency, double dFrequency, double lengthRatio, float2* spectrum,
                                     double* referenceAngle) {
    if (threadIdx.x != 0 || blockIdx.x != 0) {
        return;
    }
    const double binsPerFundamental = frequency / dFrequency;
    const int bin = math::nearestInteger(binsPerFundamental);
    const double frac = binsPerFundamental - static_cast<double>(bin);
    *referenceAngle = math::calculateAngleDeg(spectrum[bin], frac, lengthRatio, 0.0);
}

void launchRmsU(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                PowerResultsGeneral* results) {
    kernelRmsU<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, phaseRing, results);
}

void launchRmsUL(const Launch& launch, int n, int offset, int ringLength, const float* lineRing,
                 PowerResultsGeneral* results) {
    kernelRmsUL<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, lineRing, results);
}

void launchRmsUI(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                 const float* currentRing, PowerResultsGeneral* results) {
    kernelRmsUI<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, phaseRing, currentRing, results);
}

void launchFreqRms(const Launch& launch, int binCount, const float2* spectrumU, const float2* spectrumI,
                   const float2* spectrumUL, PowerResultsGeneral* results) {
    kernelFreqRms<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        binCount, spectrumU, spectrumI, spectrumUL, results);
}

void launchReferenceAngle(const Launch& launch, double frequency, double dFrequency, double lengthRatio,
                          float2* spectrum, double* referenceAngle) {
    kernelReferenceAngle<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        frequency, dFrequency, lengthRatio, spectrum, referenceAngle);
}

}  // namespace powergpu::cuda
