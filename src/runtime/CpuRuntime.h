// The runtime seam on the CPU: device memory is ordinary memory, copies are
// memcpy, a stream performs its work in call order on the caller's thread
// (so work is complete when it has been enqueued), an event is complete once
// recorded, FFTs are FFTW plans of the same layout, kernels are loops.
//
// For tests, a CpuRuntime can make a chosen call fail with a chosen code
// (fault injection) and can log every call with its stream, event, plan,
// launch shape and arguments, so that ordering faults invisible in the
// numbers (a window on the wrong stream, a missing event wait, the wrong
// plan, a null pointer) can be asserted.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "kernels/cpu/CpuKernels.h"
#include "runtime/FftwPlan.h"
#include "runtime/Runtime.h"

namespace powergpu {

enum class RuntimeCall {
    Malloc,
    Free,
    HostAlloc,
    FreeHost,
    MemcpyAsync,
    MemsetAsync,
    StreamCreate,
    StreamDestroy,
    EventCreate,
    EventRecord,
    EventQuery,
    StreamWaitEvent,
    EventDestroy,
    DeviceSynchronize,
    PeekAtLastError,
    FftCreate,
    FftPlanMany,
    FftSetStream,
    FftExecR2C,
    FftDestroy,
    KernelLaunch,
};

struct LoggedCall {
    RuntimeCall call = RuntimeCall::Malloc;
    std::string kernel;                 // kernel name for launches
    StreamHandle stream = nullptr;      // stream of copies, memsets, events, launches, plans
    EventHandle event = nullptr;        // event recorded or waited for
    FftHandle plan = 0;                 // plan of FFT calls
    Dim3 grid;
    Dim3 block;
    MemcpyKind kind = MemcpyKind::HostToHost;
    std::size_t bytes = 0;              // bytes of copies, memsets, allocations
    std::vector<const void*> pointers;  // pointer arguments in order
    std::vector<double> values;         // scalar arguments in order
    int result = 0;                     // the code returned
};

class CpuRuntime final : public Runtime {
public:
    CpuRuntime();
    ~CpuRuntime() override;

    Backend backend() const override { return Backend::Cpu; }

    // ---- test hooks
    // The call of this kind after `skip` further ones fails once with `code`
    // (a runtime error code, or for FFT calls a cuFFT result code).
    void injectFault(RuntimeCall call, int code, int skip = 0);
    void clearFaults();
    void setCallLogging(bool enabled);
    std::vector<LoggedCall> callLog() const;
    void clearCallLog();
    std::size_t liveDeviceBytes() const;
    std::size_t liveHostBytes() const;
    std::size_t liveStreams() const;
    std::size_t liveEvents() const;
    std::size_t livePlans() const;

    // ---- runtime
    int malloc(void** pointer, std::size_t bytes) override;
    int free(void* pointer) override;
    int hostAlloc(void** pointer, std::size_t bytes, unsigned flags) override;
    int freeHost(void* pointer) override;
    int memcpyAsync(void* destination, const void* source, std::size_t bytes, MemcpyKind kind,
                    StreamHandle stream) override;
    int memsetAsync(void* destination, int value, std::size_t bytes, StreamHandle stream) override;
    int streamCreateWithFlags(StreamHandle* stream, unsigned flags) override;
    int streamDestroy(StreamHandle stream) override;
    int eventCreateWithFlags(EventHandle* event, unsigned flags) override;
    int eventRecord(EventHandle event, StreamHandle stream) override;
    int eventQuery(EventHandle event) override;
    int streamWaitEvent(StreamHandle stream, EventHandle event, unsigned flags) override;
    int eventDestroy(EventHandle event) override;
    int deviceSynchronize() override;
    int peekAtLastError() override;
    const char* getErrorString(int code) const override;

    int fftCreate(FftHandle* plan) override;
    int fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) override;
    int fftSetStream(FftHandle plan, StreamHandle stream) override;
    int fftExecR2C(FftHandle plan, float* input, float2* output) override;
    int fftDestroy(FftHandle plan) override;

    void kernelWaveformsUStar(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                              bool storeLineToLine, bool windowLineToLine, const float* phaseRing, float* lineRing,
                              float* phaseOut, float* lineOut) override;
    void kernelWaveformsUDelta(const Launch& launch, int measuredLineCount, int n, int offset, int ringLength,
                               int outStride, float fftScale, bool windowLineToLine, float* phaseRing, float* lineRing,
                               float* phaseOut, float* lineOut) override;
    void kernelWaveformsI(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                          float* currentRing, float* currentOut) override;
    void kernelWaveformsI3(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                           float* currentRing, float* currentOut) override;
    void kernelWaveformsClarke(const Launch& launch, int n, int offset, int ringLength, const float* ring,
                               float* clarkeRing) override;
    void kernelWaveformsPark(const Launch& launch, int n, int offset, int ringLength, int polePairs,
                             double mechAngleOffset, const float* ring, const float* angleRing, float* parkRing,
                             double* parkAverages) override;
    void kernelRmsU(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                    PowerResultsGeneral* results) override;
    void kernelRmsUL(const Launch& launch, int n, int offset, int ringLength, const float* lineRing,
                     PowerResultsGeneral* results) override;
    void kernelRmsUI(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                     const float* currentRing, PowerResultsGeneral* results) override;
    void kernelFreqRms(const Launch& launch, int binCount, const float2* spectrumU, const float2* spectrumI,
                       const float2* spectrumUL, PowerResultsGeneral* results) override;
    void kernelReferenceAngle(const Launch& launch, double frequency, double dFrequency, double lengthRatio,
                              float2* spectrum, double* referenceAngle) override;
    void kernelHarmonics(const Launch& launch, int binCount, int harmonicCount, int halfWidth, int reserved,
                         bool interharmonics, double frequency, double dFrequency, double lengthRatio,
                         const double* referenceAngle, float2* spectrum, float* magnitudes,
                         float* interharmonicValues, float* phases) override;
    void kernelPQSZ(const Launch& launch, int rowCount, int harmonicCount, const float* magnitudes,
                    const float* phases, float* powers, float* impedances) override;
    void kernelSumOfHarmonicsSquared(const Launch& launch, int highestOrder, int harmonicCount,
                                     const float* magnitudes, PowerResultsThd* thd) override;
    void kernelSymmetricalComponents(const Launch& launch, int binCount, const float2* spectra,
                                     double* sums) override;
    void kernelSymmetricalComponentsH1(const Launch& launch, int harmonicCount, const float* magnitudes,
                                       const float* phases, double2* components) override;
    void kernelClarkeH1AndParkAve(const Launch& launch, int harmonicCount, const float* magnitudes,
                                  const float* phases, bool clarke, bool park, double2* clarkeOut,
                                  double* parkOut) override;

private:
    struct Stream {
        unsigned flags = 0;
    };
    struct Event {
        std::atomic<bool> recorded{false};
        StreamHandle stream = nullptr;
    };
    struct Plan {
        StreamHandle stream = nullptr;
        std::unique_ptr<FftwPlan> fftw;
    };
    struct Fault {
        RuntimeCall call;
        int code;
        int skip;
    };

    // The code an injected fault gives this call (0 when none is due).
    int takeFault(RuntimeCall call);
    void log(LoggedCall entry);
    bool logging() const { return logging_.load(std::memory_order_relaxed); }
    // A launch runs unless a fault is due; a fault becomes the next peeked error.
    bool beginLaunch(const char* kernel, const Launch& launch, std::vector<const void*> pointers,
                     std::vector<double> values);
    int allocate(void** pointer, std::size_t bytes, std::unordered_map<void*, std::size_t>& live,
                 RuntimeCall call);
    int release(void* pointer, std::unordered_map<void*, std::size_t>& live, RuntimeCall call);

    mutable std::mutex mutex_;  // guards every map below, the faults and the log
    std::unordered_map<void*, std::size_t> deviceAllocations_;
    std::unordered_map<void*, std::size_t> hostAllocations_;
    std::unordered_map<Stream*, std::unique_ptr<Stream>> streams_;
    std::unordered_map<Event*, std::unique_ptr<Event>> events_;
    std::unordered_map<FftHandle, Plan> plans_;
    FftHandle nextPlan_ = 1;
    std::vector<Fault> faults_;
    std::atomic<bool> anyFault_{false};
    std::atomic<bool> logging_{false};
    std::vector<LoggedCall> log_;
    std::atomic<int> lastError_{0};
    cpu::CpuKernelContext kernelContext_;
};

}  // namespace powergpu
