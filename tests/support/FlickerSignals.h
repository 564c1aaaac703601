// Test signals for the flickermeter: modulated sines written through a
// module's rings, and the records the meters hand out.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "powergpu.hpp"

namespace flickertest {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 1600.0;

// Relative envelope of a channel at time t (seconds since running index 0).
using Envelope = std::function<double(double)>;

// Rectangular modulation: changes per minute, relative peak-to-peak change;
// the changes fall on whole multiples of 60 / changesPerMinute seconds.
Envelope rectangular(double changesPerMinute, double relativeChange);
// Sinusoidal modulation with the relative peak-to-peak change given.
Envelope sinusoidal(double hz, double relativeChange);
Envelope steady();

struct Signal {
    double supply = 50.0;
    int32_t lamp = POWER_FLICKER_LAMP_230V;
    uint64_t intervalStart = 0;
    double seconds = 60.0;
    double rate = kRate;
    uint32_t block = 4000;
    // Grid of the module; by default single-phase for one envelope, a
    // three-phase star otherwise.
    int grid = -1;
    int32_t backend = POWER_BACKEND_CPU;
};

struct Measured {
    std::vector<std::vector<PowerFlickerPst>> pst;
    std::vector<std::vector<PowerFlickerPinst>> pinst;
};

// A CPU module with flickermeters, written to through its rings: 230 V
// sines (120 V for the 120 V lamp), one envelope per measured voltage.
class FlickerRig {
public:
    FlickerRig(const Signal& signal, std::vector<Envelope> envelopes);
    PowerModule& module() { return module_; }
    // Writes the samples up to time `seconds`, fetching records as it goes.
    void writeUntil(double seconds);
    void skip(uint32_t count);
    // Fetches whatever records wait.
    void collect();
    const Measured& measured() const { return measured_; }
    uint64_t next() const { return next_; }

private:
    Signal signal_;
    std::vector<Envelope> envelopes_;
    PowerModule module_;
    std::vector<float*> rings_;
    uint32_t ring_ = 0;
    uint64_t next_ = 0;
    Measured measured_;
};

// The records of `signal.seconds` of the envelopes.
Measured measure(const Signal& signal, const std::vector<Envelope>& envelopes);
// The Pst of the first complete interval of every channel (NaN if none).
std::vector<double> completePst(const Measured& m);
// The largest Pinst of each channel in blocks starting from time `from` on.
std::vector<double> largestPinst(const Measured& m, double from, double rate = kRate);

}  // namespace flickertest
