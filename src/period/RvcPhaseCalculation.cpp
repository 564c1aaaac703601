// Rapid voltage change detector of one channel: a sliding window of the
// last N period RMS values, its mean, and the event state machine.
#include "period/RvcPhaseCalculation.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace powergpu {

RvcPhaseCalculation::RvcPhaseCalculation() {
    // No value has been seen yet; everything else of the result is zero.
    currentResult.state = -1;
    currentResult.eventCount = 0;
}

double RvcPhaseCalculation::getAverage() const {
    if (values.empty()) {
        return 0.0;
    }
    return sum / static_cast<double>(values.size());
}

double RvcPhaseCalculation::getThreshold() const {
    // While an event lasts the band is narrowed, so that a voltage hovering
    // at the edge of the band does not end and restart events repeatedly.
    if (detectorState == 1) {
        return steadyStateThreshold * thresholdHysteresis / 100.0;
    }
    return steadyStateThreshold;
}

bool RvcPhaseCalculation::isSteadyState() const {
    // Until the window is full there is no steady level to leave.
    if (values.size() < steadyStateLength) {
        return true;
    }
    const double mean = getAverage();
    const double band = getThreshold() * mean / 100.0;
    const double lowest = mean - band;
    const double highest = mean + band;
    // Every value lies in the band exactly when the extremes do.
    return heldNaNs == 0 && !largestValues.empty() && lowest <= smallestValues.front() &&
           largestValues.front() <= highest;
}

double RvcPhaseCalculation::getSteadyStateDuration() const {
    if (times.size() < 2) {
        return 0.0;
    }
    return times.back() - times.front();
}

void RvcPhaseCalculation::calculate(const double value, const double time) {
    currentResult.time = time;
    currentResult.eventEnded = false;
    currentResult.firstValue = false;
    currentResult.duration = 0.0;
    currentResult.deltaUss = 0.0f;
    currentResult.deltaUmax = 0.0f;

    // The level before an event is the mean of the window without the value
    // that may break it; it stays frozen while the event lasts.
    if (detectorState == 0) {
        averageBeforeEvent = getAverage();
    }

    sum += value;
    values.push_back(value);
    times.push_back(time);
    if (std::isnan(value)) {
        ++heldNaNs;
    } else {
        while (!largestValues.empty() && largestValues.back() < value) {
            largestValues.pop_back();
        }
        largestValues.push_back(value);
        while (!smallestValues.empty() && smallestValues.back() > value) {
            smallestValues.pop_back();
        }
        smallestValues.push_back(value);
    }
    if (values.size() > steadyStateLength) {
        const double oldest = values.front();
        sum -= oldest;
        values.pop_front();
        times.pop_front();
        if (std::isnan(oldest)) {
            --heldNaNs;
        } else {
            if (largestValues.front() == oldest) {
                largestValues.pop_front();
            }
            if (smallestValues.front() == oldest) {
                smallestValues.pop_front();
            }
        }
    }

    int32_t newState = 0;
    if (detectorState == 0) {
        if (!isSteadyState()) {
            eventStartTime = time;
            detectorState = 1;
            eventValuesCount = 1;
            maxDeviation = std::abs(averageBeforeEvent - value);
            newState = 1;
        }
    } else {
        eventValuesCount += 1;
        // A new steady state needs a full window of values taken after the
        // event started, so an event lasts at least N values.
        if (isSteadyState() && eventValuesCount >= steadyStateLength) {
            currentResult.eventCount += 1;
            detectorState = 0;
            eventValuesCount = 0;
            currentResult.eventEnded = true;
            currentResult.deltaUmax = static_cast<float>(maxDeviation);
            currentResult.deltaUss = static_cast<float>(std::abs(averageBeforeEvent - getAverage()));
            // The oldest held value is the first one of the new steady window.
            currentResult.duration = times.front() - eventStartTime;
        } else {
            maxDeviation = std::max(maxDeviation, std::abs(averageBeforeEvent - value));
            newState = 1;
        }
    }

    currentResult.stateChanged = newState != currentResult.state;
    currentResult.firstValue = currentResult.state == -1;
    currentResult.state = newState;
}

void RvcPhaseCalculation::reset() {
    sum = 0.0;
    eventValuesCount = 0;
    values.clear();
    times.clear();
    largestValues.clear();
    smallestValues.clear();
    heldNaNs = 0;
    detectorState = 0;
    averageBeforeEvent = 0.0;
    maxDeviation = -std::numeric_limits<double>::infinity();
    currentResult.state = -1;
    currentResult.eventCount = 0;
}

}  // namespace powergpu
