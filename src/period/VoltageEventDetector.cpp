// Dips, swells and interruptions from the one-cycle RMS values of the phases.
#include "period/VoltageEventDetector.h"

#include <algorithm>
#include <cmath>

namespace powergpu {

namespace {

int32_t typeOf(const int kind) {
    static const int32_t types[] = {POWER_VOLTAGE_EVENT_DIP, POWER_VOLTAGE_EVENT_SWELL,
                                    POWER_VOLTAGE_EVENT_INTERRUPTION};
    return types[kind];
}

}  // namespace

void VoltageEventDetector::reset(const VoltageEventSettings& newSettings, const std::size_t phases) {
    settings = newSettings;
    phaseCount = std::min(phases, kMaxPhases);
    references.fill(settings.declaredVoltage);
    lastTime = 0.0;
    anyValue = false;
    nextIndex = 0;
    open = {};
    finished.clear();
}

void VoltageEventDetector::add(const double* const values, const double time) {
    if (phaseCount == 0 || !std::isfinite(time)) {
        return;
    }
    // The rules compare all phases with each other; a step with a phase
    // that has no number cannot be judged.
    for (std::size_t phase = 0; phase < phaseCount; ++phase) {
        if (!std::isfinite(values[phase])) {
            return;
        }
    }
    for (int kind = 0; kind < kKinds; ++kind) {
        judge(static_cast<Kind>(kind), values, time);
    }
    const bool eventOpen = open[kDip].active || open[kSwell].active || open[kInterruption].active;
    if (settings.slidingReference && !eventOpen) {
        slideReferences(values, time);
    }
    lastTime = time;
    anyValue = true;
}

void VoltageEventDetector::judge(const Kind kind, const double* const values, const double time) {
    // below[k]: the value counts as disturbed for this kind; back[k]: it has
    // recovered past the hysteresis.
    std::size_t disturbed = 0;
    std::size_t recovered = 0;
    for (std::size_t phase = 0; phase < phaseCount; ++phase) {
        const double value = values[phase];
        switch (kind) {
            case kDip:
                disturbed += value < percentOf(phase, settings.dipThreshold) ? 1 : 0;
                recovered += value >= percentOf(phase, settings.dipThreshold + settings.hysteresis) ? 1 : 0;
                break;
            case kSwell:
                disturbed += value > percentOf(phase, settings.swellThreshold) ? 1 : 0;
                recovered += value <= percentOf(phase, settings.swellThreshold - settings.hysteresis) ? 1 : 0;
                break;
            default: {
                const double declared = settings.declaredVoltage * 0.01;
                disturbed += value < declared * settings.interruptionThreshold ? 1 : 0;
                recovered += value >= declared * (settings.interruptionThreshold + settings.hysteresis) ? 1 : 0;
                break;
            }
        }
    }
    Open& state = open[kind];
    if (!state.active) {
        const bool starts = kind == kInterruption ? disturbed == phaseCount : disturbed > 0;
        if (starts) {
            start(kind, values, time);
        }
        return;
    }
    const bool ends = kind == kInterruption ? recovered > 0 : recovered == phaseCount;
    if (ends) {
        finish(kind, time);
    } else {
        extend(kind, values);
    }
}

void VoltageEventDetector::start(const Kind kind, const double* const values, const double time) {
    Open& state = open[kind];
    state.active = true;
    PowerVoltageEvent& event = state.event;
    event = PowerVoltageEvent{};
    event.type = typeOf(kind);
    event.index = nextIndex++;
    event.startTime = time;
    event.extreme = kind == kSwell ? -INFINITY : INFINITY;
    extend(kind, values);
}

void VoltageEventDetector::extend(const Kind kind, const double* const values) {
    PowerVoltageEvent& event = open[kind].event;
    for (std::size_t phase = 0; phase < phaseCount; ++phase) {
        const double value = values[phase];
        bool affected = true;  // an interruption affects every phase
        if (kind == kDip) {
            affected = value < percentOf(phase, settings.dipThreshold);
        } else if (kind == kSwell) {
            affected = value > percentOf(phase, settings.swellThreshold);
        }
        if (affected) {
            event.phases |= 1u << phase;
        }
        const bool further = kind == kSwell ? value > event.extreme : value < event.extreme;
        if (further) {
            event.extreme = value;
            event.extremePhase = static_cast<int32_t>(phase) + 1;
            // References do not move while an event lasts, so this is the
            // reference of the event's start.
            event.referenceVoltage = kind == kInterruption ? settings.declaredVoltage : references[phase];
        }
    }
    event.valueCount += 1;
}

void VoltageEventDetector::finish(const Kind kind, const double time) {
    Open& state = open[kind];
    PowerVoltageEvent event = state.event;
    state.active = false;
    event.duration = time - event.startTime;
    event.ended = 1;
    event.extremePercent = event.referenceVoltage > 0.0 ? 100.0 * event.extreme / event.referenceVoltage : 0.0;
    if (finished.size() == kMaxWaitingEvents) {
        finished.pop_front();
    }
    finished.push_back(event);
}

void VoltageEventDetector::slideReferences(const double* const values, const double time) {
    if (!anyValue) {
        return;
    }
    const double step = time - lastTime;
    if (!(step > 0.0)) {
        return;
    }
    // The exact discrete first-order filter for the time between values, so
    // that the time constant holds whatever the spacing of the values.
    const double weight = -std::expm1(-step / kSlidingTimeConstant);
    for (std::size_t phase = 0; phase < phaseCount; ++phase) {
        references[phase] += weight * (values[phase] - references[phase]);
    }
}

std::size_t VoltageEventDetector::takeFinished(PowerVoltageEvent* const out, const std::size_t maxCount) {
    const std::size_t count = std::min(maxCount, finished.size());
    std::copy(finished.begin(), finished.begin() + static_cast<std::ptrdiff_t>(count), out);
    finished.erase(finished.begin(), finished.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::size_t VoltageEventDetector::copyInProgress(PowerVoltageEvent* const out, const std::size_t maxCount) const {
    std::size_t count = 0;
    for (const Open& state : open) {
        if (!state.active || count == maxCount) {
            continue;
        }
        PowerVoltageEvent event = state.event;
        event.duration = lastTime - event.startTime;
        event.extremePercent = event.referenceVoltage > 0.0 ? 100.0 * event.extreme / event.referenceVoltage : 0.0;
        out[count++] = event;
    }
    return count;
}

}  // namespace powergpu
