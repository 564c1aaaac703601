"""Aggregation of the 10/12-cycle values over time, on the absolute clock.

Pure functions on the tables of an analysis (pandas DataFrames):

- ``add_harmonic_columns``: the voltage harmonics of each window, in % of
  the fundamental, as window columns ``u<k>_h<n>``, from the window's
  spectrum (the harmonics table);
- ``add_subgroup_columns``: the same from the harmonic subgroups (the
  iec_harmonics table), with THDS and the THD to order 40;
- ``add_deviation_columns``: the window values behind the supply voltage
  under- and over-deviation, ``u<k>_rms_under`` = min(U, Udin) and
  ``u<k>_rms_over`` = max(U, Udin);
- ``aggregate``: 150/180-cycle (about 3 s), 10-min and 2-h values;
- ``ten_second_frequency``: the 10-s frequency from a cycles table.

Times: the windows' ``t_start``/``t_end`` are seconds after the recording's
first sample; ``start_time`` (a timestamp) places that sample on the clock.

Aggregation is the root mean square of the values in the interval (NaN
values left out). A value is flagged when its row has ``flagged`` true or
``valid`` false; an aggregate is flagged when any value in it is, so that a
later evaluation can leave it out.

Intervals:
- 10 min: the clock's 10-min ticks; a window belongs to the interval in
  which it starts, so the window running across a tick counts in the
  interval it began in (not in both, and not in neither).
- 150/180 cycles: 15 consecutive windows, counted afresh from the first
  window of each 10-min interval (the blocks are resynchronised at every
  tick; the block before a tick may hold fewer than 15 windows).
- 2 h: the clock's 2-h ticks, from the 10-min values.
"""
from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
import pandas as pd

from .iec_harmonics import subgroup_percent

__all__ = [
    "WINDOWS_PER_BLOCK", "QUANTITY_PATTERNS", "is_quantity", "quantity_columns", "flagged_mask",
    "absolute_start", "add_harmonic_columns", "add_subgroup_columns", "add_deviation_columns", "deviation_values",
    "add_deviation_percent",
    "Aggregator", "aggregate", "aggregate_2h", "ten_second_frequency", "ten_second_frequency_of_windows",
]

#: 10/12-cycle windows per 150/180-cycle value.
WINDOWS_PER_BLOCK = 15

#: Columns aggregated by their root mean square: phase and line voltages,
#: THD (of the window's spectrum, to order 40, and THDS), unbalance ratios,
#: individual harmonics (% of H1) and the values behind the
#: under-/over-deviation.
QUANTITY_PATTERNS = (
    r"u\d_rms", r"u(12|23|31)_rms", r"u\d_thd", r"u[02]_ratio", r"u\d_h\d+",
    r"u\d_rms_under", r"u\d_rms_over", r"u\d_thd40", r"u\d_thds",
)
_QUANTITY = re.compile("^(" + "|".join(QUANTITY_PATTERNS) + ")$")

#: Window columns of the phase voltages' rms.
_PHASE_RMS = re.compile(r"u\d_rms")
#: Channel codes of the phase voltages in the harmonics table.
_VOLTAGE_CHANNELS = (0, 1, 2)


def is_quantity(column: str) -> bool:
    """Whether ``aggregate`` combines a column of this name."""
    return bool(_QUANTITY.match(str(column)))


def quantity_columns(table: pd.DataFrame) -> List[str]:
    """The columns of ``table`` that ``aggregate`` combines, in table order."""
    return [c for c in table.columns if _QUANTITY.match(str(c))]


def flagged_mask(table: pd.DataFrame) -> np.ndarray:
    """True for rows flagged (``flagged`` true) or not valid (``valid`` false)."""
    flagged = np.zeros(len(table), dtype=bool)
    if "flagged" in table:
        flagged |= table["flagged"].fillna(True).astype(bool).to_numpy()
    if "valid" in table:
        flagged |= ~table["valid"].fillna(False).astype(bool).to_numpy()
    return flagged


def absolute_start(start_time) -> pd.Timestamp:
    """``start_time`` as a timestamp (a string, datetime or Timestamp)."""
    try:
        stamp = pd.Timestamp(start_time)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"start_time: cannot read {start_time!r} as a time ({exc})") from None
    if stamp is pd.NaT:
        raise ValueError("start_time: a time is needed, not NaT")
    return stamp


def add_harmonic_columns(windows: pd.DataFrame, harmonics: pd.DataFrame,
                         highest_order: int = 50) -> pd.DataFrame:
    """``windows`` with ``u<k>_h<n>`` (n = 2 .. highest_order): the rms of order
    n of phase voltage k in % of its order 1, from the harmonics table (long
    format: ``window`` = row of ``windows``, ``channel`` 0..2 for U1..U3,
    or "U1".."U3", ``order``, ``magnitude``). Orders the table lacks are
    left out."""
    need = {"window", "channel", "order", "magnitude"}
    if not need <= set(harmonics.columns):
        raise ValueError(f"harmonics: the columns {sorted(need - set(harmonics.columns))} are missing")
    channel = harmonics["channel"]
    if not pd.api.types.is_numeric_dtype(channel):  # the CSV table names its channels: U1, ...
        channel = channel.map({f"U{k + 1}": k for k in _VOLTAGE_CHANNELS})
    h = harmonics.assign(channel=channel)
    h = h[h["channel"].isin(_VOLTAGE_CHANNELS) & (h["order"] <= highest_order)]
    h = h.assign(channel=h["channel"].astype(np.int64), order=h["order"].astype(np.int64))
    wide = h.pivot_table(index="window", columns=["channel", "order"], values="magnitude",
                         aggfunc="first")
    added: Dict[str, np.ndarray] = {}
    for k in sorted({int(c) for c, _ in wide.columns}):
        if (k, 1) not in wide.columns:
            continue
        fundamental = wide[(k, 1)].to_numpy(dtype=np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            for order in sorted(int(o) for c, o in wide.columns if c == k and o >= 2):
                percent = 100.0 * wide[(k, order)].to_numpy(dtype=np.float64) / fundamental
                column = pd.Series(percent, index=wide.index).reindex(range(len(windows)))
                added[f"u{k + 1}_h{order}"] = column.to_numpy()
    return pd.concat([windows.reset_index(drop=True), pd.DataFrame(added)], axis=1)


def add_subgroup_columns(windows: pd.DataFrame, iec: pd.DataFrame, thd_order: int = 40) -> pd.DataFrame:
    """``windows`` with ``u<k>_h<n>`` = 100 Y_sg,n / Y_sg,1, ``u<k>_thds`` and
    ``u<k>_thd<thd_order>`` from the iec_harmonics table (one row per
    ``window`` = row of ``windows`` and ``channel`` "U1".."U3"; ``sg_<n>``,
    ``thds``), as the analysis aggregates them."""
    need = {"window", "channel", "sg_1", "thds"}
    if not need <= set(iec.columns):
        raise ValueError(f"iec_harmonics: the columns {sorted(need - set(iec.columns))} are missing")
    top = max(int(str(c)[3:]) for c in iec.columns if re.fullmatch(r"sg_\d+", str(c)))
    added: Dict[str, np.ndarray] = {}
    for k in _VOLTAGE_CHANNELS:
        rows = iec[iec["channel"].astype(str) == f"U{k + 1}"].set_index("window").reindex(range(len(windows)))
        if rows["sg_1"].isna().all():
            continue
        sg = rows[[f"sg_{h}" for h in range(top + 1)]].to_numpy(dtype=np.float64)
        for name, values in subgroup_percent(sg, rows["thds"].to_numpy(), top, thd_order).items():
            added[f"u{k + 1}_{name}"] = values
    return pd.concat([windows.reset_index(drop=True), pd.DataFrame(added)], axis=1)


def add_deviation_columns(windows: pd.DataFrame, declared_voltage: float) -> pd.DataFrame:
    """``windows`` with ``u<k>_rms_under`` = min(u<k>_rms, Udin) and
    ``u<k>_rms_over`` = max(u<k>_rms, Udin): aggregated like the voltage,
    they give the under- and over-deviation (``add_deviation_percent``)."""
    if not (np.isfinite(declared_voltage) and declared_voltage > 0):
        raise ValueError(f"declared_voltage: must be finite and above 0 V (got {declared_voltage})")
    out = windows.copy()
    columns = {c: windows[c].to_numpy(dtype=np.float64) for c in windows.columns if _PHASE_RMS.fullmatch(str(c))}
    for name, values in deviation_values(columns, declared_voltage).items():
        out[name] = values
    return out


def deviation_values(columns: Mapping[str, np.ndarray], declared_voltage: float) -> Dict[str, np.ndarray]:
    """For each phase voltage column ``u<k>_rms`` among ``columns``, in
    their order: ``u<k>_rms_under`` = min(U, Udin) and ``u<k>_rms_over`` =
    max(U, Udin) (a NaN voltage stays NaN)."""
    out: Dict[str, np.ndarray] = {}
    for column, u in columns.items():
        if _PHASE_RMS.fullmatch(str(column)):
            out[f"{column}_under"] = np.fmin(u, declared_voltage)
            out[f"{column}_over"] = np.fmax(u, declared_voltage)
    return out


def add_deviation_percent(table: pd.DataFrame, declared_voltage: float) -> pd.DataFrame:
    """``table`` (windows or aggregates) with ``u<k>_under_deviation`` =
    100 (Udin - U_under) / Udin and ``u<k>_over_deviation`` = 100 (U_over -
    Udin) / Udin, in % of the declared voltage, from the columns that
    ``add_deviation_columns`` adds (aggregated or not)."""
    out = table.copy()
    for column in [c for c in table.columns if re.fullmatch(r"u\d_rms_under", str(c))]:
        phase = column[:2]
        # Both are 0 or more by construction; the clip removes rounding below 0.
        out[f"{phase}_under_deviation"] = (100.0 * (declared_voltage - table[column]) / declared_voltage).clip(lower=0.0)
        over = f"{phase}_rms_over"
        if over in table:
            out[f"{phase}_over_deviation"] = (100.0 * (table[over] - declared_voltage) / declared_voltage).clip(lower=0.0)
    return out


def _rms_groups(values: pd.DataFrame, keys: Sequence, flagged: np.ndarray) -> pd.DataFrame:
    """Per group of ``keys``: the rms of each column (NaN left out), the
    number of rows and whether any row is flagged."""
    squares = values.astype(np.float64).pow(2)
    grouped = squares.groupby(keys, sort=True)
    out = np.sqrt(grouped.mean())
    out.insert(0, "count", grouped.size())
    out.insert(1, "flagged", pd.Series(flagged, index=values.index).groupby(keys, sort=True).any())
    return out


class Aggregator:
    """``aggregate`` fed batch by batch: windows in table order, memory
    bounded by the number of 150/180-cycle blocks (a week: 201600 rows).

    Each batch is reduced at once to partial sums per block: the sum of
    squares and the number of values of every column (NaN left out), the
    number of windows, whether any is flagged, the first start and the last
    end. The count of windows since the last 10-min tick carries over from
    batch to batch, so the blocks are those of the whole table.

    The sums are taken with numpy over runs of rows (a batch's windows are
    in time order, so a block's rows are adjacent): the analysis feeds a
    batch every few seconds of signal, and a grouped reduction through
    pandas cost more per batch than the grouped harmonic analysis that
    produced it."""

    def __init__(self, start_time) -> None:
        self.start = absolute_start(start_time)
        # The ticks fall on the local clock: sums are taken in wall-clock
        # nanoseconds and the times given back in the start's zone.
        self._zone = self.start.tz
        self._start_ns = int(self.start.value)  # UTC when zoned
        self._tick: Optional[int] = None  # tick (ns) of the last window so far
        self._since_tick = 0               # windows since that tick
        self._parts: List[_Blocks] = []
        self.columns: List[str] = []

    def add(self, windows: pd.DataFrame) -> None:
        """A batch of windows as a table: ``t_start``, ``t_end`` (s), the
        quantity columns (``quantity_columns``) and the flag columns
        (``flagged_mask``)."""
        for column in ("t_start", "t_end"):
            if column not in windows:
                raise ValueError(f"windows: the column {column!r} is missing")
        self.add_columns(windows["t_start"].to_numpy(dtype=np.float64),
                         windows["t_end"].to_numpy(dtype=np.float64), flagged_mask(windows),
                         {c: windows[c].to_numpy(dtype=np.float64) for c in quantity_columns(windows)})

    def add_columns(self, t_start: np.ndarray, t_end: np.ndarray, flagged: np.ndarray,
                    values: Dict[str, np.ndarray]) -> None:
        """The same batch as arrays: start and end (s after the first sample),
        whether each window is flagged, and the quantity columns by name."""
        n = len(t_start)
        if n == 0:
            return
        names = list(values)
        self.columns += [c for c in names if c not in self.columns]
        starts_ns = self._wall_clock(t_start)
        ends_ns = self._wall_clock(t_end)
        tick = starts_ns - np.mod(starts_ns, _TEN_MINUTES_NS)
        rows = np.arange(n)
        new_tick = np.r_[True, tick[1:] != tick[:-1]]
        position = rows - np.maximum.accumulate(np.where(new_tick, rows, 0))
        if self._tick is not None:
            position = position + np.where(tick == self._tick, self._since_tick, 0)
        self._since_tick = int(position[-1]) + 1
        self._tick = int(tick[-1])
        block = position // WINDOWS_PER_BLOCK
        first = np.flatnonzero(np.r_[True, (tick[1:] != tick[:-1]) | (block[1:] != block[:-1])])
        matrix = (np.column_stack([np.asarray(values[c], dtype=np.float64) for c in names]) if names
                  else np.zeros((n, 0)))
        present = ~np.isnan(matrix)
        squares = np.where(present, matrix * matrix, 0.0)
        self._parts.append(_Blocks(
            tick=tick[first], block=block[first], columns=names,
            sums=np.add.reduceat(squares, first, axis=0) if names else np.zeros((len(first), 0)),
            counts=(np.add.reduceat(present.astype(np.int64), first, axis=0) if names
                    else np.zeros((len(first), 0), dtype=np.int64)),
            count=np.diff(np.r_[first, n]).astype(np.int64),
            flagged=np.logical_or.reduceat(np.asarray(flagged, dtype=bool), first),
            first_ns=np.minimum.reduceat(starts_ns, first), last_ns=np.maximum.reduceat(ends_ns, first)))

    def _wall_clock(self, seconds: np.ndarray) -> np.ndarray:
        """Clock nanoseconds of times in s after the first sample (local wall
        clock when the start has a zone, across its daylight-saving shifts)."""
        ns = self._start_ns + pd.to_timedelta(np.asarray(seconds, dtype=np.float64), unit="s").asi8
        if self._zone is None:
            return ns
        return pd.DatetimeIndex(ns, tz="UTC").tz_convert(self._zone).tz_localize(None).asi8

    def _blocks(self) -> "_Blocks":
        """All parts as one set of blocks over ``self.columns``, the blocks
        that a batch boundary split joined again."""
        width = len(self.columns)
        where = {c: k for k, c in enumerate(self.columns)}
        sums, counts = [], []
        for part in self._parts:
            s = np.zeros((len(part.tick), width))
            c = np.zeros((len(part.tick), width), dtype=np.int64)
            index = [where[name] for name in part.columns]
            s[:, index], c[:, index] = part.sums, part.counts
            sums.append(s)
            counts.append(c)
        cat = lambda field: np.concatenate([getattr(p, field) for p in self._parts])  # noqa: E731
        tick, block = cat("tick"), cat("block")
        order = np.lexsort((block, tick))
        tick, block = tick[order], block[order]
        first = np.flatnonzero(np.r_[True, (tick[1:] != tick[:-1]) | (block[1:] != block[:-1])])
        merged = _Blocks(
            tick=tick[first], block=block[first], columns=list(self.columns),
            sums=np.add.reduceat(np.concatenate(sums)[order], first, axis=0),
            counts=np.add.reduceat(np.concatenate(counts)[order], first, axis=0),
            count=np.add.reduceat(cat("count")[order], first),
            flagged=np.logical_or.reduceat(cat("flagged")[order], first),
            first_ns=np.minimum.reduceat(cat("first_ns")[order], first),
            last_ns=np.maximum.reduceat(cat("last_ns")[order], first))
        self._parts = [merged]
        return merged

    def _rms(self, sums: np.ndarray, counts: np.ndarray) -> Dict[str, np.ndarray]:
        with np.errstate(divide="ignore", invalid="ignore"):
            rms = np.sqrt(sums / counts)
        return {c: rms[:, k] for k, c in enumerate(self.columns)}

    def tables(self, pst: Optional[pd.DataFrame] = None) -> Tuple[pd.DataFrame, pd.DataFrame]:
        """(150/180-cycle values, 10-min values): see ``aggregate``."""
        if not self._parts:
            empty = pd.DataFrame(columns=["t_start", "t_end", "count", "flagged"])
            return empty, empty.copy()
        b = self._blocks()
        def as_time(ns: np.ndarray):
            times = pd.DatetimeIndex(ns.astype("datetime64[ns]"))
            return times if self._zone is None else times.tz_localize(self._zone)
        short = pd.DataFrame({"t_start": as_time(b.first_ns), "t_end": as_time(b.last_ns), "count": b.count,
                              "flagged": b.flagged, **self._rms(b.sums, b.counts)})
        first = np.flatnonzero(np.r_[True, b.tick[1:] != b.tick[:-1]])
        tick = as_time(b.tick[first])
        ten = pd.DataFrame({"t_start": tick, "t_end": tick + pd.Timedelta(minutes=10),
                            "count": np.add.reduceat(b.count, first),
                            "flagged": np.logical_or.reduceat(b.flagged, first),
                            **self._rms(np.add.reduceat(b.sums, first, axis=0),
                                        np.add.reduceat(b.counts, first, axis=0))})
        if pst is not None and len(pst):
            ten = _join_pst(ten, pst, self.start)
        return short, ten


#: Nanoseconds between the clock's 10-min ticks.
_TEN_MINUTES_NS = 600 * 10**9


@dataclass
class _Blocks:
    """Partial sums of 150/180-cycle blocks, one row per block in time order:
    the 10-min tick (ns since the epoch) and block number within it, sums
    of squares and value counts per column, windows, whether any is
    flagged, the first start and last end (ns)."""

    tick: np.ndarray
    block: np.ndarray
    columns: List[str]
    sums: np.ndarray
    counts: np.ndarray
    count: np.ndarray
    flagged: np.ndarray
    first_ns: np.ndarray
    last_ns: np.ndarray


def _join_pst(ten: pd.DataFrame, pst: pd.DataFrame, start: pd.Timestamp) -> pd.DataFrame:
    """The 10-min table with the ``Pst_*`` columns of a flicker table (t_start
    in s) by the interval in which each of its rows starts; an interval
    whose Pst is flagged (``flagged``: it holds a dip, swell or
    interruption) flags the 10-min value."""
    pst_columns = [c for c in pst.columns if str(c).startswith("Pst_")]
    pst_tick = (start + pd.to_timedelta(pst["t_start"].to_numpy(dtype=np.float64), unit="s")).floor("10min")
    by_tick = pst[pst_columns].set_index(pst_tick).groupby(level=0).first()
    ten = ten.join(by_tick, on="t_start")
    if "flagged" in pst:
        hit = pst["flagged"].astype(bool).groupby(pst_tick).any()
        ten["flagged"] = ten["flagged"].astype(bool) | ten["t_start"].map(hit).fillna(False).astype(bool)
    return ten


def aggregate(windows: pd.DataFrame, start_time,
              pst: Optional[pd.DataFrame] = None) -> Tuple[pd.DataFrame, pd.DataFrame]:
    """(150/180-cycle values, 10-min values) of the quantity columns of
    ``windows`` (see ``quantity_columns``), on the clock that ``start_time``
    sets. Each table has t_start and t_end (timestamps), count (windows),
    flagged, then the aggregated columns; the 10-min table also holds the
    ``Pst_*`` columns of ``pst`` (a flicker table: t_start in s, one row per
    10-min interval) by the interval in which each of its rows starts, and
    is flagged where a Pst row is (its ``flagged`` column)."""
    aggregator = Aggregator(start_time)
    aggregator.add(windows)
    return aggregator.tables(pst)


def aggregate_2h(ten_minutes: pd.DataFrame, flicker: Optional[pd.DataFrame] = None,
                 start_time=None) -> pd.DataFrame:
    """2-h values on the clock's 2-h ticks: the rms of the 10-min values of
    each quantity column (``count``: 10-min values; ``flagged`` when any of
    them is). ``flicker`` (with ``start_time``) adds its ``Plt_*`` values by
    the 2-h interval in which their row starts."""
    if len(ten_minutes) == 0:
        return pd.DataFrame(columns=["t_start", "t_end", "count", "flagged"])
    columns = quantity_columns(ten_minutes)
    tick = pd.Series(pd.DatetimeIndex(ten_minutes["t_start"]).floor("2h"), name="t_start")
    values = ten_minutes[columns].reset_index(drop=True)
    out = _rms_groups(values, [tick], ten_minutes["flagged"].to_numpy(dtype=bool)).reset_index()
    out.insert(1, "t_end", out["t_start"] + pd.Timedelta(hours=2))
    if flicker is not None and len(flicker) and start_time is not None:
        plt_columns = [c for c in flicker.columns if str(c).startswith("Plt_")]
        rows = flicker.dropna(subset=plt_columns, how="all")
        stamp = absolute_start(start_time) + pd.to_timedelta(rows["t_start"].to_numpy(dtype=np.float64), unit="s")
        by_tick = rows[plt_columns].set_index(stamp.floor("2h")).groupby(level=0).last()
        out = out.join(by_tick, on="t_start")
    return out


def ten_second_frequency(cycles: pd.DataFrame, start_time) -> pd.DataFrame:
    """The 10-s frequency from a cycles table (t_start, t_end in s after the
    first sample; valid): per 10-s interval of the clock, the valid cycles
    that lie wholly within it, counted and divided by their cumulative
    duration. A cycle across a boundary counts in neither interval; an
    invalid one flags every interval it touches. Columns: t_start
    (timestamp), frequency (Hz; NaN without a counted cycle), cycles,
    flagged. The library's own 10-s frequency (records of
    ``Module.ten_second_frequencies``) follows the same rules."""
    if len(cycles) == 0:
        return pd.DataFrame({"t_start": pd.Series(dtype="datetime64[ns]"), "frequency": [], "cycles": [],
                             "flagged": pd.Series(dtype=bool)})
    start = absolute_start(start_time)
    # Seconds since the 10-s tick at or before the first sample: small
    # numbers, so boundaries keep their precision.
    base = start.floor("10s")
    offset = (start - base).total_seconds()
    s = offset + cycles["t_start"].to_numpy(dtype=np.float64)
    e = offset + cycles["t_end"].to_numpy(dtype=np.float64)
    first = np.floor(s / 10.0).astype(np.int64)
    last = np.maximum(first, np.ceil(e / 10.0).astype(np.int64) - 1)
    valid = cycles["valid"].astype(bool).to_numpy()
    inside = first == last
    counted = inside & valid
    counts = pd.Series(np.ones(counted.sum()), index=first[counted]).groupby(level=0).sum()
    durations = pd.Series((e - s)[counted], index=first[counted]).groupby(level=0).sum()
    bad = ~valid
    touched = np.concatenate([first[bad], last[bad]])
    intervals = np.union1d(np.union1d(first, last), [])
    frame = pd.DataFrame(index=pd.Index(intervals.astype(np.int64), name="interval"))
    frame["cycles"] = counts.reindex(frame.index).fillna(0).astype(np.int64)
    frame["frequency"] = counts.reindex(frame.index) / durations.reindex(frame.index)
    frame["flagged"] = frame.index.isin(touched)
    frame.insert(0, "t_start", base + pd.to_timedelta(frame.index.to_numpy() * 10, unit="s"))
    return frame.reset_index(drop=True)[["t_start", "frequency", "cycles", "flagged"]]


def ten_second_frequency_of_windows(windows: pd.DataFrame, start_time, window_cycles: int) -> pd.DataFrame:
    """The 10-s frequency from a windows table when the cycles themselves
    are not at hand: each window holds ``window_cycles`` whole cycles from
    a zero crossing, lasting window_cycles / frequency seconds, and the
    windows are counted like cycles (``ten_second_frequency``). A window
    across a boundary leaves all its cycles out, so an interval counts up to
    9 (11) cycles fewer than from the cycles themselves; the frequency is
    the same ratio of whole cycles to their duration."""
    if window_cycles < 1:
        raise ValueError(f"window_cycles: must be 1 or more (got {window_cycles})")
    f = windows["frequency"].to_numpy(dtype=np.float64)
    usable = np.isfinite(f) & (f > 0)
    t0 = windows["t_start"].to_numpy(dtype=np.float64)
    pseudo = pd.DataFrame({
        "t_start": t0,
        "t_end": np.where(usable, t0 + window_cycles / np.where(usable, f, 1.0),
                          windows["t_end"].to_numpy(dtype=np.float64)),
        "valid": usable & ~flagged_mask(windows),
    })
    out = ten_second_frequency(pseudo, start_time)
    out["frequency"] *= window_cycles
    out["cycles"] *= window_cycles
    return out
