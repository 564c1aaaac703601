"""Detection of the cycles of the fundamental from a reference voltage.

The reference signal is band-pass filtered around the nominal frequency with
a linear-phase FIR filter (a Blackman-windowed difference of two sinc
low-passes, applied by FFT convolution), whose constant group delay of
(taps - 1) / 2 samples is compensated exactly.  Cycles run from one
positive-going zero crossing of the filtered signal to the next; each
crossing is located between samples by a cubic (4-point Lagrange)
interpolation refined with Newton steps.

Every sample from the start index onwards is covered by exactly one cycle
entry, so the entries can be handed to ``Module.schedule_cycles`` as they
come: measured cycles (``KIND_MEASURED``), filler pieces of nominal length
where no crossing was found for a while (``KIND_FILLER``, invalid), and the
partial pieces before the first and after the last crossing
(``KIND_PARTIAL``, invalid).  Starts and lengths are in units of
1/positions_per_sample samples; the frequency of a measured cycle is
sample_rate / (its length in samples), computed from the unrounded crossing
times; fillers and partial pieces carry the nominal frequency.

``CycleDetector`` works chunk by chunk with bounded memory (state: the
filter's history and a few samples), so it serves recordings of any length.
"""
from __future__ import annotations

import math
import statistics
from collections import deque
from typing import Dict, Iterable, List, NamedTuple, Optional, Tuple

import numpy as np

__all__ = ["Cycles", "CycleDetector", "detect_cycles", "KIND_MEASURED", "KIND_FILLER",
           "KIND_PARTIAL", "design_bandpass"]

KIND_MEASURED = 0
KIND_FILLER = 1
KIND_PARTIAL = 2


class Cycles(NamedTuple):
    """Cycle entries (parallel arrays)."""

    start: np.ndarray      #: uint64, sub-sample index of the first position
    length: np.ndarray     #: int32, sub-samples
    frequency: np.ndarray  #: float64, Hz
    valid: np.ndarray      #: bool
    amplitude: np.ndarray  #: float64, rms of the filtered fundamental over the cycle (NaN: none)
    kind: np.ndarray       #: int8, KIND_MEASURED / KIND_FILLER / KIND_PARTIAL

    @staticmethod
    def empty() -> "Cycles":
        return Cycles(np.zeros(0, np.uint64), np.zeros(0, np.int32), np.zeros(0, np.float64),
                      np.zeros(0, np.bool_), np.zeros(0, np.float64), np.zeros(0, np.int8))

    @staticmethod
    def concatenate(parts: Iterable["Cycles"]) -> "Cycles":
        parts = [p for p in parts if len(p.start)]
        if not parts:
            return Cycles.empty()
        return Cycles(*(np.concatenate([getattr(p, f) for p in parts]) for f in Cycles._fields))

    @property
    def count(self) -> int:
        return len(self.start)

    def end(self) -> np.ndarray:
        """Sub-sample index one past each cycle (uint64)."""
        return self.start + self.length.astype(np.uint64)


def design_bandpass(sample_rate: float, nominal_frequency: float,
                    filter_cycles: float = 10.0) -> np.ndarray:
    """Linear-phase band-pass taps (odd count) with unit gain at the nominal
    frequency: pass band about 0.8..1.2 x nominal, stop bands below 0.2 x and
    above 1.8 x nominal (Blackman window, about -74 dB)."""
    fs, f0 = float(sample_rate), float(nominal_frequency)
    taps = int(round(filter_cycles * fs / f0))
    taps += 1 - taps % 2
    taps = max(taps, 5)
    half = (taps - 1) // 2
    n = np.arange(-half, half + 1, dtype=np.float64)

    def lowpass(fc: float) -> np.ndarray:
        w = 2.0 * fc / fs
        return w * np.sinc(w * n)

    h = (lowpass(1.5 * f0) - lowpass(0.5 * f0)) * np.blackman(taps)
    gain = abs(np.sum(h * np.exp(-2j * np.pi * f0 / fs * n)))
    return h / gain


class _Convolver:
    """Streaming FIR filter by FFT convolution (overlap-save)."""

    def __init__(self, taps: np.ndarray, block: int = 1 << 18) -> None:
        self.h = taps
        self.m = len(taps)
        self.block = max(block, 4 * self.m)
        self.history = np.zeros(self.m - 1)
        self._spectra: Dict[int, np.ndarray] = {}

    def _spectrum(self, nfft: int) -> np.ndarray:
        s = self._spectra.get(nfft)
        if s is None:
            s = np.fft.rfft(self.h, nfft)
            self._spectra[nfft] = s
        return s

    def __call__(self, x: np.ndarray) -> np.ndarray:
        """Outputs y[k] = sum_j h[j] x[k - j] for the new samples x."""
        out = np.empty(len(x))
        pos = 0
        while pos < len(x):
            part = x[pos:pos + self.block]
            z = np.concatenate([self.history, part])
            nfft = 1 << int(math.ceil(math.log2(len(z))))
            y = np.fft.irfft(np.fft.rfft(z, nfft) * self._spectrum(nfft), nfft)
            out[pos:pos + len(part)] = y[self.m - 1:len(z)]
            self.history = z[len(z) - (self.m - 1):] if self.m > 1 else z[:0]
            pos += len(part)
        return out


def _cubic_roots(p0, p1, p2, p3) -> np.ndarray:
    """Root in (0, 1] of the cubic through (-1, p0), (0, p1), (1, p2), (2, p3)."""
    a = p1
    b = -p0 / 3.0 - p1 / 2.0 + p2 - p3 / 6.0
    c = p0 / 2.0 - p1 + p2 / 2.0
    d = -p0 / 6.0 + p1 / 2.0 - p2 / 2.0 + p3 / 6.0
    x = p1 / (p1 - p2)  # linear guess, in (0, 1]
    for _ in range(6):
        f = a + x * (b + x * (c + x * d))
        df = b + x * (2.0 * c + x * 3.0 * d)
        step = np.where(df != 0, f / np.where(df != 0, df, 1.0), 0.0)
        x = np.clip(x - step, 0.0, 1.0)
    return x


class CycleDetector:
    """Streaming detector of the cycles of the fundamental.

    Parameters: ``sample_rate`` (Hz), ``nominal_frequency`` (Hz),
    ``positions_per_sample`` (sub-sample resolution of starts and lengths,
    at least 1000), ``start_index`` (running index of the first sample fed),
    ``tolerance`` (a cycle is valid only if its length is within this
    fraction of the nominal one), ``nominal_rms`` (rms of the reference at
    nominal level; when None, the level is learnt from the signal: the
    largest rolling median of the last 50 cycle amplitudes),
    ``min_amplitude`` (a cycle is valid only if its fundamental rms is at
    least this fraction of that level), ``filter_cycles`` (FIR length in
    nominal cycles), ``max_gap_cycles`` (after this many nominal cycles
    without a crossing, filler pieces are emitted so that the entries keep
    up with the signal).

    ``process(chunk)`` returns the entries completed by the chunk;
    ``flush()`` those left at the end (the final crossings, whose filter
    support runs past the data, are marked invalid, and a partial piece
    covers the samples after the last crossing).
    """

    def __init__(self, sample_rate: float, nominal_frequency: float = 50.0, *,
                 positions_per_sample: int = 1000, start_index: int = 0,
                 tolerance: float = 0.15, nominal_rms: Optional[float] = None,
                 min_amplitude: float = 0.1, hysteresis: float = 0.02,
                 filter_cycles: float = 10.0, max_gap_cycles: float = 2.0) -> None:
        if not sample_rate > 0 or not nominal_frequency > 0:
            raise ValueError("sample_rate and nominal_frequency must be positive")
        if nominal_frequency * 4 > sample_rate:
            raise ValueError("the sample rate must be at least 4 x the nominal frequency")
        if int(positions_per_sample) < 1000:
            raise ValueError("positions_per_sample must be at least 1000")
        self.sample_rate = float(sample_rate)
        self.nominal_frequency = float(nominal_frequency)
        self.positions_per_sample = int(positions_per_sample)
        self.start_index = int(start_index)
        self.tolerance = float(tolerance)
        self.nominal_rms = None if nominal_rms is None else float(nominal_rms)
        self.min_amplitude = float(min_amplitude)
        self.hysteresis = float(hysteresis)
        self.max_gap_cycles = float(max_gap_cycles)
        self.taps = design_bandpass(sample_rate, nominal_frequency, filter_cycles)
        self.delay = (len(self.taps) - 1) // 2
        self._conv = _Convolver(self.taps)
        self._nominal_len = self.sample_rate / self.nominal_frequency
        self._consumed = 0          # input samples fed
        self._end: Optional[int] = None  # input length once flushed
        # filtered (delay-compensated) samples kept for crossing search
        self._buf = np.zeros(0)
        self._buf_g0 = 0            # relative index of _buf[0]
        self._buf_e0 = 0.0          # sum of y^2 over indices < _buf_g0
        self._armed = False
        self._arm_from = 0          # arming looks at samples from here on
        # last boundary
        self._last_t = 0.0
        self._last_pos = self.start_index * self.positions_per_sample
        self._last_kind = "start"
        self._last_e = 0.0
        self._last_transient = True
        self._last_sample_after = 0
        self._amplitudes: deque = deque(maxlen=50)
        self._level = 0.0
        self._out: List[Tuple] = []

    # ----------------------------------------------------------------- API
    @property
    def samples_consumed(self) -> int:
        return self._consumed

    @property
    def reference_level(self) -> float:
        """The rms level that validity and hysteresis refer to (0: unknown yet)."""
        return self.nominal_rms if self.nominal_rms is not None else self._level

    def process(self, samples: np.ndarray) -> Cycles:
        """Feeds the next samples of the reference signal; returns the
        entries that are now complete."""
        if self._end is not None:
            raise RuntimeError("the detector was flushed")
        x = np.asarray(samples, dtype=np.float64).ravel()
        if not np.all(np.isfinite(x)):
            x = np.where(np.isfinite(x), x, 0.0)
        self._feed_input(x)
        self._fill_gaps(self._buf_g0 + len(self._buf) - 2)
        return self._take()

    def flush(self) -> Cycles:
        """Ends the signal: returns the remaining entries up to its last sample."""
        if self._end is not None:
            return Cycles.empty()
        self._end = self._consumed
        self._feed_input(np.zeros(self.delay), padding=True)
        end_t = float(self._end)
        self._fill_gaps(end_t - 1.0)
        if end_t - self._last_t > 0:
            self._emit_pieces(self._last_t, end_t, KIND_PARTIAL, last=True)
        return self._take()

    # ------------------------------------------------------------- internals
    def _feed_input(self, x: np.ndarray, padding: bool = False) -> None:
        if len(x) == 0:
            return
        y = self._conv(x)
        first = self._consumed - self.delay  # compensated index of y[0]
        if not padding:
            self._consumed += len(x)
        if first < 0:
            drop = min(-first, len(y))
            y = y[drop:]
            first += drop
        if len(y):
            self._search(y, first)

    def _search(self, y: np.ndarray, first: int) -> None:
        if len(self._buf) == 0:
            self._buf_g0 = first
        b = np.concatenate([self._buf, y])
        g0 = self._buf_g0
        energy = self._buf_e0 + np.concatenate([[0.0], np.cumsum(b * b)])  # E(g0 + k)
        n = len(b)
        if n >= 4:
            j = np.nonzero((b[1:n - 2] < 0.0) & (b[2:n - 1] >= 0.0))[0] + 2
            times = None
            if len(j):
                frac = _cubic_roots(b[j - 2], b[j - 1], b[j], b[j + 1])
                times = (g0 + j - 1).astype(np.float64) + frac
            for k, jj in enumerate(j):
                jj = int(jj)
                self._arm(b, g0, jj)
                if self._armed:
                    self._crossing(float(times[k]), float(energy[jj]), g0 + jj)
                    self._armed = False
                    self._arm_from = g0 + jj
            self._arm(b, g0, n - 2)
        keep = min(3, n)
        self._buf = b[n - keep:].copy()
        self._buf_e0 = float(energy[n - keep])
        self._buf_g0 = g0 + n - keep

    def _arm(self, b: np.ndarray, g0: int, upto: int) -> None:
        """Arms the crossing search once the signal went below minus the
        hysteresis since the last accepted crossing (samples before ``upto``)."""
        if self._armed:
            return
        lo = max(0, self._arm_from - g0)
        if lo < upto:
            h = self.hysteresis * self.reference_level * math.sqrt(2.0)
            self._armed = bool(b[lo:upto].min() < -h)

    def _transient(self, t: float) -> bool:
        if t < self.delay:
            return True
        return self._end is not None and t > self._end - 1 - self.delay

    def _crossing(self, t: float, e: float, sample_after: int) -> None:
        gap = t - self._last_t
        if self._last_kind == "crossing" and gap <= 1.5 * self._nominal_len:
            count = sample_after - self._last_sample_after
            amp = math.sqrt(max(e - self._last_e, 0.0) / count) if count > 0 else 0.0
            freq = self.sample_rate / gap
            length_ok = abs(gap / self._nominal_len - 1.0) <= self.tolerance
            if self.nominal_rms is None and length_ok:
                self._amplitudes.append(amp)
                self._level = max(self._level, statistics.median(self._amplitudes))
            level = self.reference_level
            valid = (length_ok and amp >= self.min_amplitude * level and amp > 0
                     and not self._last_transient and not self._transient(t))
            self._emit(self._last_t, t, freq, valid, amp, KIND_MEASURED)
        else:
            kind = KIND_PARTIAL if self._last_kind == "start" else KIND_FILLER
            self._emit_pieces(self._last_t, t, kind)
        self._last_t = t
        self._last_kind = "crossing"
        self._last_e = e
        self._last_sample_after = sample_after
        self._last_transient = self._transient(t)

    def _fill_gaps(self, reliable: float) -> None:
        """Emits filler pieces while no crossing was found for too long."""
        limit = self.max_gap_cycles * self._nominal_len
        while reliable - self._last_t > limit:
            t = self._last_t + self._nominal_len
            kind = KIND_PARTIAL if self._last_kind == "start" else KIND_FILLER
            self._emit(self._last_t, t, self.nominal_frequency, False, math.nan, kind)
            self._last_t = t
            self._last_kind = "filler"

    def _emit_pieces(self, t0: float, t1: float, kind: int, last: bool = False) -> None:
        """Invalid pieces at the nominal frequency covering t0..t1: of equal
        length near the nominal one, or (``last``) of nominal length with a
        shorter final piece."""
        gap = t1 - t0
        nominal = self._nominal_len
        if last:
            count = max(1, int(math.ceil(gap / nominal - 1e-9)))
            edges = [t0 + k * nominal for k in range(count)] + [t1]
        else:
            count = max(1, int(round(gap / nominal)))
            edges = [t0 + gap * k / count for k in range(count)] + [t1]
        for a, b in zip(edges[:-1], edges[1:]):
            self._emit(a, b, self.nominal_frequency, False, math.nan, kind)

    def _emit(self, t0: float, t1: float, freq: float, valid: bool, amp: float,
              kind: int) -> None:
        end = int(round((self.start_index + t1) * self.positions_per_sample))
        start = self._last_pos
        if end <= start:
            return
        length = end - start
        while length > 2 ** 31 - 1:  # never happens with nominal-length pieces
            part = 2 ** 30
            self._out.append((start, part, freq, False, math.nan, kind))
            start += part
            length -= part
        self._out.append((start, length, freq, bool(valid), amp, kind))
        self._last_pos = end

    def _take(self) -> Cycles:
        if not self._out:
            return Cycles.empty()
        rows = self._out
        self._out = []
        start, length, freq, valid, amp, kind = zip(*rows)
        return Cycles(np.array(start, dtype=np.uint64), np.array(length, dtype=np.int32),
                      np.array(freq, dtype=np.float64), np.array(valid, dtype=np.bool_),
                      np.array(amp, dtype=np.float64), np.array(kind, dtype=np.int8))


def detect_cycles(signal: np.ndarray, sample_rate: float, nominal_frequency: float = 50.0,
                  *, chunk_samples: int = 1 << 20, **options) -> Cycles:
    """All cycle entries of a whole reference signal (see CycleDetector)."""
    det = CycleDetector(sample_rate, nominal_frequency, **options)
    x = np.asarray(signal, dtype=np.float64).ravel()
    parts = [det.process(x[k:k + chunk_samples]) for k in range(0, len(x), chunk_samples)]
    parts.append(det.flush())
    return Cycles.concatenate(parts)
