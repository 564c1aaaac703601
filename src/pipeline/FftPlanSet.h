// One batched real-to-complex FFT plan per power-of-two length between the
// smallest and the largest FFT length of the settings: entry k transforms
// minFftLength * 2^k samples of every FFT channel in one execution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/Runtime.h"

namespace powergpu {

class FftPlanSet {
public:
    explicit FftPlanSet(Runtime& runtime) : runtime_(runtime) {}
    FftPlanSet(const FftPlanSet&) = delete;
    FftPlanSet& operator=(const FftPlanSet&) = delete;
    // Destroys what is left; failures cannot leave a destructor and are ignored.
    ~FftPlanSet();

    // Destroys every plan (throws GpuException on a failed destruction, the
    // plans not yet destroyed stay), then builds the plans for
    // minFftLength, 2 minFftLength, ... up to maxFftLength with `batch` rows.
    void rebuild(uint64_t minFftLength, uint64_t maxFftLength, int batch);
    void destroyAll();

    std::size_t size() const { return plans_.size(); }
    FftHandle operator[](std::size_t index) const { return plans_[index].handle; }
    int lengthAt(std::size_t index) const { return plans_[index].length; }
    int batchAt(std::size_t index) const { return plans_[index].batch; }
    // Whether entry `index` exists, was planned successfully and has this length.
    bool isUsable(std::size_t index, uint64_t fftLength) const;

private:
    struct Plan {
        FftHandle handle = 0;
        bool created = false;
        bool planned = false;
        int length = 0;
        int batch = 0;
    };
    Runtime& runtime_;
    std::vector<Plan> plans_;
};

}  // namespace powergpu
