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

// Sum of count values in sixteen interleaved partial sums: four vectors of
// four lanes, so that four vector additions are in flight at once instead
// of each waiting for the previous one.
POWERGPU_CPU_INLINE double laneSum(const double* values, int count) {
    DoubleLanes lanes[4] = {{0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, 0.0}};
    constexpr int kStep = 4 * kLanes;
    int k = 0;
    for (; k + kStep <= count; k += kStep) {
        for (int v = 0; v < 4; ++v) {
            DoubleLanes next;
            std::memcpy(&next, values + k + v * kLanes, sizeof next);
            lanes[v] += next;
        }
    }
    for (; k + kLanes <= count; k += kLanes) {
        DoubleLanes next;
        std::memcpy(&next, values + k, sizeof next);
        lanes[0] += next;
    }
    double rest = 0.0;
    for (; k < count; ++k) {
        rest += values[k];
    }
    const DoubleLanes total = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    return ((total[0] + total[1]) + (total[2] + total[3])) + rest;
}

// Elements are processed in chunks: the per-element terms of a chunk are
// formed first into plain arrays (independent iterations, which vectorise),
// then summed.
constexpr int kChunk = 256;

// The per-element terms of up to kChunk consecutive elements, one array per
// sum.
template <int Sums>
struct TermChunk {
    double terms[Sums][kChunk];

    POWERGPU_CPU_INLINE void addTo(double (&totals)[Sums], int count) const {
        for (int s = 0; s < Sums; ++s) {
            totals[s] += laneSum(terms[s], count);
        }
    }
};

}  // namespace powergpu::cpu
