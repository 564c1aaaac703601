"""Detection of the cycles of the fundamental from a reference voltage.

The reference signal is band-pass filtered around the nominal frequency with
a linear-phase FIR filter (a Blackman-windowed difference of two sinc
low-passes, applied by FFT convolution), whose constant group delay of
(taps - 1) / 2 samples is compensated exactly.  Cycles run from one
positive-going zero crossing of the filtered signal to the next; each
crossing is located between samples by a cubic (4-point Lagrange)
interpolation refined with Newton steps.  A crossing sooner than 1/1.5 of a
nominal cycle after the last one (the filter's ringing after a spike) does
not end a cycle, so no cycle is shorter than that.

Every sample from the start index onwards is covered by exactly one cycle
entry, so the entries can be handed to ``Module.schedule_cycles`` as they
come: measured cycles (``KIND_MEASURED``), filler pieces of nominal length
where no crossing was found for a while (``KIND_FILLER``, invalid), and the
partial pieces before the first and after the last crossing
(``KIND_PARTIAL``, invalid).  Starts and lengths are in units of
1/positions_per_sample samples; the frequency of a measured cycle is
sample_rate / (its length in samples), computed from the unrounded crossing
times.  From ``CycleDetector.anchor`` (the first crossing) on, every entry
that ends at a crossing spans exactly one cycle of the reference at the
frequency it carries (fillers included), so period values measured off
these cycles from the anchor on start at crossings and stay there after
gaps; the pieces before the first crossing and after the last one carry the
nominal frequency.

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
    """Streaming FIR filter by FFT convolution (overlap-save).

    The input is filtered in blocks whose FFT length is a power of two of at
    least 2**14 (or 4 x the filter length): long enough that the filter's
    overlap costs little (an eighth of the block at 10 kHz and 50 Hz), short
    enough that a transform stays in the processor's cache (we measured
    transforms of 2**14 nearly twice as fast per sample as those of 2**16,
    numpy's FFT on one core).  The block
    boundaries move the outputs only by rounding (the tests check that any
    chunking gives the same cycles)."""

    def __init__(self, taps: np.ndarray, nfft: int = 1 << 14) -> None:
        self.h = taps
        self.m = len(taps)
        self.nfft = max(int(nfft), 1 << int(math.ceil(math.log2(4 * self.m))))
        self.block = self.nfft - (self.m - 1)
        self._spectra: Dict[int, np.ndarray] = {}
        # the input of one transform: the last m - 1 samples, then new ones
        self._z = np.zeros(self.nfft)

    def _spectrum(self, nfft: int) -> np.ndarray:
        s = self._spectra.get(nfft)
        if s is None:
            s = np.fft.rfft(self.h, nfft)
            self._spectra[nfft] = s
        return s

    def __call__(self, x: np.ndarray, out: Optional[np.ndarray] = None) -> np.ndarray:
        """Outputs y[k] = sum_j h[j] x[k - j] for the new samples x (into
        ``out`` when given)."""
        if out is None:
            out = np.empty(len(x))
        pos = 0
        keep = self.m - 1
        z = self._z
        while pos < len(x):
            count = min(self.block, len(x) - pos)
            z[keep:keep + count] = x[pos:pos + count]
            size = keep + count
            nfft = 1 << int(math.ceil(math.log2(size)))
            spectrum = np.fft.rfft(z[:size], nfft)
            spectrum *= self._spectrum(nfft)
            out[pos:pos + count] = np.fft.irfft(spectrum, nfft)[keep:size]
            z[:keep] = z[size - keep:size]
            pos += count
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
        #: Crossings closer than this (a cycle above 1.5 x nominal frequency)
        #: do not end a cycle.
        self._shortest = self._nominal_len / 1.5
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
        self._anchor: Optional[int] = None
        self._last_e = 0.0
        self._last_transient = True
        self._last_sample_after = 0
        self._amplitudes: deque = deque(maxlen=50)
        self._level = 0.0
        self._out: List[Tuple] = []      # entries found one by one
        self._batches: List[Cycles] = []  # entries in order, as arrays
        #: Whether whole blocks of crossings are handled at once (False: one
        #: by one, the reference path; both give the same entries).
        self.vectorised = True

    # ----------------------------------------------------------------- API
    @property
    def samples_consumed(self) -> int:
        return self._consumed

    @property
    def anchor(self) -> Optional[int]:
        """Sub-sample position from which the entries are whole cycles of the
        reference that start at zero crossings: the first crossing, or the
        start when no crossing came within the gap limit (the filler cycles
        then start there); None until it is known, which is no later than
        the first entry.  The pieces before it only describe the samples
        before the first crossing."""
        return self._anchor

    @property
    def reference_level(self) -> float:
        """The rms level that validity and hysteresis refer to (0: unknown yet)."""
        return self.nominal_rms if self.nominal_rms is not None else self._level

    def process(self, samples: np.ndarray) -> Cycles:
        """Feeds the next samples of the reference signal; returns the
        entries that are now complete."""
        if self._end is not None:
            raise RuntimeError("the detector was flushed")
        x = np.asarray(samples, dtype=np.float64)
        if x.ndim != 1:
            x = x.ravel()  # a column of a block stays a view: the filter copies it anyway
        # a finite sum means finite samples: one pass instead of two
        if not math.isfinite(float(np.sum(x))) and not np.isfinite(x).all():
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
        if self._anchor is None and self._last_kind == "start":
            self._anchor = self._last_pos
        end_t = float(self._end)
        self._fill_gaps(end_t - 1.0)
        if end_t - self._last_t > 0:
            self._emit_pieces(self._last_t, end_t, KIND_PARTIAL, last=True)
        return self._take()

    # ------------------------------------------------------------- internals
    def _feed_input(self, x: np.ndarray, padding: bool = False) -> None:
        if len(x) == 0:
            return
        # the filter writes behind the samples kept from the last search
        kept = len(self._buf)
        b = np.empty(kept + len(x))
        b[:kept] = self._buf
        self._conv(x, out=b[kept:])
        first = self._consumed - self.delay  # compensated index of the first output
        if not padding:
            self._consumed += len(x)
        if first < 0:
            drop = min(-first, len(x))
            b = np.concatenate([b[:kept], b[kept + drop:]])
            first += drop
        if len(b) > kept:
            self._search(b, first)

    def _search(self, b: np.ndarray, first: int) -> None:
        """Searches ``b``: the samples kept from the last search, then new
        filtered samples from compensated index ``first`` on."""
        if len(self._buf) == 0:
            self._buf_g0 = first
        g0 = self._buf_g0
        n = len(b)
        # E(g0 + k), the running sum of squares, formed in place
        energy = np.empty(n + 1)
        energy[0] = 0.0
        squares = energy[1:]
        np.multiply(b, b, out=squares)
        np.cumsum(squares, out=squares)
        energy += self._buf_e0
        if n >= 4:
            if math.isfinite(energy[n]):
                # every sample is finite, so "not below 0" is ">= 0"
                below = b < 0.0
                j = np.flatnonzero(below[1:n - 2] > below[2:n - 1]) + 2
            else:
                j = np.flatnonzero((b[1:n - 2] < 0.0) & (b[2:n - 1] >= 0.0)) + 2
            times = None
            if len(j):
                frac = _cubic_roots(b[j - 2], b[j - 1], b[j], b[j + 1])
                times = (g0 + j - 1).astype(np.float64) + frac
            if not (len(j) and self.vectorised and self._search_fast(b, g0, j, times, energy)):
                self._search_each(b, g0, j, times, energy)
        keep = min(3, n)
        self._buf = b[n - keep:].copy()
        self._buf_e0 = float(energy[n - keep])
        self._buf_g0 = g0 + n - keep

    def _search_each(self, b: np.ndarray, g0: int, j: np.ndarray, times: Optional[np.ndarray],
                     energy: np.ndarray) -> None:
        """The candidate crossings one by one (the reference behaviour)."""
        n = len(b)
        for k, jj in enumerate(j):
            jj = int(jj)
            self._arm(b, g0, jj)
            if self._armed:
                self._crossing(float(times[k]), float(energy[jj]), g0 + jj)
                self._armed = False
                self._arm_from = g0 + jj
        self._arm(b, g0, n - 2)

    def _search_fast(self, b: np.ndarray, g0: int, j: np.ndarray, times: np.ndarray,
                     energy: np.ndarray) -> bool:
        """The candidate crossings of one block at once, with the same result
        as ``_search_each``; returns False (changing nothing) where the block
        needs the one-by-one path: a gap or the signal's start or end, the
        first 50 cycles of a learnt level, or a hysteresis verdict that the
        level learnt inside the block would change.

        Between two accepted crossings the hysteresis level is constant, so
        a candidate is armed exactly when the signal went below -h between
        the previous candidate and it (or, for the first one, since the last
        accepted crossing)."""
        if self._end is not None or self._last_kind != "crossing":
            return False
        learn = self.nominal_rms is None
        if learn and len(self._amplitudes) < self._amplitudes.maxlen:
            return False
        n = len(b)
        m = len(j)
        lo0 = max(0, self._arm_from - g0)
        if lo0 > j[0]:
            return False
        seg = np.empty(m)
        seg[0] = b[lo0:j[0]].min() if lo0 < j[0] else np.inf
        if m > 1:
            seg[1:] = np.minimum.reduceat(b[:j[-1]], j[:-1])
        level0 = self.reference_level
        sqrt2 = math.sqrt(2.0)
        h0 = self.hysteresis * level0 * sqrt2
        below = seg < -h0
        accepted = below.copy()
        if self._armed:
            accepted[0] = True
        idx = np.flatnonzero(accepted)
        tail_lo = max(lo0, int(j[-1]))
        tail_min = b[tail_lo:n - 2].min() if tail_lo < n - 2 else np.inf
        if len(idx) == 0:
            if self._armed or tail_min < -h0:
                self._armed = True
            return True
        t = times[idx]
        e = energy[j[idx]]
        after = g0 + j[idx]
        prev_t = np.concatenate([[self._last_t], t[:-1]])
        gap = t - prev_t
        if not ((gap <= 1.5 * self._nominal_len).all() and (gap >= self._shortest).all()):
            return False
        prev_e = np.concatenate([[self._last_e], e[:-1]])
        count = after - np.concatenate([[self._last_sample_after], after[:-1]])
        if (count <= 0).any():
            return False
        amp = np.sqrt(np.maximum(e - prev_e, 0.0) / count)
        freq = self.sample_rate / gap
        length_ok = np.abs(gap / self._nominal_len - 1.0) <= self.tolerance
        if learn:
            new_amps = amp[length_ok]
            seq = np.concatenate([np.asarray(self._amplitudes, dtype=np.float64), new_amps])
            size = self._amplitudes.maxlen
            medians = np.full(len(idx), -np.inf)
            if len(new_amps):
                windows = np.lib.stride_tricks.sliding_window_view(seq, size)[1:]
                medians[length_ok] = np.median(windows, axis=1)
            level = np.maximum(level0, np.maximum.accumulate(medians))
            # the level before each candidate: that after the accepted ones before it
            before = np.searchsorted(idx, np.arange(m), side="left")  # accepted before k
            level_before = np.where(before > 0, level[np.maximum(before - 1, 0)], level0)
            h = self.hysteresis * level_before * sqrt2
            armed_k = seg < -h
            if self._armed:
                armed_k[0] = True
            if not np.array_equal(armed_k, accepted):
                return False
            h_end = self.hysteresis * float(level[-1]) * sqrt2
        else:
            level = np.full(len(idx), level0)
            h_end = h0
        prev_transient = np.concatenate([[self._last_transient], t[:-1] < self.delay])
        valid = (length_ok & (amp >= self.min_amplitude * level) & (amp > 0)
                 & ~prev_transient & ~(t < self.delay))
        ends = np.rint((self.start_index + t) * self.positions_per_sample)
        starts = np.concatenate([[float(self._last_pos)], ends[:-1]])
        lengths = ends - starts
        if not ((lengths > 0).all() and (lengths <= 2 ** 31 - 1).all()):
            return False
        # committed: the state after the block
        self._flush_rows()
        self._batches.append(Cycles(
            starts.astype(np.uint64), lengths.astype(np.int32), freq.astype(np.float64),
            valid.astype(np.bool_), amp.astype(np.float64),
            np.full(len(idx), KIND_MEASURED, dtype=np.int8)))
        if learn:
            self._amplitudes.extend(new_amps.tolist())
            self._level = float(level[-1])
        self._last_pos = int(ends[-1])
        self._last_t = float(t[-1])
        self._last_e = float(e[-1])
        self._last_sample_after = int(after[-1])
        self._last_transient = self._transient(self._last_t)
        last_j = int(j[idx[-1]])
        self._arm_from = g0 + last_j
        tail_lo = max(last_j, int(j[-1]))
        tail_min = b[tail_lo:n - 2].min() if tail_lo < n - 2 else np.inf
        self._armed = bool(tail_min < -h_end)
        return True

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
        if self._last_kind == "crossing" and gap < self._shortest:
            # ringing of the filter after a spike, not a cycle of the
            # fundamental: the cycle goes on to a later crossing
            return
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
            if kind == KIND_PARTIAL:
                self._anchor = int(round((self.start_index + t) * self.positions_per_sample))
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
            if self._anchor is None:
                self._anchor = self._last_pos
            self._emit(self._last_t, t, self.nominal_frequency, False, math.nan, kind)
            self._last_t = t
            self._last_kind = "filler"

    def _emit_pieces(self, t0: float, t1: float, kind: int, last: bool = False) -> None:
        """Invalid pieces covering t0..t1.

        Between two crossings (fillers): pieces of equal length near the
        nominal one, each at the frequency that makes it exactly one cycle,
        so that the reference phase is a whole number of cycles again at the
        crossing t1 and the period values stay anchored to the crossings
        after a gap.  Before the first crossing (the pieces before
        ``anchor``): the same lengths at the nominal frequency.  After the
        last crossing (``last``): pieces of nominal length at the nominal
        frequency, the final one shorter."""
        gap = t1 - t0
        nominal = self._nominal_len
        if last:
            count = max(1, int(math.ceil(gap / nominal - 1e-9)))
            edges = [t0 + k * nominal for k in range(count)] + [t1]
            freq = self.nominal_frequency
        else:
            count = max(1, int(round(gap / nominal)))
            edges = [t0 + gap * k / count for k in range(count)] + [t1]
            freq = (self.nominal_frequency if kind == KIND_PARTIAL
                    else count * self.sample_rate / gap)
        for a, b in zip(edges[:-1], edges[1:]):
            self._emit(a, b, freq, False, math.nan, kind)

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

    def _flush_rows(self) -> None:
        if self._out:
            rows = self._out
            self._out = []
            start, length, freq, valid, amp, kind = zip(*rows)
            self._batches.append(Cycles(
                np.array(start, dtype=np.uint64), np.array(length, dtype=np.int32),
                np.array(freq, dtype=np.float64), np.array(valid, dtype=np.bool_),
                np.array(amp, dtype=np.float64), np.array(kind, dtype=np.int8)))

    def _take(self) -> Cycles:
        self._flush_rows()
        batches = self._batches
        self._batches = []
        if not batches:
            return Cycles.empty()
        return batches[0] if len(batches) == 1 else Cycles.concatenate(batches)


def detect_cycles(signal: np.ndarray, sample_rate: float, nominal_frequency: float = 50.0,
                  *, chunk_samples: int = 1 << 20, **options) -> Cycles:
    """All cycle entries of a whole reference signal (see CycleDetector)."""
    det = CycleDetector(sample_rate, nominal_frequency, **options)
    x = np.asarray(signal, dtype=np.float64).ravel()
    parts = [det.process(x[k:k + chunk_samples]) for k in range(0, len(x), chunk_samples)]
    parts.append(det.flush())
    return Cycles.concatenate(parts)
