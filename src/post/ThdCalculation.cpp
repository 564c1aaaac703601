// THD figures of one quantity from the device sums of squared harmonics.
#include "post/ThdCalculation.h"

#include <algorithm>
#include <cmath>

namespace powergpu {

void calculateThd(PowerResultsThd& out, const PowerResultsThd& sums, double h1, double rms) {
    const PowerResultsThd d = sums;
    const double k = h1 > 0.0 ? 100.0 / h1 : 0.0;
    out.harmonicRms = std::sqrt(d.thd);
    out.thdRms = out.harmonicRms * (rms > 0.0 ? 100.0 / rms : 0.0);
    out.thd = std::sqrt(d.thd) * k;
    out.thdEven = std::sqrt(d.thdEven) * k;
    out.thdOdd = std::sqrt(d.thdOdd) * k;
    out.thdOddTriplen = std::sqrt(d.thdOddTriplen) * k;
    out.thdOddNonTriplen = std::sqrt(d.thdOddNonTriplen) * k;
    out.distortionRms = std::sqrt(std::max(rms * rms - h1 * h1, 0.0));
    out.distortion = out.distortionRms * k;
}

}  // namespace powergpu
