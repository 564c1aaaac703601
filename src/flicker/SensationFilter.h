// Block 4 of the flickermeter: squares the weighted signal and smooths it
// with a first-order low-pass of 300 ms (the memory of the eye-brain), then
// scales it to the instantaneous flicker sensation Pinst. The low-pass is
// discretised exactly (step-invariant): y += (1 - exp(-T / 0.3 s)) (x - y).
//
// The scale makes the reference modulation, a sinusoidal 8.8 Hz fluctuation
// of 0.250 % (relative peak-to-peak change) seen through the 230 V lamp,
// give a largest Pinst of exactly 1 through this very digital chain:
// its weighted amplitude is A = 0.0025 |H(8.8 Hz)|, and squaring then
// smoothing gives A^2 / 2 (1 + |L(17.6 Hz)|) at the peaks, where H is the
// decimation, block 3 and L the 300 ms low-pass. The same scale serves the
// 120 V lamp, whose weighting is lower at 8.8 Hz, as the lamp models
// intend (a 120 V lamp flickers less for the same fluctuation).
#pragma once

#include <complex>

namespace powergpu::flicker {

constexpr double kSensationTimeConstantSeconds = 0.3;
constexpr double kReferenceRelativeChange = 0.0025;

class SensationFilter {
public:
    void configure(double internalRate, double scale);
    void clear() { state_ = 0.0; }
    double process(double weighted) {
        state_ += alpha_ * (weighted * weighted - state_);
        return scale_ * state_;
    }
    std::complex<double> lowPassResponse(double f) const;

private:
    double rate_ = 1.0;
    double alpha_ = 1.0;
    double scale_ = 1.0;
    double state_ = 0.0;
};

// The scale of Pinst for a chain whose response to a modulation at the
// reference frequency (decimation and block 3 with the 230 V lamp) is
// referenceGain, with the 300 ms low-pass of `filter` (scale ignored).
double pinstScale(double referenceGain, const SensationFilter& filter);

}  // namespace powergpu::flicker
