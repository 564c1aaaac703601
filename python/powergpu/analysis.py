"""Whole-recording analysis: cycles, windows, half-cycle values, RVC events.

``analyze`` takes arrays, ``analyze_stream`` takes an iterator of
``(start_index, block)`` chunks (what ``Recording.chunks`` yields) and needs
memory only for one chunk plus the result tables.

The steps: the cycles of the fundamental are detected on the first voltage
channel (``cycles.CycleDetector``); every cycle is reported to the module for
the period values (one-cycle values refreshed every half cycle, RMS, power,
fundamental phasors and rapid-voltage-change detection); consecutive groups
of 10 cycles (nominal 50 Hz) or 12 cycles (nominal 60 Hz) form the analysis
windows, each aligned to a cycle start, its length the sum of its cycles'
samples and its frequency their mean frequency (cycles x sample rate /
length).  Results come back as pandas DataFrames (see ``AnalysisResult``).

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

from .cycles import KIND_MEASURED, KIND_PARTIAL, CycleDetector, Cycles
from .module import GRID_NAMES, Module, grid_info, grid_type

__all__ = ["analyze", "analyze_stream", "AnalysisResult", "WINDOW_CYCLES"]

#: Positions per sample of the cycle boundaries handed to the module.
POSITIONS_PER_SAMPLE = 1000
#: Cycle entries per scheduleForPeriodCalculation call.
PERIOD_BLOCK = 10
HARMONIC_CHANNEL_NAMES = ("U1", "U2", "U3", "I1", "I2", "I3", "U12", "U23", "U31")
_LL_NAMES = ("12", "23", "31")


def window_cycles(nominal_frequency: float) -> int:
    """Cycles per analysis window: 12 for a 60 Hz system, else 10 (about 200 ms)."""
    return 12 if nominal_frequency >= 55.0 else 10


WINDOW_CYCLES = {50.0: 10, 60.0: 12}


@dataclass
class AnalysisResult:
    """Tables of one analysis.

    - ``windows``: one row per 10/12-cycle window.
    - ``harmonics``: long format, one row per window, channel and order.
    - ``half_cycles``: one row per one-cycle value refreshed every half cycle.
    - ``events``: rapid voltage changes.
    - ``cycles``: the detected cycle entries (t_start, t_end, frequency,
      valid, kind: "measured", "filler" or "partial", amplitude).
    - ``summary``: JSON-serialisable dict of key figures.
    """

    windows: pd.DataFrame
    harmonics: pd.DataFrame
    half_cycles: pd.DataFrame
    events: pd.DataFrame
    summary: Dict[str, Any]
    cycles: pd.DataFrame = field(default_factory=pd.DataFrame)


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


class _Analyzer:
    def __init__(self, *, sample_rate: float, grid: Union[str, int], with_currents: bool,
                 nominal_frequency: float, nominal_voltage: Optional[float], backend: str,
                 harmonics: int, interharmonics: bool, rvc_threshold: float,
                 start_index: int) -> None:
        fs = float(sample_rate)
        if not fs > 0:
            raise ValueError("sample_rate must be positive")
        f0 = float(nominal_frequency)
        if not f0 > 0 or f0 * 8 > fs:
            raise ValueError("nominal_frequency must be positive and at most sample_rate / 8")
        if int(harmonics) < 1:
            raise ValueError("harmonics must be at least 1")
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
        )
        self.start_index = int(start_index)
        m.reset(self.start_index)
        self.written = self.start_index
        # cycles not yet handed to the module (their end lies beyond the written samples)
        self._pending: List[Cycles] = []
        # cycles whose samples are written, waiting for a full block
        self._ready: List[Cycles] = []
        self._ready_count = 0
        self._group: List[Tuple[int, int, float, bool, int]] = []  # start, end (sub), freq, valid, kind
        self._windows_started = False
        self._scheduled: List[Tuple[int, int, bool, bool]] = []  # first, length, valid, report
        self._delivered_end = self.start_index
        self._window_index = 0
        self._skipped_windows = 0
        # collected tables (lists of column dicts)
        self._win_batches: List[Dict[str, np.ndarray]] = []
        self._harm_batches: List[Dict[str, np.ndarray]] = []
        self._half_batches: List[Dict[str, np.ndarray]] = []
        self._rvc_batches: List[np.ndarray] = []
        self._cycle_batches: List[Cycles] = []

    # ------------------------------------------------------------ feeding
    def feed(self, block: np.ndarray) -> None:
        block = np.asarray(block, dtype=np.float64)
        if block.ndim == 1:
            block = block[:, None]
        if not np.all(np.isfinite(block)):
            block = np.where(np.isfinite(block), block, 0.0)
        cycles = self.detector.process(block[:, 0])
        self._add_cycles(cycles)
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
            self.module.write(block[pos:pos + piece])
            self.written += piece
            pos += piece
            self._advance()

    def finish(self) -> None:
        self._add_cycles(self.detector.flush())
        self._advance(final=True)
        self._fetch(wait=True)

    def _add_cycles(self, cycles: Cycles) -> None:
        if cycles.count:
            self._pending.append(cycles)
            self._cycle_batches.append(cycles)

    def _room(self) -> int:
        need = min(self._delivered_end, self._first_needed()) - int(4 * self.nominal_len)
        return need + self.L - self.written

    def _first_needed(self) -> int:
        candidates = [self.written]
        if self._group:
            candidates.append(self._group[0][0] // self.R)
        if self._ready:
            candidates.append(int(self._ready[0].start[0]) // self.R)
        elif self._pending:
            candidates.append(int(self._pending[0].start[0]) // self.R)
        if self._scheduled:
            candidates.append(self._scheduled[0][0])
        return min(candidates)

    def _advance(self, final: bool = False) -> None:
        """Hands complete cycles to the module, schedules full windows, fetches.

        Cycles go to the module in fixed blocks of ``PERIOD_BLOCK`` entries
        (counted from the first), so the period values do not depend on how
        the recording was cut into chunks: the module feeds its period
        windows up to the last sample of each call, including a sample that
        the next entry shares."""
        limit = self.written * self.R
        while self._pending:
            c = self._pending[0]
            ends = c.end()
            k = int(np.searchsorted(ends, np.uint64(limit), side="right"))
            if k == len(ends):
                self._ready.append(c)
                self._ready_count += len(ends)
                self._pending.pop(0)
            else:
                if k:
                    self._ready.append(Cycles(*(a[:k] for a in c)))
                    self._ready_count += k
                    self._pending[0] = Cycles(*(a[k:] for a in c))
                break
        if self._ready_count >= PERIOD_BLOCK or (final and self._ready_count):
            ready = Cycles.concatenate(self._ready)
            blocks = len(ready.start) // PERIOD_BLOCK
            take = len(ready.start) if final else blocks * PERIOD_BLOCK
            for b in range(0, take, PERIOD_BLOCK):
                part = Cycles(*(a[b:min(b + PERIOD_BLOCK, take)] for a in ready))
                self.module.schedule_cycles(part.start, part.length, part.frequency, part.valid)
                self._group_cycles(part)
            rest = Cycles(*(a[take:] for a in ready))
            self._ready = [rest] if len(rest.start) else []
            self._ready_count = len(rest.start)
        if final:
            self._flush_group()
        self._fetch(wait=False)

    def _group_cycles(self, c: Cycles) -> None:
        ends = c.end()
        for s, e, f, v, kind in zip(c.start.tolist(), ends.tolist(), c.frequency.tolist(),
                                    c.valid.tolist(), c.kind.tolist()):
            if kind == KIND_PARTIAL:
                # Before the first crossing: not part of any window.  After the
                # last one: it closes the last, unreported window.
                if self._windows_started:
                    self._group.append((s, e, f, v, kind))
                    self._flush_group()
                continue
            self._windows_started = True
            self._group.append((s, e, f, v, kind))
            if len(self._group) == self.W:
                self._schedule_group(report=True)

    def _flush_group(self) -> None:
        """A last, shorter window so that the period values of the tail get
        delivered; it is not reported."""
        if self._group:
            self._schedule_group(report=False)

    def _schedule_group(self, report: bool) -> None:
        """Schedules the window of the grouped cycles.  A window that is not
        reported (the tail, or a group whose mean frequency lies outside
        0.5..1.5 x nominal) is still calculated, so that the period values
        of its samples get delivered."""
        group, self._group = self._group, []
        s0, e1 = group[0][0], group[-1][1]
        first = int(round(s0 / self.R))
        last = int(round(e1 / self.R))
        length = last - first
        if length <= 0:
            return
        freq = len(group) * self.fs * self.R / float(e1 - s0)
        valid = all(g[3] and g[4] == KIND_MEASURED for g in group)
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
        self._scheduled.append((first, length, valid, report))

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
        if len(periods):
            self._take_periods(periods)

    def _take_windows(self, r: np.ndarray) -> None:
        n = len(r)
        info = self._scheduled[:n]
        del self._scheduled[:n]
        self._delivered_end = int(r["firstSampleIndex"][-1]) + int(r["length"][-1])
        report = np.array([i[3] for i in info], dtype=bool)
        valid = np.array([i[2] for i in info], dtype=bool)
        if not report.any():
            return
        r = r[report]
        valid = valid[report]
        P = self.phases
        harm = {f: Module.harmonics(r, f, blocks=P) for f in
                ("harmonicsU", "phasesU", "interharmonicsU")}
        if self.with_currents:
            for f in ("harmonicsI", "phasesI", "interharmonicsI", "harmonicsP", "harmonicsQ"):
                harm[f] = Module.harmonics(r, f, blocks=P)
        if self.n_ll:
            for f in ("harmonicsUL", "interharmonicsUL"):
                harm[f] = Module.harmonics(r, f, blocks=self.n_ll)
        index = np.arange(self._window_index, self._window_index + len(r))
        self._window_index += len(r)
        self._win_batches.append(self._window_columns(r, valid, harm))
        self._harm_batches.append(self._harmonic_rows(r, index, harm))

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
            cols[f"{u}_distortion"] = b["thdU"]["distortion"]
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
        n = len(r)
        width = harm["harmonicsU"].shape[2]
        blocks: List[Tuple[int, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []
        nan = np.full((n, width), np.nan, dtype=np.float32)
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
        parts: Dict[str, List[np.ndarray]] = {k: [] for k in
                                              ("window", "t_end", "channel", "order", "magnitude",
                                               "angle", "interharmonic", "p", "q")}
        orders = np.arange(width, dtype=np.int16)
        lengths = r["harmonicLength"].astype(np.int64)
        keep = (orders[None, :] < lengths[:, None]).ravel()
        for code, mag, ang, inter, p, q in blocks:
            parts["window"].append(np.repeat(index.astype(np.int32), width)[keep])
            parts["t_end"].append(np.repeat(r["time"].astype(np.float64), width)[keep])
            parts["channel"].append(np.full(keep.sum(), code, dtype=np.int8))
            parts["order"].append(np.tile(orders, n)[keep])
            parts["magnitude"].append(mag.ravel()[keep])
            a = _conventional(ang).astype(np.float32)
            parts["angle"].append(a.ravel()[keep])
            parts["interharmonic"].append(inter.ravel()[keep])
            parts["p"].append(p.ravel()[keep])
            parts["q"].append(q.ravel()[keep])
        return {k: (np.concatenate(v) if v else np.zeros(0)) for k, v in parts.items()}

    def _take_periods(self, pr: np.ndarray) -> None:
        P = self.phases
        phase = pr[:, 1:]
        total = pr[:, 0] if P > 1 else pr[:, 1]
        cols: Dict[str, np.ndarray] = {
            "t_end": phase[:, 0]["time"].copy(),
            "frequency": phase[:, 0]["frequency"].copy(),
            "valid": phase[:, 0]["valid"].copy(),
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
        self._half_batches.append(cols)
        self._rvc_batches.append(total["rvcU"].copy())

    # ------------------------------------------------------------- tables
    def result(self) -> AnalysisResult:
        windows = _frame(self._win_batches, self._window_column_names())
        harmonics = self._harmonics_frame()
        half = _frame(self._half_batches, self._half_column_names())
        rvc = (np.concatenate(self._rvc_batches) if self._rvc_batches
               else np.zeros(0, dtype=_rvc_dtype()))
        events = self._events(half, rvc)
        cycles = self._cycles_frame()
        summary = self._summary(windows, half, events, cycles)
        return AnalysisResult(windows=windows, harmonics=harmonics, half_cycles=half,
                              events=events, summary=summary, cycles=cycles)

    def _window_column_names(self) -> List[str]:
        empty = np.zeros(0, dtype=self.module_record_dtype())
        harm = {f: np.zeros((0, 4, 2), dtype=np.float32) for f in
                ("harmonicsU", "phasesU", "interharmonicsU", "harmonicsI", "phasesI",
                 "interharmonicsI", "harmonicsP", "harmonicsQ", "harmonicsUL",
                 "interharmonicsUL")}
        return list(self._window_columns(empty, np.zeros(0, bool), harm).keys())

    @staticmethod
    def module_record_dtype():
        from .records import GENERAL_DTYPE
        return GENERAL_DTYPE

    def _half_column_names(self) -> List[str]:
        from .records import PERIOD_DTYPE
        saved = self._half_batches, self._rvc_batches
        self._half_batches, self._rvc_batches = [], []
        self._take_periods(np.zeros((0, self.phases + 1), dtype=PERIOD_DTYPE))
        names = list(self._half_batches[0].keys())
        self._half_batches, self._rvc_batches = saved
        return names

    def _harmonics_frame(self) -> pd.DataFrame:
        names = ["window", "t_end", "channel", "order", "magnitude", "angle", "interharmonic",
                 "p", "q"]
        if self._harm_batches:
            data = {k: np.concatenate([b[k] for b in self._harm_batches]) for k in names}
        else:
            data = {"window": np.zeros(0, np.int32), "t_end": np.zeros(0), "channel":
                    np.zeros(0, np.int8), "order": np.zeros(0, np.int16)}
            for k in names[4:]:
                data[k] = np.zeros(0, np.float32)
        data["channel"] = pd.Categorical.from_codes(data["channel"].astype(np.int8),
                                                    categories=list(HARMONIC_CHANNEL_NAMES))
        return pd.DataFrame(data, columns=names)

    def _cycles_frame(self) -> pd.DataFrame:
        c = Cycles.concatenate(self._cycle_batches)
        scale = float(self.R) * self.fs
        kinds = np.array(["measured", "filler", "partial"])
        return pd.DataFrame({
            "t_start": c.start.astype(np.float64) / scale,
            "t_end": c.end().astype(np.float64) / scale,
            "frequency": c.frequency,
            "valid": c.valid,
            "kind": pd.Categorical(kinds[c.kind.astype(np.intp)], categories=list(kinds)),
            "amplitude": c.amplitude,
        })

    def _events(self, half: pd.DataFrame, rvc: np.ndarray) -> pd.DataFrame:
        rows: List[Dict[str, Any]] = []
        start_i: Optional[int] = None
        state = rvc["state"] if len(rvc) else np.zeros(0, np.int32)
        u = half["u_rms_mean"].to_numpy() if len(half) else np.zeros(0)
        times = rvc["time"] if len(rvc) else np.zeros(0)
        prev = -1
        for k in range(len(rvc)):
            if state[k] == 1 and prev != 1 and start_i is None:
                start_i = k
            if rvc["eventEnded"][k] and start_i is not None:
                rows.append(self._event_row(start_i, k, rvc, u, times, ended=True))
                start_i = None
            prev = int(state[k])
        if start_i is not None:
            rows.append(self._event_row(start_i, None, rvc, u, times, ended=False))
        cols = ["t_start", "t_end", "duration", "delta_u_max", "delta_u_ss", "delta_u_max_pct",
                "delta_u_ss_pct", "reference_voltage", "ended"]
        return pd.DataFrame(rows, columns=cols)

    def _event_row(self, k0: int, k1: Optional[int], rvc: np.ndarray, u: np.ndarray,
                   times: np.ndarray, ended: bool) -> Dict[str, Any]:
        t_start = float(times[k0])
        if self.nominal_voltage is not None:
            ref = self.nominal_voltage
        else:
            before = u[max(0, k0 - self.rvc_length):k0]
            ref = float(np.mean(before)) if len(before) else float("nan")
        if ended:
            duration = float(rvc["duration"][k1])
            dmax = float(rvc["deltaUmax"][k1])
            dss = float(rvc["deltaUss"][k1])
        else:
            duration = dmax = dss = float("nan")
        pct = (lambda v: 100.0 * v / ref if ref and math.isfinite(ref) else float("nan"))
        return {"t_start": t_start, "t_end": t_start + duration, "duration": duration,
                "delta_u_max": dmax, "delta_u_ss": dss, "delta_u_max_pct": pct(dmax),
                "delta_u_ss_pct": pct(dss), "reference_voltage": ref, "ended": ended}

    def _summary(self, windows: pd.DataFrame, half: pd.DataFrame, events: pd.DataFrame,
                 cycles: pd.DataFrame) -> Dict[str, Any]:
        def num(x: Any) -> Optional[float]:
            try:
                v = float(x)
            except (TypeError, ValueError):
                return None
            return v if math.isfinite(v) else None

        def mean(col: str) -> Optional[float]:
            return num(windows[col].mean()) if col in windows and len(windows) else None

        def vmax(col: str) -> Optional[float]:
            return num(windows[col].max()) if col in windows and len(windows) else None

        def vmin(col: str) -> Optional[float]:
            return num(windows[col].min()) if col in windows and len(windows) else None

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
            "rvc_event_count": int(len(events)),
            "window_count": int(len(windows)),
            "invalid_window_count": int((~windows["valid"]).sum()) if len(windows) else 0,
            "skipped_window_count": int(self._skipped_windows),
            "half_cycle_count": int(len(half)),
            "cycle_count": int((cycles["kind"] == "measured").sum()) if len(cycles) else 0,
            "invalid_cycle_count": int((~cycles["valid"]).sum()) if len(cycles) else 0,
        }

    def close(self) -> None:
        self.module.close()


def _rvc_dtype():
    from .records import RVC_DTYPE
    return RVC_DTYPE


def _frame(batches: List[Dict[str, np.ndarray]], names: Sequence[str]) -> pd.DataFrame:
    if not batches:
        return pd.DataFrame({k: pd.Series(dtype=np.float64) for k in names}, columns=list(names))
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
                   progress: Any = None) -> AnalysisResult:
    """Analyses a recording given as ``(start_index, block)`` chunks.

    Each block has shape (rows, columns): the grid's measured voltages
    (``grid_info(grid).voltages`` columns, in input order), then, when
    ``with_currents`` (default: when the block has enough columns), its
    measured currents.  Chunks must be contiguous; times in the results are
    running sample index / sample_rate, starting at the first chunk's
    start index.  NaN or infinite samples are analysed as 0.
    ``total_samples`` only sizes the progress display.
    """
    gt = grid_type(grid)
    gi = grid_info(gt)
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
                                     rvc_threshold=rvc_threshold, start_index=int(start))
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
            start_index: int = 0) -> AnalysisResult:
    """Analyses voltage (and current) arrays.

    ``voltages``: shape (n, voltage channels) or (n,), the grid's measured
    voltages (phase voltages for star grids, U12, U23[, U31] for delta
    grids).  ``currents``: shape (n, measured currents) or None.
    ``grid``: a name of ``GRID_TYPES`` or None to choose from the number of
    voltage columns (1 single, 2 two-phase, 3 star).  ``nominal_voltage``:
    nominal phase-to-neutral rms voltage (used for cycle validity and RVC
    percentages; learnt from the signal when None).  ``harmonics``: highest
    order kept (also the highest order of the THD sums).  ``rvc_threshold``:
    percent of the steady mean.  ``progress``: None, True (a tqdm bar), a
    tqdm-like object or a callable(done_samples, total_samples).
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
                          progress=progress)
