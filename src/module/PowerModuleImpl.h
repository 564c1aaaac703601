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
//   flicker/ModuleFlickerHooks.cpp flicker settings, feeding, retrieval
//   period/TenSecondFrequencyModule.cpp  the 10-s frequency
//   iec/IecHarmonicsModule.cpp     the grouped harmonic analysis
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
#include <string>
#include <vector>

#include "buffers/PowerBuffers.h"
#include "flicker/ModuleFlicker.h"
#include "iec/IecHarmonicAnalysis.h"
#include "module/PowerConfig.h"
#include "period/PowerPeriodResultsQueueItem.h"
#include "period/RvcMultiPhaseCalculation.h"
#include "period/TenSecondFrequency.h"
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

    // A module around a given runtime, for the library's own tests (a test
    // runtime wrapping a backend's): not part of the exported interface.
    __attribute__((visibility("hidden"))) static PowerModule moduleAround(std::shared_ptr<powergpu::Runtime> runtime);

    // ---- settings and rebuild (module/PowerModuleImpl.cpp)
    // The settings as stored (what the getters report) and as applied by
    // the last rebuild (what the ring, scheduling, kernels and period values
    // use). They differ inside an open update bracket and after a failed
    // rebuild.
    const PowerConfig& getConfig() const { return settings; }
    const PowerConfig& getAppliedConfig() const { return config; }
    // Empty while the buffers match the applied settings; after a failed
    // rebuild, why the module is not built.
    const std::string& getBuildFailure() const { return buildFailure; }
    void beginUpdate();
    void endUpdate();
    int32_t getUpdateCounter() const { return updateCounter.load(); }
    // How many times initialize has completed; lets callers see rebuilds.
    uint64_t getInitializeCount() const { return initializeCount.load(); }

    void setBufferLengthAndDuration(uint64_t length, double duration);
    uint64_t getBufferLength() const { return requestedBufferLength; }
    double getBufferDuration() const { return requestedBufferDuration; }
    void setSampleRate(double rate, int positionsPerSample);
    double getSampleRate() const { return settings.sampleRate; }
    void setStaticFrequency(double frequency, double tolerance);
    void setVariableFrequency(double lowest, double highest);
    void setGridConfigType(PowerGridConfigType type);
    PowerGridConfigType getGridConfigType() const { return settings.gridConfigType; }
    PowerGridConfig getGridConfig() const { return settings.getGridConfig(); }
    void setPeriodCount(uint16_t count);
    uint16_t getPeriodCount() const { return settings.periodCount; }

    void setPeriodValuesEnabled(bool enabled);
    bool getPeriodValuesEnabled() const { return settings.periodValuesEnabled; }
    void setFundamentalPeriodValuesEnabled(bool enabled);
    bool getFundamentalPeriodValuesEnabled() const { return settings.fundamentalPeriodValuesEnabled; }
    void setPeriodSymmetricalComponentsEnabled(bool enabled);
    bool getPeriodSymmetricalComponentsEnabled() const { return settings.arePeriodSymmetricalComponentsEnabled(); }
    void setHalfPeriodValuesCount(uint16_t count) { settings.halfPeriodValuesCount = config.halfPeriodValuesCount = count; }
    uint16_t getHalfPeriodValuesCount() const { return settings.halfPeriodValuesCount; }
    void setPeriodValuesOverlapInPercent(uint16_t percent) { settings.periodValuesOverlapInPercent = config.periodValuesOverlapInPercent = percent; }
    uint16_t getPeriodValuesOverlapInPercent() const { return settings.periodValuesOverlapInPercent; }

    void setCurrentEnabled(bool enabled);
    bool getCurrentEnabled() const { return settings.currentEnabled; }
    void setLineToLineResultsEnabled(bool enabled);
    bool getLineToLineResultsEnabled() const { return settings.lineToLineResultsEnabled; }
    void setWaveformsEnabled(bool enabled);
    bool getWaveformsEnabled() const { return settings.waveformsEnabled; }
    void setInterHarmonicsEnabled(bool enabled);
    bool getInterHarmonicsEnabled() const { return settings.interHarmonicsEnabled; }
    void setFullFftEnabled(bool enabled);
    bool getFullFftEnabled() const { return settings.getFullFftEnabled(); }
    void setThdEnabled(bool enabled);
    bool getThdEnabled() const { return settings.thdEnabled; }
    void setHighestRequestedHarmonic(int order);
    int getHighestRequestedHarmonic() const { return settings.highestRequestedHarmonic; }
    void setThdHighestHarmonic(int order);
    int getThdHighestHarmonic() const { return settings.thdHighestHarmonic; }
    void setSymmetricalComponentsEnabled(bool enabled);
    bool getSymmetricalComponentsEnabled() const { return settings.areSymmetricalComponentsEnabled(); }

    void setRvcEnabled(bool enabled);
    bool getRvcEnabled() const { return settings.rvcEnabled; }
    void setRvcSteadyStateLength(int length);
    int getRvcSteadyStateLength() const { return settings.rvcSteadyStateLength; }
    void setRvcThreshold(double percent);
    double getRvcThreshold() const { return settings.rvcThreshold; }
    void setRvcThresholdHysteresis(double percent);
    double getRvcThresholdHysteresis() const { return settings.rvcThresholdHysteresis; }

    void setClarkeTransformEnabled(bool enabled);
    bool getClarkeTransformEnabled() const { return settings.clarkeTransformEnabled; }
    void setParkTransformEnabled(bool enabled);
    bool getParkTransformEnabled() const { return settings.parkTransformEnabled; }
    void setClarkeOrParkVoltagesEnabled(bool enabled);
    bool getClarkeOrParkVoltagesEnabled() const { return settings.clarkeOrParkVoltagesEnabled; }
    void setClarkeOrParkCurrentsEnabled(bool enabled);
    bool getClarkeOrParkCurrentsEnabled() const { return settings.clarkeOrParkCurrentsEnabled; }
    void setClarkeOrParkWaveformsEnabled(bool enabled);
    bool getClarkeOrParkWaveformsEnabled() const { return settings.clarkeOrParkWaveformsEnabled; }
    void setMechanicalAngleUsed(bool used) { settings.mechanicalAngleUsed = config.mechanicalAngleUsed = used; }
    bool getMechanicalAngleUsed() const { return settings.mechanicalAngleUsed; }
    void setPolePairs(int polePairs) { settings.polePairs = config.polePairs = polePairs; }
    int getPolePairs() const { return settings.polePairs; }
    void setMechAngleOffset(double offset) { settings.mechAngleOffset = config.mechAngleOffset = offset; }
    double getMechAngleOffset() const { return settings.mechAngleOffset; }

    // Counts and lengths derived from the settings.
    uint8_t getPhasesCount() const { return settings.getPhasesCount(); }
    uint8_t getVoltagesCount() const { return settings.getVoltagesCount(); }
    uint8_t getCurrentsCount() const { return settings.getCurrentsCount(); }
    uint8_t getLineToLineCount() const { return settings.getLineToLineCount(); }
    uint64_t getFftLength(uint64_t windowLength, double frequency) const;

    // ---- sample ring (module/SampleRing.cpp)
    void copyAddedSamplesToDevice(uint32_t count);
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
    void setVoltageEventsEnabled(bool enabled) { settings.voltageEventsEnabled = config.voltageEventsEnabled = enabled; }
    bool getVoltageEventsEnabled() const { return settings.voltageEventsEnabled; }
    void setVoltageEventDeclaredVoltage(double volts);
    double getVoltageEventDeclaredVoltage() const { return settings.voltageEvents.declaredVoltage; }
    void setVoltageDipThreshold(double percent);
    double getVoltageDipThreshold() const { return settings.voltageEvents.dipThreshold; }
    void setVoltageSwellThreshold(double percent);
    double getVoltageSwellThreshold() const { return settings.voltageEvents.swellThreshold; }
    void setVoltageInterruptionThreshold(double percent);
    double getVoltageInterruptionThreshold() const { return settings.voltageEvents.interruptionThreshold; }
    void setVoltageEventHysteresis(double percent);
    double getVoltageEventHysteresis() const { return settings.voltageEvents.hysteresis; }
    void setVoltageEventSlidingReferenceEnabled(bool enabled) {
        settings.voltageEvents.slidingReference = config.voltageEvents.slidingReference = enabled;
    }
    bool getVoltageEventSlidingReferenceEnabled() const { return settings.voltageEvents.slidingReference; }
    std::vector<PowerVoltageEvent> takeVoltageEvents(std::size_t maxCount);
    std::size_t getVoltageEventsWaiting() const;
    std::vector<PowerVoltageEvent> getVoltageEventsInProgress() const;
    const powergpu::VoltageEventDetector& getVoltageEventDetector() const { return voltageEventDetector; }
    // ---- flicker (flicker/ModuleFlickerHooks.cpp)
    void setFlickerEnabled(bool enabled);
    bool getFlickerEnabled() const { return settings.flicker.enabled; }
    void setFlickerLamp(int32_t lamp);
    int32_t getFlickerLamp() const { return settings.flicker.lamp; }
    void setFlickerSystemFrequency(double frequency);
    double getFlickerSystemFrequency() const { return settings.flicker.systemFrequency; }
    void setFlickerIntervalStart(uint64_t firstSampleIndex);
    uint64_t getFlickerIntervalStart() const { return settings.flicker.intervalStart; }
    uint8_t getFlickerChannelsCount() const { return static_cast<uint8_t>(flicker.channels()); }
    std::size_t getFlickerPinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* records);
    std::size_t getFlickerPst(uint8_t channel, std::size_t capacity, PowerFlickerPst* records);

    // ---- the 10-s frequency (period/TenSecondFrequencyModule.cpp); plain
    // stores that take effect at the next reset.
    void setTenSecondFrequencyEnabled(bool enabled) {
        settings.tenSecondFrequencyEnabled = config.tenSecondFrequencyEnabled = enabled;
    }
    bool getTenSecondFrequencyEnabled() const { return settings.tenSecondFrequencyEnabled; }
    void setClockTimeAtSampleIndexZero(double seconds);
    double getClockTimeAtSampleIndexZero() const { return settings.clockTimeAtSampleIndexZero; }
    std::vector<PowerTenSecondFrequency> takeTenSecondFrequencies(std::size_t maxCount);
    std::size_t getTenSecondFrequenciesWaiting() const;

    // ---- the grouped harmonic analysis (iec/IecHarmonicsModule.cpp); rebuilding setters.
    void setIecHarmonicsEnabled(bool enabled);
    bool getIecHarmonicsEnabled() const { return settings.iecHarmonics.enabled; }
    void setIecHarmonicsHighestOrder(int32_t order);
    int32_t getIecHarmonicsHighestOrder() const { return settings.iecHarmonics.highestOrder; }
    std::vector<PowerIecHarmonics> takeIecHarmonics(std::size_t maxCount);
    std::size_t getIecHarmonicsWaiting() const;

    // Read access for tests and tools.
    const powergpu::PowerBuffers& getBuffers() const { return buffers; }
    const powergpu::FftPlanSet& getFftPlans() const { return fftPlans; }
    powergpu::StreamHandle getStream(std::size_t index) const { return streams[index]; }
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

    // flicker/ModuleFlickerHooks.cpp: applies the flicker settings after a
    // rebuild; hands newly written samples to the meters.
    void configureFlicker();
    void feedFlicker(uint64_t firstSampleIndex, uint32_t count);

    // pipeline/PowerModuleImpl.cpp
    void initFftPlans(uint64_t minFftLength, uint64_t maxFftLength);
    QueueItemPointer getNextQueueItem(const powergpu::PowerResultsQueueItem& previous);
    void validateWindow(uint64_t firstSampleIndex, uint32_t length, double frequency) const;
    // Throws PowerInvalidCall naming `operation` while a failed rebuild
    // left the buffers unusable.
    void requireBuilt(const char* operation) const;
    // After a rebuild that replaced buffers: drops the windows and period
    // values that refer to them and starts the chains again at the next
    // sample to write (when the module had been reset).
    void restartAfterRebuild(bool ringsReplaced);
    void dropPendingWork();
    void createPendingWindow(uint64_t firstSampleIndex);

    // pipeline/ResultAssembly.cpp
    PowerResultsGeneral buildGeneralResults(const powergpu::PowerResultsQueueItem& item) const;

    // post/ThdCalculation.cpp
    void calculateThd(PowerResultsThd& out, double h1, double rms, uint16_t item, uint64_t slot) const;

    // period/PeriodScheduling.cpp, period/PeriodValues.cpp
    void resetPeriodScheduling(uint64_t firstSampleIndex);
    void restartChainIfBehind(uint64_t firstSample, uint64_t ringLength);
    // period/VoltageEvents.cpp
    void resetVoltageEvents();
    void feedVoltageEvents(const PowerResultsPeriod* phaseRecords, int phases, double time);
    void requireVoltageEvents(const char* operation) const;
    // period/TenSecondFrequencyModule.cpp
    void resetTenSecondFrequency();
    void feedTenSecondFrequency(int count, const uint64_t* starts, const int* lengths, const bool* valid);
    void requireTenSecondFrequency(const char* operation) const;

    // iec/IecHarmonicsModule.cpp: sizes the analysis after a rebuild;
    // enqueues a window's analysis on its stream.
    void configureIecHarmonics();
    void enqueueIecHarmonics(const powergpu::PowerResultsQueueItem& item, uint64_t ringPosition);
    void requireIecHarmonics(const char* operation) const;

    void calculatePeriodValues(uint64_t firstSampleIndex, uint64_t lastSampleIndex, double firstFraction,
                               double lastFraction, double totalLength, bool valid, PowerResultsPeriod* records);

    std::shared_ptr<powergpu::Runtime> runtime_;

    // Stored settings: setters write them, getters read them.
    PowerConfig settings;
    uint64_t requestedBufferLength = 0;
    double requestedBufferDuration = 1.0;
    // Settings applied by the last rebuild; the buffers are sized from them
    // and everything that touches the buffers reads them.
    PowerConfig config;
    powergpu::PowerBuffers buffers;
    std::string buildFailure;
    // Whether reset has ever been called: a rebuild then re-creates the
    // pending window so that writing and scheduling go on.
    bool resetDone = false;
    // The oldest sample the rings still hold: samples written before a
    // rebuild that replaced the rings are gone.
    std::atomic<uint64_t> firstAvailableSample{0};
    RvcMultiPhaseCalculation rvcPhaseCalculation;
    RvcMultiPhaseCalculation rvcLineToLineCalculation;
    // Dips, swells and interruptions; active from a reset with the detector
    // and period values enabled.
    powergpu::VoltageEventDetector voltageEventDetector;
    bool voltageEventsActive = false;
    powergpu::flicker::ModuleFlicker flicker;
    // The 10-s frequency; active from a reset with it and period values enabled.
    powergpu::TenSecondFrequencyMeter tenSecondFrequencyMeter;
    bool tenSecondFrequencyActive = false;

    // The grouped harmonic analysis; active while the applied settings enable it.
    powergpu::iec::IecHarmonicAnalysis iecHarmonics{*runtime_};

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

    powergpu::StreamSet streams;
    powergpu::FftPlanSet fftPlans;

    QueueItemPointer currentQueueItem;
    PeriodItemPointer currentPeriodItem;
    std::queue<QueueItemPointer, std::deque<QueueItemPointer>> resultsQueue;
    std::deque<PeriodItemPointer> periodQueue;
};
