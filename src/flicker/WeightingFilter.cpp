#include "flicker/WeightingFilter.h"

#include "flicker/FilterDesign.h"

namespace powergpu::flicker {

double carrierCutoffHz(double systemFrequency) {
    return systemFrequency > 55.0 ? 42.0 : 35.0;
}

void WeightingFilter::configure(const LampParameters& lamp, double systemFrequency, double internalRate) {
    rate_ = internalRate;
    sections_.clear();
    sections_.push_back(highPass(kHighPassHz, internalRate));
    for (const Biquad& section : butterworthLowPass6(carrierCutoffHz(systemFrequency), internalRate)) {
        sections_.push_back(section);
    }
    for (const Biquad& section : lampWeighting(lamp, internalRate)) {
        sections_.push_back(section);
    }
}

void WeightingFilter::settle(double x) {
    for (Biquad& section : sections_) {
        x = section.settle(x);
    }
}

std::complex<double> WeightingFilter::response(double f) const {
    std::complex<double> h = 1.0;
    for (const Biquad& section : sections_) {
        h *= section.response(f, rate_);
    }
    return h;
}

}  // namespace powergpu::flicker
