#include "iec/IecFftPlans.h"

#include "buffers/ErrorChecks.h"

namespace powergpu::iec {

IecFftPlans::~IecFftPlans() {
    clear();
}

void IecFftPlans::clear() {
    for (const Plan& plan : plans_) {
        runtime_.fftDestroy(plan.handle);
    }
    plans_.clear();
}

FftHandle IecFftPlans::planFor(const int length, const int batch) {
    for (std::size_t index = 0; index < plans_.size(); ++index) {
        if (plans_[index].length == length && plans_[index].batch == batch) {
            const Plan used = plans_[index];
            plans_.erase(plans_.begin() + static_cast<std::ptrdiff_t>(index));
            plans_.push_back(used);
            return used.handle;
        }
    }
    if (plans_.size() >= kKeptPlans) {
        runtime_.fftDestroy(plans_.front().handle);
        plans_.erase(plans_.begin());
    }
    FftHandle handle = 0;
    CUFFT_CALL(runtime_, runtime_.fftCreate(&handle));
    FftPlanParameters parameters;
    parameters.n = length;
    parameters.inembed = length;
    parameters.istride = 1;
    parameters.idist = length;
    parameters.onembed = length / 2 + 1;
    parameters.ostride = 1;
    parameters.odist = length / 2 + 1;
    parameters.type = kFftTypeR2C;
    parameters.batch = batch;
    const int planned = runtime_.fftPlanMany(handle, parameters);
    if (planned != kFftSuccess) {
        runtime_.fftDestroy(handle);
        CUFFT_CALL(runtime_, planned);
    }
    plans_.push_back(Plan{handle, length, batch});
    return handle;
}

}  // namespace powergpu::iec
