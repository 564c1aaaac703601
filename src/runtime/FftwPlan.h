// A batched single-precision FFTW plan with the layout of the GPU plans:
// real-to-complex (row c of the input at c * idist, its n / 2 + 1 outputs
// at c * odist) or forward complex-to-complex (n outputs per row), as the
// parameters' type says. Plans are made for aligned arrays; arrays at other alignments
// (spectra written at arbitrary ring positions) use a second plan made for
// unaligned data on first need.
#pragma once

#include <fftw3.h>

#include <memory>
#include <mutex>

#include "runtime/Runtime.h"

namespace powergpu {

// FFTW's planner is not thread-safe (execution is): every planner call of
// the process (making and destroying plans) goes through this one lock.
std::mutex& fftwPlannerMutex();

class FftwPlan {
public:
    // Throws std::runtime_error when FFTW cannot plan these parameters.
    explicit FftwPlan(const FftPlanParameters& parameters);
    FftwPlan(const FftwPlan&) = delete;
    FftwPlan& operator=(const FftwPlan&) = delete;
    ~FftwPlan();

    // Real-to-complex plans.
    void execute(float* input, float2* output);
    // Complex-to-complex plans (input and output distinct).
    void execute(float2* input, float2* output);
    const FftPlanParameters& parameters() const { return parameters_; }

private:
    fftwf_plan make(unsigned flags) const;
    // The aligned plan when both arrays are aligned, else the unaligned one
    // (made on first need).
    fftwf_plan planFor(float* input, float* output);

    FftPlanParameters parameters_;
    fftwf_plan aligned_ = nullptr;
    fftwf_plan unaligned_ = nullptr;
};

}  // namespace powergpu
