// Sums over many elements with several partial sums ("lanes").
//
// A single running sum makes every addition wait for the previous one. Four
// interleaved partial sums, combined at the end, let the processor (and the
// vectoriser) work on four elements at once. Only the association order of
// the sums changes, which the backends are free to choose.
#pragma once

#include <cstring>

#include "kernels/cpu/CpuTargetClones.h"

namespace powergpu::cpu {

constexpr int kLanes = 4;

// Calls add(lanes[k % kLanes], k) for k in [0, count).
template <typename Lane, typename Add>
POWERGPU_CPU_INLINE void addInLanes(Lane (&lanes)[kLanes], int count, Add&& add) {
    int k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        add(lanes[0], k);
        add(lanes[1], k + 1);
        add(lanes[2], k + 2);
        add(lanes[3], k + 3);
    }
    for (; k < count; ++k) {
        add(lanes[k % kLanes], k);
    }
}

// Combines the lanes with merge(into, from), pairwise.
template <typename Lane, typename Merge>
POWERGPU_CPU_INLINE Lane combineLanes(Lane (&lanes)[kLanes], Merge&& merge) {
    merge(lanes[0], lanes[1]);
    merge(lanes[2], lanes[3]);
    merge(lanes[0], lanes[2]);
    return lanes[0];
}

// Four doubles that the compiler keeps in one vector register (or two) and
// adds element-wise.
typedef double DoubleLanes __attribute__((vector_size(4 * sizeof(double))));

// Sum of count values, in four interleaved partial sums: one vector add per
// four values.
POWERGPU_CPU_INLINE double laneSum(const double* values, int count) {
    DoubleLanes lanes = {0.0, 0.0, 0.0, 0.0};
    int k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        DoubleLanes next;
        std::memcpy(&next, values + k, sizeof next);
        lanes += next;
    }
    double rest = 0.0;
    for (; k < count; ++k) {
        rest += values[k];
    }
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + rest;
}

// Elements are processed in chunks: the per-element terms of a chunk are
// formed first into plain arrays (independent iterations, which vectorise),
// then summed.
constexpr int kChunk = 256;

}  // namespace powergpu::cpu
