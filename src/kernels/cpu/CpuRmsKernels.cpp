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
POWERGPU_CPU_INLINE void windowTermSums(const RingWindow& window, const Terms& terms, double (&totals)[Sums]) {
    TermChunk<Sums> chunk;
    const int start = window.offset % window.ringLength;
    for (int first = 0; first < window.n; first += kChunk) {
        const int count = std::min(kChunk, window.n - first);
        RingPiece pieces[2];
        const int pieceCount = ringPieces(first, count, start, window.ringLength, pieces);
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

    POWERGPU_CPU_INLINE void operator()(TermChunk<math::kPairSums>& chunk, int at, int position, int count) const {
        for (int k = 0; k < count; ++k) {
            const float voltage = voltages[position + k];
            const float current = currents[position + k];
            chunk.terms[math::kPairAbsoluteU][at + k] = math::rmsAbsoluteTerm(voltage);
            chunk.terms[math::kPairAbsoluteI][at + k] = math::rmsAbsoluteTerm(current);
            chunk.terms[math::kPairSquareU][at + k] = math::productTerm(voltage, voltage);
            chunk.terms[math::kPairSquareI][at + k] = math::productTerm(current, current);
            chunk.terms[math::kPairProduct][at + k] = math::productTerm(voltage, current);
        }
    }
};

POWERGPU_CPU_INLINE math::RmsSums channelRmsSums(const RingWindow& window, const float* channel) {
    double totals[2] = {0.0, 0.0};
    windowTermSums(window, RmsTerms{channel}, totals);
    math::RmsSums sums;
    sums.absolute = totals[0];
    sums.square = totals[1];
    return sums;
}

// Adds one bin with its Parseval weight, through the fused forms.
template <bool WithLineToLine, bool WithCurrent>
POWERGPU_CPU_INLINE void addWeightedBin(double (&sums)[math::kSpectralSums], double weight, const float2* u,
                                        const float2* ul, const float2* i, int k) {
    sums[math::kSumU] = math::addWeightedSquare(sums[math::kSumU], weight, u[k]);
    if (WithLineToLine) {
        sums[math::kSumUL] = math::addWeightedSquare(sums[math::kSumUL], weight, ul[k]);
    }
    if (WithCurrent) {
        sums[math::kSumI] = math::addWeightedSquare(sums[math::kSumI], weight, i[k]);
        sums[math::kSumP] = math::addWeightedActive(sums[math::kSumP], weight, u[k], i[k]);
        sums[math::kSumQ] = math::addWeightedReactive(sums[math::kSumQ], weight, u[k], i[k]);
    }
}

// The one-sided Parseval sums of one row. The first and the last bin carry
// weight 0.5; every other bin weight 1, where fma(1, term, sum) is exactly
// term + sum, so the interior terms are formed apart and summed in lanes.
template <bool WithLineToLine, bool WithCurrent>
POWERGPU_CPU_INLINE void rowSpectralSums(int binCount, const float2* u, const float2* ul, const float2* i,
                                         double (&sums)[math::kSpectralSums]) {
    if (binCount <= 0) {
        return;
    }
    const auto isUsed = [](int s) {
        return s == math::kSumU || (s == math::kSumUL && WithLineToLine) || (s > math::kSumUL && WithCurrent);
    };
    addWeightedBin<WithLineToLine, WithCurrent>(sums, math::parsevalWeight(0, binCount), u, ul, i, 0);
    TermChunk<math::kSpectralSums> chunk;
    for (int first = 1; first < binCount - 1; first += kChunk) {
        const int count = std::min(kChunk, binCount - 1 - first);
        for (int k = 0; k < count; ++k) {
            const float2 binU = u[first + k];
            chunk.terms[math::kSumU][k] = math::binSquare(binU);
            if (WithLineToLine) {
                chunk.terms[math::kSumUL][k] = math::binSquare(ul[first + k]);
            }
            if (WithCurrent) {
                const float2 binI = i[first + k];
                chunk.terms[math::kSumI][k] = math::binSquare(binI);
                chunk.terms[math::kSumP][k] = math::binActive(binU, binI);
                chunk.terms[math::kSumQ][k] = math::binReactive(binU, binI);
            }
        }
        for (int s = 0; s < math::kSpectralSums; ++s) {
            if (isUsed(s)) {
                chunk.sums[s].add(chunk.terms[s], count);
            }
        }
    }
    for (int s = 0; s < math::kSpectralSums; ++s) {
        if (isUsed(s)) {
            sums[s] += chunk.sums[s].total();
        }
    }
    if (binCount > 1) {
        addWeightedBin<WithLineToLine, WithCurrent>(sums, math::parsevalWeight(binCount - 1, binCount), u, ul, i,
                                                    binCount - 1);
    }
}

// The mean-absolute and square sums of one voltage ring per channel, added
// to the two fields of the channel record that the ring feeds; inlined into
// each kernel clone, so that it is compiled for the clone's instruction set.
POWERGPU_CPU_INLINE void addVoltageRmsSums(const Launch& launch, const RingWindow& window, const float* ring,
                                           PowerResultsGeneral* results, double PowerResultsChannel::*absolute,
                                           double PowerResultsChannel::*square) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const math::RmsSums sums = channelRmsSums(window, ring + channelStart(c, window.ringLength));
        results->channels[c].*absolute += sums.absolute;
        results->channels[c].*square += sums.square;
    }
}

}  // namespace

POWERGPU_CPU_KERNEL_CLONES void kernelRmsU(const Launch& launch, const RmsUArgs& args) {
    addVoltageRmsSums(launch, args.window, args.phaseRing, args.results, &PowerResultsChannel::meanAbsU,
                      &PowerResultsChannel::rmsU);
}

POWERGPU_CPU_KERNEL_CLONES void kernelRmsUL(const Launch& launch, const RmsULArgs& args) {
    addVoltageRmsSums(launch, args.window, args.lineRing, args.results, &PowerResultsChannel::meanAbsUL,
                      &PowerResultsChannel::rmsUL);
}

POWERGPU_CPU_KERNEL_CLONES void kernelRmsUI(const Launch& launch, const RmsUIArgs& args) {
    for (int c = 0; c < rowCount(launch); ++c) {
        double totals[math::kPairSums] = {0.0, 0.0, 0.0, 0.0, 0.0};
        const PairTerms terms{args.phaseRing + channelStart(c, args.window.ringLength),
                              args.currentRing + channelStart(c, args.window.ringLength)};
        windowTermSums(args.window, terms, totals);
        PowerResultsChannel& channel = args.results->channels[c];
        channel.meanAbsU += totals[math::kPairAbsoluteU];
        channel.meanAbsI += totals[math::kPairAbsoluteI];
        channel.rmsU += totals[math::kPairSquareU];
        channel.rmsI += totals[math::kPairSquareI];
        channel.p += totals[math::kPairProduct];
    }
}

POWERGPU_CPU_WIDE_KERNEL_CLONES void kernelFreqRms(const Launch& launch, const FreqRmsArgs& args) {
    for (int c = 0; c < rowCount(launch); ++c) {
        const float2* u = args.spectrumU + channelStart(c, args.binCount);
        const float2* i = args.spectrumI != nullptr ? args.spectrumI + channelStart(c, args.binCount) : nullptr;
        // Line-to-line rows may be fewer than the phases (one on a two-phase grid).
        const float2* ul = args.spectrumUL != nullptr && c < args.lineRowCount
                               ? args.spectrumUL + channelStart(c, args.binCount)
                               : nullptr;
        double sums[math::kSpectralSums] = {0.0, 0.0, 0.0, 0.0, 0.0};
        if (ul != nullptr && i != nullptr) {
            rowSpectralSums<true, true>(args.binCount, u, ul, i, sums);
        } else if (ul != nullptr) {
            rowSpectralSums<true, false>(args.binCount, u, ul, i, sums);
        } else if (i != nullptr) {
            rowSpectralSums<false, true>(args.binCount, u, ul, i, sums);
        } else {
            rowSpectralSums<false, false>(args.binCount, u, ul, i, sums);
        }
        PowerResultsChannel& channel = args.results->channels[c];
        channel.rmsFftU += sums[math::kSumU];
        if (ul != nullptr) {
            channel.rmsFftUL += sums[math::kSumUL];
        }
        if (i != nullptr) {
            channel.rmsFftI += sums[math::kSumI];
            channel.pFft += sums[math::kSumP];
            channel.q += sums[math::kSumQ];
        }
    }
}

void kernelReferenceAngle(const Launch& launch, const ReferenceAngleArgs& args) {
    static_cast<void>(launch);  // one thread
    const double binsPerFundamental = args.frequency / args.dFrequency;
    const int bin = math::nearestInteger(binsPerFundamental);
    const double frac = binsPerFundamental - static_cast<double>(bin);
    *args.referenceAngle = math::calculateAngleDeg(args.spectrum[bin], frac, args.lengthRatio, 0.0);
}

}  // namespace powergpu::cpu
