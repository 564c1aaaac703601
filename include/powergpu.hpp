// powergpu: the C++ face of one analysis module and of the cycle detector.
//
// PowerModule and PowerCycleDetector offer the same operations as the flat
// interface of powergpu.h, as methods that throw instead of returning
// status codes:
//   GpuException              a CUDA runtime or FFT call failed
//   PowerErrorTooManyResults  (thrown by the flat getResults only)
//   PowerInvalidCall          a call rejected for its arguments or state;
//                             nothing was changed
// Any other standard exception (allocation, mutex) may also escape.
#ifndef POWERGPU_HPP
#define POWERGPU_HPP

#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "powergpu.h"

/** A failed CUDA runtime or FFT call; the message names file, line, code and text. */
class POWERGPU_API GpuException : public std::exception {
public:
    GpuException() = default;
    explicit GpuException(const char* message) : message_(message) {}
    explicit GpuException(const std::string& message) : message_(message) {}
    GpuException(const GpuException&) = default;
    GpuException& operator=(const GpuException&) = default;
    ~GpuException() override;
    const char* what() const noexcept override;

private:
    std::string message_;
};

/** The records of a getResults call do not fit the caller's array. */
class POWERGPU_API PowerErrorTooManyResults : public virtual std::runtime_error {
public:
    explicit PowerErrorTooManyResults(const char* message) : std::runtime_error(message) {}
    PowerErrorTooManyResults(const PowerErrorTooManyResults&) = default;
    ~PowerErrorTooManyResults() override;
};

/** A call rejected because of its arguments or the module's state; nothing changed. */
class POWERGPU_API PowerInvalidCall : public std::invalid_argument {
public:
    explicit PowerInvalidCall(const std::string& message) : std::invalid_argument(message) {}
    ~PowerInvalidCall() override;
};

/**
 * One analysis module. Not copyable; movable (a moved-from module holds
 * nothing and may only be destroyed or assigned to).
 */
class POWERGPU_API PowerModule {
public:
    class PowerModuleImpl;

    /** A module on the automatic backend (CUDA when usable, else CPU). */
    PowerModule();
    /** A module on a chosen backend (POWER_BACKEND_*); throws PowerInvalidCall if unavailable. */
    explicit PowerModule(int32_t backend);
    PowerModule(PowerModule&& other) noexcept;
    PowerModule& operator=(PowerModule&& other) noexcept;
    PowerModule(const PowerModule&) = delete;
    PowerModule& operator=(const PowerModule&) = delete;
    ~PowerModule();

    /** The implementation (null after a move); for the library's own layers and tests. */
    PowerModuleImpl* implementation() const noexcept { return impl_; }
    /** POWER_BACKEND_CPU or POWER_BACKEND_CUDA. */
    int32_t getBackend() const;
    // The fundamental frequency range the stored settings size the module for (Hz).
    void getFrequencyRange(double& lowest, double& highest) const;

    // update bracket and processing
    void beginUpdate();
    void endUpdate();
    void writeSamples(unsigned int count);
    void skipSamples(unsigned int count);
    void scheduleForCalculation(uint64_t firstSampleIndex, int length, double frequency) const;
    void scheduleForPeriodCalculation(int count, uint64_t* starts, int* lengths, double* frequencies,
                                      bool* valid);
    bool isAnyResultReady() const;
    std::vector<PowerResultsGeneral> getResults(int maxCount);
    void getPeriodResults(int* count, bool* more, PowerResultsPeriod** records);
    void sync();
    void reset(uint64_t firstSampleIndex) const;

    // waveform rings
    float* getWaveformBufferUInput(uint8_t channel) const;
    float* getWaveformBufferUStar(uint8_t channel) const;
    float* getWaveformBufferUDelta(uint8_t channel) const;
    float* getWaveformBufferI(uint8_t channel) const;
    float* getWaveformBufferClarkeU(uint8_t channel) const;
    float* getWaveformBufferClarkeI(uint8_t channel) const;
    float* getWaveformBufferParkU(uint8_t channel) const;
    float* getWaveformBufferParkI(uint8_t channel) const;
    float* getWaveformBufferMechAngles() const;

    // buffer and sample rate
    void setBufferLength(uint64_t length);
    uint64_t getBufferLength() const;
    void setSampleRate(double sampleRate, int positionsPerSample);
    double getSampleRate() const;

    // frequency, grid and window settings
    void setStaticFrequency(double frequency, double tolerance);
    void setVariableFrequency(double lowest, double highest);
    void setGridConfigType(PowerGridConfigType type);
    void setPeriodCount(uint16_t count);
    uint16_t getPeriodCount() const;

    // derived counts
    uint8_t getPhasesCount() const;
    uint8_t getVoltagesCount() const;
    uint8_t getCurrentsCount() const;

    // period values
    void setPeriodValuesEnabled(bool enabled);
    bool getPeriodValuesEnabled() const;
    void setFundamentalPeriodValuesEnabled(bool enabled);
    bool getFundamentalPeriodValuesEnabled() const;
    void setPeriodSymmetricalComponentsEnabled(bool enabled);
    bool getPeriodSymmetricalComponentsEnabled() const;
    void setHalfPeriodValuesCount(uint16_t count);
    uint16_t getHalfPeriodValuesCount() const;
    void setPeriodValuesOverlapInPercent(uint16_t percent);
    uint16_t getPeriodValuesOverlapInPercent() const;

    // general results
    void setCurrentEnabled(bool enabled);
    bool getCurrentEnabled() const;
    void setLineToLineResultsEnabled(bool enabled);
    bool getLineToLineResultsEnabled() const;
    void setWaveformsEnabled(bool enabled);
    bool getWaveformsEnabled() const;
    void setInterHarmonicsEnabled(bool enabled);
    bool getInterHarmonicsEnabled() const;
    void setFullFftEnabled(bool enabled);
    bool getFullFftEnabled() const;
    void setThdEnabled(bool enabled);
    bool getThdEnabled() const;
    void setHighestRequestedHarmonic(int order);
    int getHighestRequestedHarmonic() const;
    void setThdHighestHarmonic(int order);
    int getThdHighestHarmonic() const;
    void setSymmetricalComponentsEnabled(bool enabled);
    bool getSymmetricalComponentsEnabled() const;

    // rapid voltage change
    void setRvcEnabled(bool enabled);
    bool getRvcEnabled() const;
    void setRvcSteadyStateLength(int length);
    int getRvcSteadyStateLength() const;
    void setRvcThreshold(double percent);
    double getRvcThreshold() const;
    void setRvcThresholdHysteresis(double percent);
    double getRvcThresholdHysteresis() const;

    // Clarke and Park
    void setClarkeTransformEnabled(bool enabled);
    bool getClarkeTransformEnabled() const;
    void setParkTransformEnabled(bool enabled);
    bool getParkTransformEnabled() const;
    void setClarkeOrParkVoltagesEnabled(bool enabled);
    bool getClarkeOrParkVoltagesEnabled() const;
    void setClarkeOrParkCurrentsEnabled(bool enabled);
    bool getClarkeOrParkCurrentsEnabled() const;
    void setClarkeOrParkWaveformsEnabled(bool enabled);
    bool getClarkeOrParkWaveformsEnabled() const;
    void setMechanicalAngleUsed(bool used);
    bool getMechanicalAngleUsed() const;
    void setPolePairs(int polePairs);
    int getPolePairs() const;
    void setMechAngleOffset(double offsetDegrees);
    double getMechAngleOffset() const;

    // dips, swells and interruptions (extension; plain stores that take
    // effect at the next reset; see powergpu.h)
    void setVoltageEventsEnabled(bool enabled);
    bool getVoltageEventsEnabled() const;
    void setVoltageEventDeclaredVoltage(double volts);
    double getVoltageEventDeclaredVoltage() const;
    void setVoltageDipThreshold(double percent);
    double getVoltageDipThreshold() const;
    void setVoltageSwellThreshold(double percent);
    double getVoltageSwellThreshold() const;
    void setVoltageInterruptionThreshold(double percent);
    double getVoltageInterruptionThreshold() const;
    void setVoltageEventHysteresis(double percent);
    double getVoltageEventHysteresis() const;
    void setVoltageEventSlidingReferenceEnabled(bool enabled);
    bool getVoltageEventSlidingReferenceEnabled() const;
    /** Takes up to maxCount ended events, oldest first. */
    std::vector<PowerVoltageEvent> getVoltageEvents(std::size_t maxCount);
    /** The number of ended events waiting. */
    std::size_t getVoltageEventsWaiting() const;
    /** Copies of the events in progress (not removed). */
    std::vector<PowerVoltageEvent> getVoltageEventsInProgress() const;
    // flicker (extension; see the flicker section of powergpu.h)
    void setFlickerEnabled(bool enabled);
    bool getFlickerEnabled() const;
    void setFlickerLamp(int32_t lamp);
    int32_t getFlickerLamp() const;
    void setFlickerSystemFrequency(double frequency);
    double getFlickerSystemFrequency() const;
    void setFlickerIntervalStart(uint64_t firstSampleIndex);
    uint64_t getFlickerIntervalStart() const;
    uint8_t getFlickerChannelsCount() const;
    /** Moves up to capacity of the oldest records of a channel into records; returns how many. */
    std::size_t getFlickerPinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* records);
    std::size_t getFlickerPst(uint8_t channel, std::size_t capacity, PowerFlickerPst* records);

    // the 10-s frequency (extension; plain stores that take effect at the
    // next reset; see powergpu.h)
    void setTenSecondFrequencyEnabled(bool enabled);
    bool getTenSecondFrequencyEnabled() const;
    void setClockTimeAtSampleIndexZero(double seconds);
    double getClockTimeAtSampleIndexZero() const;
    /** Takes up to maxCount completed 10-s intervals, oldest first. */
    std::vector<PowerTenSecondFrequency> getTenSecondFrequencies(std::size_t maxCount);
    /** The number of completed intervals waiting. */
    std::size_t getTenSecondFrequenciesWaiting() const;

    // grouped harmonic analysis (extension; rebuilding setters; see powergpu.h)
    void setIecHarmonicsEnabled(bool enabled);
    bool getIecHarmonicsEnabled() const;
    void setIecHarmonicsHighestOrder(int32_t order);
    int32_t getIecHarmonicsHighestOrder() const;
    void setIecHarmonicsCurrentsEnabled(bool enabled);
    bool getIecHarmonicsCurrentsEnabled() const;
    /** Takes up to maxCount records of delivered windows, oldest first. */
    std::vector<PowerIecHarmonics> getIecHarmonics(std::size_t maxCount);
    /** The number of records waiting. */
    std::size_t getIecHarmonicsWaiting() const;

private:
    PowerModuleImpl* impl_ = nullptr;
};

/**
 * The detector of the cycles of the fundamental in a reference voltage (the
 * method, the units and the settings are described with the flat
 * powerCycleDetector_* functions in powergpu.h). It needs no module and
 * runs on the host. Not copyable; movable (a moved-from detector holds
 * nothing and may only be destroyed or assigned to; its other calls throw
 * PowerInvalidCall).
 */
class POWERGPU_API PowerCycleDetector {
public:
    class PowerCycleDetectorImpl;

    /** The default settings (sampleRate 0: the caller sets it). */
    static PowerCycleDetectorSettings defaultSettings();
    /** Throws PowerInvalidCall, naming the field, for settings out of range. */
    explicit PowerCycleDetector(const PowerCycleDetectorSettings& settings);
    PowerCycleDetector(PowerCycleDetector&& other) noexcept;
    PowerCycleDetector& operator=(PowerCycleDetector&& other) noexcept;
    PowerCycleDetector(const PowerCycleDetector&) = delete;
    PowerCycleDetector& operator=(const PowerCycleDetector&) = delete;
    ~PowerCycleDetector();

    /** The implementation (null after a move); for the flat functions and tests. */
    PowerCycleDetectorImpl* implementation() const noexcept { return impl_; }

    /** Feeds the next count samples (non-finite ones and those beyond 1e20 count as 0); throws after the flush. */
    void process(const double* samples, std::size_t count);
    void process(const std::vector<double>& samples) { process(samples.data(), samples.size()); }
    /** Ends the signal: the entries up to its last sample become ready. A second flush does nothing. */
    void flush();
    /** The completed entries waiting to be taken. */
    std::size_t getEntriesWaiting() const;
    /** Takes up to maxCount completed entries, oldest first. */
    std::vector<PowerCycleEntry> takeEntries(std::size_t maxCount = std::numeric_limits<std::size_t>::max());
    /** The anchor's position (see powerCycleDetector_getAnchor); empty while it is not known. */
    std::optional<uint64_t> getAnchor() const;
    /** The reference level that validity and hysteresis use now (0: not learnt yet). */
    double getReferenceLevel() const;
    uint64_t getSamplesConsumed() const;
    /** The filter's delay, (taps - 1) / 2 samples. */
    int32_t getFilterDelay() const;
    /** The most samples by which the filtered signal trails the input. */
    int32_t getFilterLatency() const;
    /** The band-pass filter's taps in double, as designed. */
    std::vector<double> getFilterTaps() const;

private:
    PowerCycleDetectorImpl* impl_ = nullptr;
};

#endif  // POWERGPU_HPP
