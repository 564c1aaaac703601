// Settings of the grouped harmonic analysis, part of a module's settings
// record (rebuilding, like every setting that sizes something).
#pragma once

#include <cstdint>

namespace powergpu::iec {

// The highest order a record can hold.
constexpr int32_t kIecHighestOrderLimit = 50;

struct IecHarmonicSettings {
    bool enabled = false;
    int32_t highestOrder = kIecHighestOrderLimit;
    // Whether the currents are analysed beside the voltages (when the grid
    // measures them): a caller that reads only voltage harmonics (a supply
    // voltage evaluation) saves half the transforms.
    bool currentsEnabled = true;
};

}  // namespace powergpu::iec
