// Harmonic tables, per-order powers and THD sums, and their launchers. Each
// thread owns whole orders (or a whole THD record): every output element has
// one writer and no atomics are needed.
#include "kernels/KernelElements.h"
#include "kernels/cuda/CudaKernels.h"
#include "kernels/cuda/LaunchConfiguration.cuh"

namespace powergpu::cuda {

__global__ void kernelHarmonics(const HarmonicsArgs args) {
    const int c = static_cast<int>(threadIdx.y);
    const float2* row = args.spectrum + math::rowOffset(c, args.binCount);
    const double binsPerFundamental = args.frequency / args.dFrequency;
    const double reference = *args.referenceAngle;
    for (long long h = gridStrideStart(); h < args.harmonicCount; h += gridStrideStep()) {
        const math::HarmonicOrderValues values =
            math::harmonicOrderValues(row, args.binCount, static_cast<int>(h), args.halfWidth, args.interharmonics,
                                      binsPerFundamental, args.lengthRatio, reference);
        math::storeHarmonicOrder(values, math::rowOffset(c, args.harmonicCount) + h, args.magnitudes, args.phases,
                                 args.interharmonicValues);
    }
}

__global__ void kernelPQSZ(const PQSZArgs args) {
    const int c = static_cast<int>(threadIdx.y);
    if (c >= args.rowCount) {
        return;
    }
    const long long block = math::rowOffset(args.rowCount, args.harmonicCount);
    for (long long h = gridStrideStart(); h < args.harmonicCount; h += gridStrideStep()) {
        const long long voltageEntry = math::rowOffset(c, args.harmonicCount) + h;
        const long long currentEntry = voltageEntry + block;
        const math::OrderPowers orderPowers =
            math::orderPowers(args.magnitudes[voltageEntry], args.magnitudes[currentEntry], args.phases[voltageEntry],
                              args.phases[currentEntry]);
        args.powers[voltageEntry] = orderPowers.active;
        args.powers[currentEntry] = orderPowers.reactive;
        args.powers[voltageEntry + 2 * block] = orderPowers.apparent;
        args.impedances[voltageEntry] = orderPowers.impedance;
    }
}

__global__ void kernelSumOfHarmonicsSquared(const SumOfHarmonicsSquaredArgs args) {
    const auto record = static_cast<int>(gridStrideStart());
    math::accumulateHarmonicsSquared(args.magnitudes + math::rowOffset(record, args.harmonicCount), args.highestOrder,
                                     &args.thd[record]);
}

void launchHarmonics(const Launch& launch, const HarmonicsArgs& args) {
    kernelHarmonics<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchPQSZ(const Launch& launch, const PQSZArgs& args) {
    kernelPQSZ<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes, toStream(launch.stream)>>>(args);
}

void launchSumOfHarmonicsSquared(const Launch& launch, const SumOfHarmonicsSquaredArgs& args) {
    kernelSumOfHarmonicsSquared<<<toDim3(launch.grid), toDim3(launch.block), launch.sharedBytes,
                                  toStream(launch.stream)>>>(args);
}

}  // namespace powergpu::cuda
