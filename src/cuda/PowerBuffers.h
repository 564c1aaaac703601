// The thirteen buffers of one module, sized from its settings.
//
// Channel items: phase voltages 0..2, currents 3..5, line-to-line voltages
// 6..8, mechanical angle 9. The harmonics buffer has 39 rows: magnitudes
// 0..8, interharmonics 9..17, P/Q/S 18..26, impedances 27..29, phase angles
// 30..38.
#pragma once

#include <cstdint>

#include "cuda/CudaBuffer.h"
#include "module/PowerConfig.h"

namespace powergpu {

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
    GpuBuffer<double2> symmetricalComponentsH1;
    GpuBuffer<double2> clarkeH1;
    GpuBuffer<double> parkAverages;
    GpuBuffer<PowerResultsGeneral> generalResults;
    GpuBuffer<PowerResultsPeriod> periodResults;
    GpuBuffer<double> periodSamples;
};

}  // namespace powergpu
