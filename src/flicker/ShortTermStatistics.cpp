#include "flicker/ShortTermStatistics.h"

#include <algorithm>
#include <cmath>

namespace powergpu::flicker {

namespace {

constexpr double kClassesPerLog10 =
    ShortTermStatistics::kClasses / (ShortTermStatistics::kHighestLog10 - ShortTermStatistics::kLowestLog10);

// The lower edge of class c (1..kClasses + 1).
double classEdge(int c) {
    return std::pow(10.0, ShortTermStatistics::kLowestLog10 + (c - 1) / kClassesPerLog10);
}

}  // namespace

ShortTermStatistics::ShortTermStatistics() : counts_(kClasses + 2, 0) {}

void ShortTermStatistics::clear() {
    std::fill(counts_.begin(), counts_.end(), 0u);
    count_ = 0;
    largest_ = 0.0;
}

void ShortTermStatistics::add(double pinst) {
    int c = 0;
    if (pinst >= 1e-6) {  // the lower edge of class 1
        const double position = (std::log10(pinst) - kLowestLog10) * kClassesPerLog10;
        c = position >= kClasses ? kClasses + 1 : 1 + static_cast<int>(position);
    }
    ++counts_[static_cast<std::size_t>(c)];
    ++count_;
    largest_ = std::max(largest_, pinst);
}

double ShortTermStatistics::percentile(double percent) const {
    if (count_ == 0) {
        return 0.0;
    }
    const double target = percent / 100.0 * static_cast<double>(count_);
    double above = 0.0;
    for (int c = kClasses + 1; c >= 0; --c) {
        const double n = counts_[static_cast<std::size_t>(c)];
        if (n > 0.0 && above + n >= target) {
            if (c == 0) {
                return 0.0;
            }
            const double fraction = (target - above) / n;
            const double lower = std::log10(classEdge(c));
            const double upper =
                c == kClasses + 1 ? std::log10(std::max(largest_, classEdge(c))) : std::log10(classEdge(c + 1));
            // The largest value seen bounds the top class that holds it.
            const double top = std::min(upper, std::log10(std::max(largest_, classEdge(c))));
            return std::pow(10.0, top - fraction * (top - lower));
        }
        above += n;
    }
    return 0.0;
}

ShortTermSeverity ShortTermStatistics::evaluate() const {
    ShortTermSeverity s;
    const auto p = [this](double x) { return percentile(x); };
    s.p01 = p(0.1);
    s.p1s = (p(0.7) + p(1.0) + p(1.5)) / 3.0;
    s.p3s = (p(2.2) + p(3.0) + p(4.0)) / 3.0;
    s.p10s = (p(6.0) + p(8.0) + p(10.0) + p(13.0) + p(17.0)) / 5.0;
    s.p50s = (p(30.0) + p(50.0) + p(80.0)) / 3.0;
    s.pst = std::sqrt(0.0314 * s.p01 + 0.0525 * s.p1s + 0.0657 * s.p3s + 0.28 * s.p10s + 0.08 * s.p50s);
    return s;
}

}  // namespace powergpu::flicker
