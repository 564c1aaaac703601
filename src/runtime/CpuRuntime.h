// The runtime seam on the CPU: device memory is ordinary memory, copies are
// memcpy, a stream performs its work in call order on the caller's thread
// (so work is complete when it has been enqueued), an event is complete once
// recorded, FFTs are FFTW plans of the same layout, kernels are loops.
//
// Fault injection and the call log of the tests live in a decorator that
// wraps any runtime (tests/support/RecordingRuntime.h), not here.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "kernels/cpu/CpuKernels.h"
#include "runtime/FftwPlan.h"
#include "runtime/Runtime.h"

namespace powergpu {

class CpuRuntime final : public Runtime {
public:
    CpuRuntime();
    ~CpuRuntime() override;

    Backend backend() const override { return Backend::Cpu; }

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
    int takeLastLaunchError() override;
    const char* getErrorString(int code) const override;

    int fftCreate(FftHandle* plan) override;
    int fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) override;
    int fftSetStream(FftHandle plan, StreamHandle stream) override;
    int fftExecR2C(FftHandle plan, float* input, float2* output) override;
    int fftExecC2C(FftHandle plan, float2* input, float2* output) override;
    int fftDestroy(FftHandle plan) override;

#define POWERGPU_DECLARE_LAUNCH(Name) void launch(const Launch& launch, const Name##Args& args) override;
    POWERGPU_KERNELS(POWERGPU_DECLARE_LAUNCH)
#undef POWERGPU_DECLARE_LAUNCH

private:
    FftwPlan* findPlan(FftHandle plan);
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
    int allocate(void** pointer, std::size_t bytes, std::unordered_map<void*, std::size_t>& live);
    int release(void* pointer, std::unordered_map<void*, std::size_t>& live);

    mutable std::mutex mutex_;  // guards every map below
    std::unordered_map<void*, std::size_t> deviceAllocations_;
    std::unordered_map<void*, std::size_t> hostAllocations_;
    std::unordered_map<Stream*, std::unique_ptr<Stream>> streams_;
    std::unordered_map<Event*, std::unique_ptr<Event>> events_;
    std::unordered_map<FftHandle, Plan> plans_;
    FftHandle nextPlan_ = 1;
    cpu::CpuKernelContext kernelContext_;
};

}  // namespace powergpu
