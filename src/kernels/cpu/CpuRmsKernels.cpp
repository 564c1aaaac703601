// RMS, spectral RMS and reference-angle kernels on the CPU. The sums are
// added to the window's record (zeroed by the scheduler), as the CUDA
// kernels add their block totals.
#include <algorithm>

#include "kernels/KernelElements.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"
#include "kernels/cpu/LaneSums.h"
#include "kernels/cpu/RingWalk.h"

namespace powergpu::cpu {

namespace {

int rowCount(const Launch& launch) {
    return static_cast<int>(launch.block.y);
}

POWERGPU_CPU_INLINE double laneTotal(const double (&lanes)[kLanes]) {
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// Adds `run` consecutive samples to four lanes of each sum (one array per
// sum, so the lanes form vectors).
POWERGPU_CPU_INLINE void addRmsRun(const float* samples, int run, double (&absolute)[kLanes],
                                   double (&square)[kLanes]) {
    int k = 0;
    for (; k + kLanes <= run; k += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) {
            math::addRms(samples[k + lane], absolute[lane], square[lane]);
        }
    }
    for (; k < run; ++k) {
        math::addRms(samples[k], absolute[0], square[0]);
    }
}

// Rectified-mean and mean-square sums of one channel; the window lies in at
// most two runs of the ring.
POWERGPU_CPU_INLINE math::RmsSums channelRmsSums(int n, int offset, int ringLength, const float* channel) {
    math::RmsSums sums;
    if (n <= 0) {
        return sums;
    }
    double absolute[kLanes] = {};
    double square[kLanes] = {};
    const int start = offset % ringLength;
    const int firstRun = std::min(n, ringLength - start);
    addRmsRun(channel + start, firstRun, absolute, square);
    if (n > firstRun) {
        addRmsRun(channel, n - firstRun, absolute, square);
    }
    sums.absolute = laneTotal(absolute);
    sums.square = laneTotal(square);
    return sums;
}

// The spectral sums of one row.
struct SpectralSums {
    double u = 0.0;
    double ul = 0.0;
    double i = 0.0;
    double p = 0.0;
    double q = 0.0;
};

template <bool WithLineToLine, bool WithCurrent>
POWERGPU_CPU_INLINE void addBin(double (&u)[kLanes], double (&ul)[kLanes], double (&i)[kLanes], double (&p)[kLanes],
                                double (&q)[kLanes], int lane, double weight, const float2& binU,
                                const float2& binUL, const float2& binI) {
    u[lane] = math::addWeightedSquare(u[lane], weight, binU);
    if (WithLineToLine) {
        ul[lane] = math::addWeightedSquare(ul[lane], weight, binUL);
    }
    if (WithCurrent) {
        i[lane] = math::addWeightedSquare(i[lane], weight, binI);
        p[lane] = math::addWeightedActive(p[lane], weight, binU, binI);
        q[lane] = math::addWeightedReactive(q[lane], weight, binU, binI);
    }
}

// The one-sided Parseval sums of one row: the first and the last bin carry
// weight 0.5, every other bin weight 1 (where fma(1, term, sum) is exactly
// term + sum), summed in four lanes.
template <bool WithLineToLine, bool WithCurrent>
POWERGPU_CPU_INLINE SpectralSums rowSpectralSums(int binCount, const float2* u, const float2* ul, const float2* i) {
    double su[kLanes] = {};
    double sul[kLanes] = {};
    double si[kLanes] = {};
    double sp[kLanes] = {};
    double sq[kLanes] = {};
    const float2 none{0.0f, 0.0f};
    const auto bin = [&](int lane, int k) {
        addBin<WithLineToLine, WithCurrent>(su, sul, si, sp, sq, lane, math::parsevalWeight(k, binCount), u[k],
                                            WithLineToLine ? ul[k] : none, WithCurrent ? i[k] : none);
    };
    if (binCount > 0) {
        bin(0, 0);
    }
    const int interiorEnd = binCount - 1;
    int k = 1;
    for (; k + kLanes <= interiorEnd; k += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) {
            addBin<WithLineToLine, WithCurrent>(su, sul, si, sp, sq, lane, 1.0, u[k + lane],
                                                WithLineToLine ? ul[k + lane] : none,
                                                WithCurrent ? i[k + lane] : none);
        }
    }
    for (; k < binCount; ++k) {
        bin(1, k);
    }
    SpectralSums sums;
    sums.u = laneTotal(su);
    sums.ul = laneTotal(sul);
    sums.i = laneTotal(si);
    sums.p = laneTotal(sp);
    sums.q = laneTotal(sq);
    return sums;
}

}  // namespace

POWERGPU_CPU_KERNEL_CLONES void kernelRmsU(const Launch& launch, int n, int offset, int ringLength,
                                           const float* phaseRing, PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const math::RmsSums sums = channelRmsSums(n, offset, ringLength, phaseRing + channelStart(c, ringLength));
        results->channels[c].meanAbsU += sums.absolute;
        results->channels[c].rmsU += sums.square;
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelRmsUL(const Launch& launch, int n, int offset, int ringLength,
                                            const float* lineRing, PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const math::RmsSums sums = channelRmsSums(n, offset, ringLength, lineRing + channelStart(c, ringLength));
        results->channels[c].meanAbsUL += sums.absolute;
        results->channels[c].rmsUL += sums.square;
    }
}

// Adds `run` consecutive sample pairs to four lanes of every sum, one array
// per sum, which the compiler turns into vectors.
POWERGPU_CPU_INLINE void addPairRun(const float* u, const float* i, int run, double (&absoluteU)[kLanes],
                                    double (&absoluteI)[kLanes], double (&squareU)[kLanes],
                                    double (&squareI)[kLanes], double (&product)[kLanes]) {
    int k = 0;
    for (; k + kLanes <= run; k += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) {
            math::addRmsPair(u[k + lane], i[k + lane], absoluteU[lane], absoluteI[lane], squareU[lane],
                             squareI[lane], product[lane]);
        }
    }
    for (; k < run; ++k) {
        math::addRmsPair(u[k], i[k], absoluteU[0], absoluteI[0], squareU[0], squareI[0], product[0]);
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelRmsUI(const Launch& launch, int n, int offset, int ringLength,
                                            const float* phaseRing, const float* currentRing,
                                            PowerResultsGeneral* results) {
    if (n <= 0) {
        return;
    }
    // A window lies in at most two runs of the ring: up to its end, then from its start.
    const int start = offset % ringLength;
    const int firstRun = std::min(n, ringLength - start);
    for (int c = 0; c < rowCount(launch); ++c) {
        const float* voltage = phaseRing + channelStart(c, ringLength);
        const float* current = currentRing + channelStart(c, ringLength);
        double absoluteU[kLanes] = {};
        double absoluteI[kLanes] = {};
        double squareU[kLanes] = {};
        double squareI[kLanes] = {};
        double product[kLanes] = {};
        addPairRun(voltage + start, current + start, firstRun, absoluteU, absoluteI, squareU, squareI, product);
        if (n > firstRun) {
            addPairRun(voltage, current, n - firstRun, absoluteU, absoluteI, squareU, squareI, product);
        }
        PowerResultsChannel& channel = results->channels[c];
        channel.meanAbsU += laneTotal(absoluteU);
        channel.meanAbsI += laneTotal(absoluteI);
        channel.rmsU += laneTotal(squareU);
        channel.rmsI += laneTotal(squareI);
        channel.p += laneTotal(product);
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelFreqRms(const Launch& launch, int binCount, const float2* spectrumU,
                                              const float2* spectrumI, const float2* spectrumUL,
                                              PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const float2* u = spectrumU + channelStart(c, binCount);
        const float2* i = spectrumI != nullptr ? spectrumI + channelStart(c, binCount) : nullptr;
        const float2* ul = spectrumUL != nullptr ? spectrumUL + channelStart(c, binCount) : nullptr;
        SpectralSums sums;
        if (ul != nullptr && i != nullptr) {
            sums = rowSpectralSums<true, true>(binCount, u, ul, i);
        } else if (ul != nullptr) {
            sums = rowSpectralSums<true, false>(binCount, u, ul, i);
        } else if (i != nullptr) {
            sums = rowSpectralSums<false, true>(binCount, u, ul, i);
        } else {
            sums = rowSpectralSums<false, false>(binCount, u, ul, i);
        }
        PowerResultsChannel& channel = results->channels[c];
        channel.rmsFftU += sums.u;
        if (ul != nullptr) {
            channel.rmsFftUL += sums.ul;
        }
        if (i != nullptr) {
            channel.rmsFftI += sums.i;
            channel.pFft += sums.p;
            // The reactive sum travels in nonActivePower until the host moves it.
            channel.nonActivePower += sums.q;
        }
    }
}

void kernelReferenceAngle(const Launch& launch, double frequency, double dFrequency, double lengthRatio,
                          const float2* spectrum, double* referenceAngle) {
    static_cast<void>(launch);  // one thread
    const double binsPerFundamental = frequency / dFrequency;
    const int bin = math::nearestInteger(binsPerFundamental);
    const double frac = binsPerFundamental - static_cast<double>(bin);
    *referenceAngle = math::calculateAngleDeg(spectrum[bin], frac, lengthRatio, 0.0);
}

}  // namespace powergpu::cpu
