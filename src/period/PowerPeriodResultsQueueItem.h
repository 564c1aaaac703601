// One period measurement window: a fixed number of reference cycles,
// measured off sample by sample with fractional first and last samples.
#pragma once

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

}  // namespace powergpu
