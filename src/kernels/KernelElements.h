// What one thread of a kernel does with one element: one sample pair, one
// bin, one harmonic order, one THD record, one group of three phasors.
//
// Both backends call these with the same elements; only how elements are
// spread over threads, and the association order of the sums that combine
// per-thread results, differ between the CUDA and the CPU kernels.
#pragma once

#include "kernels/KernelMath.h"

namespace powergpu::math {

// ---------------------------------------------------------------------------
// Time-domain sums
// ---------------------------------------------------------------------------

// kernelRmsU, kernelRmsUL: the absolute value and the square are formed in
// single precision and widened afterwards.
POWERGPU_HD inline double rmsAbsoluteTerm(float sample) {
    return static_cast<double>(absFloat(sample));
}

POWERGPU_HD inline double rmsSquareTerm(float sample) {
    return static_cast<double>(sample * sample);
}

POWERGPU_HD inline void addRms(float sample, double& absolute, double& square) {
    absolute += rmsAbsoluteTerm(sample);
    square += rmsSquareTerm(sample);
}

// kernelRmsUI: both samples are widened first; squares and product are
// fused into their sums. The product of two widened floats has at most 48
// significant bits, so it is exact in double, and fma(u, u, sum) is the
// same as sum + productTerm(u, u): one rounding either way. So the sums
// add the exact products, which kernels can also form apart and sum in
// lanes.
POWERGPU_HD inline double productTerm(float a, float b) {
    return static_cast<double>(a) * static_cast<double>(b);
}

POWERGPU_HD inline void addRmsPair(float voltage, float current, double& absoluteU, double& absoluteI, double& squareU,
                                   double& squareI, double& product) {
    absoluteU += rmsAbsoluteTerm(voltage);
    absoluteI += rmsAbsoluteTerm(current);
    squareU += productTerm(voltage, voltage);
    squareI += productTerm(current, current);
    product += productTerm(voltage, current);
}

// Slots of one row's spectral sums, in the one order both backends keep.
enum SpectralSum : int { kSumU, kSumUL, kSumI, kSumP, kSumQ, kSpectralSums };

// Slots of one phase's time-domain voltage and current sums, likewise.
enum PairSum : int { kPairAbsoluteU, kPairAbsoluteI, kPairSquareU, kPairSquareI, kPairProduct, kPairSums };

struct RmsSums {
    double absolute = 0.0;
    double square = 0.0;

    POWERGPU_HD void add(float sample) { addRms(sample, absolute, square); }
};

struct RmsPairSums {
    double absoluteU = 0.0;
    double absoluteI = 0.0;
    double squareU = 0.0;
    double squareI = 0.0;
    double product = 0.0;

    POWERGPU_HD void add(float voltage, float current) {
        addRmsPair(voltage, current, absoluteU, absoluteI, squareU, squareI, product);
    }
};

// ---------------------------------------------------------------------------
// Spectral sums (one-sided Parseval)
// ---------------------------------------------------------------------------

// Half weight for the first and the last bin of a one-sided spectrum.
POWERGPU_HD inline double parsevalWeight(int bin, int binCount) {
    return (bin == 0 || bin == binCount - 1) ? 0.5 : 1.0;
}

// |X|^2 of one bin, widened to double.
POWERGPU_HD inline double binSquare(float2 bin) {
    const ComplexDouble x = widen(bin);
    return fmaDouble(x.x, x.x, x.y * x.y);
}

// Re(U conj(I)): the active part of the product of two bins.
POWERGPU_HD inline double binActive(float2 voltage, float2 current) {
    const ComplexDouble u = widen(voltage);
    const ComplexDouble i = widen(current);
    return fmaDouble(u.x, i.x, u.y * i.y);
}

// Im(U conj(I)): positive when the current lags the voltage.
POWERGPU_HD inline double binReactive(float2 voltage, float2 current) {
    const ComplexDouble u = widen(voltage);
    const ComplexDouble i = widen(current);
    return u.y * i.x - u.x * i.y;
}

POWERGPU_HD inline double addWeightedSquare(double sum, double weight, float2 bin) {
    return fmaDouble(weight, binSquare(bin), sum);
}

POWERGPU_HD inline double addWeightedActive(double sum, double weight, float2 voltage, float2 current) {
    return fmaDouble(weight, binActive(voltage, current), sum);
}

POWERGPU_HD inline double addWeightedReactive(double sum, double weight, float2 voltage, float2 current) {
    return fmaDouble(weight, binReactive(voltage, current), sum);
}

// Squared magnitudes of the zero, positive and negative sequence components
// of one bin of three phases.
struct SequenceSquares {
    double zero;
    double positive;
    double negative;
};

POWERGPU_HD inline SequenceSquares sequenceSquares(float2 a, float2 b, float2 c) {
    const ComplexDouble abc[3] = {widen(a), widen(b), widen(c)};
    ComplexDouble zero;
    ComplexDouble positive;
    ComplexDouble negative;
    calculateSymmetricalComponents(abc, &zero, &positive, &negative);
    SequenceSquares squares;
    squares.zero = squaredMagnitude(zero);
    squares.positive = squaredMagnitude(positive);
    squares.negative = squaredMagnitude(negative);
    return squares;
}

// ---------------------------------------------------------------------------
// Harmonic orders
// ---------------------------------------------------------------------------

// The bins of harmonic order h: centred on the bin nearest to h times the
// fundamental (in bins), halfWidth bins on either side, clipped to the row.
// The group is empty when last < first.
struct HarmonicBinGroup {
    int centre;
    int first;
    int last;
};

POWERGPU_HD inline HarmonicBinGroup harmonicBinGroup(int order, double binsPerFundamental, int halfWidth,
                                                     int binCount) {
    HarmonicBinGroup group;
    group.centre = nearestInteger(static_cast<double>(order) * binsPerFundamental);
    group.first = group.centre - halfWidth > 0 ? group.centre - halfWidth : 0;
    group.last = group.centre + halfWidth < binCount - 1 ? group.centre + halfWidth : binCount - 1;
    return group;
}

// The results of one order of one spectrum row; a value whose flag is false
// is left as it is in the output table. Where angleFromBin is set, the
// angle is that of bin `centre`, corrected by `frac` (harmonicOrderAngle).
struct HarmonicOrderValues {
    bool hasMagnitude = false;
    float magnitude = 0.0f;
    bool hasAngle = false;
    float angle = 0.0f;
    bool hasInterharmonic = false;
    float interharmonic = 0.0f;
    bool angleFromBin = false;
    int centre = 0;
    double frac = 0.0;
};

// The bins the values of one order come from: the order's group (for DC
// the bins after bin 0 up to its group's end), the interharmonic group up
// to the next order, and the centre bin of the angle. A count of 0 means
// no such group.
struct HarmonicOrderPlan {
    bool dc = false;
    bool outside = false;  // centre bin outside the row: magnitude and angle 0
    int groupFirst = 0;
    int groupCount = 0;
    int interFirst = 0;
    int interCount = 0;
    bool angleFromBin = false;
    int centre = 0;
    double frac = 0.0;
};

POWERGPU_HD inline HarmonicOrderPlan planHarmonicOrder(int binCount, int order, int halfWidth, bool interharmonics,
                                                       double binsPerFundamental) {
    HarmonicOrderPlan plan;
    const HarmonicBinGroup group = harmonicBinGroup(order, binsPerFundamental, halfWidth, binCount);
    if (order == 0) {
        plan.dc = true;
        plan.groupFirst = 1;
        plan.groupCount = group.last >= 1 ? group.last : 0;
    } else if (group.centre < 0 || group.centre > binCount - 1) {
        plan.outside = true;
    } else {
        plan.groupFirst = group.first;
        plan.groupCount = group.last >= group.first ? group.last - group.first + 1 : 0;
        plan.angleFromBin = true;
        plan.centre = group.centre;
        plan.frac = static_cast<double>(order) * binsPerFundamental - static_cast<double>(group.centre);
    }
    if (interharmonics) {
        const int nextCentre = nearestInteger(static_cast<double>(order + 1) * binsPerFundamental);
        const int upper = nextCentre - halfWidth - 1 < binCount - 1 ? nextCentre - halfWidth - 1 : binCount - 1;
        const int count = upper - group.last;
        const int first = group.last + 1;
        if (count >= 1 && first >= 0) {
            plan.interFirst = first;
            plan.interCount = count;
        }
    }
    return plan;
}

// The values of an order from the norms of its planned groups (each read
// only where its count is at least 1) and bin 0 of the row.
POWERGPU_HD inline HarmonicOrderValues harmonicOrderFromNorms(const HarmonicOrderPlan& plan, float2 dcBin,
                                                              float groupNormValue, float interNormValue) {
    HarmonicOrderValues values;
    if (plan.dc) {
        // DC: bin 0 carries half weight, like in the Parseval sum, so the
        // entry is the magnitude of the mean value.
        double energy = 0.5 * static_cast<double>(fmaFloat(dcBin.x, dcBin.x, dcBin.y * dcBin.y));
        if (plan.groupCount >= 1) {
            const double rest = static_cast<double>(groupNormValue);
            energy = fmaDouble(rest, rest, energy);
        }
        values.hasMagnitude = true;
        values.magnitude = static_cast<float>(sqrtDouble(energy));
        values.hasAngle = true;
        values.angle = 0.0f;
    } else if (plan.outside) {
        values.hasMagnitude = true;
        values.hasAngle = true;
    } else {
        if (plan.groupCount >= 1) {
            values.hasMagnitude = true;
            values.magnitude = groupNormValue;
        }
        values.hasAngle = true;
        values.angleFromBin = true;
        values.centre = plan.centre;
        values.frac = plan.frac;
    }
    if (plan.interCount >= 1) {
        values.hasInterharmonic = true;
        values.interharmonic = interNormValue;
    }
    return values;
}

// Magnitude (rms of the order) and the interharmonic group up to the next
// order, and where the phase angle comes from. An order whose centre bin
// lies outside the row reports magnitude and angle 0 and reads nothing
// outside the row; DC has angle 0.
POWERGPU_HD inline HarmonicOrderValues harmonicOrderMagnitudes(const float2* row, int binCount, int order,
                                                               int halfWidth, bool interharmonics,
                                                               double binsPerFundamental) {
    const HarmonicOrderPlan plan = planHarmonicOrder(binCount, order, halfWidth, interharmonics, binsPerFundamental);
    const float groupNormValue = plan.groupCount >= 1 ? groupNorm(row + plan.groupFirst, plan.groupCount) : 0.0f;
    const float interNormValue = plan.interCount >= 1 ? groupNorm(row + plan.interFirst, plan.interCount) : 0.0f;
    return harmonicOrderFromNorms(plan, row[0], groupNormValue, interNormValue);
}

// The phase angle of an order from its centre bin, relative to order times
// the reference angle.
POWERGPU_HD inline float harmonicOrderAngle(float2 centreBin, double frac, int order, double lengthRatio,
                                            double referenceAngle) {
    return static_cast<float>(
        calculateAngleDeg(centreBin, frac, lengthRatio, static_cast<double>(order) * referenceAngle));
}

// All values of one order.
POWERGPU_HD inline HarmonicOrderValues harmonicOrderValues(const float2* row, int binCount, int order, int halfWidth,
                                                           bool interharmonics, double binsPerFundamental,
                                                           double lengthRatio, double referenceAngle) {
    HarmonicOrderValues values =
        harmonicOrderMagnitudes(row, binCount, order, halfWidth, interharmonics, binsPerFundamental);
    if (values.angleFromBin) {
        values.angle = harmonicOrderAngle(row[values.centre], values.frac, order, lengthRatio, referenceAngle);
    }
    return values;
}

// Writes the values of one order at `entry` of the three tables; a value
// whose flag is false leaves its entry as it was.
POWERGPU_HD inline void storeHarmonicOrder(const HarmonicOrderValues& values, long long entry, float* magnitudes,
                                           float* phases, float* interharmonicValues) {
    if (values.hasMagnitude) {
        magnitudes[entry] = values.magnitude;
    }
    if (values.hasAngle) {
        phases[entry] = values.angle;
    }
    if (values.hasInterharmonic) {
        interharmonicValues[entry] = values.interharmonic;
    }
}

// ---------------------------------------------------------------------------
// THD sums of one harmonic row
// ---------------------------------------------------------------------------

// Adds the squared magnitudes of the orders 2..highestOrder, split into
// even, odd triplen and odd non-triplen orders, to the record's sums, then
// forms the odd and the total sums.
POWERGPU_HD inline void accumulateHarmonicsSquared(const float* magnitudes, int highestOrder, PowerResultsThd* thd) {
    double even = thd->thdEven;
    double oddTriplen = thd->thdOddTriplen;
    double oddNonTriplen = thd->thdOddNonTriplen;
    for (int order = 2; order <= highestOrder; ++order) {
        const float magnitude = magnitudes[order];
        const double square = static_cast<double>(magnitude * magnitude);
        if (order % 2 == 0) {
            even += square;
        } else if (order % 3 == 0) {
            oddTriplen += square;
        } else {
            oddNonTriplen += square;
        }
    }
    thd->thdEven = even;
    thd->thdOddTriplen = oddTriplen;
    thd->thdOddNonTriplen = oddNonTriplen;
    thd->thdOdd = oddTriplen + oddNonTriplen;
    thd->thd = thd->thdOdd + even;
}

// ---------------------------------------------------------------------------
// Fundamentals of a three-phase group
// ---------------------------------------------------------------------------

// The fundamental phasors of rows 3g, 3g+1, 3g+2 of the harmonic tables.
POWERGPU_HD inline void groupFundamentalPhasors(const float* magnitudes, const float* angles, int harmonicCount,
                                                int group, ComplexDouble abc[3]) {
    for (int phase = 0; phase < 3; ++phase) {
        const int entry = (3 * group + phase) * harmonicCount + 1;
        abc[phase] = fundamentalPhasor(magnitudes[entry], angles[entry]);
    }
}

}  // namespace powergpu::math
