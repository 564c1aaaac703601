// The flat interface: free functions with C linkage that forward to one
// PowerModule method each, inside the exception translation.
#include <algorithm>
#include <cstring>
#include <string>

#include "api/ErrorTranslation.h"
#include "powergpu.h"
#include "powergpu.hpp"

using powergpu::api::onModule;
using powergpu::api::required;
using powergpu::api::translate;

extern "C" {

// ---------------------------------------------------------------- lifecycle

PowerModuleHandle powerModule_create(void) { return powerModule_createOnBackend(POWER_BACKEND_AUTOMATIC); }

PowerModuleHandle powerModule_createOnBackend(int32_t backend) {
    // A failure answers null and calls no reporter; its reason stays
    // readable through getLastErrorMessage(NULL, ...).
    PowerModuleHandle created = nullptr;
    translate<powergpu::api::Reporting::Silent>([&] { created = new PowerModule(backend); });
    return created;
}

PowerStatusCode powerModule_destroy(PowerModuleHandle handle) {
    return translate([&] { delete handle; });
}

PowerStatusCode registerErrorReporter(PowerErrorReporter reporter) {
    reportErrorCallbackFunction = reporter;
    return PowerStatusCode::Success;
}

// ------------------------------------------------------------- processing

PowerStatusCode beginUpdate(PowerModuleHandle handle) {
    return onModule(handle, [](PowerModule& m) { m.beginUpdate(); });
}

PowerStatusCode endUpdate(PowerModuleHandle handle) {
    return onModule(handle, [](PowerModule& m) { m.endUpdate(); });
}

PowerStatusCode writeSamples(PowerModuleHandle handle, uint32_t count) {
    return onModule(handle, [&](PowerModule& m) { m.writeSamples(count); });
}

PowerStatusCode skipSamples(PowerModuleHandle handle, uint32_t count) {
    return onModule(handle, [&](PowerModule& m) { m.skipSamples(count); });
}

PowerStatusCode scheduleForCalculation(PowerModuleHandle handle, uint64_t firstSampleIndex, int32_t length,
                                       double frequency) {
    return onModule(handle, [&](PowerModule& m) {
        if (length < 0) {
            throw PowerInvalidCall("scheduleForCalculation: the window length " + std::to_string(length) +
                                   " is negative.");
        }
        m.scheduleForCalculation(firstSampleIndex, length, frequency);
    });
}

PowerStatusCode scheduleForPeriodCalculation(PowerModuleHandle handle, int32_t count, uint64_t* starts,
                                             int32_t* lengths, double* frequencies, bool* valid) {
    return onModule(handle, [&](PowerModule& m) { m.scheduleForPeriodCalculation(count, starts, lengths, frequencies, valid); });
}

PowerStatusCode isAnyResultReady(PowerModuleHandle handle, bool* ready) {
    return onModule(handle, [&](PowerModule& m) {
        bool& out = required(ready, "ready");
        out = m.isAnyResultReady();
    });
}

PowerStatusCode getResults(PowerModuleHandle handle, int32_t maxCount, int32_t* count, PowerResultsGeneral* results) {
    return onModule(handle, [&](PowerModule& m) {
        int32_t& countOut = required(count, "count");
        if (maxCount < 0) {
            throw PowerErrorTooManyResults(
                "Too many results to fit in allocated space: maxCount is negative, so no record can be placed.");
        }
        if (maxCount > 0 && results == nullptr) {
            throw PowerInvalidCall("getResults: the results array is null");
        }
        const std::vector<PowerResultsGeneral> records = m.getResults(maxCount);
        if (records.size() > static_cast<uint64_t>(static_cast<int64_t>(maxCount))) {
            throw PowerErrorTooManyResults("Too many results to fit in allocated space.");
        }
        if (!records.empty()) {
            std::memcpy(results, records.data(), records.size() * sizeof(PowerResultsGeneral));
        }
        countOut = static_cast<int32_t>(records.size());
    });
}

PowerStatusCode getPeriodResults(PowerModuleHandle handle, int32_t* count, bool* more, PowerResultsPeriod** records) {
    return onModule(handle, [&](PowerModule& m) {
        int32_t& countOut = required(count, "count");
        bool& moreOut = required(more, "more");
        PowerResultsPeriod*& recordsOut = required(records, "records");
        int n = 0;
        bool further = false;
        PowerResultsPeriod* first = recordsOut;
        m.getPeriodResults(&n, &further, &first);
        countOut = n;
        moreOut = further;
        recordsOut = first;
    });
}

PowerStatusCode syncCuda(PowerModuleHandle handle) {
    return onModule(handle, [](PowerModule& m) { m.sync(); });
}

PowerStatusCode reset(PowerModuleHandle handle, uint64_t firstSampleIndex) {
    return onModule(handle, [&](PowerModule& m) { m.reset(firstSampleIndex); });
}

// ---------------------------------------------------------- waveform rings

#define POWERGPU_WAVEFORM_BUFFER(Name)                                                   \
    PowerStatusCode getWaveformBuffer##Name(PowerModuleHandle handle, uint8_t channel, float** out) { \
        return onModule(handle, [&](PowerModule& m) {                                    \
            float*& pointer = required(out, "out");                                      \
            pointer = m.getWaveformBuffer##Name(channel);                                \
        });                                                                              \
    }

POWERGPU_WAVEFORM_BUFFER(UInput)
POWERGPU_WAVEFORM_BUFFER(UStar)
POWERGPU_WAVEFORM_BUFFER(UDelta)
POWERGPU_WAVEFORM_BUFFER(I)
POWERGPU_WAVEFORM_BUFFER(ClarkeU)
POWERGPU_WAVEFORM_BUFFER(ClarkeI)
POWERGPU_WAVEFORM_BUFFER(ParkU)
POWERGPU_WAVEFORM_BUFFER(ParkI)

#undef POWERGPU_WAVEFORM_BUFFER

PowerStatusCode getWaveformBufferMechAngles(PowerModuleHandle handle, float** out) {
    return onModule(handle, [&](PowerModule& m) {
        float*& pointer = required(out, "out");
        pointer = m.getWaveformBufferMechAngles();
    });
}

// ----------------------------------------------------------------- getters

// The value is read first and written only when the method returned. `type`
// names a type, which cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define POWERGPU_GETTER(flatName, type, method)                          \
    PowerStatusCode flatName(PowerModuleHandle handle, type* out) {      \
        return onModule(handle, [&](PowerModule& m) {                    \
            type& target = required(out, "out");                         \
            const type value = static_cast<type>(m.method());            \
            target = value;                                              \
        });                                                              \
    }

POWERGPU_GETTER(getClarkeOrParkCurrentsEnabled, bool, getClarkeOrParkCurrentsEnabled)
POWERGPU_GETTER(getClarkeOrParkVoltagesEnabled, bool, getClarkeOrParkVoltagesEnabled)
POWERGPU_GETTER(getClarkeOrParkWaveformsEnabled, bool, getClarkeOrParkWaveformsEnabled)
POWERGPU_GETTER(getClarkeTransformEnabled, bool, getClarkeTransformEnabled)
POWERGPU_GETTER(getCurrentEnabled, bool, getCurrentEnabled)
POWERGPU_GETTER(getFullFftEnabled, bool, getFullFftEnabled)
POWERGPU_GETTER(getFundamentalPeriodValuesEnabled, bool, getFundamentalPeriodValuesEnabled)
POWERGPU_GETTER(getInterHarmonicsEnabled, bool, getInterHarmonicsEnabled)
POWERGPU_GETTER(getLineToLineResultsEnabled, bool, getLineToLineResultsEnabled)
POWERGPU_GETTER(getMechanicalAngleUsed, bool, getMechanicalAngleUsed)
POWERGPU_GETTER(getParkTransformEnabled, bool, getParkTransformEnabled)
POWERGPU_GETTER(getPeriodSymmetricalComponentsEnabled, bool, getPeriodSymmetricalComponentsEnabled)
POWERGPU_GETTER(getPeriodValuesEnabled, bool, getPeriodValuesEnabled)
POWERGPU_GETTER(getRvcEnabled, bool, getRvcEnabled)
POWERGPU_GETTER(getSymmetricalComponentsEnabled, bool, getSymmetricalComponentsEnabled)
POWERGPU_GETTER(getThdEnabled, bool, getThdEnabled)
POWERGPU_GETTER(getWaveformsEnabled, bool, getWaveformsEnabled)

POWERGPU_GETTER(getCurrentsCount, uint8_t, getCurrentsCount)
POWERGPU_GETTER(getVoltagesCount, uint8_t, getVoltagesCount)
POWERGPU_GETTER(getPhasesCount, uint8_t, getPhasesCount)
POWERGPU_GETTER(getHalfPeriodValuesCount, uint16_t, getHalfPeriodValuesCount)
POWERGPU_GETTER(getPeriodValuesOverlapInPercent, uint16_t, getPeriodValuesOverlapInPercent)
POWERGPU_GETTER(getHighestRequestedHarmonic, int32_t, getHighestRequestedHarmonic)
POWERGPU_GETTER(getThdHighestHarmonic, int32_t, getThdHighestHarmonic)
POWERGPU_GETTER(getPolePairs, int32_t, getPolePairs)
POWERGPU_GETTER(getMechAngleOffset, double, getMechAngleOffset)
POWERGPU_GETTER(getRvcSteadyStateLengthInNumberOfPeriodValues, int32_t, getRvcSteadyStateLength)
POWERGPU_GETTER(getRvcThresholdInPercentOfAverage, double, getRvcThreshold)
POWERGPU_GETTER(getRvcThresholdHysteresisInPercentOfThreshold, double, getRvcThresholdHysteresis)

#undef POWERGPU_GETTER
// NOLINTEND(bugprone-macro-parentheses)

// ----------------------------------------------------------------- setters

#define POWERGPU_SETTER(flatName, type, method)                                        \
    PowerStatusCode flatName(PowerModuleHandle handle, type value) {                   \
        return onModule(handle, [&](PowerModule& m) { m.method(value); });             \
    }

POWERGPU_SETTER(setGridConfigType, PowerGridConfigType, setGridConfigType)
POWERGPU_SETTER(setPeriodCount, uint16_t, setPeriodCount)
POWERGPU_SETTER(setHalfPeriodValuesCount, uint16_t, setHalfPeriodValuesCount)
POWERGPU_SETTER(setPeriodValuesOverlapInPercent, uint16_t, setPeriodValuesOverlapInPercent)
POWERGPU_SETTER(setHighestRequestedHarmonic, int32_t, setHighestRequestedHarmonic)
POWERGPU_SETTER(setThdHighestHarmonic, int32_t, setThdHighestHarmonic)
POWERGPU_SETTER(setPolePairs, int32_t, setPolePairs)
POWERGPU_SETTER(setMechAngleOffset, double, setMechAngleOffset)
POWERGPU_SETTER(setRvcSteadyStateLengthInNumberOfPeriodValues, int32_t, setRvcSteadyStateLength)
POWERGPU_SETTER(setRvcThresholdInPercentOfAverage, double, setRvcThreshold)
POWERGPU_SETTER(setRvcThresholdHysteresisInPercentOfThreshold, double, setRvcThresholdHysteresis)
POWERGPU_SETTER(setClarkeOrParkCurrentsEnabled, bool, setClarkeOrParkCurrentsEnabled)
POWERGPU_SETTER(setClarkeOrParkVoltagesEnabled, bool, setClarkeOrParkVoltagesEnabled)
POWERGPU_SETTER(setClarkeOrParkWaveformsEnabled, bool, setClarkeOrParkWaveformsEnabled)
POWERGPU_SETTER(setClarkeTransformEnabled, bool, setClarkeTransformEnabled)
POWERGPU_SETTER(setParkTransformEnabled, bool, setParkTransformEnabled)
POWERGPU_SETTER(setCurrentEnabled, bool, setCurrentEnabled)
POWERGPU_SETTER(setFullFftEnabled, bool, setFullFftEnabled)
POWERGPU_SETTER(setFundamentalPeriodValuesEnabled, bool, setFundamentalPeriodValuesEnabled)
POWERGPU_SETTER(setInterHarmonicsEnabled, bool, setInterHarmonicsEnabled)
POWERGPU_SETTER(setLineToLineResultsEnabled, bool, setLineToLineResultsEnabled)
POWERGPU_SETTER(setMechanicalAngleUsed, bool, setMechanicalAngleUsed)
POWERGPU_SETTER(setPeriodSymmetricalComponentsEnabled, bool, setPeriodSymmetricalComponentsEnabled)
POWERGPU_SETTER(setPeriodValuesEnabled, bool, setPeriodValuesEnabled)
POWERGPU_SETTER(setRvcEnabled, bool, setRvcEnabled)
POWERGPU_SETTER(setSymmetricalComponentsEnabled, bool, setSymmetricalComponentsEnabled)
POWERGPU_SETTER(setThdEnabled, bool, setThdEnabled)
POWERGPU_SETTER(setWaveformsEnabled, bool, setWaveformsEnabled)

#undef POWERGPU_SETTER

PowerStatusCode setBufferLength(PowerModuleHandle handle, int32_t length) {
    // Sign-extended: a negative length becomes an impossible size and fails the rebuild.
    return onModule(handle, [&](PowerModule& m) { m.setBufferLength(static_cast<uint64_t>(static_cast<int64_t>(length))); });
}

PowerStatusCode setSampleRate(PowerModuleHandle handle, double sampleRate, int32_t positionsPerSample) {
    return onModule(handle, [&](PowerModule& m) { m.setSampleRate(sampleRate, positionsPerSample); });
}

PowerStatusCode setStaticFrequency(PowerModuleHandle handle, double frequency, double tolerance) {
    return onModule(handle, [&](PowerModule& m) { m.setStaticFrequency(frequency, tolerance); });
}

PowerStatusCode setVariableFrequency(PowerModuleHandle handle, double lowest, double highest) {
    return onModule(handle, [&](PowerModule& m) { m.setVariableFrequency(lowest, highest); });
}

// --------------------------------------------------------------- extensions

PowerStatusCode getFrequencyRange(PowerModuleHandle handle, double* lowest, double* highest) {
    return onModule(handle, [&](PowerModule& m) {
        double low = 0.0;
        double high = 0.0;
        m.getFrequencyRange(low, high);
        if (lowest != nullptr) {
            *lowest = low;
        }
        if (highest != nullptr) {
            *highest = high;
        }
    });
}

PowerStatusCode getBackend(PowerModuleHandle handle, int32_t* backend) {
    return onModule(handle, [&](PowerModule& m) {
        int32_t& out = required(backend, "backend");
        out = m.getBackend();
    });
}

PowerStatusCode getLastErrorMessage(PowerModuleHandle handle, char* buffer, int32_t capacity, int32_t* length) {
    // Reading the message must not replace it, so this call reports its own
    // misuse only through the status. The message belongs to the thread, not
    // to a module: a null handle reads it too, which is how the reason of a
    // failed powerModule_create is learnt.
    (void)handle;
    if (capacity < 0 || (buffer == nullptr && capacity > 0)) {
        return PowerStatusCode::UnknownError;
    }
    const std::string& message = powergpu::api::lastErrorMessage();
    if (length != nullptr) {
        *length = static_cast<int32_t>(message.size());
    }
    if (capacity > 0) {
        const std::size_t copied = std::min<std::size_t>(message.size(), static_cast<std::size_t>(capacity) - 1);
        std::memcpy(buffer, message.data(), copied);
        buffer[copied] = '\0';
    }
    return PowerStatusCode::Success;
}

PowerStatusCode powerModule_getVersion(int32_t* major, int32_t* minor, int32_t* patch) {
    if (major == nullptr || minor == nullptr || patch == nullptr) {
        return PowerStatusCode::UnknownError;
    }
    *major = POWERGPU_VERSION_MAJOR;
    *minor = POWERGPU_VERSION_MINOR;
    *patch = POWERGPU_VERSION_PATCH;
    return PowerStatusCode::Success;
}

// ------------------------------------- extensions: dips, swells and interruptions

#define POWERGPU_VOLTAGE_EVENT_SETTING(flatStem, type, method)                  \
    PowerStatusCode set##flatStem(PowerModuleHandle handle, type value) {       \
        return onModule(handle, [&](PowerModule& m) { m.set##method(value); }); \
    }                                                                           \
    PowerStatusCode get##flatStem(PowerModuleHandle handle, type* out) {        \
        return onModule(handle, [&](PowerModule& m) {                           \
            type& target = required(out, "out");                                \
            target = m.get##method();                                           \
        });                                                                     \
    }

POWERGPU_VOLTAGE_EVENT_SETTING(VoltageEventsEnabled, bool, VoltageEventsEnabled)
POWERGPU_VOLTAGE_EVENT_SETTING(VoltageEventDeclaredVoltage, double, VoltageEventDeclaredVoltage)
POWERGPU_VOLTAGE_EVENT_SETTING(VoltageDipThresholdInPercent, double, VoltageDipThreshold)
POWERGPU_VOLTAGE_EVENT_SETTING(VoltageSwellThresholdInPercent, double, VoltageSwellThreshold)
POWERGPU_VOLTAGE_EVENT_SETTING(VoltageInterruptionThresholdInPercent, double, VoltageInterruptionThreshold)
POWERGPU_VOLTAGE_EVENT_SETTING(VoltageEventHysteresisInPercent, double, VoltageEventHysteresis)
POWERGPU_VOLTAGE_EVENT_SETTING(VoltageEventSlidingReferenceEnabled, bool, VoltageEventSlidingReferenceEnabled)

#undef POWERGPU_VOLTAGE_EVENT_SETTING

}  // extern "C"

namespace {

// Every call that fills the caller's array checks the array and its capacity
// alike; `name` is the array's name in the messages.
void checkArrayArguments(const char* operation, const int32_t maxCount, const void* const array, const char* name) {
    if (maxCount < 0) {
        throw PowerInvalidCall(std::string(operation) + ": maxCount " + std::to_string(maxCount) + " is negative");
    }
    if (maxCount > 0 && array == nullptr) {
        throw PowerInvalidCall(std::string(operation) + ": the " + name + " array is null");
    }
}

// A call that takes waiting records: a maxCount of 0 asks how many wait;
// any other moves up to maxCount of them, oldest first, into the array.
template <typename Record>
PowerStatusCode takeWaiting(PowerModuleHandle handle, const char* operation, const char* name, int32_t maxCount,
                            int32_t* count, Record* records, std::size_t (PowerModule::*waiting)() const,
                            std::vector<Record> (PowerModule::*take)(std::size_t)) {
    return onModule(handle, [&](PowerModule& m) {
        int32_t& countOut = required(count, "count");
        checkArrayArguments(operation, maxCount, records, name);
        if (maxCount == 0) {
            countOut = static_cast<int32_t>((m.*waiting)());
            return;
        }
        const std::vector<Record> taken = (m.*take)(static_cast<std::size_t>(maxCount));
        std::copy(taken.begin(), taken.end(), records);
        countOut = static_cast<int32_t>(taken.size());
    });
}

}  // namespace

extern "C" {

PowerStatusCode getVoltageEvents(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                 PowerVoltageEvent* events) {
    return takeWaiting(handle, "getVoltageEvents", "events", maxCount, count, events,
                       &PowerModule::getVoltageEventsWaiting, &PowerModule::getVoltageEvents);
}

PowerStatusCode getVoltageEventsInProgress(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                           PowerVoltageEvent* events) {
    return onModule(handle, [&](PowerModule& m) {
        int32_t& countOut = required(count, "count");
        checkArrayArguments("getVoltageEventsInProgress", maxCount, events, "events");
        const std::vector<PowerVoltageEvent> open = m.getVoltageEventsInProgress();
        const std::size_t copied = std::min(open.size(), static_cast<std::size_t>(maxCount));
        std::copy(open.begin(), open.begin() + static_cast<std::ptrdiff_t>(copied), events);
        countOut = static_cast<int32_t>(copied);
    });
}

}  // extern "C"

extern "C" {

// ------------------------------------------------------ extensions: flicker

PowerStatusCode setFlickerEnabled(PowerModuleHandle handle, bool enabled) {
    return onModule(handle, [&](PowerModule& m) { m.setFlickerEnabled(enabled); });
}

PowerStatusCode getFlickerEnabled(PowerModuleHandle handle, bool* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getFlickerEnabled(); });
}

PowerStatusCode setFlickerLamp(PowerModuleHandle handle, int32_t lamp) {
    return onModule(handle, [&](PowerModule& m) { m.setFlickerLamp(lamp); });
}

PowerStatusCode getFlickerLamp(PowerModuleHandle handle, int32_t* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getFlickerLamp(); });
}

PowerStatusCode setFlickerSystemFrequency(PowerModuleHandle handle, double frequency) {
    return onModule(handle, [&](PowerModule& m) { m.setFlickerSystemFrequency(frequency); });
}

PowerStatusCode getFlickerSystemFrequency(PowerModuleHandle handle, double* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getFlickerSystemFrequency(); });
}

PowerStatusCode setFlickerIntervalStart(PowerModuleHandle handle, uint64_t firstSampleIndex) {
    return onModule(handle, [&](PowerModule& m) { m.setFlickerIntervalStart(firstSampleIndex); });
}

PowerStatusCode getFlickerIntervalStart(PowerModuleHandle handle, uint64_t* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getFlickerIntervalStart(); });
}

PowerStatusCode getFlickerChannelsCount(PowerModuleHandle handle, uint8_t* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getFlickerChannelsCount(); });
}

}  // extern "C"

namespace {

// The checks shared by the two record getters; the records are taken only
// once every argument has passed.
template <typename Record, typename Take>
PowerStatusCode takeFlickerRecords(PowerModuleHandle handle, const char* operation, int32_t capacity,
                                   int32_t* count, Record* records, Take take) {
    return onModule(handle, [&](PowerModule& m) {
        int32_t& out = required(count, "count");
        if (capacity < 0) {
            throw PowerInvalidCall(std::string(operation) + ": the capacity " + std::to_string(capacity) +
                                   " is negative.");
        }
        if (records == nullptr && capacity > 0) {
            throw PowerInvalidCall(std::string(operation) + ": records is null but the capacity is " +
                                   std::to_string(capacity) + ".");
        }
        out = static_cast<int32_t>(take(m, static_cast<std::size_t>(capacity)));
    });
}

}  // namespace

extern "C" {

PowerStatusCode getFlickerPinst(PowerModuleHandle handle, uint8_t channel, int32_t capacity, int32_t* count,
                                PowerFlickerPinst* records) {
    return takeFlickerRecords(handle, "getFlickerPinst", capacity, count, records,
                              [&](PowerModule& m, std::size_t n) { return m.getFlickerPinst(channel, n, records); });
}

PowerStatusCode getFlickerPst(PowerModuleHandle handle, uint8_t channel, int32_t capacity, int32_t* count,
                              PowerFlickerPst* records) {
    return takeFlickerRecords(handle, "getFlickerPst", capacity, count, records,
                              [&](PowerModule& m, std::size_t n) { return m.getFlickerPst(channel, n, records); });
}

}  // extern "C"

// ------------------------------------------------- extensions: 10-s frequency

extern "C" {

PowerStatusCode setTenSecondFrequencyEnabled(PowerModuleHandle handle, bool enabled) {
    return onModule(handle, [&](PowerModule& m) { m.setTenSecondFrequencyEnabled(enabled); });
}

PowerStatusCode getTenSecondFrequencyEnabled(PowerModuleHandle handle, bool* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getTenSecondFrequencyEnabled(); });
}

PowerStatusCode setClockTimeAtSampleIndexZero(PowerModuleHandle handle, double seconds) {
    return onModule(handle, [&](PowerModule& m) { m.setClockTimeAtSampleIndexZero(seconds); });
}

PowerStatusCode getClockTimeAtSampleIndexZero(PowerModuleHandle handle, double* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getClockTimeAtSampleIndexZero(); });
}

PowerStatusCode getTenSecondFrequencies(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                        PowerTenSecondFrequency* records) {
    return takeWaiting(handle, "getTenSecondFrequencies", "records", maxCount, count, records,
                       &PowerModule::getTenSecondFrequenciesWaiting, &PowerModule::getTenSecondFrequencies);
}

}  // extern "C"

// --------------------------------------- extensions: grouped harmonic analysis

extern "C" {

PowerStatusCode setIecHarmonicsEnabled(PowerModuleHandle handle, bool enabled) {
    return onModule(handle, [&](PowerModule& m) { m.setIecHarmonicsEnabled(enabled); });
}

PowerStatusCode getIecHarmonicsEnabled(PowerModuleHandle handle, bool* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getIecHarmonicsEnabled(); });
}

PowerStatusCode setIecHarmonicsHighestOrder(PowerModuleHandle handle, int32_t order) {
    return onModule(handle, [&](PowerModule& m) { m.setIecHarmonicsHighestOrder(order); });
}

PowerStatusCode getIecHarmonicsHighestOrder(PowerModuleHandle handle, int32_t* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getIecHarmonicsHighestOrder(); });
}

PowerStatusCode setIecHarmonicsCurrentsEnabled(PowerModuleHandle handle, bool enabled) {
    return onModule(handle, [&](PowerModule& m) { m.setIecHarmonicsCurrentsEnabled(enabled); });
}

PowerStatusCode getIecHarmonicsCurrentsEnabled(PowerModuleHandle handle, bool* out) {
    return onModule(handle, [&](PowerModule& m) { required(out, "out") = m.getIecHarmonicsCurrentsEnabled(); });
}

PowerStatusCode getIecHarmonics(PowerModuleHandle handle, int32_t maxCount, int32_t* count,
                                PowerIecHarmonics* records) {
    return takeWaiting(handle, "getIecHarmonics", "records", maxCount, count, records,
                       &PowerModule::getIecHarmonicsWaiting, &PowerModule::getIecHarmonics);
}

}  // extern "C"
