// Harmonic tables, per-order powers and THD sums, and their launchers. Each
// thread owns whole orders (or a whole THD record): every output element has
// one writer and no atomics are needed.
#include "kernels/KernelElements.h"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"

namespace powergpu::cuda {

__global__ void kernelHarmonics(int binCount, int harmonicCount, int halfWidth, int /*reserved: not read*/,
                                bool interharmonics, double frequency, double dFrequency, double lengthRatio,
                                const double* referenceAngle, float2* spectrum, float* magnitudes,
                                float* interharmonicValues, float* phases) {
    const int c = static_cast<int>(threadIdx.y);
    const float2* row = spectrum + math::rowOffset(c, binCount);
    const double binsPerFundamental = frequency / dFrequency;
    const double reference = *referenceAngle;
    for (long long h = gridStrideStart(); h < harmonicCount; h += gridStrideStep()) {
        const math::HarmonicOrderValues values = math::harmonicOrderValues(
            row, binCount, static_cast<int>(h), halfWidth, interharmonics, binsPerFundamental, lengthRatio, reference);
        math::storeHarmonicOrder(values, math::rowOffset(c, harmonicCount) + h, magnitudes, phases,
                                 interharmonicValues);
    }
}

__global__ void kernelPQSZ(int rowCount, int harmonicCount, const float* magnitudes, const float* phases, float* powers,
                           float* impedances) {
    const int c = static_cast<int>(threadIdx.y);
    if (c >= rowCount) {
        return;
    }
    const long long block = math::rowOffset(rowCount, harmonicCount);
    for (long long h = gridStrideStart(); h < harmonicCount; h += gridStrideStep()) {
        const long long voltageEntry = math::rowOffset(c, harmonicCount) + h;
        const long long currentEntry = voltageEntry + block;
        const math::OrderPowers orderPowers = math::orderPowers(magnitudes[voltageEntry], magnitudes[currentEntry],
                                                                phases[voltageEntry], phases[currentEntry]);
        powers[voltageEntry] = orderPowers.active;
        powers[currentEntry] = orderPowers.reactive;
        powers[voltageEntry + 2 * block] = orderPowers.apparent;
        impedances[voltageEntry] = orderPowers.impedance;
    }
}

__global__ void kernelSumOfHarmonicsSquared(int highestOrder, int harmonicCount, const float* magnitudes,
                                            PowerResultsThd* thd) {
    const auto record = static_cast<int>(gridStrideStart());
    math::accumulateHarmonicsSquared(magnitudes + math::rowOffset(record, harmonicCount), highestOrder, &thd[record]);
}

void launchHarmonics(const Launch& launch, int binCount, int harmonicCount, int halfWidth, int reserved,
                     bool interharmonics, double frequency, double dFrequency, double lengthRatio,
                     const double* referenceAngle, float2* spectrum, float* magnitudes, float* interharmonicValues,
                     float* phases) {
    kernelHarmonics<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        binCount, harmonicCount, halfWidth, reserved, interharmonics, frequency, dFrequency, lengthRatio,
        referenceAngle, spectrum, magnitudes, interharmonicValues, phases);
}

void launchPQSZ(const Launch& launch, int rowCount, int harmonicCount, const float* magnitudes, const float* phases,
                float* powers, float* impedances) {
    kernelPQSZ<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(
        rowCount, harmonicCount, magnitudes, phases, powers, impedances);
}

void launchSumOfHarmonicsSquared(const Launch& launch, int highestOrder, int harmonicCount, const float* magnitudes,
                                 PowerResultsThd* thd) {
    kernelSumOfHarmonicsSquared<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                                  toStream(launch.stream)>>>(highestOrder, harmonicCount, magnitudes, thd);
}

}  // namespace powergpu::cuda
