// The thirteen buffers of one module, sized from its settings, and the
// names of their items (see the enums below).
#pragma once

#include <cstdint>

#include "buffers/GpuBuffer.h"
#include "module/PowerConfig.h"

namespace powergpu {

// First items of the channel buffers (waveform rings, FFT input and output):
// a channel's item is its group's first item plus its index in the group.
enum ChannelItem : uint16_t {
    kPhaseVoltageItems = 0,    // U1 .. U3
    kCurrentItems = 3,         // I1 .. I3
    kLineToLineItems = 6,      // U12, U23, U31
    kMechanicalAngleItem = 9,  // the one angle ring
};

// First rows of the parts of the harmonics buffer. Each part has a row per
// channel item of its kind (0..2 voltages, 3..5 currents, 6..8 line-to-line):
// magnitudes and interharmonics of all three kinds; active, reactive and
// apparent powers and impedances per phase; phase angles of all three kinds.
enum HarmonicRow : uint16_t {
    kMagnitudeRows = 0,
    kInterharmonicRows = 9,
    kActivePowerRows = 18,
    kReactivePowerRows = 21,
    kApparentPowerRows = 24,
    kImpedanceRows = 27,
    kPhaseRows = 30,
    kHarmonicRowCount = 39,
};

// First items of the Clarke and Park waveform buffer, three each.
enum ClarkeParkItem : uint16_t {
    kClarkeVoltageItems = 0,  // alpha, beta, zero
    kClarkeCurrentItems = 3,
    kParkVoltageItems = 6,  // d, q
    kParkCurrentItems = 9,
};

class PowerBuffers {
public:
    PowerBuffers(const PowerConfig& config, Runtime& runtime);

    // Stores the ring size; it takes effect at the next initialize.
    void setBufferLengthAndDuration(uint64_t length, double duration) {
        bufferLength = length;
        bufferDuration = duration;
    }
    uint64_t getBufferLength() const { return bufferLength; }
    double getBufferDuration() const { return bufferDuration; }
    uint64_t getGeneralResultsBufferLength() const { return generalResultsBufferLength; }
    uint64_t getPeriodResultsBufferLength() const { return periodResultsBufferLength; }

    // Recomputes every length and item list from the settings and resizes
    // all buffers (memory is reused where a byte size is unchanged).
    void initialize();

private:
    void addFftItems(uint16_t first, uint16_t count);
    void addHarmonicItems(uint16_t first, uint16_t count);
    void addSymmetricItems(uint16_t first);

    const PowerConfig& config;

public:
    uint64_t bufferLength = 0;
    double bufferDuration = 1.0;
    uint64_t generalResultsBufferLength = 1;
    uint64_t periodResultsBufferLength = 1;
    uint64_t minFftLength = 0;
    uint64_t maxFftLength = 0;
    uint64_t fftOutputLength = 0;
    uint64_t harmonicsCount = 0;
    uint64_t periodRecordsPerPeriod = 0;

    GpuBuffer<float> waveforms;
    GpuBuffer<float> clarkeParkWaveforms;
    GpuBuffer<float> fftInput;
    GpuBuffer<float2> fftOutput;
    GpuBuffer<float> harmonics;
    GpuBuffer<PowerResultsThd> thdResults;
    GpuBuffer<double> symmetricalComponents;
    GpuBuffer<ComplexDouble> symmetricalComponentsH1;
    GpuBuffer<ComplexDouble> clarkeH1;
    GpuBuffer<double> parkAverages;
    GpuBuffer<PowerResultsGeneral> generalResults;
    GpuBuffer<PowerResultsPeriod> periodResults;
    GpuBuffer<double> periodSamples;
};

}  // namespace powergpu
