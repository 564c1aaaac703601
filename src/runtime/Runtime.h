// The runtime seam: the narrow set of GPU runtime and FFT calls the
// pipeline makes, plus the launches of its seventeen kernels.
//
// The pipeline is written once against this interface. CudaRuntime maps it
// onto the CUDA runtime and cuFFT; CpuRuntime runs everything on the
// caller's thread (device memory is ordinary memory, a stream executes its
// work when it is enqueued, FFTs are FFTW plans of the same layout).
//
// Return values are the CUDA runtime's error codes (0 = success) for the
// runtime calls and cuFFT result codes for the FFT calls, so that the
// checks of CudaErrorHandling produce the same messages on both backends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kernels/DeviceTypes.h"

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

// Parameters of a batched one-dimensional real-to-complex plan; the same
// record feeds cufftMakePlanMany and fftwf_plan_many_dft_r2c.
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
    virtual int peekAtLastError() = 0;
    virtual const char* getErrorString(int code) const = 0;

    // FFT plans.
    virtual int fftCreate(FftHandle* plan) = 0;
    virtual int fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) = 0;
    virtual int fftSetStream(FftHandle plan, StreamHandle stream) = 0;
    virtual int fftExecR2C(FftHandle plan, float* input, float2* output) = 0;
    virtual int fftDestroy(FftHandle plan) = 0;

    // Kernel launches. A failed launch surfaces through peekAtLastError.
    virtual void kernelWaveformsUStar(const Launch& launch, int n, int offset, int ringLength, int outStride,
                                      float fftScale, bool storeLineToLine, bool windowLineToLine,
                                      const float* phaseRing, float* lineRing, float* phaseOut,
                                      float* lineOut) = 0;
    virtual void kernelWaveformsUDelta(const Launch& launch, int measuredLineCount, int n, int offset,
                                       int ringLength, int outStride, float fftScale, bool windowLineToLine,
                                       float* phaseRing, float* lineRing, float* phaseOut, float* lineOut) = 0;
    virtual void kernelWaveformsI(const Launch& launch, int n, int offset, int ringLength, int outStride,
                                  float fftScale, float* currentRing, float* currentOut) = 0;
    virtual void kernelWaveformsI3(const Launch& launch, int n, int offset, int ringLength, int outStride,
                                   float fftScale, float* currentRing, float* currentOut) = 0;
    virtual void kernelWaveformsClarke(const Launch& launch, int n, int offset, int ringLength,
                                       const float* ring, float* clarkeRing) = 0;
    virtual void kernelWaveformsPark(const Launch& launch, int n, int offset, int ringLength, int polePairs,
                                     double mechAngleOffset, const float* ring, const float* angleRing,
                                     float* parkRing, double* parkAverages) = 0;
    virtual void kernelRmsU(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                            PowerResultsGeneral* results) = 0;
    virtual void kernelRmsUL(const Launch& launch, int n, int offset, int ringLength, const float* lineRing,
                             PowerResultsGeneral* results) = 0;
    virtual void kernelRmsUI(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                             const float* currentRing, PowerResultsGeneral* results) = 0;
    virtual void kernelFreqRms(const Launch& launch, int binCount, const float2* spectrumU,
                               const float2* spectrumI, const float2* spectrumUL,
                               PowerResultsGeneral* results) = 0;
    virtual void kernelReferenceAngle(const Launch& launch, double frequency, double dFrequency,
                                      double lengthRatio, float2* spectrum, double* referenceAngle) = 0;
    virtual void kernelHarmonics(const Launch& launch, int binCount, int harmonicCount, int halfWidth,
                                 int reserved, bool interharmonics, double frequency, double dFrequency,
                                 double lengthRatio, const double* referenceAngle, float2* spectrum,
                                 float* magnitudes, float* interharmonicValues, float* phases) = 0;
    virtual void kernelPQSZ(const Launch& launch, int rowCount, int harmonicCount, const float* magnitudes,
                            const float* phases, float* powers, float* impedances) = 0;
    virtual void kernelSumOfHarmonicsSquared(const Launch& launch, int highestOrder, int harmonicCount,
                                             const float* magnitudes, PowerResultsThd* thd) = 0;
    virtual void kernelSymmetricalComponents(const Launch& launch, int binCount, const float2* spectra,
                                             double* sums) = 0;
    virtual void kernelSymmetricalComponentsH1(const Launch& launch, int harmonicCount, const float* magnitudes,
                                               const float* phases, double2* components) = 0;
    virtual void kernelClarkeH1AndParkAve(const Launch& launch, int harmonicCount, const float* magnitudes,
                                          const float* phases, bool clarke, bool park, double2* clarkeOut,
                                          double* parkOut) = 0;
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
