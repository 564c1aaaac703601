// The runtime seam: the narrow set of GPU runtime and FFT calls the
// pipeline makes, plus the launches of its kernels (the seventeen of the
// general results and the grouped harmonic analysis of src/iec).
//
// The pipeline is written once against this interface. CudaRuntime maps it
// onto the CUDA runtime and cuFFT; CpuRuntime runs everything on the
// caller's thread (device memory is ordinary memory, a stream executes its
// work when it is enqueued, FFTs are FFTW plans of the same layout).
//
// Return values are the CUDA runtime's error codes (0 = success) for the
// runtime calls and cuFFT result codes for the FFT calls, so that the
// checks of buffers/ErrorChecks produce the same messages on both backends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kernels/KernelArgs.h"

namespace powergpu {

using StreamHandle = void*;
using EventHandle = void*;
using FftHandle = int;

// CUDA runtime error codes used by the library (same values as cudaError_t).
enum RuntimeCode : int {
    kSuccess = 0,
    kErrorInvalidValue = 1,
    kErrorMemoryAllocation = 2,
    kErrorInitialization = 3,
    kErrorNoDevice = 100,
    kErrorInvalidResourceHandle = 400,
    kErrorNotReady = 600,
    kErrorLaunchFailure = 719,
    kErrorUnknown = 999,
};

// cuFFT result codes used by the library (same values as cufftResult).
enum FftCode : int {
    kFftSuccess = 0,
    kFftInvalidPlan = 1,
    kFftAllocFailed = 2,
    kFftInvalidValue = 4,
    kFftInternalError = 5,
    kFftExecFailed = 6,
    kFftSetupFailed = 7,
    kFftInvalidSize = 8,
};

enum class MemcpyKind : int { HostToHost = 0, HostToDevice = 1, DeviceToHost = 2, DeviceToDevice = 3 };

constexpr unsigned kStreamNonBlocking = 1;
constexpr unsigned kEventDisableTiming = 2;
constexpr int kFftTypeR2C = 0x2a;
constexpr int kFftTypeC2C = 0x29;

enum class Backend : int32_t { Automatic = 0, Cpu = 1, Cuda = 2 };

struct Dim3 {
    unsigned x = 1;
    unsigned y = 1;
    unsigned z = 1;
};

// Execution configuration of one kernel launch.
struct Launch {
    Dim3 grid;
    Dim3 block;
    std::size_t sharedBytes = 0;
    StreamHandle stream = nullptr;
};

// Parameters of a batched one-dimensional plan, real-to-complex or
// complex-to-complex (type); the same record feeds cufftMakePlanMany and
// fftwf_plan_many_dft_r2c / fftwf_plan_many_dft.
struct FftPlanParameters {
    int n = 0;
    int inembed = 0;
    int istride = 1;
    int idist = 0;
    int onembed = 0;
    int ostride = 1;
    int odist = 0;
    int type = kFftTypeR2C;
    int batch = 0;
};

class Runtime {
public:
    Runtime() = default;
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    virtual ~Runtime() = default;

    virtual Backend backend() const = 0;

    // Memory.
    virtual int malloc(void** pointer, std::size_t bytes) = 0;
    virtual int free(void* pointer) = 0;
    virtual int hostAlloc(void** pointer, std::size_t bytes, unsigned flags) = 0;
    virtual int freeHost(void* pointer) = 0;
    virtual int memcpyAsync(void* destination, const void* source, std::size_t bytes, MemcpyKind kind,
                            StreamHandle stream) = 0;
    virtual int memsetAsync(void* destination, int value, std::size_t bytes, StreamHandle stream) = 0;

    // Streams, events, device.
    virtual int streamCreateWithFlags(StreamHandle* stream, unsigned flags) = 0;
    virtual int streamDestroy(StreamHandle stream) = 0;
    virtual int eventCreateWithFlags(EventHandle* event, unsigned flags) = 0;
    virtual int eventRecord(EventHandle event, StreamHandle stream) = 0;
    virtual int eventQuery(EventHandle event) = 0;
    virtual int streamWaitEvent(StreamHandle stream, EventHandle event, unsigned flags) = 0;
    virtual int eventDestroy(EventHandle event) = 0;
    virtual int deviceSynchronize() = 0;
    // The error of the last launch, cleared by reading it: one failed launch
    // must not fail every later launch of the module.
    virtual int takeLastLaunchError() = 0;
    virtual const char* getErrorString(int code) const = 0;

    // FFT plans.
    virtual int fftCreate(FftHandle* plan) = 0;
    virtual int fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) = 0;
    virtual int fftSetStream(FftHandle plan, StreamHandle stream) = 0;
    virtual int fftExecR2C(FftHandle plan, float* input, float2* output) = 0;
    // The forward complex-to-complex transform of a kFftTypeC2C plan
    // (input and output distinct arrays).
    virtual int fftExecC2C(FftHandle plan, float2* input, float2* output) = 0;
    virtual int fftDestroy(FftHandle plan) = 0;

    // Kernel launches, one overload per argument record (kernels/KernelArgs.h).
    // A failed launch surfaces through takeLastLaunchError.
#define POWERGPU_DECLARE_LAUNCH(Name) virtual void launch(const Launch& launch, const Name##Args& args) = 0;
    POWERGPU_KERNELS(POWERGPU_DECLARE_LAUNCH)
#undef POWERGPU_DECLARE_LAUNCH
};

// Whether a backend can be used in this process (Automatic: always true).
bool isBackendAvailable(Backend backend);

// Why a backend cannot be used in this process, in one line (for CUDA: the
// device query's error or the cuFFT files tried); empty when it can.
std::string unavailableReason(Backend backend);

// A runtime of the given backend; Automatic picks CUDA when a device is
// usable, else the CPU. Throws PowerInvalidCall with unavailableReason()
// when the backend is not available.
std::unique_ptr<Runtime> createRuntime(Backend backend);

}  // namespace powergpu
