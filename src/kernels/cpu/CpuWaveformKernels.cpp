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
POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsUStar(CpuKernelContext& context, const Launch& launch,
                                                     const WaveformsUStarArgs& args) {
    if (args.window.n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(args.window.n).data();
    const int phaseCount = rowCount(launch);
    const int pairCount = math::starPairCount(phaseCount);
    RingPiece pieces[2];
    const int pieceCount = ringPieces(0, args.window.n, args.window.offset % args.window.ringLength, args.window.ringLength, pieces);
    for (int c = 0; c < phaseCount; ++c) {
        const float* phase = args.phaseRing + channelStart(c, args.window.ringLength);
        const float* nextPhase = args.phaseRing + channelStart((c + 1) % phaseCount, args.window.ringLength);
        float* phaseRow = args.phaseOut + channelStart(c, args.outStride);
        const bool derivePair = c < pairCount;
        float* line = derivePair && args.storeLineToLine ? args.lineRing + channelStart(c, args.window.ringLength) : nullptr;
        float* lineRow = derivePair && args.windowLineToLine ? args.lineOut + channelStart(c, args.outStride) : nullptr;
        for (int p = 0; p < pieceCount; ++p) {
            const int i0 = pieces[p].offset;
            const int j0 = pieces[p].position;
            const int count = pieces[p].count;
            for (int k = 0; k < count; ++k) {
                phaseRow[i0 + k] = math::windowedSample(phase[j0 + k], window[i0 + k], args.fftScale);
            }
            if (line != nullptr) {
                for (int k = 0; k < count; ++k) {
                    line[j0 + k] = math::lineToLine(phase[j0 + k], nextPhase[j0 + k]);
                }
            }
            if (lineRow != nullptr) {
                for (int k = 0; k < count; ++k) {
                    const float ul = math::lineToLine(phase[j0 + k], nextPhase[j0 + k]);
                    lineRow[i0 + k] = math::windowedSample(ul, window[i0 + k], args.fftScale);
                }
            }
        }
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsUDelta(CpuKernelContext& context, const Launch& launch,
                                                      const WaveformsUDeltaArgs& args) {
    if (args.window.n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(args.window.n).data();
    const int channelCount = rowCount(launch);
    const bool allMeasured = channelCount == args.measuredLineCount;
    const float* line0 = args.lineRing;
    const float* line1 = args.lineRing + channelStart(1, args.window.ringLength);
    float* line2 = args.lineRing + channelStart(2, args.window.ringLength);
    if (!allMeasured) {
        // Every CUDA thread stores this same value; storing it once suffices.
        forEachWindowSample(args.window,
                            [&](int, int j) { line2[j] = math::thirdLineToLine(line0[j], line1[j]); });
    }
    for (int c = 0; c < channelCount; ++c) {
        const int next = (c + 1) % channelCount;
        const float* line = args.lineRing + channelStart(c, args.window.ringLength);
        const float* nextLine = args.lineRing + channelStart(next, args.window.ringLength);
        float* phase = args.phaseRing + channelStart(c, args.window.ringLength);
        float* phaseRow = args.phaseOut + channelStart(c, args.outStride);
        float* lineRow = args.windowLineToLine ? args.lineOut + channelStart(c, args.outStride) : nullptr;
        forEachWindowSample(args.window, [&](int i, int j) {
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
            phaseRow[i] = math::windowedSample(u, window[i], args.fftScale);
            if (lineRow != nullptr) {
                lineRow[i] = math::windowedSample(a, window[i], args.fftScale);
            }
        });
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsI(CpuKernelContext& context, const Launch& launch,
                                                 const WaveformsIArgs& args) {
    if (args.window.n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(args.window.n).data();
    RingPiece pieces[2];
    const int pieceCount = ringPieces(0, args.window.n, args.window.offset % args.window.ringLength, args.window.ringLength, pieces);
    for (int c = 0; c < rowCount(launch); ++c) {
        const float* current = args.currentRing + channelStart(c, args.window.ringLength);
        float* row = args.currentOut + channelStart(c, args.outStride);
        for (int p = 0; p < pieceCount; ++p) {
            const int i0 = pieces[p].offset;
            const int j0 = pieces[p].position;
            for (int k = 0; k < pieces[p].count; ++k) {
                row[i0 + k] = math::windowedSample(current[j0 + k], window[i0 + k], args.fftScale);
            }
        }
    }
}

void kernelWaveformsI3(CpuKernelContext& context, const Launch& launch, const WaveformsI3Args& args) {
    static_cast<void>(launch);  // always one row: the third current
    if (args.window.n <= 0) {
        return;
    }
    const double* window = context.blackmanWindow(args.window.n).data();
    const float* current1 = args.currentRing;
    const float* current2 = args.currentRing + channelStart(1, args.window.ringLength);
    float* current3 = args.currentRing + channelStart(2, args.window.ringLength);
    float* row = args.currentOut + channelStart(2, args.outStride);
    forEachWindowSample(args.window, [&](int i, int j) {
        const float i3 = math::thirdCurrent(current1[j], current2[j]);
        current3[j] = i3;
        row[i] = math::windowedSample(i3, window[i], args.fftScale);
    });
}

void kernelWaveformsClarke(const Launch& launch, const WaveformsClarkeArgs& args) {
    for (int g = 0; g < rowCount(launch); ++g) {
        const std::ptrdiff_t base = channelStart(3 * g, args.window.ringLength);
        const float* a = args.ring + base;
        const float* b = a + args.window.ringLength;
        const float* c = b + args.window.ringLength;
        float* alpha = args.clarkeRing + base;
        float* beta = alpha + args.window.ringLength;
        float* zero = beta + args.window.ringLength;
        forEachWindowSample(args.window, [&](int, int j) {
            alpha[j] = math::clarkeAlpha(a[j], b[j], c[j]);
            beta[j] = math::clarkeBeta(b[j], c[j]);
            zero[j] = math::clarkeZero(a[j], b[j], c[j]);
        });
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelWaveformsPark(const Launch& launch, const WaveformsParkArgs& args) {
    const int groupCount = rowCount(launch);
    if (args.window.n <= 0 || groupCount <= 0) {
        return;
    }
    const double offsetRadians = math::parkOffsetRadians(args.mechAngleOffset);
    const double count = static_cast<double>(args.window.n);
    // The electrical angle depends only on the sample, not on the group: its
    // sine and cosine are taken once for all groups.
    std::vector<double> sums(2 * static_cast<std::size_t>(groupCount), 0.0);  // d, q per group
    forEachWindowSample(args.window, [&](int, int j) {
        const double theta = math::electricalAngle(args.polePairs, args.angleRing[j], offsetRadians);
        const double sine = math::sinDouble(theta);
        const double cosine = math::cosDouble(theta);
        for (int g = 0; g < groupCount; ++g) {
            const std::ptrdiff_t p = channelStart(3 * g, args.window.ringLength) + j;
            const float a = args.ring[p];
            const float b = args.ring[p + args.window.ringLength];
            const float c = args.ring[p + 2 * args.window.ringLength];
            const math::ParkSample sample =
                math::parkTransform(math::clarkeAlpha(a, b, c), math::clarkeBeta(b, c), sine, cosine);
            if (args.parkRing != nullptr) {
                args.parkRing[p] = static_cast<float>(sample.d);
                args.parkRing[p + args.window.ringLength] = static_cast<float>(sample.q);
            }
            sums[2 * g] += sample.d / count;
            sums[2 * g + 1] += sample.q / count;
        }
    });
    for (int g = 0; g < groupCount; ++g) {
        args.parkAverages[3 * g] += sums[2 * g];
        args.parkAverages[3 * g + 1] += sums[2 * g + 1];
    }
}

}  // namespace powergpu::cpu
