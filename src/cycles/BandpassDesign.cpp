#include "cycles/BandpassDesign.h"

#include <cmath>
#include <cstddef>

namespace powergpu::cycles {

namespace {

constexpr double kPi = 3.14159265358979323846;

// sin(pi x) / (pi x), 1 at 0.
double sinc(double x) {
    if (x == 0.0) {
        return 1.0;
    }
    const double y = kPi * x;
    return std::sin(y) / y;
}

// The ideal low-pass with cutoff fc, sampled at tap offset n.
double lowpass(double fc, double sampleRate, double n) {
    const double w = 2.0 * fc / sampleRate;
    return w * sinc(w * n);
}

// The Blackman window over taps points, at tap offset n from the centre
// (symmetric, so the taps stay symmetric to the last bit).
double blackman(double n, long long taps) {
    const double m = static_cast<double>(taps - 1);
    const double x = 2.0 * n / m;  // -1 .. 1
    return 0.42 + 0.5 * std::cos(kPi * x) + 0.08 * std::cos(2.0 * kPi * x);
}

}  // namespace

long long bandpassTapCount(double sampleRate, double nominalFrequency, double filterCycles) {
    long long taps = static_cast<long long>(std::nearbyint(filterCycles * sampleRate / nominalFrequency));
    if (taps % 2 == 0) {
        ++taps;
    }
    return taps < 5 ? 5 : taps;
}

std::vector<double> designBandpass(double sampleRate, double nominalFrequency, double filterCycles) {
    const long long taps = bandpassTapCount(sampleRate, nominalFrequency, filterCycles);
    const long long half = (taps - 1) / 2;
    std::vector<double> h(static_cast<std::size_t>(taps));
    for (long long k = 0; k < taps; ++k) {
        const double n = static_cast<double>(k - half);
        h[static_cast<std::size_t>(k)] =
            (lowpass(1.5 * nominalFrequency, sampleRate, n) - lowpass(0.5 * nominalFrequency, sampleRate, n)) *
            blackman(n, taps);
    }
    // The response at f0, about the centre tap: scaling by its magnitude
    // gives unit gain there.
    double re = 0.0;
    double im = 0.0;
    for (long long k = 0; k < taps; ++k) {
        const double phase = -2.0 * kPi * nominalFrequency / sampleRate * static_cast<double>(k - half);
        re += h[static_cast<std::size_t>(k)] * std::cos(phase);
        im += h[static_cast<std::size_t>(k)] * std::sin(phase);
    }
    const double gain = std::hypot(re, im);
    for (double& tap : h) {
        tap /= gain;
    }
    return h;
}

}  // namespace powergpu::cycles
