// The module's side of the grouped harmonic analysis: its settings, the
// calls the rebuild, the scheduler and getResults make, retrieval, and the
// PowerModule methods that forward to them.
#include <string>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"

void PowerModule::PowerModuleImpl::setIecHarmonicsEnabled(const bool enabled) {
    settings.iecHarmonics.enabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setIecHarmonicsHighestOrder(const int32_t order) {
    if (order < 1 || order > powergpu::iec::kIecHighestOrderLimit) {
        throw PowerInvalidCall("setIecHarmonicsHighestOrder: order " + std::to_string(order) + " is outside 1 to " +
                               std::to_string(powergpu::iec::kIecHighestOrderLimit) + ".");
    }
    settings.iecHarmonics.highestOrder = order;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::configureIecHarmonics() {
    const uint8_t phases = config.getPhasesCount();
    iecHarmonics.configure(config.iecHarmonics, phases, config.currentEnabled ? phases : 0, buffers.maxFftLength,
                           buffers.generalResultsBufferLength);
}

void PowerModule::PowerModuleImpl::enqueueIecHarmonics(const powergpu::PowerResultsQueueItem& item,
                                                       const uint64_t ringPosition) {
    if (!iecHarmonics.isActive()) {
        return;
    }
    powergpu::iec::IecWindow window;
    window.calculationIndex = item.getCalculationIndex();
    window.firstSampleIndex = item.getFirstSampleIndex();
    window.length = item.getLength();
    window.frequency = item.getFrequency();
    window.sampleRate = config.sampleRate;
    window.ringPosition = ringPosition;
    window.ringLength = buffers.getBufferLength();
    for (uint16_t c = 0; c < 3; ++c) {
        window.rings[c] = buffers.waveforms.getDeviceBuffer(static_cast<uint16_t>(powergpu::kPhaseVoltageItems + c));
        window.rings[3 + c] = buffers.waveforms.getDeviceBuffer(static_cast<uint16_t>(powergpu::kCurrentItems + c));
    }
    window.stream = item.getStream();
    iecHarmonics.enqueue(window);
}

void PowerModule::PowerModuleImpl::requireIecHarmonics(const char* const operation) const {
    if (!iecHarmonics.isActive()) {
        throw PowerInvalidCall(std::string(operation) +
                               ": the grouped harmonic analysis is not enabled by the last rebuild; enable it with "
                               "setIecHarmonicsEnabled.");
    }
}

std::vector<PowerIecHarmonics> PowerModule::PowerModuleImpl::takeIecHarmonics(const std::size_t maxCount) {
    requireIecHarmonics("getIecHarmonics");
    std::vector<PowerIecHarmonics> records(std::min(maxCount, iecHarmonics.waiting()));
    records.resize(iecHarmonics.take(records.size(), records.data()));
    return records;
}

std::size_t PowerModule::PowerModuleImpl::getIecHarmonicsWaiting() const {
    requireIecHarmonics("getIecHarmonics");
    return iecHarmonics.waiting();
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

void PowerModule::setIecHarmonicsEnabled(const bool enabled) {
    implementationOf(impl_).setIecHarmonicsEnabled(enabled);
}
bool PowerModule::getIecHarmonicsEnabled() const {
    return implementationOf(impl_).getIecHarmonicsEnabled();
}
void PowerModule::setIecHarmonicsHighestOrder(const int32_t order) {
    implementationOf(impl_).setIecHarmonicsHighestOrder(order);
}
int32_t PowerModule::getIecHarmonicsHighestOrder() const {
    return implementationOf(impl_).getIecHarmonicsHighestOrder();
}
std::vector<PowerIecHarmonics> PowerModule::getIecHarmonics(const std::size_t maxCount) {
    return implementationOf(impl_).takeIecHarmonics(maxCount);
}
std::size_t PowerModule::getIecHarmonicsWaiting() const {
    return implementationOf(impl_).getIecHarmonicsWaiting();
}
