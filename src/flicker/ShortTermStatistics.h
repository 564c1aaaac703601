// Block 5 of the flickermeter: the cumulative probability of Pinst over an
// interval and the short-term severity Pst from its percentiles
//   Pst = sqrt(0.0314 P0.1 + 0.0525 P1s + 0.0657 P3s + 0.28 P10s + 0.08 P50s)
// with P1s = (P0.7 + P1 + P1.5) / 3, P3s = (P2.2 + P3 + P4) / 3,
// P10s = (P6 + P8 + P10 + P13 + P17) / 5, P50s = (P30 + P50 + P80) / 3,
// where Px is the level Pinst exceeds during x % of the interval.
//
// Pinst values are counted in 4096 logarithmic classes from 1e-6 to 1e6
// (0.68 % wide each; below: one class read as 0, above: one class read up
// to the largest value seen). A percentile is interpolated inside its class
// as if the values were spread evenly over the logarithm, so its error is
// far below the class width.
#pragma once

#include <cstdint>
#include <vector>

namespace powergpu::flicker {

struct ShortTermSeverity {
    double pst = 0.0;
    double p01 = 0.0;
    double p1s = 0.0;
    double p3s = 0.0;
    double p10s = 0.0;
    double p50s = 0.0;
};

class ShortTermStatistics {
public:
    static constexpr int kClasses = 4096;
    static constexpr double kLowestLog10 = -6.0;
    static constexpr double kHighestLog10 = 6.0;

    ShortTermStatistics();
    void clear();
    void add(double pinst);
    uint64_t count() const { return count_; }
    // The level exceeded by `percent` % of the values (0 with no values).
    double percentile(double percent) const;
    ShortTermSeverity evaluate() const;

private:
    // Class 0 below the range, 1..kClasses inside, kClasses + 1 above.
    std::vector<uint32_t> counts_;
    uint64_t count_ = 0;
    double largest_ = 0.0;
};

}  // namespace powergpu::flicker
