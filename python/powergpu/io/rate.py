"""Sampling rate from per-sample time stamps.

Used when a COMTRADE file declares samp = 0 or a CSV has a time column.  The
period is the least-squares slope of stamp against sample index (so rounding
of individual stamps averages out); every stamp must then lie within a
tolerance of that uniform grid, otherwise the recording is not uniformly
sampled and we refuse rather than analyse a distorted signal.  Both passes
run in chunks so the stamps are never all in memory.
"""
from __future__ import annotations

from typing import Callable, List, Optional, Tuple

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
                         quantum: float, path: str, what: str = "time stamps",
                         lenient: Optional[float] = None,
                         notes: Optional[List[str]] = None, row: str = "sample") -> float:
    """Sampling rate implied by ``n`` stamps read in chunks by ``read(start, count)``.

    ``step`` converts stamp units to seconds; ``quantum`` is the stamp
    resolution in seconds (rounding to it is not an irregularity).  Tolerance
    per stamp: max(1.01 * quantum, 1 % of the sample period).  With
    ``lenient`` (a fraction of the period), stamps off the grid by more than
    that tolerance but by at most ``lenient`` periods are accepted: a logger
    whose clock jitters a little still sampled uniformly, and analysing it
    as such moves no value by more than that fraction of a sample.  A
    sentence saying so goes to ``notes``.  ``row`` names what the stamps
    are counted in (a sample of COMTRADE, a data row of CSV).
    """
    if n < 2:
        raise RecordingError(f"cannot derive a sampling rate from {what} of {n} sample(s)",
                             path=path)
    period, start = _fit(n, read, step, what, path)
    if not period > 0:
        raise RecordingError(f"cannot derive a sampling rate: {what} do not increase",
                             path=path)
    tol = max(1.01 * quantum, 0.01 * period)
    wide = max(tol, lenient * period) if lenient else tol
    off, worst, worst_at = 0, 0.0, 0
    for i in range(0, n, _CHUNK):
        count = min(_CHUNK, n - i)
        t = read(i, count) * step
        grid = start + period * np.arange(i, i + count, dtype=np.float64)
        dev = np.abs(t - grid)
        bad = ~(dev <= wide)
        if bad.any():
            k = int(np.flatnonzero(bad)[0])
            raise RecordingError(
                f"sampling is not uniform: {row} {i + k + 1} is at {t[k]:.9g} s, expected "
                f"{grid[k]:.9g} s (+/- {wide:.3g} s); pass sample_rate to override",
                path=path)
        loose = dev > tol
        if loose.any():
            off += int(np.count_nonzero(loose))
            k = int(np.argmax(dev))
            if dev[k] > worst:
                worst, worst_at = float(dev[k]), i + k + 1
    if off and notes is not None:
        notes.append(f"{off} time stamp{'s' if off > 1 else ''} of {what} "
                     f"{'lie' if off > 1 else 'lies'} off the uniform "
                     f"grid by up to {worst * 1e6:.3g} us ({100 * worst / period:.0f} % of a "
                     f"sample, {row} {worst_at}); analysed as uniformly sampled at "
                     f"{1.0 / period:.10g} Hz")
    return 1.0 / period
