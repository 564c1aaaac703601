#include "iec/IecFftPlans.h"

#include <algorithm>

#include "buffers/ErrorChecks.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "IecHarmonicAnalysis";

namespace powergpu::iec {

namespace {

// Moves element `index` to the back (most recently used) and returns it.
template <typename T>
T& touch(std::vector<T>& items, std::size_t index) {
    std::rotate(items.begin() + static_cast<std::ptrdiff_t>(index),
                items.begin() + static_cast<std::ptrdiff_t>(index) + 1, items.end());
    return items.back();
}

}  // namespace

IecFftPlans::~IecFftPlans() {
    clear();
}

void IecFftPlans::clear() {
    for (const Plan& plan : plans_) {
        runtime_.fftDestroy(plan.handle);
    }
    plans_.clear();
    tables_.clear();
}

FftHandle IecFftPlans::planFor(const int length, const int batch) {
    return cachedPlan(kFftTypeR2C, length, batch);
}

FftHandle IecFftPlans::complexPlanFor(const int length, const int batch) {
    return cachedPlan(kFftTypeC2C, length, batch);
}

FftHandle IecFftPlans::cachedPlan(const int type, const int length, const int batch) {
    for (std::size_t index = 0; index < plans_.size(); ++index) {
        const Plan& plan = plans_[index];
        if (plan.type == type && plan.length == length && plan.batch == batch) {
            return touch(plans_, index).handle;
        }
    }
    if (plans_.size() >= kKeptPlans) {
        runtime_.fftDestroy(plans_.front().handle);
        plans_.erase(plans_.begin());
    }
    FftHandle handle = 0;
    CUFFT_CALL(runtime_, runtime_.fftCreate(&handle));
    const bool real = type == kFftTypeR2C;
    FftPlanParameters parameters;
    parameters.n = length;
    parameters.inembed = length;
    parameters.istride = 1;
    parameters.idist = length;
    parameters.onembed = real ? length / 2 + 1 : length;
    parameters.ostride = 1;
    parameters.odist = parameters.onembed;
    parameters.type = type;
    parameters.batch = batch;
    const int planned = runtime_.fftPlanMany(handle, parameters);
    if (planned != kFftSuccess) {
        runtime_.fftDestroy(handle);
        CUFFT_CALL(runtime_, planned);
    }
    plans_.push_back(Plan{handle, type, length, batch});
    return handle;
}

const ChirpTables& IecFftPlans::chirpTablesFor(const int length, const int paddedLength, float2* const scratch,
                                               const StreamHandle stream) {
    for (std::size_t index = 0; index < tables_.size(); ++index) {
        if (tables_[index]->length == length && tables_[index]->paddedLength == paddedLength) {
            return *touch(tables_, index);
        }
    }
    if (tables_.size() >= kKeptPlans) {
        tables_.erase(tables_.begin());
    }
    auto tables = std::make_unique<ChirpTables>(runtime_, length, paddedLength);
    tables->chirp.resize(static_cast<std::size_t>(length));
    tables->filterSpectrum.resize(static_cast<std::size_t>(paddedLength));
    // Computed once per length, so a simple launch configuration suffices.
    Launch launch;
    launch.grid = Dim3{static_cast<unsigned>((paddedLength + 255) / 256), 1, 1};
    launch.block = Dim3{256, 1, 1};
    launch.stream = stream;
    runtime_.launch(launch, ChirpSetupArgs{length, paddedLength, tables->chirp.data(), scratch});
    CUDA_CALL(runtime_, runtime_.takeLastLaunchError());
    const FftHandle plan = complexPlanFor(paddedLength, 1);
    CUFFT_CALL(runtime_, runtime_.fftSetStream(plan, stream));
    CUFFT_CALL(runtime_, runtime_.fftExecC2C(plan, scratch, tables->filterSpectrum.data()));
    tables_.push_back(std::move(tables));
    return *tables_.back();
}

}  // namespace powergpu::iec
