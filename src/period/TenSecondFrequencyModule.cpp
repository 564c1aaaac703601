// The module's side of the 10-s frequency: settings, the reset, the feed
// from the reported cycles and retrieval, the PowerModule methods that
// forward to them, and the layout of its flat record.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"

// The record crosses the flat interface: callers in C and Python lay it out
// by these offsets.
static_assert(sizeof(PowerTenSecondFrequency) == 48, "PowerTenSecondFrequency size");
static_assert(offsetof(PowerTenSecondFrequency, frequency) == 8, "PowerTenSecondFrequency::frequency moved");
static_assert(offsetof(PowerTenSecondFrequency, cycleDuration) == 16, "PowerTenSecondFrequency::cycleDuration moved");
static_assert(offsetof(PowerTenSecondFrequency, index) == 24, "PowerTenSecondFrequency::index moved");
static_assert(offsetof(PowerTenSecondFrequency, cycleCount) == 28, "PowerTenSecondFrequency::cycleCount moved");
static_assert(offsetof(PowerTenSecondFrequency, invalidCycleCount) == 32,
              "PowerTenSecondFrequency::invalidCycleCount moved");
static_assert(offsetof(PowerTenSecondFrequency, straddlingCycleCount) == 36,
              "PowerTenSecondFrequency::straddlingCycleCount moved");
static_assert(offsetof(PowerTenSecondFrequency, flagged) == 40, "PowerTenSecondFrequency::flagged moved");

void PowerModule::PowerModuleImpl::setClockTimeAtSampleIndexZero(const double seconds) {
    if (!std::isfinite(seconds)) {
        throw PowerInvalidCall("setClockTimeAtSampleIndexZero: the clock time must be finite (got " +
                               std::to_string(seconds) + " s)");
    }
    // A plain store: stored and applied at once, taking effect at the next reset.
    settings.clockTimeAtSampleIndexZero = config.clockTimeAtSampleIndexZero = seconds;
}

void PowerModule::PowerModuleImpl::resetTenSecondFrequency() {
    tenSecondFrequencyActive = config.tenSecondFrequencyEnabled && config.areAnyPeriodValuesEnabled();
    // A sample rate or position count that cannot time a cycle leaves the
    // meter idle; scheduling rejects such settings before any cycle arrives.
    tenSecondFrequencyMeter.reset(config.sampleRate, std::max<int32_t>(config.positionsPerSample, 1),
                                  config.clockTimeAtSampleIndexZero);
}

void PowerModule::PowerModuleImpl::feedTenSecondFrequency(const int count, const uint64_t* const starts,
                                                          const int* const lengths, const bool* const valid) {
    if (!tenSecondFrequencyActive) {
        return;
    }
    for (int entry = 0; entry < count; ++entry) {
        if (lengths[entry] > 0) {
            tenSecondFrequencyMeter.addCycle(starts[entry], static_cast<uint64_t>(lengths[entry]), valid[entry]);
        }
    }
}

void PowerModule::PowerModuleImpl::requireTenSecondFrequency(const char* const operation) const {
    if (!tenSecondFrequencyActive) {
        throw PowerInvalidCall(std::string(operation) +
                               ": the 10-s frequency is not active; enable it and period values, then call reset");
    }
}

std::vector<PowerTenSecondFrequency> PowerModule::PowerModuleImpl::takeTenSecondFrequencies(
    const std::size_t maxCount) {
    requireTenSecondFrequency("getTenSecondFrequencies");
    std::vector<PowerTenSecondFrequency> records(std::min(maxCount, tenSecondFrequencyMeter.finishedCount()));
    records.resize(tenSecondFrequencyMeter.takeFinished(records.data(), records.size()));
    return records;
}

std::size_t PowerModule::PowerModuleImpl::getTenSecondFrequenciesWaiting() const {
    requireTenSecondFrequency("getTenSecondFrequencies");
    return tenSecondFrequencyMeter.finishedCount();
}

// ------------------------------------------------------------------ facade

namespace {

PowerModule::PowerModuleImpl& implementationOf(PowerModule::PowerModuleImpl* impl) {
    if (impl == nullptr) {
        throw PowerInvalidCall("this module was moved from and holds no implementation");
    }
    return *impl;
}

}  // namespace

void PowerModule::setTenSecondFrequencyEnabled(const bool enabled) {
    implementationOf(impl_).setTenSecondFrequencyEnabled(enabled);
}
bool PowerModule::getTenSecondFrequencyEnabled() const {
    return implementationOf(impl_).getTenSecondFrequencyEnabled();
}
void PowerModule::setClockTimeAtSampleIndexZero(const double seconds) {
    implementationOf(impl_).setClockTimeAtSampleIndexZero(seconds);
}
double PowerModule::getClockTimeAtSampleIndexZero() const {
    return implementationOf(impl_).getClockTimeAtSampleIndexZero();
}
std::vector<PowerTenSecondFrequency> PowerModule::getTenSecondFrequencies(const std::size_t maxCount) {
    return implementationOf(impl_).takeTenSecondFrequencies(maxCount);
}
std::size_t PowerModule::getTenSecondFrequenciesWaiting() const {
    return implementationOf(impl_).getTenSecondFrequenciesWaiting();
}
