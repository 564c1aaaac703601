// Waveform derivation kernels and their launchers: derived channels written
// back to the sample ring, windowed and scaled FFT input rows, Clarke and
// Park waveforms and the Park averages.
#include "kernels/KernelMath.h"
#include "kernels/cuda/BlockReduction.cuh"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"

namespace powergpu::cuda {

namespace {

// Groups of three channels that one Park launch serves (voltages, currents).
constexpr int kMaxParkGroups = 2;

}  // namespace

__global__ void kernelWaveformsUStar(int n, int offset, int ringLength, int outStride, float fftScale,
                                     bool storeLineToLine, bool windowLineToLine, const float* phaseRing,
                                     float* lineRing, float* phaseOut, float* lineOut) {
    const int phaseCount = static_cast<int>(blockDim.y);
    const int c = static_cast<int>(threadIdx.y);
    const int next = (c + 1) % phaseCount;
    const bool derivePair = (storeLineToLine || windowLineToLine) && c < math::starPairCount(phaseCount);
    for (int i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, offset, ringLength);
        const double window = math::blackmanWindow(i, n);
        const float u = __ldg(&phaseRing[c * ringLength + j]);
        phaseOut[c * outStride + i] = math::windowedSample(u, window, fftScale);
        if (derivePair) {
            const float ul = math::lineToLine(u, __ldg(&phaseRing[next * ringLength + j]));
            if (storeLineToLine) {
                lineRing[c * ringLength + j] = ul;
            }
            if (windowLineToLine) {
                lineOut[c * outStride + i] = math::windowedSample(ul, window, fftScale);
            }
        }
    }
}

__global__ void kernelWaveformsUDelta(int measuredLineCount, int n, int offset, int ringLength, int outStride,
                                      float fftScale, bool windowLineToLine, float* phaseRing, float* lineRing,
                                      float* phaseOut, float* lineOut) {
    const int channelCount = static_cast<int>(blockDim.y);
    const int c = static_cast<int>(threadIdx.y);
    const int next = (c + 1) % channelCount;
    const bool allMeasured = channelCount == measuredLineCount;
    for (int i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, offset, ringLength);
        float a = 0.0f;
        float b = 0.0f;
        if (allMeasured) {
            a = lineRing[c * ringLength + j];
            b = lineRing[next * ringLength + j];
        } else {
            // Two measured: every row derives and stores the same third value.
            float lines[3];
            lines[0] = lineRing[j];
            lines[1] = lineRing[ringLength + j];
            lines[2] = math::thirdLineToLine(lines[0], lines[1]);
            lineRing[2 * ringLength + j] = lines[2];
            a = lines[c];
            b = lines[next];
        }
        const float u = math::phaseFromLineToLine(a, b);
        phaseRing[c * ringLength + j] = u;
        const double window = math::blackmanWindow(i, n);
        phaseOut[c * outStride + i] = math::windowedSample(u, window, fftScale);
        if (windowLineToLine) {
            lineOut[c * outStride + i] = math::windowedSample(a, window, fftScale);
        }
    }
}

__global__ void kernelWaveformsI(int n, int offset, int ringLength, int outStride, float fftScale, float* currentRing,
                                 float* currentOut) {
    const int c = static_cast<int>(threadIdx.y);
    for (int i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, offset, ringLength);
        const float current = __ldg(&currentRing[c * ringLength + j]);
        currentOut[c * outStride + i] = math::windowedSample(current, math::blackmanWindow(i, n), fftScale);
    }
}

__global__ void kernelWaveformsI3(int n, int offset, int ringLength, int outStride, float fftScale, float* currentRing,
                                  float* currentOut) {
    for (int i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, offset, ringLength);
        const float i3 = math::thirdCurrent(currentRing[j], currentRing[ringLength + j]);
        currentRing[2 * ringLength + j] = i3;
        currentOut[2 * outStride + i] = math::windowedSample(i3, math::blackmanWindow(i, n), fftScale);
    }
}

__global__ void kernelWaveformsClarke(int n, int offset, int ringLength, const float* ring, float* clarkeRing) {
    const int base = 3 * ringLength * static_cast<int>(threadIdx.y);
    for (int i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int p = base + math::ringIndex(i, offset, ringLength);
        const float a = __ldg(&ring[p]);
        const float b = __ldg(&ring[p + ringLength]);
        const float c = __ldg(&ring[p + 2 * ringLength]);
        clarkeRing[p] = math::clarkeAlpha(a, b, c);
        clarkeRing[p + ringLength] = math::clarkeBeta(b, c);
        clarkeRing[p + 2 * ringLength] = math::clarkeZero(a, b, c);
    }
}

__global__ void kernelWaveformsPark(int n, int offset, int ringLength, int polePairs, double mechAngleOffset,
                                    const float* ring, const float* angleRing, float* parkRing, double* parkAverages) {
    __shared__ double blockAverages[kMaxParkGroups][2];
    zeroSharedScratch(&blockAverages[0][0], kMaxParkGroups * 2);
    __syncthreads();

    const int g = static_cast<int>(threadIdx.y);
    const int base = 3 * ringLength * g;
    const double offsetRadians = math::parkOffsetRadians(mechAngleOffset);
    const double count = static_cast<double>(n);
    double sums[2] = {0.0, 0.0};  // d, q
    for (int i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, offset, ringLength);
        const int p = base + j;
        const float a = __ldg(&ring[p]);
        const float b = __ldg(&ring[p + ringLength]);
        const float c = __ldg(&ring[p + 2 * ringLength]);
        const double theta = math::electricalAngle(polePairs, __ldg(&angleRing[j]), offsetRadians);
        const math::ParkSample sample = math::parkTransform(math::clarkeAlpha(a, b, c), math::clarkeBeta(b, c),
                                                            math::sinDouble(theta), math::cosDouble(theta));
        if (parkRing != nullptr) {
            parkRing[p] = static_cast<float>(sample.d);
            parkRing[p + ringLength] = static_cast<float>(sample.q);
        }
        sums[0] += sample.d / count;
        sums[1] += sample.q / count;
    }

    blockRowSums(sums, blockAverages[g]);
    if (threadIdx.x == 0) {
        atomicAddLegacy(&parkAverages[3 * g], blockAverages[g][0]);
        atomicAddLegacy(&parkAverages[3 * g + 1], blockAverages[g][1]);
    }
}

void launchWaveformsUStar(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                          bool storeLineToLine, bool windowLineToLine, const float* phaseRing, float* lineRing,
                          float* phaseOut, float* lineOut) {
    kernelWaveformsUStar<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, outStride, fftScale, storeLineToLine, windowLineToLine, phaseRing, lineRing, phaseOut,
        lineOut);
}

void launchWaveformsUDelta(const Launch& launch, int measuredLineCount, int n, int offset, int ringLength,
                           int outStride, float fftScale, bool windowLineToLine, float* phaseRing, float* lineRing,
                           float* phaseOut, float* lineOut) {
    kernelWaveformsUDelta<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        measuredLineCount, n, offset, ringLength, outStride, fftScale, windowLineToLine, phaseRing, lineRing, phaseOut,
        lineOut);
}

void launchWaveformsI(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                      float* currentRing, float* currentOut) {
    kernelWaveformsI<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, outStride, fftScale, currentRing, currentOut);
}

void launchWaveformsI3(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                       float* currentRing, float* currentOut) {
    kernelWaveformsI3<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, outStride, fftScale, currentRing, currentOut);
}

void launchWaveformsClarke(const Launch& launch, int n, int offset, int ringLength, const float* ring,
                           float* clarkeRing) {
    kernelWaveformsClarke<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, ring, clarkeRing);
}

void launchWaveformsPark(const Launch& launch, int n, int offset, int ringLength, int polePairs, double mechAngleOffset,
                         const float* ring, const float* angleRing, float* parkRing, double* parkAverages) {
    kernelWaveformsPark<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        n, offset, ringLength, polePairs, mechAngleOffset, ring, angleRing, parkRing, parkAverages);
}

}  // namespace powergpu::cuda
