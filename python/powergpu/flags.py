"""Which windows and half-cycle values are not steady-state measurements.

A window or a one-cycle value is *flagged* when it is invalid (a cycle in
it was not measured, or it holds missing or absurd samples) or when its
interval overlaps an event of the events table (a dip, swell, interruption
or rapid voltage change): its spectral values (Blackman-weighted, so they
describe the window's centre) and its RMS then do not describe one steady
state, and statistics of steady-state quantities leave it out.

``EventIntervals`` holds the intervals of the events found so far, closed
ones and the ones still in progress; ``RowHoldback`` keeps table rows back
until the events that could overlap them are known, so that the flag of a
row handed on never changes later.

Also here: the columns that have no meaning where a channel has no
fundamental (``blank_without_phasor``) and the total distortion computed
from consistent, equally weighted quantities (``total_distortion``).
"""
from __future__ import annotations

import math
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

__all__ = ["EventIntervals", "RowHoldback", "blank_absent", "blank_without_phasor",
           "total_distortion", "PHASOR_FLOOR_RMS", "PHASOR_FLOOR_SCALE", "SPECTRAL_PREFIXES",
           "spectral_columns", "steady_statistics_view"]

#: A fundamental below this fraction of its window's RMS has no usable phase
#: (DC, noise, a channel that carries no power-frequency signal).
PHASOR_FLOOR_RMS = 0.01
#: A fundamental below this fraction of the channel's scale (the largest
#: magnitudes seen on it) is noise on a channel that carries nothing now
#: (zero current, a lost voltage).
PHASOR_FLOOR_SCALE = 1e-3


class EventIntervals:
    """Intervals [t_start, t_end] of events, in seconds.  Each event has a
    type ("rvc", "dip", ...); an event in progress has a key and is open
    until ``close`` (or ``add`` of its final interval)."""

    def __init__(self) -> None:
        self._t0: List[float] = []
        self._t1: List[float] = []
        self.types: List[str] = []
        self._open: Dict[object, Tuple[float, float]] = {}
        self._open_kinds: Dict[object, Optional[str]] = {}

    def add(self, kind: str, t_start: float, t_end: float) -> None:
        """A finished event (t_end NaN: it lasts to the end of the recording)."""
        self._t0.append(float(t_start))
        self._t1.append(float(t_end) if math.isfinite(float(t_end)) else math.inf)
        self.types.append(str(kind))

    def open(self, key: object, t_start: float, lag: float = 0.0,
             kind: Optional[str] = None) -> None:
        """An event in progress from ``t_start``.  ``lag``: how far before
        the latest value seen its end may still be placed once it is
        known (0 for an event that ends where it is detected); ``kind``:
        its type, when known."""
        self._open[key] = (float(t_start), float(lag))
        self._open_kinds[key] = kind

    def close(self, key: object) -> None:
        self._open.pop(key, None)
        self._open_kinds.pop(key, None)

    def __len__(self) -> int:
        return len(self._t0)

    def settled_until(self, known_until: float) -> float:
        """Rows ending at or before this time can be flagged for good, the
        events being known up to ``known_until``: an event in progress
        will end no earlier than ``known_until`` minus its lag, so rows
        between its start and that time overlap it whatever its end, and
        rows before its start do not."""
        out = known_until
        for start, lag in self._open.values():
            out = min(out, max(start, known_until - lag))
        return out

    def overlaps(self, t0: np.ndarray, t1: np.ndarray,
                 kinds: Optional[Sequence[str]] = None) -> np.ndarray:
        """Whether each interval [t0, t1] shares a point with an event (of
        one of ``kinds`` when given; an event in progress of unknown type
        counts whatever ``kinds``)."""
        t0 = np.asarray(t0, dtype=np.float64)
        t1 = np.asarray(t1, dtype=np.float64)
        out = np.zeros(t0.shape, dtype=bool)
        if not len(t0):
            return out
        lo, hi = float(np.nanmin(t0)), float(np.nanmax(t1))
        for a, b, kind in zip(self._t0, self._t1, self.types):
            if kinds is not None and kind not in kinds:
                continue
            if a <= hi and b >= lo:
                out |= (t1 >= a) & (t0 <= b)
        for key, (a, _) in self._open.items():
            kind = self._open_kinds.get(key)
            if kinds is not None and kind is not None and kind not in kinds:
                continue
            if a <= hi:
                out |= t1 >= a
        return out


class RowHoldback:
    """Rows of a table (dicts of equal-length columns, in order of
    ``t_end``) kept until the events up to their end are known."""

    def __init__(self) -> None:
        self._parts: List[Dict[str, np.ndarray]] = []

    def push(self, cols: Dict[str, np.ndarray]) -> None:
        if len(cols["t_end"]):
            self._parts.append(cols)

    def __bool__(self) -> bool:
        return bool(self._parts)

    def release(self, known_until: float) -> Optional[Dict[str, np.ndarray]]:
        """The rows whose ``t_end`` is at most ``known_until`` (all rows
        for +inf), or None."""
        if not self._parts:
            return None
        cols = self._parts[0] if len(self._parts) == 1 else \
            {k: np.concatenate([p[k] for p in self._parts]) for k in self._parts[0]}
        n = int(np.searchsorted(cols["t_end"], known_until, side="right"))
        if n < len(cols["t_end"]):
            self._parts = [{k: v[n:] for k, v in cols.items()}]
        else:
            self._parts = []
        if n == 0:
            return None
        return {k: v[:n] for k, v in cols.items()} if self._parts else cols


#: Column prefixes and suffixes (with the phase between) of spectral window
#: values: Blackman-weighted, so at a transient they describe the window's
#: centre rather than the whole window.
SPECTRAL_PREFIXES: Tuple[Tuple[str, str], ...] = (
    ("u", "_rms_fft"), ("i", "_rms_fft"), ("u", "_h1"), ("i", "_h1"), ("u", "_h1_angle"),
    ("i", "_h1_angle"), ("u", "_thd"), ("u", "_thd_even"), ("u", "_thd_odd"), ("u", "_thd_rms"),
    ("u", "_distortion"), ("i", "_thd"), ("p", "_fft"), ("q", ""), ("s", ""), ("d", ""),
    ("pf", ""), ("cos_phi1_", ""), ("p1_", ""), ("q1_", ""), ("s1_", ""), ("z", ""), ("z1_", ""),
)
_SPECTRAL_TOTALS = ("q_total", "s_total", "pf_total", "p1_total", "s1_total", "q1_total",
                    "u0", "u1", "u2", "u0_ratio", "u2_ratio", "i0", "i1", "i2", "i0_ratio",
                    "i2_ratio", "p_pos", "q_pos", "p_neg", "q_neg", "p_zero", "q_zero")


def spectral_columns(names: Sequence[str]) -> List[str]:
    """The spectral (Blackman-weighted) columns among a windows table's."""
    want = set(_SPECTRAL_TOTALS)
    for prefix, suffix in SPECTRAL_PREFIXES:
        for k in (1, 2, 3):
            want.add(f"{prefix}{k}{suffix}")
    for ab in ("12", "23", "31"):
        want.update((f"u{ab}_h1", f"u{ab}_thd"))
    return [n for n in names if n in want]


def _no_phasor(cols: Mapping[str, np.ndarray], h1: str, rms: str, scale: float) -> np.ndarray:
    mag = np.asarray(cols[h1], dtype=np.float64)
    ref = np.asarray(cols[rms], dtype=np.float64)
    floor = np.maximum(PHASOR_FLOOR_RMS * ref, PHASOR_FLOOR_SCALE * float(scale))
    return ~(mag > floor)


def blank_without_phasor(cols: Dict[str, np.ndarray], phases: int, with_currents: bool,
                         u_scale: float, i_scale: float, half_cycles: bool = False) -> None:
    """Sets to NaN, in place, the values that need a fundamental phasor
    where a channel has none (its fundamental below the noise floor):
    angles, THD, cos phi1 and the power factor.  Without a U1 fundamental
    no angle has a reference.  ``u_scale`` and ``i_scale``: the largest
    scale of the grid's voltage and current inputs (derived channels, such
    as the phase voltages of a delta grid, have no scale of their own)."""
    nan = np.nan
    u_none = [_no_phasor(cols, f"u{k}_h1", f"u{k}_rms", u_scale)
              for k in range(1, phases + 1)]
    i_none = [_no_phasor(cols, f"i{k}_h1", f"i{k}_rms", i_scale)
              for k in range(1, phases + 1)] if with_currents else []
    ref_none = u_none[0]

    def blank(name: str, where: np.ndarray) -> None:
        if name in cols and where.any():
            x = np.asarray(cols[name])
            if x.dtype.kind != "f":
                return
            cols[name] = np.where(where, nan, x).astype(x.dtype)

    for k in range(1, phases + 1):
        u = u_none[k - 1]
        if half_cycles:
            if with_currents:
                either = u | i_none[k - 1]
                blank(f"phi1_{k}", either | ref_none)
                blank(f"pf{k}", either)
            continue
        blank(f"u{k}_h1_angle", u | ref_none)
        for suffix in ("_thd", "_thd_even", "_thd_odd", "_thd_rms", "_distortion"):
            blank(f"u{k}{suffix}", u)
        if with_currents:
            i = i_none[k - 1]
            blank(f"i{k}_h1_angle", i | ref_none)
            blank(f"i{k}_thd", i)
            blank(f"cos_phi1_{k}", u | i)
            blank(f"pf{k}", u | i)


def total_distortion(rms_fft: np.ndarray, h1: np.ndarray, thd: np.ndarray) -> np.ndarray:
    """Total distortion in percent of the fundamental: everything in the
    window's Blackman-weighted spectrum that is not the fundamental group
    (harmonics, interharmonics, DC, noise), from the spectral RMS so that
    both quantities carry the same weighting.  The harmonic groups are part
    of that remainder, so it is never below the THD; where rounding of the
    single-precision inputs would put it there, it is the THD."""
    r = np.asarray(rms_fft, dtype=np.float64)
    f = np.asarray(h1, dtype=np.float64)
    t = np.asarray(thd, dtype=np.float64)
    with np.errstate(invalid="ignore", divide="ignore"):
        rest = np.sqrt(np.maximum(r * r - f * f, 0.0))
        d = 100.0 * rest / f
        d = np.where(f > 0, np.fmax(d, t), np.nan)
    return d.astype(np.float32)


def steady_statistics_view(cols: Mapping[str, np.ndarray],
                           spectral: Sequence[str]) -> Dict[str, np.ndarray]:
    """The float columns of window rows as statistics of steady-state
    values see them: NaN in invalid rows, and in flagged rows for the
    spectral columns (the rows themselves are not changed)."""
    valid = np.asarray(cols["valid"], dtype=bool)
    flagged = np.asarray(cols["flagged"], dtype=bool)
    spectral_set = set(spectral)
    out: Dict[str, np.ndarray] = {}
    for name, x in cols.items():
        if not (isinstance(x, np.ndarray) and x.dtype.kind == "f"):
            continue
        drop = flagged if name in spectral_set else ~valid
        out[name] = np.where(drop, np.nan, x).astype(x.dtype) if drop.any() else x
    return out


_CURRENT_TOTALS = ("p_total", "q_total", "s_total", "pf_total", "p1_total", "s1_total",
                   "q1_total", "i0", "i1", "i2", "i0_ratio", "i2_ratio", "p_pos", "q_pos",
                   "p_neg", "q_neg", "p_zero", "q_zero")
_VOLTAGE_TOTALS = ("u0", "u1", "u2", "u0_ratio", "u2_ratio", "u_rms_mean", "u12_rms", "u12_h1",
                   "u12_thd", "u23_rms", "u23_h1", "u23_thd", "u31_rms", "u31_h1", "u31_thd")
_PHASE_POWER_COLUMNS = ("p{k}", "p{k}_fft", "q{k}", "s{k}", "d{k}", "pf{k}", "cos_phi1_{k}",
                        "p1_{k}", "q1_{k}", "s1_{k}", "z{k}", "z1_{k}", "phi1_{k}")


def blank_absent(cols: Dict[str, np.ndarray], t_start: np.ndarray,
                 voltages: Mapping[int, float], currents: Mapping[int, float]) -> None:
    """Sets to NaN, in place, the columns of a phase in the rows that start
    before its voltage's or current's first usable sample ({phase: time},
    +inf while none has come): a channel without data is absent, not 0 V
    or 0 A."""
    def blank(name: str, rows: np.ndarray) -> None:
        x = cols.get(name)
        if isinstance(x, np.ndarray) and x.dtype.kind == "f":
            cols[name] = np.where(rows, np.nan, x).astype(x.dtype)

    for prefix, phases in (("u", voltages), ("i", currents)):
        any_rows = np.zeros(len(t_start), dtype=bool)
        for k, since in phases.items():
            rows = t_start < since
            if not rows.any():
                continue
            any_rows |= rows
            for name in [n for n in cols if n.startswith(f"{prefix}{k}_")]:
                blank(name, rows)
            for pattern in _PHASE_POWER_COLUMNS:
                blank(pattern.format(k=k), rows)
        if any_rows.any():  # sums and sequences over the phases lack one of them
            for name in _CURRENT_TOTALS + (_VOLTAGE_TOTALS if prefix == "u" else ()):
                blank(name, any_rows)
