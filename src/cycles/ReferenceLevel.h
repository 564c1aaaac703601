// The level a detector learns from the signal when no nominal rms is given.
#pragma once

#include <array>
#include <cstddef>

namespace powergpu::cycles {

// The largest median so far of the amplitudes of the last 50 cycles of
// valid length (0 before the first). A median ignores the few cycles of a
// dip or a swell; keeping the largest one lets a long dip not lower the
// level it is measured against.
class ReferenceLevel {
public:
    static constexpr std::size_t kCycles = 50;

    void add(double amplitude);
    double level() const { return level_; }

private:
    std::array<double, kCycles> recent_{};  // in arrival order, a ring
    std::array<double, kCycles> sorted_{};  // the same, ascending
    std::size_t count_ = 0;                 // amplitudes held (up to kCycles)
    std::size_t next_ = 0;                  // where the next one goes in recent_
    double level_ = 0.0;
};

}  // namespace powergpu::cycles
