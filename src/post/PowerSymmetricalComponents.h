// Symmetrical components finished on the host: magnitudes, powers, current
// components, power factor and unbalance ratios of the zero, positive and
// negative sequence, and the transformation of three phasors.
#pragma once

#include <complex>
#include <vector>

#include "powergpu.h"

class PowerSymmetricalComponents {
public:
    // The rotation factors 1, e^(j 2 pi / 3), e^(j 4 pi / 3); exported as
    // the one process-wide table of the symmetrical components.
    POWERGPU_API static const std::vector<std::complex<double>> a;

    // Fills the derived fields of one sequence record from its u and i.
    static void calculate(PowerResultsSymmetricalComponent& r, bool currents);
    // r points to the zero, positive and negative records; ratios are in
    // percent of the positive sequence.
    static void calculateRatios(PowerResultsSymmetricalComponent* r, bool currents);
    // Three phase values in, {zero, positive, negative} out.
    static std::vector<std::complex<double>> transform(const std::vector<std::complex<double>>& abc);
    // Rotates every value by minus the angle of the reference.
    static void subtractReference(std::vector<std::complex<double>>& values, const std::complex<double>& reference);
};
