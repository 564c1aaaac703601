"""Whole-recording analysis: cycles, windows, half-cycle values, RVC events.

``analyze`` takes arrays, ``analyze_stream`` takes an iterator of
``(start_index, block)`` chunks (what ``Recording.chunks`` yields) and needs
memory only for one chunk plus the result tables.  In streaming mode
(``sink=`` an object receiving each batch of table rows as it is complete,
``keep=()`` so that the result holds no large table) the memory is bounded
by the batch sizes whatever the recording's length; the summary, the events
and the bounded ``trends`` that the report draws are there either way.

The steps: the cycles of the fundamental are detected on the first voltage
channel (``cycles.CycleDetector``); the module starts at the sample of the
first zero crossing (the samples before it wait until the detector has found
it); every cycle from there on is reported to the module for the period
values (one-cycle values refreshed every half cycle that commence at zero
crossings, RMS, power, fundamental phasors, rapid-voltage-change detection
and the detection of dips, swells and interruptions); consecutive groups
of 10 cycles (nominal 50 Hz) or 12 cycles (nominal 60 Hz) form the analysis
windows, each aligned to a cycle start, its length the sum of its cycles'
samples and its frequency their mean frequency (cycles x sample rate /
length).  Results come back as pandas DataFrames (see ``AnalysisResult``).
The harmonics table lists its rows window by window (channels U1..U3,
I1..I3, U12..U31, then orders), whatever the batches.

Angles in the tables are phasor angles in degrees in (-180, 180], relative
to the fundamental of the first voltage channel, positive counter-clockwise
(a lagging current has a negative angle).
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
import pandas as pd

from .classa_job import ClassAJob, compliance_summary
from .cycles import KIND_MEASURED, KIND_PARTIAL, CycleDetector, Cycles
from .flicker import FlickerCollector, flag_intervals, flicker_settings
from .flags import (EventIntervals, RowHoldback, blank_absent, blank_without_phasor,
                    spectral_columns, steady_statistics_view, total_distortion)
from .screening import SampleScreen
from .steady import SteadyState
from .module import GRID_NAMES, Module, grid_info, grid_type
from .records import PERIOD_DTYPE, concatenate_records
from .trends import ColumnStats, Envelope, Trends, envelope_names
from .voltage_events import (EVENT_COLUMNS, estimate_declared_voltage, event_type_counts,
                             events_frame, phases_text, voltage_event_rows)

__all__ = ["analyze", "analyze_stream", "AnalysisResult", "WINDOW_CYCLES", "TABLES"]

#: Positions per sample of the cycle boundaries handed to the module.
POSITIONS_PER_SAMPLE = 1000
#: Cycle entries per scheduleForPeriodCalculation call.
PERIOD_BLOCK = 10
#: Nominal cycles at the start of a recording whose median one-cycle RMS is
#: the declared voltage of the dips, swells and interruptions when no
#: nominal voltage is given.
ESTIMATE_CYCLES = 50
HARMONIC_CHANNEL_NAMES = ("U1", "U2", "U3", "I1", "I2", "I3", "U12", "U23", "U31")
_LL_NAMES = ("12", "23", "31")


def window_cycles(nominal_frequency: float) -> int:
    """Cycles per analysis window: 12 for a 60 Hz system, else 10 (about 200 ms)."""
    return 12 if nominal_frequency >= 55.0 else 10


WINDOW_CYCLES = {50.0: 10, 60.0: 12}


@dataclass
class AnalysisResult:
    """Tables of one analysis.

    - ``windows``: one row per 10/12-cycle window; ``flagged`` marks the
      windows that are invalid or overlap an event (see ``flags``).
    - ``harmonics``: long format, one row per window, channel and order.
    - ``half_cycles``: one row per one-cycle value refreshed every half
      cycle, ``flagged`` as for the windows.
    - ``events``: dips, swells, interruptions and rapid voltage changes,
      by start time (``voltage_events.EVENT_COLUMNS``; ``type`` tells which).
    - ``cycles``: the detected cycle entries (t_start, t_end, frequency,
      valid, kind: "measured", "filler" or "partial", amplitude).
    - ``summary``: JSON-serialisable dict of key figures.
    - ``trends``: bounded data for the report and the console table
      (``trends.Trends``: column means, min/max envelopes of the series the
      report draws, the spectrum of the window with the highest voltage
      THD, mean fundamental phasors), there whether or not the tables were
      kept; None for results built by hand.
    - ``flicker``: one row per 10-minute interval with Pst per voltage
      channel and the 2-hour Plt (``flicker.FlickerCollector.frame``);
      empty below 1600 Hz sampling.
    - ``aggregates``: {"3s", "10min", "2h"}: the aggregated values on the
      clock (``classa_job``); empty with ``class_a=False``.
    - ``compliance``: the EN 50160 verdict (``compliance.evaluate``), or
      None (``class_a=False``, or no declared voltage).
    - ``pinst``: {voltage channel: (t, Pinst)}, the min/max envelope of the
      instantaneous flicker sensation (``FlickerCollector.pinst``).

    A table that the analysis was told not to keep (``keep=``) is empty,
    with its columns.
    """

    windows: pd.DataFrame
    harmonics: pd.DataFrame
    half_cycles: pd.DataFrame
    events: pd.DataFrame
    summary: Dict[str, Any]
    cycles: pd.DataFrame = field(default_factory=pd.DataFrame)
    trends: Optional[Trends] = None
    flicker: pd.DataFrame = field(default_factory=pd.DataFrame)
    aggregates: Dict[str, pd.DataFrame] = field(default_factory=dict)
    compliance: Optional[Dict[str, Any]] = None
    pinst: Dict[str, Tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)


def _wrap_degrees(a: np.ndarray) -> np.ndarray:
    a = np.asarray(a, dtype=np.float64)
    return a - np.ceil(a / 360.0 - 0.5) * 360.0


def _conventional(angle: np.ndarray) -> np.ndarray:
    """Library angles (negated sine phases) -> phasor angles."""
    return _wrap_degrees(-np.asarray(angle, dtype=np.float64))


class _Progress:
    def __init__(self, progress: Any, total: Optional[int]) -> None:
        self._bar = None
        self._fn = None
        self.total = total
        if progress is None or progress is False:
            return
        if progress is True:
            from tqdm.auto import tqdm
            self._bar = tqdm(total=total, unit="sample", unit_scale=True, desc="analysing")
            self._own = True
        elif hasattr(progress, "update"):
            self._bar = progress
            self._own = False
        elif callable(progress):
            self._fn = progress
        else:
            raise TypeError("progress must be None, a bool, a tqdm-like object or a callable")
        self.done = 0

    def advance(self, n: int) -> None:
        if self._bar is not None:
            self._bar.update(n)
        if self._fn is not None:
            self.done += n
            self._fn(self.done, self.total)

    def close(self) -> None:
        if self._bar is not None and getattr(self, "_own", False):
            self._bar.close()


class _Events:
    """Rapid voltage change events from the summary records' RVC fields,
    fed batch by batch (the state of an event in progress and the last
    steady-state length of mean RMS values carry over). An event is
    reported only when a steady state of valid values precedes it: without
    one, what the detector saw was not a change from a steady level."""

    COLUMNS = EVENT_COLUMNS

    def __init__(self, steady_length: int, nominal_voltage: Optional[float],
                 intervals: Optional[EventIntervals] = None, lag: float = math.inf) -> None:
        self.length = int(steady_length)
        # an event ends at the first of the N steady values that end it
        self.lag = float(lag)
        self.nominal_voltage = nominal_voltage
        self.intervals = intervals
        self.warmup = SteadyState(self.length)
        self.rows: List[Dict[str, Any]] = []
        self._tail = np.zeros(0)   # u_rms_mean of the last ``length`` values
        self._prev = -1            # RVC state of the previous value
        self._open: Optional[Tuple[float, float]] = None  # (t_start, reference) of an event
        self._ignoring = False     # the library's event in progress is not reported
        self._phases = 0  # phases in an event while the open total event lasts (bit mask)

    def add(self, rvc: np.ndarray, u: np.ndarray, phase_states: Optional[np.ndarray] = None,
            valid: Optional[np.ndarray] = None) -> List[Dict[str, Any]]:
        """Takes the next values (``phase_states``: the phases' RVC states,
        shape (values, phases); ``valid``: which values were measured on
        valid cycles); returns the events that ended among them."""
        n = len(rvc)
        if n == 0:
            return []
        trusted = self.warmup.take(np.ones(n, bool) if valid is None else valid)
        state = rvc["state"]
        in_event = (np.zeros((n, 0), dtype=bool) if phase_states is None
                    else np.asarray(phase_states) == 1)
        since = 0  # the first value whose phases count for the open event
        ended = rvc["eventEnded"]
        prev = np.concatenate([[self._prev], state[:-1]])
        starts = (state == 1) & (prev != 1)
        u_all = np.concatenate([self._tail, np.asarray(u, dtype=np.float64)])
        off = len(self._tail)
        new: List[Dict[str, Any]] = []
        for k in np.flatnonzero(starts | ended).tolist():
            if starts[k] and self._open is None and not self._ignoring:
                if not trusted[k]:
                    # no steady state of valid values before it: not a change
                    self._ignoring = True
                    continue
                if self.nominal_voltage is not None:
                    ref = self.nominal_voltage
                else:
                    before = u_all[max(0, off + k - self.length):off + k]
                    ref = float(np.mean(before)) if len(before) else float("nan")
                self._open = (float(rvc["time"][k]), ref)
                self._phases = 0
                since = k
                if self.intervals is not None:
                    self.intervals.open(self, self._open[0], self.lag, kind="rvc")
            if ended[k] and self._ignoring:
                self._ignoring = False
            elif ended[k] and self._open is not None:
                self._phases |= self._mask(in_event, since, k + 1)
                new.append(self._row(self._open, rvc[k], ended=True, phases=self._phases))
                self._open = None
                since = k + 1
                self._register(new[-1])
        if self._open is not None:
            self._phases |= self._mask(in_event, since, n)
        self._prev = int(state[-1])
        self._tail = u_all[max(0, len(u_all) - self.length):].copy() if self.length else u_all[:0]
        self.rows += new
        return new

    def finish(self) -> List[Dict[str, Any]]:
        """The event still in progress at the end, if any."""
        if self._open is None:
            return []
        row = self._row(self._open, None, ended=False, phases=self._phases)
        self._open = None
        self.rows.append(row)
        self._register(row)
        return [row]

    def _register(self, row: Dict[str, Any]) -> None:
        if self.intervals is not None:
            self.intervals.close(self)
            self.intervals.add("rvc", row["t_start"], row["t_end"])

    @staticmethod
    def _mask(in_event: np.ndarray, lo: int, hi: int) -> int:
        """Bit mask of the phases in an event among values lo .. hi - 1."""
        if not in_event.shape[1] or hi <= lo:
            return 0
        hit = in_event[lo:hi].any(axis=0)
        return int(sum(1 << k for k in np.flatnonzero(hit).tolist()))

    @staticmethod
    def _row(opened: Tuple[float, float], rec: Optional[np.void], ended: bool,
             phases: int = 0) -> Dict[str, Any]:
        t_start, ref = opened
        if ended:
            duration = float(rec["duration"])
            dmax = float(rec["deltaUmax"])
            dss = float(rec["deltaUss"])
        else:
            duration = dmax = dss = float("nan")
        pct = (lambda v: 100.0 * v / ref if ref and math.isfinite(ref) else float("nan"))
        return {"type": "rvc", "phases": phases_text(phases), "t_start": t_start,
                "t_end": t_start + duration, "duration": duration, "extreme_v": float("nan"),
                "extreme_pct": float("nan"), "reference_voltage": ref,
                "delta_u_max": dmax, "delta_u_ss": dss, "delta_u_max_pct": pct(dmax),
                "delta_u_ss_pct": pct(dss), "ended": ended}

    @classmethod
    def frame(cls, rows: List[Dict[str, Any]], sort: bool = False) -> pd.DataFrame:
        return events_frame(rows, sort=sort)


#: Samples per nominal cycle that the analysis accepts (2.5 MHz at 50 Hz).
MAX_SAMPLES_PER_CYCLE = 50000
#: Relative deviation of a measured cycle's frequency from the nominal one
#: beyond which it counts as off-nominal (for the warning).
OFF_NOMINAL = 0.05
#: Share of off-nominal measured cycles that triggers the warning.
OFF_NOMINAL_SHARE = 0.5

#: Windows whose records are converted to table rows together (and handed
#: to a sink as one batch).
WINDOW_BATCH = 1024
#: Half-cycle values converted (and handed to a sink) together.
HALF_CYCLE_BATCH = 8192
#: Names of the tables that ``keep`` chooses from.
TABLES = ("windows", "harmonics", "half_cycles", "cycles")
_SINK_METHODS = ("on_windows", "on_harmonics", "on_half_cycles", "on_events", "on_cycles")
_HARMONIC_NAMES = ["window", "t_end", "channel", "order", "magnitude", "angle", "interharmonic",
                   "p", "q"]
_CYCLE_KINDS = np.array(["measured", "filler", "partial"])


def _keep_set(keep: Any) -> frozenset:
    if keep is None or keep is True:
        return frozenset(TABLES)
    if keep is False:
        return frozenset()
    if isinstance(keep, str):
        keep = [keep]
    names = set()
    for name in keep:
        key = str(name).strip().lower().replace("-", "_")
        key = "half_cycles" if key == "halfcycles" else key
        if key not in TABLES:
            raise ValueError(f"unknown table {name!r} in keep; choose from {', '.join(TABLES)}")
        names.add(key)
    return frozenset(names)


def _slice(c: Cycles, lo: int, hi: Optional[int]) -> Cycles:
    return Cycles(*(a[lo:hi] for a in c))


class _Analyzer:
    def __init__(self, *, sample_rate: float, grid: Union[str, int], with_currents: bool,
                 nominal_frequency: float, nominal_voltage: Optional[float], backend: str,
                 harmonics: int, interharmonics: bool, rvc_threshold: float,
                 start_index: int, keep: Any = None, sink: Any = None,
                 start_time: Any = None, class_a: bool = True) -> None:
        fs = float(sample_rate)
        if not fs > 0:
            raise ValueError("sample_rate must be positive")
        f0 = float(nominal_frequency)
        if not f0 > 0:
            raise ValueError("nominal_frequency must be positive")
        if f0 * 8 > fs:
            raise ValueError(f"a sample rate of {fs:g} Hz is below 8 samples per {f0:g} Hz "
                             "cycle, too few to analyse: check the sample rate (or the unit "
                             "of the time column)")
        if fs / f0 > MAX_SAMPLES_PER_CYCLE:
            # the filters and the sample ring grow with the samples per cycle
            raise ValueError(f"a sample rate of {fs:g} Hz is {fs / f0:.3g} samples per "
                             f"{f0:g} Hz cycle, more than the {MAX_SAMPLES_PER_CYCLE} that the "
                             "analysis takes: check the sample rate")
        if int(harmonics) < 1:
            raise ValueError("harmonics must be at least 1")
        self.keep = _keep_set(keep)
        self.sink = {name: getattr(sink, name) for name in _SINK_METHODS
                     if sink is not None and callable(getattr(sink, name, None))}
        self.fs, self.f0 = fs, f0
        self.grid_type = grid_type(grid)
        self.grid_name = GRID_NAMES.get(self.grid_type, str(self.grid_type))
        gi = grid_info(self.grid_type)
        self.phases, self.nv, self.delta = gi.phases, gi.voltages, gi.delta
        self.nc = gi.currents if with_currents else 0
        self.with_currents = bool(with_currents)
        self.n_ll = gi.line_to_line if self.phases > 1 else 0
        self.nominal_voltage = None if nominal_voltage is None else float(nominal_voltage)
        self.W = window_cycles(f0)
        self.rvc_length = 10 * self.W
        self.harmonics = int(harmonics)
        self.interharmonics = bool(interharmonics)
        self.rvc_threshold = float(rvc_threshold)
        self.R = POSITIONS_PER_SAMPLE
        self.fmin, self.fmax = 0.5 * f0, 1.5 * f0
        nominal_len = fs / f0
        self.nominal_len = nominal_len

        reference_rms = None
        if self.nominal_voltage is not None:
            reference_rms = self.nominal_voltage * (math.sqrt(3.0) if self.delta else 1.0)
        self.detector = CycleDetector(fs, f0, positions_per_sample=self.R,
                                      start_index=start_index, nominal_rms=reference_rms)
        # Ring sizing: history that must stay in the ring while writing.
        # (a window group and a block of cycles waiting, each up to 1.5 x
        # nominal per cycle, the detector's delay and gap limit, a margin)
        backlog = (self.W + PERIOD_BLOCK) * 1.5 * nominal_len
        lag = self.detector.delay + (self.detector.max_gap_cycles + 2.0) * nominal_len
        self.history = int(math.ceil(backlog + lag + 6 * nominal_len)) + 8
        self.L = int(max(3 * self.history, math.ceil(4.0 * fs)))
        if self.L > 2 ** 31 - 1:
            raise ValueError("sample rate too high for the ring sizes")
        self.slots = int(math.ceil(self.L / fs * self.fmax / self.W))

        # --- Class A hook: the clock, the aggregation and the verdict (classa_job)
        self._class_a = (ClassAJob(start_time=start_time, sample_rate=fs, start_index=start_index,
                                   positions_per_sample=self.R, nominal_frequency=f0,
                                   window_cycles=self.W) if class_a else None)
        flicker_start = (self._class_a.flicker_interval_start() if self._class_a is not None
                         else int(start_index))
        self.module = Module(backend)
        m = self.module
        m.configure(
            sample_rate=(fs, self.R), buffer_length=self.L, grid=self.grid_type,
            variable_frequency=(self.fmin, self.fmax), period_count=self.W,
            current_enabled=self.with_currents, highest_requested_harmonic=self.harmonics,
            thd_enabled=True, thd_highest_harmonic=self.harmonics,
            inter_harmonics_enabled=self.interharmonics,
            line_to_line_results_enabled=self.phases > 1,
            symmetrical_components_enabled=self.phases == 3,
            period_values_enabled=True, half_period_values_count=2,
            period_values_overlap_in_percent=50, rvc_enabled=True,
            rvc_steady_state_length_in_number_of_period_values=self.rvc_length,
            rvc_threshold_in_percent_of_average=self.rvc_threshold,
            **flicker_settings(fs, f0, flicker_start),
        )
        if self._class_a is not None:  # Class A hook: the 10-s frequency on the clock
            for key, value in self._class_a.module_settings().items():
                setattr(m, key, value)
        self.start_index = int(start_index)
        # The module starts at the sample of the first zero crossing (see
        # _start_module); until the cycle detector has found it, the
        # samples wait here.
        self._module_start: Optional[int] = None
        self._held: List[np.ndarray] = []
        self._held_count = 0
        self.declared_voltage = self.nominal_voltage
        self.declared_voltage_estimated = False
        self._voltage_events_on = False
        # without a nominal voltage the declared voltage is estimated from
        # this many samples of the start (whatever the chunks), held as well
        self._estimate_samples = (int(math.ceil(ESTIMATE_CYCLES * nominal_len))
                                  if self.nominal_voltage is None else 0)
        self._write: Any = None
        self._flicker = FlickerCollector(m, fs, self.delta)
        self.written = self.start_index
        # cycles not yet handed to the module (their end lies beyond the written samples)
        self._pending = Cycles.empty()
        # cycles whose samples are written, waiting for a full block
        self._ready = Cycles.empty()
        # the window being grouped: cycles, first start, last end, all valid and measured
        self._g_count = 0
        self._g_s0 = 0
        self._g_e1 = 0
        self._g_ok = True
        self._windows_started = False
        self._scheduled: List[Tuple[int, int, bool, bool]] = []  # first, length, valid, report
        self._delivered_end = self.start_index
        self._window_index = 0
        self._skipped_windows = 0
        self._phase_fields = ["harmonicsU", "phasesU", "interharmonicsU"]
        if self.with_currents:
            self._phase_fields += ["harmonicsI", "phasesI", "interharmonicsI", "harmonicsP",
                                   "harmonicsQ"]
        self._line_fields = ["harmonicsUL", "interharmonicsUL"] if self.n_ll else []
        # records waiting to become table rows
        self._pend_windows: List[Tuple[np.ndarray, np.ndarray, Dict[str, np.ndarray]]] = []
        self._pend_window_count = 0
        self._pend_periods: List[np.ndarray] = []
        self._pend_period_count = 0
        # kept tables (lists of column dicts)
        self._win_batches: List[Dict[str, np.ndarray]] = []
        self._harm_batches: List[Dict[str, np.ndarray]] = []
        self._half_batches: List[Dict[str, np.ndarray]] = []
        self._cycle_batches: List[Cycles] = []
        # what the summary and the report need, in bounded memory
        self._window_names = self._window_column_names()
        self._spectral_names = spectral_columns(self._window_names)
        self._half_names = list(self._period_columns(
            np.zeros((0, self.phases + 1), dtype=PERIOD_DTYPE)).keys())
        self._stats = ColumnStats()
        self._window_count = 0
        self._invalid_windows = 0
        self._half_count = 0
        self._cycle_count = 0
        self._invalid_cycles = 0
        # what makes windows and half-cycle values flagged
        self._screen = SampleScreen(self.nv + self.nc)
        self._bad_runs: List[Tuple[int, int]] = []  # [first, end) samples not yet past the cycles
        self._intervals = EventIntervals()
        self._hold_windows = RowHoldback()
        self._hold_half = RowHoldback()
        self._hold_worst = RowHoldback()
        self._events_known_until = -math.inf
        self._flagged_windows = 0
        self._flagged_half = 0
        self._invalid_half = 0
        self._freq_sum = 0.0
        self._freq_count = 0
        self._off_nominal_cycles = 0
        self._highest_order: Optional[int] = None  # lowest highest order of a window
        # N values, each at most one nominal period apart (frequency >= 0.5 x nominal)
        self._events = _Events(self.rvc_length, self.nominal_voltage, self._intervals,
                               lag=self.rvc_length / self.f0)
        self._voltage_event_rows: List[Dict[str, Any]] = []
        # intervals of the dips, swells and interruptions in progress
        self._open_voltage_events: List[object] = []
        self._env_windows = Envelope(envelope_names(self._window_names, _WINDOW_TRENDS))
        self._env_half = Envelope(envelope_names(self._half_names, _HALF_TRENDS))
        self._phasor_sums: Dict[str, List[Any]] = {}
        self._worst: Optional[Dict[str, Any]] = None
        self._worst_score = -math.inf

    # ------------------------------------------------------------ feeding
    def feed(self, block: np.ndarray) -> None:
        block = np.asarray(block, dtype=np.float64)
        if block.ndim == 1:
            block = block[:, None]
        block, runs = self._screen.screen(block, self.written)
        self._bad_runs += runs
        cycles = self.detector.process(block[:, 0])
        if self._module_start is None:
            self._held.append(block)
            self._held_count += len(block)
            if self.detector.anchor is None:
                assert not cycles.count, "cycle entries before the anchor is known"
                return
            self._add_cycles(cycles)
            if self._held_count < self._estimate_samples:
                return
            self._write_block(self._start_module())
            return
        self._add_cycles(cycles)
        self._write_block(block)

    def _start_module(self) -> np.ndarray:
        """Resets the module at the sample that holds the detector's anchor
        (the first zero crossing), so that the period values, which the
        module measures off the cycles from its first sample, commence at
        zero crossings; returns the held samples from there on.  Nothing
        before that sample is in a window: the windows start with the first
        measured cycle."""
        first = int(self.detector.anchor) // self.R
        held = self._held[0] if len(self._held) == 1 else np.concatenate(self._held)
        self._held = []
        estimate = None
        if self.nominal_voltage is None:
            # delta grids measure line-to-line voltages
            scale = 1.0 / math.sqrt(3.0) if self.delta else 1.0
            estimate = estimate_declared_voltage(
                held[:self._estimate_samples, :self.nv] * scale, self.nominal_len)
        self._init_voltage_events(estimate)
        self.module.reset(first)
        self._write = self.module.writer()  # the configuration stays as it is from here on
        self._module_start = first
        self.written = first
        self._delivered_end = first
        return held[first - self.start_index:]

    def _write_block(self, block: np.ndarray) -> None:
        pos = 0
        n = len(block)
        while pos < n:
            room = self._room()
            if room <= 0:
                self._fetch(wait=True)
                room = self._room()
                if room <= 0:
                    raise RuntimeError("internal: the sample ring has no room "
                                       f"(written {self.written}, ring {self.L})")
            piece = min(n - pos, room, self.L)
            self._write(block[pos:pos + piece])
            self.written += piece
            self._flicker.drain()
            self._drain_ten_second_frequency()
            pos += piece
            self._advance()

    def finish(self) -> None:
        tail = self.detector.flush()
        held = self._start_module() if self._module_start is None else None
        self._add_cycles(tail)
        if held is not None:
            self._write_block(held)
        self._advance(final=True)
        self._fetch(wait=True)
        self._drain_ten_second_frequency()
        self._emit_windows()
        self._emit_periods()
        ended = self._events.finish() + self._take_voltage_events(final=True)
        self._release_half(math.inf)
        self._release_windows(math.inf)
        if ended and "on_events" in self.sink:
            self.sink["on_events"](_Events.frame(ended))

    def _drain_ten_second_frequency(self) -> None:
        """Class A hook: the completed 10-s intervals to the job."""
        if self._class_a is not None and self._write is not None:
            self._class_a.take_frequencies(self.module.ten_second_frequencies())

    def _mark_bad_cycles(self, cycles: Cycles) -> Cycles:
        """Cycles that contain a missing or absurd sample are invalid; runs
        that lie wholly before the last cycle are dropped."""
        if not self._bad_runs:
            return cycles
        runs = np.array(self._bad_runs, dtype=np.int64)
        r = self.R
        first = (cycles.start // np.uint64(r)).astype(np.int64)
        end = -(-cycles.end().astype(np.int64) // r)
        k = np.searchsorted(runs[:, 1], first, side="right")  # first run ending after the start
        k = np.minimum(k, len(runs) - 1)
        hit = (runs[k, 1] > first) & (runs[k, 0] < end)
        if hit.any():
            cycles = cycles._replace(valid=cycles.valid & ~hit)
        last = int(end[-1]) if len(end) else 0
        self._bad_runs = [run for run in self._bad_runs if run[1] > last - 1]
        return cycles

    def _add_cycles(self, cycles: Cycles) -> None:
        if not cycles.count:
            return
        cycles = self._mark_bad_cycles(cycles)
        measured = cycles.kind == KIND_MEASURED
        if measured.any():
            f = cycles.frequency[measured]
            self._freq_sum += float(np.sum(f))
            self._freq_count += int(len(f))
            self._off_nominal_cycles += int(np.count_nonzero(
                np.abs(f / self.f0 - 1.0) > OFF_NOMINAL))
        # the pieces before the first crossing go to the tables only
        to_module = cycles
        if int(cycles.start[0]) < int(self.detector.anchor):
            to_module = _slice(cycles, int(np.searchsorted(cycles.start,
                                                           np.uint64(self.detector.anchor))),
                               None)
        if to_module.count:
            self._pending = (to_module if not self._pending.count
                             else Cycles.concatenate([self._pending, to_module]))
        self._cycle_count += int(np.count_nonzero(cycles.kind == KIND_MEASURED))
        self._invalid_cycles += int(np.count_nonzero(~cycles.valid))
        if "cycles" in self.keep:
            self._cycle_batches.append(cycles)
        if "on_cycles" in self.sink:
            self.sink["on_cycles"](self._cycles_frame([cycles]))

    def _room(self) -> int:
        need = min(self._delivered_end, self._first_needed()) - int(4 * self.nominal_len)
        return need + self.L - self.written

    def _first_needed(self) -> int:
        candidates = [self.written]
        if self._g_count:
            candidates.append(self._g_s0 // self.R)
        if self._ready.count:
            candidates.append(int(self._ready.start[0]) // self.R)
        elif self._pending.count:
            candidates.append(int(self._pending.start[0]) // self.R)
        if self._scheduled:
            candidates.append(self._scheduled[0][0])
        return min(candidates)

    def _advance(self, final: bool = False) -> None:
        """Hands complete cycles to the module, schedules full windows, fetches.

        Cycles go to the module in fixed blocks of ``PERIOD_BLOCK`` entries
        (counted from the first), so the period values do not depend on how
        the recording was cut into chunks: the module feeds its period
        windows up to the last sample of each call, including a sample that
        the next entry shares.  The windows that a block completes are
        scheduled right after it."""
        limit = self.written * self.R
        if self._pending.count:
            k = int(np.searchsorted(self._pending.end(), np.uint64(limit), side="right"))
            if k:
                head = _slice(self._pending, 0, k)
                self._ready = head if not self._ready.count else Cycles.concatenate(
                    [self._ready, head])
                self._pending = _slice(self._pending, k, None)
        count = self._ready.count
        if count >= PERIOD_BLOCK or (final and count):
            take = count if final else (count // PERIOD_BLOCK) * PERIOD_BLOCK
            part = _slice(self._ready, 0, take)
            self._ready = _slice(self._ready, take, None)
            self._schedule_cycles(part)
        if final:
            self._flush_group()
        self._fetch(wait=False)

    def _schedule_cycles(self, c: Cycles) -> None:
        n = c.count
        report = self.module.cycle_scheduler(c.start, c.length, c.frequency, c.valid)
        ends = c.end()
        if (c.kind == KIND_PARTIAL).any():
            # the first or the last cycles of the recording: one by one
            starts, stops = c.start.tolist(), ends.tolist()
            valid, kinds = c.valid.tolist(), c.kind.tolist()
            cuts = set(self._chain_cuts(c))
            for lo in range(0, n, PERIOD_BLOCK):
                hi = min(lo + PERIOD_BLOCK, n)
                report(lo, hi)
                for i in range(lo, hi):
                    if i in cuts:
                        self._flush_group()  # a 10-min tick restarts the chain
                    self._group_cycle(starts[i], stops[i], valid[i], kinds[i])
            return
        windows = self._complete_windows(c, ends)
        w = 0
        for lo in range(0, n, PERIOD_BLOCK):
            hi = min(lo + PERIOD_BLOCK, n)
            report(lo, hi)
            while w < len(windows) and windows[w][0] < hi:
                _, s0, e1, ok, count, reported = windows[w]
                self._schedule_window(s0, e1, count, ok, reported)
                w += 1

    def _chain_cuts(self, c: Cycles) -> List[int]:
        """Class A hook: indices of the cycles of ``c`` that restart the
        window chain (the first cycle at or after each 10-min tick)."""
        return self._class_a.window_chain_cuts(c.start) if self._class_a is not None else []

    def _complete_windows(self, c: Cycles, ends: np.ndarray) -> List[Tuple[int, int, int, bool, int, bool]]:
        """The windows that cycles ``c`` (none of them partial) complete:
        (index of the last cycle, first start, last end, valid, cycles,
        reported).  Class A resynchronisation: at each cut of
        ``_chain_cuts`` the window in progress closes early with the cycles
        before the tick (calculated so that the period values of its
        samples are delivered, not reported: it is no 10/12-cycle value) and
        a new chain starts with the cycle at the cut."""
        out: List[Tuple[int, int, int, bool, int, bool]] = []
        lo = 0
        for cut in self._chain_cuts(c) + [c.count]:
            if cut > lo:
                part = self._chain_windows(_slice(c, lo, cut), ends[lo:cut])
                out += [(last + lo, s0, e1, ok, self.W, True) for last, s0, e1, ok in part]
            if cut < c.count and self._g_count:
                out.append((cut - 1, self._g_s0, self._g_e1, self._g_ok, self._g_count, False))
                self._g_count = 0
                self._g_ok = True
            lo = cut
        return out

    def _chain_windows(self, c: Cycles, ends: np.ndarray) -> List[Tuple[int, int, int, bool]]:
        """The windows that cycles ``c`` (none of them partial) complete:
        (index of the last cycle, first start, last end, all valid and
        measured); updates the group of the next window."""
        W, n, g = self.W, c.count, self._g_count
        self._windows_started = True
        good = c.valid & (c.kind == KIND_MEASURED)
        done = np.arange(W - g - 1, n, W)
        out: List[Tuple[int, int, int, bool]] = []
        if len(done):
            bad = np.concatenate([[0], np.cumsum(~good)])
            first = done - W + 1
            inside = first >= 0
            lo = np.maximum(first, 0)
            s0 = np.where(inside, c.start[lo], np.uint64(self._g_s0))
            ok = ((bad[done + 1] - bad[lo]) == 0) & (inside | self._g_ok)
            out = list(zip(done.tolist(), s0.tolist(), ends[done].tolist(), ok.tolist()))
            rest = int(done[-1]) + 1
            self._g_count = n - rest
            if self._g_count:
                self._g_s0 = int(c.start[rest])
                self._g_ok = bool(good[rest:].all())
            else:
                self._g_ok = True
        else:
            if g == 0:
                self._g_s0 = int(c.start[0])
                self._g_ok = True
            self._g_ok = self._g_ok and bool(good.all())
            self._g_count = g + n
        if self._g_count:
            self._g_e1 = int(ends[-1])
        return out

    def _group_cycle(self, s: int, e: int, valid: bool, kind: int) -> None:
        if kind == KIND_PARTIAL:
            # Before the first crossing: not part of any window.  After the
            # last one: it closes the last, unreported window.
            if self._windows_started:
                self._group_add(s, e, valid, kind)
                self._flush_group()
            return
        self._windows_started = True
        self._group_add(s, e, valid, kind)
        if self._g_count == self.W:
            self._schedule_group(report=True)

    def _group_add(self, s: int, e: int, valid: bool, kind: int) -> None:
        if self._g_count == 0:
            self._g_s0 = s
            self._g_ok = True
        self._g_e1 = e
        self._g_ok = self._g_ok and bool(valid) and kind == KIND_MEASURED
        self._g_count += 1

    def _flush_group(self) -> None:
        """A last, shorter window so that the period values of the tail get
        delivered; it is not reported."""
        if self._g_count:
            self._schedule_group(report=False)

    def _schedule_group(self, report: bool) -> None:
        s0, e1, count, ok = self._g_s0, self._g_e1, self._g_count, self._g_ok
        self._g_count = 0
        self._g_ok = True
        self._schedule_window(s0, e1, count, ok, report)

    def _schedule_window(self, s0: int, e1: int, count: int, valid: bool, report: bool) -> None:
        """Schedules the window of ``count`` cycles from ``s0`` to ``e1``.  A
        window that is not reported (the tail, or a group whose mean
        frequency lies outside 0.5..1.5 x nominal) is still calculated, so
        that the period values of its samples get delivered."""
        first = int(round(s0 / self.R))
        last = int(round(e1 / self.R))
        length = last - first
        if length <= 0:
            return
        freq = count * self.fs * self.R / float(e1 - s0)
        if report and not self.fmin <= freq <= self.fmax:
            report = False
            self._skipped_windows += 1
        if not report:
            # a frequency whose FFT length holds the window (and has a plan)
            freq = min(max(self.W * self.fs / length, self.fmin), self.fmax)
        if freq >= 0.5 * self.fs or length > self.L:
            return
        while len(self._scheduled) >= self.slots - 1:
            self._fetch(wait=True)
        self.module.schedule(first, length, freq)
        self._scheduled.append((first, length, bool(valid), report))

    # ----------------------------------------------------------- fetching
    def _fetch(self, wait: bool) -> None:
        m = self.module
        if wait and self._scheduled:
            m.sync()
        while True:
            records = m.results()
            if len(records) == 0:
                break
            self._take_windows(records)
            if not wait:
                break
        periods = m.period_results()
        self._take_voltage_events()
        if len(periods):
            self._pend_periods.append(periods)
            self._pend_period_count += len(periods)
            if self._pend_period_count >= HALF_CYCLE_BATCH:
                self._emit_periods()

    def _take_windows(self, r: np.ndarray) -> None:
        n = len(r)
        info = self._scheduled[:n]
        del self._scheduled[:n]
        self._delivered_end = int(r["firstSampleIndex"][-1]) + int(r["length"][-1])
        report = np.array([i[3] for i in info], dtype=bool)
        if not report.any():
            return
        valid = np.array([i[2] for i in info], dtype=bool)
        if not report.all():
            valid = valid[report]
            r = r[report]
        # the harmonic tables live in ring slots that later windows reuse: copy now
        harm = Module.harmonic_tables(r, self._phase_fields, self.phases)
        if self._line_fields:
            harm.update(Module.harmonic_tables(r, self._line_fields, self.n_ll))
        self._pend_windows.append((r, valid, harm))
        self._pend_window_count += len(r)
        if self._pend_window_count >= WINDOW_BATCH:
            self._emit_windows()

    # ------------------------------------------------------ table batches
    def _emit_windows(self) -> None:
        """Turns the waiting window records into table rows: statistics,
        trends, the kept tables and the sink."""
        parts = self._pend_windows
        if not parts:
            return
        self._pend_windows = []
        self._pend_window_count = 0
        if len(parts) == 1:
            r, valid, harm = parts[0]
        else:
            r = concatenate_records([p[0] for p in parts])
            valid = np.concatenate([p[1] for p in parts])
            harm = {f: np.concatenate([p[2][f] for p in parts]) for f in parts[0][2]}
        n = len(r)
        index = np.arange(self._window_index, self._window_index + n)
        self._window_index += n
        cols = self._window_columns(r, valid, harm)
        blank_without_phasor(cols, self.phases, self.with_currents, *self._scales())
        blank_absent(cols, cols["t_start"], *self._absent_phases())
        self._window_count += n
        self._invalid_windows += int(np.count_nonzero(~valid))
        if n:
            top = int(r["harmonicLength"].min()) - 1
            self._highest_order = top if self._highest_order is None else min(
                self._highest_order, top)
        self._hold_worst_candidates(r, index, harm, cols)
        if self._class_a is not None:  # Class A hook: harmonics in % of H1
            self._class_a.take_spectra(harm["harmonicsU"], r["harmonicLength"])
        want_rows = "harmonics" in self.keep or "on_harmonics" in self.sink
        rows = self._harmonic_rows(r, index, harm) if want_rows else None
        if rows is not None and "harmonics" in self.keep:
            self._harm_batches.append(rows)
        if "on_harmonics" in self.sink:
            self.sink["on_harmonics"](self._harmonics_frame([rows]))
        # the flags need the events up to each window's end
        self._hold_windows.push(cols)
        self._release_windows(self._events_known_until)

    def _release_windows(self, known_until: float) -> None:
        """Flags the held windows that end before ``known_until`` and hands
        them on: statistics (invalid windows left out, spectral values of
        flagged ones too), trends, the kept table and the sink."""
        cols = self._hold_windows.release(self._intervals.settled_until(known_until))
        if cols is None:
            return
        flagged = ~cols["valid"] | self._intervals.overlaps(cols["t_start"], cols["t_end"])
        cols["flagged"] = flagged
        self._flagged_windows += int(np.count_nonzero(flagged))
        self._release_worst(known_until)
        steady = steady_statistics_view(cols, self._spectral_names)
        self._stats.add(steady)
        self._env_windows.add(cols["t_end"], cols)
        self._add_phasors(steady)
        if "windows" in self.keep:
            self._win_batches.append(cols)
        if self._class_a is not None:  # Class A hook: the aggregation
            self._class_a.take_windows(cols, self.declared_voltage, self._intervals.overlaps(
                cols["t_start"], cols["t_end"], kinds=ClassAJob.FLAGGING_EVENTS))
        if "on_windows" in self.sink:
            self.sink["on_windows"](_frame([cols], self._window_names))

    def _emit_periods(self) -> None:
        parts = self._pend_periods
        if not parts:
            return
        self._pend_periods = []
        self._pend_period_count = 0
        pr = concatenate_records(parts)
        cols = self._period_columns(pr)
        total = pr[:, 0] if self.phases > 1 else pr[:, 1]
        self._half_count += len(pr)
        valid = cols["valid"].astype(bool)
        ended = self._events.add(total["rvcU"], cols["u_rms_mean"],
                                 pr[:, 1:]["rvcU"]["state"], valid)
        blank_without_phasor(cols, self.phases, self.with_currents,
                             *self._scales(), half_cycles=True)
        f = np.where(cols["frequency"] > 0, cols["frequency"], self.f0)
        blank_absent(cols, cols["t_end"] - 1.0 / f, *self._absent_phases())
        self._invalid_half += int(np.count_nonzero(~valid))
        self._events_known_until = float(cols["t_end"][-1])
        self._hold_half.push(cols)
        self._release_half(self._events_known_until)
        self._release_windows(self._events_known_until)
        if ended and "on_events" in self.sink:
            self.sink["on_events"](_Events.frame(ended))

    def _absent_phases(self) -> Tuple[Dict[int, float], Dict[int, float]]:
        """{phase: time of the first usable sample of its voltage, or of its
        current (+inf: none yet)}, for the phases with a measured channel
        of their own (a delta grid's voltages are line-to-line)."""
        first = self._screen.first_usable
        since = np.where(first < 0, np.inf, first / self.fs)
        volts = {} if self.delta else {k + 1: float(since[k]) for k in range(self.nv)}
        amps = {k + 1: float(since[self.nv + k]) for k in range(self.nc)}
        return volts, amps

    def _scales(self) -> Tuple[float, float]:
        """The largest scale of the voltage and of the current inputs."""
        scale = self._screen.scale
        return float(scale[:self.nv].max()), float(scale[self.nv:].max()) if self.nc else 0.0

    def _release_half(self, known_until: float) -> None:
        """Flags the held half-cycle values that end before ``known_until``
        and before any event in progress, and hands them on."""
        cols = self._hold_half.release(self._intervals.settled_until(known_until))
        if cols is None:
            return
        valid = cols["valid"].astype(bool)
        t_end = cols["t_end"].astype(np.float64)
        f = np.where(cols["frequency"] > 0, cols["frequency"], self.f0).astype(np.float64)
        cols["flagged"] = ~valid | self._intervals.overlaps(t_end - 1.0 / f, t_end)
        self._flagged_half += int(np.count_nonzero(cols["flagged"]))
        trend = {k: (np.where(valid, cols[k], np.nan) if k.startswith("u") else cols[k])
                 for k in self._env_half.names if k != "valid"}
        if "valid" in self._env_half.names:
            trend["valid"] = cols["valid"].astype(np.float64)
        self._env_half.add(cols["t_end"], trend)
        if "half_cycles" in self.keep:
            self._half_batches.append(cols)
        if "on_half_cycles" in self.sink:
            self.sink["on_half_cycles"](_frame([cols], self._half_names))

    def _add_phasors(self, cols: Dict[str, np.ndarray]) -> None:
        for prefix in ("u", "i"):
            for k in (1, 2, 3):
                mag = cols.get(f"{prefix}{k}_h1")
                ang = cols.get(f"{prefix}{k}_h1_angle")
                if mag is None or ang is None:
                    continue
                ok = np.isfinite(mag) & np.isfinite(ang)
                if not ok.any():
                    continue
                acc = self._phasor_sums.setdefault(f"{prefix.upper()}{k}", [0.0, 0j, 0])
                acc[0] += float(np.sum(mag[ok]))
                acc[1] += complex(np.sum(mag[ok] * np.exp(1j * np.radians(ang[ok]))))
                acc[2] += int(ok.sum())

    def _hold_worst_candidates(self, r: np.ndarray, index: np.ndarray,
                               harm: Dict[str, np.ndarray], cols: Dict[str, np.ndarray]) -> None:
        """Holds the valid windows whose voltage THD beats the worst one so
        far until their flags are known (few: the records are large)."""
        names = [f"u{k}_thd" for k in (1, 2, 3) if f"u{k}_thd" in cols]
        if not names or not len(index):
            return
        thd = np.column_stack([cols[c] for c in names])
        with np.errstate(invalid="ignore"):
            score = np.max(np.where(np.isfinite(thd), thd, -np.inf), axis=1)
        keep = cols["valid"] & (score > self._worst_score)
        if not keep.any():
            return
        held = {"t_start": cols["t_start"][keep], "t_end": cols["t_end"][keep],
                "valid": cols["valid"][keep], "_r": r[keep], "_index": index[keep]}
        held.update({c: cols[c][keep] for c in names})
        held.update({f"_h_{f}": a[keep] for f, a in harm.items()})
        self._hold_worst.push(held)

    def _release_worst(self, known_until: float) -> None:
        held = self._hold_worst.release(self._intervals.settled_until(known_until))
        if held is None:
            return
        held["flagged"] = ~held["valid"] | self._intervals.overlaps(held["t_start"],
                                                                    held["t_end"])
        harm = {k[3:]: v for k, v in held.items() if k.startswith("_h_")}
        self._track_worst(held["_r"], held["_index"], harm, held)

    def _track_worst(self, r: np.ndarray, index: np.ndarray, harm: Dict[str, np.ndarray],
                     cols: Dict[str, np.ndarray]) -> None:
        """Keeps the harmonic rows of the window with the highest voltage
        THD over all phases (the first of equal ones) among those that are
        not flagged: the spectrum of a steady state."""
        names = [f"u{k}_thd" for k in (1, 2, 3) if f"u{k}_thd" in cols]
        if not names or not len(index):
            return
        thd = np.column_stack([cols[c] for c in names])
        usable = np.isfinite(thd) & ~cols["flagged"][:, None]
        per_window = np.max(np.where(usable, thd, -np.inf), axis=1)
        best = int(np.argmax(per_window))
        score = float(per_window[best])
        if not (math.isfinite(score) and score > self._worst_score):
            return
        self._worst_score = score
        one = slice(best, best + 1)
        rows = self._harmonic_rows(r[one], index[one], {f: a[one] for f, a in harm.items()})
        self._worst = {"window": int(index[best]), "t_end": float(cols["t_end"][best]),
                       "thd": {c: float(cols[c][best]) for c in names},
                       "harmonics": self._harmonics_frame([rows])}

    def _window_columns(self, r: np.ndarray, valid: np.ndarray,
                        harm: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
        fs, P = self.fs, self.phases
        ch = r["channels"]
        cols: Dict[str, np.ndarray] = {
            "t_start": r["firstSampleIndex"].astype(np.float64) / fs,
            "t_end": r["time"].astype(np.float64),
            "frequency": r["frequency"].astype(np.float64),
            "first_sample": r["firstSampleIndex"].astype(np.int64),
            "n_samples": r["length"].astype(np.int64),
            "valid": valid,
            "flagged": ~valid,
        }
        for k in range(P):
            b = ch[:, k]
            u = f"u{k + 1}"
            cols[f"{u}_rms"] = b["rmsU"]
            cols[f"{u}_rms_fft"] = b["rmsFftU"]
            cols[f"{u}_mean_abs"] = b["meanAbsU"]
            cols[f"{u}_h1"] = b["h1U"]
            cols[f"{u}_h1_angle"] = _conventional(harm["phasesU"][:, k, 1])
            cols[f"{u}_thd"] = b["thdU"]["thd"]
            cols[f"{u}_thd_even"] = b["thdU"]["thdEven"]
            cols[f"{u}_thd_odd"] = b["thdU"]["thdOdd"]
            cols[f"{u}_thd_rms"] = b["thdU"]["thdRms"]
            cols[f"{u}_distortion"] = total_distortion(b["rmsFftU"], b["h1U"], b["thdU"]["thd"])
        if self.with_currents:
            for k in range(P):
                b = ch[:, k]
                i, s = f"i{k + 1}", f"{k + 1}"
                cols[f"{i}_rms"] = b["rmsI"]
                cols[f"{i}_rms_fft"] = b["rmsFftI"]
                cols[f"{i}_mean_abs"] = b["meanAbsI"]
                cols[f"{i}_h1"] = b["h1I"]
                cols[f"{i}_h1_angle"] = _conventional(harm["phasesI"][:, k, 1])
                cols[f"{i}_thd"] = b["thdI"]["thd"]
                cols[f"p{s}"] = b["p"]
                cols[f"p{s}_fft"] = b["pFft"]
                cols[f"q{s}"] = b["q"]
                cols[f"s{s}"] = b["s"]
                cols[f"d{s}"] = b["d"]
                cols[f"pf{s}"] = b["lambda"]
                cols[f"cos_phi1_{s}"] = b["cosPhi1"]
                cols[f"p1_{s}"] = b["p1"]
                cols[f"q1_{s}"] = b["q1"]
                cols[f"s1_{s}"] = b["s1"]
                cols[f"z{s}"] = b["z"]
                cols[f"z1_{s}"] = b["z1"]
        for k in range(self.n_ll):
            b = ch[:, k]
            ab = f"u{_LL_NAMES[k]}"
            cols[f"{ab}_rms"] = b["rmsUL"]
            cols[f"{ab}_h1"] = b["h1UL"]
            cols[f"{ab}_thd"] = b["thdUL"]["thd"]
        if P > 1 and self.with_currents:
            total = ch[:, P]
            cols["p_total"] = total["p"]
            cols["q_total"] = total["q"]
            cols["s_total"] = total["s"]
            cols["pf_total"] = total["lambda"]
            cols["p1_total"] = total["p1"]
            cols["s1_total"] = total["s1"]
            cols["q1_total"] = total["q1Sum"]
        if P == 3:
            sym = r["symmetricalResults"]
            for k in range(3):
                cols[f"u{k}"] = sym[:, k]["uMagnitude"]
            cols["u0_ratio"] = sym[:, 0]["uRatio"]
            cols["u2_ratio"] = sym[:, 2]["uRatio"]
            if self.with_currents:
                for k in range(3):
                    cols[f"i{k}"] = sym[:, k]["iMagnitude"]
                cols["i0_ratio"] = sym[:, 0]["iRatio"]
                cols["i2_ratio"] = sym[:, 2]["iRatio"]
                for name, k in (("pos", 1), ("neg", 2), ("zero", 0)):
                    cols[f"p_{name}"] = sym[:, k]["p"]
                    cols[f"q_{name}"] = sym[:, k]["q"]
        return {k: np.asarray(v).copy() for k, v in cols.items()}

    def _harmonic_rows(self, r: np.ndarray, index: np.ndarray,
                       harm: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
        """Rows of the harmonics table for the records ``r``: window by
        window, in each the channels U1..U3, I1..I3, U12..U31 (those
        present), in each the orders from 0."""
        n = len(r)
        width = harm["harmonicsU"].shape[2]
        nan = np.full((n, width), np.nan, dtype=np.float32)
        blocks: List[Tuple[int, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []
        for k in range(self.phases):
            inter = harm["interharmonicsU"][:, k] if self.interharmonics else nan
            blocks.append((k, harm["harmonicsU"][:, k], harm["phasesU"][:, k], inter, nan, nan))
        if self.with_currents:
            for k in range(self.phases):
                inter = harm["interharmonicsI"][:, k] if self.interharmonics else nan
                blocks.append((3 + k, harm["harmonicsI"][:, k], harm["phasesI"][:, k], inter,
                               harm["harmonicsP"][:, k], harm["harmonicsQ"][:, k]))
        for k in range(self.n_ll):
            inter = harm["interharmonicsUL"][:, k] if self.interharmonics else nan
            blocks.append((6 + k, harm["harmonicsUL"][:, k], nan, inter, nan, nan))
        nch = len(blocks)
        shape = (n, nch, width)
        orders = np.arange(width, dtype=np.int16)
        lengths = r["harmonicLength"].astype(np.int64)
        keep = np.broadcast_to((orders[None, :] < lengths[:, None])[:, None, :], shape).ravel()

        def table(j: int) -> np.ndarray:
            return np.stack([b[j] for b in blocks], axis=1).ravel()[keep]

        codes = np.array([b[0] for b in blocks], dtype=np.int8)
        return {
            "window": np.broadcast_to(index.astype(np.int32)[:, None, None], shape).ravel()[keep],
            "t_end": np.broadcast_to(r["time"].astype(np.float64)[:, None, None],
                                     shape).ravel()[keep],
            "channel": np.broadcast_to(codes[None, :, None], shape).ravel()[keep],
            "order": np.broadcast_to(orders[None, None, :], shape).ravel()[keep],
            "magnitude": table(1),
            "angle": _conventional(table(2)).astype(np.float32),
            "interharmonic": table(3),
            "p": table(4),
            "q": table(5),
        }

    def _period_columns(self, pr: np.ndarray) -> Dict[str, np.ndarray]:
        P = self.phases
        phase = pr[:, 1:]
        total = pr[:, 0] if P > 1 else pr[:, 1]
        cols: Dict[str, np.ndarray] = {
            "t_end": phase[:, 0]["time"].copy(),
            "frequency": phase[:, 0]["frequency"].copy(),
            "valid": phase[:, 0]["valid"].copy(),
            "flagged": ~phase[:, 0]["valid"],
        }
        for k in range(P):
            rec = phase[:, k]
            s = f"{k + 1}"
            cols[f"u{s}_rms"] = rec["rmsU"].copy()
            cols[f"u{s}_h1"] = rec["h1U"].copy()
            if self.with_currents:
                cols[f"i{s}_rms"] = rec["rmsI"].copy()
                cols[f"i{s}_h1"] = rec["h1I"].copy()
                cols[f"p{s}"] = rec["p"].copy()
                cols[f"q1_{s}"] = rec["q1"].copy()
                cols[f"s{s}"] = rec["s"].copy()
                cols[f"pf{s}"] = rec["lambda"].copy()
                cols[f"phi1_{s}"] = rec["phi1"].copy()
            cols[f"rvc{s}_state"] = rec["rvcU"]["state"].astype(np.int8)
        cols["u_rms_mean"] = total["rmsU"].copy()
        if self.with_currents:
            cols["p_total"] = total["p"].copy()
            cols["s_total"] = total["s"].copy()
        cols["rvc_state"] = total["rvcU"]["state"].astype(np.int8)
        cols["rvc_event_ended"] = total["rvcU"]["eventEnded"].copy()
        return cols

    # ------------------------------------- dips, swells and interruptions
    def _init_voltage_events(self, estimated: Optional[float]) -> None:
        """The declared voltage of the detector: the nominal voltage, else
        ``estimated`` (from the first samples); without either the detector
        stays off.  Its settings take effect at the reset that follows."""
        self.declared_voltage = self.nominal_voltage
        self.declared_voltage_estimated = False
        if self.declared_voltage is None and estimated is not None:
            self.declared_voltage = float(estimated)
            self.declared_voltage_estimated = True
        on = self.declared_voltage is not None and self.declared_voltage > 0
        self.module.voltage_events_enabled = on
        self._voltage_events_on = on
        if on:
            self.module.voltage_event_declared_voltage = self.declared_voltage

    def _take_voltage_events(self, final: bool = False) -> List[Dict[str, Any]]:
        """Rows of the dips, swells and interruptions the module found since
        the last call (and, ``final``, those still in progress); handed to
        the sink when not final (the caller hands the final ones over)."""
        if not self._voltage_events_on:
            return []
        records = self.module.voltage_events()
        if final:
            records = np.concatenate([records, self.module.voltage_events_in_progress()])
        rows = voltage_event_rows(records)
        self._voltage_event_rows += rows
        # Their intervals flag the windows and half-cycle values they touch;
        # one in progress holds back the rows after its start until it ends.
        for key in self._open_voltage_events:
            self._intervals.close(key)
        self._open_voltage_events = []
        for row in rows:
            self._intervals.add(row["type"], row["t_start"], row["t_end"])
        if not final:
            for k, event in enumerate(self.module.voltage_events_in_progress()):
                key = ("voltage event", k)
                self._intervals.open(key, float(event["startTime"]))
                self._open_voltage_events.append(key)
        if rows and not final and "on_events" in self.sink:
            self.sink["on_events"](_Events.frame(rows))
        return rows

    def _voltage_event_summary(self, counts: Dict[str, int]) -> Dict[str, Any]:
        return {
            "declared_voltage": self.declared_voltage,
            "declared_voltage_estimated": self.declared_voltage_estimated,
            "dip_count": counts["dip"],
            "swell_count": counts["swell"],
            "interruption_count": counts["interruption"],
        }

    # ------------------------------------------------------------- tables
    def result(self) -> AnalysisResult:
        windows = _frame(self._win_batches if "windows" in self.keep else [],
                         self._window_names)
        harmonics = self._harmonics_frame(self._harm_batches if "harmonics" in self.keep
                                          else [])
        half = _frame(self._half_batches if "half_cycles" in self.keep else [],
                      self._half_names)
        events = _Events.frame(self._events.rows + self._voltage_event_rows, sort=True)
        cycles = self._cycles_frame(self._cycle_batches if "cycles" in self.keep else [])
        counts = event_type_counts(events)
        summary = self._summary(counts["rvc"])
        summary.update(self._voltage_event_summary(counts))
        trends = Trends(window_columns=list(self._window_names),
                        half_cycle_columns=list(self._half_names),
                        means=self._stats.means(), windows=self._env_windows,
                        half_cycles=self._env_half, worst=self._worst,
                        phasors=self._phasors())
        flicker = flag_intervals(self._flicker.frame(), events)
        aggregates, verdict = {}, None
        if self._class_a is not None:  # Class A hook: the tables and the verdict
            done = self._class_a.finish(events=events, flicker=flicker,
                                        declared_voltage=self.declared_voltage,
                                        duration_s=summary["duration"])
            aggregates, verdict = done.tables, done.verdict
            summary["compliance"] = compliance_summary(verdict, done.reason)
        return AnalysisResult(windows=windows, harmonics=harmonics, half_cycles=half,
                              events=events, summary=summary, cycles=cycles, trends=trends,
                              flicker=flicker, aggregates=aggregates, compliance=verdict,
                              pinst=self._flicker.pinst())

    def _phasors(self) -> Dict[str, Tuple[float, float]]:
        out = {}
        for name, (mag, z, count) in self._phasor_sums.items():
            out[name] = (mag / count, math.degrees(math.atan2((z / count).imag,
                                                              (z / count).real)))
        return out

    def _window_column_names(self) -> List[str]:
        from .records import GENERAL_DTYPE

        empty = np.zeros(0, dtype=GENERAL_DTYPE)
        harm = {f: np.zeros((0, 4, 2), dtype=np.float32) for f in
                ("harmonicsU", "phasesU", "interharmonicsU", "harmonicsI", "phasesI",
                 "interharmonicsI", "harmonicsP", "harmonicsQ", "harmonicsUL",
                 "interharmonicsUL")}
        return list(self._window_columns(empty, np.zeros(0, bool), harm).keys())

    @staticmethod
    def _harmonics_frame(batches: List[Dict[str, np.ndarray]]) -> pd.DataFrame:
        names = _HARMONIC_NAMES
        if len(batches) == 1:
            data = dict(batches[0])
        elif batches:
            data = {k: np.concatenate([b[k] for b in batches]) for k in names}
        else:
            data = {"window": np.zeros(0, np.int32), "t_end": np.zeros(0), "channel":
                    np.zeros(0, np.int8), "order": np.zeros(0, np.int16)}
            for k in names[4:]:
                data[k] = np.zeros(0, np.float32)
        data["channel"] = pd.Categorical.from_codes(data["channel"].astype(np.int8),
                                                    categories=list(HARMONIC_CHANNEL_NAMES))
        return pd.DataFrame(data, columns=names)

    def _cycles_frame(self, batches: List[Cycles]) -> pd.DataFrame:
        c = Cycles.concatenate(batches)
        scale = float(self.R) * self.fs
        return pd.DataFrame({
            "t_start": c.start.astype(np.float64) / scale,
            "t_end": c.end().astype(np.float64) / scale,
            "frequency": c.frequency,
            "valid": c.valid,
            "kind": pd.Categorical(_CYCLE_KINDS[c.kind.astype(np.intp)],
                                   categories=list(_CYCLE_KINDS)),
            "amplitude": c.amplitude,
        })

    def _summary(self, event_count: int) -> Dict[str, Any]:
        stats = self._stats
        names = set(stats.names) if self._window_count else set()

        def mean(col: str) -> Optional[float]:
            return stats.nan_skipping_mean(col) if col in names else None

        def vmax(col: str) -> Optional[float]:
            return stats.maximum(col) if col in names else None

        def vmin(col: str) -> Optional[float]:
            return stats.minimum(col) if col in names else None

        duration = (self.written - self.start_index) / self.fs
        phases = []
        for k in range(1, self.phases + 1):
            phases.append({
                "phase": k,
                "rms": mean(f"u{k}_rms"), "thd": mean(f"u{k}_thd"), "h1": mean(f"u{k}_h1"),
                "i_rms": mean(f"i{k}_rms"), "p": mean(f"p{k}"), "q": mean(f"q{k}"),
                "s": mean(f"s{k}"), "pf": mean(f"pf{k}"),
            })
        return {
            "sample_rate": self.fs,
            "duration": duration,
            "start_time": self.start_index / self.fs,
            "samples": int(self.written - self.start_index),
            "backend": self.module.backend,
            "grid": self.grid_name,
            "phases_count": self.phases,
            "currents": self.with_currents,
            "nominal_frequency": self.f0,
            "nominal_voltage": self.nominal_voltage,
            "window_cycles": self.W,
            "frequency_min": vmin("frequency"),
            "frequency_mean": mean("frequency"),
            "frequency_max": vmax("frequency"),
            "phases": phases,
            "u0_ratio_mean": mean("u0_ratio"), "u0_ratio_max": vmax("u0_ratio"),
            "u2_ratio_mean": mean("u2_ratio"), "u2_ratio_max": vmax("u2_ratio"),
            "rvc_event_count": int(event_count),
            "window_count": int(self._window_count),
            "invalid_window_count": int(self._invalid_windows),
            "skipped_window_count": int(self._skipped_windows),
            "half_cycle_count": int(self._half_count),
            "cycle_count": int(self._cycle_count),
            "invalid_cycle_count": int(self._invalid_cycles),
            "flagged_window_count": int(self._flagged_windows),
            "invalid_half_cycle_count": int(self._invalid_half),
            "flagged_half_cycle_count": int(self._flagged_half),
            "missing_samples": self._channel_counts(self._screen.missing),
            "absurd_samples": self._channel_counts(self._screen.absurd),
            "absent_channels": [n for n, gone in zip(self._channel_names(), self._screen.absent())
                                if gone],
            # to 1 nHz: the last bits of a sum depend on how the recording
            # was cut into chunks, the reported mean must not
            "measured_frequency_mean": (round(self._freq_sum / self._freq_count, 9)
                                        if self._freq_count else None),
            "highest_harmonic_order": self._highest_order,
            "warnings": self._warnings(),
        }

    def _channel_names(self) -> List[str]:
        if self.delta:
            volts = [f"U{ab}" for ab in _LL_NAMES[:self.nv]]
        else:
            volts = [f"U{k}" for k in range(1, self.nv + 1)]
        return volts + [f"I{k}" for k in range(1, self.nc + 1)]

    def _channel_counts(self, counts: np.ndarray) -> Dict[str, int]:
        return {n: int(c) for n, c in zip(self._channel_names(), counts) if c}

    def _warnings(self) -> List[str]:
        """Plain sentences about what makes the results doubtful."""
        out = []
        if self._freq_count and self._off_nominal_cycles > OFF_NOMINAL_SHARE * self._freq_count:
            f = self._freq_sum / self._freq_count
            out.append(f"the measured frequency (mean {f:.2f} Hz over {self._freq_count} cycles) "
                       f"is far from the nominal {self.f0:g} Hz: check the nominal frequency "
                       "(--frequency); cycles that far off are invalid")
        if self._highest_order is not None and self._highest_order < self.harmonics:
            out.append(f"harmonic orders above {self._highest_order} are not computed in every "
                       f"window: a sample rate of {self.fs:g} Hz resolves orders up to about "
                       f"{self.fs / 2 / self.f0:.0f} at {self.f0:g} Hz (asked for "
                       f"{self.harmonics}); THD sums the orders computed")
        absent = [n for n, gone in zip(self._channel_names(), self._screen.absent()) if gone]
        if absent:
            out.append(f"no data in channel{'s' if len(absent) > 1 else ''} {', '.join(absent)}: "
                       "reported as absent (its columns are empty)")
        for label, counts in (("missing or non-finite", self._screen.missing),
                              ("absurd", self._screen.absurd)):
            bad = self._channel_counts(counts)
            if bad and not all(n in absent for n in bad):
                items = ", ".join(f"{n} {c}" for n, c in bad.items())
                out.append(f"{label} samples ({items}): the cycles, windows and half-cycle "
                           "values that contain them are invalid and flagged")
        return out

    def close(self) -> None:
        self.module.close()


#: Series of the windows table that the report draws: (prefix, suffix) with
#: the phase number between them, or (name, None).
_WINDOW_TRENDS = (("u", "_rms"), ("i", "_rms"), ("u", "_thd"), ("i", "_thd"),
                  ("frequency", None), ("u2_ratio", None), ("u0_ratio", None))
#: Series of the half-cycle table that the report draws.
_HALF_TRENDS = (("u", "_rms"), ("valid", None))


def _frame(batches: List[Dict[str, np.ndarray]], names: Sequence[str]) -> pd.DataFrame:
    if not batches:
        return pd.DataFrame({k: pd.Series(dtype=np.float64) for k in names}, columns=list(names))
    if len(batches) == 1:
        data = batches[0]
    else:
        data = {k: np.concatenate([b[k] for b in batches]) for k in names}
    return pd.DataFrame(data, columns=list(names))


def _resolve_grid(grid: Optional[Union[str, int]], columns: int) -> int:
    if grid is None:
        auto = {1: "single", 2: "two-phase", 3: "star"}
        if columns not in auto:
            raise ValueError(f"cannot tell the grid from {columns} voltage columns; pass grid=")
        return grid_type(auto[columns])
    return grid_type(grid)


def analyze_stream(chunks: Iterable[Tuple[int, np.ndarray]], *, sample_rate: float,
                   grid: Union[str, int] = "star", with_currents: Optional[bool] = None,
                   nominal_frequency: float = 50.0, nominal_voltage: Optional[float] = None,
                   backend: str = "auto", harmonics: int = 50, interharmonics: bool = True,
                   rvc_threshold: float = 2.0, total_samples: Optional[int] = None,
                   progress: Any = None, sink: Any = None,
                   keep: Union[None, bool, Iterable[str]] = None,
                   start_time: Any = None, class_a: bool = True) -> AnalysisResult:
    """Analyses a recording given as ``(start_index, block)`` chunks.

    Each block has shape (rows, columns): the grid's measured voltages
    (``grid_info(grid).voltages`` columns, in input order), then, when
    ``with_currents`` (default: when the block has enough columns), its
    measured currents.  Chunks must be contiguous; times in the results are
    running sample index / sample_rate, starting at the first chunk's
    start index.  Missing (NaN), infinite or absurd samples are replaced by
    0 and make the cycles, windows and half-cycle values that contain them
    invalid and flagged; a channel is absent (its columns empty) until its
    first usable sample (see ``screening``).
    ``total_samples`` only sizes the progress display.

    Streaming: ``sink`` is any object with some of the methods
    ``on_windows(df)``, ``on_harmonics(df)``, ``on_half_cycles(df)``,
    ``on_events(df)`` and ``on_cycles(df)``; each is called with every
    batch of rows of its table as soon as the batch is complete (in table
    order, with the columns of the table in the result; concatenated, the
    batches are that table).  ``keep`` names the tables the result holds,
    from ``TABLES`` ("windows", "harmonics", "half_cycles", "cycles"):
    None or True (the default) all of them, ``()`` or False none, which
    bounds the memory by the batch sizes whatever the recording's length.
    The summary, the events and ``result.trends`` (what the report draws)
    are there either way.  ``on_events`` receives the events as they end
    (dips, swells and interruptions as soon as the module hands them out,
    so not in start order); ``result.events`` is ordered by start time.

    ``start_time``: clock time of the first chunk's first sample (a
    timestamp or ISO 8601 text; None: 1970-01-01 00:00:00).  ``class_a``:
    aggregate to 3-s, 10-min and 2-h values on that clock and judge the
    recording against EN 50160 (``result.aggregates``,
    ``result.compliance``, ``summary["compliance"]``); the chain of
    windows then restarts at every 10-min tick.
    """
    gt = grid_type(grid)
    gi = grid_info(gt)
    _keep_set(keep)  # unknown names fail before any work
    bar = _Progress(progress, total_samples)
    analyzer: Optional[_Analyzer] = None
    expected = None
    try:
        for start, block in chunks:
            block = np.asarray(block)
            if block.ndim == 1:
                block = block[:, None]
            if analyzer is None:
                cols = block.shape[1]
                if with_currents is None:
                    with_currents = cols >= gi.voltages + gi.currents
                need = gi.voltages + (gi.currents if with_currents else 0)
                if cols < need:
                    raise ValueError(f"blocks have {cols} columns; grid {GRID_NAMES.get(gt, gt)} "
                                     f"needs {need} ({gi.voltages} voltages"
                                     f"{f', {gi.currents} currents' if with_currents else ''})")
                analyzer = _Analyzer(sample_rate=sample_rate, grid=gt,
                                     with_currents=bool(with_currents),
                                     nominal_frequency=nominal_frequency,
                                     nominal_voltage=nominal_voltage, backend=backend,
                                     harmonics=harmonics, interharmonics=interharmonics,
                                     rvc_threshold=rvc_threshold, start_index=int(start),
                                     keep=keep, sink=sink, start_time=start_time,
                                     class_a=class_a)
                expected = int(start)
                ncols = need
            if int(start) != expected:
                raise ValueError(f"chunk starts at {start}, expected {expected}: chunks must be "
                                 "contiguous")
            if block.shape[1] < ncols:
                raise ValueError("a chunk has fewer columns than the first one")
            analyzer.feed(block[:, :ncols])
            expected += len(block)
            bar.advance(len(block))
        if analyzer is None:
            raise ValueError("no samples to analyse")
        analyzer.finish()
        return analyzer.result()
    finally:
        bar.close()
        if analyzer is not None:
            analyzer.close()


def analyze(voltages: np.ndarray, currents: Optional[np.ndarray] = None, *, sample_rate: float,
            grid: Optional[Union[str, int]] = None, nominal_frequency: float = 50.0,
            nominal_voltage: Optional[float] = None, backend: str = "auto",
            harmonics: int = 50, interharmonics: bool = True, rvc_threshold: float = 2.0,
            chunk_samples: int = 65536, progress: Any = None,
            start_index: int = 0, sink: Any = None,
            keep: Union[None, bool, Iterable[str]] = None,
            start_time: Any = None, class_a: bool = True) -> AnalysisResult:
    """Analyses voltage (and current) arrays.

    ``voltages``: shape (n, voltage channels) or (n,), the grid's measured
    voltages (phase voltages for star grids, U12, U23[, U31] for delta
    grids).  ``currents``: shape (n, measured currents) or None.
    ``grid``: a name of ``GRID_TYPES`` or None to choose from the number of
    voltage columns (1 single, 2 two-phase, 3 star).  ``nominal_voltage``:
    nominal phase-to-neutral rms voltage (used for cycle validity and RVC
    percentages; learnt from the signal when None), also the declared
    voltage of the dips, swells and interruptions (when None: the median
    one-cycle rms of the phases over the first 50 cycles).  ``harmonics``: highest
    order kept (also the highest order of the THD sums).  ``rvc_threshold``:
    percent of the steady mean.  ``progress``: None, True (a tqdm bar), a
    tqdm-like object or a callable(done_samples, total_samples).
    ``sink``, ``keep``, ``start_time`` and ``class_a``: see ``analyze_stream``.
    """
    v = np.asarray(voltages)
    if v.ndim == 1:
        v = v[:, None]
    if v.ndim != 2:
        raise ValueError("voltages must have shape (n, channels)")
    gt = _resolve_grid(grid, v.shape[1])
    gi = grid_info(gt)
    if v.shape[1] != gi.voltages:
        raise ValueError(f"grid {GRID_NAMES.get(gt, gt)} takes {gi.voltages} voltage columns, "
                         f"got {v.shape[1]}")
    if currents is not None:
        c = np.asarray(currents)
        if c.ndim == 1:
            c = c[:, None]
        if c.shape != (len(v), gi.currents):
            raise ValueError(f"currents must have shape ({len(v)}, {gi.currents}), "
                             f"got {c.shape}")
        data = np.concatenate([v, c], axis=1)
    else:
        data = v
    if chunk_samples <= 0:
        raise ValueError("chunk_samples must be positive")

    def chunks() -> Iterator[Tuple[int, np.ndarray]]:
        for k in range(0, len(data), chunk_samples):
            yield start_index + k, data[k:k + chunk_samples]

    return analyze_stream(chunks(), sample_rate=sample_rate, grid=gt,
                          with_currents=currents is not None,
                          nominal_frequency=nominal_frequency, nominal_voltage=nominal_voltage,
                          backend=backend, harmonics=harmonics, interharmonics=interharmonics,
                          rvc_threshold=rvc_threshold, total_samples=len(data),
                          progress=progress, sink=sink, keep=keep, start_time=start_time,
                          class_a=class_a)
