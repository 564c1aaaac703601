// Writes synthetic signals into a module's input rings the way a caller
// does: through the ring pointers, at the running index samplesWritten,
// wrapping at the ring end, then announcing them with writeSamples.
#pragma once

#include <cstdint>
#include <functional>

#include "powergpu.hpp"

namespace powergpu::test {

// Value of an input channel at a time: kind 'U' (measured voltage channel,
// phase or line-to-line by grid type), 'I' (measured current) or 'A'
// (mechanical angle, radians); channel counted from 0.
using SignalFunction = std::function<double(char kind, int channel, double seconds)>;

class ModuleFeeder {
public:
    ModuleFeeder(PowerModule& module, SignalFunction signal) : module_(module), signal_(std::move(signal)) {}

    // Writes `count` samples of every input channel and announces them.
    void write(uint32_t count);
    // Writes `total` samples in blocks of at most `block`.
    void writeAll(uint64_t total, uint32_t block);
    uint64_t written() const { return written_; }
    // Running index of the next sample to write; set after a reset.
    void restartAt(uint64_t runningIndex) { written_ = runningIndex; }

private:
    PowerModule& module_;
    SignalFunction signal_;
    uint64_t written_ = 0;
};

// The amplitude of a sine of the given rms value.
inline double peak(double rms) { return rms * 1.4142135623730951; }

}  // namespace powergpu::test
