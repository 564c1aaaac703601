#include "pipeline/FftPlanSet.h"

#include "buffers/ErrorChecks.h"

namespace powergpu {

FftPlanSet::~FftPlanSet() {
    for (const Plan& plan : plans_) {
        if (plan.created) {
            runtime_.fftDestroy(plan.handle);
        }
    }
}

void FftPlanSet::destroyAll() {
    // Entries leave the vector as they are destroyed, so a failure part way
    // leaves exactly the plans that still exist.
    while (!plans_.empty()) {
        const Plan plan = plans_.front();
        plans_.erase(plans_.begin());
        if (plan.created) {
            try {
                CUFFT_CALL(runtime_, runtime_.fftDestroy(plan.handle));
            } catch (...) {
                plans_.insert(plans_.begin(), plan);
                throw;
            }
        }
    }
}

void FftPlanSet::rebuild(uint64_t minFftLength, uint64_t maxFftLength, int batch) {
    destroyAll();
    auto n = static_cast<uint32_t>(minFftLength);
    const auto widened = [](uint32_t value) { return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value))); };
    if (widened(n) > maxFftLength) {
        return;
    }
    for (;;) {
        plans_.push_back(Plan{0, false, false, static_cast<int>(n), batch});
        Plan& plan = plans_.back();
        CUFFT_CALL(runtime_, runtime_.fftCreate(&plan.handle));
        plan.created = true;
        FftPlanParameters parameters;
        parameters.n = static_cast<int>(n);
        parameters.inembed = static_cast<int>(n);
        parameters.istride = 1;
        parameters.idist = static_cast<int>(n);
        parameters.onembed = static_cast<int>(n / 2 + 1);
        parameters.ostride = 1;
        parameters.odist = static_cast<int>(n / 2 + 1);
        parameters.type = kFftTypeR2C;
        parameters.batch = batch;
        CUFFT_CALL(runtime_, runtime_.fftPlanMany(plan.handle, parameters));
        plan.planned = true;
        n = n * 2u;
        if (widened(n) > maxFftLength) {
            return;
        }
    }
}

bool FftPlanSet::isUsable(std::size_t index, uint64_t fftLength) const {
    return index < plans_.size() && plans_[index].planned &&
           static_cast<uint64_t>(plans_[index].length) == fftLength;
}

}  // namespace powergpu
