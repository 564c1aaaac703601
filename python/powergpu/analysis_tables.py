"""The layer of an analysis that builds its tables.

``TableBuilder`` receives what the module delivers (window records, period
records, cycles, dips, swells and interruptions) and turns it into table
rows in batches: the windows, harmonics, grouped harmonics (iec_harmonics),
half-cycle, events and cycles tables.  A row is handed on (to the running summary, the kept tables and
the sink) only once the events that could overlap it are known, so that
its ``flagged`` never changes later.
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
import pandas as pd

from .analysis_summary import RunningSummary, thd_score
from .cycles import Cycles
from .flags import EventIntervals, RowHoldback, blank_absent, blank_without_phasor
from .iec_harmonics import iec_rows, iec_table
from .module import Module
from .record_tables import (ChannelLayout, cycles_frame, harmonic_rows, harmonics_frame,
                            period_columns, table_frame, window_columns)
from .records import PERIOD_DTYPE, RecordBuffer, concatenate_records
from .rvc_events import RvcEvents
from .screening import SampleScreen
from .voltage_events import events_frame, voltage_event_rows

__all__ = ["TableBuilder", "SINK_METHODS"]

#: The methods of a sink that receive the batches of each table.
SINK_METHODS = ("on_windows", "on_harmonics", "on_iec_harmonics", "on_half_cycles", "on_events",
                "on_cycles")


def _concatenate_orders(tables: List[np.ndarray]) -> np.ndarray:
    """Harmonic tables of several batches (records, blocks, orders) as one,
    the narrower ones padded with NaN: each batch is as wide as the highest
    order its windows resolve, which follows the frequency when the sample
    rate leaves the requested orders only partly below half of it."""
    width = max(t.shape[-1] for t in tables)
    return np.concatenate([t if t.shape[-1] == width else
                           np.pad(t, ((0, 0), (0, 0), (0, width - t.shape[-1])), constant_values=np.nan)
                           for t in tables])


class TableBuilder:
    """Table rows of one analysis, made batch by batch.

    ``keep``: names of the tables to hold for the result; ``sink``: the
    sink's table methods {name: callable}; ``window_batch`` and
    ``half_cycle_batch``: records turned into rows (and handed to the sink)
    together; ``screen``: the input screening (absent channels and channel
    scales blank the columns they make meaningless); ``iec_order``: the
    highest order of the grouped harmonic analysis (its table's columns; 0
    when the analysis is off)."""

    def __init__(self, layout: ChannelLayout, summary: RunningSummary, *, keep: frozenset,
                 sink: Dict[str, Any], window_batch: int, half_cycle_batch: int,
                 screen: SampleScreen, voltage_channels: int, current_channels: int,
                 delta: bool, nominal_frequency: float, nominal_voltage: Optional[float],
                 rvc_length: int, positions_per_second: float, iec_order: int = 0) -> None:
        self.layout = layout
        self.summary = summary
        self.keep = keep
        self.sink = sink
        self.window_batch = window_batch
        self.half_cycle_batch = half_cycle_batch
        self.screen = screen
        self.voltage_channels = voltage_channels
        self.current_channels = current_channels
        self.delta = delta
        self.nominal_frequency = nominal_frequency
        self.positions_per_second = positions_per_second
        self.iec_order = int(iec_order)
        self.window_names = summary.window_names
        self.half_cycle_names = summary.half_cycle_names
        self.intervals = EventIntervals()
        # N values, each at most one nominal period apart (frequency >= 0.5 x nominal)
        self.rvc_events = RvcEvents(rvc_length, nominal_voltage, self.intervals,
                                    lag=rvc_length / nominal_frequency)
        self.voltage_event_rows: List[Dict[str, Any]] = []
        # intervals of the dips, swells and interruptions in progress
        self._open_voltage_events: List[object] = []
        # records waiting to become table rows
        self._waiting_windows: List[Tuple[np.ndarray, np.ndarray, Dict[str, np.ndarray], Any]] = []
        self._waiting_window_count = 0
        # period records waiting to become rows, gathered by the module
        # straight into one array (see ``periods_fetched``)
        self.waiting_periods = RecordBuffer(PERIOD_DTYPE, (layout.phases + 1,),
                                            capacity=half_cycle_batch + half_cycle_batch // 4)
        self._window_index = 0
        # rows waiting for their flags
        self._held_windows = RowHoldback()
        self._held_half_cycles = RowHoldback()
        self._events_known_until = -math.inf
        # kept tables (lists of column batches)
        self._window_batches: List[Dict[str, np.ndarray]] = []
        self._harmonic_batches: List[Dict[str, np.ndarray]] = []
        self._iec_batches: List[Dict[str, np.ndarray]] = []
        self._half_cycle_batches: List[Dict[str, np.ndarray]] = []
        self._cycle_batches: List[Cycles] = []
        # Class A (set by the analysis): the aggregation job that receives
        # each window's grouped harmonics and flagged columns, and the
        # declared voltage.
        self.class_a: Any = None
        self.declared_voltage: Any = lambda: None

    # ------------------------------------------------- what the module gives
    def cycles(self, cycles: Cycles) -> None:
        self.summary.add_cycles(cycles)
        if "cycles" in self.keep:
            self._cycle_batches.append(cycles)
        if "on_cycles" in self.sink:
            self.sink["on_cycles"](cycles_frame([cycles], self.positions_per_second))

    def windows(self, r: np.ndarray, valid: np.ndarray, iec: Optional[np.ndarray] = None) -> None:
        """Reported window records, their validity and their grouped
        harmonic records (None when that analysis is off)."""
        layout = self.layout
        # the harmonic tables live in ring slots that later windows reuse: copy now
        if self._harmonic_rows_wanted():
            harm = Module.harmonic_tables(r, layout.phase_fields, layout.phases)
            if layout.line_fields:
                harm.update(Module.harmonic_tables(r, layout.line_fields, layout.line_to_line))
        else:
            harm = self._angles_and_worst_candidates(r, valid)
        self._waiting_windows.append((r, valid, harm, iec))
        self._waiting_window_count += len(r)
        if self._waiting_window_count >= self.window_batch:
            self._emit_windows()

    def periods_fetched(self) -> None:
        """Makes rows of a full batch of the period records waiting in
        ``waiting_periods`` (where the module appends them, one copy)."""
        if self.waiting_periods.count >= self.half_cycle_batch:
            self._emit_periods()

    def voltage_events(self, module: Module, final: bool = False) -> List[Dict[str, Any]]:
        """Rows of the dips, swells and interruptions the module found since
        the last call (and, ``final``, those still in progress); handed to
        the sink when not final (``finish`` hands the final ones over)."""
        records = module.voltage_events()
        if final:
            records = np.concatenate([records, module.voltage_events_in_progress()])
        rows = voltage_event_rows(records)
        self.voltage_event_rows += rows
        # Their intervals flag the windows and half-cycle values they touch;
        # one in progress holds back the rows after its start until it ends.
        for key in self._open_voltage_events:
            self.intervals.close(key)
        self._open_voltage_events = []
        for row in rows:
            self.intervals.add(row["type"], row["t_start"], row["t_end"])
        if not final:
            for k, event in enumerate(module.voltage_events_in_progress()):
                key = ("voltage event", k)
                self.intervals.open(key, float(event["startTime"]))
                self._open_voltage_events.append(key)
        if rows and not final and "on_events" in self.sink:
            self.sink["on_events"](events_frame(rows))
        return rows

    def finish(self, voltage_events: Optional[Module]) -> None:
        """Turns what waits into rows and hands every row on; the events
        still in progress end with the recording (``voltage_events``: the
        module to ask for its dips, swells and interruptions, or None)."""
        self._emit_windows()
        self._emit_periods()
        ended = self.rvc_events.finish()
        if voltage_events is not None:
            ended += self.voltage_events(voltage_events, final=True)
        self._release_half_cycles(math.inf)
        self._release_windows(math.inf)
        if ended and "on_events" in self.sink:
            self.sink["on_events"](events_frame(ended))

    # ------------------------------------------------------------- windows
    def _emit_windows(self) -> None:
        """Turns the waiting window records into table rows: the harmonics
        rows at once, the window rows once their flags are known."""
        parts = self._waiting_windows
        if not parts:
            return
        self._waiting_windows = []
        self._waiting_window_count = 0
        if len(parts) == 1:
            r, valid, harm, iec = parts[0]
        else:
            r = concatenate_records([p[0] for p in parts])
            valid = np.concatenate([p[1] for p in parts])
            harm = {f: _concatenate_orders([p[2][f] for p in parts]) for f in parts[0][2]}
            iec = None if parts[0][3] is None else np.concatenate([p[3] for p in parts])
        n = len(r)
        index = np.arange(self._window_index, self._window_index + n)
        self._window_index += n
        cols = window_columns(self.layout, r, valid, harm)
        blank_without_phasor(cols, self.layout.phases, self.layout.with_currents,
                             *self._scales())
        blank_absent(cols, cols["t_start"], *self._absent_phases())
        self.summary.count_windows(r, valid)
        self.summary.hold_worst_candidates(r, index, harm, cols)
        if self.class_a is not None:  # harmonic subgroups in % of the fundamental's
            self.class_a.take_grouped(iec)
        self._iec_rows(iec, index, r["time"])
        want_rows = self._harmonic_rows_wanted()
        rows = harmonic_rows(self.layout, r, index, harm) if want_rows else None
        if rows is not None and "harmonics" in self.keep:
            self._harmonic_batches.append(rows)
        if "on_harmonics" in self.sink:
            self.sink["on_harmonics"](harmonics_frame([rows], share="harmonics" not in self.keep))
        # the flags need the events up to each window's end
        self._held_windows.push(cols)
        self._release_windows(self._events_known_until)

    def _harmonic_rows_wanted(self) -> bool:
        return "harmonics" in self.keep or "on_harmonics" in self.sink

    def _angles_and_worst_candidates(self, r: np.ndarray, valid: np.ndarray
                                     ) -> Dict[str, np.ndarray]:
        """The harmonic tables when no harmonics table is made: the windows
        table needs only the phase angles; the other tables only the windows
        that could still become the one of the highest voltage THD (whose
        spectrum the summary keeps), NaN for the rest. The highest THD so
        far only rises, so a window not above it now never becomes it. With
        the fleets' and the main job's tables this copies about a quarter of
        the values."""
        layout = self.layout
        nb, n = layout.phases, len(r)
        angles = ["phasesU"] + (["phasesI"] if layout.with_currents else [])
        harm = Module.harmonic_tables(r, angles, nb)
        width = harm["phasesU"].shape[2]
        score = thd_score(r["channels"][:, :nb]["thdU"]["thd"].astype(np.float64))
        maybe = np.asarray(valid, dtype=bool) & (score > self.summary.highest_thd)
        groups = [([f for f in layout.phase_fields if f not in angles], nb),
                  (layout.line_fields, layout.line_to_line)]
        for fields, blocks in groups:
            if not fields:
                continue
            none = np.full((n, blocks, width), np.nan, dtype=np.float32)
            copied = Module.harmonic_tables(r[maybe], fields, blocks) if maybe.any() else {}
            for f in fields:
                if f in copied:
                    table = none.copy()
                    table[maybe, :, :copied[f].shape[2]] = copied[f]
                    harm[f] = table
                else:
                    harm[f] = none
        return harm

    def _iec_rows(self, iec: Optional[np.ndarray], index: np.ndarray, t_end: np.ndarray) -> None:
        """Rows of the grouped harmonics table, when kept or sunk."""
        keep, sink = "iec_harmonics" in self.keep, self.sink.get("on_iec_harmonics")
        if iec is None or not (keep or sink):
            return
        rows = iec_rows(iec, index, t_end, self.iec_order)
        if keep:
            self._iec_batches.append(rows)
        if sink:
            sink(iec_table([rows], self.iec_order))

    def _release_windows(self, known_until: float) -> None:
        """Flags the held windows that end before ``known_until`` and hands
        them on: the running summary, the kept table and the sink."""
        cols = self._held_windows.release(self.intervals.settled_until(known_until))
        if cols is None:
            return
        cols["flagged"] = ~cols["valid"] | self.intervals.overlaps(cols["t_start"],
                                                                   cols["t_end"])
        self.summary.release_worst(self.intervals, known_until)
        if self.class_a is not None:  # the aggregation
            self.class_a.take_windows(cols, self.declared_voltage(), self.intervals.overlaps(
                cols["t_start"], cols["t_end"], kinds=self.class_a.FLAGGING_EVENTS))
        self.summary.add_windows(cols)
        if "windows" in self.keep:
            self._window_batches.append(cols)
        if "on_windows" in self.sink:
            self.sink["on_windows"](table_frame([cols], self.window_names,
                                                share="windows" not in self.keep))

    # --------------------------------------------------- half-cycle values
    def _emit_periods(self) -> None:
        if not self.waiting_periods.count:
            return
        pr = self.waiting_periods.take()
        cols = period_columns(self.layout, pr)
        total = pr[:, 0] if self.layout.phases > 1 else pr[:, 1]
        valid = cols["valid"].astype(bool)
        ended = self.rvc_events.add(total["rvcU"], cols["u_rms_mean"],
                                    pr[:, 1:]["rvcU"]["state"], valid)
        blank_without_phasor(cols, self.layout.phases, self.layout.with_currents,
                             *self._scales(), half_cycles=True)
        f = np.where(cols["frequency"] > 0, cols["frequency"], self.nominal_frequency)
        blank_absent(cols, cols["t_end"] - 1.0 / f, *self._absent_phases())
        self.summary.count_half_cycles(valid)
        self._events_known_until = float(cols["t_end"][-1])
        self._held_half_cycles.push(cols)
        self._release_half_cycles(self._events_known_until)
        self._release_windows(self._events_known_until)
        if ended and "on_events" in self.sink:
            self.sink["on_events"](events_frame(ended))

    def _release_half_cycles(self, known_until: float) -> None:
        """Flags the held half-cycle values that end before ``known_until``
        and before any event in progress, and hands them on."""
        cols = self._held_half_cycles.release(self.intervals.settled_until(known_until))
        if cols is None:
            return
        valid = cols["valid"].astype(bool)
        t_end = cols["t_end"].astype(np.float64)
        f = np.where(cols["frequency"] > 0, cols["frequency"],
                     self.nominal_frequency).astype(np.float64)
        cols["flagged"] = ~valid | self.intervals.overlaps(t_end - 1.0 / f, t_end)
        self.summary.add_half_cycles(cols)
        if "half_cycles" in self.keep:
            self._half_cycle_batches.append(cols)
        if "on_half_cycles" in self.sink:
            self.sink["on_half_cycles"](table_frame([cols], self.half_cycle_names,
                                                    share="half_cycles" not in self.keep))

    # ------------------------------------------------------ channel state
    def _absent_phases(self) -> Tuple[Dict[int, float], Dict[int, float]]:
        """{phase: time of the first usable sample of its voltage, or of its
        current (+inf: none yet)}, for the phases with a measured channel
        of their own (a delta grid's voltages are line-to-line)."""
        first = self.screen.first_usable
        since = np.where(first < 0, np.inf, first / self.layout.sample_rate)
        nv = self.voltage_channels
        volts = {} if self.delta else {k + 1: float(since[k]) for k in range(nv)}
        amps = {k + 1: float(since[nv + k]) for k in range(self.current_channels)}
        return volts, amps

    def _scales(self) -> Tuple[float, float]:
        """The largest scale of the voltage and of the current inputs."""
        scale = self.screen.scale
        nv = self.voltage_channels
        return float(scale[:nv].max()), float(scale[nv:].max()) if self.current_channels else 0.0

    # -------------------------------------------------------------- tables
    def events(self) -> pd.DataFrame:
        """All events, by start time."""
        return events_frame(self.rvc_events.rows + self.voltage_event_rows, sort=True)

    def kept_tables(self) -> Dict[str, pd.DataFrame]:
        """The windows, harmonics, grouped harmonics, half-cycle and cycles
        tables (empty, with their columns, where not kept)."""
        keep = self.keep
        return {
            "windows": table_frame(self._window_batches if "windows" in keep else [],
                                   self.window_names),
            "harmonics": harmonics_frame(self._harmonic_batches if "harmonics" in keep else []),
            "iec_harmonics": iec_table(self._iec_batches if "iec_harmonics" in keep else [],
                                       self.iec_order),
            "half_cycles": table_frame(self._half_cycle_batches if "half_cycles" in keep
                                       else [], self.half_cycle_names),
            "cycles": cycles_frame(self._cycle_batches if "cycles" in keep else [],
                                   self.positions_per_second),
        }
