// The flat functions of the cycle detector: each runs inside the exception
// translation, so every failure leaves its message for getLastErrorMessage.
#include <algorithm>
#include <string>
#include <vector>

#include "api/ErrorTranslation.h"
#include "cycles/CycleDetector.h"
#include "cycles/CycleSettings.h"
#include "cycles/PowerCycleDetectorImpl.h"
#include "powergpu.h"
#include "powergpu.hpp"

using powergpu::api::required;
using powergpu::api::setLastErrorMessage;
using powergpu::api::translate;

namespace {

// translate() for a call on a detector (a handle points to the C++ class);
// a null handle is rejected.
template <typename Body>
PowerStatusCode onDetector(PowerCycleDetectorHandle handle, Body&& body) noexcept {
    if (handle == nullptr || handle->implementation() == nullptr) {
        setLastErrorMessage("the cycle detector handle is null");
        return PowerStatusCode::UnknownError;
    }
    return translate([&] { body(*handle->implementation()); });
}

// The checks shared by the calls that copy up to maxCount items into a
// caller's array (what: its name in the messages): a negative maxCount, and
// a null array where something is to be copied, are rejected.
void checkCopyRequest(const char* function, int32_t maxCount, const void* items, const char* what) {
    if (maxCount < 0) {
        throw PowerInvalidCall(std::string(function) + ": maxCount " + std::to_string(maxCount) + " is negative");
    }
    if (items == nullptr && maxCount > 0) {
        throw PowerInvalidCall(std::string(function) + ": the " + what + " pointer is null");
    }
}

}  // namespace

extern "C" {

PowerStatusCode powerCycleDetector_defaultSettings(PowerCycleDetectorSettings* settings) {
    return translate([&] { required(settings, "settings") = powergpu::cycles::defaultCycleSettings(); });
}

PowerStatusCode powerCycleDetector_create(const PowerCycleDetectorSettings* settings,
                                          PowerCycleDetectorHandle* detector) {
    return translate([&] {
        PowerCycleDetectorHandle& out = required(detector, "detector");
        out = nullptr;
        if (settings == nullptr) {
            throw PowerInvalidCall("powerCycleDetector_create: the settings pointer is null");
        }
        out = new PowerCycleDetector(*settings);
    });
}

PowerStatusCode powerCycleDetector_destroy(PowerCycleDetectorHandle detector) {
    return translate([&] { delete detector; });
}

PowerStatusCode powerCycleDetector_process(PowerCycleDetectorHandle detector, const double* samples, int64_t count) {
    return onDetector(detector, [&](powergpu::cycles::CycleDetector& d) {
        if (count < 0) {
            throw PowerInvalidCall("powerCycleDetector_process: the sample count " + std::to_string(count) +
                                   " is negative");
        }
        if (samples == nullptr && count > 0) {
            throw PowerInvalidCall("powerCycleDetector_process: the samples pointer is null");
        }
        d.process(samples, static_cast<std::size_t>(count));
    });
}

PowerStatusCode powerCycleDetector_flush(PowerCycleDetectorHandle detector) {
    return onDetector(detector, [](powergpu::cycles::CycleDetector& d) { d.flush(); });
}

PowerStatusCode powerCycleDetector_takeEntries(PowerCycleDetectorHandle detector, int32_t maxCount, int32_t* count,
                                               PowerCycleEntry* entries) {
    return onDetector(detector, [&](powergpu::cycles::CycleDetector& d) {
        int32_t& countOut = required(count, "count");
        checkCopyRequest("powerCycleDetector_takeEntries", maxCount, entries, "entries");
        if (maxCount == 0) {
            const std::size_t waiting = d.waiting();
            countOut = waiting > INT32_MAX ? INT32_MAX : static_cast<int32_t>(waiting);
            return;
        }
        countOut = static_cast<int32_t>(d.take(static_cast<std::size_t>(maxCount), entries));
    });
}

PowerStatusCode powerCycleDetector_getAnchor(PowerCycleDetectorHandle detector, bool* known, uint64_t* position) {
    return onDetector(detector, [&](const powergpu::cycles::CycleDetector& d) {
        bool& knownOut = required(known, "known");
        uint64_t& positionOut = required(position, "position");
        knownOut = d.anchorKnown();
        positionOut = d.anchor();
    });
}

PowerStatusCode powerCycleDetector_getReferenceLevel(PowerCycleDetectorHandle detector, double* level) {
    return onDetector(detector,
                      [&](const powergpu::cycles::CycleDetector& d) { required(level, "level") = d.referenceLevel(); });
}

PowerStatusCode powerCycleDetector_getSamplesConsumed(PowerCycleDetectorHandle detector, uint64_t* count) {
    return onDetector(
        detector, [&](const powergpu::cycles::CycleDetector& d) { required(count, "count") = d.samplesConsumed(); });
}

PowerStatusCode powerCycleDetector_getFilterDelay(PowerCycleDetectorHandle detector, int32_t* samples) {
    return onDetector(
        detector, [&](const powergpu::cycles::CycleDetector& d) { required(samples, "samples") = d.filterDelay(); });
}

PowerStatusCode powerCycleDetector_getFilterLatency(PowerCycleDetectorHandle detector, int32_t* samples) {
    return onDetector(
        detector, [&](const powergpu::cycles::CycleDetector& d) { required(samples, "samples") = d.filterLatency(); });
}

PowerStatusCode powerCycleDetector_getFilterTaps(PowerCycleDetectorHandle detector, int32_t maxCount, int32_t* count,
                                                 double* taps) {
    return onDetector(detector, [&](const powergpu::cycles::CycleDetector& d) {
        int32_t& countOut = required(count, "count");
        checkCopyRequest("powerCycleDetector_getFilterTaps", maxCount, taps, "taps");
        const std::vector<double> all = d.filterTaps();
        const std::size_t copied = std::min(all.size(), static_cast<std::size_t>(maxCount));
        std::copy_n(all.begin(), copied, taps);
        countOut = static_cast<int32_t>(maxCount == 0 ? all.size() : copied);
    });
}

}  // extern "C"
