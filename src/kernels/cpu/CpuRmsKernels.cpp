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

// Sums the per-sample terms of a window. The window's samples are taken in
// chunks of kChunk window samples, each read through the ring in at most two
// pieces; so the association of the sums depends on the window alone, not
// on where the ring wraps. terms(chunk, at, position, count) writes the terms
// of the samples at ring positions position .. position + count - 1 into
// entries at .. at + count - 1 of the chunk.
template <int Sums, typename Terms>
POWERGPU_CPU_INLINE void windowTermSums(int n, int offset, int ringLength, const Terms& terms, double (&totals)[Sums]) {
    TermChunk<Sums> chunk;
    const int start = offset % ringLength;
    for (int first = 0; first < n; first += kChunk) {
        const int count = std::min(kChunk, n - first);
        RingPiece pieces[2];
        const int pieceCount = ringPieces(first, count, start, ringLength, pieces);
        for (int p = 0; p < pieceCount; ++p) {
            terms(chunk, pieces[p].offset, pieces[p].position, pieces[p].count);
        }
        chunk.accumulate(count);
    }
    chunk.addTotalsTo(totals);
}

// Rectified-mean and mean-square terms of one channel.
struct RmsTerms {
    const float* channel;

    POWERGPU_CPU_INLINE void operator()(TermChunk<2>& chunk, int at, int position, int count) const {
        const float* samples = channel + position;
        for (int k = 0; k < count; ++k) {
            chunk.terms[0][at + k] = math::rmsAbsoluteTerm(samples[k]);
            chunk.terms[1][at + k] = math::rmsSquareTerm(samples[k]);
        }
    }
};

// The five terms of kernelRmsUI for one phase: |u|, |i|, u^2, i^2 and u*i
// (squares and product exact, see productTerm).
struct PairTerms {
    const float* voltages;
    const float* currents;

    POWERGPU_CPU_INLINE void operator()(TermChunk<5>& chunk, int at, int position, int count) const {
        for (int k = 0; k < count; ++k) {
            const float voltage = voltages[position + k];
            const float current = currents[position + k];
            chunk.terms[0][at + k] = math::rmsAbsoluteTerm(voltage);
            chunk.terms[1][at + k] = math::rmsAbsoluteTerm(current);
            chunk.terms[2][at + k] = math::productTerm(voltage, voltage);
            chunk.terms[3][at + k] = math::productTerm(current, current);
            chunk.terms[4][at + k] = math::productTerm(voltage, current);
        }
    }
};

POWERGPU_CPU_INLINE math::RmsSums channelRmsSums(int n, int offset, int ringLength, const float* channel) {
    double totals[2] = {0.0, 0.0};
    windowTermSums(n, offset, ringLength, RmsTerms{channel}, totals);
    math::RmsSums sums;
    sums.absolute = totals[0];
    sums.square = totals[1];
    return sums;
}

// Indices of the spectral sums of one row.
enum SpectralSum { kSumU, kSumUL, kSumI, kSumP, kSumQ, kSpectralSums };

// Adds one bin with its Parseval weight, through the fused forms.
template <bool WithLineToLine, bool WithCurrent>
POWERGPU_CPU_INLINE void addWeightedBin(double (&sums)[kSpectralSums], double weight, const float2* u, const float2* ul,
                                        const float2* i, int k) {
    sums[kSumU] = math::addWeightedSquare(sums[kSumU], weight, u[k]);
    if (WithLineToLine) {
        sums[kSumUL] = math::addWeightedSquare(sums[kSumUL], weight, ul[k]);
    }
    if (WithCurrent) {
        sums[kSumI] = math::addWeightedSquare(sums[kSumI], weight, i[k]);
        sums[kSumP] = math::addWeightedActive(sums[kSumP], weight, u[k], i[k]);
        sums[kSumQ] = math::addWeightedReactive(sums[kSumQ], weight, u[k], i[k]);
    }
}

// The one-sided Parseval sums of one row. The first and the last bin carry
// weight 0.5; every other bin weight 1, where fma(1, term, sum) is exactly
// term + sum, so the interior terms are formed apart and summed in lanes.
template <bool WithLineToLine, bool WithCurrent>
POWERGPU_CPU_INLINE void rowSpectralSums(int binCount, const float2* u, const float2* ul, const float2* i,
                                         double (&sums)[kSpectralSums]) {
    if (binCount <= 0) {
        return;
    }
    const auto isUsed = [](int s) {
        return s == kSumU || (s == kSumUL && WithLineToLine) || (s > kSumUL && WithCurrent);
    };
    addWeightedBin<WithLineToLine, WithCurrent>(sums, math::parsevalWeight(0, binCount), u, ul, i, 0);
    TermChunk<kSpectralSums> chunk;
    for (int first = 1; first < binCount - 1; first += kChunk) {
        const int count = std::min(kChunk, binCount - 1 - first);
        for (int k = 0; k < count; ++k) {
            const float2 binU = u[first + k];
            chunk.terms[kSumU][k] = math::binSquare(binU);
            if (WithLineToLine) {
                chunk.terms[kSumUL][k] = math::binSquare(ul[first + k]);
            }
            if (WithCurrent) {
                const float2 binI = i[first + k];
                chunk.terms[kSumI][k] = math::binSquare(binI);
                chunk.terms[kSumP][k] = math::binActive(binU, binI);
                chunk.terms[kSumQ][k] = math::binReactive(binU, binI);
            }
        }
        for (int s = 0; s < kSpectralSums; ++s) {
            if (isUsed(s)) {
                chunk.sums[s].add(chunk.terms[s], count);
            }
        }
    }
    for (int s = 0; s < kSpectralSums; ++s) {
        if (isUsed(s)) {
            sums[s] += chunk.sums[s].total();
        }
    }
    if (binCount > 1) {
        addWeightedBin<WithLineToLine, WithCurrent>(sums, math::parsevalWeight(binCount - 1, binCount), u, ul, i,
                                                    binCount - 1);
    }
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

POWERGPU_CPU_KERNEL_CLONES void kernelRmsUI(const Launch& launch, int n, int offset, int ringLength,
                                            const float* phaseRing, const float* currentRing,
                                            PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        double totals[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
        const PairTerms terms{phaseRing + channelStart(c, ringLength), currentRing + channelStart(c, ringLength)};
        windowTermSums(n, offset, ringLength, terms, totals);
        PowerResultsChannel& channel = results->channels[c];
        channel.meanAbsU += totals[0];
        channel.meanAbsI += totals[1];
        channel.rmsU += totals[2];
        channel.rmsI += totals[3];
        channel.p += totals[4];
    }
}

POWERGPU_CPU_WIDE_KERNEL_CLONES void kernelFreqRms(const Launch& launch, int binCount, const float2* spectrumU,
                                                   const float2* spectrumI, const float2* spectrumUL,
                                                   PowerResultsGeneral* results) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const float2* u = spectrumU + channelStart(c, binCount);
        const float2* i = spectrumI != nullptr ? spectrumI + channelStart(c, binCount) : nullptr;
        const float2* ul = spectrumUL != nullptr ? spectrumUL + channelStart(c, binCount) : nullptr;
        double sums[kSpectralSums] = {0.0, 0.0, 0.0, 0.0, 0.0};
        if (ul != nullptr && i != nullptr) {
            rowSpectralSums<true, true>(binCount, u, ul, i, sums);
        } else if (ul != nullptr) {
            rowSpectralSums<true, false>(binCount, u, ul, i, sums);
        } else if (i != nullptr) {
            rowSpectralSums<false, true>(binCount, u, ul, i, sums);
        } else {
            rowSpectralSums<false, false>(binCount, u, ul, i, sums);
        }
        PowerResultsChannel& channel = results->channels[c];
        channel.rmsFftU += sums[kSumU];
        if (ul != nullptr) {
            channel.rmsFftUL += sums[kSumUL];
        }
        if (i != nullptr) {
            channel.rmsFftI += sums[kSumI];
            channel.pFft += sums[kSumP];
            // The reactive sum travels in nonActivePower until the host moves it.
            channel.nonActivePower += sums[kSumQ];
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
