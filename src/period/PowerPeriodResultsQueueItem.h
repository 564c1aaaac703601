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
    PowerPeriodResultsQueueItem(const PowerPeriodResultsQueueItem&) = delete;
    PowerPeriodResultsQueueItem& operator=(const PowerPeriodResultsQueueItem&) = delete;
    // Each window owns its successor; the chain is released in a loop, so
    // that no chain length can exhaust the stack.
    ~PowerPeriodResultsQueueItem();

    // Feeds the samples from the next one to process up to lastSample, or
    // until the window's length is known. Sample k advances the reference by
    // frequency[k % trackLength] / sampleRate cycles and is valid where
    // validity[k % trackLength] is not 0. Returns the index after the last
    // sample fed.
    uint64_t addSamplesFromTracks(uint64_t lastSample, const double* frequency, const double* validity,
                                  uint64_t trackLength, double sampleRate);

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
    void createNextItem(uint64_t sampleIndex, double accumulated, double cyclesPerSample);
    void close(uint64_t sampleIndex, double accumulated, double cyclesPerSample);

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

}  // namespace powergpu
