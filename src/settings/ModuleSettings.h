// The settings of a module and everything sized from them: the settings as
// stored (what setters write and getters report) and as applied by the last
// rebuild, the buffers and the FFT plans built from the applied ones, and
// why the module is not built when a rebuild failed.
//
// Setters only store. Rebuilding settings reach the buffers when the module
// rebuilds (PowerModuleImpl::change, or the outermost endUpdate); plain
// stores (period span and overlap, pole pairs, angle offset, mechanical
// angle, the voltage-event and 10-s frequency settings) are stored and
// applied at once, because nothing is sized from them.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>

#include "buffers/PowerBuffers.h"
#include "module/PowerConfig.h"
#include "pipeline/FftPlanSet.h"
#include "runtime/Runtime.h"

namespace powergpu {

class ModuleSettings {
public:
    explicit ModuleSettings(Runtime& runtime);
    ModuleSettings(const ModuleSettings&) = delete;
    ModuleSettings& operator=(const ModuleSettings&) = delete;

    // The settings as stored and as applied by the last rebuild (what the
    // rings, scheduling, kernels and period values use). They differ inside
    // an open update bracket and after a failed rebuild.
    const PowerConfig& getConfig() const { return settings; }
    const PowerConfig& getAppliedConfig() const { return config; }
    const PowerBuffers& getBuffers() const { return buffers; }
    PowerBuffers& getBuffers() { return buffers; }
    const FftPlanSet& getFftPlans() const { return fftPlans; }

    // ---- update bracket and rebuild
    void beginUpdate() { ++updateCounter; }
    // Closes one bracket; true when it was the outermost, so the module rebuilds.
    bool endUpdate() { return --updateCounter == 0; }
    // Whether a setting may rebuild now: no bracket is open.
    bool isRebuildDue() const { return updateCounter.load() == 0; }
    int32_t getUpdateCounter() const { return updateCounter.load(); }
    // How many times a rebuild has completed; lets callers see rebuilds.
    uint64_t getInitializeCount() const { return initializeCount.load(); }

    // What a completed apply changed of the buffers that queued work and
    // written samples refer to.
    struct Change {
        bool anyBuffer = false;  // some buffer's memory, length or layout, or a derived length
        bool rings = false;      // the sample rings themselves
    };
    // Applies the stored settings: sizes every buffer and rebuilds the FFT
    // plans. Until markBuilt the module counts as not built; on failure it
    // stays so, with the reason, and the exception goes on.
    Change apply();
    void markBuilt() { buildFailure.clear(); }
    // Runs one step of a rebuild; when it throws, the module is not built
    // and the reason names `what` (a host allocation that fails reads as
    // running out of host memory rather than the standard library's text).
    template <typename Step>
    void buildPart(const std::string& what, Step step) {
        try {
            step();
        } catch (const std::bad_alloc&) {
            buildFailure = "out of host memory while building " + what;
            throw std::runtime_error(buildFailure);
        } catch (const std::exception& error) {
            buildFailure = error.what();
            throw;
        }
    }
    void countRebuild() { ++initializeCount; }
    // Empty while the buffers match the applied settings; after a failed
    // rebuild, why the module is not built.
    const std::string& getBuildFailure() const { return buildFailure; }
    // Throws PowerInvalidCall naming `operation` while a failed rebuild
    // left the buffers unusable.
    void requireBuilt(const char* operation) const;
    // Destroys the FFT plans, ignoring failures (for the module's destructor).
    void releasePlans() noexcept;

    // ---- rebuilding settings (stored; applied by the next rebuild)
    void setBufferLengthAndDuration(uint64_t length, double duration);
    uint64_t getBufferLength() const { return requestedBufferLength; }
    double getBufferDuration() const { return requestedBufferDuration; }
    void setSampleRate(double rate, int positionsPerSample);
    double getSampleRate() const { return settings.sampleRate; }
    void setStaticFrequency(double frequency, double tolerance);
    void setVariableFrequency(double lowest, double highest);
    void setGridConfigType(PowerGridConfigType type) { settings.gridConfigType = type; }
    PowerGridConfigType getGridConfigType() const { return settings.gridConfigType; }
    PowerGridConfig getGridConfig() const { return settings.getGridConfig(); }
    void setPeriodCount(uint16_t count) { settings.periodCount = count; }
    uint16_t getPeriodCount() const { return settings.periodCount; }

    void setPeriodValuesEnabled(bool enabled) { settings.periodValuesEnabled = enabled; }
    bool getPeriodValuesEnabled() const { return settings.periodValuesEnabled; }
    void setFundamentalPeriodValuesEnabled(bool enabled) { settings.fundamentalPeriodValuesEnabled = enabled; }
    bool getFundamentalPeriodValuesEnabled() const { return settings.fundamentalPeriodValuesEnabled; }
    void setPeriodSymmetricalComponentsEnabled(bool enabled) { settings.periodSymmetricalComponentsEnabled = enabled; }
    bool getPeriodSymmetricalComponentsEnabled() const { return settings.arePeriodSymmetricalComponentsEnabled(); }

    void setCurrentEnabled(bool enabled) { settings.currentEnabled = enabled; }
    bool getCurrentEnabled() const { return settings.currentEnabled; }
    void setLineToLineResultsEnabled(bool enabled) { settings.lineToLineResultsEnabled = enabled; }
    bool getLineToLineResultsEnabled() const { return settings.lineToLineResultsEnabled; }
    void setWaveformsEnabled(bool enabled) { settings.waveformsEnabled = enabled; }
    bool getWaveformsEnabled() const { return settings.waveformsEnabled; }
    void setInterHarmonicsEnabled(bool enabled) { settings.interHarmonicsEnabled = enabled; }
    bool getInterHarmonicsEnabled() const { return settings.interHarmonicsEnabled; }
    void setFullFftEnabled(bool enabled) { settings.fullFftEnabled = enabled; }
    bool getFullFftEnabled() const { return settings.getFullFftEnabled(); }
    void setThdEnabled(bool enabled) { settings.thdEnabled = enabled; }
    bool getThdEnabled() const { return settings.thdEnabled; }
    void setHighestRequestedHarmonic(int order) { settings.highestRequestedHarmonic = order; }
    int getHighestRequestedHarmonic() const { return settings.highestRequestedHarmonic; }
    void setThdHighestHarmonic(int order) { settings.thdHighestHarmonic = order; }
    int getThdHighestHarmonic() const { return settings.thdHighestHarmonic; }
    void setSymmetricalComponentsEnabled(bool enabled) { settings.symmetricalComponentsEnabled = enabled; }
    bool getSymmetricalComponentsEnabled() const { return settings.areSymmetricalComponentsEnabled(); }

    void setRvcEnabled(bool enabled) { settings.rvcEnabled = enabled; }
    bool getRvcEnabled() const { return settings.rvcEnabled; }
    void setRvcSteadyStateLength(int length) { settings.rvcSteadyStateLength = length; }
    int getRvcSteadyStateLength() const { return settings.rvcSteadyStateLength; }
    void setRvcThreshold(double percent) { settings.rvcThreshold = percent; }
    double getRvcThreshold() const { return settings.rvcThreshold; }
    void setRvcThresholdHysteresis(double percent) { settings.rvcThresholdHysteresis = percent; }
    double getRvcThresholdHysteresis() const { return settings.rvcThresholdHysteresis; }

    void setClarkeTransformEnabled(bool enabled) { settings.clarkeTransformEnabled = enabled; }
    bool getClarkeTransformEnabled() const { return settings.clarkeTransformEnabled; }
    void setParkTransformEnabled(bool enabled) { settings.parkTransformEnabled = enabled; }
    bool getParkTransformEnabled() const { return settings.parkTransformEnabled; }
    void setClarkeOrParkVoltagesEnabled(bool enabled) { settings.clarkeOrParkVoltagesEnabled = enabled; }
    bool getClarkeOrParkVoltagesEnabled() const { return settings.clarkeOrParkVoltagesEnabled; }
    void setClarkeOrParkCurrentsEnabled(bool enabled) { settings.clarkeOrParkCurrentsEnabled = enabled; }
    bool getClarkeOrParkCurrentsEnabled() const { return settings.clarkeOrParkCurrentsEnabled; }
    void setClarkeOrParkWaveformsEnabled(bool enabled) { settings.clarkeOrParkWaveformsEnabled = enabled; }
    bool getClarkeOrParkWaveformsEnabled() const { return settings.clarkeOrParkWaveformsEnabled; }

    // The grouped harmonic analysis: it is sized from them, so they rebuild.
    void setIecHarmonicsEnabled(bool enabled) { settings.iecHarmonics.enabled = enabled; }
    bool getIecHarmonicsEnabled() const { return settings.iecHarmonics.enabled; }
    void setIecHarmonicsHighestOrder(int32_t order);
    int32_t getIecHarmonicsHighestOrder() const { return settings.iecHarmonics.highestOrder; }
    void setIecHarmonicsCurrentsEnabled(bool enabled) { settings.iecHarmonics.currentsEnabled = enabled; }
    bool getIecHarmonicsCurrentsEnabled() const { return settings.iecHarmonics.currentsEnabled; }

    // Flicker settings (settings/CheckedSettings.cpp): the meters are built
    // from them, so they rebuild like the others.
    void setFlickerEnabled(bool enabled) { settings.flicker.enabled = enabled; }
    bool getFlickerEnabled() const { return settings.flicker.enabled; }
    void setFlickerLamp(int32_t lamp);
    int32_t getFlickerLamp() const { return settings.flicker.lamp; }
    void setFlickerSystemFrequency(double frequency);
    double getFlickerSystemFrequency() const { return settings.flicker.systemFrequency; }
    void setFlickerIntervalStart(uint64_t firstSampleIndex) { settings.flicker.intervalStart = firstSampleIndex; }
    uint64_t getFlickerIntervalStart() const { return settings.flicker.intervalStart; }

    // ---- plain stores (stored and applied at once)
    void setHalfPeriodValuesCount(uint16_t count) {
        settings.halfPeriodValuesCount = config.halfPeriodValuesCount = count;
    }
    uint16_t getHalfPeriodValuesCount() const { return settings.halfPeriodValuesCount; }
    void setPeriodValuesOverlapInPercent(uint16_t percent) {
        settings.periodValuesOverlapInPercent = config.periodValuesOverlapInPercent = percent;
    }
    uint16_t getPeriodValuesOverlapInPercent() const { return settings.periodValuesOverlapInPercent; }
    void setMechanicalAngleUsed(bool used) { settings.mechanicalAngleUsed = config.mechanicalAngleUsed = used; }
    bool getMechanicalAngleUsed() const { return settings.mechanicalAngleUsed; }
    void setPolePairs(int polePairs) { settings.polePairs = config.polePairs = polePairs; }
    int getPolePairs() const { return settings.polePairs; }
    void setMechAngleOffset(double offset) { settings.mechAngleOffset = config.mechAngleOffset = offset; }
    double getMechAngleOffset() const { return settings.mechAngleOffset; }

    // Dips, swells and interruptions (settings/VoltageEventSettings.cpp):
    // plain stores that take effect at the next reset.
    void setVoltageEventsEnabled(bool enabled) {
        settings.voltageEventsEnabled = config.voltageEventsEnabled = enabled;
    }
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

    // The 10-s frequency: plain stores that take effect at the next reset.
    void setTenSecondFrequencyEnabled(bool enabled) {
        settings.tenSecondFrequencyEnabled = config.tenSecondFrequencyEnabled = enabled;
    }
    bool getTenSecondFrequencyEnabled() const { return settings.tenSecondFrequencyEnabled; }
    void setClockTimeAtSampleIndexZero(double seconds);
    double getClockTimeAtSampleIndexZero() const { return settings.clockTimeAtSampleIndexZero; }

    // ---- counts and lengths derived from the settings
    uint8_t getPhasesCount() const { return settings.getPhasesCount(); }
    uint8_t getVoltagesCount() const { return settings.getVoltagesCount(); }
    uint8_t getCurrentsCount() const { return settings.getCurrentsCount(); }
    uint8_t getLineToLineCount() const { return settings.getLineToLineCount(); }
    // The FFT length of a window at `frequency` under the applied settings.
    uint64_t getFftLength(uint64_t windowLength, double frequency) const;

    // ---- the host rings of the channels (settings/WaveformRings.cpp)
    float* getWaveformBufferUInput(uint8_t channel) const;
    float* getWaveformBufferUStar(uint8_t channel) const;
    float* getWaveformBufferUDelta(uint8_t channel) const;
    float* getWaveformBufferI(uint8_t channel) const;
    float* getWaveformBufferClarkeU(uint8_t channel) const;
    float* getWaveformBufferClarkeI(uint8_t channel) const;
    float* getWaveformBufferParkU(uint8_t channel) const;
    float* getWaveformBufferParkI(uint8_t channel) const;
    float* getWaveformBufferMechAngles() const;

private:
    // The host ring of one Clarke or Park component of a channel.
    float* clarkeParkRing(const char* operation, const char* kind, uint8_t channel, int firstItem) const;

    // Stored settings: setters write them, getters read them.
    PowerConfig settings;
    uint64_t requestedBufferLength = 0;
    double requestedBufferDuration = 1.0;
    // Settings applied by the last rebuild; the buffers are sized from them
    // and everything that touches the buffers reads them.
    PowerConfig config;
    PowerBuffers buffers;
    FftPlanSet fftPlans;
    std::string buildFailure;
    std::atomic<int32_t> updateCounter{0};
    std::atomic<uint64_t> initializeCount{0};
};

}  // namespace powergpu
