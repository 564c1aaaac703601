// One second-order IIR section in transposed direct form II, in double.
// The flickermeter's filters are cascades of these, designed in the
// s-domain and mapped by FilterDesign.
#pragma once

#include <complex>

namespace powergpu::flicker {

struct Biquad {
    // H(z) = (b0 + b1 z^-1 + b2 z^-2) / (1 + a1 z^-1 + a2 z^-2)
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
    double s1 = 0.0;
    double s2 = 0.0;

    double process(double x) {
        const double y = b0 * x + s1;
        s1 = b1 * x - a1 * y + s2;
        s2 = b2 * x - a2 * y;
        return y;
    }
    // Gain at DC.
    double dcGain() const { return (b0 + b1 + b2) / (1.0 + a1 + a2); }
    // The state of a section that has seen the constant x for ever, so that
    // a meter starting on a steady supply starts without a transient.
    // Returns the section's output for x.
    double settle(double x) {
        const double y = dcGain() * x;
        s1 = y - b0 * x;
        s2 = b2 * x - a2 * y;
        return y;
    }
    void clear() { s1 = s2 = 0.0; }
    // Complex response at frequency f (Hz) for sample rate rate (Hz).
    std::complex<double> response(double f, double rate) const;
};

}  // namespace powergpu::flicker
