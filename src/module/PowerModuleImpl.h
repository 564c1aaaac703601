// The implementation behind PowerModule: settings, buffers, streams, FFT
// plans, the queues of pending results and the locks.
//
// Its methods live in several files, each with one job:
//   module/PowerModuleImpl.cpp     construction, settings, rebuild
//   module/SampleRing.cpp          writing, skipping, waveform pointers
//   pipeline/PowerModuleImpl.cpp   scheduling, FFT plans, retrieval, reset
//   pipeline/ResultAssembly.cpp    output records from host copies
//   post/ThdCalculation.cpp        THD figures
//   period/PeriodScheduling.cpp    cycle input, period windows
//   period/PeriodValues.cpp        period values and their retrieval
//   period/VoltageEvents.cpp       dips, swells and interruptions
//
// Locks: settingsMutex before calculationMutex before resultsMutex; nothing
// takes them in another order.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

#include "cuda/PowerBuffers.h"
#include "module/PowerConfig.h"
#include "period/PowerPeriodResultsQueueItem.h"
#include "period/RvcMultiPhaseCalculation.h"
#include "period/VoltageEventDetector.h"
#include "pipeline/FftPlanSet.h"
#include "pipeline/PowerResultsQueueItem.h"
#include "powergpu.hpp"
#include "runtime/DeviceHandles.h"
#include "runtime/Runtime.h"

class PowerModule::PowerModuleImpl {
public:
    using QueueItemPointer = std::shared_ptr<powergpu::PowerResultsQueueItem>;
    using PeriodItemPointer = std::shared_ptr<powergpu::PowerPeriodResultsQueueItem>;

    // The runtime is shared so that tools and tests may outlive the module with it.
    explicit PowerModuleImpl(std::shared_ptr<powergpu::Runtime> runtime);
    PowerModuleImpl(const PowerModuleImpl&) = delete;
    PowerModuleImpl& operator=(const PowerModuleImpl&) = delete;
    ~PowerModuleImpl();

    powergpu::Runtime& runtime() const { return *runtime_; }

    // ---- settings and rebuild (module/PowerModuleImpl.cpp)
    const PowerConfig& getConfig() const { return config; }
    void beginUpdate();
    void endUpdate();
    int32_t getUpdateCounter() const { return updateCounter.load(); }
    // How many times initialize has completed; lets callers see rebuilds.
    uint64_t getInitializeCount() const { return initializeCount.load(); }

    void setBufferLengthAndDuration(uint64_t length, double duration);
    uint64_t getBufferLength() const { return buffers.getBufferLength(); }
    double getBufferDuration() const { return buffers.getBufferDuration(); }
    void setSampleRate(double rate, int positionsPerSample);
    double getSampleRate() const { return config.sampleRate; }
    int getPositionsPerSample() const { return config.positionsPerSample; }
    void setStaticFrequency(double frequency, double tolerance);
    void setVariableFrequency(double lowest, double highest);
    void setGridConfigType(PowerGridConfigType type);
    PowerGridConfigType getGridConfigType() const { return config.gridConfigType; }
    PowerGridConfig getGridConfig() const { return config.getGridConfig(); }
    void setPeriodCount(uint16_t count);
    uint16_t getPeriodCount() const { return config.periodCount; }

    void setPeriodValuesEnabled(bool enabled);
    bool getPeriodValuesEnabled() const { return config.periodValuesEnabled; }
    void setFundamentalPeriodValuesEnabled(bool enabled);
    bool getFundamentalPeriodValuesEnabled() const { return config.fundamentalPeriodValuesEnabled; }
    void setPeriodSymmetricalComponentsEnabled(bool enabled);
    bool getPeriodSymmetricalComponentsEnabled() const { return config.arePeriodSymmetricalComponentsEnabled(); }
    void setHalfPeriodValuesCount(uint16_t count) { config.halfPeriodValuesCount = count; }
    uint16_t getHalfPeriodValuesCount() const { return config.halfPeriodValuesCount; }
    void setPeriodValuesOverlapInPercent(uint16_t percent) { config.periodValuesOverlapInPercent = percent; }
    uint16_t getPeriodValuesOverlapInPercent() const { return config.periodValuesOverlapInPercent; }
    bool getAnyPeriodValuesEnabled() const {
        return config.periodValuesEnabled || config.fundamentalPeriodValuesEnabled;
    }

    void setCurrentEnabled(bool enabled);
    bool getCurrentEnabled() const { return config.currentEnabled; }
    void setLineToLineResultsEnabled(bool enabled);
    bool getLineToLineResultsEnabled() const { return config.lineToLineResultsEnabled; }
    void setWaveformsEnabled(bool enabled);
    bool getWaveformsEnabled() const { return config.waveformsEnabled; }
    void setInterHarmonicsEnabled(bool enabled);
    bool getInterHarmonicsEnabled() const { return config.interHarmonicsEnabled; }
    void setFullFftEnabled(bool enabled);
    bool getFullFftEnabled() const { return config.getFullFftEnabled(); }
    void setThdEnabled(bool enabled);
    bool getThdEnabled() const { return config.thdEnabled; }
    void setHighestRequestedHarmonic(int order);
    int getHighestRequestedHarmonic() const { return config.highestRequestedHarmonic; }
    void setThdHighestHarmonic(int order);
    int getThdHighestHarmonic() const { return config.thdHighestHarmonic; }
    void setSymmetricalComponentsEnabled(bool enabled);
    bool getSymmetricalComponentsEnabled() const { return config.areSymmetricalComponentsEnabled(); }

    void setRvcEnabled(bool enabled);
    bool getRvcEnabled() const { return config.rvcEnabled; }
    void setRvcSteadyStateLength(int length);
    int getRvcSteadyStateLength() const { return config.rvcSteadyStateLength; }
    void setRvcThreshold(double percent);
    double getRvcThreshold() const { return config.rvcThreshold; }
    void setRvcThresholdHysteresis(double percent);
    double getRvcThresholdHysteresis() const { return config.rvcThresholdHysteresis; }

    void setClarkeTransformEnabled(bool enabled);
    bool getClarkeTransformEnabled() const { return config.clarkeTransformEnabled; }
    void setParkTransformEnabled(bool enabled);
    bool getParkTransformEnabled() const { return config.parkTransformEnabled; }
    void setClarkeOrParkVoltagesEnabled(bool enabled);
    bool getClarkeOrParkVoltagesEnabled() const { return config.clarkeOrParkVoltagesEnabled; }
    void setClarkeOrParkCurrentsEnabled(bool enabled);
    bool getClarkeOrParkCurrentsEnabled() const { return config.clarkeOrParkCurrentsEnabled; }
    void setClarkeOrParkWaveformsEnabled(bool enabled);
    bool getClarkeOrParkWaveformsEnabled() const { return config.clarkeOrParkWaveformsEnabled; }
    void setMechanicalAngleUsed(bool used) { config.mechanicalAngleUsed = used; }
    bool getMechanicalAngleUsed() const { return config.mechanicalAngleUsed; }
    void setPolePairs(int polePairs) { config.polePairs = polePairs; }
    int getPolePairs() const { return config.polePairs; }
    void setMechAngleOffset(double offset) { config.mechAngleOffset = offset; }
    double getMechAngleOffset() const { return config.mechAngleOffset; }

    // Counts and lengths derived from the settings.
    uint8_t getPhasesCount() const { return config.getPhasesCount(); }
    uint8_t getVoltagesCount() const { return config.getVoltagesCount(); }
    uint8_t getCurrentsCount() const { return config.getCurrentsCount(); }
    uint8_t getLineToLineCount() const { return config.getLineToLineCount(); }
    uint64_t getFftLength(uint64_t windowLength, double frequency) const;
    uint64_t getMaxHarmonicsCount() const;
    uint8_t getHarmonicOutputsCount() const;
    uint8_t getRequiredBuffersCount() const;

    // ---- sample ring (module/SampleRing.cpp)
    void copyAddedSamplesToGpu(uint32_t count);
    void skipSamples(uint32_t count);
    float* getWaveformBufferUInput(uint8_t channel) const;
    float* getWaveformBufferUStar(uint8_t channel) const;
    float* getWaveformBufferUDelta(uint8_t channel) const;
    float* getWaveformBufferI(uint8_t channel) const;
    float* getWaveformBufferClarkeU(uint8_t channel) const;
    float* getWaveformBufferClarkeI(uint8_t channel) const;
    float* getWaveformBufferParkU(uint8_t channel) const;
    float* getWaveformBufferParkI(uint8_t channel) const;
    float* getWaveformBufferMechAngles() const;
    uint64_t getSamplesWritten() const { return samplesWritten.load(); }
    uint64_t getNextSampleToCalculate() const { return nextSampleToCalculate.load(); }
    uint64_t getNextSampleToDeliver() const { return nextSampleToDeliver.load(); }

    // ---- calculation pipeline (pipeline/PowerModuleImpl.cpp)
    void scheduleForCalculation(uint64_t firstSampleIndex, uint32_t length, double frequency);
    bool isAnyResultReady();
    std::vector<PowerResultsGeneral> getResults(int maxCount);
    void syncCuda();
    void reset(uint64_t firstSampleIndex);
    bool isReset() const;

    // ---- period values (period/*.cpp)
    void scheduleForPeriodCalculation(int count, const uint64_t* starts, const int* lengths,
                                      const double* frequencies, const bool* valid);
    void getPeriodResults(int* count, bool* more, PowerResultsPeriod** records);

    // ---- dips, swells and interruptions (period/VoltageEvents.cpp); the
    // settings are plain stores that take effect at the next reset.
    void setVoltageEventsEnabled(bool enabled) { config.voltageEventsEnabled = enabled; }
    bool getVoltageEventsEnabled() const { return config.voltageEventsEnabled; }
    void setVoltageEventDeclaredVoltage(double volts);
    double getVoltageEventDeclaredVoltage() const { return config.voltageEvents.declaredVoltage; }
    void setVoltageDipThreshold(double percent);
    double getVoltageDipThreshold() const { return config.voltageEvents.dipThreshold; }
    void setVoltageSwellThreshold(double percent);
    double getVoltageSwellThreshold() const { return config.voltageEvents.swellThreshold; }
    void setVoltageInterruptionThreshold(double percent);
    double getVoltageInterruptionThreshold() const { return config.voltageEvents.interruptionThreshold; }
    void setVoltageEventHysteresis(double percent);
    double getVoltageEventHysteresis() const { return config.voltageEvents.hysteresis; }
    void setVoltageEventSlidingReferenceEnabled(bool enabled) { config.voltageEvents.slidingReference = enabled; }
    bool getVoltageEventSlidingReferenceEnabled() const { return config.voltageEvents.slidingReference; }
    std::vector<PowerVoltageEvent> takeVoltageEvents(std::size_t maxCount);
    std::size_t getVoltageEventsWaiting() const;
    std::vector<PowerVoltageEvent> getVoltageEventsInProgress() const;
    const powergpu::VoltageEventDetector& getVoltageEventDetector() const { return voltageEventDetector; }

    // Read access for tests and tools.
    const powergpu::PowerBuffers& getBuffers() const { return buffers; }
    const powergpu::FftPlanSet& getFftPlans() const { return fftPlans; }
    powergpu::StreamHandle getCudaStream(std::size_t index) const { return cudaStreams[index]; }
    std::size_t getResultsQueueSize();
    const RvcMultiPhaseCalculation& getRvcPhaseCalculation() const { return rvcPhaseCalculation; }
    const RvcMultiPhaseCalculation& getRvcLineToLineCalculation() const { return rvcLineToLineCalculation; }

private:
    // module/PowerModuleImpl.cpp
    void lazyInitialize();
    void initialize();
    void deinit();
    // Stores a rebuilding setting and rebuilds unless a bracket is open.
    template <typename Store>
    void storeAndRebuild(Store store);

    // pipeline/PowerModuleImpl.cpp
    void initFftPlans(uint64_t minFftLength, uint64_t maxFftLength);
    QueueItemPointer getNextQueueItem(const powergpu::PowerResultsQueueItem& previous);
    void validateWindow(uint64_t firstSampleIndex, uint32_t length, double frequency) const;
    void dropPendingWork();

    // pipeline/ResultAssembly.cpp
    PowerResultsGeneral buildGeneralResults(const powergpu::PowerResultsQueueItem& item) const;

    // post/ThdCalculation.cpp
    void calculateThd(PowerResultsThd& out, double h1, double rms, uint16_t item, uint64_t slot) const;

    // period/PeriodScheduling.cpp, period/PeriodValues.cpp
    void resetPeriodScheduling(uint64_t firstSampleIndex);
    // period/VoltageEvents.cpp
    void resetVoltageEvents();
    void feedVoltageEvents(const PowerResultsPeriod* phaseRecords, int phases, double time);
    void requireVoltageEvents(const char* operation) const;

    void calculatePeriodValues(uint64_t firstSampleIndex, uint64_t lastSampleIndex, double firstFraction,
                               double lastFraction, double totalLength, bool valid, PowerResultsPeriod* records);

    std::shared_ptr<powergpu::Runtime> runtime_;

    PowerConfig config;
    powergpu::PowerBuffers buffers;
    RvcMultiPhaseCalculation rvcPhaseCalculation;
    RvcMultiPhaseCalculation rvcLineToLineCalculation;
    // Dips, swells and interruptions; active from a reset with the detector
    // and period values enabled.
    powergpu::VoltageEventDetector voltageEventDetector;
    bool voltageEventsActive = false;

    std::atomic<uint64_t> samplesWritten{0};
    std::atomic<uint64_t> nextSampleToCalculate{0};
    std::atomic<uint64_t> nextSampleToDeliver{0};

    double previousFrequency = 0.0;
    double referencePhase = 0.0;
    double previousValidity = 1.0;

    std::mutex calculationMutex;
    std::mutex resultsMutex;
    std::mutex settingsMutex;
    std::atomic<int32_t> updateCounter{0};
    std::atomic<uint64_t> initializeCount{0};

    powergpu::StreamSet cudaStreams;
    powergpu::FftPlanSet fftPlans;

    QueueItemPointer currentQueueItem;
    PeriodItemPointer currentPeriodItem;
    std::queue<QueueItemPointer, std::deque<QueueItemPointer>> resultsQueue;
    std::deque<PeriodItemPointer> periodQueue;
};
