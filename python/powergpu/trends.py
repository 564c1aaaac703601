"""Bounded summaries of result tables that grow with the recording.

An analysis in streaming mode hands its tables on batch by batch and keeps
only what the summary, the console table and the report need, in memory
that does not depend on the length of the recording:

* ``ColumnStats``: per column the mean (over the finite values), minimum,
  maximum and counts, summed in fixed blocks of rows so that the result does
  not depend on how the rows were batched;
* ``Envelope``: a min/max decimation of several series over a common x axis
  (at most ``2 x buckets`` points per series) that keeps the extremes of
  every bucket, so that short dips stay visible and the overall minimum and
  maximum are exact;
* ``Trends``: what the report draws (envelopes of the window and half-cycle
  series, the spectrum of the window with the highest voltage THD, the mean
  fundamental phasors) and the column means of the console table;
  ``trends_of_tables`` makes them, with the same pieces, for a result that
  holds its tables but no trends (one built by hand).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import numpy as np

__all__ = ["ColumnStats", "Envelope", "PhasorSums", "Trends", "half_cycle_series",
           "trends_of_tables", "worst_thd_window"]

#: Rows summed together before a block's sum joins the running total.
STATS_BLOCK = 1024
#: Buckets of an envelope before neighbouring buckets are merged (at most
#: twice as many points per series).
ENVELOPE_BUCKETS = 1500
#: Series of the windows table that the report draws: (prefix, suffix) with
#: the phase number between them, or (name, None).
WINDOW_TRENDS = (("u", "_rms"), ("i", "_rms"), ("u", "_thd"), ("i", "_thd"),
                 ("frequency", None), ("u2_ratio", None), ("u0_ratio", None))
#: Series of the half-cycle table that the report draws.
HALF_CYCLE_TRENDS = (("u", "_rms"), ("valid", None))


class ColumnStats:
    """Running statistics of the float columns of a table.

    For each column: the sum and count of the finite values (summed in
    blocks of ``block`` rows, the block sums added with compensation),
    the count of non-missing values, whether an infinity occurred, and the
    minimum and maximum skipping NaN (as pandas does).
    """

    def __init__(self, block: int = STATS_BLOCK) -> None:
        self.block = int(block)
        self.names: List[str] = []
        self.rows = 0
        self._pending: List[Dict[str, np.ndarray]] = []
        self._pending_rows = 0
        self._sum: Dict[str, float] = {}
        self._comp: Dict[str, float] = {}
        self._finite: Dict[str, int] = {}
        self._present: Dict[str, int] = {}
        self._inf: Dict[str, bool] = {}
        self._min: Dict[str, float] = {}
        self._max: Dict[str, float] = {}

    def add(self, columns: Mapping[str, np.ndarray]) -> None:
        """Adds rows given as {name: 1-D array} (one length); only float
        columns are kept."""
        cols = {k: v for k, v in columns.items()
                if isinstance(v, np.ndarray) and v.dtype.kind == "f"}
        if not cols:
            return
        n = len(next(iter(cols.values())))
        if not self.names:
            self.names = list(cols)
            for k in self.names:
                self._sum[k] = self._comp[k] = 0.0
                self._finite[k] = self._present[k] = 0
                self._inf[k] = False
                self._min[k] = math.inf
                self._max[k] = -math.inf
        if n == 0:
            return
        for k in self.names:
            x = cols[k]
            # fmin and fmax skip NaN and give NaN only where every value is
            # one: one pass each, where nanmin would check for NaN first
            lo = float(np.fmin.reduce(x))
            if math.isnan(lo):
                continue
            self._min[k] = min(self._min[k], lo)
            self._max[k] = max(self._max[k], float(np.fmax.reduce(x)))
        self._pending.append(cols)
        self._pending_rows += n
        self.rows += n
        while self._pending_rows >= self.block:
            self._reduce(self.block)

    def _reduce(self, count: int) -> None:
        """Sums the first ``count`` pending rows as one block."""
        if count <= 0:
            return
        parts = self._pending
        if len(parts) == 1:
            head = parts[0]
        else:
            head = {k: np.concatenate([p[k] for p in parts]) for k in self.names}
        block = {k: v[:count] for k, v in head.items()}
        rest = {k: v[count:] for k, v in head.items()}
        left = self._pending_rows - count
        self._pending = [rest] if left else []
        self._pending_rows = left
        for k in self.names:
            x = block[k]
            s = float(np.sum(x))
            if math.isfinite(s):  # every value finite: one pass tells all
                nf = present = count
            else:
                finite = np.isfinite(x)
                nf = int(finite.sum())
                present = count - int(np.isnan(x).sum())
                if nf != present:
                    self._inf[k] = True
                s = float(np.sum(x[finite]))
            self._finite[k] += nf
            self._present[k] += present
            # Neumaier's compensated addition of the block sum
            total = self._sum[k]
            t = total + s
            if abs(total) >= abs(s):
                self._comp[k] += (total - t) + s
            else:
                self._comp[k] += (s - t) + total
            self._sum[k] = t

    def _settle(self) -> None:
        if self._pending_rows:
            self._reduce(self._pending_rows)

    def mean(self, name: str) -> Optional[float]:
        """Mean of the finite values, None without any."""
        self._settle()
        n = self._finite.get(name, 0)
        if not n:
            return None
        return (self._sum[name] + self._comp[name]) / n

    def nan_skipping_mean(self, name: str) -> Optional[float]:
        """What pandas' ``Series.mean`` gives, as a finite number or None
        (None also where an infinity makes the mean infinite or undefined)."""
        self._settle()
        if not self._present.get(name, 0) or self._inf.get(name, False):
            return None
        return self.mean(name)

    def minimum(self, name: str) -> Optional[float]:
        v = self._min.get(name, math.inf)
        return v if math.isfinite(v) else None

    def maximum(self, name: str) -> Optional[float]:
        v = self._max.get(name, -math.inf)
        return v if math.isfinite(v) else None

    def means(self) -> Dict[str, Optional[float]]:
        return {k: self.mean(k) for k in self.names}


class Envelope:
    """Min/max decimation of series that share an x axis, built row batch by
    row batch in bounded memory.

    Rows are grouped into buckets of ``width`` consecutive rows; each bucket
    keeps, per series, its smallest and largest finite value with their x
    (the first one on ties), or its first x when it holds no finite value.
    When more than ``buckets`` buckets would be needed, neighbouring
    buckets are merged in pairs and ``width`` doubles.  ``points(name)``
    gives at most ``2 x buckets`` points in x order.
    """

    def __init__(self, names: Sequence[str], buckets: int = ENVELOPE_BUCKETS) -> None:
        if buckets < 2 or buckets % 2:
            raise ValueError("buckets must be an even number of at least 2")
        self.names = list(names)
        self.capacity = int(buckets)
        self.width = 1
        self.rows = 0
        self.x_first = math.nan
        self.x_last = math.nan
        m = len(self.names)
        cap = self.capacity
        self._lo_v = np.full((cap, m), np.inf)
        self._lo_x = np.zeros((cap, m))
        self._hi_v = np.full((cap, m), -np.inf)
        self._hi_x = np.zeros((cap, m))
        self._x0 = np.zeros(cap)  # first x of each bucket

    @property
    def buckets(self) -> int:
        return (self.rows + self.width - 1) // self.width

    def add(self, x: np.ndarray, columns: Mapping[str, np.ndarray]) -> None:
        x = np.asarray(x, dtype=np.float64)
        n = len(x)
        if n == 0 or not self.names:
            return
        if self.rows == 0:
            self.x_first = float(x[0])
        self.x_last = float(x[-1])
        y = np.column_stack([np.asarray(columns[k], dtype=np.float64) for k in self.names])
        while (self.rows + n - 1) // self.width >= self.capacity:
            self._merge()
        ids = (self.rows + np.arange(n)) // self.width
        first = int(ids[0])
        starts = np.flatnonzero(np.r_[True, ids[1:] != ids[:-1]])
        bucket = ids[starts]
        finite = np.isfinite(y)
        ylo = np.where(finite, y, np.inf)
        yhi = np.where(finite, y, -np.inf)
        seg_lo = np.minimum.reduceat(ylo, starts, axis=0)
        seg_hi = np.maximum.reduceat(yhi, starts, axis=0)
        # x of the first row reaching each segment's extreme
        seg_of_row = np.repeat(np.arange(len(starts)), np.diff(np.r_[starts, n]))
        big = np.int64(n)
        rows = np.arange(n)[:, None]
        at_lo = np.where(ylo == seg_lo[seg_of_row], rows, big)
        at_hi = np.where(yhi == seg_hi[seg_of_row], rows, big)
        i_lo = np.minimum.reduceat(at_lo, starts, axis=0)
        i_hi = np.minimum.reduceat(at_hi, starts, axis=0)
        x_lo = x[np.minimum(i_lo, n - 1)]
        x_hi = x[np.minimum(i_hi, n - 1)]
        if self.rows % self.width != 0:
            # the first segment continues the last bucket: strict comparisons
            # keep the earlier extreme on ties
            b = first
            better = seg_lo[0] < self._lo_v[b]
            self._lo_v[b] = np.where(better, seg_lo[0], self._lo_v[b])
            self._lo_x[b] = np.where(better, x_lo[0], self._lo_x[b])
            better = seg_hi[0] > self._hi_v[b]
            self._hi_v[b] = np.where(better, seg_hi[0], self._hi_v[b])
            self._hi_x[b] = np.where(better, x_hi[0], self._hi_x[b])
            bucket, seg_lo, seg_hi, x_lo, x_hi = (bucket[1:], seg_lo[1:], seg_hi[1:], x_lo[1:],
                                                  x_hi[1:])
            starts = starts[1:]
        self._lo_v[bucket] = seg_lo
        self._lo_x[bucket] = x_lo
        self._hi_v[bucket] = seg_hi
        self._hi_x[bucket] = x_hi
        self._x0[bucket] = x[starts]
        self.rows += n

    def _merge(self) -> None:
        nb = self.buckets
        half = (nb + 1) // 2
        a = slice(0, nb - nb % 2, 2)
        b = slice(1, nb, 2)
        full = nb // 2
        lo_a, lo_b = self._lo_v[a][:full], self._lo_v[b][:full]
        take_b = lo_b < lo_a
        self._lo_x[:full] = np.where(take_b, self._lo_x[b][:full], self._lo_x[a][:full])
        self._lo_v[:full] = np.where(take_b, lo_b, lo_a)
        hi_a, hi_b = self._hi_v[a][:full], self._hi_v[b][:full]
        take_b = hi_b > hi_a
        self._hi_x[:full] = np.where(take_b, self._hi_x[b][:full], self._hi_x[a][:full])
        self._hi_v[:full] = np.where(take_b, hi_b, hi_a)
        self._x0[:full] = self._x0[a][:full]
        if nb % 2:  # a last, unpaired bucket
            self._lo_v[full] = self._lo_v[nb - 1]
            self._lo_x[full] = self._lo_x[nb - 1]
            self._hi_v[full] = self._hi_v[nb - 1]
            self._hi_x[full] = self._hi_x[nb - 1]
            self._x0[full] = self._x0[nb - 1]
        self._lo_v[half:] = np.inf
        self._hi_v[half:] = -np.inf
        self.width *= 2

    def points(self, name: str) -> Tuple[np.ndarray, np.ndarray]:
        """(x, y) of the series ``name``: per bucket its minimum and maximum
        in x order (one point where they coincide), or (first x, NaN) for a
        bucket without finite values."""
        j = self.names.index(name)
        nb = self.buckets
        lo_v, lo_x = self._lo_v[:nb, j], self._lo_x[:nb, j]
        hi_v, hi_x = self._hi_v[:nb, j], self._hi_x[:nb, j]
        empty = ~np.isfinite(lo_v)
        x1 = np.where(empty, self._x0[:nb], np.minimum(lo_x, hi_x))
        y1 = np.where(empty, np.nan, np.where(lo_x <= hi_x, lo_v, hi_v))
        x2 = np.maximum(lo_x, hi_x)
        y2 = np.where(lo_x <= hi_x, hi_v, lo_v)
        second = ~empty & (lo_x != hi_x)
        xs = np.column_stack([x1, x2]).ravel()
        ys = np.column_stack([y1, y2]).ravel()
        keep = np.column_stack([np.ones(nb, bool), second]).ravel()
        return xs[keep], ys[keep]

    def values(self, name: str) -> np.ndarray:
        """The y values of ``points(name)`` (they hold the overall extremes)."""
        return self.points(name)[1]


@dataclass
class Trends:
    """What the report and the console table need from the large tables,
    in bounded memory.

    - ``window_columns``: the columns of the windows table;
    - ``means``: mean of the finite values of every float column of the
      windows table;
    - ``windows`` / ``half_cycles``: envelopes over ``t_end`` of the series
      the report draws (RMS, THD, frequency, unbalance; half-cycle RMS and
      validity);
    - ``worst``: the window with the highest voltage THD: {"window", "t_end",
      "thd" {column: value}, "harmonics" (its rows of the harmonics table)}
      or None;
    - ``phasors``: {channel: (mean magnitude, angle in degrees of the mean
      phasor)} of the fundamentals, as ``report.fundamental_phasors``.
    """

    window_columns: List[str] = field(default_factory=list)
    half_cycle_columns: List[str] = field(default_factory=list)
    means: Dict[str, Optional[float]] = field(default_factory=dict)
    windows: Optional[Envelope] = None
    half_cycles: Optional[Envelope] = None
    worst: Optional[Dict[str, Any]] = None
    phasors: Dict[str, Tuple[float, float]] = field(default_factory=dict)

    def window_count(self) -> int:
        return 0 if self.windows is None else self.windows.rows

    def half_cycle_count(self) -> int:
        return 0 if self.half_cycles is None else self.half_cycles.rows


def envelope_names(columns: Iterable[str], wanted: Sequence[Tuple[str, str]]) -> List[str]:
    """The names of ``columns`` that match a (prefix, suffix) of ``wanted``
    with a phase number 1..3 between them, or equal a prefix when the suffix
    is None."""
    have = set(columns)
    out = []
    for prefix, suffix in wanted:
        if suffix is None:
            if prefix in have:
                out.append(prefix)
            continue
        for k in (1, 2, 3):
            name = f"{prefix}{k}{suffix}"
            if name in have:
                out.append(name)
    return out


class PhasorSums:
    """Running sums of the fundamental phasors of every phase voltage and
    current over window rows; ``means()`` gives per channel the mean
    magnitude and the angle of the mean phasor (the angles are relative to
    the fundamental of U1, so they stay put while the frequency drifts)."""

    def __init__(self) -> None:
        # channel -> [sum of magnitudes, sum of phasors, count]
        self._sums: Dict[str, List[Any]] = {}

    def add(self, cols: Mapping[str, np.ndarray]) -> None:
        """Adds the rows where both the magnitude and the angle are finite."""
        for prefix in ("u", "i"):
            for k in (1, 2, 3):
                mag = cols.get(f"{prefix}{k}_h1")
                ang = cols.get(f"{prefix}{k}_h1_angle")
                if mag is None or ang is None:
                    continue
                ok = np.isfinite(mag) & np.isfinite(ang)
                if not ok.any():
                    continue
                acc = self._sums.setdefault(f"{prefix.upper()}{k}", [0.0, 0j, 0])
                acc[0] += float(np.sum(mag[ok]))
                acc[1] += complex(np.sum(mag[ok] * np.exp(1j * np.radians(ang[ok]))))
                acc[2] += int(ok.sum())

    def means(self) -> Dict[str, Tuple[float, float]]:
        out = {}
        for name, (mag, z, count) in self._sums.items():
            out[name] = (mag / count, math.degrees(math.atan2((z / count).imag,
                                                              (z / count).real)))
        return out


def worst_thd_window(cols: Mapping[str, np.ndarray]) -> Tuple[Optional[int], float, List[str]]:
    """(row, THD, voltage THD columns) of the window rows' highest voltage
    THD over all phases (the first of equal ones) among the rows that are
    not flagged; row None where there is none."""
    names = [f"u{k}_thd" for k in (1, 2, 3) if f"u{k}_thd" in cols]
    if not names or not len(cols[names[0]]):
        return None, -math.inf, names
    thd = np.column_stack([np.asarray(cols[c], dtype=np.float64) for c in names])
    usable = np.isfinite(thd) & ~np.asarray(cols["flagged"], dtype=bool)[:, None]
    per_window = np.max(np.where(usable, thd, -np.inf), axis=1)
    best = int(np.argmax(per_window))
    score = float(per_window[best])
    return (best if math.isfinite(score) else None), score, names


def half_cycle_series(cols: Mapping[str, np.ndarray], names: Sequence[str]
                      ) -> Dict[str, np.ndarray]:
    """The half-cycle series the report draws: voltages of invalid values
    left out (NaN), validity as 0/1."""
    valid = np.asarray(cols["valid"]).astype(bool)
    out = {k: (np.where(valid, cols[k], np.nan) if k.startswith("u") else cols[k])
           for k in names if k != "valid"}
    if "valid" in names:
        out["valid"] = np.asarray(cols["valid"]).astype(np.float64)
    return out


def trends_of_tables(windows: Any, half_cycles: Any, harmonics: Any) -> Trends:
    """The trends of a result's tables (DataFrames or None), made at once
    by the pieces an analysis uses while it runs: a table without
    ``flagged`` or ``valid`` counts every row as unflagged or valid."""
    from .flags import spectral_columns, steady_statistics_view

    trends = Trends()
    if windows is not None and len(windows.columns):
        n = len(windows)
        cols = {k: windows[k].to_numpy() for k in windows.columns}
        cols.setdefault("valid", np.ones(n, dtype=bool))
        cols.setdefault("flagged", np.zeros(n, dtype=bool))
        trends.window_columns = list(windows.columns)
        steady = steady_statistics_view(cols, spectral_columns(trends.window_columns))
        stats = ColumnStats()
        stats.add(steady)
        trends.means = stats.means()
        trends.windows = Envelope(envelope_names(trends.window_columns, WINDOW_TRENDS))
        trends.windows.add(cols["t_end"], cols)
        phasors = PhasorSums()
        phasors.add(steady)
        trends.phasors = phasors.means()
        best, score, names = worst_thd_window(cols)
        if best is not None:
            window_id = cols["window"][best] if "window" in cols else windows.index[best]
            rows = None
            if harmonics is not None and len(harmonics):
                rows = harmonics[harmonics["window"].to_numpy() == window_id]
            trends.worst = {"window": best, "t_end": float(cols["t_end"][best]),
                            "thd": {c: float(cols[c][best]) for c in names},
                            "harmonics": rows}
    if half_cycles is not None and len(half_cycles.columns):
        cols = {k: half_cycles[k].to_numpy() for k in half_cycles.columns}
        cols.setdefault("valid", np.ones(len(half_cycles), dtype=bool))
        trends.half_cycle_columns = list(half_cycles.columns)
        trends.half_cycles = Envelope(envelope_names(trends.half_cycle_columns,
                                                     HALF_CYCLE_TRENDS))
        trends.half_cycles.add(cols["t_end"], half_cycle_series(cols, trends.half_cycles.names))
    return trends
