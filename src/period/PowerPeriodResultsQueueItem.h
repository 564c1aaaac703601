// One period measurement window: a fixed number of reference cycles,
// measured off sample by sample with fractional first and last samples.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>

namespace powergpu {

class PowerPeriodResultsQueueItem {
public:
    PowerPeriodResultsQueueItem(uint64_t itemIndex, uint64_t firstSampleIndex, double firstSampleFractionToUse,
                                double requiredLength, double advanceBy);

    // Feeds sample k with `step` reference cycles per sample and its validity.
    void addSampleWithPhaseShift(uint64_t sampleIndex, double cyclesPerSample, bool valid);

    uint64_t getItemIndex() const { return itemIndex; }
    uint64_t getFirstSampleIndex() const { return firstSampleIndex; }
    uint64_t getLastRequiredSampleIndex() const { return lastRequiredSampleIndex; }
    double getFirstSampleFractionToUse() const { return firstSampleFractionToUse; }
    double getLastSampleFractionToUse() const { return lastSampleFractionToUse; }
    double getTotalLength() const { return totalLength; }
    double getRequiredLength() const { return requiredLength; }
    double getAdvanceBy() const { return advanceBy; }
    bool isLengthCalculated() const { return lengthCalculated; }
    bool isValueValid() const { return valueValid; }
    std::shared_ptr<PowerPeriodResultsQueueItem> getNextItem() const { return nextItem; }
    uint64_t getNextSampleIndexToProcess() const { return firstSampleIndex + processedSamplesCount; }

private:
    uint64_t itemIndex;
    uint64_t firstSampleIndex;
    uint64_t lastRequiredSampleIndex;
    double firstSampleFractionToUse;
    double lastSampleFractionToUse = 0.0;
    double requiredLength;
    double advanceBy;
    std::shared_ptr<PowerPeriodResultsQueueItem> nextItem;
    bool lengthCalculated = false;
    bool valueValid = true;
    double totalLength = 0.0;
    uint64_t processedSamplesCount = 0;
    double accumulatedCycles = 0.0;
};

// The share of a sample (0..1 for a boundary inside it) after which `remaining`
// cycles have passed, at `step` cycles per sample. A sample that advances the
// reference by nothing cannot hold a boundary; its share is 0.
inline double periodShareOfSample(const double remaining, const double step) {
    return step > 0.0 ? remaining / step : 0.0;
}

// Defined here so that the feeding loop, which calls it once per sample and
// window, inlines it.
inline void PowerPeriodResultsQueueItem::addSampleWithPhaseShift(const uint64_t sampleIndex,
                                                                 const double cyclesPerSample, const bool valid) {
    valueValid = valueValid && valid;

    // The successor is created before the closing test, so that with an
    // advance no longer than the window it exists when this window closes.
    if (!nextItem && accumulatedCycles + cyclesPerSample >= advanceBy) {
        const double samplesToStart = periodShareOfSample(advanceBy - accumulatedCycles, cyclesPerSample);
        const double wholeSamples = std::floor(samplesToStart);
        const double startShare = samplesToStart - wholeSamples;
        nextItem = std::make_shared<PowerPeriodResultsQueueItem>(itemIndex + 1,
                                                                 sampleIndex + static_cast<uint64_t>(wholeSamples),
                                                                 1.0 - startShare, requiredLength, advanceBy);
    }

    if (accumulatedCycles + cyclesPerSample >= requiredLength) {
        lastRequiredSampleIndex = sampleIndex;
        lastSampleFractionToUse = periodShareOfSample(requiredLength - accumulatedCycles, cyclesPerSample);
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
