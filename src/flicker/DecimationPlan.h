// How a flickermeter divides a sample rate: input samples per demodulated
// value, per reported Pinst value and per 10-minute interval.
#pragma once

#include <cstdint>

namespace powergpu::flicker {

// Lowest sample rate a meter accepts, and the lowest internal rate it
// decimates to: the carrier of the squared signal (twice the supply
// frequency, 120 Hz at most) and the weighting band (below 42 Hz) stay far
// below half of it, so the filters keep their analog shape.
constexpr double kMinimumSampleRate = 1600.0;

struct DecimationPlan {
    double sampleRate = 0.0;
    // Input samples averaged into one demodulated value.
    uint32_t decimation = 1;
    // Rate of the demodulated values (sampleRate / decimation).
    double internalRate = 0.0;
    // Demodulated values per reported Pinst value (about 10 ms).
    uint32_t valuesPerPinst = 1;
    // Input samples per reported Pinst value (valuesPerPinst * decimation).
    uint64_t samplesPerPinst = 1;
    // Input samples per 10-minute interval.
    uint64_t samplesPerInterval = 1;
};

// The plan for a sample rate of at least kMinimumSampleRate (PowerInvalidCall
// naming the rate otherwise). A Pinst value spans round(rate / 100) input
// samples; the decimation is the largest divisor of that span that keeps the
// internal rate at or above kMinimumSampleRate, unless that would leave the
// internal rate above four times the minimum (a span with no fitting
// divisor), when the span is rounded to a whole number of demodulated values.
DecimationPlan planDecimation(double sampleRate);

}  // namespace powergpu::flicker
