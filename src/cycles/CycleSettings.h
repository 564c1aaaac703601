// Defaults and checks of a cycle detector's settings.
#pragma once

#include <cstdint>

#include "powergpu.h"

namespace powergpu::cycles {

// Positions run up to (startIndex + samples) x positionsPerSample and are
// carried in int64; half the signed range leaves room for every sum the
// detector forms of them.
constexpr std::uint64_t kMostPositions = std::uint64_t{1} << 62;

PowerCycleDetectorSettings defaultCycleSettings();

// Throws PowerInvalidCall naming the first field out of range. The limits
// keep every position and the filter within the integer types that carry
// them.
void checkCycleSettings(const PowerCycleDetectorSettings& settings);

// Whether the reference level is learnt from the signal (nominalRms NaN or
// not positive).
inline bool learnsLevel(const PowerCycleDetectorSettings& settings) {
    return !(settings.nominalRms > 0.0);
}

}  // namespace powergpu::cycles
