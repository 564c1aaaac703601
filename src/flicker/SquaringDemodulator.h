// Block 2 of the flickermeter with the decimation: squares the input samples
// and averages the squares of every `decimation` consecutive samples into
// one demodulated value. The average is the anti-alias filter of the
// decimation: its zeros sit on the multiples of the internal rate, where
// everything that would fold into the flicker band lies, and it changes the
// weighting band by less than 0.1 %.
//
// The squares (exact in double for float samples) are summed in eight
// lanes chosen by the sample's position inside its block, so the value does
// not depend on how the samples were split into calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace powergpu::flicker {

class SquaringDemodulator {
public:
    void configure(uint32_t decimation);
    void clear();
    // Takes count samples; writes one value per completed block to out
    // (room for count / decimation + 1 values) and returns how many.
    std::size_t process(const float* samples, std::size_t count, double* out);

private:
    uint32_t decimation_ = 1;
    uint32_t position_ = 0;
    std::array<double, 8> lanes_{};
};

}  // namespace powergpu::flicker
