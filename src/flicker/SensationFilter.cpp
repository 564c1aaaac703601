#include "flicker/SensationFilter.h"

#include <cmath>

#include "flicker/FilterDesign.h"

namespace powergpu::flicker {

namespace {

constexpr double kPi = 3.14159265358979323846264338327950;

}  // namespace

void SensationFilter::configure(double internalRate, double scale) {
    rate_ = internalRate;
    alpha_ = -std::expm1(-1.0 / (internalRate * kSensationTimeConstantSeconds));
    scale_ = scale;
    clear();
}

std::complex<double> SensationFilter::lowPassResponse(double f) const {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / rate_);
    return alpha_ / (1.0 - (1.0 - alpha_) * z1);
}

double pinstScale(double referenceGain, const SensationFilter& filter) {
    const double amplitude = kReferenceRelativeChange * referenceGain;
    const double ripple = std::abs(filter.lowPassResponse(2.0 * kReferenceModulationHz));
    return 2.0 / (amplitude * amplitude * (1.0 + ripple));
}

}  // namespace powergpu::flicker
