// Analog prototypes of the flickermeter's filters and their mapping to
// digital sections by the bilinear transform with pre-warping.
#pragma once

#include <vector>

#include "flicker/Biquad.h"
#include "flicker/LampModel.h"

namespace powergpu::flicker {

// (b2 s^2 + b1 s + b0) / (a2 s^2 + a1 s + a0); s in rad/s.
struct AnalogSection {
    double b2;
    double b1;
    double b0;
    double a2;
    double a1;
    double a0;
};

// Bilinear transform s = c (1 - z^-1) / (1 + z^-1) with c chosen so that the
// digital response at prewarpHz equals the analog one exactly
// (c = w / tan(w T / 2)).
Biquad bilinear(const AnalogSection& section, double prewarpHz, double rate);

// First-order high-pass s / (s + 2 pi cornerHz), pre-warped at its corner.
Biquad highPass(double cornerHz, double rate);

// 6th-order Butterworth low-pass as three sections, pre-warped at the cutoff.
std::vector<Biquad> butterworthLowPass6(double cutoffHz, double rate);

// The lamp-eye weighting K(s) as two sections, both pre-warped at
// kWeightingPrewarpHz, so the digital cascade equals K exactly there.
std::vector<Biquad> lampWeighting(const LampParameters& lamp, double rate);

// The frequency of the reference modulation, where the weighting peaks and
// the meter is calibrated.
constexpr double kReferenceModulationHz = 8.8;
constexpr double kWeightingPrewarpHz = kReferenceModulationHz;

}  // namespace powergpu::flicker
