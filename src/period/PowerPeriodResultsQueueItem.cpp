// Measures off one period window sample by sample in reference cycles.
#include "period/PowerPeriodResultsQueueItem.h"

namespace powergpu {

PowerPeriodResultsQueueItem::PowerPeriodResultsQueueItem(const uint64_t itemIndex, const uint64_t firstSampleIndex,
                                                         const double firstSampleFractionToUse,
                                                         const double requiredLength, const double advanceBy)
    : itemIndex(itemIndex),
      firstSampleIndex(firstSampleIndex),
      lastRequiredSampleIndex(firstSampleIndex),
      firstSampleFractionToUse(firstSampleFractionToUse),
      requiredLength(requiredLength),
      advanceBy(advanceBy) {}

PowerPeriodResultsQueueItem::~PowerPeriodResultsQueueItem() {
    std::shared_ptr<PowerPeriodResultsQueueItem> next = std::move(nextItem);
    // Only successors that nothing else holds end here; one still held
    // elsewhere keeps the rest of the chain alive.
    while (next && next.use_count() == 1) {
        std::shared_ptr<PowerPeriodResultsQueueItem> after = std::move(next->nextItem);
        next = std::move(after);
    }
}

// The successor starts where `advanceBy` cycles have passed.
void PowerPeriodResultsQueueItem::createNextItem(const uint64_t sampleIndex, const double accumulated,
                                                 const double cyclesPerSample) {
    const double samplesToStart = periodShareOfSample(advanceBy - accumulated, cyclesPerSample);
    const double wholeSamples = std::floor(samplesToStart);
    const double startShare = samplesToStart - wholeSamples;
    nextItem = std::make_shared<PowerPeriodResultsQueueItem>(
        itemIndex + 1, sampleIndex + static_cast<uint64_t>(wholeSamples), 1.0 - startShare, requiredLength, advanceBy);
}

void PowerPeriodResultsQueueItem::close(const uint64_t sampleIndex, const double accumulated,
                                        const double cyclesPerSample) {
    lastRequiredSampleIndex = sampleIndex;
    lastSampleFractionToUse = periodShareOfSample(requiredLength - accumulated, cyclesPerSample);
    // Samples strictly between the first and the last count whole.
    totalLength = (static_cast<double>(sampleIndex - firstSampleIndex) - 1.0) + firstSampleFractionToUse +
                  lastSampleFractionToUse;
    lengthCalculated = true;
    accumulatedCycles = requiredLength;
    processedSamplesCount = sampleIndex - firstSampleIndex;
    // A window shorter than one sample has no length that a value could be
    // divided by; it must not be reported as a valid value.
    if (sampleIndex == firstSampleIndex) {
        valueValid = false;
    }
}

// The state that changes per sample is kept in locals, so that the loop
// runs in registers instead of reading and writing the item every sample.
uint64_t PowerPeriodResultsQueueItem::addSamplesFromTracks(const uint64_t lastSample, const double* const frequency,
                                                           const double* const validity, const uint64_t trackLength,
                                                           const double sampleRate) {
    uint64_t k = getNextSampleIndexToProcess();
    if (lengthCalculated) {
        return k;
    }
    uint64_t position = k % trackLength;
    double accumulated = accumulatedCycles;
    bool valid = valueValid;
    for (; k <= lastSample; ++k) {
        const double cyclesPerSample = frequency[position] / sampleRate;
        valid = valid && validity[position] != 0.0;
        // The successor is created before the closing test, so that with an
        // advance no longer than the window it exists when this window closes.
        if (!nextItem && accumulated + cyclesPerSample >= advanceBy) {
            createNextItem(k, accumulated, cyclesPerSample);
        }
        if (accumulated + cyclesPerSample >= requiredLength) {
            valueValid = valid;
            close(k, accumulated, cyclesPerSample);
            return k + 1;
        }
        accumulated += k == firstSampleIndex ? cyclesPerSample * firstSampleFractionToUse : cyclesPerSample;
        position = position + 1 == trackLength ? 0 : position + 1;
    }
    accumulatedCycles = accumulated;
    valueValid = valid;
    processedSamplesCount = k - firstSampleIndex;
    return k;
}

}  // namespace powergpu
