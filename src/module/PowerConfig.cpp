#include "module/PowerConfig.h"

#include <algorithm>
#include <cmath>

namespace powergpu {

uint8_t PowerConfig::getLineToLineCount() const {
    const int phases = getPhasesCount();
    return lineToLineResultsEnabled ? static_cast<uint8_t>(phases * (phases - 1) / 2) : 0;
}

uint8_t PowerConfig::getDeltaWaveformsCount() const {
    const int phases = getPhasesCount();
    return (lineToLineResultsEnabled || waveformsEnabled) ? static_cast<uint8_t>(phases * (phases - 1) / 2) : 0;
}

bool PowerConfig::areClarkeVoltagesEnabled() const {
    return clarkeTransformEnabled && clarkeOrParkVoltagesEnabled && getPhasesCount() == 3;
}

bool PowerConfig::areClarkeCurrentsEnabled() const {
    return clarkeTransformEnabled && clarkeOrParkCurrentsEnabled && getPhasesCount() == 3 && currentEnabled;
}

bool PowerConfig::areParkVoltagesEnabled() const {
    return parkTransformEnabled && clarkeOrParkVoltagesEnabled && getPhasesCount() == 3;
}

bool PowerConfig::areParkCurrentsEnabled() const {
    return parkTransformEnabled && clarkeOrParkCurrentsEnabled && getPhasesCount() == 3 && currentEnabled;
}

bool PowerConfig::areClarkeWaveformsRequired() const {
    return clarkeOrParkWaveformsEnabled && (areClarkeVoltagesEnabled() || areClarkeCurrentsEnabled());
}

bool PowerConfig::areParkWaveformsRequired() const {
    return clarkeOrParkWaveformsEnabled && (areParkVoltagesEnabled() || areParkCurrentsEnabled()) &&
           mechanicalAngleUsed;
}

uint64_t PowerConfig::getPow2Length(double x) {
    // Arguments below 1 arise from an unset sample rate; they give 1 so that
    // the module stays usable until the next correct setting rebuilds it.
    if (!(x > 1.0)) {
        return 1;
    }
    const double exponent = std::ceil(std::log2(x));
    // Lengths beyond 2^62 cannot be allocated anyway; keep the shift defined.
    const auto shift = static_cast<uint64_t>(std::min(exponent, 62.0));
    return uint64_t{1} << shift;
}

uint64_t PowerConfig::getFftLengthX(double frequency) const {
    return getPow2Length(static_cast<double>(periodCount) * sampleRate / frequency);
}

uint64_t PowerConfig::getRequiredHarmonicsCount() const {
    const auto requested = static_cast<uint32_t>(highestRequestedHarmonic);
    const auto thdHighest = static_cast<uint32_t>(thdHighestHarmonic);
    if (thdEnabled) {
        return static_cast<uint64_t>(std::max(requested, thdHighest)) + 1;
    }
    return static_cast<uint64_t>(std::max(requested, 1u)) + 1;
}

}  // namespace powergpu
