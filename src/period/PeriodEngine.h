// The period side of a module: the caller's cycles become reference tracks,
// a chain of period windows measures whole reference cycles off them, and
// each finished window becomes a group of period values on the host, which
// also feed the RVC detectors and the detector of dips, swells and
// interruptions. The reported cycles feed the 10-s frequency, and written
// samples feed the flickermeters.
//
// Its work is split by job:
//   period/PeriodEngine.cpp              rebuild and reset of the detectors and the chain
//   period/PeriodScheduling.cpp          cycle input, period windows
//   period/PeriodValues.cpp              period values and their retrieval
//   period/VoltageEvents.cpp             dips, swells and interruptions
//   period/TenSecondFrequencyModule.cpp  the 10-s frequency
//   period/FlickerFeed.cpp               the flickermeters
//
// None of it takes a lock: scheduling cycles, fetching period values and
// reset must not overlap each other or a rebuild.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "flicker/ModuleFlicker.h"
#include "period/PowerPeriodResultsQueueItem.h"
#include "period/RvcMultiPhaseCalculation.h"
#include "period/TenSecondFrequency.h"
#include "period/VoltageEventDetector.h"
#include "pipeline/SampleProgress.h"
#include "powergpu.h"
#include "settings/ModuleSettings.h"

namespace powergpu {

class PeriodEngine {
public:
    using PeriodItemPointer = std::shared_ptr<PowerPeriodResultsQueueItem>;

    // Reads the applied settings and buffers of `settings` and the sample
    // indices of `progress`; both outlive the engine.
    PeriodEngine(ModuleSettings& settings, const SampleProgress& progress);
    PeriodEngine(const PeriodEngine&) = delete;
    PeriodEngine& operator=(const PeriodEngine&) = delete;

    // After a rebuild: the RVC detectors and the flickermeters follow the
    // applied settings.
    void configure();
    // Starts the reference tracks, the window chain, the voltage-event
    // detector and the 10-s frequency at `firstSampleIndex`.
    void reset(uint64_t firstSampleIndex);
    // Drops the window chain and the finished windows (they refer to
    // buffers a rebuild replaced).
    void dropChain();

    // ---- cycles and period values; `reset` says whether the module has a
    // pending window (see WindowScheduler::isReset).
    void scheduleForPeriodCalculation(int count, const uint64_t* starts, const int* lengths, const double* frequencies,
                                      const bool* valid, bool reset);
    void getPeriodResults(int* count, bool* more, PowerResultsPeriod** records, bool reset);

    // ---- dips, swells and interruptions
    std::vector<PowerVoltageEvent> takeVoltageEvents(std::size_t maxCount);
    std::size_t getVoltageEventsWaiting() const;
    std::vector<PowerVoltageEvent> getVoltageEventsInProgress() const;

    // ---- the 10-s frequency
    std::vector<PowerTenSecondFrequency> takeTenSecondFrequencies(std::size_t maxCount);
    std::size_t getTenSecondFrequenciesWaiting() const;

    // ---- flicker
    // Hands newly written samples to the meters (the caller holds the
    // calculation lock, as a rebuild that reconfigures them does).
    void feedFlicker(uint64_t firstSampleIndex, uint32_t count);
    uint8_t getFlickerChannelsCount() const { return static_cast<uint8_t>(flicker.channels()); }
    std::size_t getFlickerPinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* records);
    std::size_t getFlickerPst(uint8_t channel, std::size_t capacity, PowerFlickerPst* records);

    // Read access for tests and tools.
    const RvcMultiPhaseCalculation& getRvcPhaseCalculation() const { return rvcPhaseCalculation; }
    const RvcMultiPhaseCalculation& getRvcLineToLineCalculation() const { return rvcLineToLineCalculation; }
    const VoltageEventDetector& getVoltageEventDetector() const { return voltageEventDetector; }

private:
    // period/PeriodScheduling.cpp
    void restartChainIfBehind(uint64_t firstSample, uint64_t ringLength);
    // period/PeriodValues.cpp
    void calculatePeriodValues(uint64_t firstSampleIndex, uint64_t lastSampleIndex, double firstFraction,
                               double lastFraction, double totalLength, bool valid, PowerResultsPeriod* records);
    // period/VoltageEvents.cpp
    void resetVoltageEvents();
    void feedVoltageEvents(const PowerResultsPeriod* phaseRecords, int phases, double time);
    void requireVoltageEvents(const char* operation) const;
    // period/TenSecondFrequencyModule.cpp
    void resetTenSecondFrequency();
    void feedTenSecondFrequency(int count, const uint64_t* starts, const int* lengths, const bool* valid);
    void requireTenSecondFrequency(const char* operation) const;

    ModuleSettings& settings_;
    const SampleProgress& progress_;

    // The reference at the end of the last reported cycle.
    double previousFrequency = 0.0;
    double referencePhase = 0.0;
    double previousValidity = 1.0;
    // The tracks of the samples before this one are final. A cycle that ends
    // inside a sample leaves that sample's phase, frequency and validity to
    // be completed by the cycle that follows; a period value reading it waits
    // for that cycle, so that it never depends on when it was fetched.
    uint64_t tracksFinalBefore = 0;
    // The window being fed, and finished windows waiting for their values.
    PeriodItemPointer currentPeriodItem;
    std::deque<PeriodItemPointer> periodQueue;

    RvcMultiPhaseCalculation rvcPhaseCalculation;
    RvcMultiPhaseCalculation rvcLineToLineCalculation;
    // Dips, swells and interruptions; active from a reset with the detector
    // and period values enabled.
    VoltageEventDetector voltageEventDetector;
    bool voltageEventsActive = false;
    flicker::ModuleFlicker flicker;
    // The 10-s frequency; active from a reset with it and period values enabled.
    TenSecondFrequencyMeter tenSecondFrequencyMeter;
    bool tenSecondFrequencyActive = false;
};

}  // namespace powergpu
