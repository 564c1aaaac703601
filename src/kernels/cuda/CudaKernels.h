// Launchers of the seventeen CUDA kernels: each enqueues its kernel with the
// given execution configuration on the given stream. Launch errors surface
// through the runtime's takeLastLaunchError, as after any kernel launch.
#pragma once

#include "kernels/KernelArgs.h"
#include "runtime/Runtime.h"

namespace powergpu::cuda {

void launchWaveformsUStar(const Launch& launch, const WaveformsUStarArgs& args);
void launchWaveformsUDelta(const Launch& launch, const WaveformsUDeltaArgs& args);
void launchWaveformsI(const Launch& launch, const WaveformsIArgs& args);
void launchWaveformsI3(const Launch& launch, const WaveformsI3Args& args);
void launchWaveformsClarke(const Launch& launch, const WaveformsClarkeArgs& args);
void launchWaveformsPark(const Launch& launch, const WaveformsParkArgs& args);
void launchRmsU(const Launch& launch, const RmsUArgs& args);
void launchRmsUL(const Launch& launch, const RmsULArgs& args);
void launchRmsUI(const Launch& launch, const RmsUIArgs& args);
void launchFreqRms(const Launch& launch, const FreqRmsArgs& args);
void launchReferenceAngle(const Launch& launch, const ReferenceAngleArgs& args);
void launchHarmonics(const Launch& launch, const HarmonicsArgs& args);
void launchPQSZ(const Launch& launch, const PQSZArgs& args);
void launchSumOfHarmonicsSquared(const Launch& launch, const SumOfHarmonicsSquaredArgs& args);
void launchSymmetricalComponents(const Launch& launch, const SymmetricalComponentsArgs& args);
void launchSymmetricalComponentsH1(const Launch& launch, const SymmetricalComponentsH1Args& args);
void launchClarkeH1AndParkAve(const Launch& launch, const ClarkeH1AndParkAveArgs& args);
void launchIecHarmonics(const Launch& launch, const IecHarmonicsArgs& args);
void launchChirpSetup(const Launch& launch, const ChirpSetupArgs& args);
void launchChirpPad(const Launch& launch, const ChirpPadArgs& args);
void launchChirpFilter(const Launch& launch, const ChirpFilterArgs& args);
void launchChirpUnpad(const Launch& launch, const ChirpUnpadArgs& args);

}  // namespace powergpu::cuda
