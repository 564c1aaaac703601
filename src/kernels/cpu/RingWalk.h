// Walking the samples of one window through a sample ring on the CPU.
#pragma once

#include <algorithm>
#include <cstddef>

#include "kernels/KernelArgs.h"
#include "kernels/cpu/CpuTargetClones.h"

namespace powergpu::cpu {

// The contiguous ring pieces of window samples first .. first + count - 1
// (at most two: up to the ring end, then from its start). Piece p holds
// pieces[p].count samples from ring position pieces[p].position on; they
// are window samples first + pieces[p].offset on.
struct RingPiece {
    int offset;
    int position;
    int count;
};

POWERGPU_CPU_INLINE int ringPieces(int first, int count, int windowStart, int ringLength, RingPiece (&pieces)[2]) {
    const int position = static_cast<int>((static_cast<long long>(windowStart) + first) % ringLength);
    const int head = std::min(count, ringLength - position);
    pieces[0] = RingPiece{0, position, head};
    pieces[1] = RingPiece{head, 0, count - head};
    return head < count ? 2 : 1;
}

// Calls visitRun(i, j, run) for the contiguous runs of the window: window
// samples i .. i + run - 1 lie at ring positions j .. j + run - 1. The
// window is not longer than the ring.
template <typename VisitRun>
POWERGPU_CPU_INLINE void forEachWindowRun(const RingWindow& window, VisitRun&& visitRun) {
    if (window.n <= 0) {
        return;
    }
    RingPiece pieces[2];
    const int pieceCount = ringPieces(0, window.n, window.offset % window.ringLength, window.ringLength, pieces);
    for (int p = 0; p < pieceCount; ++p) {
        visitRun(pieces[p].offset, pieces[p].position, pieces[p].count);
    }
}

// Calls visit(i, j) for every window sample i in [0, n) with its ring
// position j = (i + offset) mod ringLength, in window order, without a
// modulo per sample.
template <typename Visit>
POWERGPU_CPU_INLINE void forEachWindowSample(const RingWindow& window, Visit&& visit) {
    forEachWindowRun(window, [&](int i, int j, int run) {
        for (int k = 0; k < run; ++k) {
            visit(i + k, j + k);
        }
    });
}

// Start of channel `channel` in a channel-major array of `length` elements
// per channel.
inline std::ptrdiff_t channelStart(int channel, int length) {
    return static_cast<std::ptrdiff_t>(channel) * static_cast<std::ptrdiff_t>(length);
}

}  // namespace powergpu::cpu
