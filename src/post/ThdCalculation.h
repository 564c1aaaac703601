// THD figures of one quantity from the device sums of its squared harmonics.
#pragma once

#include "powergpu.h"

namespace powergpu {

// Fills `out` from the sums, the fundamental h1 and the RMS value.
void calculateThd(PowerResultsThd& out, const PowerResultsThd& sums, double h1, double rms);

}  // namespace powergpu
