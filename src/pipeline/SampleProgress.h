// The running sample indices of a module: how far the caller has written,
// how far windows have been scheduled and delivered, and the oldest sample
// the rings still hold. The window scheduler moves them; the period engine
// reads them.
#pragma once

#include <atomic>
#include <cstdint>

namespace powergpu {

struct SampleProgress {
    std::atomic<uint64_t> samplesWritten{0};
    std::atomic<uint64_t> nextSampleToCalculate{0};
    std::atomic<uint64_t> nextSampleToDeliver{0};
    // Samples written before a rebuild that replaced the rings are gone.
    std::atomic<uint64_t> firstAvailableSample{0};

    // Every index at `first`: after a reset, nothing is written or pending.
    void restartAt(uint64_t first) {
        samplesWritten.store(first);
        nextSampleToCalculate.store(first);
        nextSampleToDeliver.store(first);
        firstAvailableSample.store(first);
    }
};

}  // namespace powergpu
