// One calculation window on its way through the device: positions and
// lengths in the result rings, frequency data, its stream and two events
// (released by the previous window's kernels; results transferred).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "runtime/DeviceHandles.h"
#include "runtime/Runtime.h"

namespace powergpu {

class PowerResultsQueueItem {
public:
    PowerResultsQueueItem(Runtime& runtime, double sampleRate, uint64_t calculationIndex, uint64_t firstSampleIndex,
                          uint32_t firstFftOutputSampleIndex, uint32_t firstHarmonicSampleIndex,
                          uint8_t streamId, StreamHandle stream);
    PowerResultsQueueItem(const PowerResultsQueueItem&) = delete;
    PowerResultsQueueItem& operator=(const PowerResultsQueueItem&) = delete;
    ~PowerResultsQueueItem() = default;

    // Fixes the window: lengths, period count, spectra and harmonic positions.
    void setCalculation(uint64_t firstSampleIndex, uint32_t length, double exactPeriodLength, uint32_t maxPeriodCount,
                        uint32_t fftLength, uint32_t fftOutputBufferLength, uint32_t maxHarmonicLength,
                        double frequency);
    // Moves the start of a pending window (samples were skipped).
    void reset(uint64_t firstSampleIndex) { firstSampleIndex_ = firstSampleIndex; }

    void callEventResultsCalculated(StreamHandle stream);
    void callEventResultsTransferred();
    // True once the copies of the window's results have reached the host;
    // throws GpuException when the device reports a fault instead.
    bool isResultReady() const;

    uint64_t getCalculationIndex() const { return calculationIndex_; }
    uint64_t getFirstSampleIndex() const { return firstSampleIndex_; }
    uint32_t getLength() const { return length_; }
    uint32_t getFirstFftOutputSampleIndex() const { return firstFftOutputSampleIndex_; }
    uint32_t getFirstHarmonicSampleIndex() const { return firstHarmonicSampleIndex_; }
    double getExactPeriodLength() const { return exactPeriodLength_; }
    double getFrequency() const { return frequency_; }
    double getDFrequency() const { return dFrequency_; }
    uint32_t getFftInputLength() const { return fftInputLength_; }
    uint32_t getFftOutputLength() const { return fftOutputLength_; }
    uint32_t getHarmonicLength() const { return harmonicLength_; }
    uint32_t getPeriodCount() const { return periodCount_; }
    uint8_t getStreamId() const { return streamId_; }
    StreamHandle getStream() const { return stream_; }
    EventHandle getEventResultsCalculated() { return eventResultsCalculated_.get(); }
    uint64_t getNextSampleIndex() const { return firstSampleIndex_ + length_; }
    double getSampleRate() const { return sampleRate_; }

private:
    Runtime& runtime_;
    double sampleRate_;
    uint64_t calculationIndex_;
    uint64_t firstSampleIndex_;
    uint32_t length_ = 4;
    uint32_t firstFftOutputSampleIndex_;
    uint32_t firstHarmonicSampleIndex_;
    double exactPeriodLength_ = 1.0;
    double frequency_ = 50.0;
    double dFrequency_ = 1.0;
    uint32_t fftInputLength_ = 4;
    uint32_t fftOutputLength_ = 3;
    uint32_t harmonicLength_ = 1;
    uint32_t periodCount_ = 1;
    uint8_t streamId_;
    StreamHandle stream_;
    OwnedEvent eventResultsCalculated_;
    OwnedEvent eventResultsTransferred_;
    std::atomic<bool> resultsTransferred_{false};
    std::mutex mutex_;
};

}  // namespace powergpu
