// Signals, launch shapes and reference spectra for the kernel tests.
#pragma once

#include <fftw3.h>

#include <cmath>
#include <vector>

#include "runtime/Runtime.h"

namespace powergpu::kernel_test {

constexpr double kPi = 3.14159265358979323846;

// The scheduler's launch shape: one-warp-wide blocks, one block row per channel or group.
inline Launch rowsLaunch(unsigned rows, unsigned gridX = 1, unsigned blockX = 32) {
    Launch launch;
    launch.grid.x = gridX;
    launch.block.x = blockX;
    launch.block.y = rows;
    return launch;
}

inline const auto bin = [](float x, float y) { return float2{x, y}; };
// The scale that makes the weighted one-sided Parseval sum of a windowed row
// the mean square of the unwindowed samples.
inline const auto fftScaleFor = [](int n, int fft) { return float(1.811903476715088 / std::sqrt(0.5 * n * fft)); };
// The period-n Blackman window from its textbook formula, in double.
inline const auto textbookBlackman = [](int i, int n) {
    return 0.42 - 0.5 * std::cos(2.0 * kPi * i / n) + 0.08 * std::cos(4.0 * kPi * i / n);
};
// A sin(2 pi cycles i / n + phase), phase in degrees.
inline const auto sineAt = [](double amplitude, double cycles, int n, double phaseDegrees, int i) {
    return amplitude * std::sin(2.0 * kPi * cycles * i / n + phaseDegrees * kPi / 180.0);
};
// Angle difference folded into (-180, 180].
inline const auto angleDifference = [](double a, double b) {
    const double d = std::fmod(a - b, 360.0);
    return d > 180.0 ? d - 360.0 : d <= -180.0 ? d + 360.0 : d;
};

// One-sided spectra (fftLength/2 + 1 bins each) of consecutive real rows,
// the layout of the batched real-to-complex transform.
inline std::vector<float2> realSpectra(std::vector<float> rows, int rowCount, int fftLength) {
    const int binCount = fftLength / 2 + 1;
    std::vector<float2> spectra(static_cast<std::size_t>(rowCount) * binCount);
    for (int row = 0; row < rowCount; ++row) {
        float* input = rows.data() + static_cast<std::size_t>(row) * fftLength;
        auto* output = reinterpret_cast<fftwf_complex*>(spectra.data() + static_cast<std::size_t>(row) * binCount);
        const fftwf_plan plan = fftwf_plan_dft_r2c_1d(fftLength, input, output, FFTW_ESTIMATE);
        fftwf_execute(plan);
        fftwf_destroy_plan(plan);
    }
    return spectra;
}

}  // namespace powergpu::kernel_test
