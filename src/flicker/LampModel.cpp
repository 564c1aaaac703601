#include "flicker/LampModel.h"

#include <string>

#include "flicker/FlickerSettings.h"
#include "powergpu.hpp"

namespace powergpu::flicker {

namespace {

constexpr double kTwoPi = 6.283185307179586476925286766559;

}  // namespace

void requireKnownLamp(int32_t lamp, const char* operation) {
    if (lamp != kLamp230V && lamp != kLamp120V) {
        throw PowerInvalidCall(std::string(operation) + ": lamp " + std::to_string(lamp) +
                               " is not a known lamp model (0: 230 V lamp, 1: 120 V lamp).");
    }
}

LampParameters lampParameters(int32_t lamp) {
    requireKnownLamp(lamp, "lampParameters");
    if (lamp == kLamp120V) {
        return {1.6357, kTwoPi * 4.167375, kTwoPi * 9.077169, kTwoPi * 2.939902, kTwoPi * 1.394468, kTwoPi * 17.31512};
    }
    return {1.74802, kTwoPi * 4.05981, kTwoPi * 9.15494, kTwoPi * 2.27979, kTwoPi * 1.22535, kTwoPi * 21.9};
}

}  // namespace powergpu::flicker
