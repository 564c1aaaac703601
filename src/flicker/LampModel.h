// The lamp-eye-brain weighting K(s) of the flickermeter:
//   K(s) = k w1 s / (s^2 + 2 lambda s + w1^2) * (1 + s/w2) / ((1 + s/w3)(1 + s/w4))
// with the parameters of the 230 V / 60 W and the 120 V / 60 W incandescent
// lamp. Angular frequencies in rad/s.
#pragma once

#include <cstdint>

namespace powergpu::flicker {

struct LampParameters {
    double k;
    double lambda;
    double w1;
    double w2;
    double w3;
    double w4;
};

// The parameters of lamp kLamp230V or kLamp120V (any other value throws
// PowerInvalidCall naming it).
LampParameters lampParameters(int32_t lamp);

// Throws PowerInvalidCall naming `operation` unless lamp is a known model.
void requireKnownLamp(int32_t lamp, const char* operation);

}  // namespace powergpu::flicker
