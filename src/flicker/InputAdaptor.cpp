#include "flicker/InputAdaptor.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace powergpu::flicker {

void InputAdaptor::configure(double internalRate, double systemFrequency) {
    halfCycle_ = static_cast<uint32_t>(std::max<long long>(1, std::llround(internalRate / (2.0 * systemFrequency))));
    const double halfCycleSeconds = halfCycle_ / internalRate;
    alpha_ = -std::expm1(-halfCycleSeconds / kAdaptorTimeConstantSeconds);
    averagingCount_ = static_cast<uint64_t>(std::ceil(kAdaptorTimeConstantSeconds / halfCycleSeconds));
    clear();
}

void InputAdaptor::clear() {
    filled_ = 0;
    sum_ = 0.0;
    level_ = 1.0;
    levelCount_ = 0;
}

double InputAdaptor::normalise(double value) {
    const double out = value / level_;
    sum_ += value;
    if (++filled_ == halfCycle_) {
        const double meanSquare = sum_ / halfCycle_;
        ++levelCount_;
        const double weight = levelCount_ <= averagingCount_ ? 1.0 / static_cast<double>(levelCount_) : alpha_;
        level_ += weight * (meanSquare - level_);
        // A dead input (all zeros) must not make the level zero: the
        // values would become infinite instead of zero.
        level_ = std::max(level_, std::numeric_limits<double>::min());
        filled_ = 0;
        sum_ = 0.0;
    }
    return out;
}

}  // namespace powergpu::flicker
