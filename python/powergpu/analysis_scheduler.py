"""The layer of an analysis that feeds the module.

``ModuleScheduler`` owns the module and everything that decides what it
computes and when: the screening of the input samples, the cycle detector,
the samples held until the first zero crossing is known, the ring writes,
the cycles handed over for the period values in fixed blocks, the grouping
of cycles into windows and their scheduling, and the fetching of what the
module delivers.  What it fetches goes to a consumer (the table builder):
``cycles(c)``, ``windows(records, valid, iec)``, ``waiting_periods`` (a
``records.RecordBuffer`` the period records are fetched into) with
``periods_fetched()`` after each fetch, and ``voltage_events(module,
final)``.  With the grouped harmonic analysis on
(``iec_harmonics_enabled`` in the settings) ``iec`` holds the grouped
values of the same windows (``iec_harmonics.IEC_HARMONICS_DTYPE``), else
None: the module makes one such record per window it delivers and holds
at most 1024, so they are taken at every fetch, matched to their windows
and dropped with the windows that are not reported.

The module starts at the sample of the first zero crossing, so that the
period values, which it measures off the cycles from its first sample,
commence at zero crossings; nothing before that sample is in a window.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from .cycles import KIND_MEASURED, KIND_PARTIAL, CycleDetector, Cycles
from .flicker import FlickerCollector
from .io.recording import block_extremes
from .module import Module
from .screening import SampleScreen
from .voltage_events import estimate_declared_voltage

__all__ = ["ModuleScheduler", "PERIOD_BLOCK"]

#: Cycle entries per scheduleForPeriodCalculation call.
PERIOD_BLOCK = 10
#: Seconds of samples between two takes of the flicker records (the module
#: queues 600 s of Pinst values).
FLICKER_DRAIN_SECONDS = 60.0
#: Shortest sample ring of the module, in seconds of samples (about 8 MB of
#: rings and result slots at 10 kHz with six channels).
RING_SECONDS = 16.0


def _slice(c: Cycles, lo: int, hi: Optional[int]) -> Cycles:
    return Cycles(*(a[lo:hi] for a in c))


@dataclass
class _WindowGroup:
    """The cycles gathered for the next window: how many, the start of the
    first and the end of the last (in positions), and whether all of them
    are valid and measured."""

    count: int = 0
    first_start: int = 0
    last_end: int = 0
    valid: bool = True


@dataclass
class _InFlight:
    """A window handed to the module whose record has not come back."""

    first_sample: int
    length: int
    valid: bool
    reported: bool


class ModuleScheduler:
    """Feeds one module with the samples and cycles of a recording and
    hands what it delivers to ``consumer`` (see the module docstring).

    ``settings``: the module's analysis settings (harmonics, THD, RVC,
    flicker, ...); the sample rate, ring length, grid and frequency range
    are set here.  ``nominal_voltage`` None: the declared voltage of the
    dips, swells and interruptions is estimated from the median one-cycle
    RMS over the first ``estimate_cycles`` nominal cycles."""

    def __init__(self, *, backend: str, sample_rate: float, nominal_frequency: float,
                 nominal_voltage: Optional[float], grid_type: int, voltage_channels: int,
                 current_channels: int, delta: bool, window_cycles: int,
                 positions_per_sample: int, start_index: int, estimate_cycles: int,
                 settings: Dict[str, Any], consumer: Any) -> None:
        fs, f0 = sample_rate, nominal_frequency
        self.sample_rate = fs
        self.nominal_frequency = f0
        self.nominal_voltage = nominal_voltage
        self.voltage_channels = voltage_channels
        self.delta = delta
        self.window_cycles = window_cycles
        self.positions_per_sample = positions_per_sample
        self.lowest_frequency, self.highest_frequency = 0.5 * f0, 1.5 * f0
        self.cycle_samples = fs / f0  # samples per nominal cycle
        self.consumer = consumer

        reference_rms = None
        if nominal_voltage is not None:
            reference_rms = nominal_voltage * (math.sqrt(3.0) if delta else 1.0)
        self.detector = CycleDetector(fs, f0, positions_per_sample=positions_per_sample,
                                      start_index=start_index, nominal_rms=reference_rms)
        # Ring sizing: history that must stay in the ring while writing.
        # (a window group and a block of cycles waiting, each up to 1.5 x
        # nominal per cycle, the detector's filter latency and gap limit, a margin)
        backlog = (window_cycles + PERIOD_BLOCK) * 1.5 * self.cycle_samples
        lag = self.detector.latency + (self.detector.max_gap_cycles + 2.0) * self.cycle_samples
        history = int(math.ceil(backlog + lag + 6 * self.cycle_samples)) + 8
        # At least RING_SECONDS: a chunk of the reader then goes to the
        # module in one or two pieces, and every piece costs a round of
        # scheduling and fetching whatever its length (with 4 s, an hour
        # took 0.2 s more in 1100 rounds instead of about 300).
        self.ring_length = int(max(3 * history, math.ceil(RING_SECONDS * fs)))
        if self.ring_length > 2 ** 31 - 1:
            raise ValueError("sample rate too high for the ring sizes")
        # windows the module can hold at once (its result slots)
        self.result_slots = int(math.ceil(self.ring_length / fs * self.highest_frequency
                                          / window_cycles))

        self.iec = bool(settings.get("iec_harmonics_enabled", False))
        self.module = Module(backend)
        self.module.configure(
            sample_rate=(fs, positions_per_sample), buffer_length=self.ring_length,
            grid=grid_type, variable_frequency=(self.lowest_frequency, self.highest_frequency),
            period_count=window_cycles, current_enabled=current_channels > 0, **settings)
        self.start_index = int(start_index)
        self.written = self.start_index
        self.screen = SampleScreen(voltage_channels + current_channels)
        self.flicker = FlickerCollector(self.module, fs, delta)
        # The module queues ten minutes of Pinst values per channel; taking
        # them once a minute keeps the queue far from full while the
        # per-call cost (a fetch and an envelope update per channel) is paid
        # 60 times an hour instead of once per written piece.
        self._flicker_every = int(FLICKER_DRAIN_SECONDS * fs)
        self._flicker_drained = self.start_index
        self.declared_voltage = nominal_voltage
        self.declared_voltage_estimated = False
        self.voltage_events_on = False
        self.skipped_windows = 0
        # Until the detector has found the first zero crossing, the samples
        # wait here; without a nominal voltage the declared voltage is
        # estimated from this many samples of the start (whatever the
        # chunks), held as well.
        self.module_start: Optional[int] = None
        self._held_blocks: List[np.ndarray] = []
        self._held_samples = 0
        self._estimate_samples = (int(math.ceil(estimate_cycles * self.cycle_samples))
                                  if nominal_voltage is None else 0)
        self._write_samples: Any = None
        # [first, end) sample runs with missing or absurd samples not yet past the cycles
        self._bad_runs: List[Tuple[int, int]] = []
        # cycles not yet handed to the module (their end lies beyond the written samples)
        self._cycles_unwritten = Cycles.empty()
        # cycles whose samples are written, waiting for a full block
        self._cycles_written = Cycles.empty()
        self._group = _WindowGroup()
        self._windows_started = False
        self._in_flight: List[_InFlight] = []
        self._delivered_end = self.start_index  # end of the last window delivered
        # Class A (set by the analysis when it aggregates on the clock):
        # chain_cuts(cycle starts) gives the indices of the cycles that
        # restart the window chain (the first at or after each 10-min tick);
        # ten_second_sink receives the completed 10-s frequency intervals.
        self.chain_cuts: Any = None
        self.ten_second_sink: Any = None

    # ------------------------------------------------------------ feeding
    def feed(self, block: np.ndarray) -> None:
        extremes = block_extremes(block)  # what the reader knows saves the screen a pass
        block = np.asarray(block, dtype=np.float64)
        if block.ndim == 1:
            block = block[:, None]
        block, runs = self.screen.screen(block, self.written, extremes)
        self._bad_runs += runs
        cycles = self.detector.process(block[:, 0])
        if self.module_start is None:
            self._held_blocks.append(block)
            self._held_samples += len(block)
            if self.detector.anchor is None:
                assert not cycles.count, "cycle entries before the anchor is known"
                return
            self._add_cycles(cycles)
            if self._held_samples < self._estimate_samples:
                return
            self._write_block(self._start_module())
            return
        self._add_cycles(cycles)
        self._write_block(block)

    def finish(self) -> None:
        """Hands over the last cycles, schedules the last (unreported)
        window and fetches everything the module still holds."""
        tail = self.detector.flush()
        held = self._start_module() if self.module_start is None else None
        self._add_cycles(tail)
        if held is not None:
            self._write_block(held)
        self._advance(final=True)
        self.fetch(wait=True)
        self._drain_ten_second_frequency()

    def _drain_ten_second_frequency(self) -> None:
        if self.ten_second_sink is not None and self._write_samples is not None:
            self.ten_second_sink(self.module.ten_second_frequencies())

    def _start_module(self) -> np.ndarray:
        """Resets the module at the sample that holds the detector's anchor
        (the first zero crossing); returns the held samples from there on.
        The windows start with the first measured cycle."""
        first = int(self.detector.anchor) // self.positions_per_sample
        blocks = self._held_blocks
        held = blocks[0] if len(blocks) == 1 else np.concatenate(blocks)
        self._held_blocks = []
        estimate = None
        if self.nominal_voltage is None:
            # delta grids measure line-to-line voltages
            scale = 1.0 / math.sqrt(3.0) if self.delta else 1.0
            estimate = estimate_declared_voltage(
                held[:self._estimate_samples, :self.voltage_channels] * scale,
                self.cycle_samples)
        self._init_voltage_events(estimate)
        self.module.reset(first)
        self._write_samples = self.module.writer()  # the configuration stays as it is now
        self.module_start = first
        self.written = first
        self._delivered_end = first
        return held[first - self.start_index:]

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
        self.voltage_events_on = on
        if on:
            self.module.voltage_event_declared_voltage = self.declared_voltage

    def _write_block(self, block: np.ndarray) -> None:
        pos = 0
        n = len(block)
        while pos < n:
            room = self._room()
            if room <= 0:
                self.fetch(wait=True)
                room = self._room()
                if room <= 0:
                    raise RuntimeError("internal: the sample ring has no room "
                                       f"(written {self.written}, ring {self.ring_length})")
            piece = min(n - pos, room, self.ring_length)
            self._write_samples(block[pos:pos + piece])
            self.written += piece
            if self.written - self._flicker_drained >= self._flicker_every:
                self.flicker.drain()
                self._flicker_drained = self.written
            self._drain_ten_second_frequency()
            pos += piece
            self._advance()

    def _room(self) -> int:
        oldest = min(self._delivered_end, self._first_needed()) - int(4 * self.cycle_samples)
        return oldest + self.ring_length - self.written

    def _first_needed(self) -> int:
        """The first sample that a waiting cycle or window still needs."""
        r = self.positions_per_sample
        candidates = [self.written]
        if self._group.count:
            candidates.append(self._group.first_start // r)
        if self._cycles_written.count:
            candidates.append(int(self._cycles_written.start[0]) // r)
        elif self._cycles_unwritten.count:
            candidates.append(int(self._cycles_unwritten.start[0]) // r)
        if self._in_flight:
            candidates.append(self._in_flight[0].first_sample)
        return min(candidates)

    # ------------------------------------------------------------- cycles
    def _mark_bad_cycles(self, cycles: Cycles) -> Cycles:
        """Cycles that contain a missing or absurd sample are invalid; runs
        that lie wholly before the last cycle are dropped."""
        if not self._bad_runs:
            return cycles
        runs = np.array(self._bad_runs, dtype=np.int64)
        r = self.positions_per_sample
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
        # the pieces before the first crossing go to the tables only
        to_module = cycles
        if int(cycles.start[0]) < int(self.detector.anchor):
            to_module = _slice(cycles, int(np.searchsorted(cycles.start,
                                                           np.uint64(self.detector.anchor))),
                               None)
        if to_module.count:
            self._cycles_unwritten = (
                to_module if not self._cycles_unwritten.count
                else Cycles.concatenate([self._cycles_unwritten, to_module]))
        self.consumer.cycles(cycles)

    def _advance(self, final: bool = False) -> None:
        """Hands complete cycles to the module, schedules full windows, fetches.

        Cycles go to the module in fixed blocks of ``PERIOD_BLOCK`` entries
        (counted from the first), so the period values do not depend on how
        the recording was cut into chunks: the module feeds its period
        windows up to the last sample of each call, including a sample that
        the next entry shares.  The windows that a block completes are
        scheduled right after it."""
        limit = self.written * self.positions_per_sample
        waiting = self._cycles_unwritten
        if waiting.count:
            k = int(np.searchsorted(waiting.end(), np.uint64(limit), side="right"))
            if k:
                head = _slice(waiting, 0, k)
                self._cycles_written = head if not self._cycles_written.count else \
                    Cycles.concatenate([self._cycles_written, head])
                self._cycles_unwritten = _slice(waiting, k, None)
        count = self._cycles_written.count
        if count >= PERIOD_BLOCK or (final and count):
            take = count if final else (count // PERIOD_BLOCK) * PERIOD_BLOCK
            part = _slice(self._cycles_written, 0, take)
            self._cycles_written = _slice(self._cycles_written, take, None)
            self._schedule_cycles(part)
        if final:
            self._flush_group()
        self.fetch(wait=False)

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

    # ------------------------------------------------------------ windows
    def _chain_cuts(self, c: Cycles) -> List[int]:
        """Indices of the cycles of ``c`` that restart the window chain."""
        return self.chain_cuts(c.start) if self.chain_cuts is not None else []

    def _complete_windows(self, c: Cycles,
                          ends: np.ndarray) -> List[Tuple[int, int, int, bool, int, bool]]:
        """The windows that cycles ``c`` (none of them partial) complete:
        (index of the last cycle, first start, last end, valid, cycles,
        reported).  At each cut of ``_chain_cuts`` the window in progress
        closes early with the cycles before the tick (calculated so that the
        period values of its samples are delivered, not reported: it is no
        10/12-cycle value) and a new chain starts with the cycle at the cut."""
        out: List[Tuple[int, int, int, bool, int, bool]] = []
        lo = 0
        for cut in self._chain_cuts(c) + [c.count]:
            if cut > lo:
                part = self._chain_windows(_slice(c, lo, cut), ends[lo:cut])
                out += [(last + lo, s0, e1, ok, self.window_cycles, True)
                        for last, s0, e1, ok in part]
            if cut < c.count and self._group.count:
                g = self._group
                out.append((cut - 1, g.first_start, g.last_end, g.valid, g.count, False))
                self._group = _WindowGroup()
            lo = cut
        return out

    def _chain_windows(self, c: Cycles, ends: np.ndarray) -> List[Tuple[int, int, int, bool]]:
        """The windows that cycles ``c`` (none of them partial) complete:
        (index of the last cycle, first start, last end, all valid and
        measured); updates the group of the next window."""
        W, n, group = self.window_cycles, c.count, self._group
        had = group.count
        self._windows_started = True
        good = c.valid & (c.kind == KIND_MEASURED)
        done = np.arange(W - had - 1, n, W)
        out: List[Tuple[int, int, int, bool]] = []
        if len(done):
            bad = np.concatenate([[0], np.cumsum(~good)])
            first = done - W + 1
            inside = first >= 0
            lo = np.maximum(first, 0)
            s0 = np.where(inside, c.start[lo], np.uint64(group.first_start))
            ok = ((bad[done + 1] - bad[lo]) == 0) & (inside | group.valid)
            out = list(zip(done.tolist(), s0.tolist(), ends[done].tolist(), ok.tolist()))
            rest = int(done[-1]) + 1
            group.count = n - rest
            if group.count:
                group.first_start = int(c.start[rest])
                group.valid = bool(good[rest:].all())
            else:
                group.valid = True
        else:
            if had == 0:
                group.first_start = int(c.start[0])
                group.valid = True
            group.valid = group.valid and bool(good.all())
            group.count = had + n
        if group.count:
            group.last_end = int(ends[-1])
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
        if self._group.count == self.window_cycles:
            self._schedule_group(report=True)

    def _group_add(self, s: int, e: int, valid: bool, kind: int) -> None:
        group = self._group
        if group.count == 0:
            group.first_start = s
            group.valid = True
        group.last_end = e
        group.valid = group.valid and bool(valid) and kind == KIND_MEASURED
        group.count += 1

    def _flush_group(self) -> None:
        """A last, shorter window so that the period values of the tail get
        delivered; it is not reported."""
        if self._group.count:
            self._schedule_group(report=False)

    def _schedule_group(self, report: bool) -> None:
        g = self._group
        self._group = _WindowGroup()
        self._schedule_window(g.first_start, g.last_end, g.count, g.valid, report)

    def _schedule_window(self, s0: int, e1: int, count: int, valid: bool, report: bool) -> None:
        """Schedules the window of ``count`` cycles from ``s0`` to ``e1``.  A
        window that is not reported (the tail, or a group whose mean
        frequency lies outside 0.5..1.5 x nominal) is still calculated, so
        that the period values of its samples get delivered."""
        r, fs = self.positions_per_sample, self.sample_rate
        first = int(round(s0 / r))
        last = int(round(e1 / r))
        length = last - first
        if length <= 0:
            return
        freq = count * fs * r / float(e1 - s0)
        if report and not self.lowest_frequency <= freq <= self.highest_frequency:
            report = False
            self.skipped_windows += 1
        if not report:
            # a frequency whose FFT length holds the window (and has a plan)
            freq = min(max(self.window_cycles * fs / length, self.lowest_frequency),
                       self.highest_frequency)
        if freq >= 0.5 * fs or length > self.ring_length:
            return
        while len(self._in_flight) >= self.result_slots - 1:
            self.fetch(wait=True)
        self.module.schedule(first, length, freq)
        self._in_flight.append(_InFlight(first, length, bool(valid), report))

    # ----------------------------------------------------------- fetching
    def fetch(self, wait: bool) -> None:
        """Hands what the module has delivered to the consumer (``wait``:
        every window scheduled so far)."""
        m = self.module
        if wait and self._in_flight:
            m.sync()
        while True:
            records = m.results()
            if len(records) == 0:
                break
            self._take_windows(records, m.iec_harmonics_records() if self.iec else None)
            if not wait:
                break
        # the period values first: the module finds dips and swells in them
        m.period_results(into=self.consumer.waiting_periods)
        if self.voltage_events_on:
            self.consumer.voltage_events(m, final=False)
        self.consumer.periods_fetched()

    def _take_windows(self, r: np.ndarray, iec: Optional[np.ndarray]) -> None:
        n = len(r)
        info = self._in_flight[:n]
        del self._in_flight[:n]
        self._delivered_end = int(r["firstSampleIndex"][-1]) + int(r["length"][-1])
        if iec is not None and (len(iec) != n or (iec["firstSampleIndex"] != r["firstSampleIndex"]).any()):
            raise RuntimeError(f"internal: {len(iec)} grouped harmonic records do not match the "
                               f"{n} windows delivered")
        report = np.array([w.reported for w in info], dtype=bool)
        if not report.any():
            return
        valid = np.array([w.valid for w in info], dtype=bool)
        if not report.all():
            valid = valid[report]
            r = r[report]
            iec = None if iec is None else iec[report]
        self.consumer.windows(r, valid, iec)

    def close(self) -> None:
        self.module.close()
