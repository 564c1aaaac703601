// Combines the per-channel rapid voltage change detectors into one total
// result per period value.
#include "period/RvcMultiPhaseCalculation.h"

#include <algorithm>

namespace powergpu {

void RvcMultiPhaseCalculation::initialize() {
    for (RvcPhaseCalculation& phase : phases) {
        phase.reset();
    }
    eventStartTime = noEventTime;
    previousState = -1;
    eventCount = 0;
}

RvcResult RvcMultiPhaseCalculation::getTotalResult() {
    RvcResult total{};
    total.state = -1;

    for (const RvcPhaseCalculation& phase : phases) {
        const RvcResult& result = phase.getCurrentResult();
        total.deltaUmax = std::max(total.deltaUmax, result.deltaUmax);
        total.deltaUss = std::max(total.deltaUss, result.deltaUss);
        total.time = result.time;
        total.eventEnded = total.eventEnded || result.eventEnded;
        total.firstValue = total.firstValue || result.firstValue;
        total.eventCount = eventCount;
        if (total.state == -1) {
            total.state = result.state;
        }
        if (result.state == 1) {
            total.state = 1;
        }
    }

    if (total.state == 1) {
        if (eventStartTime == noEventTime) {
            eventStartTime = total.time;
        }
        // A total event ends only when no channel is in one any more.
        total.eventEnded = false;
    } else if (total.state == 0 && total.eventEnded) {
        // The last channel has settled: the total event ends at the start of
        // that channel's new steady window, not at the end of it.
        total.duration = total.time - eventStartTime - phases.front().getSteadyStateDuration();
        eventStartTime = noEventTime;
        total.eventCount += 1;
    }

    total.stateChanged = total.state != previousState;
    previousState = total.state;
    eventCount = total.eventCount;
    return total;
}

}  // namespace powergpu
