"""Screening of the input samples before they reach the analysis.

A sample that is missing (NaN), not finite, or absurdly large cannot be
measured with: the cycles and values that contain it would be invented.
``SampleScreen`` replaces such samples by 0 (so that the filters and the
library stay finite and allocate nothing in proportion to them) and
returns where they were, so that the analysis marks the cycles, windows
and half-cycle values that contain them invalid and flagged.  A channel
is absent, not missing samples, until its first usable sample: the
analysis leaves its columns empty up to there and does not invalidate the
other channels' values for it.

A sample is absurd when its magnitude exceeds ``ABSURD_LIMIT`` (no voltage
or current in any unit that recordings use comes near it) or
``ABSURD_FACTOR`` times the channel's scale, the largest 99th percentile of
the magnitudes of a block seen so far on that channel.  The percentile
ignores the few absurd samples themselves, and the factor is far above the
crest of any real transient, so faults and switching spikes pass.
"""
from __future__ import annotations

from typing import List, Optional, Tuple

import numpy as np

__all__ = ["SampleScreen", "ABSURD_LIMIT", "ABSURD_FACTOR"]

#: Magnitude above which a sample is absurd whatever the channel.
ABSURD_LIMIT = 1e12
#: Multiple of a channel's scale above which a sample is absurd.
ABSURD_FACTOR = 1e4


class SampleScreen:
    """Finds unusable samples block by block (state: each channel's scale
    and the count of unusable samples per channel)."""

    def __init__(self, columns: int) -> None:
        self.scale = np.zeros(int(columns))
        self.missing = np.zeros(int(columns), dtype=np.int64)
        self.absurd = np.zeros(int(columns), dtype=np.int64)
        self.finite = np.zeros(int(columns), dtype=np.int64)
        #: Running index of each channel's first usable sample (-1: none yet).
        self.first_usable = np.full(int(columns), -1, dtype=np.int64)

    def screen(self, block: np.ndarray, start: int,
               extremes: Optional[Tuple[np.ndarray, np.ndarray]] = None
               ) -> Tuple[np.ndarray, List[Tuple[int, int]]]:
        """Returns the block with unusable samples set to 0 and the runs
        [first, end) of running sample indices (from ``start``) in which
        any channel holds one.  ``extremes``: the largest and smallest
        value of each column (NaN where a column holds one) where the
        caller knows them already."""
        # the extremes hold a NaN or an infinity wherever a column does
        hi, lo = _column_extremes(block) if extremes is None else extremes
        all_finite = bool(np.isfinite(hi).all() and np.isfinite(lo).all())
        finite = None if all_finite else np.isfinite(block)
        peak = np.maximum(hi, -lo) if all_finite else \
            np.where(finite, np.abs(block), 0.0).max(axis=0)
        self._learn(block, finite, peak, all_finite)
        limit = np.minimum(ABSURD_LIMIT, ABSURD_FACTOR * self.scale)
        limit = np.where(self.scale > 0, limit, ABSURD_LIMIT)
        too_big = peak > limit
        if all_finite and not too_big.any():
            self.finite += len(block)
            if len(block):
                self.first_usable[self.first_usable < 0] = start
            return block, []
        if finite is None:
            finite = np.isfinite(block)
        bad = ~finite
        if too_big.any():
            absurd = finite & (np.abs(np.where(finite, block, 0.0)) > limit)
            self.absurd += absurd.sum(axis=0)
            bad |= absurd
        self.finite += finite.sum(axis=0)
        clean = np.where(bad, 0.0, block)
        # Until a channel's first usable sample it is absent, not missing
        # samples: its columns are left empty and it invalidates nothing.
        counted = bad
        for c in np.flatnonzero(self.first_usable < 0).tolist():
            good = np.flatnonzero(~bad[:, c])
            first = int(good[0]) if len(good) else len(block)
            if len(good):
                self.first_usable[c] = start + first
            if first:
                counted = counted.copy() if counted is bad else counted
                counted[:first, c] = False
        self.missing += (~finite & counted).sum(axis=0)
        return clean, _runs(counted.any(axis=1), start)

    def _learn(self, block: np.ndarray, finite: np.ndarray, peak: np.ndarray,
               all_finite: bool) -> None:
        """Raises the channel scales where a block's peak is not explained
        by the scale learnt so far (cheap: most blocks skip this)."""
        if len(block) == 0:
            return
        need = ((self.scale == 0) & (peak > 0)) | (peak > ABSURD_FACTOR * self.scale)
        if not need.any():
            return
        for c in np.flatnonzero(need).tolist():
            x = block[:, c] if all_finite else block[finite[:, c], c]
            if len(x):
                self.scale[c] = max(self.scale[c], float(np.percentile(np.abs(x), 99.0)))

    def absent(self) -> np.ndarray:
        """Channels that held no usable sample so far."""
        return self.first_usable < 0


def _column_extremes(block: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Largest and smallest value of each column (NaN where a column holds
    one).  For row-major blocks: numpy reduces a few long rows much faster
    than many rows of a few channels, so the rows of a C-ordered block are
    taken eight at a time as one row; the extremes are the same either way."""
    n, c = block.shape
    if n == 0:
        return np.zeros(c), np.zeros(c)
    if block.flags.f_contiguous and not block.flags.c_contiguous:
        # a channel-major block (what the readers give): column by column,
        # so that the second pass over a column finds it still in the cache
        hi, lo = np.empty(c), np.empty(c)
        for k in range(c):
            column = block[:, k]
            hi[k], lo[k] = column.max(), column.min()
        return hi, lo
    rows = n - n % 8
    if not (rows and c and block.flags.c_contiguous):
        return block.max(axis=0), block.min(axis=0)
    wide = block[:rows].reshape(-1, 8 * c)
    hi = wide.max(axis=0).reshape(8, c).max(axis=0)
    lo = wide.min(axis=0).reshape(8, c).min(axis=0)
    if rows < n:
        hi = np.maximum(hi, block[rows:].max(axis=0))
        lo = np.minimum(lo, block[rows:].min(axis=0))
    return hi, lo


def _runs(rows: np.ndarray, start: int) -> List[Tuple[int, int]]:
    """[first, end) index runs of the True entries of ``rows``."""
    edges = np.diff(np.concatenate([[False], rows, [False]]).astype(np.int8))
    firsts = np.flatnonzero(edges == 1)
    ends = np.flatnonzero(edges == -1)
    return [(start + int(a), start + int(b)) for a, b in zip(firsts, ends)]
