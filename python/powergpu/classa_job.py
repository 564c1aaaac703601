"""Aggregation and the EN 50160 verdict as part of the main analysis.

``ClassAJob`` rides along with the analysis (``analysis.analyze_stream``,
``class_a=True``): it places the analysis on the clock, tells the window
scheduler where a 10-min tick restarts the chain of 10/12-cycle windows,
reduces every batch of windows to the partial sums of its 150/180-cycle
blocks as the batches come (memory bounded by the number of blocks, not of
windows), collects the library's 10-s frequency and, at the end, builds the
3-s, 10-min and 2-h tables and the verdict (``aggregation``,
``compliance``).  The harmonic voltages and the THD it aggregates are the
library's grouped harmonic analysis of each window (harmonic subgroups of
a rectangular window over exactly 10/12 cycles), not the window's own
Blackman-windowed spectrum: subgroups gather what a frequency slightly off
the bins spreads over the neighbouring bins, so the values agree from
instrument to instrument.

The clock: ``start_time`` is the clock time of the recording's first
sample; without one the first sample is taken to lie at 1970-01-01 00:00:00,
so the ticks fall at whole multiples of 10 min after it.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
import pandas as pd

from . import aggregation, compliance
from .iec_harmonics import measured_channels, subgroup_percent, uncomputed_orders

__all__ = ["TICK_SECONDS", "THD_ORDER", "Clock", "ClassAJob", "ClassAResult", "ten_second_frame"]

#: Seconds between the aggregation ticks of the clock.
TICK_SECONDS = 600.0
#: Highest order of the THD that the verdict judges (u<k>_thd40).
THD_ORDER = 40
#: Highest harmonic order aggregated in % of the fundamental.
HARMONIC_ORDER = 50
#: What the harmonic voltages and the THD of the aggregates are made of
#: (``harmonic_values`` of the verdict): the harmonic subgroups.
HARMONIC_VALUES = "subgroups"
#: Clock time of the first sample when the recording gives none.
DEFAULT_START = pd.Timestamp("1970-01-01 00:00:00")


class Clock:
    """Sample positions of clock times: running index ``start_index`` lies at
    ``start_time``; ``sample_rate`` samples per second after it."""

    def __init__(self, start_time: Any, sample_rate: float, start_index: int) -> None:
        self.start = DEFAULT_START if start_time is None else aggregation.absolute_start(start_time)
        if self.start.tzinfo is not None:
            # clock arithmetic in the recording's own local time
            self.start = self.start.tz_localize(None)
        self.fs = float(sample_rate)
        self.start_index = int(start_index)
        self.midnight = self.start.normalize()
        # seconds of the first sample after the midnight that begins its day:
        # small numbers, so tick positions keep their precision over a week
        self.seconds0 = (self.start - self.midnight).total_seconds()

    def seconds_at_index_zero(self) -> float:
        """Clock seconds (after ``midnight``) of running index 0."""
        return self.seconds0 - self.start_index / self.fs

    def position(self, seconds: float) -> float:
        """Running sample position (fractional) of clock second ``seconds``."""
        return self.start_index + (seconds - self.seconds0) * self.fs

    def first_tick(self) -> float:
        """Clock seconds of the first tick at or after the first sample."""
        return math.ceil(self.seconds0 / TICK_SECONDS - 1e-12) * TICK_SECONDS

    def tick_index(self) -> int:
        """The sample index nearest to the first tick: the 10-min flicker
        intervals tile the running indices from there."""
        return int(round(self.position(self.first_tick())))


@dataclass
class ClassAResult:
    """``tables``: {"3s", "10min", "2h"} aggregate tables; ``verdict``: the
    compliance dict (None when it could not be judged: ``reason`` says why);
    ``frequency``: the 10-s values."""

    tables: Dict[str, pd.DataFrame]
    verdict: Optional[Dict[str, Any]]
    frequency: pd.DataFrame = field(default_factory=pd.DataFrame)
    reason: Optional[str] = None


def ten_second_frame(records: np.ndarray, clock: Clock) -> pd.DataFrame:
    """The library's 10-s frequency records as a table: t_start (clock
    time), frequency (Hz), cycles, flagged."""
    return pd.DataFrame({
        "t_start": clock.midnight + pd.to_timedelta(records["startTime"].astype(np.float64), unit="s"),
        "frequency": records["frequency"].astype(np.float64),
        "cycles": records["cycleCount"].astype(np.int64),
        "flagged": records["flagged"] != 0,
    })


class ClassAJob:
    """The aggregation and the verdict of one analysis, fed as it runs.

    The analysis calls, in this order of time: ``module_settings`` and
    ``flicker_interval_start`` when it configures the module,
    ``window_chain_cuts`` for every block of cycles it groups into windows,
    ``take_grouped`` for every batch of window records, ``take_windows``
    for the same windows once flagged, ``take_frequencies`` with the
    module's 10-s records, and ``finish`` at the end."""

    #: events whose windows the aggregation flags
    FLAGGING_EVENTS = ("dip", "swell", "interruption")

    def __init__(self, *, start_time: Any, sample_rate: float, start_index: int,
                 positions_per_sample: int, nominal_frequency: float, window_cycles: int,
                 harmonic_order: int = HARMONIC_ORDER) -> None:
        self.clock = Clock(start_time, sample_rate, start_index)
        self.R = int(positions_per_sample)
        self.f0 = float(nominal_frequency)
        self.W = int(window_cycles)
        self.harmonic_order = max(1, min(int(harmonic_order), HARMONIC_ORDER))
        self._next_tick = self.clock.first_tick()
        # harmonic columns of windows not yet flagged: (rows, {name: values}) per batch
        self._grouped: List[Tuple[int, Dict[str, np.ndarray]]] = []
        self._quantity_names: Dict[str, bool] = {}  # window column -> aggregated
        # table times are running index / sample rate: time 0 lies start_index samples
        # before the first sample
        self._offset = self.clock.start_index / self.clock.fs
        self._zero = self.clock.start - pd.to_timedelta(self._offset, unit="s")
        self._aggregator = aggregation.Aggregator(self._zero)
        self._frequency: List[np.ndarray] = []  # the library's 10-s records, framed at the end
        self.short_windows = 0

    # ------------------------------------------------------------ settings
    def module_settings(self) -> Dict[str, Any]:
        """Module properties for the 10-s frequency on this clock (the
        grouped harmonic analysis is enabled with the module's other
        settings: it resizes the module)."""
        return {"ten_second_frequency_enabled": True,
                "clock_time_at_sample_index_zero": self.clock.seconds_at_index_zero()}

    def flicker_interval_start(self) -> int:
        return self.clock.tick_index()

    # ---------------------------------------------------------- scheduling
    def window_chain_cuts(self, starts: np.ndarray) -> List[int]:
        """Indices into ``starts`` (cycle starts in sub-sample positions, in
        order, after those of earlier calls) of the cycles that begin a new
        window chain: the first cycle that starts at or after each 10-min
        tick."""
        cuts: List[int] = []
        if not len(starts):
            return cuts
        last = int(starts[-1])
        while True:
            tick = int(round(self.clock.position(self._next_tick) * self.R))
            if tick > last:
                return cuts
            i = int(np.searchsorted(starts, np.uint64(max(tick, 0)), side="left"))
            if not cuts or cuts[-1] != i:
                cuts.append(i)
            self._next_tick += TICK_SECONDS

    # -------------------------------------------------------------- values
    def take_grouped(self, records: Optional[np.ndarray]) -> None:
        """The grouped harmonic records of a batch of windows
        (``iec_harmonics.IEC_HARMONICS_DTYPE``), kept until the windows'
        flags are known as ``u<k>_h<n>`` = 100 Y_sg,n / Y_sg,1 (n = 2 ..
        ``harmonic_order``), ``u<k>_thds`` (the library's THDS, orders 2 ..
        its highest order) and ``u<k>_thd40`` = 100 sqrt(sum of Y_sg,n²,
        n = 2..40) / Y_sg,1 for each phase voltage k."""
        n = 0 if records is None else len(records)
        cols: Dict[str, np.ndarray] = {}
        top = self.harmonic_order
        for k in [c for c in measured_channels(records) if c < 3] if n else []:
            ch = records["channels"][:, k]
            sg = np.where(uncomputed_orders(records, top), np.nan, ch["subgroup"][:, :top + 1])
            for name, values in subgroup_percent(sg, ch["thds"], top, THD_ORDER).items():
                cols[f"u{k + 1}_{name}"] = values
        self._grouped.append((n, cols))

    def take_windows(self, cols: Dict[str, np.ndarray], declared_voltage: Optional[float],
                     in_event: np.ndarray) -> None:
        """A batch of windows (table columns), the oldest whose grouped harmonics
        came in ``take_grouped``; ``in_event``: which of them overlap one of
        ``FLAGGING_EVENTS``. For the aggregation a window is flagged when it
        is not valid or overlaps a dip, swell or interruption: a rapid
        voltage change flags the windows of the tables (they describe no
        steady state) but is part of the supply's continuous
        characteristic, so its values count here."""
        n = len(cols["t_start"])
        if n == 0:
            return
        mine = self._grouped_rows(n)
        values = {k: np.asarray(v, dtype=np.float64) for k, v in cols.items() if self._is_quantity(k)}
        for k in range(1, 4):
            # a phase without a fundamental in a window has no harmonics there
            h1 = cols.get(f"u{k}_h1")
            absent = None if h1 is None else ~np.isfinite(np.asarray(h1, dtype=np.float64))
            if absent is not None and absent.any():
                for c in [c for c in mine if c.startswith(f"u{k}_")]:
                    mine[c] = np.where(absent, np.nan, mine[c])
        values.update(mine)
        if declared_voltage is not None and declared_voltage > 0:
            # the values behind the under- and over-deviation
            values.update(aggregation.deviation_values(values, float(declared_voltage)))
        flagged = ~np.asarray(cols["valid"], dtype=bool) | np.asarray(in_event, dtype=bool)
        self._aggregator.add_columns(np.asarray(cols["t_start"], dtype=np.float64),
                                     np.asarray(cols["t_end"], dtype=np.float64), flagged, values)

    def _is_quantity(self, name: str) -> bool:
        known = self._quantity_names.get(name)
        if known is None:
            known = self._quantity_names[name] = aggregation.is_quantity(name)
        return known

    def _grouped_rows(self, n: int) -> Dict[str, np.ndarray]:
        """The harmonic columns of the oldest ``n`` windows (NaN where a
        batch lacked a column or the records ran short)."""
        parts: List[Tuple[int, Dict[str, np.ndarray]]] = []
        got = 0
        while got < n and self._grouped:
            rows, batch = self._grouped[0]
            take = min(rows, n - got)
            if take == rows:
                self._grouped.pop(0)
                parts.append((rows, batch))
            else:
                parts.append((take, {k: v[:take] for k, v in batch.items()}))
                self._grouped[0] = (rows - take, {k: v[take:] for k, v in batch.items()})
            got += take
        if got < n:
            parts.append((n - got, {}))
        names: Dict[str, None] = {}
        for _, batch in parts:
            names.update(dict.fromkeys(batch))
        return {name: np.concatenate([np.asarray(batch[name], dtype=np.float64) if name in batch
                                      else np.full(rows, np.nan) for rows, batch in parts])
                for name in names}

    def take_frequencies(self, records: np.ndarray) -> None:
        # one frame at the end: a frame per batch of a record or two cost
        # more than the aggregation of the windows
        if len(records):
            self._frequency.append(np.array(records, copy=True))

    # -------------------------------------------------------------- result
    def finish(self, *, events: pd.DataFrame, flicker: Optional[pd.DataFrame],
               declared_voltage: Optional[float], duration_s: float) -> ClassAResult:
        pst = flicker if flicker is not None and len(flicker) else None
        short, ten = self._aggregator.tables(pst)
        two = aggregation.aggregate_2h(ten, flicker=pst, start_time=self._zero)
        if declared_voltage is not None and declared_voltage > 0:
            short, ten, two = (aggregation.add_deviation_percent(t, declared_voltage)
                               for t in (short, ten, two))
        tables = {"3s": short, "10min": ten, "2h": two}
        frequency = (ten_second_frame(np.concatenate(self._frequency), self.clock) if self._frequency
                     else pd.DataFrame({"t_start": pd.Series(dtype="datetime64[ns]"), "frequency": [],
                                        "cycles": [], "flagged": pd.Series(dtype=bool)}))
        if declared_voltage is None or not declared_voltage > 0:
            return ClassAResult(tables, None, frequency,
                                reason="no declared voltage: give the nominal voltage")
        shift = (lambda t: t.assign(t_start=t["t_start"] - self._offset)  # noqa: E731
                 if t is not None and self._offset and "t_start" in t else t)
        verdict = compliance.evaluate(frequency, ten, shift(events), start_time=self.clock.start,
                                      duration_s=duration_s, nominal_frequency=self.f0,
                                      declared_voltage=float(declared_voltage), flicker=shift(pst))
        verdict["harmonic_values"] = HARMONIC_VALUES
        return ClassAResult(tables, verdict, frequency)


def compliance_summary(verdict: Optional[Dict[str, Any]], reason: Optional[str] = None) -> Dict[str, Any]:
    """The verdict in brief for summary.json: the overall pass, and per
    period and criterion its statistic, limit and pass (compliance.json
    holds every field)."""
    if verdict is None:
        return {"standard": "EN 50160", "pass": None, "reason": reason, "criteria": []}
    rows = []
    for period in verdict["periods"]:
        for c in period["criteria"]:
            rows.append({"period_start": period["start"], "id": c["id"],
                         "measured_percent": c["measured_percent"], "required_percent": c["required_percent"],
                         "values": c["values"], "limit": c["limit"], "pass": c["pass"]})
    return {"standard": verdict["standard"], "pass": verdict["pass"], "start": verdict["start"],
            "end": verdict["end"], "periods": len(verdict["periods"]),
            "harmonic_values": verdict.get("harmonic_values"), "criteria": rows}
