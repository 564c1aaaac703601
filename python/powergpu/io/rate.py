"""Sampling rate from per-sample time stamps.

Used when a COMTRADE file declares samp = 0 or a CSV has a time column.  The
period is the least-squares slope of stamp against sample index (so rounding
of individual stamps averages out); every stamp must then lie within a
tolerance of that uniform grid, otherwise the recording is not uniformly
sampled and we refuse rather than analyse a distorted signal.  Both passes
run in chunks so the stamps are never all in memory.
"""
from __future__ import annotations

from typing import Callable, Tuple

import numpy as np

from .errors import RecordingError

_CHUNK = 1 << 18


def _fit(n: int, read: Callable[[int, int], np.ndarray], step: float, what: str,
         path: str) -> Tuple[float, float]:
    """(period, time of sample 0) by least squares, in seconds."""
    t0 = float(read(0, 1)[0]) * step
    centre = (n - 1) / 2.0
    s_t = 0.0
    s_xt = 0.0
    for i in range(0, n, _CHUNK):
        count = min(_CHUNK, n - i)
        t = read(i, count) * step - t0
        if not np.isfinite(t).all():
            k = int(np.flatnonzero(~np.isfinite(t))[0])
            raise RecordingError(f"cannot derive a sampling rate: sample {i + k + 1} has no "
                                 f"usable time stamp in {what}", path=path)
        x = np.arange(i, i + count, dtype=np.float64) - centre
        s_t += float(t.sum())
        s_xt += float(x @ t)
    s_xx = n * (n * n - 1) / 12.0
    period = s_xt / s_xx
    return period, t0 + s_t / n - period * centre


def rate_from_timestamps(n: int, read: Callable[[int, int], np.ndarray], step: float, *,
                         quantum: float, path: str, what: str = "time stamps") -> float:
    """Sampling rate implied by ``n`` stamps read in chunks by ``read(start, count)``.

    ``step`` converts stamp units to seconds; ``quantum`` is the stamp
    resolution in seconds (rounding to it is not an irregularity).  Tolerance
    per stamp: max(1.01 * quantum, 1 % of the sample period).
    """
    if n < 2:
        raise RecordingError(f"cannot derive a sampling rate from {what} of {n} sample(s)",
                             path=path)
    period, start = _fit(n, read, step, what, path)
    if not period > 0:
        raise RecordingError(f"cannot derive a sampling rate: {what} do not increase",
                             path=path)
    tol = max(1.01 * quantum, 0.01 * period)
    for i in range(0, n, _CHUNK):
        count = min(_CHUNK, n - i)
        t = read(i, count) * step
        grid = start + period * np.arange(i, i + count, dtype=np.float64)
        bad = ~(np.abs(t - grid) <= tol)
        if bad.any():
            k = int(np.flatnonzero(bad)[0])
            raise RecordingError(
                f"sampling is not uniform: sample {i + k + 1} is at {t[k]:.9g} s, expected "
                f"{grid[k]:.9g} s (+/- {tol:.3g} s); pass sample_rate to override",
                path=path)
    return 1.0 / period
