// One plain argument record per kernel: the scheduler fills it, the runtime
// seam passes it on, the CPU kernel reads it and the CUDA kernel receives it
// by value. A new argument is one field here plus its uses. The records hold
// no CUDA types, so .cpp and .cu files share them; kName is the kernel's
// name as logs and messages give it.
//
// FFT input rows are `outStride` floats apart.
#pragma once

#include "kernels/DeviceTypes.h"

namespace powergpu {

// The window a kernel reads from the sample rings: n samples starting at
// ring position `offset` (wrapping at the ring end) of rings of
// `ringLength` samples per channel. One record, so that every kernel that
// walks the rings takes the same three numbers in the same order.
struct RingWindow {
    int n;
    int offset;
    int ringLength;
};

// Star grid: windowed phase rows and, per pair, the line-to-line voltages
// (stored back to the ring and/or windowed into their rows).
struct WaveformsUStarArgs {
    static constexpr const char* kName = "kernelWaveformsUStar";
    RingWindow window;
    int outStride;
    float fftScale;
    bool storeLineToLine;
    bool windowLineToLine;
    const float* phaseRing;
    float* lineRing;
    float* phaseOut;
    float* lineOut;
};

// Delta grid: phase voltages derived from the measured line-to-line ones
// (the third derived when only `measuredLineCount` are measured).
struct WaveformsUDeltaArgs {
    static constexpr const char* kName = "kernelWaveformsUDelta";
    int measuredLineCount;
    RingWindow window;
    int outStride;
    float fftScale;
    bool windowLineToLine;
    float* phaseRing;
    float* lineRing;
    float* phaseOut;
    float* lineOut;
};

// Windowed current rows.
struct WaveformsIArgs {
    static constexpr const char* kName = "kernelWaveformsI";
    RingWindow window;
    int outStride;
    float fftScale;
    float* currentRing;
    float* currentOut;
};

// The third current derived from the other two, stored and windowed.
struct WaveformsI3Args {
    static constexpr const char* kName = "kernelWaveformsI3";
    RingWindow window;
    int outStride;
    float fftScale;
    float* currentRing;
    float* currentOut;
};

// Clarke components of each three-channel group of `ring`.
struct WaveformsClarkeArgs {
    static constexpr const char* kName = "kernelWaveformsClarke";
    RingWindow window;
    const float* ring;
    float* clarkeRing;
};

// Park components from the mechanical angle ring, and their window means.
struct WaveformsParkArgs {
    static constexpr const char* kName = "kernelWaveformsPark";
    RingWindow window;
    int polePairs;
    double mechAngleOffset;
    const float* ring;
    const float* angleRing;
    float* parkRing;  // null: only the averages are wanted
    double* parkAverages;
};

// Rectified-mean and mean-square sums of the phase voltages.
struct RmsUArgs {
    static constexpr const char* kName = "kernelRmsU";
    RingWindow window;
    const float* phaseRing;
    PowerResultsGeneral* results;
};

// The same sums of the line-to-line voltages.
struct RmsULArgs {
    static constexpr const char* kName = "kernelRmsUL";
    RingWindow window;
    const float* lineRing;
    PowerResultsGeneral* results;
};

// Voltage and current sums and the active power sum, per phase.
struct RmsUIArgs {
    static constexpr const char* kName = "kernelRmsUI";
    RingWindow window;
    const float* phaseRing;
    const float* currentRing;
    PowerResultsGeneral* results;
};

// One-sided Parseval sums of each phase's spectra. The line-to-line spectrum
// has its own row count (one on a two-phase grid): rows at or above
// lineRowCount are not read.
struct FreqRmsArgs {
    static constexpr const char* kName = "kernelFreqRms";
    int binCount;
    int lineRowCount;
    const float2* spectrumU;
    const float2* spectrumI;   // null without currents
    const float2* spectrumUL;  // null without line-to-line results
    PowerResultsGeneral* results;
};

// Phase angle of the first voltage's fundamental, the reference of all phases.
struct ReferenceAngleArgs {
    static constexpr const char* kName = "kernelReferenceAngle";
    double frequency;
    double dFrequency;
    double lengthRatio;
    const float2* spectrum;
    double* referenceAngle;
};

// Harmonic and interharmonic groups and phases of every spectrum row.
struct HarmonicsArgs {
    static constexpr const char* kName = "kernelHarmonics";
    int binCount;
    int harmonicCount;
    int halfWidth;  // bins on each side of an order's centre searched for its group
    bool interharmonics;
    double frequency;
    double dFrequency;
    double lengthRatio;
    const double* referenceAngle;
    const float2* spectrum;
    float* magnitudes;
    float* interharmonicValues;
    float* phases;
};

// Per-order active, reactive and apparent powers and impedances.
struct PQSZArgs {
    static constexpr const char* kName = "kernelPQSZ";
    int rowCount;
    int harmonicCount;
    const float* magnitudes;
    const float* phases;
    float* powers;
    float* impedances;
};

// Sums of squared harmonic magnitudes up to `highestOrder`, per record.
struct SumOfHarmonicsSquaredArgs {
    static constexpr const char* kName = "kernelSumOfHarmonicsSquared";
    int highestOrder;
    int harmonicCount;
    const float* magnitudes;
    PowerResultsThd* thd;
};

// Sequence power sums over the bins of each three-phase group.
struct SymmetricalComponentsArgs {
    static constexpr const char* kName = "kernelSymmetricalComponents";
    int binCount;
    const float2* spectra;
    double* sums;
};

// Sequence phasors of the fundamentals of each three-phase group.
struct SymmetricalComponentsH1Args {
    static constexpr const char* kName = "kernelSymmetricalComponentsH1";
    int harmonicCount;
    const float* magnitudes;
    const float* phases;
    ComplexDouble* components;
};

// Clarke phasors of the fundamentals and the Park averages derived from them.
struct ClarkeH1AndParkAveArgs {
    static constexpr const char* kName = "kernelClarkeH1AndParkAve";
    int harmonicCount;
    const float* magnitudes;
    const float* phases;
    bool clarke;
    bool park;
    ComplexDouble* clarkeOut;
    double* parkOut;
};

// Grouped harmonic analysis of a rectangular-window spectrum: subgroup,
// interharmonic subgroup and group of orders 0 .. orderCount - 1 of each
// row (kernels/IecGroupMath.h), written as kIecValuesPerRow doubles per row.
struct IecHarmonicsArgs {
    static constexpr const char* kName = "kernelIecHarmonics";
    int binCount;               // bins per spectrum row (window length / 2 + 1)
    int orderCount;             // orders computed, at most kIecOrderCount
    int binsPerPeriod;          // whole fundamental periods in the window (at least 1)
    double binsPerFundamental;  // frequency * window length / sample rate
    double powerScale;          // 2 / (window length)^2: squared bin magnitude to squared rms
    const float2* spectrum;
    double* values;
};

// The chirp-z transform of the grouped harmonic analysis (kernels/ChirpMath.h):
// windows of lengths with a large prime factor are transformed by a
// convolution of paddedLength points (a power of two). Elements run along x,
// rows along y.

// The chirp of a length (length values) and its convolution filter
// (paddedLength values), once per length.
struct ChirpSetupArgs {
    static constexpr const char* kName = "kernelChirpSetup";
    int length;
    int paddedLength;
    float2* chirp;
    float2* filter;
};

// Rows of `length` samples times the chirp, zero-padded to paddedLength.
struct ChirpPadArgs {
    static constexpr const char* kName = "kernelChirpPad";
    int length;
    int paddedLength;
    int rows;
    const float* input;
    const float2* chirp;
    float2* padded;
};

// Transformed rows times the filter's spectrum, conjugated, in place.
struct ChirpFilterArgs {
    static constexpr const char* kName = "kernelChirpFilter";
    int paddedLength;
    int rows;
    const float2* filterSpectrum;
    float2* values;
};

// Bins 0 .. binCount - 1 of each row from the convolution, in the layout of
// a real-to-complex transform (rows binCount apart).
struct ChirpUnpadArgs {
    static constexpr const char* kName = "kernelChirpUnpad";
    int binCount;
    int paddedLength;
    int rows;
    const float2* convolved;
    const float2* chirp;
    float2* spectrum;
};

}  // namespace powergpu

// Every kernel, once: X(Name) stands for the record NameArgs, the CPU
// kernel cpu::kernelName and the CUDA launcher cuda::launchName. The runtime
// seam declares a launch overload per entry and each runtime defines them
// from this list, so a new kernel is one line here plus its kernels.
#define POWERGPU_KERNELS(X)    \
    X(WaveformsUStar)          \
    X(WaveformsUDelta)         \
    X(WaveformsI)              \
    X(WaveformsI3)             \
    X(WaveformsClarke)         \
    X(WaveformsPark)           \
    X(RmsU)                    \
    X(RmsUL)                   \
    X(RmsUI)                   \
    X(FreqRms)                 \
    X(ReferenceAngle)          \
    X(Harmonics)               \
    X(PQSZ)                    \
    X(SumOfHarmonicsSquared)   \
    X(SymmetricalComponents)   \
    X(SymmetricalComponentsH1) \
    X(ClarkeH1AndParkAve)      \
    X(IecHarmonics)            \
    X(ChirpSetup)              \
    X(ChirpPad)                \
    X(ChirpFilter)             \
    X(ChirpUnpad)
