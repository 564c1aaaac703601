// The sample copies to the device, the results queue and the retrieval of
// records in schedule order.
#include "pipeline/WindowScheduler.h"

#include <string>

#include "buffers/ErrorChecks.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "PowerModuleImpl";

namespace powergpu {

namespace {

void requireReset(bool reset, const char* operation) {
    if (!reset) {
        throw PowerInvalidCall(std::string(operation) +
                               " before reset: call reset with the running index of the "
                               "first sample before writing or scheduling.");
    }
}

}  // namespace

WindowScheduler::WindowScheduler(Runtime& runtime, ModuleSettings& settings, ModuleLocks& locks)
    : runtime_(runtime), settings_(settings), locks_(locks), streams(runtime) {
    for (std::size_t index = 0; index < StreamSet::size(); ++index) {
        CUDA_CALL(runtime_, runtime_.streamCreateWithFlags(streams.out(index), kStreamNonBlocking));
    }
}

// ------------------------------------------------------------------- samples

uint64_t WindowScheduler::copyWrittenSamples(uint32_t count) {
    settings_.requireBuilt("writeSamples");
    requireReset(currentQueueItem != nullptr, "writeSamples");
    PowerBuffers& buffers = settings_.getBuffers();
    const uint64_t ringLength = buffers.getBufferLength();
    if (count > ringLength) {
        throw PowerInvalidCall("writeSamples: count " + std::to_string(count) + " exceeds the buffer length " +
                               std::to_string(ringLength) + "; announce at most one ring of samples per call.");
    }
    const uint64_t first = progress_.samplesWritten.load();
    if (count == 0) {
        return first;
    }
    Runtime& rt = runtime_;
    const StreamHandle stream = currentQueueItem->getStream();
    // The new samples may overwrite ring positions that a scheduled window's
    // kernels have not read yet: the copy waits for the event recorded
    // behind the last scheduled window's kernels (windows run one after the
    // other, so every earlier window is done by then too).
    if (currentQueueItem->getCalculationIndex() != 0) {
        CUDA_CALL(rt, rt.streamWaitEvent(stream, currentQueueItem->getEventResultsCalculated(), 0));
    }
    buffers.waveforms.copySegmentFromHostToDevice(first, count, stream);
    progress_.samplesWritten += count;
    return first;
}

void WindowScheduler::skipSamples(uint32_t count) {
    settings_.requireBuilt("skipSamples");
    requireReset(currentQueueItem != nullptr, "skipSamples");
    const uint64_t next = progress_.samplesWritten.load() + count;
    progress_.samplesWritten.store(next);
    progress_.nextSampleToCalculate.store(next);
    progress_.nextSampleToDeliver.store(next);
    currentQueueItem->reset(next);
}

// --------------------------------------------------------------------- queue

std::size_t WindowScheduler::getResultsQueueSize() {
    std::lock_guard<std::mutex> lock(locks_.results);
    return resultsQueue.size();
}

void WindowScheduler::dropWindows() {
    while (!resultsQueue.empty()) {
        resultsQueue.pop();
    }
    currentQueueItem.reset();
}

void WindowScheduler::createPendingWindow(const uint64_t firstSampleIndex) {
    // Until the new pending item exists the module counts as not reset, so a
    // failure here leaves it rejecting work rather than using a stale item.
    currentQueueItem.reset();
    auto first = std::make_shared<PowerResultsQueueItem>(runtime_, settings_.getAppliedConfig().sampleRate, 0,
                                                         firstSampleIndex, 0, 0, 0, streams[0]);
    currentQueueItem = first;
    resultsQueue.push(first);
}

// ----------------------------------------------------------------- retrieval

bool WindowScheduler::isAnyResultReady() {
    std::lock_guard<std::mutex> lock(locks_.results);
    if (resultsQueue.empty()) {
        return false;
    }
    const QueueItemPointer front = resultsQueue.front();
    return front != nullptr && front->isResultReady();
}

std::vector<PowerResultsGeneral> WindowScheduler::getResults(int maxCount) {
    std::vector<PowerResultsGeneral> results;
    std::lock_guard<std::mutex> lock(locks_.results);
    const auto limit = static_cast<uint64_t>(static_cast<int64_t>(maxCount));
    for (;;) {
        if (maxCount != 0 && results.size() >= limit) {
            break;
        }
        if (resultsQueue.empty()) {
            break;
        }
        const QueueItemPointer front = resultsQueue.front();
        bool ready = false;
        try {
            ready = front != nullptr && front->isResultReady();
        } catch (const GpuException&) {
            // Records already taken from the queue are handed out; the fault
            // surfaces on the next call, which finds nothing to hand out first.
            if (results.empty()) {
                throw;
            }
        }
        if (!ready) {
            break;
        }
        resultsQueue.pop();
        progress_.nextSampleToDeliver.store(front->getNextSampleIndex());
        results.push_back(buildGeneralResults(*front));
        iecHarmonics_.deliver(front->getCalculationIndex());  // its grouped harmonic record
    }
    return results;
}

}  // namespace powergpu
