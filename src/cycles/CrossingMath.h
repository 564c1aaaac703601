// Where a rising zero crossing lies between two samples.
#pragma once

namespace powergpu::cycles {

// The root in [0, 1] of the cubic through (-1, p0), (0, p1), (1, p2),
// (2, p3), for p1 < 0 <= p2: the linear guess p1 / (p1 - p2) refined by six
// Newton steps, each kept inside [0, 1]. The cubic follows a sine sampled
// at 200 points a cycle to about 1e-7 of its amplitude, where the line
// through p1 and p2 errs by up to 1e-4 of a sample.
inline double crossingFraction(double p0, double p1, double p2, double p3) {
    const double a = p1;
    const double b = -p0 / 3.0 - p1 / 2.0 + p2 - p3 / 6.0;
    const double c = p0 / 2.0 - p1 + p2 / 2.0;
    const double d = -p0 / 6.0 + p1 / 2.0 - p2 / 2.0 + p3 / 6.0;
    double x = p1 / (p1 - p2);
    for (int step = 0; step < 6; ++step) {
        const double f = a + x * (b + x * (c + x * d));
        const double df = b + x * (2.0 * c + x * 3.0 * d);
        x -= df != 0.0 ? f / df : 0.0;
        x = x < 0.0 ? 0.0 : (x > 1.0 ? 1.0 : x);
    }
    return x;
}

}  // namespace powergpu::cycles
