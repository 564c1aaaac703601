// The module's side of the flickermeters: the flicker setters (rebuilding,
// like every setting the meters are built from), applying them after a
// rebuild, feeding the meters from the host rings and fetching records.
#include <cmath>
#include <string>

#include "flicker/LampModel.h"
#include "module/PowerModuleImpl.h"

namespace {

// The meters of a grid: its measured voltages, and on delta grids all three
// line-to-line voltages (the third derived where only two are measured).
int flickerChannelsOf(const PowerGridConfig& grid) {
    return grid.isDelta ? grid.lineToLineCount : grid.voltagesCount;
}

}  // namespace

void PowerModule::PowerModuleImpl::setFlickerEnabled(bool enabled) {
    settings.flicker.enabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setFlickerLamp(int32_t lamp) {
    powergpu::flicker::requireKnownLamp(lamp, "setFlickerLamp");
    settings.flicker.lamp = lamp;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setFlickerSystemFrequency(double frequency) {
    if (frequency != 50.0 && frequency != 60.0) {
        throw PowerInvalidCall("setFlickerSystemFrequency: " + std::to_string(frequency) +
                               " Hz is not a supply frequency the flickermeter knows (50 or 60 Hz).");
    }
    settings.flicker.systemFrequency = frequency;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setFlickerIntervalStart(uint64_t firstSampleIndex) {
    settings.flicker.intervalStart = firstSampleIndex;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::configureFlicker() {
    flicker.configure(config.flicker, config.sampleRate, flickerChannelsOf(config.getGridConfig()));
}

void PowerModule::PowerModuleImpl::feedFlicker(uint64_t firstSampleIndex, uint32_t count) {
    if (!config.flicker.enabled) {
        return;
    }
    const PowerGridConfig grid = config.getGridConfig();
    powergpu::flicker::VoltageRings rings;
    rings.measured = grid.voltagesCount;
    rings.deriveThird = grid.isDelta && grid.voltagesCount < grid.lineToLineCount;
    rings.ringLength = buffers.getBufferLength();
    const int firstItem = grid.isStar ? 0 : 6;
    for (int c = 0; c < rings.measured && c < 3; ++c) {
        rings.rings[c] = buffers.waveforms.getHostBuffer(static_cast<uint16_t>(firstItem + c));
    }
    flicker.feed(rings, firstSampleIndex, count);
}

std::size_t PowerModule::PowerModuleImpl::getFlickerPinst(uint8_t channel, std::size_t capacity,
                                                          PowerFlickerPinst* records) {
    return flicker.takePinst(channel, capacity, records);
}

std::size_t PowerModule::PowerModuleImpl::getFlickerPst(uint8_t channel, std::size_t capacity,
                                                        PowerFlickerPst* records) {
    return flicker.takePst(channel, capacity, records);
}
