// What a caller of the flat interface can observe without changing a module:
// getters, readiness, waveform pointers and the last error message.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "powergpu.h"

namespace powergpu::fuzz {

// ------------------------------------------------------------- observation

using WaveformGetter = PowerStatusCode (*)(PowerModuleHandle, uint8_t, float**);
constexpr WaveformGetter kWaveformGetters[] = {
    getWaveformBufferUInput,  getWaveformBufferUStar,   getWaveformBufferUDelta, getWaveformBufferI,
    getWaveformBufferClarkeU, getWaveformBufferClarkeI, getWaveformBufferParkU,  getWaveformBufferParkI};
constexpr const char* kWaveformNames[] = {"UInput", "UStar", "UDelta", "I", "ClarkeU", "ClarkeI", "ParkU", "ParkI"};
constexpr int kWaveformFamilies = 8;

// Everything a caller can read without changing the module, as bytes, with
// the name of each part so that a difference can be reported by name.
class Observation {
public:
    template <typename T>
    void add(const char* name, PowerStatusCode status, const T& value) {
        marks_.emplace_back(bytes_.size(), name);
        append(code(status));
        if (status == PowerStatusCode::Success) {
            append(value);
        }
    }
    bool operator==(const Observation& other) const { return bytes_ == other.bytes_; }
    std::string firstDifference(const Observation& other) const {
        size_t at = 0;
        while (at < bytes_.size() && at < other.bytes_.size() && bytes_[at] == other.bytes_[at]) {
            ++at;
        }
        const char* name = "length";
        for (const auto& mark : marks_) {
            if (mark.first <= at) {
                name = mark.second;
            }
        }
        return name;
    }

private:
    template <typename T>
    void append(const T& value) {
        bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    std::string bytes_;
    std::vector<std::pair<size_t, const char*>> marks_;
};

inline Observation observe(PowerModuleHandle m) {
    Observation o;
#define OBSERVE(getter, type)                        \
    {                                                \
        type value{};                                \
        const PowerStatusCode s = getter(m, &value); \
        o.add(#getter, s, value);                    \
    }
    OBSERVE(getClarkeOrParkCurrentsEnabled, bool)
    OBSERVE(getClarkeOrParkVoltagesEnabled, bool)
    OBSERVE(getClarkeOrParkWaveformsEnabled, bool)
    OBSERVE(getClarkeTransformEnabled, bool)
    OBSERVE(getCurrentEnabled, bool)
    OBSERVE(getFullFftEnabled, bool)
    OBSERVE(getFundamentalPeriodValuesEnabled, bool)
    OBSERVE(getInterHarmonicsEnabled, bool)
    OBSERVE(getLineToLineResultsEnabled, bool)
    OBSERVE(getMechanicalAngleUsed, bool)
    OBSERVE(getParkTransformEnabled, bool)
    OBSERVE(getPeriodSymmetricalComponentsEnabled, bool)
    OBSERVE(getPeriodValuesEnabled, bool)
    OBSERVE(getRvcEnabled, bool)
    OBSERVE(getSymmetricalComponentsEnabled, bool)
    OBSERVE(getThdEnabled, bool)
    OBSERVE(getWaveformsEnabled, bool)
    OBSERVE(getCurrentsCount, uint8_t)
    OBSERVE(getVoltagesCount, uint8_t)
    OBSERVE(getPhasesCount, uint8_t)
    OBSERVE(getHalfPeriodValuesCount, uint16_t)
    OBSERVE(getPeriodValuesOverlapInPercent, uint16_t)
    OBSERVE(getHighestRequestedHarmonic, int32_t)
    OBSERVE(getThdHighestHarmonic, int32_t)
    OBSERVE(getPolePairs, int32_t)
    OBSERVE(getMechAngleOffset, double)
    OBSERVE(getRvcSteadyStateLengthInNumberOfPeriodValues, int32_t)
    OBSERVE(getRvcThresholdInPercentOfAverage, double)
    OBSERVE(getRvcThresholdHysteresisInPercentOfThreshold, double)
    OBSERVE(getVoltageEventsEnabled, bool)
    OBSERVE(getVoltageEventDeclaredVoltage, double)
    OBSERVE(getVoltageDipThresholdInPercent, double)
    OBSERVE(getVoltageSwellThresholdInPercent, double)
    OBSERVE(getVoltageInterruptionThresholdInPercent, double)
    OBSERVE(getVoltageEventHysteresisInPercent, double)
    OBSERVE(getVoltageEventSlidingReferenceEnabled, bool)
    OBSERVE(getBackend, int32_t)
    OBSERVE(isAnyResultReady, bool)
    OBSERVE(getWaveformBufferMechAngles, float*)
#undef OBSERVE
    // Channels 0..2 of every family: enough to see a ring change, without
    // the cost of a refused call (an exception) for every absent channel.
    for (int family = 0; family < kWaveformFamilies; ++family) {
        for (uint8_t channel = 0; channel < 3; ++channel) {
            float* pointer = nullptr;
            o.add(kWaveformNames[family], kWaveformGetters[family](m, channel, &pointer), pointer);
        }
    }
    return o;
}

// ------------------------------------------------------------------ messages

// The error message lives per thread, not per module; this module is never
// destroyed, so the message can be read whatever the sequence did to its own.
inline PowerModuleHandle messageReader = nullptr;

inline std::string lastMessage() {
    char buffer[1024];
    int32_t length = -1;
    if (getLastErrorMessage(messageReader, buffer, sizeof buffer, &length) != PowerStatusCode::Success) {
        violated("getLastErrorMessage failed on a live module");
    }
    if (length < 0 || static_cast<size_t>(std::min<int32_t>(length, sizeof buffer - 1)) != std::strlen(buffer)) {
        violated("getLastErrorMessage: length " + std::to_string(length) + " does not match the copied text");
    }
    return buffer;
}

// Checks the message left by the call just made.
inline void checkMessage(const char* call, PowerStatusCode status) {
    const std::string message = lastMessage();
    if (status == PowerStatusCode::Success) {
        if (!message.empty()) {
            violated(std::string(call) + " succeeded but left the message \"" + message + "\"");
        }
        return;
    }
    if (message.empty()) {
        violated(std::string(call) + " returned " + std::to_string(code(status)) + " without a message");
    }
    // A caller gets a sentence, not the text of a standard-library exception,
    // and a CPU module never blames a CUDA call.
    static const char* const kRawTexts[] = {"map::at",        "vector::",     "basic_string",
                                            "std::bad_alloc", "out_of_range", "CUDA error"};
    for (const char* raw : kRawTexts) {
        if (message.find(raw) != std::string::npos) {
            violated(std::string(call) + " failed with the raw message \"" + message + "\"");
        }
    }
}

}  // namespace powergpu::fuzz
