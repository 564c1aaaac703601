#include "buffers/PowerBuffers.h"

#include <cmath>
#include <limits>

namespace powergpu {

namespace {

using CopyType = GpuBufferItems::CopyType;

// Number of result slots: ceil of a positive count, at least 1. A count that
// is not finite (unset sample rate, period count 0) also gives 1.
uint64_t slotCount(double count) {
    if (!(count >= 1.0) || !std::isfinite(count)) {
        return 1;
    }
    const double rounded = std::ceil(count);
    return rounded >= static_cast<double>(std::numeric_limits<uint32_t>::max())
               ? std::numeric_limits<uint32_t>::max()
               : static_cast<uint64_t>(rounded);
}

}  // namespace

PowerBuffers::PowerBuffers(const PowerConfig& config_, Runtime& runtime)
    : config(config_),
      waveforms(runtime, 10, true),
      clarkeParkWaveforms(runtime, 12, true),
      fftInput(runtime, 10, true),
      fftOutput(runtime, 10, true),
      harmonics(runtime, kHarmonicRowCount, true),
      thdResults(runtime, kHarmonicRowCount, true),
      symmetricalComponents(runtime, 10, true),
      symmetricalComponentsH1(runtime, 10, true),
      clarkeH1(runtime, 10, true),
      parkAverages(runtime, 10, true),
      generalResults(runtime, 1, true),
      periodResults(runtime, 1, true),
      periodSamples(runtime, 3, false) {
    generalResults.addItems(0, 1, GpuBufferItems::DeviceToHost);
}

void PowerBuffers::addFftItems(uint16_t first, uint16_t count) {
    fftInput.addItems(first, count, GpuBufferItems::DeviceOnly);
    fftOutput.addItems(first, count, config.fullFftEnabled ? GpuBufferItems::DeviceToHost : GpuBufferItems::DeviceOnly);
}

void PowerBuffers::addHarmonicItems(uint16_t first, uint16_t count) {
    harmonics.addItems(first, count, GpuBufferItems::DeviceToHost);
    if (config.thdEnabled) {
        thdResults.addItems(first, count, GpuBufferItems::DeviceToHost);
    }
}

void PowerBuffers::addSymmetricItems(uint16_t first) {
    symmetricalComponents.addItems(first, 3, GpuBufferItems::DeviceToHost);
    symmetricalComponentsH1.addItems(first, 3, GpuBufferItems::DeviceToHost);
}

void PowerBuffers::initialize() {
    const PowerGridConfig grid = config.getGridConfig();
    const uint16_t np = grid.phasesCount;
    const uint16_t nv = grid.voltagesCount;
    const uint16_t nc = grid.currentsCount;
    const uint16_t nd = config.getDeltaWaveformsCount();
    // Period values read derived channels on the host, so they need host
    // copies of them just as the caller's waveform access does.
    const bool derivedToHost = config.waveformsEnabled || config.areAnyPeriodValuesEnabled();
    const CopyType derivedType = derivedToHost ? GpuBufferItems::DeviceToHost : GpuBufferItems::DeviceOnly;

    generalResultsBufferLength = slotCount(bufferDuration * config.maxFrequency / config.periodCount);
    periodResultsBufferLength = slotCount(bufferDuration * config.maxFrequency / config.getPeriodCountAdvanceBy());

    waveforms.clearItems();
    if (grid.isStar) {
        waveforms.addItems(kPhaseVoltageItems, nv, GpuBufferItems::HostToDevice);
    } else {
        waveforms.addItems(kPhaseVoltageItems, np, derivedType);
    }
    if (config.currentEnabled) {
        waveforms.addItems(kCurrentItems, nc, GpuBufferItems::HostToDevice);
        if (np > nc) {
            waveforms.addItems(static_cast<uint16_t>(kCurrentItems + nc), static_cast<uint16_t>(np - nc), derivedType);
        }
    }
    if (grid.isDelta) {
        waveforms.addItems(kLineToLineItems, nv, GpuBufferItems::HostToDevice);
        if (np > nv) {
            waveforms.addItems(static_cast<uint16_t>(kLineToLineItems + nv), static_cast<uint16_t>(np - nv), derivedType);
        }
    } else if (config.waveformsEnabled || config.lineToLineResultsEnabled) {
        waveforms.addItems(kLineToLineItems, nd, derivedType);
    }
    if (config.mechanicalAngleUsed) {
        waveforms.addItems(kMechanicalAngleItem, 1, GpuBufferItems::HostToDevice);
    }

    clarkeParkWaveforms.clearItems();
    if (config.areClarkeWaveformsRequired()) {
        if (config.clarkeOrParkVoltagesEnabled) {
            clarkeParkWaveforms.addItems(kClarkeVoltageItems, 3, GpuBufferItems::DeviceToHost);
        }
        if (config.clarkeOrParkCurrentsEnabled && config.currentEnabled) {
            clarkeParkWaveforms.addItems(kClarkeCurrentItems, 3, GpuBufferItems::DeviceToHost);
        }
    }
    if (config.areParkWaveformsRequired()) {
        if (config.clarkeOrParkVoltagesEnabled) {
            clarkeParkWaveforms.addItems(kParkVoltageItems, 3, GpuBufferItems::DeviceToHost);
        }
        if (config.clarkeOrParkCurrentsEnabled && config.currentEnabled) {
            clarkeParkWaveforms.addItems(kParkCurrentItems, 3, GpuBufferItems::DeviceToHost);
        }
    }

    waveforms.resize(bufferLength);
    clarkeParkWaveforms.resize(bufferLength);

    minFftLength = config.getMinFftLength();
    maxFftLength = config.getMaxFftLength();
    fftOutputLength = maxFftLength / 2 + 1;

    fftInput.clearItems();
    fftOutput.clearItems();
    addFftItems(kPhaseVoltageItems, np);
    if (config.currentEnabled) {
        addFftItems(kCurrentItems, np);
    }
    if (config.lineToLineResultsEnabled) {
        addFftItems(kLineToLineItems, nd);
    }
    fftInput.resize(maxFftLength);
    fftOutput.resize(fftOutputLength + (config.fullFftEnabled ? bufferLength : 0));

    harmonicsCount = config.getRequiredHarmonicsCount();
    harmonics.clearItems();
    thdResults.clearItems();
    // The parts in row order (the kernels rely on it), each with the rows of
    // the channel kinds present.
    const auto addPart = [&](uint16_t part) {
        addHarmonicItems(static_cast<uint16_t>(part + kPhaseVoltageItems), np);
        if (config.currentEnabled) {
            addHarmonicItems(static_cast<uint16_t>(part + kCurrentItems), np);
        }
        if (config.lineToLineResultsEnabled) {
            addHarmonicItems(static_cast<uint16_t>(part + kLineToLineItems), nd);
        }
    };
    addPart(kMagnitudeRows);
    if (config.interHarmonicsEnabled) {
        addPart(kInterharmonicRows);
    }
    if (config.currentEnabled) {
        for (const uint16_t first : {kActivePowerRows, kReactivePowerRows, kApparentPowerRows, kImpedanceRows}) {
            addHarmonicItems(first, np);
        }
    }
    addPart(kPhaseRows);
    harmonics.resize(harmonicsCount * generalResultsBufferLength);
    thdResults.resize(generalResultsBufferLength);

    symmetricalComponents.clearItems();
    symmetricalComponentsH1.clearItems();
    if (config.areSymmetricalComponentsEnabled()) {
        addSymmetricItems(0);
        if (config.currentEnabled) {
            addSymmetricItems(3);
        }
    }
    symmetricalComponents.resize(generalResultsBufferLength);
    symmetricalComponentsH1.resize(generalResultsBufferLength);

    // Three voltage components, then three current components where currents
    // are measured; only a three-phase grid has them.
    const auto transformResults = [&](auto& buffer, bool enabled) {
        buffer.clearItems();
        if (enabled && np == 3) {
            buffer.addItems(0, 3, GpuBufferItems::DeviceToHost);
            if (config.currentEnabled) {
                buffer.addItems(3, 3, GpuBufferItems::DeviceToHost);
            }
        }
        buffer.resize(generalResultsBufferLength);
    };
    transformResults(clarkeH1, config.clarkeTransformEnabled);
    transformResults(parkAverages, config.parkTransformEnabled);

    generalResults.resize(generalResultsBufferLength);

    periodSamples.clearItems();
    periodResults.clearItems();
    periodRecordsPerPeriod = 0;
    if (config.areAnyPeriodValuesEnabled()) {
        periodRecordsPerPeriod = static_cast<uint64_t>(np) + 1;
        periodSamples.addItems(0, 1, GpuBufferItems::HostOnly);
        periodSamples.addItems(1, 2, GpuBufferItems::HostOnly);
        periodSamples.addItems(2, 1, GpuBufferItems::HostOnly);
        periodResults.addItems(0, 1, GpuBufferItems::HostOnly);
    }
    periodSamples.resize(bufferLength);
    periodResults.resize(periodRecordsPerPeriod * periodResultsBufferLength);
}

}  // namespace powergpu
