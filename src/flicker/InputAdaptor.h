// Block 1 of the flickermeter: scales the demodulated values so that the
// slowly varying mean square of the input is 1, which makes the meter read
// relative voltage changes whatever the supply voltage.
//
// The level is the mean square over each half cycle of the supply (which
// averages out the carrier of the squared signal), followed by a first-order
// low-pass with a time constant of 60 s: slow against the slowest flicker
// the weighting passes (its 0.05 Hz high-pass, the 1-per-minute changes),
// so the level does not follow the fluctuation being measured, and fast
// enough to follow the drift of the supply over minutes. Dividing the
// squared signal by the mean square is the same as dividing the voltage by
// its RMS value before squaring, since the level varies slowly.
//
// Until one time constant has passed, the low-pass is replaced by the mean of
// all half cycles so far, so the level is right from the first half cycle
// on instead of creeping towards it for minutes.
#pragma once

#include <cstdint>

namespace powergpu::flicker {

constexpr double kAdaptorTimeConstantSeconds = 60.0;

class InputAdaptor {
public:
    void configure(double internalRate, double systemFrequency);
    void clear();
    // Whether a level is known (after the first half cycle).
    bool ready() const { return levelCount_ > 0; }
    // Feeds one demodulated value; returns it divided by the level (only
    // meaningful once ready() was true before the call).
    double normalise(double value);

private:
    uint32_t halfCycle_ = 1;
    uint32_t filled_ = 0;
    double sum_ = 0.0;
    double level_ = 1.0;
    uint64_t levelCount_ = 0;
    uint64_t averagingCount_ = 1;
    double alpha_ = 1.0;
};

}  // namespace powergpu::flicker
