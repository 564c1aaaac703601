"""Detection of the cycles of the fundamental from a reference voltage.

The detection runs in the library (``powerCycleDetector_*``), on the host
under either backend; this module wraps it for numpy arrays.

The reference signal is band-pass filtered around the nominal frequency with
a linear-phase FIR filter (a Blackman-windowed difference of two sinc
low-passes, applied by FFT convolution in single precision over blocks at
fixed positions of the signal, so any chunking gives the same entries),
whose constant group delay of (taps - 1) / 2 samples is compensated exactly.
Cycles run from one positive-going zero crossing of the filtered signal to
the next; each crossing is located between samples by a cubic (4-point
Lagrange) interpolation refined with Newton steps.  A crossing sooner than
1/1.5 of a nominal cycle after the last one (the filter's ringing after a
spike) does not end a cycle, so no cycle is shorter than that.

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

import ctypes
import math
import weakref
from typing import Iterable, NamedTuple, Optional

import numpy as np

from . import _native

__all__ = ["Cycles", "CycleDetector", "detect_cycles", "KIND_MEASURED", "KIND_FILLER",
           "KIND_PARTIAL", "CYCLE_ENTRY_DTYPE", "CYCLE_DETECTOR_SETTINGS_DTYPE"]

KIND_MEASURED = 0
KIND_FILLER = 1
KIND_PARTIAL = 2

#: PowerCycleDetectorSettings, 80 bytes.
CYCLE_DETECTOR_SETTINGS_DTYPE = np.dtype({
    "names": ["sampleRate", "nominalFrequency", "positionsPerSample", "startIndex", "tolerance",
              "nominalRms", "minAmplitude", "hysteresis", "filterCycles", "maxGapCycles"],
    "formats": ["<f8", "<f8", "<i8", "<u8", "<f8", "<f8", "<f8", "<f8", "<f8", "<f8"],
    "offsets": [0, 8, 16, 24, 32, 40, 48, 56, 64, 72], "itemsize": 80})

#: PowerCycleEntry, 32 bytes.
CYCLE_ENTRY_DTYPE = np.dtype({
    "names": ["start", "length", "kind", "valid", "reserved", "frequency", "amplitude"],
    "formats": ["<u8", "<i4", "i1", "u1", "<u2", "<f8", "<f8"],
    "offsets": [0, 8, 12, 13, 14, 16, 24], "itemsize": 32})


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


def _check(status: int, function: str, error=RuntimeError) -> None:
    if status != _native.STATUS_SUCCESS:
        raise error(f"{function}: {_native.last_error_message()}")


class CycleDetector:
    """Streaming detector of the cycles of the fundamental.

    Parameters: ``sample_rate`` (Hz), ``nominal_frequency`` (Hz),
    ``positions_per_sample`` (sub-sample resolution of starts and lengths,
    1000 to 2**31 - 1), ``start_index`` (running index of the first sample fed;
    times ``positions_per_sample`` below 2**62),
    ``tolerance`` (a cycle is valid only if its length is within this
    fraction of the nominal one), ``nominal_rms`` (rms of the reference at
    nominal level; when None (or not positive), the level is learnt from the
    signal: the largest rolling median of the last 50 cycle amplitudes),
    ``min_amplitude`` (a cycle is valid only if its fundamental rms is at
    least this fraction of that level), ``hysteresis`` (the filtered signal
    must go below minus this fraction of the level's peak between two
    crossings), ``filter_cycles`` (FIR length in nominal cycles),
    ``max_gap_cycles`` (after this many nominal cycles without a crossing,
    filler pieces are emitted so that the entries keep up with the signal;
    at least 1.5).

    ``process(chunk)`` returns the entries completed by the chunk;
    ``flush()`` those left at the end (the final crossings, whose filter
    support runs past the data, are marked invalid, and a partial piece
    covers the samples after the last crossing).  The filter works in
    blocks, so the entries trail the samples by up to ``latency`` samples
    plus ``max_gap_cycles`` nominal cycles.
    """

    def __init__(self, sample_rate: float, nominal_frequency: float = 50.0, *,
                 positions_per_sample: int = 1000, start_index: int = 0,
                 tolerance: float = 0.15, nominal_rms: Optional[float] = None,
                 min_amplitude: float = 0.1, hysteresis: float = 0.02,
                 filter_cycles: float = 10.0, max_gap_cycles: float = 2.0) -> None:
        self.sample_rate = float(sample_rate)
        self.nominal_frequency = float(nominal_frequency)
        self.positions_per_sample = int(positions_per_sample)
        self.start_index = int(start_index)
        self.tolerance = float(tolerance)
        self.nominal_rms = None if nominal_rms is None else float(nominal_rms)
        self.min_amplitude = float(min_amplitude)
        self.hysteresis = float(hysteresis)
        self.filter_cycles = float(filter_cycles)
        self.max_gap_cycles = float(max_gap_cycles)
        if not 0 <= self.start_index < 2 ** 64:
            raise ValueError(f"start_index {self.start_index} must be an unsigned 64-bit index")
        if not -2 ** 63 <= self.positions_per_sample < 2 ** 63:  # the library checks the range
            raise ValueError(f"positions_per_sample {self.positions_per_sample} is too large")
        lib = self._lib = _native.load()
        settings = np.zeros(1, CYCLE_DETECTOR_SETTINGS_DTYPE)
        _check(lib.powerCycleDetector_defaultSettings(settings.ctypes.data),
               "powerCycleDetector_defaultSettings")
        for name, value in (("sampleRate", self.sample_rate),
                            ("nominalFrequency", self.nominal_frequency),
                            ("positionsPerSample", self.positions_per_sample),
                            ("startIndex", self.start_index), ("tolerance", self.tolerance),
                            ("nominalRms", math.nan if nominal_rms is None else self.nominal_rms),
                            ("minAmplitude", self.min_amplitude), ("hysteresis", self.hysteresis),
                            ("filterCycles", self.filter_cycles),
                            ("maxGapCycles", self.max_gap_cycles)):
            settings[name] = value
        handle = ctypes.c_void_p()
        _check(lib.powerCycleDetector_create(settings.ctypes.data, ctypes.byref(handle)),
               "powerCycleDetector_create", ValueError)
        self._handle = handle
        self._finalizer = weakref.finalize(self, lib.powerCycleDetector_destroy, handle)
        self.delay = self._int32("powerCycleDetector_getFilterDelay")
        #: The most samples by which the filtered signal trails the input.
        self.latency = self._int32("powerCycleDetector_getFilterLatency")
        self._flushed = False

    def _int32(self, function: str) -> int:
        out = ctypes.c_int32()
        _check(getattr(self._lib, function)(self._handle, ctypes.byref(out)), function)
        return out.value

    # ----------------------------------------------------------------- API
    @property
    def taps(self) -> np.ndarray:
        """The band-pass filter's taps in double, as the library designed them:
        a Blackman-windowed difference of sinc low-passes at 1.5 and 0.5 x
        nominal, unit gain at the nominal frequency (pass band about 0.8..1.2
        x nominal, stop bands below 0.2 x and above 1.8 x, about -74 dB)."""
        count = ctypes.c_int32()
        get = self._lib.powerCycleDetector_getFilterTaps
        _check(get(self._handle, 0, ctypes.byref(count), None), "powerCycleDetector_getFilterTaps")
        taps = np.empty(count.value, np.float64)
        _check(get(self._handle, len(taps), ctypes.byref(count),
                   taps.ctypes.data_as(ctypes.POINTER(ctypes.c_double))),
               "powerCycleDetector_getFilterTaps")
        return taps

    @property
    def samples_consumed(self) -> int:
        out = ctypes.c_uint64()
        _check(self._lib.powerCycleDetector_getSamplesConsumed(self._handle, ctypes.byref(out)),
               "powerCycleDetector_getSamplesConsumed")
        return out.value

    @property
    def anchor(self) -> Optional[int]:
        """Sub-sample position from which the entries are whole cycles of the
        reference that start at zero crossings: the first crossing, or the
        start when no crossing came within the gap limit (the filler cycles
        then start there); None until it is known, which is no later than
        the first entry.  The pieces before it only describe the samples
        before the first crossing."""
        known, position = ctypes.c_bool(), ctypes.c_uint64()
        _check(self._lib.powerCycleDetector_getAnchor(self._handle, ctypes.byref(known),
                                                      ctypes.byref(position)),
               "powerCycleDetector_getAnchor")
        return position.value if known.value else None

    @property
    def reference_level(self) -> float:
        """The rms level that validity and hysteresis refer to (0: unknown yet)."""
        out = ctypes.c_double()
        _check(self._lib.powerCycleDetector_getReferenceLevel(self._handle, ctypes.byref(out)),
               "powerCycleDetector_getReferenceLevel")
        return out.value

    def process(self, samples: np.ndarray) -> Cycles:
        """Feeds the next samples of the reference signal (non-finite ones,
        and those beyond 1e20 in magnitude, count as 0); returns the entries
        that are now complete."""
        if self._flushed:
            raise RuntimeError("the detector was flushed")
        x = np.ascontiguousarray(np.asarray(samples, dtype=np.float64).ravel())
        _check(self._lib.powerCycleDetector_process(
            self._handle, x.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), len(x)),
               "powerCycleDetector_process")
        return self._take()

    def flush(self) -> Cycles:
        """Ends the signal: returns the remaining entries up to its last sample."""
        if self._flushed:
            return Cycles.empty()
        self._flushed = True
        _check(self._lib.powerCycleDetector_flush(self._handle), "powerCycleDetector_flush")
        return self._take()

    def _take(self) -> Cycles:
        waiting = ctypes.c_int32()
        take = self._lib.powerCycleDetector_takeEntries
        _check(take(self._handle, 0, ctypes.byref(waiting), None), "powerCycleDetector_takeEntries")
        if waiting.value == 0:
            return Cycles.empty()
        entries = np.empty(waiting.value, CYCLE_ENTRY_DTYPE)
        _check(take(self._handle, len(entries), ctypes.byref(waiting), entries.ctypes.data),
               "powerCycleDetector_takeEntries")
        entries = entries[:waiting.value]
        return Cycles(np.ascontiguousarray(entries["start"]),
                      np.ascontiguousarray(entries["length"]),
                      np.ascontiguousarray(entries["frequency"]),
                      entries["valid"].astype(np.bool_),
                      np.ascontiguousarray(entries["amplitude"]),
                      np.ascontiguousarray(entries["kind"]))


def detect_cycles(signal: np.ndarray, sample_rate: float, nominal_frequency: float = 50.0,
                  *, chunk_samples: int = 1 << 20, **options) -> Cycles:
    """All cycle entries of a whole reference signal (see CycleDetector)."""
    det = CycleDetector(sample_rate, nominal_frequency, **options)
    x = np.asarray(signal, dtype=np.float64).ravel()
    parts = [det.process(x[k:k + chunk_samples]) for k in range(0, len(x), chunk_samples)]
    parts.append(det.flush())
    return Cycles.concatenate(parts)
