// The flicker settings of a module. They live in the settings record, so
// the meters follow the module's rule: stored by the setters, used once a
// rebuild has applied them.
#pragma once

#include <cstdint>

namespace powergpu::flicker {

// Lamp models of the eye-brain weighting (POWER_FLICKER_LAMP_* of powergpu.h).
constexpr int32_t kLamp230V = 0;
constexpr int32_t kLamp120V = 1;

struct FlickerSettings {
    bool enabled = false;
    int32_t lamp = kLamp230V;
    // Nominal frequency of the supply: 50 or 60 Hz (it picks the carrier
    // low-pass, 35 Hz or 42 Hz, and the half cycle of the input adaptor).
    double systemFrequency = 50.0;
    // Running index at which a 10-minute interval starts; the intervals
    // tile the running indices from there in both directions.
    uint64_t intervalStart = 0;

    bool operator==(const FlickerSettings& other) const {
        return enabled == other.enabled && lamp == other.lamp && systemFrequency == other.systemFrequency &&
               intervalStart == other.intervalStart;
    }
    bool operator!=(const FlickerSettings& other) const { return !(*this == other); }
};

}  // namespace powergpu::flicker
