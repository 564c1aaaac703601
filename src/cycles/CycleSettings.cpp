#include "cycles/CycleSettings.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

#include "cycles/BandpassDesign.h"
#include "powergpu.hpp"

namespace powergpu::cycles {

namespace {

// Longer filters than this (about 100 cycles at a megahertz and 50 Hz)
// would only cost memory and latency.
constexpr long long kMostTaps = 1 << 21;

[[noreturn]] void reject(const char* field, double value, const char* rule) {
    std::ostringstream text;
    text.precision(17);
    text << "cycle detector settings: " << field << " " << value << " is out of range: " << rule;
    throw PowerInvalidCall(text.str());
}

void requireFiniteAtLeast(const char* field, double value, double lowest, const char* rule) {
    if (!std::isfinite(value) || value < lowest) {
        reject(field, value, rule);
    }
}

}  // namespace

PowerCycleDetectorSettings defaultCycleSettings() {
    PowerCycleDetectorSettings s{};
    s.sampleRate = 0.0;
    s.nominalFrequency = 50.0;
    s.positionsPerSample = 1000;
    s.startIndex = 0;
    s.tolerance = 0.15;
    s.nominalRms = std::numeric_limits<double>::quiet_NaN();
    s.minAmplitude = 0.1;
    s.hysteresis = 0.02;
    s.filterCycles = 10.0;
    s.maxGapCycles = 2.0;
    return s;
}

void checkCycleSettings(const PowerCycleDetectorSettings& s) {
    if (!std::isfinite(s.sampleRate) || !(s.sampleRate > 0.0)) {
        reject("sampleRate", s.sampleRate, "it must be positive and finite");
    }
    if (!std::isfinite(s.nominalFrequency) || !(s.nominalFrequency > 0.0)) {
        reject("nominalFrequency", s.nominalFrequency, "it must be positive and finite");
    }
    if (s.sampleRate < 4.0 * s.nominalFrequency) {
        reject("sampleRate", s.sampleRate, "it must be at least 4 x nominalFrequency");
    }
    // The module takes the cycles at its own positions per sample, an int32.
    if (s.positionsPerSample < 1000 || s.positionsPerSample > std::numeric_limits<std::int32_t>::max()) {
        reject("positionsPerSample", static_cast<double>(s.positionsPerSample),
               "it must be from 1000 to 2^31 - 1, the range of the module's positions per sample");
    }
    const std::uint64_t limit = kMostPositions;
    if (s.startIndex > limit / static_cast<std::uint64_t>(s.positionsPerSample)) {
        reject("startIndex", static_cast<double>(s.startIndex), "startIndex x positionsPerSample must stay below 2^62");
    }
    requireFiniteAtLeast("tolerance", s.tolerance, 0.0, "it must be finite and not negative");
    if (std::isinf(s.nominalRms)) {
        reject("nominalRms", s.nominalRms, "it must be finite (NaN or not positive: the level is learnt)");
    }
    requireFiniteAtLeast("minAmplitude", s.minAmplitude, 0.0, "it must be finite and not negative");
    requireFiniteAtLeast("hysteresis", s.hysteresis, 0.0, "it must be finite and not negative");
    if (!std::isfinite(s.filterCycles) || !(s.filterCycles > 0.0) ||
        s.filterCycles * s.sampleRate / s.nominalFrequency > static_cast<double>(kMostTaps)) {
        reject("filterCycles", s.filterCycles, "it must be positive and give at most 2^21 taps");
    }
    // A crossing up to 1.5 nominal cycles after the last one still ends a
    // measured cycle; fillers must not come before it.
    requireFiniteAtLeast("maxGapCycles", s.maxGapCycles, 1.5, "it must be finite and at least 1.5");
}

}  // namespace powergpu::cycles
