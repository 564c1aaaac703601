// RMS, spectral RMS and reference-angle kernels and their launchers. The
// summing kernels add their block totals to the accumulator fields of the
// window's record, which the scheduler has zeroed.
#include "kernels/KernelElements.h"
#include "kernels/cuda/BlockReduction.cuh"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"
#include "kernels/cuda/ReadOnlyLoads.cuh"

namespace powergpu::cuda {

namespace {

// Rows (phases or line-to-line pairs) that one summing launch serves at
// most: the block height the scheduler uses is never above 3.
constexpr int kMaxRows = 3;

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

__global__ void kernelRmsU(const RmsUArgs args) {
    addRingRms<&PowerResultsChannel::meanAbsU, &PowerResultsChannel::rmsU>(args.window.n, args.window.offset, args.window.ringLength,
                                                                           args.phaseRing, args.results);
}

__global__ void kernelRmsUL(const RmsULArgs args) {
    addRingRms<&PowerResultsChannel::meanAbsUL, &PowerResultsChannel::rmsUL>(args.window.n, args.window.offset, args.window.ringLength,
                                                                             args.lineRing, args.results);
}

__global__ void kernelRmsUI(const RmsUIArgs args) {
    __shared__ double blockSums[kMaxRows][math::kPairSums];
    zeroSharedScratch(&blockSums[0][0], kMaxRows * math::kPairSums);
    __syncthreads();

    const int c = static_cast<int>(threadIdx.y);
    const int start = args.window.offset % args.window.ringLength;
    const float* voltage = args.phaseRing + math::rowOffset(c, args.window.ringLength);
    const float* current = args.currentRing + math::rowOffset(c, args.window.ringLength);
    math::RmsPairSums rms;
    for (long long i = gridStrideStart(); i < args.window.n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, args.window.ringLength);
        rms.add(__ldg(&voltage[j]), __ldg(&current[j]));
    }
    double sums[math::kPairSums];
    sums[math::kPairAbsoluteU] = rms.absoluteU;
    sums[math::kPairAbsoluteI] = rms.absoluteI;
    sums[math::kPairSquareU] = rms.squareU;
    sums[math::kPairSquareI] = rms.squareI;
    sums[math::kPairProduct] = rms.product;
    blockRowSums(sums, blockSums[c]);
    if (threadIdx.x == 0) {
        PowerResultsChannel& channel = args.results->channels[c];
        atomicAdd(&channel.meanAbsU, blockSums[c][math::kPairAbsoluteU]);
        atomicAdd(&channel.meanAbsI, blockSums[c][math::kPairAbsoluteI]);
        atomicAdd(&channel.rmsU, blockSums[c][math::kPairSquareU]);
        atomicAdd(&channel.rmsI, blockSums[c][math::kPairSquareI]);
        atomicAdd(&channel.p, blockSums[c][math::kPairProduct]);
    }
}

__global__ void kernelFreqRms(const FreqRmsArgs args) {
    __shared__ double blockSums[kMaxRows][math::kSpectralSums];
    zeroSharedScratch(&blockSums[0][0], kMaxRows * math::kSpectralSums);
    __syncthreads();

    const int c = static_cast<int>(threadIdx.y);
    const float2* u = args.spectrumU + math::rowOffset(c, args.binCount);
    const float2* i = args.spectrumI != nullptr ? args.spectrumI + math::rowOffset(c, args.binCount) : nullptr;
    // Line-to-line rows may be fewer than the phases (one on a two-phase grid).
    const float2* ul = args.spectrumUL != nullptr && c < args.lineRowCount
                           ? args.spectrumUL + math::rowOffset(c, args.binCount)
                           : nullptr;
    double sums[math::kSpectralSums] = {0.0, 0.0, 0.0, 0.0, 0.0};
    for (long long k = gridStrideStart(); k < args.binCount; k += gridStrideStep()) {
        const double weight = math::parsevalWeight(static_cast<int>(k), args.binCount);
        const float2 voltage = loadBin(&u[k]);
        sums[math::kSumU] = math::addWeightedSquare(sums[math::kSumU], weight, voltage);
        if (ul != nullptr) {
            sums[math::kSumUL] = math::addWeightedSquare(sums[math::kSumUL], weight, loadBin(&ul[k]));
        }
        if (i != nullptr) {
            const float2 current = loadBin(&i[k]);
            sums[math::kSumI] = math::addWeightedSquare(sums[math::kSumI], weight, current);
            sums[math::kSumP] = math::addWeightedActive(sums[math::kSumP], weight, voltage, current);
            sums[math::kSumQ] = math::addWeightedReactive(sums[math::kSumQ], weight, voltage, current);
        }
    }
    blockRowSums(sums, blockSums[c]);
    if (threadIdx.x == 0) {
        PowerResultsChannel& channel = args.results->channels[c];
        const double* rowSums = blockSums[c];
        atomicAdd(&channel.rmsFftU, rowSums[math::kSumU]);
        if (ul != nullptr) {
            atomicAdd(&channel.rmsFftUL, rowSums[math::kSumUL]);
        }
        if (i != nullptr) {
            atomicAdd(&channel.rmsFftI, rowSums[math::kSumI]);
            atomicAdd(&channel.pFft, rowSums[math::kSumP]);
            atomicAdd(&channel.q, rowSums[math::kSumQ]);
        }
    }
}

__global__ void kernelReferenceAngle(const ReferenceAngleArgs args) {
    if (threadIdx.x != 0 || blockIdx.x != 0) {
        return;
    }
    const double binsPerFundamental = args.frequency / args.dFrequency;
    const int bin = math::nearestInteger(binsPerFundamental);
    const double frac = binsPerFundamental - static_cast<double>(bin);
    *args.referenceAngle = math::calculateAngleDeg(args.spectrum[bin], frac, args.lengthRatio, 0.0);
}

void launchRmsU(const Launch& launch, const RmsUArgs& args) {
    kernelRmsU<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchRmsUL(const Launch& launch, const RmsULArgs& args) {
    kernelRmsUL<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchRmsUI(const Launch& launch, const RmsUIArgs& args) {
    kernelRmsUI<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchFreqRms(const Launch& launch, const FreqRmsArgs& args) {
    kernelFreqRms<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchReferenceAngle(const Launch& launch, const ReferenceAngleArgs& args) {
    kernelReferenceAngle<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        args);
}

}  // namespace powergpu::cuda
