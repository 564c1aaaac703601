// Rapid voltage change detector of one voltage channel.
//
// A steady state holds while each of the last N period RMS values lies
// within +/- threshold percent of their mean. A value that breaks it starts
// an event; the event ends once the values have been steady again for N
// values, judged with the band narrowed by the hysteresis.
#pragma once

#include <cstdint>
#include <deque>

#include "powergpu.h"

namespace powergpu {

class RvcPhaseCalculation {
public:
    RvcPhaseCalculation();

    // Takes the RMS value of one period value and its time (seconds).
    void calculate(double value, double time);
    const RvcResult& getCurrentResult() const { return currentResult; }
    RvcResult& getCurrentResult() { return currentResult; }
    // Forgets all values; thresholds and N stay as set.
    void reset();
    void initialize() { reset(); }

    void setSteadyStateLength(uint64_t length) { steadyStateLength = length; }
    void setSteadyStateThreshold(double percent) { steadyStateThreshold = percent; }
    void setThresholdHysteresis(double percent) { thresholdHysteresis = percent; }
    uint64_t getSteadyStateLength() const { return steadyStateLength; }
    double getSteadyStateThreshold() const { return steadyStateThreshold; }
    double getThresholdHysteresis() const { return thresholdHysteresis; }
    // Time of the newest held value minus time of the oldest (0 with fewer than two).
    double getSteadyStateDuration() const;

private:
    double getAverage() const;
    double getThreshold() const;
    bool isSteadyState() const;

    std::deque<double> values;
    std::deque<double> times;
    uint64_t steadyStateLength = 100;
    double steadyStateThreshold = 2.0;
    double thresholdHysteresis = 50.0;
    uint32_t detectorState = 0;
    RvcResult currentResult{};
    double sum = 0.0;
    uint32_t eventValuesCount = 0;
    double averageBeforeEvent = 0.0;
    double eventStartTime = 0.0;
    double maxDeviation = 0.0;
    // The largest and smallest held values, kept as monotonic queues so that
    // the band test needs no pass over the window; NaN values are counted
    // instead (a window holding one is never steady).
    std::deque<double> largestValues;
    std::deque<double> smallestValues;
    uint64_t heldNaNs = 0;
};

}  // namespace powergpu
