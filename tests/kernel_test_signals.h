// Signals, launch shapes and reference spectra for the kernel tests.
#pragma once

#include <fftw3.h>

#include <cmath>
#include <vector>

#include "runtime/Runtime.h"

namespace powergpu::kernel_test {

constexpr double kPi = 3.14159265358979323846;

// The launch shape the scheduler uses: one-warp-wide blocks, one block row
// per channel or group.
inline Launch rowsLaunch(unsigned rows, unsigned gridX = 1, unsigned blockX = 32) {
    Launch launch;
    launch.grid.x = gridX;
    launch.block.x = blockX;
    launch.block.y = rows;
    return launch;
}

// The scale that makes the weighted one-sided Parseval sum of a windowed
// row equal to the mean square of the unwindowed samples.
inline float fftScaleFor(int n, int fftLength) {
    return static_cast<float>(1.811903476715088 / std::sqrt(0.5 * static_cast<double>(n) * fftLength));
}

// The period-n Blackman window from its textbook formula, in double.
inline double textbookBlackman(int i, int n) {
    const double x = static_cast<double>(i) / n;
    return 0.42 - 0.5 * std::cos(2.0 * kPi * x) + 0.08 * std::cos(4.0 * kPi * x);
}

// A*sin(2*pi*cycles*i/n + phase), phase in degrees.
inline double sineAt(double amplitude, double cycles, int n, double phaseDegrees, int i) {
    return amplitude * std::sin(2.0 * kPi * cycles * i / n + phaseDegrees * kPi / 180.0);
}

// Angle difference folded into (-180, 180].
inline double angleDifference(double a, double b) {
    double d = std::fmod(a - b, 360.0);
    if (d > 180.0) {
        d -= 360.0;
    } else if (d <= -180.0) {
        d += 360.0;
    }
    return d;
}

// One-sided spectra (fftLength/2 + 1 bins each) of consecutive real rows of
// fftLength samples, the layout of the batched real-to-complex transform.
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
