// Sums over many elements with several partial sums ("lanes").
//
// A single running sum makes every addition wait for the previous one.
// Interleaved partial sums, combined at the end, let the processor work on
// many elements at once. The kernels first form the per-element terms of a
// chunk of elements into plain arrays (a loop of independent iterations,
// which the compiler vectorises), then sum each array in lanes. Only the
// association order of the sums changes, which the backends are free to
// choose.
#pragma once

#include <cstring>

#include "kernels/cpu/CpuTargetClones.h"

namespace powergpu::cpu {

constexpr int kLanes = 4;

// Four doubles that the compiler keeps in one vector register (or two) and
// adds element-wise.
typedef double DoubleLanes __attribute__((vector_size(4 * sizeof(double))));

// Adds four consecutive doubles, from any alignment, to the lanes of sum.
POWERGPU_CPU_INLINE void addFour(DoubleLanes& sum, const double* values) {
    DoubleLanes next;
    std::memcpy(&next, values, sizeof next);
    sum += next;
}

// Sixteen interleaved partial sums of one total (four vectors of four
// lanes, so that four vector additions are in flight at once instead of
// each waiting for the previous one), kept across the chunks of a pass and
// combined once at its end.
struct LaneSum {
    DoubleLanes lanes[4] = {{0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}};
    double rest = 0.0;

    POWERGPU_CPU_INLINE void add(const double* values, int count) {
        // Local copies, which the compiler keeps in registers.
        DoubleLanes l0 = lanes[0];
        DoubleLanes l1 = lanes[1];
        DoubleLanes l2 = lanes[2];
        DoubleLanes l3 = lanes[3];
        constexpr int kStep = 4 * kLanes;
        int k = 0;
        for (; k + kStep <= count; k += kStep) {
            addFour(l0, values + k);
            addFour(l1, values + k + kLanes);
            addFour(l2, values + k + 2 * kLanes);
            addFour(l3, values + k + 3 * kLanes);
        }
        for (; k + kLanes <= count; k += kLanes) {
            addFour(l0, values + k);
        }
        double r = rest;
        for (; k < count; ++k) {
            r += values[k];
        }
        lanes[0] = l0;
        lanes[1] = l1;
        lanes[2] = l2;
        lanes[3] = l3;
        rest = r;
    }

    POWERGPU_CPU_INLINE double total() const {
        const DoubleLanes sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
        return ((sum[0] + sum[1]) + (sum[2] + sum[3])) + rest;
    }
};

// Elements are processed in chunks: the per-element terms of a chunk are
// formed first into plain arrays (independent iterations, which vectorise),
// then added to the lanes of their sums.
constexpr int kChunk = 256;

// The per-element terms of up to kChunk consecutive elements, one array per
// sum, and the lanes of the sums.
template <int Sums>
struct TermChunk {
    double terms[Sums][kChunk];
    LaneSum sums[Sums];

    // Adds the terms of the first count elements to the sums.
    POWERGPU_CPU_INLINE void accumulate(int count) {
        for (int s = 0; s < Sums; ++s) {
            sums[s].add(terms[s], count);
        }
    }

    POWERGPU_CPU_INLINE void addTotalsTo(double (&totals)[Sums]) const {
        for (int s = 0; s < Sums; ++s) {
            totals[s] += sums[s].total();
        }
    }
};

}  // namespace powergpu::cpu
