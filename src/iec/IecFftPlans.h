// Batched real-to-complex plans of the grouped harmonic analysis, one per
// window length: the transform has the window's own length, so a window of
// a new length gets a plan when it is first scheduled. The most recently
// used 32 are kept: windows of whole measured periods vary in length with
// the frequency (10 periods at 10 kHz between 49.8 and 50.2 Hz are 17
// lengths); older plans are destroyed.
#pragma once

#include <cstddef>
#include <vector>

#include "runtime/Runtime.h"

namespace powergpu::iec {

class IecFftPlans {
public:
    explicit IecFftPlans(Runtime& runtime) : runtime_(runtime) {}
    IecFftPlans(const IecFftPlans&) = delete;
    IecFftPlans& operator=(const IecFftPlans&) = delete;
    ~IecFftPlans();

    // The plan transforming `batch` rows of `length` samples (rows `length`
    // apart, spectra length / 2 + 1 bins apart); throws GpuException when
    // it cannot be made, leaving no half-made plan behind.
    FftHandle planFor(int length, int batch);
    // Destroys every plan (failures are ignored: the handles are gone).
    void clear();

    static constexpr std::size_t kKeptPlans = 32;

private:
    struct Plan {
        FftHandle handle;
        int length;
        int batch;
    };
    Runtime& runtime_;
    std::vector<Plan> plans_;  // most recently used last
};

}  // namespace powergpu::iec
