// The period engine's side of the detector of dips, swells and
// interruptions: the reset, the feed from the period values and retrieval.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "period/PeriodEngine.h"
#include "powergpu.hpp"

namespace powergpu {

void PeriodEngine::resetVoltageEvents() {
    const PowerConfig& config = settings_.getAppliedConfig();
    voltageEventsActive = config.voltageEventsEnabled && config.areAnyPeriodValuesEnabled();
    voltageEventDetector.reset(config.voltageEvents, voltageEventsActive ? config.getPhasesCount() : 0);
}

void PeriodEngine::feedVoltageEvents(const PowerResultsPeriod* const phaseRecords, const int phases,
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

void PeriodEngine::requireVoltageEvents(const char* const operation) const {
    if (!voltageEventsActive) {
        throw PowerInvalidCall(std::string(operation) +
                               ": voltage events are not active; enable them and period values, then call reset");
    }
}

std::vector<PowerVoltageEvent> PeriodEngine::takeVoltageEvents(const std::size_t maxCount) {
    requireVoltageEvents("getVoltageEvents");
    std::vector<PowerVoltageEvent> events(std::min(maxCount, voltageEventDetector.finishedCount()));
    events.resize(voltageEventDetector.takeFinished(events.data(), events.size()));
    return events;
}

std::size_t PeriodEngine::getVoltageEventsWaiting() const {
    requireVoltageEvents("getVoltageEvents");
    return voltageEventDetector.finishedCount();
}

std::vector<PowerVoltageEvent> PeriodEngine::getVoltageEventsInProgress() const {
    requireVoltageEvents("getVoltageEventsInProgress");
    std::vector<PowerVoltageEvent> events(3);
    events.resize(voltageEventDetector.copyInProgress(events.data(), events.size()));
    return events;
}

}  // namespace powergpu
