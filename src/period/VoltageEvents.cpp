// The module's side of the detector of dips, swells and interruptions:
// settings, the reset, the feed from the period values and retrieval, and
// the PowerModule methods that forward to them.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"

namespace {

// Throws unless `value` lies in [lowest, highest] (which also rules out NaN).
void requireRange(const char* setter, const char* what, const double value, const double lowest, const double highest) {
    if (!(value >= lowest && value <= highest)) {
        throw PowerInvalidCall(std::string(setter) + ": the " + what + " " + std::to_string(value) + " lies outside " +
                               std::to_string(lowest) + " .. " + std::to_string(highest));
    }
}

constexpr double kLargest = 1.0e300;

}  // namespace

void PowerModule::PowerModuleImpl::setVoltageEventDeclaredVoltage(const double volts) {
    // A reference of 0 V or less would put every threshold at or below 0.
    if (!(volts > 0.0 && std::isfinite(volts))) {
        throw PowerInvalidCall(
            "setVoltageEventDeclaredVoltage: the declared voltage must be finite and above 0 V (got " +
            std::to_string(volts) + ")");
    }
    // A plain store: stored and applied at once, taking effect at the next reset.
    settings.voltageEvents.declaredVoltage = config.voltageEvents.declaredVoltage = volts;
}

void PowerModule::PowerModuleImpl::setVoltageDipThreshold(const double percent) {
    requireRange("setVoltageDipThresholdInPercent", "dip threshold (percent)", percent, 0.0, 100.0);
    // A plain store: stored and applied at once, taking effect at the next reset.
    settings.voltageEvents.dipThreshold = config.voltageEvents.dipThreshold = percent;
}

void PowerModule::PowerModuleImpl::setVoltageSwellThreshold(const double percent) {
    requireRange("setVoltageSwellThresholdInPercent", "swell threshold (percent)", percent, 100.0, kLargest);
    // A plain store: stored and applied at once, taking effect at the next reset.
    settings.voltageEvents.swellThreshold = config.voltageEvents.swellThreshold = percent;
}

void PowerModule::PowerModuleImpl::setVoltageInterruptionThreshold(const double percent) {
    requireRange("setVoltageInterruptionThresholdInPercent", "interruption threshold (percent)", percent, 0.0, 100.0);
    // A plain store: stored and applied at once, taking effect at the next reset.
    settings.voltageEvents.interruptionThreshold = config.voltageEvents.interruptionThreshold = percent;
}

void PowerModule::PowerModuleImpl::setVoltageEventHysteresis(const double percent) {
    requireRange("setVoltageEventHysteresisInPercent", "hysteresis (percent)", percent, 0.0, 100.0);
    // A plain store: stored and applied at once, taking effect at the next reset.
    settings.voltageEvents.hysteresis = config.voltageEvents.hysteresis = percent;
}

void PowerModule::PowerModuleImpl::resetVoltageEvents() {
    voltageEventsActive = config.voltageEventsEnabled && config.areAnyPeriodValuesEnabled();
    voltageEventDetector.reset(config.voltageEvents, voltageEventsActive ? config.getPhasesCount() : 0);
}

void PowerModule::PowerModuleImpl::feedVoltageEvents(const PowerResultsPeriod* const phaseRecords, const int phases,
                                                     const double time) {
    // The detector watches the phases of the grid at the last reset; values
    // of another count (none can come before the next reset) are not its own.
    const std::size_t watched = std::min<std::size_t>(static_cast<std::size_t>(std::max(phases, 0)),
                                                      powergpu::VoltageEventDetector::kMaxPhases);
    if (!voltageEventsActive || watched == 0 || watched != voltageEventDetector.phases()) {
        return;
    }
    double values[powergpu::VoltageEventDetector::kMaxPhases] = {};
    for (std::size_t phase = 0; phase < watched; ++phase) {
        values[phase] = phaseRecords[phase].rmsU;
    }
    voltageEventDetector.add(values, time);
}

void PowerModule::PowerModuleImpl::requireVoltageEvents(const char* const operation) const {
    if (!voltageEventsActive) {
        throw PowerInvalidCall(std::string(operation) +
                               ": voltage events are not active; enable them and period values, then call reset");
    }
}

std::vector<PowerVoltageEvent> PowerModule::PowerModuleImpl::takeVoltageEvents(const std::size_t maxCount) {
    requireVoltageEvents("getVoltageEvents");
    std::vector<PowerVoltageEvent> events(std::min(maxCount, voltageEventDetector.finishedCount()));
    events.resize(voltageEventDetector.takeFinished(events.data(), events.size()));
    return events;
}

std::size_t PowerModule::PowerModuleImpl::getVoltageEventsWaiting() const {
    requireVoltageEvents("getVoltageEvents");
    return voltageEventDetector.finishedCount();
}

std::vector<PowerVoltageEvent> PowerModule::PowerModuleImpl::getVoltageEventsInProgress() const {
    requireVoltageEvents("getVoltageEventsInProgress");
    std::vector<PowerVoltageEvent> events(3);
    events.resize(voltageEventDetector.copyInProgress(events.data(), events.size()));
    return events;
}

// ------------------------------------------------------------------ facade

namespace {

PowerModule::PowerModuleImpl& implementationOf(PowerModule::PowerModuleImpl* impl) {
    if (impl == nullptr) {
        throw PowerInvalidCall("this module was moved from and holds no implementation");
    }
    return *impl;
}

}  // namespace

#define POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(Name, type) \
    void PowerModule::set##Name(type value) {              \
        implementationOf(impl_).set##Name(value);          \
    }                                                      \
    type PowerModule::get##Name() const {                  \
        return implementationOf(impl_).get##Name();        \
    }

POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(VoltageEventsEnabled, bool)
POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(VoltageEventDeclaredVoltage, double)
POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(VoltageDipThreshold, double)
POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(VoltageSwellThreshold, double)
POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(VoltageInterruptionThreshold, double)
POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(VoltageEventHysteresis, double)
POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING(VoltageEventSlidingReferenceEnabled, bool)

#undef POWERGPU_FORWARD_VOLTAGE_EVENT_SETTING

std::vector<PowerVoltageEvent> PowerModule::getVoltageEvents(const std::size_t maxCount) {
    return implementationOf(impl_).takeVoltageEvents(maxCount);
}
std::size_t PowerModule::getVoltageEventsWaiting() const {
    return implementationOf(impl_).getVoltageEventsWaiting();
}
std::vector<PowerVoltageEvent> PowerModule::getVoltageEventsInProgress() const {
    return implementationOf(impl_).getVoltageEventsInProgress();
}
