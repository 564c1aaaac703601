// The caller's record of one window from the values the kernel left in a
// result slot, with the THD figures finished on the host (the same code
// under both backends).
#pragma once

#include <cstdint>

#include "powergpu.h"

namespace powergpu::iec {

// 100 sqrt(sum of values[h]^2, h = 2..highestOrder) / values[1]; 0 when
// values[1] is 0 (no fundamental to relate to).
double thdInPercent(const double* values, int highestOrder);

// Fills one channel from its row of the device layout (subgroups,
// interharmonic subgroups, groups, kIecOrderCount each).
void fillChannel(const double* row, int highestOrder, PowerIecHarmonicChannel& channel);

}  // namespace powergpu::iec
