// One rapid voltage change detector per channel, combined into a total
// result: a total event runs from the first channel that leaves its steady
// state until no channel is in an event any more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "period/RvcPhaseCalculation.h"

namespace powergpu {

class RvcMultiPhaseCalculation {
public:
    void setNumberOfPhases(std::size_t count) { phases.resize(count); }
    std::size_t getNumberOfPhases() const { return phases.size(); }
    RvcPhaseCalculation& operator[](std::size_t index) { return phases[index]; }
    const RvcPhaseCalculation& operator[](std::size_t index) const { return phases[index]; }
    // Resets every detector and the total event state.
    void initialize();
    void reset() { initialize(); }
    // Combines the current results of all detectors (after each took the
    // value of the same period value).
    RvcResult getTotalResult();

private:
    double noEventTime = -1.0;
    double eventStartTime = -1.0;
    int32_t previousState = -1;
    uint32_t eventCount = 0;
    std::vector<RvcPhaseCalculation> phases;
};

}  // namespace powergpu
