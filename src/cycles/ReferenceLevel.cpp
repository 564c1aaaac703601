#include "cycles/ReferenceLevel.h"

#include <algorithm>

namespace powergpu::cycles {

// The window is kept sorted by moving one value out and one in (about 50
// moves a cycle rather than a selection over all 50).
void ReferenceLevel::add(double amplitude) {
    double* first = sorted_.data();
    if (count_ == kCycles) {
        double* oldest = std::lower_bound(first, first + count_, recent_[next_]);
        std::copy(oldest + 1, first + count_, oldest);
        --count_;
    }
    double* place = std::upper_bound(first, first + count_, amplitude);
    std::copy_backward(place, first + count_, first + count_ + 1);
    *place = amplitude;
    ++count_;
    recent_[next_] = amplitude;
    next_ = (next_ + 1) % kCycles;
    const std::size_t middle = count_ / 2;
    const double median = count_ % 2 == 1 ? sorted_[middle] : (sorted_[middle - 1] + sorted_[middle]) / 2.0;
    level_ = std::max(level_, median);
}

}  // namespace powergpu::cycles
