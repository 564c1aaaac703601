#include "runtime/cuda/CudaRuntime.h"

#include <cuda_runtime_api.h>
#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <vector>
// Types and prototypes only: the prototypes name the exact signatures of the
// functions resolved below. cuFFT is never linked at build time.
#include <cufft.h>

#include "kernels/cuda/CudaKernels.h"

namespace powergpu {
namespace {

// ---------------------------------------------------------------------------
// cuFFT, loaded at run time.

// Closes a library handle; a holder of it is the guard that keeps a library
// whose symbols turned out incomplete from staying loaded.
struct LibraryCloser {
    void operator()(void* library) const {
        if (library != nullptr) {
            dlclose(library);
        }
    }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// The cuFFT functions the backend calls, with the library that provides
// them. Either all are resolved or the set is empty and no library is held.
struct CufftApi {
    decltype(&::cufftCreate) create = nullptr;
    decltype(&::cufftMakePlanMany) makePlanMany = nullptr;
    decltype(&::cufftSetStream) setStream = nullptr;
    decltype(&::cufftExecR2C) execR2C = nullptr;
    decltype(&::cufftExecC2C) execC2C = nullptr;
    decltype(&::cufftDestroy) destroy = nullptr;
    std::string fileName;
    LibraryHandle library;

    bool loaded() const { return library != nullptr; }
};

template <typename Function>
bool resolve(void* library, const char* name, Function& function) {
    dlerror();
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        return false;
    }
    // POSIX guarantees that an object pointer from dlsym converts to the
    // function pointer it stands for.
    function = reinterpret_cast<Function>(symbol);
    return true;
}

// Loads the named library and resolves every function; on any failure the
// result holds nothing (the guard closes a half-usable library) and
// `failure` says why.
CufftApi openCufft(const std::string& fileName, std::string& failure) {
    CufftApi api;
    dlerror();
    LibraryHandle library(dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (library == nullptr) {
        const char* error = dlerror();
        failure = error != nullptr ? error : fileName + ": cannot be loaded";
        return api;
    }
    CufftApi candidate;
    const char* missing = nullptr;
    const auto need = [&](const char* name, auto& function) {
        if (missing == nullptr && !resolve(library.get(), name, function)) {
            missing = name;
        }
    };
    need("cufftCreate", candidate.create);
    need("cufftMakePlanMany", candidate.makePlanMany);
    need("cufftSetStream", candidate.setStream);
    need("cufftExecR2C", candidate.execR2C);
    need("cufftExecC2C", candidate.execC2C);
    need("cufftDestroy", candidate.destroy);
    if (missing != nullptr) {
        failure = fileName + ": no function " + missing;
        return api;
    }
    candidate.fileName = fileName;
    candidate.library = std::move(library);
    return candidate;
}

// The outcome of loading cuFFT for the process: the binding, or why every
// candidate failed.
struct CufftLoad {
    CufftApi api;
    std::vector<std::string> failures;  // one line per candidate tried, in order
};

// The process-wide binding, made once on first use (thread-safe static
// initialisation). The library stays loaded until the process ends or
// libpowergpu itself is unloaded, when the holder closes it.
const CufftLoad& cufftLoad() {
    static const CufftLoad load = [] {
        CufftLoad result;
        for (const std::string& name : detail::cufftLibraryCandidateList()) {
            std::string failure;
            CufftApi opened = openCufft(name, failure);
            if (opened.loaded()) {
                result.api = std::move(opened);
                return result;
            }
            result.failures.push_back(failure);
        }
        return result;
    }();
    return load;
}

const CufftApi& cufft() {
    return cufftLoad().api;
}

// ---------------------------------------------------------------------------
// Conversions between the seam's handles and the runtime's.

cudaStream_t toStream(StreamHandle stream) {
    return static_cast<cudaStream_t>(stream);
}
cudaEvent_t toEvent(EventHandle event) {
    return static_cast<cudaEvent_t>(event);
}

// A failed runtime call also becomes the thread's "last error". The seam
// reserves that slot for kernel launches (the pipeline asks for it right
// after each launch), so a call that has already reported its failure
// through its own return value clears it; otherwise a failed allocation
// that was handled would later be reported again as a failed launch.
// Sticky errors (a corrupted context) are not cleared by this and keep
// being reported by every call, as they must.
int reported(cudaError_t result) {
    if (result != cudaSuccess) {
        (void)cudaGetLastError();
    }
    return static_cast<int>(result);
}

// The seam's constants are the runtime's and cuFFT's own values.
constexpr bool same(int ours, int theirs) {
    return ours == theirs;
}
static_assert(same(static_cast<int>(MemcpyKind::HostToHost), cudaMemcpyHostToHost) &&
                  same(static_cast<int>(MemcpyKind::HostToDevice), cudaMemcpyHostToDevice) &&
                  same(static_cast<int>(MemcpyKind::DeviceToHost), cudaMemcpyDeviceToHost) &&
                  same(static_cast<int>(MemcpyKind::DeviceToDevice), cudaMemcpyDeviceToDevice),
              "memcpy kinds");
static_assert(same(kStreamNonBlocking, cudaStreamNonBlocking), "stream flags");
static_assert(same(kEventDisableTiming, cudaEventDisableTiming), "event flags");
static_assert(same(kFftTypeR2C, CUFFT_R2C) && same(kFftTypeC2C, CUFFT_C2C), "FFT type");
static_assert(same(kSuccess, cudaSuccess) && same(kErrorInvalidValue, cudaErrorInvalidValue) &&
                  same(kErrorMemoryAllocation, cudaErrorMemoryAllocation) &&
                  same(kErrorInitialization, cudaErrorInitializationError) && same(kErrorNoDevice, cudaErrorNoDevice) &&
                  same(kErrorInvalidResourceHandle, cudaErrorInvalidResourceHandle) &&
                  same(kErrorNotReady, cudaErrorNotReady) && same(kErrorLaunchFailure, cudaErrorLaunchFailure) &&
                  same(kErrorUnknown, cudaErrorUnknown),
              "runtime codes");
static_assert(same(kFftSuccess, CUFFT_SUCCESS) && same(kFftInvalidPlan, CUFFT_INVALID_PLAN) &&
                  same(kFftAllocFailed, CUFFT_ALLOC_FAILED) && same(kFftInvalidValue, CUFFT_INVALID_VALUE) &&
                  same(kFftInternalError, CUFFT_INTERNAL_ERROR) && same(kFftExecFailed, CUFFT_EXEC_FAILED) &&
                  same(kFftSetupFailed, CUFFT_SETUP_FAILED) && same(kFftInvalidSize, CUFFT_INVALID_SIZE),
              "FFT codes");
static_assert(sizeof(cufftHandle) == sizeof(FftHandle), "FFT handles");
static_assert(sizeof(cufftComplex) == sizeof(float2), "FFT output layout");

// ---------------------------------------------------------------------------

class CudaRuntime final : public Runtime {
public:
    explicit CudaRuntime(const CufftApi& fft) : fft_(fft) {}

    Backend backend() const override { return Backend::Cuda; }

    int malloc(void** pointer, std::size_t bytes) override { return reported(cudaMalloc(pointer, bytes)); }
    int free(void* pointer) override { return reported(cudaFree(pointer)); }
    int hostAlloc(void** pointer, std::size_t bytes, unsigned flags) override {
        return reported(cudaHostAlloc(pointer, bytes, flags));
    }
    int freeHost(void* pointer) override { return reported(cudaFreeHost(pointer)); }
    int memcpyAsync(void* destination, const void* source, std::size_t bytes, MemcpyKind kind,
                    StreamHandle stream) override {
        return reported(
            cudaMemcpyAsync(destination, source, bytes, static_cast<cudaMemcpyKind>(kind), toStream(stream)));
    }
    int memsetAsync(void* destination, int value, std::size_t bytes, StreamHandle stream) override {
        return reported(cudaMemsetAsync(destination, value, bytes, toStream(stream)));
    }

    int streamCreateWithFlags(StreamHandle* stream, unsigned flags) override {
        cudaStream_t created = nullptr;
        const int result = reported(cudaStreamCreateWithFlags(&created, flags));
        if (result == kSuccess) {
            *stream = created;
        }
        return result;
    }
    int streamDestroy(StreamHandle stream) override { return reported(cudaStreamDestroy(toStream(stream))); }
    int eventCreateWithFlags(EventHandle* event, unsigned flags) override {
        cudaEvent_t created = nullptr;
        const int result = reported(cudaEventCreateWithFlags(&created, flags));
        if (result == kSuccess) {
            *event = created;
        }
        return result;
    }
    int eventRecord(EventHandle event, StreamHandle stream) override {
        return reported(cudaEventRecord(toEvent(event), toStream(stream)));
    }
    int eventQuery(EventHandle event) override { return reported(cudaEventQuery(toEvent(event))); }
    int streamWaitEvent(StreamHandle stream, EventHandle event, unsigned flags) override {
        return reported(cudaStreamWaitEvent(toStream(stream), toEvent(event), flags));
    }
    int eventDestroy(EventHandle event) override { return reported(cudaEventDestroy(toEvent(event))); }
    int deviceSynchronize() override { return reported(cudaDeviceSynchronize()); }

    // The error of the last kernel launch on this thread, and success after
    // it has been read once. cudaPeekAtLastError would leave the error in
    // place, so one launch with a bad execution configuration (an error
    // that does not corrupt the context) would make the check after every
    // later launch of the module fail too; cudaGetLastError reports it once
    // and clears it. Errors that do corrupt the context are sticky and are
    // reported again whichever of the two is used.
    int takeLastLaunchError() override { return static_cast<int>(cudaGetLastError()); }

    const char* getErrorString(int code) const override { return cudaGetErrorString(static_cast<cudaError_t>(code)); }

    int fftCreate(FftHandle* plan) override {
        cufftHandle handle = 0;
        const cufftResult result = fft_.create(&handle);
        if (result == CUFFT_SUCCESS) {
            *plan = handle;
        }
        return static_cast<int>(result);
    }

    int fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) override {
        int n[1] = {parameters.n};
        int inembed[1] = {parameters.inembed};
        int onembed[1] = {parameters.onembed};
        std::size_t workSize = 0;
        // An embedding of 0 stands for "no embedding" (contiguous rows), as
        // a null array does for cuFFT.
        return static_cast<int>(
            fft_.makePlanMany(plan, 1, n, parameters.inembed != 0 ? inembed : nullptr, parameters.istride,
                              parameters.idist, parameters.onembed != 0 ? onembed : nullptr, parameters.ostride,
                              parameters.odist, static_cast<cufftType>(parameters.type), parameters.batch, &workSize));
    }

    int fftSetStream(FftHandle plan, StreamHandle stream) override {
        return static_cast<int>(fft_.setStream(plan, toStream(stream)));
    }

    int fftExecR2C(FftHandle plan, float* input, float2* output) override {
        return static_cast<int>(fft_.execR2C(plan, input, reinterpret_cast<cufftComplex*>(output)));
    }

    int fftExecC2C(FftHandle plan, float2* input, float2* output) override {
        return static_cast<int>(fft_.execC2C(plan, reinterpret_cast<cufftComplex*>(input),
                                             reinterpret_cast<cufftComplex*>(output), CUFFT_FORWARD));
    }

    int fftDestroy(FftHandle plan) override { return static_cast<int>(fft_.destroy(plan)); }

#define POWERGPU_DEFINE_LAUNCH(Name)                                     \
    void launch(const Launch& launch, const Name##Args& args) override { \
        cuda::launch##Name(launch, args);                                \
    }
    POWERGPU_KERNELS(POWERGPU_DEFINE_LAUNCH)
#undef POWERGPU_DEFINE_LAUNCH

private:
    const CufftApi& fft_;
};

// The device query: its status and, when it succeeded, the device count.
struct DeviceQuery {
    cudaError_t status = cudaSuccess;
    int count = 0;
};

DeviceQuery queryDevices() {
    DeviceQuery query;
    query.status = cudaGetDeviceCount(&query.count);
    if (query.status != cudaSuccess) {
        // No driver, an old driver or no device: nothing of this backend is
        // used, and the failed query must not linger as this thread's last
        // error.
        (void)cudaGetLastError();
        query.count = 0;
    }
    return query;
}

// "12.4" from the runtime's encoding 12040.
std::string cudaVersionText(int version) {
    return std::to_string(version / 1000) + "." + std::to_string((version % 1000) / 10);
}

// What the device query found, with the versions that decide whether the
// driver can serve the runtime this library carries (linked statically).
std::string deviceQueryReason(const DeviceQuery& query) {
    std::string reason = "no CUDA device: ";
    if (query.status != cudaSuccess) {
        reason += std::string("the device query failed with ") + cudaGetErrorName(query.status) + " (" +
                  cudaGetErrorString(query.status) + ")";
    } else {
        reason += "the device query found none";
    }
    int driver = 0;
    int runtime = 0;
    if (cudaDriverGetVersion(&driver) != cudaSuccess || driver == 0) {
        reason += "; no NVIDIA driver is loaded";
    } else {
        reason += "; the NVIDIA driver supports CUDA up to " + cudaVersionText(driver);
    }
    if (cudaRuntimeGetVersion(&runtime) == cudaSuccess) {
        reason += ", this library's CUDA runtime is " + cudaVersionText(runtime);
    }
    (void)cudaGetLastError();
    return reason;
}

std::string cufftReason(const CufftLoad& load) {
    std::string reason = "cuFFT could not be loaded (set ";
    reason += detail::kCufftLibraryVariable;
    reason += " to its path); tried";
    const char* separator = ": ";
    for (const std::string& failure : load.failures) {
        reason += separator + failure;
        separator = "; ";
    }
    return reason;
}

}  // namespace

bool isCudaRuntimeUsable() {
    // cuFFT is only loaded once the runtime has found a device, so a
    // machine without one never maps it.
    return queryDevices().count > 0 && cufft().loaded();
}

std::string cudaUnusableReason() {
    const DeviceQuery query = queryDevices();
    if (query.count == 0) {
        return deviceQueryReason(query);
    }
    const CufftLoad& load = cufftLoad();
    return load.api.loaded() ? std::string() : cufftReason(load);
}

std::unique_ptr<Runtime> createCudaRuntime() {
    if (!isCudaRuntimeUsable()) {
        return nullptr;
    }
    return std::make_unique<CudaRuntime>(cufft());
}

namespace detail {

std::vector<std::string> cufftLibraryCandidates(const char* explicitLibrary, const char* cudaHome) {
    if (explicitLibrary != nullptr && *explicitLibrary != '\0') {
        return {explicitLibrary};
    }
    // The header's own major version first: its ABI is the one the
    // prototypes above were taken from. The other majors whose functions
    // have the same signatures follow, newest first, then whatever the
    // unversioned development link points to.
    std::vector<std::string> names{"libcufft.so." + std::to_string(CUFFT_VER_MAJOR)};
    for (const int major : {12, 11}) {
        if (major != CUFFT_VER_MAJOR) {
            names.push_back("libcufft.so." + std::to_string(major));
        }
    }
    names.emplace_back("libcufft.so");
    const std::string toolkit = cudaHome != nullptr ? cudaHome : "";
    std::vector<std::string> candidates;
    for (const std::string& name : names) {
        candidates.push_back(name);  // the dynamic loader's search path
        if (!toolkit.empty()) {
            candidates.push_back(toolkit + "/lib64/" + name);
        }
    }
    return candidates;
}

const std::vector<std::string>& cufftLibraryCandidateList() {
    static const std::vector<std::string> list =
        cufftLibraryCandidates(std::getenv(kCufftLibraryVariable), std::getenv("CUDA_HOME"));
    return list;
}

bool cufftLibraryProvidesApi(const char* fileName) {
    if (fileName == nullptr) {
        return false;
    }
    std::string failure;
    return openCufft(fileName, failure).loaded();
}

const char* loadedCufftLibrary() {
    const CufftApi& api = cufft();
    return api.loaded() ? api.fileName.c_str() : nullptr;
}

}  // namespace detail

}  // namespace powergpu
