#include "pipeline/PowerResultsQueueItem.h"

#include <algorithm>
#include <cmath>

#include "buffers/ErrorChecks.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "PowerResultsQueueItem";

namespace powergpu {

PowerResultsQueueItem::PowerResultsQueueItem(Runtime& runtime, double sampleRate, uint64_t calculationIndex,
                                             uint64_t firstSampleIndex, uint32_t firstFftOutputSampleIndex,
                                             uint32_t firstHarmonicSampleIndex, uint8_t streamId,
                                             StreamHandle stream)
    : runtime_(runtime),
      sampleRate_(sampleRate),
      calculationIndex_(calculationIndex),
      firstSampleIndex_(firstSampleIndex),
      firstFftOutputSampleIndex_(firstFftOutputSampleIndex),
      firstHarmonicSampleIndex_(firstHarmonicSampleIndex),
      streamId_(streamId),
      stream_(stream),
      eventResultsCalculated_(runtime),
      eventResultsTransferred_(runtime) {
    CUDA_CALL(runtime_, runtime_.eventCreateWithFlags(eventResultsCalculated_.out(), kEventDisableTiming));
    CUDA_CALL(runtime_, runtime_.eventCreateWithFlags(eventResultsTransferred_.out(), kEventDisableTiming));
    if (calculationIndex_ == 0) {
        // The first window has no predecessor to wait for.
        CUDA_CALL(runtime_, runtime_.eventRecord(eventResultsCalculated_.get(), stream_));
    }
}

void PowerResultsQueueItem::setCalculation(uint64_t firstSampleIndex, uint32_t length, double exactPeriodLength,
                                           uint32_t maxPeriodCount, uint32_t fftLength,
                                           uint32_t fftOutputBufferLength, uint32_t maxHarmonicLength,
                                           double frequency) {
    exactPeriodLength_ = exactPeriodLength;
    firstSampleIndex_ = firstSampleIndex;
    length_ = length;
    fftInputLength_ = fftLength;
    frequency_ = frequency;
    const auto wholePeriods = static_cast<uint32_t>(static_cast<int64_t>(std::round(length / exactPeriodLength)));
    periodCount_ = std::min(maxPeriodCount, wholePeriods);
    fftOutputLength_ = fftLength / 2 + 1;
    if (static_cast<uint64_t>(fftOutputLength_) + firstFftOutputSampleIndex_ > fftOutputBufferLength) {
        firstFftOutputSampleIndex_ = 0;
    }
    dFrequency_ = sampleRate_ / fftLength;
    // The integer half of the FFT length: the highest bin.
    const uint32_t highestBinIndex = fftLength / 2;
    const double highestBin = static_cast<double>(highestBinIndex);
    const double ordersInSpectrum = std::ceil(highestBin * dFrequency_ / frequency_) + 1.0;
    harmonicLength_ = static_cast<uint32_t>(std::min(static_cast<double>(maxHarmonicLength), ordersInSpectrum));
}

void PowerResultsQueueItem::callEventResultsCalculated(StreamHandle stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    CUDA_CALL(runtime_, runtime_.eventRecord(eventResultsCalculated_.get(), stream));
}

void PowerResultsQueueItem::callEventResultsTransferred() {
    std::lock_guard<std::mutex> lock(mutex_);
    CUDA_CALL(runtime_, runtime_.eventRecord(eventResultsTransferred_.get(), stream_));
    resultsTransferred_.store(true, std::memory_order_release);
}

bool PowerResultsQueueItem::isResultReady() const {
    if (!resultsTransferred_.load(std::memory_order_acquire)) {
        return false;
    }
    const int state = runtime_.eventQuery(eventResultsTransferred_.get());
    if (state == kErrorNotReady) {
        return false;
    }
    // Any other answer is a device fault: taken for "not ready", it would
    // leave the caller waiting for results that never come.
    CUDA_CALL(runtime_, state);
    return true;
}

}  // namespace powergpu
