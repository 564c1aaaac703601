// Measures off one period window sample by sample in reference cycles.
#include "period/PowerPeriodResultsQueueItem.h"

#include <cmath>

namespace powergpu {

namespace {

// The share of a sample (0..1 for a boundary inside it) after which `remaining`
// cycles have passed, at `step` cycles per sample. A sample that advances the
// reference by nothing cannot hold a boundary; its share is 0.
double shareOfSample(const double remaining, const double step) {
    return step > 0.0 ? remaining / step : 0.0;
}

}  // namespace

PowerPeriodResultsQueueItem::PowerPeriodResultsQueueItem(const uint64_t itemIndex, const uint64_t firstSampleIndex,
                                                         const double firstSampleFractionToUse,
                                                         const double requiredLength, const double advanceBy)
    : itemIndex(itemIndex),
      firstSampleIndex(firstSampleIndex),
      lastRequiredSampleIndex(firstSampleIndex),
      firstSampleFractionToUse(firstSampleFractionToUse),
      requiredLength(requiredLength),
      advanceBy(advanceBy) {}

void PowerPeriodResultsQueueItem::addSampleWithPhaseShift(const uint64_t sampleIndex, const double cyclesPerSample,
                                                          const bool valid) {
    valueValid = valueValid && valid;

    // The successor is created before the closing test, so that with an
    // advance no longer than the window it exists when this window closes.
    if (!nextItem && accumulatedCycles + cyclesPerSample >= advanceBy) {
        const double samplesToStart = shareOfSample(advanceBy - accumulatedCycles, cyclesPerSample);
        const double wholeSamples = std::floor(samplesToStart);
        const double startShare = samplesToStart - wholeSamples;
        nextItem = std::make_shared<PowerPeriodResultsQueueItem>(itemIndex + 1,
                                                                 sampleIndex + static_cast<uint64_t>(wholeSamples),
                                                                 1.0 - startShare, requiredLength, advanceBy);
    }

    if (accumulatedCycles + cyclesPerSample >= requiredLength) {
        lastRequiredSampleIndex = sampleIndex;
        lastSampleFractionToUse = shareOfSample(requiredLength - accumulatedCycles, cyclesPerSample);
        // Samples strictly between the first and the last count whole.
        totalLength = (static_cast<double>(sampleIndex - firstSampleIndex) - 1.0) + firstSampleFractionToUse +
                      lastSampleFractionToUse;
        lengthCalculated = true;
        accumulatedCycles = requiredLength;
        // A window shorter than one sample has no length that a value could
        // be divided by; it must not be reported as a valid value.
        if (sampleIndex == firstSampleIndex) {
            valueValid = false;
        }
        return;
    }

    accumulatedCycles += sampleIndex == firstSampleIndex ? cyclesPerSample * firstSampleFractionToUse : cyclesPerSample;
    processedSamplesCount += 1;
}

}  // namespace powergpu
