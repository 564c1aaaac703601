// Stored and applied settings, and the rebuild of the buffers and FFT plans
// from the applied ones.
#include "settings/ModuleSettings.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "powergpu.hpp"

namespace powergpu {

namespace {

// What a rebuild may replace: the memory, the lengths and the item layout of
// one buffer. Windows and samples that refer to a buffer whose footprint is
// unchanged stay valid across a rebuild.
struct BufferFootprint {
    const void* host = nullptr;
    const void* device = nullptr;
    uint64_t length = 0;
    std::vector<uint16_t> hostItems;
    std::vector<uint16_t> deviceItems;
    std::vector<uint16_t> toDevice;
    std::vector<uint16_t> toHost;

    template <typename T>
    static BufferFootprint of(const GpuBuffer<T>& buffer) {
        return BufferFootprint{buffer.getHostBuffer(0),
                               buffer.getDeviceBuffer(0),
                               buffer.getLength(),
                               buffer.getHostItemsList(),
                               buffer.getDeviceItemsList(),
                               buffer.items().getHost2DeviceItems(),
                               buffer.items().getDevice2HostItems()};
    }
    bool operator==(const BufferFootprint& other) const {
        return host == other.host && device == other.device && length == other.length && hostItems == other.hostItems &&
               deviceItems == other.deviceItems && toDevice == other.toDevice && toHost == other.toHost;
    }
};

// The footprint of every buffer of a set, the sample rings first.
std::vector<BufferFootprint> footprintOf(const PowerBuffers& b) {
    return {BufferFootprint::of(b.waveforms),
            BufferFootprint::of(b.clarkeParkWaveforms),
            BufferFootprint::of(b.fftInput),
            BufferFootprint::of(b.fftOutput),
            BufferFootprint::of(b.harmonics),
            BufferFootprint::of(b.thdResults),
            BufferFootprint::of(b.symmetricalComponents),
            BufferFootprint::of(b.symmetricalComponentsH1),
            BufferFootprint::of(b.clarkeH1),
            BufferFootprint::of(b.parkAverages),
            BufferFootprint::of(b.generalResults),
            BufferFootprint::of(b.periodResults),
            BufferFootprint::of(b.periodSamples)};
}

// The derived lengths that queued windows and period values were fixed with.
auto lengthsOf(const PowerBuffers& b) {
    return std::make_tuple(b.generalResultsBufferLength, b.periodResultsBufferLength, b.minFftLength, b.maxFftLength,
                           b.harmonicsCount, b.periodRecordsPerPeriod, b.bufferDuration);
}

}  // namespace

ModuleSettings::ModuleSettings(Runtime& runtime) : buffers(config, runtime), fftPlans(runtime) {}

ModuleSettings::Change ModuleSettings::apply() {
    const std::vector<BufferFootprint> before = footprintOf(buffers);
    const auto lengthsBefore = lengthsOf(buffers);
    // From here on the buffers follow the new settings; until the rebuild
    // completes nothing may use them.
    config = settings;
    buffers.setBufferLengthAndDuration(requestedBufferLength, requestedBufferDuration);
    buildFailure = "a rebuild is in progress";
    buildPart("the buffers for a ring of " + std::to_string(requestedBufferLength) + " samples per channel", [&] {
        buffers.initialize();
        fftPlans.rebuild(buffers.minFftLength, buffers.maxFftLength,
                         static_cast<int>(buffers.fftInput.getDeviceItemsCount()));
    });
    const std::vector<BufferFootprint> after = footprintOf(buffers);
    Change change;
    change.anyBuffer = before != after || lengthsBefore != lengthsOf(buffers);
    change.rings = !(before.front() == after.front());
    return change;
}

void ModuleSettings::requireBuilt(const char* const operation) const {
    if (!buildFailure.empty()) {
        throw PowerInvalidCall(std::string(operation) + ": the module is not built because its last rebuild failed (" +
                               buildFailure + "); change a setting or call beginUpdate and endUpdate to rebuild it.");
    }
}

void ModuleSettings::releasePlans() noexcept {
    try {
        fftPlans.destroyAll();
    } catch (...) {
        // Only the module's destructor calls this; the remaining plans go with the set.
    }
}

void ModuleSettings::setBufferLengthAndDuration(uint64_t length, double duration) {
    requestedBufferLength = length;
    requestedBufferDuration = duration;
}

void ModuleSettings::setSampleRate(double rate, int positionsPerSample) {
    settings.sampleRate = rate;
    settings.positionsPerSample = positionsPerSample;
}

void ModuleSettings::setStaticFrequency(double frequency, double tolerance) {
    const double clamped = std::max(std::min(tolerance, 0.5), 0.001);
    settings.variableFrequency = false;
    settings.minFrequency = (1.0 - clamped) * frequency;
    settings.maxFrequency = (clamped + 1.0) * frequency;
}

void ModuleSettings::setVariableFrequency(double lowest, double highest) {
    settings.variableFrequency = true;
    settings.minFrequency = lowest;
    settings.maxFrequency = highest;
}

uint64_t ModuleSettings::getFftLength(uint64_t /*windowLength*/, double frequency) const {
    if (!config.variableFrequency) {
        return buffers.maxFftLength;
    }
    return config.getFftLengthX(std::max(config.minFrequency, frequency));
}

}  // namespace powergpu
