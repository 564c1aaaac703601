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

The work is done in three layers, each in a module of its own:
``analysis_scheduler`` feeds the module (screening, cycles, ring writes,
window schedule, fetching), ``analysis_tables`` turns what the module
delivers into table rows and flags, ``analysis_summary`` keeps the running
summary and the trends; ``_Analyzer`` here wires them together.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple, Union

import numpy as np
import pandas as pd

from .analysis_scheduler import ModuleScheduler
from .analysis_summary import RunningSummary
from .analysis_tables import SINK_METHODS, TableBuilder
from .classa_job import ClassAJob, compliance_summary
from .flicker import flag_intervals, flicker_settings
from .module import GRID_NAMES, grid_info, grid_type
from .record_tables import HARMONIC_CHANNEL_NAMES, LINE_TO_LINE_NAMES, ChannelLayout  # noqa: F401
from .trends import Trends
from .voltage_events import event_type_counts

__all__ = ["analyze", "analyze_stream", "AnalysisResult", "TABLES"]

#: Positions per sample of the cycle boundaries handed to the module.
POSITIONS_PER_SAMPLE = 1000
#: Nominal cycles at the start of a recording whose median one-cycle RMS is
#: the declared voltage of the dips, swells and interruptions when no
#: nominal voltage is given.
ESTIMATE_CYCLES = 50


def window_cycles(nominal_frequency: float) -> int:
    """Cycles per analysis window: 12 for a 60 Hz system, else 10 (about 200 ms)."""
    return 12 if nominal_frequency >= 55.0 else 10


@dataclass
class AnalysisResult:
    """Tables of one analysis.

    - ``windows``: one row per 10/12-cycle window; ``flagged`` marks the
      windows that are invalid or overlap an event (see ``flags``).
    - ``harmonics``: long format, one row per window, channel and order.
    - ``iec_harmonics``: the grouped harmonic analysis, one row per window
      and channel (``iec_harmonics.iec_rows``); kept only when ``keep``
      names it.
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
    iec_harmonics: pd.DataFrame = field(default_factory=pd.DataFrame)
    cycles: pd.DataFrame = field(default_factory=pd.DataFrame)
    trends: Optional[Trends] = None
    flicker: pd.DataFrame = field(default_factory=pd.DataFrame)
    aggregates: Dict[str, pd.DataFrame] = field(default_factory=dict)
    compliance: Optional[Dict[str, Any]] = None
    pinst: Dict[str, Tuple[np.ndarray, np.ndarray]] = field(default_factory=dict)


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


#: Samples per nominal cycle that the analysis accepts (2.5 MHz at 50 Hz).
MAX_SAMPLES_PER_CYCLE = 50000
#: Windows whose records are converted to table rows together (and handed
#: to a sink as one batch).
WINDOW_BATCH = 1024
#: Half-cycle values converted (and handed to a sink) together.
HALF_CYCLE_BATCH = 8192
#: Names of the tables that ``keep`` chooses from.
TABLES = ("windows", "harmonics", "iec_harmonics", "half_cycles", "cycles")
#: The tables kept by default: the grouped harmonics cost library time of
#: their own (when no aggregation asks for them) and are kept when named.
DEFAULT_TABLES = tuple(t for t in TABLES if t != "iec_harmonics")
#: Highest order of the grouped harmonic analysis.
IEC_HIGHEST_ORDER = 50


def _keep_set(keep: Any) -> frozenset:
    if keep is None:
        return frozenset(DEFAULT_TABLES)
    if keep is True:
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


class _Analyzer:
    """One analysis, in three layers (each in its own module): a scheduler
    that feeds the module (``analysis_scheduler``), a table builder that
    turns what the module delivers into table rows (``analysis_tables``)
    and a running summary of those rows (``analysis_summary``)."""

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
        keep_tables = _keep_set(keep)
        sink_methods = {name: getattr(sink, name) for name in SINK_METHODS
                        if sink is not None and callable(getattr(sink, name, None))}
        self.sample_rate, self.nominal_frequency = fs, f0
        self.grid_type = grid_type(grid)
        self.grid_name = GRID_NAMES.get(self.grid_type, str(self.grid_type))
        gi = grid_info(self.grid_type)
        self.phases, self.voltage_channels, self.delta = gi.phases, gi.voltages, gi.delta
        self.current_channels = gi.currents if with_currents else 0
        self.with_currents = bool(with_currents)
        self.nominal_voltage = None if nominal_voltage is None else float(nominal_voltage)
        self.window_cycles = window_cycles(f0)
        self.harmonics = int(harmonics)
        # The grouped harmonic analysis: for its table, and for the aggregation
        # (its harmonic voltages and THD are the harmonic subgroups).
        iec_order = min(self.harmonics, IEC_HIGHEST_ORDER)
        iec_table = "iec_harmonics" in keep_tables or "on_iec_harmonics" in sink_methods
        iec_on = class_a or iec_table
        rvc_length = 10 * self.window_cycles  # one second of one-cycle values
        layout = ChannelLayout(phases=self.phases, with_currents=self.with_currents,
                               line_to_line=gi.line_to_line if self.phases > 1 else 0,
                               interharmonics=bool(interharmonics), sample_rate=fs)
        # Class A: the clock, the aggregation and the verdict (classa_job)
        self.class_a = (ClassAJob(start_time=start_time, sample_rate=fs, start_index=start_index,
                                  positions_per_sample=POSITIONS_PER_SAMPLE, nominal_frequency=f0,
                                  window_cycles=self.window_cycles, harmonic_order=iec_order)
                        if class_a else None)
        flicker_start = (self.class_a.flicker_interval_start() if self.class_a is not None
                         else int(start_index))
        self.scheduler = ModuleScheduler(
            backend=backend, sample_rate=fs, nominal_frequency=f0,
            nominal_voltage=self.nominal_voltage, grid_type=self.grid_type,
            voltage_channels=self.voltage_channels, current_channels=self.current_channels,
            delta=self.delta, window_cycles=self.window_cycles,
            positions_per_sample=POSITIONS_PER_SAMPLE, start_index=int(start_index),
            estimate_cycles=ESTIMATE_CYCLES, consumer=None, settings=dict(
                highest_requested_harmonic=self.harmonics,
                thd_enabled=True, thd_highest_harmonic=self.harmonics,
                inter_harmonics_enabled=layout.interharmonics,
                line_to_line_results_enabled=self.phases > 1,
                symmetrical_components_enabled=self.phases == 3,
                period_values_enabled=True, half_period_values_count=2,
                period_values_overlap_in_percent=50, rvc_enabled=True,
                rvc_steady_state_length_in_number_of_period_values=rvc_length,
                rvc_threshold_in_percent_of_average=float(rvc_threshold),
                iec_harmonics_enabled=iec_on,
                # the aggregation reads voltage harmonics only: without the
                # table the currents' transforms are left out (half the cost)
                **({"iec_harmonics_highest_order": iec_order,
                    "iec_harmonics_currents_enabled": iec_table} if iec_on else {}),
                **flicker_settings(fs, f0, flicker_start)))
        self.summary = RunningSummary(layout, self._channel_names(), nominal_frequency=f0,
                                      harmonics=self.harmonics)
        self.tables = TableBuilder(
            layout, self.summary, keep=keep_tables, sink=sink_methods,
            window_batch=WINDOW_BATCH, half_cycle_batch=HALF_CYCLE_BATCH,
            screen=self.scheduler.screen, voltage_channels=self.voltage_channels,
            current_channels=self.current_channels, delta=self.delta, nominal_frequency=f0,
            nominal_voltage=self.nominal_voltage, rvc_length=rvc_length,
            positions_per_second=float(POSITIONS_PER_SAMPLE) * fs,
            iec_order=iec_order if iec_on else 0)
        self.scheduler.consumer = self.tables
        if self.class_a is not None:
            job = self.class_a
            for key, value in job.module_settings().items():  # the 10-s frequency on the clock
                setattr(self.scheduler.module, key, value)
            self.scheduler.chain_cuts = job.window_chain_cuts
            self.scheduler.ten_second_sink = job.take_frequencies
            self.tables.class_a = job
            self.tables.declared_voltage = lambda: self.scheduler.declared_voltage

    def feed(self, block: np.ndarray) -> None:
        self.scheduler.feed(block)

    def finish(self) -> None:
        self.scheduler.finish()
        events_on = self.scheduler.voltage_events_on
        self.tables.finish(self.scheduler.module if events_on else None)

    def _channel_names(self) -> List[str]:
        if self.delta:
            volts = [f"U{ab}" for ab in LINE_TO_LINE_NAMES[:self.voltage_channels]]
        else:
            volts = [f"U{k}" for k in range(1, self.voltage_channels + 1)]
        return volts + [f"I{k}" for k in range(1, self.current_channels + 1)]

    def result(self) -> AnalysisResult:
        scheduler = self.scheduler
        tables = self.tables.kept_tables()
        events = self.tables.events()
        counts = event_type_counts(events)
        fs, start = self.sample_rate, scheduler.start_index
        setup = {
            "sample_rate": fs,
            "duration": (scheduler.written - start) / fs,
            "start_time": start / fs,
            "samples": int(scheduler.written - start),
            "backend": scheduler.module.backend,
            "grid": self.grid_name,
            "phases_count": self.phases,
            "currents": self.with_currents,
            "nominal_frequency": self.nominal_frequency,
            "nominal_voltage": self.nominal_voltage,
            "window_cycles": self.window_cycles,
        }
        summary = self.summary.figures(setup, rvc_event_count=counts["rvc"],
                                       skipped_windows=scheduler.skipped_windows,
                                       screen=scheduler.screen, sample_rate=fs)
        summary.update({
            "declared_voltage": scheduler.declared_voltage,
            "declared_voltage_estimated": scheduler.declared_voltage_estimated,
            "dip_count": counts["dip"],
            "swell_count": counts["swell"],
            "interruption_count": counts["interruption"],
        })
        flicker = flag_intervals(scheduler.flicker.frame(), events)
        aggregates, verdict = {}, None
        if self.class_a is not None:  # the aggregate tables and the verdict
            done = self.class_a.finish(events=events, flicker=flicker,
                                       declared_voltage=scheduler.declared_voltage,
                                       duration_s=summary["duration"])
            aggregates, verdict = done.tables, done.verdict
            summary["compliance"] = compliance_summary(verdict, done.reason)
        return AnalysisResult(windows=tables["windows"], harmonics=tables["harmonics"],
                              iec_harmonics=tables["iec_harmonics"],
                              half_cycles=tables["half_cycles"], events=events,
                              summary=summary, cycles=tables["cycles"],
                              trends=self.summary.trends(), flicker=flicker,
                              aggregates=aggregates, compliance=verdict,
                              pinst=scheduler.flicker.pinst())

    def close(self) -> None:
        self.scheduler.close()


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
    ``on_windows(df)``, ``on_harmonics(df)``, ``on_iec_harmonics(df)``,
    ``on_half_cycles(df)``, ``on_events(df)`` and ``on_cycles(df)``; each
    is called with every
    batch of rows of its table as soon as the batch is complete (in table
    order, with the columns of the table in the result; concatenated, the
    batches are that table).  ``keep`` names the tables the result holds,
    from ``TABLES`` ("windows", "harmonics", "iec_harmonics",
    "half_cycles", "cycles"): None (the default) all but
    "iec_harmonics", True all of them, ``()`` or False none, which
    bounds the memory by the batch sizes whatever the recording's length.
    The grouped harmonic analysis (the "iec_harmonics" table) runs in the
    library when that table is kept or sunk, or with ``class_a``.
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
            block = np.asanyarray(block)  # a reader's SampleBlock keeps its extremes
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
            analyzer.feed(block if block.shape[1] == ncols else block[:, :ncols])
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
