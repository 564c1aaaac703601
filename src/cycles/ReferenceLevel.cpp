#include "cycles/ReferenceLevel.h"

#include <algorithm>

namespace powergpu::cycles {

void ReferenceLevel::add(double amplitude) {
    recent_[next_] = amplitude;
    next_ = (next_ + 1) % kCycles;
    count_ = std::min(count_ + 1, kCycles);
    std::array<double, kCycles> sorted = recent_;
    auto* first = sorted.data();
    auto* middle = first + count_ / 2;
    std::nth_element(first, middle, first + count_);
    double median = *middle;
    if (count_ % 2 == 0) {
        // the mean of the two middle values; the lower one is the largest
        // of those below the upper
        median = (*std::max_element(first, middle) + median) / 2.0;
    }
    level_ = std::max(level_, median);
}

}  // namespace powergpu::cycles
