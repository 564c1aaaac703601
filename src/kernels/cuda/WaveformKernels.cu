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

__global__ void kernelWaveformsUStar(const WaveformsUStarArgs args) {
    const int phaseCount = static_cast<int>(blockDim.y);
    const int c = static_cast<int>(threadIdx.y);
    const int next = (c + 1) % phaseCount;
    const bool derivePair = (args.storeLineToLine || args.windowLineToLine) && c < math::starPairCount(phaseCount);
    const int start = args.window.offset % args.window.ringLength;
    const float* phase = args.phaseRing + math::rowOffset(c, args.window.ringLength);
    const float* nextPhase = args.phaseRing + math::rowOffset(next, args.window.ringLength);
    float* line = derivePair && args.storeLineToLine ? args.lineRing + math::rowOffset(c, args.window.ringLength) : nullptr;
    float* phaseRow = args.phaseOut + math::rowOffset(c, args.outStride);
    float* lineRow = derivePair && args.windowLineToLine ? args.lineOut + math::rowOffset(c, args.outStride) : nullptr;
    for (long long i = gridStrideStart(); i < args.window.n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, args.window.ringLength);
        const double window = math::blackmanWindow(static_cast<int>(i), args.window.n);
        const float u = __ldg(&phase[j]);
        phaseRow[i] = math::windowedSample(u, window, args.fftScale);
        if (derivePair) {
            const float ul = math::lineToLine(u, __ldg(&nextPhase[j]));
            if (line != nullptr) {
                line[j] = ul;
            }
            if (lineRow != nullptr) {
                lineRow[i] = math::windowedSample(ul, window, args.fftScale);
            }
        }
    }
}

__global__ void kernelWaveformsUDelta(const WaveformsUDeltaArgs args) {
    const int channelCount = static_cast<int>(blockDim.y);
    const int c = static_cast<int>(threadIdx.y);
    const int next = (c + 1) % channelCount;
    const bool allMeasured = channelCount == args.measuredLineCount;
    const int start = args.window.offset % args.window.ringLength;
    float* lines[3] = {args.lineRing, args.lineRing + math::rowOffset(1, args.window.ringLength),
                       args.lineRing + math::rowOffset(2, args.window.ringLength)};
    float* phase = args.phaseRing + math::rowOffset(c, args.window.ringLength);
    float* phaseRow = args.phaseOut + math::rowOffset(c, args.outStride);
    float* lineRow = args.lineOut + math::rowOffset(c, args.outStride);
    for (long long i = gridStrideStart(); i < args.window.n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, args.window.ringLength);
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
        const double window = math::blackmanWindow(static_cast<int>(i), args.window.n);
        phaseRow[i] = math::windowedSample(u, window, args.fftScale);
        if (args.windowLineToLine) {
            lineRow[i] = math::windowedSample(a, window, args.fftScale);
        }
    }
}

__global__ void kernelWaveformsI(const WaveformsIArgs args) {
    const int c = static_cast<int>(threadIdx.y);
    const int start = args.window.offset % args.window.ringLength;
    const float* current = args.currentRing + math::rowOffset(c, args.window.ringLength);
    float* row = args.currentOut + math::rowOffset(c, args.outStride);
    for (long long i = gridStrideStart(); i < args.window.n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, args.window.ringLength);
        row[i] =
            math::windowedSample(__ldg(&current[j]), math::blackmanWindow(static_cast<int>(i), args.window.n), args.fftScale);
    }
}

__global__ void kernelWaveformsI3(const WaveformsI3Args args) {
    const int start = args.window.offset % args.window.ringLength;
    const float* current1 = args.currentRing;
    const float* current2 = args.currentRing + math::rowOffset(1, args.window.ringLength);
    float* current3 = args.currentRing + math::rowOffset(2, args.window.ringLength);
    float* row = args.currentOut + math::rowOffset(2, args.outStride);
    for (long long i = gridStrideStart(); i < args.window.n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, args.window.ringLength);
        const float i3 = math::thirdCurrent(current1[j], current2[j]);
        current3[j] = i3;
        row[i] = math::windowedSample(i3, math::blackmanWindow(static_cast<int>(i), args.window.n), args.fftScale);
    }
}

__global__ void kernelWaveformsClarke(const WaveformsClarkeArgs args) {
    // Group threadIdx.y: rows 3 g .. 3 g + 2 of both rings.
    const long long base = math::rowOffset(3 * static_cast<int>(threadIdx.y), args.window.ringLength);
    const int start = args.window.offset % args.window.ringLength;
    const float* a = args.ring + base;
    const float* b = a + args.window.ringLength;
    const float* c = b + args.window.ringLength;
    float* alpha = args.clarkeRing + base;
    float* beta = alpha + args.window.ringLength;
    float* zero = beta + args.window.ringLength;
    for (long long i = gridStrideStart(); i < args.window.n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, args.window.ringLength);
        const float sampleA = __ldg(&a[j]);
        const float sampleB = __ldg(&b[j]);
        const float sampleC = __ldg(&c[j]);
        alpha[j] = math::clarkeAlpha(sampleA, sampleB, sampleC);
        beta[j] = math::clarkeBeta(sampleB, sampleC);
        zero[j] = math::clarkeZero(sampleA, sampleB, sampleC);
    }
}

__global__ void kernelWaveformsPark(const WaveformsParkArgs args) {
    __shared__ double blockAverages[kMaxParkGroups][2];
    zeroSharedScratch(&blockAverages[0][0], kMaxParkGroups * 2);
    __syncthreads();

    const int g = static_cast<int>(threadIdx.y);
    const long long base = math::rowOffset(3 * g, args.window.ringLength);
    const int start = args.window.offset % args.window.ringLength;
    const float* a = args.ring + base;
    const float* b = a + args.window.ringLength;
    const float* c = b + args.window.ringLength;
    float* d = args.parkRing != nullptr ? args.parkRing + base : nullptr;
    float* q = args.parkRing != nullptr ? d + args.window.ringLength : nullptr;
    const double offsetRadians = math::parkOffsetRadians(args.mechAngleOffset);
    const double count = static_cast<double>(args.window.n);
    double sums[2] = {0.0, 0.0};  // d, q
    for (long long i = gridStrideStart(); i < args.window.n; i += gridStrideStep()) {
        const int j = math::ringIndex(i, start, args.window.ringLength);
        const float sampleA = __ldg(&a[j]);
        const float sampleB = __ldg(&b[j]);
        const float sampleC = __ldg(&c[j]);
        const double theta = math::electricalAngle(args.polePairs, __ldg(&args.angleRing[j]), offsetRadians);
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
        atomicAdd(&args.parkAverages[3 * g], blockAverages[g][0]);
        atomicAdd(&args.parkAverages[3 * g + 1], blockAverages[g][1]);
    }
}

void launchWaveformsUStar(const Launch& launch, const WaveformsUStarArgs& args) {
    kernelWaveformsUStar<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        args);
}

void launchWaveformsUDelta(const Launch& launch, const WaveformsUDeltaArgs& args) {
    kernelWaveformsUDelta<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        args);
}

void launchWaveformsI(const Launch& launch, const WaveformsIArgs& args) {
    kernelWaveformsI<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchWaveformsI3(const Launch& launch, const WaveformsI3Args& args) {
    kernelWaveformsI3<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchWaveformsClarke(const Launch& launch, const WaveformsClarkeArgs& args) {
    kernelWaveformsClarke<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        args);
}

void launchWaveformsPark(const Launch& launch, const WaveformsParkArgs& args) {
    kernelWaveformsPark<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        args);
}

}  // namespace powergpu::cuda
