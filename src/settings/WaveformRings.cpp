// The host rings of the channels, where the caller writes its samples and
// reads the derived waveforms; a pointer is given only for a channel that
// the grid configuration the buffers were built for has.
#include <string>

#include "powergpu.hpp"
#include "settings/ModuleSettings.h"

namespace powergpu {

namespace {

// The host ring of one channel, after checking that the channel exists in
// the grid configuration the buffers were built for: a pointer into another
// channel's ring would let the caller overwrite it unnoticed.
float* channelRing(const GpuBuffer<float>& buffer, const char* operation, const char* kind, uint8_t channel, int count,
                   int firstItem) {
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

float* ModuleSettings::getWaveformBufferUInput(uint8_t channel) const {
    requireBuilt("getWaveformBufferUInput");
    const PowerGridConfig grid = config.getGridConfig();
    return channelRing(buffers.waveforms, "getWaveformBufferUInput", "a measured voltage of this grid configuration",
                       channel, grid.voltagesCount, grid.isStar ? kPhaseVoltageItems : kLineToLineItems);
}

float* ModuleSettings::getWaveformBufferUStar(uint8_t channel) const {
    requireBuilt("getWaveformBufferUStar");
    return channelRing(buffers.waveforms, "getWaveformBufferUStar", "a phase voltage of this grid configuration",
                       channel, config.getPhasesCount(), kPhaseVoltageItems);
}

float* ModuleSettings::getWaveformBufferUDelta(uint8_t channel) const {
    requireBuilt("getWaveformBufferUDelta");
    const int phases = config.getPhasesCount();
    return channelRing(buffers.waveforms, "getWaveformBufferUDelta",
                       "a line-to-line voltage of this grid configuration", channel, phases * (phases - 1) / 2,
                       kLineToLineItems);
}

float* ModuleSettings::getWaveformBufferI(uint8_t channel) const {
    requireBuilt("getWaveformBufferI");
    return channelRing(buffers.waveforms, "getWaveformBufferI",
                       config.currentEnabled ? "a current of this grid configuration" : "a current (currents are off)",
                       channel, config.currentEnabled ? config.getPhasesCount() : 0, kCurrentItems);
}

float* ModuleSettings::getWaveformBufferClarkeU(uint8_t channel) const {
    return clarkeParkRing("getWaveformBufferClarkeU", "a Clarke component", channel, kClarkeVoltageItems);
}

float* ModuleSettings::getWaveformBufferClarkeI(uint8_t channel) const {
    return clarkeParkRing("getWaveformBufferClarkeI", "a Clarke component", channel, kClarkeCurrentItems);
}

float* ModuleSettings::getWaveformBufferParkU(uint8_t channel) const {
    return clarkeParkRing("getWaveformBufferParkU", "a Park component", channel, kParkVoltageItems);
}

float* ModuleSettings::getWaveformBufferParkI(uint8_t channel) const {
    return clarkeParkRing("getWaveformBufferParkI", "a Park component", channel, kParkCurrentItems);
}

// Clarke and Park waveforms have three components each (alpha, beta, zero;
// d, q, zero).
float* ModuleSettings::clarkeParkRing(const char* operation, const char* kind, uint8_t channel, int firstItem) const {
    requireBuilt(operation);
    return channelRing(buffers.clarkeParkWaveforms, operation, kind, channel, 3, firstItem);
}

float* ModuleSettings::getWaveformBufferMechAngles() const {
    requireBuilt("getWaveformBufferMechAngles");
    return buffers.waveforms.getHostBuffer(kMechanicalAngleItem);
}

}  // namespace powergpu
