// The period engine's side of the 10-s frequency: the reset, the feed from
// the reported cycles and retrieval.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "period/PeriodEngine.h"
#include "powergpu.hpp"

namespace powergpu {

void PeriodEngine::resetTenSecondFrequency() {
    const PowerConfig& config = settings_.getAppliedConfig();
    tenSecondFrequencyActive = config.tenSecondFrequencyEnabled && config.areAnyPeriodValuesEnabled();
    // A sample rate or position count that cannot time a cycle leaves the
    // meter idle; scheduling rejects such settings before any cycle arrives.
    tenSecondFrequencyMeter.reset(config.sampleRate, std::max<int32_t>(config.positionsPerSample, 1),
                                  config.clockTimeAtSampleIndexZero);
}

void PeriodEngine::feedTenSecondFrequency(const int count, const uint64_t* const starts, const int* const lengths,
                                          const bool* const valid) {
    if (!tenSecondFrequencyActive) {
        return;
    }
    for (int entry = 0; entry < count; ++entry) {
        if (lengths[entry] > 0) {
            tenSecondFrequencyMeter.addCycle(starts[entry], static_cast<uint64_t>(lengths[entry]), valid[entry]);
        }
    }
}

void PeriodEngine::requireTenSecondFrequency(const char* const operation) const {
    if (!tenSecondFrequencyActive) {
        throw PowerInvalidCall(std::string(operation) +
                               ": the 10-s frequency is not active; enable it and period values, then call reset");
    }
}

std::vector<PowerTenSecondFrequency> PeriodEngine::takeTenSecondFrequencies(const std::size_t maxCount) {
    requireTenSecondFrequency("getTenSecondFrequencies");
    std::vector<PowerTenSecondFrequency> records(std::min(maxCount, tenSecondFrequencyMeter.finishedCount()));
    records.resize(tenSecondFrequencyMeter.takeFinished(records.data(), records.size()));
    return records;
}

std::size_t PeriodEngine::getTenSecondFrequenciesWaiting() const {
    requireTenSecondFrequency("getTenSecondFrequencies");
    return tenSecondFrequencyMeter.finishedCount();
}

}  // namespace powergpu
