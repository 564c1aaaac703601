#include "runtime/CpuRuntime.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <type_traits>

namespace powergpu {

namespace {

constexpr std::size_t kAlignment = 64;

void* alignedAllocate(std::size_t bytes) {
    const std::size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    return std::aligned_alloc(kAlignment, rounded == 0 ? kAlignment : rounded);
}

}  // namespace

CpuRuntime::CpuRuntime() = default;

CpuRuntime::~CpuRuntime() {
    // Whatever a caller failed to release goes with the runtime.
    for (auto& entry : deviceAllocations_) {
        std::free(entry.first);
    }
    for (auto& entry : hostAllocations_) {
        std::free(entry.first);
    }
}

// -------------------------------------------------------------------- memory

int CpuRuntime::allocate(void** pointer, std::size_t bytes, std::unordered_map<void*, std::size_t>& live) {
    void* memory = alignedAllocate(bytes);
    if (memory == nullptr) {
        return kErrorMemoryAllocation;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    live.emplace(memory, bytes);
    *pointer = memory;
    return kSuccess;
}

int CpuRuntime::release(void* pointer, std::unordered_map<void*, std::size_t>& live) {
    if (pointer == nullptr) {
        return kSuccess;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = live.find(pointer);
    if (found == live.end()) {
        return kErrorInvalidValue;
    }
    live.erase(found);
    std::free(pointer);
    return kSuccess;
}

int CpuRuntime::malloc(void** pointer, std::size_t bytes) {
    return allocate(pointer, bytes, deviceAllocations_);
}

int CpuRuntime::free(void* pointer) {
    return release(pointer, deviceAllocations_);
}

int CpuRuntime::hostAlloc(void** pointer, std::size_t bytes, unsigned /*flags*/) {
    return allocate(pointer, bytes, hostAllocations_);
}

int CpuRuntime::freeHost(void* pointer) {
    return release(pointer, hostAllocations_);
}

int CpuRuntime::memcpyAsync(void* destination, const void* source, std::size_t bytes, MemcpyKind /*kind*/,
                            StreamHandle /*stream*/) {
    if (bytes > 0) {
        std::memmove(destination, source, bytes);
    }
    return kSuccess;
}

int CpuRuntime::memsetAsync(void* destination, int value, std::size_t bytes, StreamHandle /*stream*/) {
    if (bytes > 0) {
        std::memset(destination, value, bytes);
    }
    return kSuccess;
}

// ------------------------------------------------- streams, events, device

int CpuRuntime::streamCreateWithFlags(StreamHandle* stream, unsigned flags) {
    auto created = std::make_unique<Stream>();
    created->flags = flags;
    Stream* handle = created.get();
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.emplace(handle, std::move(created));
    *stream = handle;
    return kSuccess;
}

int CpuRuntime::streamDestroy(StreamHandle stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_.erase(static_cast<Stream*>(stream)) == 1 ? kSuccess : kErrorInvalidResourceHandle;
}

int CpuRuntime::eventCreateWithFlags(EventHandle* event, unsigned /*flags*/) {
    auto created = std::make_unique<Event>();
    Event* handle = created.get();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.emplace(handle, std::move(created));
    *event = handle;
    return kSuccess;
}

int CpuRuntime::eventRecord(EventHandle event, StreamHandle stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = events_.find(static_cast<Event*>(event));
    if (found == events_.end()) {
        return kErrorInvalidResourceHandle;
    }
    // Work enqueued before the record is already done on this backend.
    found->second->stream = stream;
    found->second->recorded.store(true, std::memory_order_release);
    return kSuccess;
}

int CpuRuntime::eventQuery(EventHandle event) {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.count(static_cast<Event*>(event)) == 1 ? kSuccess : kErrorInvalidResourceHandle;
}

int CpuRuntime::streamWaitEvent(StreamHandle stream, EventHandle event, unsigned /*flags*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool known =
        events_.count(static_cast<Event*>(event)) == 1 && streams_.count(static_cast<Stream*>(stream)) == 1;
    return known ? kSuccess : kErrorInvalidResourceHandle;
}

int CpuRuntime::eventDestroy(EventHandle event) {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.erase(static_cast<Event*>(event)) == 1 ? kSuccess : kErrorInvalidResourceHandle;
}

int CpuRuntime::deviceSynchronize() {
    return kSuccess;  // every stream's work is done when it is enqueued
}

int CpuRuntime::takeLastLaunchError() {
    return kSuccess;  // a loop cannot fail to launch
}

const char* CpuRuntime::getErrorString(int code) const {
    switch (code) {
        case kSuccess:
            return "no error";
        case kErrorInvalidValue:
            return "invalid argument";
        case kErrorMemoryAllocation:
            return "out of memory";
        case kErrorInitialization:
            return "initialization error";
        case kErrorNoDevice:
            return "no CUDA-capable device is detected";
        case kErrorInvalidResourceHandle:
            return "invalid resource handle";
        case kErrorNotReady:
            return "device not ready";
        case kErrorLaunchFailure:
            return "unspecified launch failure";
        case kErrorUnknown:
            return "unknown error";
        default:
            return "unrecognized error code";
    }
}

// ----------------------------------------------------------------------- FFT

int CpuRuntime::fftCreate(FftHandle* plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    *plan = nextPlan_++;
    plans_.emplace(*plan, Plan{});
    return kFftSuccess;
}

int CpuRuntime::fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) {
    if (parameters.type != kFftTypeR2C && parameters.type != kFftTypeC2C) {
        return 3;  // cuFFT's invalid type
    }
    if (parameters.n < 1 || parameters.batch < 1) {
        return kFftInvalidSize;
    }
    try {
        auto fftw = std::make_unique<FftwPlan>(parameters);
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = plans_.find(plan);
        if (found == plans_.end()) {
            return kFftInvalidPlan;
        }
        found->second.fftw = std::move(fftw);
        return kFftSuccess;
    } catch (const std::bad_alloc&) {
        return kFftAllocFailed;
    } catch (const std::exception&) {
        return kFftSetupFailed;
    }
}

int CpuRuntime::fftSetStream(FftHandle plan, StreamHandle stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = plans_.find(plan);
    if (found == plans_.end()) {
        return kFftInvalidPlan;
    }
    found->second.stream = stream;
    return kFftSuccess;
}

FftwPlan* CpuRuntime::findPlan(FftHandle plan) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = plans_.find(plan);
    return found == plans_.end() ? nullptr : found->second.fftw.get();
}

namespace {

// Executes a plan of the expected type; FFTW's failures surface as cuFFT's.
template <typename Input>
int executePlan(FftwPlan* fftw, int type, Input* input, float2* output) {
    if (fftw == nullptr || fftw->parameters().type != type) {
        return kFftInvalidPlan;
    }
    try {
        fftw->execute(input, output);
    } catch (const std::exception&) {
        return kFftExecFailed;
    }
    return kFftSuccess;
}

}  // namespace

int CpuRuntime::fftExecR2C(FftHandle plan, float* input, float2* output) {
    return executePlan(findPlan(plan), kFftTypeR2C, input, output);
}

int CpuRuntime::fftExecC2C(FftHandle plan, float2* input, float2* output) {
    return executePlan(findPlan(plan), kFftTypeC2C, input, output);
}

int CpuRuntime::fftDestroy(FftHandle plan) {
    std::unique_ptr<FftwPlan> released;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = plans_.find(plan);
    if (found == plans_.end()) {
        return kFftInvalidPlan;
    }
    released = std::move(found->second.fftw);
    plans_.erase(found);
    return kFftSuccess;
}

// ------------------------------------------------------------------- kernels

namespace {

// The kernels that keep scratch space between launches take the runtime's
// context first; the others take only the launch and the record. The
// kernel comes as a generic lambda whose return type names the call, so
// that the test below sees which form the kernel has.
template <typename Kernel, typename Args>
void runKernel(cpu::CpuKernelContext& context, const Launch& launch, const Args& args, Kernel&& kernel) {
    if constexpr (std::is_invocable_v<Kernel, cpu::CpuKernelContext&, const Launch&, const Args&>) {
        kernel(context, launch, args);
    } else {
        kernel(launch, args);
    }
}

}  // namespace

#define POWERGPU_DEFINE_LAUNCH(Name)                                                                  \
    void CpuRuntime::launch(const Launch& launch, const Name##Args& args) {                           \
        runKernel(kernelContext_, launch, args,                                                       \
                  [](auto&&... a) -> decltype(cpu::kernel##Name(a...)) { cpu::kernel##Name(a...); }); \
    }
POWERGPU_KERNELS(POWERGPU_DEFINE_LAUNCH)
#undef POWERGPU_DEFINE_LAUNCH

}  // namespace powergpu
