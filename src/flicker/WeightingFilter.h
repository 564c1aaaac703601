// Block 3 of the flickermeter: a first-order high-pass at 0.05 Hz (removes
// the mean of the normalised squared signal), a 6th-order Butterworth
// low-pass at 35 Hz for 50 Hz supplies or 42 Hz for 60 Hz supplies (removes
// the carrier at twice the supply frequency) and the lamp-eye weighting
// K(s). All sections come from the bilinear transform with pre-warping:
// the high-pass and the low-pass at their corners, the weighting at the
// reference 8.8 Hz. At internal rates of 1600 Hz and more the transform
// moves no frequency below 42 Hz by more than 0.3 %.
#pragma once

#include <complex>
#include <vector>

#include "flicker/Biquad.h"
#include "flicker/LampModel.h"

namespace powergpu::flicker {

constexpr double kHighPassHz = 0.05;

// The carrier low-pass cutoff of a 50 Hz (35 Hz) or 60 Hz (42 Hz) supply.
double carrierCutoffHz(double systemFrequency);

class WeightingFilter {
public:
    void configure(const LampParameters& lamp, double systemFrequency, double internalRate);
    // Sets every section to the state of a constant input x (the normalised
    // squared signal of a steady supply is 1), so a meter starts quietly.
    void settle(double x);
    double process(double x) {
        for (Biquad& section : sections_) {
            x = section.process(x);
        }
        return x;
    }
    std::complex<double> response(double f) const;

private:
    double rate_ = 1.0;
    std::vector<Biquad> sections_;
};

}  // namespace powergpu::flicker
