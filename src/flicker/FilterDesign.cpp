#include "flicker/FilterDesign.h"

#include <cmath>

namespace powergpu::flicker {

namespace {

constexpr double kPi = 3.14159265358979323846264338327950;

}  // namespace

std::complex<double> Biquad::response(double f, double rate) const {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / rate);
    const std::complex<double> z2 = z1 * z1;
    return (b0 + b1 * z1 + b2 * z2) / (1.0 + a1 * z1 + a2 * z2);
}

Biquad bilinear(const AnalogSection& s, double prewarpHz, double rate) {
    const double w = 2.0 * kPi * prewarpHz;
    const double c = w / std::tan(w / (2.0 * rate));
    const double c2 = c * c;
    const double n0 = s.b2 * c2 + s.b1 * c + s.b0;
    const double n1 = 2.0 * (s.b0 - s.b2 * c2);
    const double n2 = s.b2 * c2 - s.b1 * c + s.b0;
    const double d0 = s.a2 * c2 + s.a1 * c + s.a0;
    const double d1 = 2.0 * (s.a0 - s.a2 * c2);
    const double d2 = s.a2 * c2 - s.a1 * c + s.a0;
    Biquad q;
    q.b0 = n0 / d0;
    q.b1 = n1 / d0;
    q.b2 = n2 / d0;
    q.a1 = d1 / d0;
    q.a2 = d2 / d0;
    return q;
}

Biquad highPass(double cornerHz, double rate) {
    const double w = 2.0 * kPi * cornerHz;
    return bilinear({0.0, 1.0, 0.0, 0.0, 1.0, w}, cornerHz, rate);
}

std::vector<Biquad> butterworthLowPass6(double cutoffHz, double rate) {
    const double w = 2.0 * kPi * cutoffHz;
    std::vector<Biquad> sections;
    // Pole pairs at angles (2k - 1) pi / 12 from the imaginary axis.
    for (int k = 1; k <= 3; ++k) {
        const double damping = std::sin((2 * k - 1) * kPi / 12.0);
        sections.push_back(bilinear({0.0, 0.0, w * w, 1.0, 2.0 * damping * w, w * w}, cutoffHz, rate));
    }
    return sections;
}

std::vector<Biquad> lampWeighting(const LampParameters& p, double rate) {
    // k w1 s / (s^2 + 2 lambda s + w1^2)
    const AnalogSection resonance{0.0, p.k * p.w1, 0.0, 1.0, 2.0 * p.lambda, p.w1 * p.w1};
    // (1 + s/w2) / (1 + s/w3)(1 + s/w4)
    const AnalogSection shaping{0.0, 1.0 / p.w2, 1.0, 1.0 / (p.w3 * p.w4), 1.0 / p.w3 + 1.0 / p.w4, 1.0};
    return {bilinear(resonance, kWeightingPrewarpHz, rate), bilinear(shaping, kWeightingPrewarpHz, rate)};
}

}  // namespace powergpu::flicker
