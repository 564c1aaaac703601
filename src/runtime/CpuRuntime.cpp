#include "runtime/CpuRuntime.h"

#include <cstdlib>
#include <cstring>
#include <exception>

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

// ---------------------------------------------------------------- test hooks

void CpuRuntime::injectFault(RuntimeCall call, int code, int skip) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(Fault{call, code, skip});
    anyFault_.store(true);
}

void CpuRuntime::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    anyFault_.store(false);
}

void CpuRuntime::setCallLogging(bool enabled) {
    logging_.store(enabled);
}

std::vector<LoggedCall> CpuRuntime::callLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void CpuRuntime::clearCallLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

std::size_t CpuRuntime::liveDeviceBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t total = 0;
    for (const auto& entry : deviceAllocations_) {
        total += entry.second;
    }
    return total;
}

std::size_t CpuRuntime::liveHostBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t total = 0;
    for (const auto& entry : hostAllocations_) {
        total += entry.second;
    }
    return total;
}

std::size_t CpuRuntime::liveStreams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streams_.size();
}

std::size_t CpuRuntime::liveEvents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
}

std::size_t CpuRuntime::livePlans() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plans_.size();
}

int CpuRuntime::takeFault(RuntimeCall call) {
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

void CpuRuntime::log(LoggedCall entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(std::move(entry));
}

// -------------------------------------------------------------------- memory

int CpuRuntime::allocate(void** pointer, std::size_t bytes, std::unordered_map<void*, std::size_t>& live,
                         RuntimeCall call) {
    int code = takeFault(call);
    if (code == 0) {
        void* memory = alignedAllocate(bytes);
        if (memory == nullptr) {
            code = kErrorMemoryAllocation;
        } else {
            std::lock_guard<std::mutex> lock(mutex_);
            live.emplace(memory, bytes);
            *pointer = memory;
        }
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

int CpuRuntime::release(void* pointer, std::unordered_map<void*, std::size_t>& live, RuntimeCall call) {
    int code = takeFault(call);
    if (code == 0 && pointer != nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = live.find(pointer);
        if (found == live.end()) {
            code = kErrorInvalidValue;
        } else {
            live.erase(found);
            std::free(pointer);
        }
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

int CpuRuntime::malloc(void** pointer, std::size_t bytes) {
    return allocate(pointer, bytes, deviceAllocations_, RuntimeCall::Malloc);
}

int CpuRuntime::free(void* pointer) {
    return release(pointer, deviceAllocations_, RuntimeCall::Free);
}

int CpuRuntime::hostAlloc(void** pointer, std::size_t bytes, unsigned /*flags*/) {
    return allocate(pointer, bytes, hostAllocations_, RuntimeCall::HostAlloc);
}

int CpuRuntime::freeHost(void* pointer) {
    return release(pointer, hostAllocations_, RuntimeCall::FreeHost);
}

int CpuRuntime::memcpyAsync(void* destination, const void* source, std::size_t bytes, MemcpyKind kind,
                            StreamHandle stream) {
    const int code = takeFault(RuntimeCall::MemcpyAsync);
    if (code == 0 && bytes > 0) {
        std::memmove(destination, source, bytes);
    }
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

int CpuRuntime::memsetAsync(void* destination, int value, std::size_t bytes, StreamHandle stream) {
    const int code = takeFault(RuntimeCall::MemsetAsync);
    if (code == 0 && bytes > 0) {
        std::memset(destination, value, bytes);
    }
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

int CpuRuntime::streamCreateWithFlags(StreamHandle* stream, unsigned flags) {
    const int code = takeFault(RuntimeCall::StreamCreate);
    if (code == 0) {
        auto created = std::make_unique<Stream>();
        created->flags = flags;
        Stream* handle = created.get();
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.emplace(handle, std::move(created));
        *stream = handle;
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::StreamCreate;
        entry.stream = code == 0 ? *stream : nullptr;
        entry.values = {static_cast<double>(flags)};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::streamDestroy(StreamHandle stream) {
    int code = takeFault(RuntimeCall::StreamDestroy);
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        code = streams_.erase(static_cast<Stream*>(stream)) == 1 ? kSuccess : kErrorInvalidResourceHandle;
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::StreamDestroy;
        entry.stream = stream;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::eventCreateWithFlags(EventHandle* event, unsigned flags) {
    const int code = takeFault(RuntimeCall::EventCreate);
    if (code == 0) {
        auto created = std::make_unique<Event>();
        Event* handle = created.get();
        std::lock_guard<std::mutex> lock(mutex_);
        events_.emplace(handle, std::move(created));
        *event = handle;
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::EventCreate;
        entry.event = code == 0 ? *event : nullptr;
        entry.values = {static_cast<double>(flags)};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::eventRecord(EventHandle event, StreamHandle stream) {
    int code = takeFault(RuntimeCall::EventRecord);
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = events_.find(static_cast<Event*>(event));
        if (found == events_.end()) {
            code = kErrorInvalidResourceHandle;
        } else {
            // Work enqueued before the record is already done on this backend.
            found->second->stream = stream;
            found->second->recorded.store(true, std::memory_order_release);
        }
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::EventRecord;
        entry.event = event;
        entry.stream = stream;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::eventQuery(EventHandle event) {
    int code = takeFault(RuntimeCall::EventQuery);
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        code = events_.count(static_cast<Event*>(event)) == 1 ? kSuccess : kErrorInvalidResourceHandle;
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::EventQuery;
        entry.event = event;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::streamWaitEvent(StreamHandle stream, EventHandle event, unsigned flags) {
    int code = takeFault(RuntimeCall::StreamWaitEvent);
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool known =
            events_.count(static_cast<Event*>(event)) == 1 && streams_.count(static_cast<Stream*>(stream)) == 1;
        code = known ? kSuccess : kErrorInvalidResourceHandle;
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::StreamWaitEvent;
        entry.stream = stream;
        entry.event = event;
        entry.values = {static_cast<double>(flags)};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::eventDestroy(EventHandle event) {
    int code = takeFault(RuntimeCall::EventDestroy);
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        code = events_.erase(static_cast<Event*>(event)) == 1 ? kSuccess : kErrorInvalidResourceHandle;
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::EventDestroy;
        entry.event = event;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::deviceSynchronize() {
    const int code = takeFault(RuntimeCall::DeviceSynchronize);
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::DeviceSynchronize;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::peekAtLastError() {
    int code = takeFault(RuntimeCall::PeekAtLastError);
    if (code == 0) {
        // A failed launch is reported once, so the module recovers afterwards.
        code = lastError_.exchange(0);
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::PeekAtLastError;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
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
    const int code = takeFault(RuntimeCall::FftCreate);
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        *plan = nextPlan_++;
        plans_.emplace(*plan, Plan{});
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::FftCreate;
        entry.plan = code == 0 ? *plan : 0;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::fftPlanMany(FftHandle plan, const FftPlanParameters& parameters) {
    int code = takeFault(RuntimeCall::FftPlanMany);
    if (code == 0) {
        if (parameters.n < 1 || parameters.batch < 1 || parameters.type != kFftTypeR2C) {
            code = parameters.type != kFftTypeR2C ? 3 : kFftInvalidSize;
        } else {
            try {
                auto fftw = std::make_unique<FftwPlan>(parameters);
                std::lock_guard<std::mutex> lock(mutex_);
                const auto found = plans_.find(plan);
                if (found == plans_.end()) {
                    code = kFftInvalidPlan;
                } else {
                    found->second.fftw = std::move(fftw);
                }
            } catch (const std::bad_alloc&) {
                code = kFftAllocFailed;
            } catch (const std::exception&) {
                code = kFftSetupFailed;
            }
        }
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::FftPlanMany;
        entry.plan = plan;
        entry.values = {static_cast<double>(parameters.n),       static_cast<double>(parameters.inembed),
                        static_cast<double>(parameters.istride), static_cast<double>(parameters.idist),
                        static_cast<double>(parameters.onembed), static_cast<double>(parameters.ostride),
                        static_cast<double>(parameters.odist),   static_cast<double>(parameters.type),
                        static_cast<double>(parameters.batch)};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::fftSetStream(FftHandle plan, StreamHandle stream) {
    int code = takeFault(RuntimeCall::FftSetStream);
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = plans_.find(plan);
        if (found == plans_.end()) {
            code = kFftInvalidPlan;
        } else {
            found->second.stream = stream;
        }
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::FftSetStream;
        entry.plan = plan;
        entry.stream = stream;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::fftExecR2C(FftHandle plan, float* input, float2* output) {
    int code = takeFault(RuntimeCall::FftExecR2C);
    FftwPlan* fftw = nullptr;
    StreamHandle stream = nullptr;
    if (code == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = plans_.find(plan);
        if (found == plans_.end() || !found->second.fftw) {
            code = kFftInvalidPlan;
        } else {
            fftw = found->second.fftw.get();
            stream = found->second.stream;
        }
    }
    if (code == 0) {
        try {
            fftw->execute(input, output);
        } catch (const std::exception&) {
            code = kFftExecFailed;
        }
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::FftExecR2C;
        entry.plan = plan;
        entry.stream = stream;
        entry.pointers = {input, output};
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

int CpuRuntime::fftDestroy(FftHandle plan) {
    int code = takeFault(RuntimeCall::FftDestroy);
    if (code == 0) {
        std::unique_ptr<FftwPlan> released;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = plans_.find(plan);
        if (found == plans_.end()) {
            code = kFftInvalidPlan;
        } else {
            released = std::move(found->second.fftw);
            plans_.erase(found);
        }
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::FftDestroy;
        entry.plan = plan;
        entry.result = code;
        log(std::move(entry));
    }
    return code;
}

// ------------------------------------------------------------------- kernels

bool CpuRuntime::beginLaunch(const char* kernel, const Launch& launch, std::vector<const void*> pointers,
                             std::vector<double> values) {
    const int code = takeFault(RuntimeCall::KernelLaunch);
    if (code != 0) {
        lastError_.store(code);
    }
    if (logging()) {
        LoggedCall entry;
        entry.call = RuntimeCall::KernelLaunch;
        entry.kernel = kernel;
        entry.stream = launch.stream;
        entry.grid = launch.grid;
        entry.block = launch.block;
        entry.bytes = launch.sharedBytes;
        entry.pointers = std::move(pointers);
        entry.values = std::move(values);
        entry.result = code;
        log(std::move(entry));
    }
    return code == 0;
}

namespace {
double b(bool value) {
    return value ? 1.0 : 0.0;
}
}  // namespace

void CpuRuntime::kernelWaveformsUStar(const Launch& launch, int n, int offset, int ringLength, int outStride,
                                      float fftScale, bool storeLineToLine, bool windowLineToLine,
                                      const float* phaseRing, float* lineRing, float* phaseOut, float* lineOut) {
    if (beginLaunch("kernelWaveformsUStar", launch, {phaseRing, lineRing, phaseOut, lineOut},
                    {double(n), double(offset), double(ringLength), double(outStride), fftScale, b(storeLineToLine),
                     b(windowLineToLine)})) {
        cpu::kernelWaveformsUStar(kernelContext_, launch, n, offset, ringLength, outStride, fftScale, storeLineToLine,
                                  windowLineToLine, phaseRing, lineRing, phaseOut, lineOut);
    }
}

void CpuRuntime::kernelWaveformsUDelta(const Launch& launch, int measuredLineCount, int n, int offset, int ringLength,
                                       int outStride, float fftScale, bool windowLineToLine, float* phaseRing,
                                       float* lineRing, float* phaseOut, float* lineOut) {
    if (beginLaunch("kernelWaveformsUDelta", launch, {phaseRing, lineRing, phaseOut, lineOut},
                    {double(measuredLineCount), double(n), double(offset), double(ringLength), double(outStride),
                     fftScale, b(windowLineToLine)})) {
        cpu::kernelWaveformsUDelta(kernelContext_, launch, measuredLineCount, n, offset, ringLength, outStride,
                                   fftScale, windowLineToLine, phaseRing, lineRing, phaseOut, lineOut);
    }
}

void CpuRuntime::kernelWaveformsI(const Launch& launch, int n, int offset, int ringLength, int outStride,
                                  float fftScale, float* currentRing, float* currentOut) {
    if (beginLaunch("kernelWaveformsI", launch, {currentRing, currentOut},
                    {double(n), double(offset), double(ringLength), double(outStride), fftScale})) {
        cpu::kernelWaveformsI(kernelContext_, launch, n, offset, ringLength, outStride, fftScale, currentRing,
                              currentOut);
    }
}

void CpuRuntime::kernelWaveformsI3(const Launch& launch, int n, int offset, int ringLength, int outStride,
                                   float fftScale, float* currentRing, float* currentOut) {
    if (beginLaunch("kernelWaveformsI3", launch, {currentRing, currentOut},
                    {double(n), double(offset), double(ringLength), double(outStride), fftScale})) {
        cpu::kernelWaveformsI3(kernelContext_, launch, n, offset, ringLength, outStride, fftScale, currentRing,
                               currentOut);
    }
}

void CpuRuntime::kernelWaveformsClarke(const Launch& launch, int n, int offset, int ringLength, const float* ring,
                                       float* clarkeRing) {
    if (beginLaunch("kernelWaveformsClarke", launch, {ring, clarkeRing},
                    {double(n), double(offset), double(ringLength)})) {
        cpu::kernelWaveformsClarke(launch, n, offset, ringLength, ring, clarkeRing);
    }
}

void CpuRuntime::kernelWaveformsPark(const Launch& launch, int n, int offset, int ringLength, int polePairs,
                                     double mechAngleOffset, const float* ring, const float* angleRing, float* parkRing,
                                     double* parkAverages) {
    if (beginLaunch("kernelWaveformsPark", launch, {ring, angleRing, parkRing, parkAverages},
                    {double(n), double(offset), double(ringLength), double(polePairs), mechAngleOffset})) {
        cpu::kernelWaveformsPark(launch, n, offset, ringLength, polePairs, mechAngleOffset, ring, angleRing, parkRing,
                                 parkAverages);
    }
}

void CpuRuntime::kernelRmsU(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                            PowerResultsGeneral* results) {
    if (beginLaunch("kernelRmsU", launch, {phaseRing, results}, {double(n), double(offset), double(ringLength)})) {
        cpu::kernelRmsU(launch, n, offset, ringLength, phaseRing, results);
    }
}

void CpuRuntime::kernelRmsUL(const Launch& launch, int n, int offset, int ringLength, const float* lineRing,
                             PowerResultsGeneral* results) {
    if (beginLaunch("kernelRmsUL", launch, {lineRing, results}, {double(n), double(offset), double(ringLength)})) {
        cpu::kernelRmsUL(launch, n, offset, ringLength, lineRing, results);
    }
}

void CpuRuntime::kernelRmsUI(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                             const float* currentRing, PowerResultsGeneral* results) {
    if (beginLaunch("kernelRmsUI", launch, {phaseRing, currentRing, results},
                    {double(n), double(offset), double(ringLength)})) {
        cpu::kernelRmsUI(launch, n, offset, ringLength, phaseRing, currentRing, results);
    }
}

void CpuRuntime::kernelFreqRms(const Launch& launch, int binCount, const float2* spectrumU, const float2* spectrumI,
                               const float2* spectrumUL, PowerResultsGeneral* results) {
    if (beginLaunch("kernelFreqRms", launch, {spectrumU, spectrumI, spectrumUL, results}, {double(binCount)})) {
        cpu::kernelFreqRms(launch, binCount, spectrumU, spectrumI, spectrumUL, results);
    }
}

void CpuRuntime::kernelReferenceAngle(const Launch& launch, double frequency, double dFrequency, double lengthRatio,
                                      float2* spectrum, double* referenceAngle) {
    if (beginLaunch("kernelReferenceAngle", launch, {spectrum, referenceAngle}, {frequency, dFrequency, lengthRatio})) {
        cpu::kernelReferenceAngle(launch, frequency, dFrequency, lengthRatio, spectrum, referenceAngle);
    }
}

void CpuRuntime::kernelHarmonics(const Launch& launch, int binCount, int harmonicCount, int halfWidth, int reserved,
                                 bool interharmonics, double frequency, double dFrequency, double lengthRatio,
                                 const double* referenceAngle, float2* spectrum, float* magnitudes,
                                 float* interharmonicValues, float* phases) {
    if (beginLaunch("kernelHarmonics", launch, {referenceAngle, spectrum, magnitudes, interharmonicValues, phases},
                    {double(binCount), double(harmonicCount), double(halfWidth), double(reserved), b(interharmonics),
                     frequency, dFrequency, lengthRatio})) {
        cpu::kernelHarmonics(kernelContext_, launch, binCount, harmonicCount, halfWidth, reserved, interharmonics,
                             frequency, dFrequency, lengthRatio, referenceAngle, spectrum, magnitudes,
                             interharmonicValues, phases);
    }
}

void CpuRuntime::kernelPQSZ(const Launch& launch, int rowCount, int harmonicCount, const float* magnitudes,
                            const float* phases, float* powers, float* impedances) {
    if (beginLaunch("kernelPQSZ", launch, {magnitudes, phases, powers, impedances},
                    {double(rowCount), double(harmonicCount)})) {
        cpu::kernelPQSZ(launch, rowCount, harmonicCount, magnitudes, phases, powers, impedances);
    }
}

void CpuRuntime::kernelSumOfHarmonicsSquared(const Launch& launch, int highestOrder, int harmonicCount,
                                             const float* magnitudes, PowerResultsThd* thd) {
    if (beginLaunch("kernelSumOfHarmonicsSquared", launch, {magnitudes, thd},
                    {double(highestOrder), double(harmonicCount)})) {
        cpu::kernelSumOfHarmonicsSquared(launch, highestOrder, harmonicCount, magnitudes, thd);
    }
}

void CpuRuntime::kernelSymmetricalComponents(const Launch& launch, int binCount, const float2* spectra, double* sums) {
    if (beginLaunch("kernelSymmetricalComponents", launch, {spectra, sums}, {double(binCount)})) {
        cpu::kernelSymmetricalComponents(launch, binCount, spectra, sums);
    }
}

void CpuRuntime::kernelSymmetricalComponentsH1(const Launch& launch, int harmonicCount, const float* magnitudes,
                                               const float* phases, double2* components) {
    if (beginLaunch("kernelSymmetricalComponentsH1", launch, {magnitudes, phases, components},
                    {double(harmonicCount)})) {
        cpu::kernelSymmetricalComponentsH1(launch, harmonicCount, magnitudes, phases, components);
    }
}

void CpuRuntime::kernelClarkeH1AndParkAve(const Launch& launch, int harmonicCount, const float* magnitudes,
                                          const float* phases, bool clarke, bool park, double2* clarkeOut,
                                          double* parkOut) {
    if (beginLaunch("kernelClarkeH1AndParkAve", launch, {magnitudes, phases, clarkeOut, parkOut},
                    {double(harmonicCount), b(clarke), b(park)})) {
        cpu::kernelClarkeH1AndParkAve(launch, harmonicCount, magnitudes, phases, clarke, park, clarkeOut, parkOut);
    }
}

}  // namespace powergpu
