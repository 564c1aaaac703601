// RMS, spectral RMS and reference-angle kernels on the CPU. The sums are
// added to the window's record (zeroed by the scheduler), as the CUDA
// kernels add their block totals.
#include "kernels/KernelElements.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cpu/CpuTargetClones.h"
#include "kernels/cpu/RingWalk.h"

namespace powergpu::cpu {

namespace {

int rowCount(const Launch& launch) {
    return static_cast<int>(launch.block.y);
}

// Rectified-mean and mean-square sums of one channel.
math::RmsSums channelRmsSums(int n, int offset, int ringLength, const float* channel) {
    math::RmsSums sums;
    forEachWindowSample(n, offset, ringLength, [&](int, int j) { sums.add(channel[j]); });
    return sums;
}

}  // namespace

void kernelRmsU(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const math::RmsSums sums = channelRmsSums(n, offset, ringLength, phaseRing + channelStart(c, ringLength));
        results->channels[c].meanAbsU += sums.absolute;
        results->channels[c].rmsU += sums.square;
    }
}

void kernelRmsUL(const Launch& launch, int n, int offset, int ringLength, const float* lineRing,
                 PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const math::RmsSums sums = channelRmsSums(n, offset, ringLength, lineRing + channelStart(c, ringLength));
        results->channels[c].meanAbsUL += sums.absolute;
        results->channels[c].rmsUL += sums.square;
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelRmsUI(const Launch& launch, int n, int offset, int ringLength,
                                            const float* phaseRing, const float* currentRing,
                                            PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const float* voltage = phaseRing + channelStart(c, ringLength);
        const float* current = currentRing + channelStart(c, ringLength);
        math::RmsPairSums sums;
        forEachWindowSample(n, offset, ringLength, [&](int, int j) { sums.add(voltage[j], current[j]); });
        PowerResultsChannel& channel = results->channels[c];
        channel.meanAbsU += sums.absoluteU;
        channel.meanAbsI += sums.absoluteI;
        channel.rmsU += sums.squareU;
        channel.rmsI += sums.squareI;
        channel.p += sums.product;
    }
}

POWERGPU_CPU_KERNEL_CLONES void kernelFreqRms(const Launch& launch, int binCount, const float2* spectrumU,
                                              const float2* spectrumI, const float2* spectrumUL,
                                              PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const float2* u = spectrumU + channelStart(c, binCount);
        const float2* i = spectrumI != nullptr ? spectrumI + channelStart(c, binCount) : nullptr;
        const float2* ul = spectrumUL != nullptr ? spectrumUL + channelStart(c, binCount) : nullptr;
        double sumU = 0.0;
        double sumUL = 0.0;
        double sumI = 0.0;
        double sumP = 0.0;
        double sumQ = 0.0;
        for (int k = 0; k < binCount; ++k) {
            const double weight = math::parsevalWeight(k, binCount);
            sumU = math::addWeightedSquare(sumU, weight, u[k]);
            if (ul != nullptr) {
                sumUL = math::addWeightedSquare(sumUL, weight, ul[k]);
            }
            if (i != nullptr) {
                sumI = math::addWeightedSquare(sumI, weight, i[k]);
                sumP = math::addWeightedActive(sumP, weight, u[k], i[k]);
                sumQ = math::addWeightedReactive(sumQ, weight, u[k], i[k]);
            }
        }
        PowerResultsChannel& channel = results->channels[c];
        channel.rmsFftU += sumU;
        if (ul != nullptr) {
            channel.rmsFftUL += sumUL;
        }
        if (i != nullptr) {
            channel.rmsFftI += sumI;
            channel.pFft += sumP;
            // The reactive sum travels in nonActivePower until the host moves it.
            channel.nonActivePower += sumQ;
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
