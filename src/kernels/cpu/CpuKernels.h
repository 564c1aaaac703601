// The kernels of POWERGPU_KERNELS as plain loops on the calling thread.
//
// Each function takes the launch configuration of its CUDA twin (only the
// block's y extent, the number of rows or groups, matters here) and the same
// argument record. Per-element arithmetic comes from kernels/KernelMath.h, shared
// with the CUDA kernels, so both backends compute each element alike; only
// the association order of sums differs.
#pragma once

#include <unordered_map>
#include <vector>

#include "kernels/KernelArgs.h"
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

void kernelWaveformsUStar(CpuKernelContext& context, const Launch& launch, const WaveformsUStarArgs& args);
void kernelWaveformsUDelta(CpuKernelContext& context, const Launch& launch, const WaveformsUDeltaArgs& args);
void kernelWaveformsI(CpuKernelContext& context, const Launch& launch, const WaveformsIArgs& args);
void kernelWaveformsI3(CpuKernelContext& context, const Launch& launch, const WaveformsI3Args& args);
void kernelWaveformsClarke(const Launch& launch, const WaveformsClarkeArgs& args);
void kernelWaveformsPark(const Launch& launch, const WaveformsParkArgs& args);
void kernelRmsU(const Launch& launch, const RmsUArgs& args);
void kernelRmsUL(const Launch& launch, const RmsULArgs& args);
void kernelRmsUI(const Launch& launch, const RmsUIArgs& args);
void kernelFreqRms(const Launch& launch, const FreqRmsArgs& args);
void kernelReferenceAngle(const Launch& launch, const ReferenceAngleArgs& args);
void kernelHarmonics(CpuKernelContext& context, const Launch& launch, const HarmonicsArgs& args);
void kernelPQSZ(const Launch& launch, const PQSZArgs& args);
void kernelSumOfHarmonicsSquared(const Launch& launch, const SumOfHarmonicsSquaredArgs& args);
void kernelSymmetricalComponents(const Launch& launch, const SymmetricalComponentsArgs& args);
void kernelSymmetricalComponentsH1(const Launch& launch, const SymmetricalComponentsH1Args& args);
void kernelClarkeH1AndParkAve(const Launch& launch, const ClarkeH1AndParkAveArgs& args);
void kernelIecHarmonics(const Launch& launch, const IecHarmonicsArgs& args);
void kernelChirpSetup(const Launch& launch, const ChirpSetupArgs& args);
void kernelChirpPad(const Launch& launch, const ChirpPadArgs& args);
void kernelChirpFilter(const Launch& launch, const ChirpFilterArgs& args);
void kernelChirpUnpad(const Launch& launch, const ChirpUnpadArgs& args);

}  // namespace powergpu::cpu
