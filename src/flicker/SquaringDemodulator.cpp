#include "flicker/SquaringDemodulator.h"

#include <algorithm>

namespace powergpu::flicker {

void SquaringDemodulator::configure(uint32_t decimation) {
    decimation_ = std::max<uint32_t>(decimation, 1);
    clear();
}

void SquaringDemodulator::clear() {
    position_ = 0;
    lanes_.fill(0.0);
}

std::size_t SquaringDemodulator::process(const float* samples, std::size_t count, double* out) {
    std::size_t produced = 0;
    std::size_t k = 0;
    const double scale = 1.0 / static_cast<double>(decimation_);
    while (k < count) {
        const std::size_t take = std::min<std::size_t>(count - k, decimation_ - position_);
        std::size_t i = 0;
        // Up to the next lane-0 position one by one, then whole rows of
        // eight (a loop that vectorises), then the tail.
        for (; i < take && ((position_ + i) & 7u) != 0; ++i) {
            const double x = samples[k + i];
            lanes_[(position_ + i) & 7u] += x * x;
        }
        double lanes[8];
        for (int l = 0; l < 8; ++l) {
            lanes[l] = lanes_[l];
        }
        for (; i + 8 <= take; i += 8) {
            const float* row = samples + k + i;
            for (int l = 0; l < 8; ++l) {
                const double x = row[l];
                lanes[l] += x * x;
            }
        }
        for (int l = 0; l < 8; ++l) {
            lanes_[l] = lanes[l];
        }
        for (; i < take; ++i) {
            const double x = samples[k + i];
            lanes_[(position_ + i) & 7u] += x * x;
        }
        k += take;
        position_ += static_cast<uint32_t>(take);
        if (position_ == decimation_) {
            const double sum = ((lanes_[0] + lanes_[1]) + (lanes_[2] + lanes_[3])) +
                               ((lanes_[4] + lanes_[5]) + (lanes_[6] + lanes_[7]));
            out[produced++] = sum * scale;
            lanes_.fill(0.0);
            position_ = 0;
        }
    }
    return produced;
}

}  // namespace powergpu::flicker
