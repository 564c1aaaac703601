#include "support/RecordingRuntime.h"

#include <utility>

namespace powergpu {

RecordingRuntime::RecordingRuntime(std::shared_ptr<Runtime> wrapped) : wrapped_(std::move(wrapped)) {}

RecordingRuntime::~RecordingRuntime() = default;

void RecordingRuntime::injectFault(RuntimeCall call, int code, int skip) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(Fault{call, code, skip});
    anyFault_.store(true);
}

void RecordingRuntime::setCallLogging(bool enabled) {
    logging_.store(enabled);
}

std::vector<LoggedCall> RecordingRuntime::callLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void RecordingRuntime::clearCallLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

namespace {
std::size_t totalBytes(const std::unordered_map<void*, std::size_t>& allocations) {
    std::size_t total = 0;
    for (const auto& entry : allocations) {
        total += entry.second;
    }
    return total;
}
}  // namespace

std::size_t RecordingRuntime::liveDeviceBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return totalBytes(deviceAllocations_);
}

std::size_t RecordingRuntime::liveHostBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return totalBytes(hostAllocations_);
}

std::size_t RecordingRuntime::liveStreams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_.size();
}

std::size_t RecordingRuntime::liveEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

std::size_t RecordingRuntime::livePlans() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plans_.size();
}

int RecordingRuntime::takeFault(RuntimeCall call) {
    if (!anyFault_.load(std::memory_order_relaxed)) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto fault = faults_.begin(); fault != faults_.end(); ++fault) {
        if (fault->call != call) {
            continue;
        }
        if (fault->skip > 0) {
            --fault->skip;
            return 0;
        }
        const int code = fault->code;
        faults_.erase(fault);
        anyFault_.store(!faults_.empty());
        return code;
    }
    return 0;
}

void RecordingRuntime::log(LoggedCall entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(std::move(entry));
}

int RecordingRuntime::logged(RuntimeCall call, int code, StreamHandle stream, EventHandle event, FftHandle plan,
                             std::vector<double> values) {
    if (logging()) {
        LoggedCall entry;
        entry.call = call;
        entry.stream = stream;
        entry.event = event;
        entry.plan = plan;
        entry.values = std::move(values);
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

// -------------------------------------------------------------------- memory

namespace {

// The injected fault's code, or else what the wrapped runtime's call returns.
template <typename Call>
int unlessFaulted(int fault, Call&& call) {
    return fault != 0 ? fault : call();
}

}  // namespace

int RecordingRuntime::allocated(RuntimeCall call, int code, void** pointer, std::size_t bytes,
                                std::unordered_map<void*, std::size_t>& live) {
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        live[*pointer] = bytes;
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = call;
        entry.bytes = bytes;
        entry.pointers = {code == 0 ? *pointer : nullptr};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int RecordingRuntime::released(RuntimeCall call, int code, void* pointer,
                               std::unordered_map<void*, std::size_t>& live) {
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        live.erase(pointer);
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = call;
        entry.pointers = {pointer};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int RecordingRuntime::malloc(void** pointer, std::size_t bytes) {
    const int code = unlessFaulted(takeFault(RuntimeCall::Malloc), [&] { return wrapped_->malloc(pointer, bytes); });
    return allocated(RuntimeCall::Malloc, code, pointer, bytes, deviceAllocations_);
}

int RecordingRuntime::hostAlloc(void** pointer, std::size_t bytes, unsigned flags) {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::HostAlloc), [&] { return wrapped_->hostAlloc(pointer, bytes, flags); });
    return allocated(RuntimeCall::HostAlloc, code, pointer, bytes, hostAllocations_);
}

int RecordingRuntime::free(void* pointer) {
    const int code = unlessFaulted(takeFault(RuntimeCall::Free), [&] { return wrapped_->free(pointer); });
    return released(RuntimeCall::Free, code, pointer, deviceAllocations_);
}

int RecordingRuntime::freeHost(void* pointer) {
    const int code = unlessFaulted(takeFault(RuntimeCall::FreeHost), [&] { return wrapped_->freeHost(pointer); });
    return released(RuntimeCall::FreeHost, code, pointer, hostAllocations_);
}

int RecordingRuntime::memcpyAsync(void* destination, const void* source, std::size_t bytes, MemcpyKind kind,
                                  StreamHandle stream) {
    const int code = unlessFaulted(takeFault(RuntimeCall::MemcpyAsync),
                                   [&] { return wrapped_->memcpyAsync(destination, source, bytes, kind, stream); });
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::MemcpyAsync;
        entry.stream = stream;
        entry.kind = kind;
        entry.bytes = bytes;
        entry.pointers = {destination, source};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int RecordingRuntime::memsetAsync(void* destination, int value, std::size_t bytes, StreamHandle stream) {
    const int code = unlessFaulted(takeFault(RuntimeCall::MemsetAsync),
                                   [&] { return wrapped_->memsetAsync(destination, value, bytes, stream); });
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::MemsetAsync;
        entry.stream = stream;
        entry.bytes = bytes;
        entry.pointers = {destination};
        entry.values = {static_cast<double>(value)};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

// ------------------------------------------------- streams, events, device

int RecordingRuntime::streamCreateWithFlags(StreamHandle* stream, unsigned flags) {
    const int code = unlessFaulted(takeFault(RuntimeCall::StreamCreate),
                                   [&] { return wrapped_->streamCreateWithFlags(stream, flags); });
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.insert(*stream);
    }
    return logged(RuntimeCall::StreamCreate, code, code == 0 ? *stream : nullptr, nullptr, 0,
                  {static_cast<double>(flags)});
}

int RecordingRuntime::streamDestroy(StreamHandle stream) {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::StreamDestroy), [&] { return wrapped_->streamDestroy(stream); });
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.erase(stream);
    }
    return logged(RuntimeCall::StreamDestroy, code, stream);
}

int RecordingRuntime::eventCreateWithFlags(EventHandle* event, unsigned flags) {
    const int code = unlessFaulted(takeFault(RuntimeCall::EventCreate),
                                   [&] { return wrapped_->eventCreateWithFlags(event, flags); });
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.insert(*event);
    }
    return logged(RuntimeCall::EventCreate, code, nullptr, code == 0 ? *event : nullptr, 0,
                  {static_cast<double>(flags)});
}

int RecordingRuntime::eventRecord(EventHandle event, StreamHandle stream) {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::EventRecord), [&] { return wrapped_->eventRecord(event, stream); });
    return logged(RuntimeCall::EventRecord, code, stream, event);
}

int RecordingRuntime::eventQuery(EventHandle event) {
    const int code = unlessFaulted(takeFault(RuntimeCall::EventQuery), [&] { return wrapped_->eventQuery(event); });
    return logged(RuntimeCall::EventQuery, code, nullptr, event);
}

int RecordingRuntime::streamWaitEvent(StreamHandle stream, EventHandle event, unsigned flags) {
    const int code = unlessFaulted(takeFault(RuntimeCall::StreamWaitEvent),
                                   [&] { return wrapped_->streamWaitEvent(stream, event, flags); });
    return logged(RuntimeCall::StreamWaitEvent, code, stream, event, 0, {static_cast<double>(flags)});
}

int RecordingRuntime::eventDestroy(EventHandle event) {
    const int code = unlessFaulted(takeFault(RuntimeCall::EventDestroy), [&] { return wrapped_->eventDestroy(event); });
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.erase(event);
    }
    return logged(RuntimeCall::EventDestroy, code, nullptr, event);
}

int RecordingRuntime::deviceSynchronize() {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::DeviceSynchronize), [&] { return wrapped_->deviceSynchronize(); });
    return logged(RuntimeCall::DeviceSynchronize, code);
}

int RecordingRuntime::takeLastLaunchError() {
    const int code = unlessFaulted(takeFault(RuntimeCall::PeekAtLastError), [&] {
        // A failed launch is reported once, so the module recovers afterwards.
        const int launchError = pendingLaunchError_.exchange(0);
        return launchError != 0 ? launchError : wrapped_->takeLastLaunchError();
    });
    return logged(RuntimeCall::PeekAtLastError, code);
}

// ----------------------------------------------------------------------- FFT

int RecordingRuntime::fftCreate(FftHandle* plan) {
    const int code = unlessFaulted(takeFault(RuntimeCall::FftCreate), [&] { return wrapped_->fftCreate(plan); });
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        plans_[*plan] = nullptr;
    }
    return logged(RuntimeCall::FftCreate, code, nullptr, nullptr, code == 0 ? *plan : 0);
}

int RecordingRuntime::fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::FftPlanMany), [&] { return wrapped_->fftPlanMany(plan, parameters); });
    return logged(RuntimeCall::FftPlanMany, code, nullptr, nullptr, plan,
                  {static_cast<double>(parameters.n), static_cast<double>(parameters.inembed),
                   static_cast<double>(parameters.istride), static_cast<double>(parameters.idist),
                   static_cast<double>(parameters.onembed), static_cast<double>(parameters.ostride),
                   static_cast<double>(parameters.odist), static_cast<double>(parameters.type),
                   static_cast<double>(parameters.batch)});
}

int RecordingRuntime::fftSetStream(FftHandle plan, StreamHandle stream) {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::FftSetStream), [&] { return wrapped_->fftSetStream(plan, stream); });
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        plans_[plan] = stream;
    }
    return logged(RuntimeCall::FftSetStream, code, stream, nullptr, plan);
}

int RecordingRuntime::fftExecR2C(FftHandle plan, float* input, float2* output) {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::FftExecR2C), [&] { return wrapped_->fftExecR2C(plan, input, output); });
    return loggedExec(RuntimeCall::FftExecR2C, code, plan, input, output);
}

int RecordingRuntime::fftExecC2C(FftHandle plan, float2* input, float2* output) {
    const int code =
        unlessFaulted(takeFault(RuntimeCall::FftExecC2C), [&] { return wrapped_->fftExecC2C(plan, input, output); });
    return loggedExec(RuntimeCall::FftExecC2C, code, plan, input, output);
}

int RecordingRuntime::loggedExec(RuntimeCall call, int code, FftHandle plan, const void* input, const void* output) {
    if (logging()) {
        LoggedCall entry;
        entry.call = call;
        entry.plan = plan;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = plans_.find(plan);
            entry.stream = found != plans_.end() && code == 0 ? found->second : nullptr;
        }
        entry.pointers = {input, output};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int RecordingRuntime::fftDestroy(FftHandle plan) {
    const int code = unlessFaulted(takeFault(RuntimeCall::FftDestroy), [&] { return wrapped_->fftDestroy(plan); });
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        plans_.erase(plan);
    }
    return logged(RuntimeCall::FftDestroy, code, nullptr, nullptr, plan);
}

}  // namespace powergpu
