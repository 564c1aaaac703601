// The setters that check their argument before storing it: the detector of
// dips, swells and interruptions, the flickermeters, the clock of the
// 10-s frequency and the highest order of the grouped harmonic analysis. A rejected value changes nothing.
#include <cmath>
#include <string>

#include "flicker/LampModel.h"
#include "iec/IecHarmonicSettings.h"
#include "powergpu.hpp"
#include "settings/ModuleSettings.h"

namespace powergpu {

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

// ---- dips, swells and interruptions: plain stores, taking effect at the next reset

void ModuleSettings::setVoltageEventDeclaredVoltage(const double volts) {
    // A reference of 0 V or less would put every threshold at or below 0.
    if (!(volts > 0.0 && std::isfinite(volts))) {
        throw PowerInvalidCall(
            "setVoltageEventDeclaredVoltage: the declared voltage must be finite and above 0 V (got " +
            std::to_string(volts) + ")");
    }
    settings.voltageEvents.declaredVoltage = config.voltageEvents.declaredVoltage = volts;
}

void ModuleSettings::setVoltageDipThreshold(const double percent) {
    requireRange("setVoltageDipThresholdInPercent", "dip threshold (percent)", percent, 0.0, 100.0);
    settings.voltageEvents.dipThreshold = config.voltageEvents.dipThreshold = percent;
}

void ModuleSettings::setVoltageSwellThreshold(const double percent) {
    requireRange("setVoltageSwellThresholdInPercent", "swell threshold (percent)", percent, 100.0, kLargest);
    settings.voltageEvents.swellThreshold = config.voltageEvents.swellThreshold = percent;
}

void ModuleSettings::setVoltageInterruptionThreshold(const double percent) {
    requireRange("setVoltageInterruptionThresholdInPercent", "interruption threshold (percent)", percent, 0.0, 100.0);
    settings.voltageEvents.interruptionThreshold = config.voltageEvents.interruptionThreshold = percent;
}

void ModuleSettings::setVoltageEventHysteresis(const double percent) {
    requireRange("setVoltageEventHysteresisInPercent", "hysteresis (percent)", percent, 0.0, 100.0);
    settings.voltageEvents.hysteresis = config.voltageEvents.hysteresis = percent;
}

// ---- the 10-s frequency: a plain store, taking effect at the next reset

void ModuleSettings::setClockTimeAtSampleIndexZero(const double seconds) {
    if (!std::isfinite(seconds)) {
        throw PowerInvalidCall("setClockTimeAtSampleIndexZero: the clock time must be finite (got " +
                               std::to_string(seconds) + " s)");
    }
    settings.clockTimeAtSampleIndexZero = config.clockTimeAtSampleIndexZero = seconds;
}

// ---- flicker: stored, applied by the next rebuild

void ModuleSettings::setIecHarmonicsHighestOrder(const int32_t order) {
    if (order < 1 || order > iec::kIecHighestOrderLimit) {
        throw PowerInvalidCall("setIecHarmonicsHighestOrder: order " + std::to_string(order) + " is outside 1 to " +
                               std::to_string(iec::kIecHighestOrderLimit) + ".");
    }
    settings.iecHarmonics.highestOrder = order;
}

void ModuleSettings::setFlickerLamp(int32_t lamp) {
    flicker::requireKnownLamp(lamp, "setFlickerLamp");
    settings.flicker.lamp = lamp;
}

void ModuleSettings::setFlickerSystemFrequency(double frequency) {
    if (frequency != 50.0 && frequency != 60.0) {
        throw PowerInvalidCall("setFlickerSystemFrequency: " + std::to_string(frequency) +
                               " Hz is not a supply frequency the flickermeter knows (50 or 60 Hz).");
    }
    settings.flicker.systemFrequency = frequency;
}

}  // namespace powergpu
