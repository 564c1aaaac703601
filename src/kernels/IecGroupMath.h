// Per-order arithmetic of the grouped harmonic analysis (rectangular window
// over exactly the analysed samples), written once for the CPU and the CUDA
// kernel.
//
// A window of N samples holding about M fundamental periods gives bins
// fs / N apart, so the fundamental lies near bin r = f N / fs (about M) and
// order h near bin kc = round(h r). Rounding the centre to the nearest bin
// keeps the analysis usable when the window does not hold a whole number of
// periods (a frequency off nominal): the bins are then not exactly on the
// harmonics, and the nearest bin is the best estimate the spectrum offers.
//
// For order h (1 <= h), with bins clamped to 1 .. binCount - 1 (bin 0 is
// the mean, bins above the last one do not exist):
//   subgroup:      root-sum-square of bins kc - 1, kc, kc + 1;
//   interharmonic: root-sum-square of bins kc + 2 .. kn - 2, kn = round((h+1) r),
//                  i.e. the bins between two orders without those next to them;
//   group:         root-sum-square of bins kc - M/2 .. kc + M/2 with the two
//                  edge bins at half power when M is even (each bin between
//                  two orders is shared equally by both), bins kc - (M-1)/2 ..
//                  kc + (M-1)/2 when M is odd (the midpoint lies between bins).
// Order 0 is the mean value (its subgroup and group) and the interharmonic
// subgroup between the mean and the fundamental (bins 2 .. kc(1) - 2).
//
// Bin values are rms values: |X_k| sqrt(2) / N for k >= 1, |X_0| / N for the
// mean. Powers and sums are formed in double, in a fixed order with the
// fused multiply-adds written out, so both backends give the same bits from
// the same spectrum.
#pragma once

#include "kernels/KernelMath.h"

namespace powergpu::math {

// Orders 0 .. kIecOrderCount - 1 are kept in every record.
constexpr int kIecOrderCount = 51;
// Values per channel row of the device results: subgroups, interharmonic
// subgroups, groups, each kIecOrderCount entries.
constexpr int kIecValuesPerRow = 3 * kIecOrderCount;

// The squared rms value of bin k >= 1: (x^2 + y^2) * 2 / N^2, powerScale = 2 / N^2.
POWERGPU_HD inline double iecBinPower(float2 bin, double powerScale) {
    const double x = static_cast<double>(bin.x);
    const double y = static_cast<double>(bin.y);
    return fmaDouble(x, x, y * y) * powerScale;
}

// Sum of the bin powers first .. last, clipped to bins 1 .. lastBin, added
// in increasing bin order.
POWERGPU_HD inline double iecSumOfPowers(const float2* row, int first, int last, int lastBin, double powerScale) {
    const int from = first < 1 ? 1 : first;
    const int to = last > lastBin ? lastBin : last;
    double sum = 0.0;
    for (int k = from; k <= to; ++k) {
        sum = sum + iecBinPower(row[k], powerScale);
    }
    return sum;
}

// The bin nearest to order h.
POWERGPU_HD inline int iecCentreBin(int h, double binsPerFundamental) {
    return nearestInteger(static_cast<double>(h) * binsPerFundamental);
}

struct IecOrderValues {
    double subgroup;
    double interharmonic;
    double group;
};

// The three values of order h of one spectrum row of binCount bins.
// binsPerPeriod is M (at least 1), binsPerFundamental is r.
POWERGPU_HD inline IecOrderValues iecOrderValues(const float2* row, int binCount, int h, int binsPerPeriod,
                                                 double binsPerFundamental, double powerScale) {
    const int lastBin = binCount - 1;
    const int centre = iecCentreBin(h, binsPerFundamental);
    const int nextCentre = iecCentreBin(h + 1, binsPerFundamental);
    IecOrderValues values;
    values.interharmonic = sqrtDouble(iecSumOfPowers(row, centre + 2, nextCentre - 2, lastBin, powerScale));
    if (h == 0) {
        // The mean: half the power the rms scaling of the other bins gives.
        const double mean = sqrtDouble(iecBinPower(row[0], powerScale) * 0.5);
        values.subgroup = mean;
        values.group = mean;
        return values;
    }
    values.subgroup = sqrtDouble(iecSumOfPowers(row, centre - 1, centre + 1, lastBin, powerScale));
    const int half = binsPerPeriod / 2;
    if (binsPerPeriod % 2 == 0) {
        const double inner = iecSumOfPowers(row, centre - half + 1, centre + half - 1, lastBin, powerScale);
        const double edges = iecSumOfPowers(row, centre - half, centre - half, lastBin, powerScale) +
                             iecSumOfPowers(row, centre + half, centre + half, lastBin, powerScale);
        values.group = sqrtDouble(fmaDouble(edges, 0.5, inner));
    } else {
        values.group = sqrtDouble(iecSumOfPowers(row, centre - half, centre + half, lastBin, powerScale));
    }
    return values;
}

// Stores order h of row `row` into the device results (subgroups, then
// interharmonic subgroups, then groups of each row).
POWERGPU_HD inline void storeIecOrder(const IecOrderValues& values, int row, int h, double* results) {
    double* base = results + static_cast<long long>(row) * kIecValuesPerRow;
    base[h] = values.subgroup;
    base[kIecOrderCount + h] = values.interharmonic;
    base[2 * kIecOrderCount + h] = values.group;
}

}  // namespace powergpu::math
