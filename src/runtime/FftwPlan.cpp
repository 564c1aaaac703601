#include "runtime/FftwPlan.h"

#include <mutex>
#include <stdexcept>

namespace powergpu {

std::mutex& fftwPlannerMutex() {
    static std::mutex mutex;
    return mutex;
}

namespace {

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
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    aligned_ = make(FFTW_ESTIMATE);
    if (aligned_ == nullptr) {
        throw std::runtime_error("FFTW could not plan the transform");
    }
}

FftwPlan::~FftwPlan() {
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    if (aligned_ != nullptr) {
        fftwf_destroy_plan(aligned_);
    }
    if (unaligned_ != nullptr) {
        fftwf_destroy_plan(unaligned_);
    }
}

fftwf_plan FftwPlan::make(unsigned flags) const {
    const FftPlanParameters& p = parameters_;
    const bool complexInput = p.type == kFftTypeC2C;
    const std::size_t inputValues = static_cast<std::size_t>(p.idist) * static_cast<std::size_t>(p.batch);
    const std::size_t outputPairs = static_cast<std::size_t>(p.odist) * static_cast<std::size_t>(p.batch);
    FftwArray input(inputValues * (complexInput ? sizeof(fftwf_complex) : sizeof(float)));
    FftwArray output(outputPairs * sizeof(fftwf_complex));
    int n = p.n;
    int inembed = p.inembed;
    int onembed = p.onembed;
    if (complexInput) {
        return fftwf_plan_many_dft(1, &n, p.batch, static_cast<fftwf_complex*>(input.data), &inembed, p.istride,
                                   p.idist, static_cast<fftwf_complex*>(output.data), &onembed, p.ostride, p.odist,
                                   FFTW_FORWARD, flags);
    }
    return fftwf_plan_many_dft_r2c(1, &n, p.batch, static_cast<float*>(input.data), &inembed, p.istride, p.idist,
                                   static_cast<fftwf_complex*>(output.data), &onembed, p.ostride, p.odist, flags);
}

fftwf_plan FftwPlan::planFor(float* input, float* output) {
    if (fftwf_alignment_of(input) == 0 && fftwf_alignment_of(output) == 0) {
        return aligned_;
    }
    if (unaligned_ == nullptr) {
        std::lock_guard<std::mutex> lock(fftwPlannerMutex());
        unaligned_ = make(FFTW_ESTIMATE | FFTW_UNALIGNED);
        if (unaligned_ == nullptr) {
            throw std::runtime_error("FFTW could not plan the transform");
        }
    }
    return unaligned_;
}

void FftwPlan::execute(float* input, float2* output) {
    fftwf_execute_dft_r2c(planFor(input, &output->x), input, reinterpret_cast<fftwf_complex*>(output));
}

void FftwPlan::execute(float2* input, float2* output) {
    fftwf_execute_dft(planFor(&input->x, &output->x), reinterpret_cast<fftwf_complex*>(input),
                      reinterpret_cast<fftwf_complex*>(output));
}

}  // namespace powergpu
