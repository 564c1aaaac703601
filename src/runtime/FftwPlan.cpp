#include "runtime/FftwPlan.h"

#include <mutex>
#include <stdexcept>

namespace powergpu {

namespace {

// FFTW's planner is not thread-safe (execution is): every planner call of
// the process goes through this one lock.
std::mutex& plannerMutex() {
    static std::mutex mutex;
    return mutex;
}

struct FftwArray {
    explicit FftwArray(std::size_t bytes) : data(fftwf_malloc(bytes == 0 ? 1 : bytes)) {
        if (data == nullptr) {
            throw std::bad_alloc();
        }
    }
    FftwArray(const FftwArray&) = delete;
    FftwArray& operator=(const FftwArray&) = delete;
    ~FftwArray() { fftwf_free(data); }
    void* data;
};

}  // namespace

FftwPlan::FftwPlan(const FftPlanParameters& parameters) : parameters_(parameters) {
    std::lock_guard<std::mutex> lock(plannerMutex());
    aligned_ = make(FFTW_ESTIMATE);
    if (aligned_ == nullptr) {
        throw std::runtime_error("FFTW could not plan the transform");
    }
}

FftwPlan::~FftwPlan() {
    std::lock_guard<std::mutex> lock(plannerMutex());
    if (aligned_ != nullptr) {
        fftwf_destroy_plan(aligned_);
    }
    if (unaligned_ != nullptr) {
        fftwf_destroy_plan(unaligned_);
    }
}

fftwf_plan FftwPlan::make(unsigned flags) const {
    const FftPlanParameters& p = parameters_;
    const std::size_t inputFloats = static_cast<std::size_t>(p.idist) * static_cast<std::size_t>(p.batch);
    const std::size_t outputPairs = static_cast<std::size_t>(p.odist) * static_cast<std::size_t>(p.batch);
    FftwArray input(inputFloats * sizeof(float));
    FftwArray output(outputPairs * sizeof(fftwf_complex));
    int n = p.n;
    int inembed = p.inembed;
    int onembed = p.onembed;
    return fftwf_plan_many_dft_r2c(1, &n, p.batch, static_cast<float*>(input.data), &inembed, p.istride, p.idist,
                                   static_cast<fftwf_complex*>(output.data), &onembed, p.ostride, p.odist, flags);
}

void FftwPlan::execute(float* input, float2* output) {
    auto* out = reinterpret_cast<fftwf_complex*>(output);
    if (fftwf_alignment_of(input) == 0 && fftwf_alignment_of(reinterpret_cast<float*>(out)) == 0) {
        fftwf_execute_dft_r2c(aligned_, input, out);
        return;
    }
    if (unaligned_ == nullptr) {
        std::lock_guard<std::mutex> lock(plannerMutex());
        unaligned_ = make(FFTW_ESTIMATE | FFTW_UNALIGNED);
        if (unaligned_ == nullptr) {
            throw std::runtime_error("FFTW could not plan the transform");
        }
    }
    fftwf_execute_dft_r2c(unaligned_, input, out);
}

}  // namespace powergpu
