// The cached Blackman windows of the CPU kernels.
#include <cstddef>

#include "kernels/KernelMath.h"
#include "kernels/cpu/CpuKernels.h"

namespace powergpu::cpu {

namespace {

// With a variable fundamental frequency nearly every window has its own
// length, so the cache is emptied before it grows past these bounds.
constexpr std::size_t kMaxCachedWindows = 64;
constexpr std::size_t kMaxCachedSamples = std::size_t{1} << 22;

}  // namespace

const std::vector<double>& CpuKernelContext::blackmanWindow(int n) {
    const auto found = windows_.find(n);
    if (found != windows_.end()) {
        return found->second;
    }
    const std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 0;
    std::size_t cachedSamples = length;
    for (const auto& entry : windows_) {
        cachedSamples += entry.second.size();
    }
    if (windows_.size() >= kMaxCachedWindows || cachedSamples > kMaxCachedSamples) {
        windows_.clear();
    }
    std::vector<double> window(length);
    for (int i = 0; i < n; ++i) {
        window[static_cast<std::size_t>(i)] = math::blackmanWindow(i, n);
    }
    return windows_.emplace(n, std::move(window)).first->second;
}

HarmonicScratch& CpuKernelContext::harmonicScratch(int binCount, int harmonicCount) {
    const auto grow = [](auto& values, int count) {
        if (values.size() < static_cast<std::size_t>(count)) {
            values.resize(static_cast<std::size_t>(count));
        }
    };
    grow(harmonicScratch_.plans, harmonicCount);
    grow(harmonicScratch_.groupFirst, 2 * harmonicCount);
    grow(harmonicScratch_.groupCount, 2 * harmonicCount);
    grow(harmonicScratch_.powers, binCount);
    grow(harmonicScratch_.sums, 2 * harmonicCount);
    grow(harmonicScratch_.norms, 2 * harmonicCount);
    grow(harmonicScratch_.angleOrders, harmonicCount);
    grow(harmonicScratch_.centreBins, harmonicCount);
    grow(harmonicScratch_.fracs, harmonicCount);
    grow(harmonicScratch_.angles, harmonicCount);
    return harmonicScratch_;
}

}  // namespace powergpu::cpu
