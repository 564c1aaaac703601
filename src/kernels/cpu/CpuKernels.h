// The seventeen kernels as plain loops on the calling thread.
//
// Each function takes the launch configuration of its CUDA twin (only the
// block's y extent, the number of rows or groups, matters here) and the same
// arguments. Per-element arithmetic comes from kernels/KernelMath.h, shared
// with the CUDA kernels, so both backends compute each element alike; only
// the association order of sums differs.
#pragma once

#include <unordered_map>
#include <vector>

#include "kernels/KernelElements.h"
#include "runtime/Runtime.h"

namespace powergpu::cpu {

// Per-runtime scratch of the CPU kernels. The Blackman window of a window
// length is the same for every row and every window of that length, so it
// is computed once (with the shared per-element arithmetic) and reused.
// Scratch of kernelHarmonics: the plan of every order and its two groups,
// and for one spectrum row the power of every bin, the sums and norms of
// the groups, and the inputs and results of the phase angles.
struct HarmonicScratch {
    std::vector<math::HarmonicOrderPlan> plans;
    std::vector<int> groupFirst;
    std::vector<int> groupCount;
    std::vector<float> powers;
    std::vector<float> sums;
    std::vector<float> norms;
    std::vector<int> angleOrders;
    std::vector<float2> centreBins;
    std::vector<double> fracs;
    std::vector<float> angles;
};

class CpuKernelContext {
public:
    const std::vector<double>& blackmanWindow(int n);
    HarmonicScratch& harmonicScratch(int binCount, int harmonicCount);

private:
    std::unordered_map<int, std::vector<double>> windows_;
    HarmonicScratch harmonicScratch_;
};

void kernelWaveformsUStar(CpuKernelContext& context, const Launch& launch, int n, int offset, int ringLength,
                          int outStride, float fftScale, bool storeLineToLine, bool windowLineToLine,
                          const float* phaseRing, float* lineRing, float* phaseOut, float* lineOut);
void kernelWaveformsUDelta(CpuKernelContext& context, const Launch& launch, int measuredLineCount, int n, int offset,
                           int ringLength, int outStride, float fftScale, bool windowLineToLine, float* phaseRing,
                           float* lineRing, float* phaseOut, float* lineOut);
void kernelWaveformsI(CpuKernelContext& context, const Launch& launch, int n, int offset, int ringLength, int outStride,
                      float fftScale, float* currentRing, float* currentOut);
void kernelWaveformsI3(CpuKernelContext& context, const Launch& launch, int n, int offset, int ringLength,
                       int outStride, float fftScale, float* currentRing, float* currentOut);
void kernelWaveformsClarke(const Launch& launch, int n, int offset, int ringLength, const float* ring,
                           float* clarkeRing);
void kernelWaveformsPark(const Launch& launch, int n, int offset, int ringLength, int polePairs, double mechAngleOffset,
                         const float* ring, const float* angleRing, float* parkRing, double* parkAverages);
void kernelRmsU(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                PowerResultsGeneral* results);
void kernelRmsUL(const Launch& launch, int n, int offset, int ringLength, const float* lineRing,
                 PowerResultsGeneral* results);
void kernelRmsUI(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                 const float* currentRing, PowerResultsGeneral* results);
void kernelFreqRms(const Launch& launch, int binCount, const float2* spectrumU, const float2* spectrumI,
                   const float2* spectrumUL, PowerResultsGeneral* results);
void kernelReferenceAngle(const Launch& launch, double frequency, double dFrequency, double lengthRatio,
                          const float2* spectrum, double* referenceAngle);
void kernelHarmonics(CpuKernelContext& context, const Launch& launch, int binCount, int harmonicCount, int halfWidth,
                     int reserved, bool interharmonics, double frequency, double dFrequency, double lengthRatio,
                     const double* referenceAngle, const float2* spectrum, float* magnitudes,
                     float* interharmonicValues, float* phases);
void kernelPQSZ(const Launch& launch, int rowCount, int harmonicCount, const float* magnitudes, const float* phases,
                float* powers, float* impedances);
void kernelSumOfHarmonicsSquared(const Launch& launch, int highestOrder, int harmonicCount, const float* magnitudes,
                                 PowerResultsThd* thd);
void kernelSymmetricalComponents(const Launch& launch, int binCount, const float2* spectra, double* sums);
void kernelSymmetricalComponentsH1(const Launch& launch, int harmonicCount, const float* magnitudes,
                                   const float* phases, double2* components);
void kernelClarkeH1AndParkAve(const Launch& launch, int harmonicCount, const float* magnitudes, const float* phases,
                              bool clarke, bool park, double2* clarkeOut, double* parkOut);

}  // namespace powergpu::cpu
