// Waveform derivation kernels on the CPU: derived channels written back to
// the sample ring, windowed and scaled FFT input rows, Clarke and Park
// waveforms and the Park averages.
#include <cstddef>
#include <vector>

#include "kernels/KernelMath.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"
#include "kernels/cpu/RingWalk.h"

namespace powergpu::cpu {

namespace {

int rowCount(const Launch& launch) {
    return static_cast<int>(launch.block.y);
}

}  // namespace

// The conditions of the star kernel are hoisted out of the sample loops, so
// that each loop is a plain pass over one ring piece, which vectorises.
POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsUStar(CpuKernelContext& context, const Launch& launch, int n, int offset,
                                                     int ringLength, int outStride, float fftScale,
                                                     bool storeLineToLine, bool windowLineToLine,
                                                     const float* phaseRing, float* lineRing, float* phaseOut,
                                                     float* lineOut) {
    if (n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(n).data();
    const int phaseCount = rowCount(launch);
    const int pairCount = math::starPairCount(phaseCount);
    RingPiece pieces[2];
    const int pieceCount = ringPieces(0, n, offset % ringLength, ringLength, pieces);
    for (int c = 0; c < phaseCount; ++c) {
        const float* phase = phaseRing + channelStart(c, ringLength);
        const float* nextPhase = phaseRing + channelStart((c + 1) % phaseCount, ringLength);
        float* phaseRow = phaseOut + channelStart(c, outStride);
        const bool derivePair = c < pairCount;
        float* line = derivePair && storeLineToLine ? lineRing + channelStart(c, ringLength) : nullptr;
        float* lineRow = derivePair && windowLineToLine ? lineOut + channelStart(c, outStride) : nullptr;
        for (int p = 0; p < pieceCount; ++p) {
            const int i0 = pieces[p].offset;
            const int j0 = pieces[p].position;
            const int count = pieces[p].count;
            for (int k = 0; k < count; ++k) {
                phaseRow[i0 + k] = math::windowedSample(phase[j0 + k], window[i0 + k], fftScale);
            }
            if (line != nullptr) {
                for (int k = 0; k < count; ++k) {
                    line[j0 + k] = math::lineToLine(phase[j0 + k], nextPhase[j0 + k]);
                }
            }
            if (lineRow != nullptr) {
                for (int k = 0; k < count; ++k) {
                    const float ul = math::lineToLine(phase[j0 + k], nextPhase[j0 + k]);
                    lineRow[i0 + k] = math::windowedSample(ul, window[i0 + k], fftScale);
                }
            }
        }
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsUDelta(CpuKernelContext& context, const Launch& launch,
                                                      int measuredLineCount, int n, int offset, int ringLength,
                                                      int outStride, float fftScale, bool windowLineToLine,
                                                      float* phaseRing, float* lineRing, float* phaseOut,
                                                      float* lineOut) {
    if (n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(n).data();
    const int channelCount = rowCount(launch);
    const bool allMeasured = channelCount == measuredLineCount;
    const float* line0 = lineRing;
    const float* line1 = lineRing + channelStart(1, ringLength);
    float* line2 = lineRing + channelStart(2, ringLength);
    if (!allMeasured) {
        // Every CUDA thread stores this same value; storing it once suffices.
        forEachWindowSample(n, offset, ringLength,
                            [&](int, int j) { line2[j] = math::thirdLineToLine(line0[j], line1[j]); });
    }
    for (int c = 0; c < channelCount; ++c) {
        const int next = (c + 1) % channelCount;
        const float* line = lineRing + channelStart(c, ringLength);
        const float* nextLine = lineRing + channelStart(next, ringLength);
        float* phase = phaseRing + channelStart(c, ringLength);
        float* phaseRow = phaseOut + channelStart(c, outStride);
        float* lineRow = windowLineToLine ? lineOut + channelStart(c, outStride) : nullptr;
        forEachWindowSample(n, offset, ringLength, [&](int i, int j) {
            // The line-to-line voltages of this position as the kernel sees
            // them: measured, or the third derived from the other two.
            float a = 0.0f;
            float b = 0.0f;
            if (allMeasured) {
                a = line[j];
                b = nextLine[j];
            } else {
                const float lines[3] = {line0[j], line1[j], math::thirdLineToLine(line0[j], line1[j])};
                a = lines[c];
                b = lines[next];
            }
            const float u = math::phaseFromLineToLine(a, b);
            phase[j] = u;
            phaseRow[i] = math::windowedSample(u, window[i], fftScale);
            if (lineRow != nullptr) {
                lineRow[i] = math::windowedSample(a, window[i], fftScale);
            }
        });
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsI(CpuKernelContext& context, const Launch& launch, int n, int offset,
                                                 int ringLength, int outStride, float fftScale, float* currentRing,
                                                 float* currentOut) {
    if (n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(n).data();
    RingPiece pieces[2];
    const int pieceCount = ringPieces(0, n, offset % ringLength, ringLength, pieces);
    for (int c = 0; c < rowCount(launch); ++c) {
        const float* current = currentRing + channelStart(c, ringLength);
        float* row = currentOut + channelStart(c, outStride);
        for (int p = 0; p < pieceCount; ++p) {
            const int i0 = pieces[p].offset;
            const int j0 = pieces[p].position;
            for (int k = 0; k < pieces[p].count; ++k) {
                row[i0 + k] = math::windowedSample(current[j0 + k], window[i0 + k], fftScale);
            }
        }
    }
}

void kernelWaveformsI3(CpuKernelContext& context, const Launch& launch, int n, int offset, int ringLength,
                       int outStride, float fftScale, float* currentRing, float* currentOut) {
    static_cast<void>(launch);  // always one row: the third current
    if (n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(n).data();
    const float* current1 = currentRing;
    const float* current2 = currentRing + channelStart(1, ringLength);
    float* current3 = currentRing + channelStart(2, ringLength);
    float* row = currentOut + channelStart(2, outStride);
    forEachWindowSample(n, offset, ringLength, [&](int i, int j) {
        const float i3 = math::thirdCurrent(current1[j], current2[j]);
        current3[j] = i3;
        row[i] = math::windowedSample(i3, window[i], fftScale);
    });
}

void kernelWaveformsClarke(const Launch& launch, int n, int offset, int ringLength, const float* ring,
                           float* clarkeRing) {
    for (int g = 0; g < rowCount(launch); ++g) {
        const std::ptrdiff_t base = channelStart(3 * g, ringLength);
        const float* a = ring + base;
        const float* b = a + ringLength;
        const float* c = b + ringLength;
        float* alpha = clarkeRing + base;
        float* beta = alpha + ringLength;
        float* zero = beta + ringLength;
        forEachWindowSample(n, offset, ringLength, [&](int, int j) {
            alpha[j] = math::clarkeAlpha(a[j], b[j], c[j]);
            beta[j] = math::clarkeBeta(b[j], c[j]);
            zero[j] = math::clarkeZero(a[j], b[j], c[j]);
        });
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsPark(const Launch& launch, int n, int offset, int ringLength,
                                                    int polePairs, double mechAngleOffset, const float* ring,
                                                    const float* angleRing, float* parkRing, double* parkAverages) {
    const int groupCount = rowCount(launch);
    if (n <= 0 || groupCount <= 0) {
        return;
    }
    const double offsetRadians = math::parkOffsetRadians(mechAngleOffset);
    const double count = static_cast<double>(n);
    // The electrical angle depends only on the sample, not on the group: its
    // sine and cosine are taken once for all groups.
    std::vector<double> sums(2 * static_cast<std::size_t>(groupCount), 0.0);  // d, q per group
    forEachWindowSample(n, offset, ringLength, [&](int, int j) {
        const double theta = math::electricalAngle(polePairs, angleRing[j], offsetRadians);
        const double sine = math::sinDouble(theta);
        const double cosine = math::cosDouble(theta);
        for (int g = 0; g < groupCount; ++g) {
            const std::ptrdiff_t p = channelStart(3 * g, ringLength) + j;
            const float a = ring[p];
            const float b = ring[p + ringLength];
            const float c = ring[p + 2 * ringLength];
            const math::ParkSample sample =
                math::parkTransform(math::clarkeAlpha(a, b, c), math::clarkeBeta(b, c), sine, cosine);
            if (parkRing != nullptr) {
                parkRing[p] = static_cast<float>(sample.d);
                parkRing[p + ringLength] = static_cast<float>(sample.q);
            }
            sums[2 * g] += sample.d / count;
            sums[2 * g + 1] += sample.q / count;
        }
    });
    for (int g = 0; g < groupCount; ++g) {
        parkAverages[3 * g] += sums[2 * g];
        parkAverages[3 * g + 1] += sums[2 * g + 1];
    }
}

}  // namespace powergpu::cpu
