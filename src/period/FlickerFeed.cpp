// The period engine's side of the flickermeters: feeding them from the host
// rings and fetching their records.
#include "period/PeriodEngine.h"

namespace powergpu {

void PeriodEngine::feedFlicker(uint64_t firstSampleIndex, uint32_t count) {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    if (!config.flicker.enabled) {
        return;
    }
    const PowerGridConfig grid = config.getGridConfig();
    flicker::VoltageRings rings;
    rings.measured = grid.voltagesCount;
    rings.deriveThird = grid.isDelta && grid.voltagesCount < grid.lineToLineCount;
    rings.ringLength = buffers.getBufferLength();
    const int firstItem = grid.isStar ? 0 : 6;
    for (int c = 0; c < rings.measured && c < 3; ++c) {
        rings.rings[c] = buffers.waveforms.getHostBuffer(static_cast<uint16_t>(firstItem + c));
    }
    flicker.feed(rings, firstSampleIndex, count);
}

std::size_t PeriodEngine::getFlickerPinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* records) {
    return flicker.takePinst(channel, capacity, records);
}

std::size_t PeriodEngine::getFlickerPst(uint8_t channel, std::size_t capacity, PowerFlickerPst* records) {
    return flicker.takePst(channel, capacity, records);
}

}  // namespace powergpu
