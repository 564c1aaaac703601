// A test-only runtime that wraps any runtime (the CPU one, or CUDA's on a
// device) and adds what tests need and production does not:
//  - fault injection: a chosen call fails once with a chosen code, without
//    reaching the wrapped runtime (a failed launch is reported by the next
//    takeLastLaunchError, as a device reports it);
//  - a call log: every call with its stream, event, plan, launch shape and,
//    for launches, the argument record, so that ordering faults invisible in
//    the numbers (a window on the wrong stream, a missing event wait, the
//    wrong plan, a null pointer) can be asserted;
//  - counts of live allocations, streams, events and plans made through it.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

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
    FftExecC2C,
    FftDestroy,
    KernelLaunch,
};

// The argument record of a logged launch (std::monostate for other calls).
#define POWERGPU_VARIANT_ALTERNATIVE(Name) , Name##Args
using KernelArgs = std::variant<std::monostate POWERGPU_KERNELS(POWERGPU_VARIANT_ALTERNATIVE)>;
#undef POWERGPU_VARIANT_ALTERNATIVE

struct LoggedCall {
    RuntimeCall call = RuntimeCall::Malloc;
    std::string kernel;             // kernel name for launches
    StreamHandle stream = nullptr;  // stream of copies, memsets, events, launches, plans
    EventHandle event = nullptr;    // event recorded or waited for
    FftHandle plan = 0;             // plan of FFT calls
    Dim3 grid;
    Dim3 block;
    MemcpyKind kind = MemcpyKind::HostToHost;
    std::size_t bytes = 0;              // bytes of copies, memsets, allocations; shared bytes of launches
    std::vector<const void*> pointers;  // pointer arguments of runtime and FFT calls, in order
    std::vector<double> values;         // scalar arguments of runtime and FFT calls, in order
    KernelArgs args;                    // the argument record of a launch
    int result = 0;                     // the code returned

    // The launch's record; throws std::bad_variant_access for another kind.
    template <typename Args>
    const Args& argsAs() const {
        return std::get<Args>(args);
    }
};

class RecordingRuntime final : public Runtime {
public:
    explicit RecordingRuntime(std::shared_ptr<Runtime> wrapped);
    ~RecordingRuntime() override;

    Runtime& wrapped() const { return *wrapped_; }

    // The call of this kind after `skip` further ones fails once with `code`
    // (a runtime error code, or for FFT calls a cuFFT result code).
    void injectFault(RuntimeCall call, int code, int skip = 0);
    void setCallLogging(bool enabled);
    std::vector<LoggedCall> callLog() const;
    void clearCallLog();
    std::size_t liveDeviceBytes() const;
    std::size_t liveHostBytes() const;
    std::size_t liveStreams() const;
    std::size_t liveEvents() const;
    std::size_t livePlans() const;

    Backend backend() const override { return wrapped_->backend(); }

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
    const char* getErrorString(int code) const override { return wrapped_->getErrorString(code); }

    int fftCreate(FftHandle* plan) override;
    int fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) override;
    int fftSetStream(FftHandle plan, StreamHandle stream) override;
    int fftExecR2C(FftHandle plan, float* input, float2* output) override;
    int fftExecC2C(FftHandle plan, float2* input, float2* output) override;
    int fftDestroy(FftHandle plan) override;

#define POWERGPU_FORWARD_LAUNCH(Name)                                    \
    void launch(const Launch& launch, const Name##Args& args) override { \
        forward(launch, args);                                           \
    }
    POWERGPU_KERNELS(POWERGPU_FORWARD_LAUNCH)
#undef POWERGPU_FORWARD_LAUNCH

private:
    struct Fault {
        RuntimeCall call;
        int code;
        int skip;
    };

    // The code an injected fault gives this call (0 when none is due).
    int takeFault(RuntimeCall call);
    bool logging() const {
        return logging_.load(std::memory_order_relaxed);
    }
    void log(LoggedCall entry);
    // Logs an FFT execution on the stream its plan was last set to.
    int loggedExec(RuntimeCall call, int code, FftHandle plan, const void* input, const void* output);
    // Logs a call that names at most a stream, an event and a plan.
    int logged(RuntimeCall call, int code, StreamHandle stream = nullptr, EventHandle event = nullptr,
               FftHandle plan = 0, std::vector<double> values = {});

    // Records a successful allocation or release in `live` and logs the call.
    int allocated(RuntimeCall call, int code, void** pointer, std::size_t bytes,
                  std::unordered_map<void*, std::size_t>& live);
    int released(RuntimeCall call, int code, void* pointer, std::unordered_map<void*, std::size_t>& live);

    template <typename Args>
    void forward(const Launch& launch, const Args& args) {
        const int code = takeFault(RuntimeCall::KernelLaunch);
        if (code != 0) {
            pendingLaunchError_.store(code);
        } else {
            wrapped_->launch(launch, args);
        }
        if (logging()) {
            LoggedCall entry;
            entry.call = RuntimeCall::KernelLaunch;
            entry.kernel = Args::kName;
            entry.stream = launch.stream;
            entry.grid = launch.grid;
            entry.block = launch.block;
            entry.bytes = launch.sharedBytes;
            entry.args = args;
            entry.result = code;
            log(std::move(entry));
        }
    }

    std::shared_ptr<Runtime> wrapped_;
    mutable std::mutex mutex_;  // guards everything below but the atomics
    std::vector<Fault> faults_;
    std::atomic<bool> anyFault_{false};
    std::atomic<bool> logging_{false};
    std::atomic<int> pendingLaunchError_{0};
    std::vector<LoggedCall> log_;
    std::unordered_map<void*, std::size_t> deviceAllocations_;
    std::unordered_map<void*, std::size_t> hostAllocations_;
    std::unordered_set<StreamHandle> streams_;
    std::unordered_set<EventHandle> events_;
    std::unordered_map<FftHandle, StreamHandle> plans_;  // the stream each plan was last set to
};

}  // namespace powergpu
