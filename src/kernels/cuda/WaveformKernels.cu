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

// Every ring and row offset below is formed in 64 bits (math::rowOffset,
// math::ringIndex): rings hold up to 2^31 - 1 samples per channel.

__global__ void kernelWaveformsUStar(int n, int offset, int ringLength, int outStride, float fftScale,
                                     bool storeLineToLine, bool windowLineToLine, const float* phaseRing,
                                     float* lineRing, float* phaseOut, float* lineOut) {
    const int phaseCount = static_cast<int>(blockDim.y);
    const int c = static_cast<int>(threadIdx.y);
    const int next = (c + 1) % phaseCount;
    const bool derivePair = (storeLineToLine || windowLineToLine) && c < math::starPairCount(phaseCount);
    const int start = offset % ringLength;
    const float* phase = phaseRing + math::rowOffset(c, ringLength);
    const float* nextPhase = phaseRing + math::rowOffset(next, ringLength);
    float* line = derivePair && storeLineToLine ? lineRing + math::rowOffset(c, ringLength) : nullptr;
    float* phaseRow = phaseOut + math::rowOffset(c, outStride);
    float* lineRow = derivePair && windowLineToLine ? lineOut + math::rowOffset(c, outStride) : nullptr;
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, ringLength);
        const double window = math::blackmanWindow(static_cast<int>(i), n);
        const float u = __ldg(&phase[j]);
        phaseRow[i] = math::windowedSample(u, window, fftScale);
        if (derivePair) {
            const float ul = math::lineToLine(u, __ldg(&nextPhase[j]));
            if (line != nullptr) {
                line[j] = ul;
            }
            if (lineRow != nullptr) {
                lineRow[i] = math::windowedSample(ul, window, fftScale);
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
    const int start = offset % ringLength;
    float* lines[3] = {lineRing, lineRing + math::rowOffset(1, ringLength), lineRing + math::rowOffset(2, ringLength)};
    float* phase = phaseRing + math::rowOffset(c, ringLength);
    float* phaseRow = phaseOut + math::rowOffset(c, outStride);
    float* lineRow = lineOut + math::rowOffset(c, outStride);
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, ringLength);
        float a = 0.0f;
        float b = 0.0f;
        if (allMeasured) {
            a = lines[c][j];
            b = lines[next][j];
        } else {
            // Two measured: every row derives and stores the same third value.
            float values[3];
            values[0] = lines[0][j];
            values[1] = lines[1][j];
            values[2] = math::thirdLineToLine(values[0], values[1]);
            lines[2][j] = values[2];
            a = values[c];
            b = values[next];
        }
        const float u = math::phaseFromLineToLine(a, b);
        phase[j] = u;
        const double window = math::blackmanWindow(static_cast<int>(i), n);
        phaseRow[i] = math::windowedSample(u, window, fftScale);
        if (windowLineToLine) {
            lineRow[i] = math::windowedSample(a, window, fftScale);
        }
    }
}

__global__ void kernelWaveformsI(int n, int offset, int ringLength, int outStride, float fftScale, float* currentRing,
                                 float* currentOut) {
    const int c = static_cast<int>(threadIdx.y);
    const int start = offset % ringLength;
    const float* current = currentRing + math::rowOffset(c, ringLength);
    float* row = currentOut + math::rowOffset(c, outStride);
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, ringLength);
        row[i] = math::windowedSample(__ldg(&current[j]), math::blackmanWindow(static_cast<int>(i), n), fftScale);
    }
}

__global__ void kernelWaveformsI3(int n, int offset, int ringLength, int outStride, float fftScale, float* currentRing,
                                  float* currentOut) {
    const int start = offset % ringLength;
    const float* current1 = currentRing;
    const float* current2 = currentRing + math::rowOffset(1, ringLength);
    float* current3 = currentRing + math::rowOffset(2, ringLength);
    float* row = currentOut + math::rowOffset(2, outStride);
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, ringLength);
        const float i3 = math::thirdCurrent(current1[j], current2[j]);
        current3[j] = i3;
        row[i] = math::windowedSample(i3, math::blackmanWindow(static_cast<int>(i), n), fftScale);
    }
}

__global__ void kernelWaveformsClarke(int n, int offset, int ringLength, const float* ring, float* clarkeRing) {
    // Group threadIdx.y: rows 3 g .. 3 g + 2 of both rings.
    const long long base = math::rowOffset(3 * static_cast<int>(threadIdx.y), ringLength);
    const int start = offset % ringLength;
    const float* a = ring + base;
    const float* b = a + ringLength;
    const float* c = b + ringLength;
    float* alpha = clarkeRing + base;
    float* beta = alpha + ringLength;
    float* zero = beta + ringLength;
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, ringLength);
        const float sampleA = __ldg(&a[j]);
        const float sampleB = __ldg(&b[j]);
        const float sampleC = __ldg(&c[j]);
        alpha[j] = math::clarkeAlpha(sampleA, sampleB, sampleC);
        beta[j] = math::clarkeBeta(sampleB, sampleC);
        zero[j] = math::clarkeZero(sampleA, sampleB, sampleC);
    }
}

__global__ void kernelWaveformsPark(int n, int offset, int ringLength, int polePairs, double mechAngleOffset,
                                    const float* ring, const float* angleRing, float* parkRing, double* parkAverages) {
    __shared__ double blockAverages[kMaxParkGroups][2];
    zeroSharedScratch(&blockAverages[0][0], kMaxParkGroups * 2);
    __syncthreads();

    const int g = static_cast<int>(threadIdx.y);
    const long long base = math::rowOffset(3 * g, ringLength);
    const int start = offset % ringLength;
    const float* a = ring + base;
    const float* b = a + ringLength;
    const float* c = b + ringLength;
    float* d = parkRing != nullptr ? parkRing + base : nullptr;
    float* q = parkRing != nullptr ? d + ringLength : nullptr;
    const double offsetRadians = math::parkOffsetRadians(mechAngleOffset);
    const double count = static_cast<double>(n);
    double sums[2] = {0.0, 0.0};  // d, q
    for (long long i = gridStrideStart(); i < n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, ringLength);
        const float sampleA = __ldg(&a[j]);
        const float sampleB = __ldg(&b[j]);
        const float sampleC = __ldg(&c[j]);
        const double theta = math::electricalAngle(polePairs, __ldg(&angleRing[j]), offsetRadians);
        const math::ParkSample sample =
            math::parkTransform(math::clarkeAlpha(sampleA, sampleB, sampleC), math::clarkeBeta(sampleB, sampleC),
                                math::sinDouble(theta), math::cosDouble(theta));
        if (d != nullptr) {
            d[j] = static_cast<float>(sample.d);
            q[j] = static_cast<float>(sample.q);
        }
        sums[0] += sample.d / count;
        sums[1] += sample.q / count;
    }

    blockRowSums(sums, blockAverages[g]);
    if (threadIdx.x == 0) {
        atomicAdd(&parkAverages[3 * g], blockAverages[g][0]);
        atomicAdd(&parkAverages[3 * g + 1], blockAverages[g][1]);
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
