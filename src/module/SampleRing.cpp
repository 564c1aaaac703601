// The sample input rings: the caller writes samples straight into the host
// rings, announces them, and the module copies exactly those to the device
// on the stream of the window that will consume them.
#include <string>

#include "buffers/ErrorChecks.h"
#include "module/PowerModuleImpl.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "PowerModuleImpl";

namespace {

void requireReset(bool reset, const char* operation) {
    if (!reset) {
        throw PowerInvalidCall(std::string(operation) + " before reset: call reset with the running index of the "
                               "first sample before writing or scheduling.");
    }
}

}  // namespace

void PowerModule::PowerModuleImpl::copyAddedSamplesToDevice(uint32_t count) {
    std::lock_guard<std::mutex> lock(calculationMutex);
    requireBuilt("writeSamples");
    requireReset(currentQueueItem != nullptr, "writeSamples");
    const uint64_t ringLength = buffers.getBufferLength();
    if (count > ringLength) {
        throw PowerInvalidCall("writeSamples: count " + std::to_string(count) + " exceeds the buffer length " +
                               std::to_string(ringLength) + "; announce at most one ring of samples per call.");
    }
    if (count == 0) {
        return;
    }
    powergpu::Runtime& rt = *runtime_;
    const powergpu::StreamHandle stream = currentQueueItem->getStream();
    // The new samples may overwrite ring positions that a scheduled window's
    // kernels have not read yet: the copy waits for the event recorded
    // behind the last scheduled window's kernels (windows run one after the
    // other, so every earlier window is done by then too).
    if (currentQueueItem->getCalculationIndex() != 0) {
        CUDA_CALL(rt, rt.streamWaitEvent(stream, currentQueueItem->getEventResultsCalculated(), 0));
    }
    const uint64_t first = samplesWritten.load();
    buffers.waveforms.copySegmentFromHostToDevice(first, count, stream);
    samplesWritten += count;
    feedFlicker(first, count);
}

void PowerModule::PowerModuleImpl::skipSamples(uint32_t count) {
    requireBuilt("skipSamples");
    requireReset(currentQueueItem != nullptr, "skipSamples");
    const uint64_t next = samplesWritten.load() + count;
    samplesWritten.store(next);
    nextSampleToCalculate.store(next);
    nextSampleToDeliver.store(next);
    currentQueueItem->reset(next);
}

namespace {

// The host ring of one channel, after checking that the channel exists in
// the grid configuration the buffers were built for: a pointer into another
// channel's ring would let the caller overwrite it unnoticed.
float* channelRing(const powergpu::GpuBuffer<float>& buffer, const char* operation, const char* kind, uint8_t channel,
                   int count, int firstItem) {
    if (channel >= count) {
        const std::string valid =
            count == 0 ? "this configuration has none" : "valid channels: 0 to " + std::to_string(count - 1);
        throw PowerInvalidCall(std::string(operation) + ": channel " + std::to_string(channel) + " is not " + kind +
                               " (" + valid + ").");
    }
    // Item 0 addresses the array start even where it has no host slot of
    // its own; a channel without host storage has no pointer.
    const auto item = static_cast<uint16_t>(firstItem + channel);
    return buffer.items().getHostItemIndex(item) < 0 ? nullptr : buffer.getHostBuffer(item);
}

}  // namespace

float* PowerModule::PowerModuleImpl::getWaveformBufferUInput(uint8_t channel) const {
    requireBuilt("getWaveformBufferUInput");
    const PowerGridConfig grid = config.getGridConfig();
    return channelRing(buffers.waveforms, "getWaveformBufferUInput", "a measured voltage of this grid configuration",
                       channel, grid.voltagesCount, grid.isStar ? powergpu::kPhaseVoltageItems : powergpu::kLineToLineItems);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferUStar(uint8_t channel) const {
    requireBuilt("getWaveformBufferUStar");
    return channelRing(buffers.waveforms, "getWaveformBufferUStar", "a phase voltage of this grid configuration",
                       channel, config.getPhasesCount(), powergpu::kPhaseVoltageItems);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferUDelta(uint8_t channel) const {
    requireBuilt("getWaveformBufferUDelta");
    const int phases = config.getPhasesCount();
    return channelRing(buffers.waveforms, "getWaveformBufferUDelta",
                       "a line-to-line voltage of this grid configuration", channel, phases * (phases - 1) / 2, powergpu::kLineToLineItems);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferI(uint8_t channel) const {
    requireBuilt("getWaveformBufferI");
    return channelRing(buffers.waveforms, "getWaveformBufferI",
                       config.currentEnabled ? "a current of this grid configuration" : "a current (currents are off)",
                       channel, config.currentEnabled ? config.getPhasesCount() : 0, powergpu::kCurrentItems);
}

// Clarke and Park waveforms have three components each (alpha, beta, zero;
// d, q, zero).
float* PowerModule::PowerModuleImpl::getWaveformBufferClarkeU(uint8_t channel) const {
    requireBuilt("getWaveformBufferClarkeU");
    return channelRing(buffers.clarkeParkWaveforms, "getWaveformBufferClarkeU", "a Clarke component", channel, 3, powergpu::kClarkeVoltageItems);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferClarkeI(uint8_t channel) const {
    requireBuilt("getWaveformBufferClarkeI");
    return channelRing(buffers.clarkeParkWaveforms, "getWaveformBufferClarkeI", "a Clarke component", channel, 3, powergpu::kClarkeCurrentItems);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferParkU(uint8_t channel) const {
    requireBuilt("getWaveformBufferParkU");
    return channelRing(buffers.clarkeParkWaveforms, "getWaveformBufferParkU", "a Park component", channel, 3, powergpu::kParkVoltageItems);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferParkI(uint8_t channel) const {
    requireBuilt("getWaveformBufferParkI");
    return channelRing(buffers.clarkeParkWaveforms, "getWaveformBufferParkI", "a Park component", channel, 3, powergpu::kParkCurrentItems);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferMechAngles() const {
    requireBuilt("getWaveformBufferMechAngles");
    return buffers.waveforms.getHostBuffer(powergpu::kMechanicalAngleItem);
}
