#include "flicker/DecimationPlan.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "powergpu.hpp"

namespace powergpu::flicker {

DecimationPlan planDecimation(double sampleRate) {
    if (!std::isfinite(sampleRate) || sampleRate < kMinimumSampleRate) {
        throw PowerInvalidCall("flicker: the sample rate " + std::to_string(sampleRate) +
                               " Hz is below the flickermeter's minimum of 1600 Hz.");
    }
    DecimationPlan plan;
    plan.sampleRate = sampleRate;
    const uint64_t span = static_cast<uint64_t>(std::llround(sampleRate / 100.0));
    const uint64_t limit = static_cast<uint64_t>(std::floor(sampleRate / kMinimumSampleRate));
    uint64_t divisor = 1;
    for (uint64_t d = std::min(limit, span); d >= 1; --d) {
        if (span % d == 0) {
            divisor = d;
            break;
        }
    }
    if (sampleRate / static_cast<double>(divisor) > 4.0 * kMinimumSampleRate) {
        divisor = limit;
    }
    plan.decimation = static_cast<uint32_t>(divisor);
    plan.internalRate = sampleRate / static_cast<double>(divisor);
    plan.valuesPerPinst = static_cast<uint32_t>(
        std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(static_cast<double>(span) / divisor))));
    plan.samplesPerPinst = static_cast<uint64_t>(plan.valuesPerPinst) * divisor;
    plan.samplesPerInterval = static_cast<uint64_t>(std::llround(600.0 * sampleRate));
    return plan;
}

}  // namespace powergpu::flicker
