// The C++ face of the cycle detector: the public class around the detector
// of src/cycles, whose checks and messages it shares with the flat functions.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "cycles/CycleSettings.h"
#include "cycles/PowerCycleDetectorImpl.h"
#include "powergpu.hpp"

namespace {

// The implementation of a detector; a moved-from one has none.
PowerCycleDetector::PowerCycleDetectorImpl& use(PowerCycleDetector::PowerCycleDetectorImpl* impl) {
    if (impl == nullptr) {
        throw PowerInvalidCall("this cycle detector was moved from and holds no implementation");
    }
    return *impl;
}

}  // namespace

PowerCycleDetectorSettings PowerCycleDetector::defaultSettings() {
    return powergpu::cycles::defaultCycleSettings();
}

PowerCycleDetector::PowerCycleDetector(const PowerCycleDetectorSettings& settings)
    : impl_(new PowerCycleDetectorImpl(settings)) {}

PowerCycleDetector::PowerCycleDetector(PowerCycleDetector&& other) noexcept : impl_(other.impl_) {
    other.impl_ = nullptr;
}

PowerCycleDetector& PowerCycleDetector::operator=(PowerCycleDetector&& other) noexcept {
    if (this != &other) {
        delete impl_;
        impl_ = std::exchange(other.impl_, nullptr);
    }
    return *this;
}

PowerCycleDetector::~PowerCycleDetector() {
    delete impl_;
}

void PowerCycleDetector::process(const double* samples, std::size_t count) {
    if (samples == nullptr && count > 0) {
        throw PowerInvalidCall("process: the samples pointer is null");
    }
    use(impl_).process(samples, count);
}

void PowerCycleDetector::flush() {
    use(impl_).flush();
}

std::size_t PowerCycleDetector::getEntriesWaiting() const {
    return use(impl_).waiting();
}

std::vector<PowerCycleEntry> PowerCycleDetector::takeEntries(std::size_t maxCount) {
    PowerCycleDetectorImpl& detector = use(impl_);
    std::vector<PowerCycleEntry> entries(std::min(maxCount, detector.waiting()));
    entries.resize(detector.take(entries.size(), entries.data()));
    return entries;
}

std::optional<uint64_t> PowerCycleDetector::getAnchor() const {
    const PowerCycleDetectorImpl& detector = use(impl_);
    return detector.anchorKnown() ? std::optional<uint64_t>(detector.anchor()) : std::nullopt;
}

double PowerCycleDetector::getReferenceLevel() const {
    return use(impl_).referenceLevel();
}

uint64_t PowerCycleDetector::getSamplesConsumed() const {
    return use(impl_).samplesConsumed();
}

int32_t PowerCycleDetector::getFilterDelay() const {
    return use(impl_).filterDelay();
}

int32_t PowerCycleDetector::getFilterLatency() const {
    return use(impl_).filterLatency();
}

std::vector<double> PowerCycleDetector::getFilterTaps() const {
    return use(impl_).filterTaps();
}
