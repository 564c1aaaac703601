#include "iec/ChirpTransform.h"

#include <algorithm>

#include "buffers/ErrorChecks.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "IecHarmonicAnalysis";

namespace powergpu::iec {

int largestPrimeFactor(int n) {
    int largest = 1;
    for (int factor = 2; static_cast<long long>(factor) * factor <= n; ++factor) {
        while (n % factor == 0) {
            largest = factor;
            n /= factor;
        }
    }
    return std::max(largest, n);
}

bool usesChirpTransform(const int length) {
    return length > 1 && largestPrimeFactor(length) > kChirpPrimeLimit;
}

int chirpPaddedLength(const int length) {
    int padded = 1;
    while (padded < 2 * length - 1) {
        padded *= 2;
    }
    return padded;
}

void enqueueChirpTransform(Runtime& runtime, IecFftPlans& plans, const ChirpAreas& areas, const int length,
                           const int rows, const float* const input, float2* const spectra, const StreamHandle stream) {
    const int padded = chirpPaddedLength(length);
    const int binCount = length / 2 + 1;
    const ChirpTables& tables = plans.chirpTablesFor(length, padded, areas.padded, stream);
    const FftHandle plan = plans.complexPlanFor(padded, rows);
    CUFFT_CALL(runtime, runtime.fftSetStream(plan, stream));

    // Elements along x (a few blocks per row keep short rows from idling
    // the device), rows along y.
    Launch launch;
    launch.block = Dim3{256, 1, 1};
    launch.grid = Dim3{static_cast<unsigned>(std::min(64, (padded + 255) / 256)), static_cast<unsigned>(rows), 1};
    launch.stream = stream;

    runtime.launch(launch, ChirpPadArgs{length, padded, rows, input, tables.chirp.data(), areas.padded});
    CUDA_CALL(runtime, runtime.takeLastLaunchError());
    CUFFT_CALL(runtime, runtime.fftExecC2C(plan, areas.padded, areas.convolved));
    runtime.launch(launch, ChirpFilterArgs{padded, rows, tables.filterSpectrum.data(), areas.convolved});
    CUDA_CALL(runtime, runtime.takeLastLaunchError());
    CUFFT_CALL(runtime, runtime.fftExecC2C(plan, areas.convolved, areas.padded));
    runtime.launch(launch, ChirpUnpadArgs{binCount, padded, rows, areas.padded, tables.chirp.data(), spectra});
    CUDA_CALL(runtime, runtime.takeLastLaunchError());
}

}  // namespace powergpu::iec
