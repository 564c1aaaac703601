// The sample input rings: the caller writes samples straight into the host
// rings, announces them, and the module copies exactly those to the device
// on the stream of the window that will consume them.
#include <string>

#include "module/PowerModuleImpl.h"

namespace {

void requireReset(bool reset, const char* operation) {
    if (!reset) {
        throw PowerInvalidCall(std::string(operation) + " before reset: call reset with the running index of the "
                               "first sample before writing or scheduling.");
    }
}

}  // namespace

void PowerModule::PowerModuleImpl::copyAddedSamplesToGpu(uint32_t count) {
    std::lock_guard<std::mutex> lock(calculationMutex);
    requireReset(currentQueueItem != nullptr, "writeSamples");
    const uint64_t ringLength = buffers.getBufferLength();
    if (count > ringLength) {
        throw PowerInvalidCall("writeSamples: count " + std::to_string(count) + " exceeds the buffer length " +
                               std::to_string(ringLength) + "; announce at most one ring of samples per call.");
    }
    if (count == 0) {
        return;
    }
    buffers.waveforms.copySegmentFromHostToDevice(samplesWritten.load(), count, currentQueueItem->getCudaStream());
    samplesWritten += count;
}

void PowerModule::PowerModuleImpl::skipSamples(uint32_t count) {
    requireReset(currentQueueItem != nullptr, "skipSamples");
    const uint64_t next = samplesWritten.load() + count;
    samplesWritten.store(next);
    nextSampleToCalculate.store(next);
    nextSampleToDeliver.store(next);
    currentQueueItem->reset(next);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferUInput(uint8_t channel) const {
    const bool star = config.getGridConfig().isStar;
    return buffers.waveforms.getHostBuffer(static_cast<uint16_t>(star ? channel : 6 + channel));
}

float* PowerModule::PowerModuleImpl::getWaveformBufferUStar(uint8_t channel) const {
    return buffers.waveforms.getHostBuffer(channel);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferUDelta(uint8_t channel) const {
    return buffers.waveforms.getHostBuffer(static_cast<uint16_t>(6 + channel));
}

float* PowerModule::PowerModuleImpl::getWaveformBufferI(uint8_t channel) const {
    return buffers.waveforms.getHostBuffer(static_cast<uint16_t>(3 + channel));
}

float* PowerModule::PowerModuleImpl::getWaveformBufferClarkeU(uint8_t channel) const {
    return buffers.clarkeParkWaveforms.getHostBuffer(channel);
}

float* PowerModule::PowerModuleImpl::getWaveformBufferClarkeI(uint8_t channel) const {
    return buffers.clarkeParkWaveforms.getHostBuffer(static_cast<uint16_t>(3 + channel));
}

float* PowerModule::PowerModuleImpl::getWaveformBufferParkU(uint8_t channel) const {
    return buffers.clarkeParkWaveforms.getHostBuffer(static_cast<uint16_t>(6 + channel));
}

float* PowerModule::PowerModuleImpl::getWaveformBufferParkI(uint8_t channel) const {
    return buffers.clarkeParkWaveforms.getHostBuffer(static_cast<uint16_t>(9 + channel));
}

float* PowerModule::PowerModuleImpl::getWaveformBufferMechAngles() const {
    return buffers.waveforms.getHostBuffer(9);
}
