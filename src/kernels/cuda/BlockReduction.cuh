// Combining per-thread double sums of a kernel into global accumulators:
// warp shuffle, one shared-memory atomic per warp, a barrier, then one
// global atomic per block, row and value.
//
// The atomics are the hardware's double addition (atomicAdd on double*,
// compute capability 6.0 and later, shared and global memory alike): a
// single read-modify-write, so no thread ever reads a shared word with a
// plain load while another warp updates it. As with any atomic sum, the
// order in which warps and blocks add is not fixed; each addition is one
// correctly rounded double addition.
#pragma once

#include <cuda_runtime.h>

#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 600
#error "powergpu's CUDA kernels need compute capability 6.0 or later (native double atomicAdd)"
#endif

namespace powergpu::cuda {

// Zeroes a block's shared scratch; the caller synchronises afterwards.
__device__ inline void zeroSharedScratch(double* scratch, int count) {
    const int threads = static_cast<int>(blockDim.x * blockDim.y * blockDim.z);
    const int thread = static_cast<int>(threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z));
    for (int k = thread; k < count; k += threads) {
        scratch[k] = 0.0;
    }
}

// Where a thread stands in its warp. Rows (threadIdx.y) normally fill whole
// warps, but a block narrower than a warp packs several rows into one warp;
// each row's part of a warp is then reduced on its own and its first lane
// is that part's head.
struct WarpRowSegment {
    unsigned mask;  // lanes of the warp that exist in this block
    int lane;
    int lastLaneOfRow;  // last lane of this warp that belongs to this thread's row
    bool head;          // lane 0, or the first lane of a row inside the warp
};

__device__ inline WarpRowSegment warpRowSegment() {
    const int threads = static_cast<int>(blockDim.x * blockDim.y * blockDim.z);
    const int thread = static_cast<int>(threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z));
    WarpRowSegment segment;
    segment.lane = thread & 31;
    const int warpThreads = min(32, threads - (thread - segment.lane));
    segment.mask = warpThreads == 32 ? 0xffffffffu : ((1u << warpThreads) - 1u);
    segment.lastLaneOfRow = min(warpThreads - 1, segment.lane + static_cast<int>(blockDim.x - 1 - threadIdx.x));
    segment.head = segment.lane == 0 || threadIdx.x == 0;
    return segment;
}

// Shuffle-down tree with offsets 16, 8, 4, 2, 1: lane k adds the value of
// lane k + offset when that lane holds the same row. The head of each
// segment ends with the segment's total.
__device__ inline double warpRowSum(double value, const WarpRowSegment& segment) {
    for (int offset = 16; offset > 0; offset >>= 1) {
        const double other = __shfl_down_sync(segment.mask, value, offset);
        if (segment.lane + offset <= segment.lastLaneOfRow) {
            value += other;
        }
    }
    return value;
}

// Reduces `count` per-thread sums of every thread into the shared row
// `sharedRow` (zeroed beforehand) and synchronises the block, after which
// the row holds the block's totals. Every thread of the block must call it.
template <int kCount>
__device__ inline void blockRowSums(double (&sums)[kCount], double* sharedRow) {
    const WarpRowSegment segment = warpRowSegment();
#pragma unroll
    for (int k = 0; k < kCount; ++k) {
        sums[k] = warpRowSum(sums[k], segment);
    }
    if (segment.head) {
#pragma unroll
        for (int k = 0; k < kCount; ++k) {
            atomicAdd(&sharedRow[k], sums[k]);
        }
    }
    __syncthreads();
}

}  // namespace powergpu::cuda
