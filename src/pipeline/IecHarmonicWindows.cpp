// The scheduler's side of the grouped harmonic analysis (src/iec): sized
// after each rebuild, enqueued behind each window's kernels on its stream,
// a record made for each window getResults hands out, and the caller's fetch.
#include <algorithm>
#include <string>

#include "pipeline/WindowScheduler.h"
#include "powergpu.hpp"

namespace powergpu {

void WindowScheduler::configureIecHarmonics() {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    const uint8_t phases = config.getPhasesCount();
    const bool currents = config.currentEnabled && config.iecHarmonics.currentsEnabled;
    iecHarmonics_.configure(config.iecHarmonics, phases, currents ? phases : 0, buffers.maxFftLength,
                            buffers.generalResultsBufferLength);
}

void WindowScheduler::enqueueIecHarmonics(const PowerResultsQueueItem& item, const uint64_t ringPosition) {
    if (!iecHarmonics_.isActive()) {
        return;
    }
    const PowerBuffers& buffers = settings_.getBuffers();
    iec::IecWindow window;
    window.calculationIndex = item.getCalculationIndex();
    window.firstSampleIndex = item.getFirstSampleIndex();
    window.length = item.getLength();
    window.frequency = item.getFrequency();
    window.sampleRate = settings_.getAppliedConfig().sampleRate;
    window.ringPosition = ringPosition;
    window.ringLength = buffers.getBufferLength();
    for (uint16_t c = 0; c < 3; ++c) {
        window.rings[c] = buffers.waveforms.getDeviceBuffer(static_cast<uint16_t>(kPhaseVoltageItems + c));
        window.rings[3 + c] = buffers.waveforms.getDeviceBuffer(static_cast<uint16_t>(kCurrentItems + c));
    }
    window.stream = item.getStream();
    iecHarmonics_.enqueue(window);
}

void WindowScheduler::requireIecHarmonics(const char* const operation) const {
    if (!iecHarmonics_.isActive()) {
        throw PowerInvalidCall(std::string(operation) +
                               ": the grouped harmonic analysis is not enabled by the last rebuild; enable it with "
                               "setIecHarmonicsEnabled.");
    }
}

std::vector<PowerIecHarmonics> WindowScheduler::takeIecHarmonics(const std::size_t maxCount) {
    requireIecHarmonics("getIecHarmonics");
    std::vector<PowerIecHarmonics> records(std::min(maxCount, iecHarmonics_.waiting()));
    records.resize(iecHarmonics_.take(records.size(), records.data()));
    return records;
}

std::size_t WindowScheduler::getIecHarmonicsWaiting() const {
    requireIecHarmonics("getIecHarmonics");
    return iecHarmonics_.waiting();
}

}  // namespace powergpu
