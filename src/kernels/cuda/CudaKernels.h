// Launchers of the seventeen CUDA kernels: each enqueues its kernel with the
// given execution configuration on the given stream. Launch errors surface
// through the runtime's peekAtLastError, as after any kernel launch.
#pragma once

#include "runtime/Runtime.h"

namespace powergpu::cuda {

void launchWaveformsUStar(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                          bool storeLineToLine, bool windowLineToLine, const float* phaseRing, float* lineRing,
                          float* phaseOut, float* lineOut);
void launchWaveformsUDelta(const Launch& launch, int measuredLineCount, int n, int offset, int ringLength,
                           int outStride, float fftScale, bool windowLineToLine, float* phaseRing, float* lineRing,
                           float* phaseOut, float* lineOut);
void launchWaveformsI(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                      float* currentRing, float* currentOut);
void launchWaveformsI3(const Launch& launch, int n, int offset, int ringLength, int outStride, float fftScale,
                       float* currentRing, float* currentOut);
void launchWaveformsClarke(const Launch& launch, int n, int offset, int ringLength, const float* ring,
                           float* clarkeRing);
void launchWaveformsPark(const Launch& launch, int n, int offset, int ringLength, int polePairs,
                         double mechAngleOffset, const float* ring, const float* angleRing, float* parkRing,
                         double* parkAverages);
void launchRmsU(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                PowerResultsGeneral* results);
void launchRmsUL(const Launch& launch, int n, int offset, int ringLength, const float* lineRing,
                 PowerResultsGeneral* results);
void launchRmsUI(const Launch& launch, int n, int offset, int ringLength, const float* phaseRing,
                 const float* currentRing, PowerResultsGeneral* results);
void launchFreqRms(const Launch& launch, int binCount, const float2* spectrumU, const float2* spectrumI,
                   const float2* spectrumUL, PowerResultsGeneral* results);
void launchReferenceAngle(const Launch& launch, double frequency, double dFrequency, double lengthRatio,
                          float2* spectrum, double* referenceAngle);
void launchHarmonics(const Launch& launch, int binCount, int harmonicCount, int halfWidth, int reserved,
                     bool interharmonics, double frequency, double dFrequency, double lengthRatio,
                     const double* referenceAngle, float2* spectrum, float* magnitudes, float* interharmonicValues,
                     float* phases);
void launchPQSZ(const Launch& launch, int rowCount, int harmonicCount, const float* magnitudes, const float* phases,
                float* powers, float* impedances);
void launchSumOfHarmonicsSquared(const Launch& launch, int highestOrder, int harmonicCount, const float* magnitudes,
                                 PowerResultsThd* thd);
void launchSymmetricalComponents(const Launch& launch, int binCount, const float2* spectra, double* sums);
void launchSymmetricalComponentsH1(const Launch& launch, int harmonicCount, const float* magnitudes,
                                   const float* phases, double2* components);
void launchClarkeH1AndParkAve(const Launch& launch, int harmonicCount, const float* magnitudes, const float* phases,
                              bool clarke, bool park, double2* clarkeOut, double* parkOut);

}  // namespace powergpu::cuda
