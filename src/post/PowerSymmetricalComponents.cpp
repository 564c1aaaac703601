#include "post/PowerSymmetricalComponents.h"

#include <cmath>

const std::vector<std::complex<double>> PowerSymmetricalComponents::a = {
    {std::cos(0.0), std::sin(0.0)},
    {std::cos(2.0943951023931953), std::sin(2.0943951023931953)},
    {std::cos(4.1887902047863905), std::sin(4.1887902047863905)},
};

namespace {

// Complex product written out, so that the order of operations is fixed.
PowerDouble2 multiply(const PowerDouble2& x, double yRe, double yIm) {
    return PowerDouble2{x.x * yRe - x.y * yIm, x.x * yIm + x.y * yRe};
}

std::complex<double> multiply(const std::complex<double>& x, const std::complex<double>& y) {
    return {x.real() * y.real() - x.imag() * y.imag(), x.real() * y.imag() + x.imag() * y.real()};
}

}  // namespace

void PowerSymmetricalComponents::calculate(PowerResultsSymmetricalComponent& r, bool currents) {
    r.uL = multiply(r.u, std::sqrt(3.0), 0.0);
    r.uMagnitude = std::hypot(r.u.x, r.u.y);
    r.uLMagnitude = std::hypot(r.uL.x, r.uL.y);
    if (!currents) {
        r.iMagnitude = 0.0;
        r.p = 0.0;
        r.q = 0.0;
        r.s = 0.0;
        r.iActive = 0.0;
        r.iReactive = 0.0;
        r.lambda = 0.0;
        return;
    }
    r.iMagnitude = std::hypot(r.i.x, r.i.y);
    const PowerDouble2 u3 = multiply(r.u, 3.0, 0.0);
    // S = 3 u conj(i)
    r.p = u3.x * r.i.x + u3.y * r.i.y;
    r.q = u3.y * r.i.x - u3.x * r.i.y;
    r.s = std::hypot(r.p, r.q);
    const double f = r.uMagnitude > 0.0 ? 1.0 / (3.0 * r.uMagnitude) : 0.0;
    r.iActive = r.p * f;
    r.iReactive = r.q * f;
    r.lambda = r.s > 0.0 ? r.p * (1.0 / r.s) : r.p * 0.0;
}

void PowerSymmetricalComponents::calculateRatios(PowerResultsSymmetricalComponent* r, bool currents) {
    const double fU = r[1].rmsU > 0.0 ? 100.0 / r[1].rmsU : 0.0;
    const double fM = r[1].uMagnitude > 0.0 ? 100.0 / r[1].uMagnitude : 0.0;
    for (int k = 0; k < 3; ++k) {
        r[k].rmsURatio = fU * r[k].rmsU;
        r[k].uRatio = fM * r[k].uMagnitude;
    }
    if (!currents) {
        return;
    }
    const double fI = r[1].rmsI > 0.0 ? 100.0 / r[1].rmsI : 0.0;
    const double fIM = r[1].iMagnitude > 0.0 ? 100.0 / r[1].iMagnitude : 0.0;
    for (int k = 0; k < 3; ++k) {
        r[k].rmsIRatio = fI * r[k].rmsI;
        r[k].iRatio = fIM * r[k].iMagnitude;
    }
}

std::vector<std::complex<double>> PowerSymmetricalComponents::transform(
    const std::vector<std::complex<double>>& abc) {
    const std::complex<double>& xa = abc.at(0);
    const std::complex<double>& xb = abc.at(1);
    const std::complex<double>& xc = abc.at(2);
    const auto combine = [&](const std::complex<double>& fa, const std::complex<double>& fb,
                             const std::complex<double>& fc) {
        const std::complex<double> sum = (multiply(xa, fa) + multiply(xb, fb)) + multiply(xc, fc);
        return std::complex<double>(sum.real() / 3.0, sum.imag() / 3.0);
    };
    return {combine(a[0], a[0], a[0]), combine(a[0], a[1], a[2]), combine(a[0], a[2], a[1])};
}

void PowerSymmetricalComponents::subtractReference(std::vector<std::complex<double>>& values,
                                                   const std::complex<double>& reference) {
    const double theta = -std::atan2(reference.imag(), reference.real());
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    for (std::complex<double>& z : values) {
        z = {c * z.real() - s * z.imag(), s * z.real() + c * z.imag()};
    }
}
