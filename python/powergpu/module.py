"""``Module``: one analysis module of the library, with numpy in and out."""
from __future__ import annotations

import ctypes
from contextlib import contextmanager
from functools import lru_cache
from ctypes import (POINTER, byref, c_bool, c_double, c_float, c_int32, c_uint8, c_uint16, c_uint64,
                    c_void_p)
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _native
from .errors import BackendUnavailableError, PowerError, error_for_status
from .flicker import FLICKER_SETTINGS, LAMP_120V, LAMP_230V, PINST_DTYPE, PST_DTYPE, lamp_code
from .iec_harmonics import IEC_HARMONICS_DTYPE, iec_frame
from .records import (GENERAL_DTYPE, PERIOD_DTYPE, TEN_SECOND_FREQUENCY_DTYPE, VOLTAGE_EVENT_DTYPE,
                      RecordBuffer, concatenate_records)

__all__ = ["Module", "GRID_TYPES", "GRID_NAMES", "GridInfo", "grid_info", "grid_type"]

#: Grid names -> the library's grid configuration type.
GRID_TYPES: Dict[str, int] = {
    "single": 0,
    "star": 1,
    "star-two-currents": 2,
    "delta": 3,
    "delta-two-currents": 4,
    "two-phase": 5,
    "delta-two-voltages": 6,
    "single-secondary": 7,
}
GRID_NAMES: Dict[int, str] = {v: k for k, v in GRID_TYPES.items()}


class GridInfo(NamedTuple):
    """Channel layout of a grid configuration."""

    phases: int
    voltages: int
    currents: int
    delta: bool

    @property
    def line_to_line(self) -> int:
        return self.phases * (self.phases - 1) // 2


def grid_type(grid: Union[str, int]) -> int:
    """The integer grid configuration type of a name or integer."""
    if isinstance(grid, (bool, np.bool_)):
        raise TypeError("grid must be a name or an integer type")
    if isinstance(grid, (int, np.integer)):
        value = int(grid)
        if not -2 ** 31 <= value < 2 ** 31:
            raise ValueError(f"grid type {value} does not fit 32 bits")
        return value
    if isinstance(grid, str):
        key = grid.strip().lower().replace("_", "-")
        if key in GRID_TYPES:
            return GRID_TYPES[key]
        raise ValueError(f"unknown grid {grid!r}; known: {', '.join(GRID_TYPES)}")
    raise TypeError("grid must be a name or an integer type")


def grid_info(grid: Union[str, int]) -> GridInfo:
    """Channel layout of a grid (an unknown type behaves as single phase):
    the counts as the library gives them, so that they never disagree."""
    return _grid_layout(grid_type(grid))


@lru_cache(maxsize=None)
def _grid_layout(type_: int) -> GridInfo:
    with Module("cpu") as probe:
        probe.grid = type_
        counts = (probe.phases_count, probe.voltages_count, probe.currents_count)
    # the measured voltages of the delta types are line-to-line
    return GridInfo(*counts, delta="delta" in GRID_NAMES.get(type_, ""))


_BACKENDS = {"auto": _native.BACKEND_AUTOMATIC, "automatic": _native.BACKEND_AUTOMATIC,
             "cpu": _native.BACKEND_CPU, "cuda": _native.BACKEND_CUDA,
             "gpu": _native.BACKEND_CUDA}


def _snake(stem: str) -> str:
    out = []
    for i, ch in enumerate(stem):
        if ch.isupper() and i > 0 and not stem[i - 1].isupper():
            out.append("_")
        elif ch.isupper() and i > 0 and i + 1 < len(stem) and stem[i + 1].islower() \
                and stem[i - 1].isupper():
            out.append("_")
        out.append(ch.lower())
    return "".join(out)


#: Boolean settings: Python property -> C stem (getX / setX).
BOOL_PROPERTIES: Dict[str, str] = {_snake(s): s for s in _native.BOOL_SETTINGS}
#: Numeric settings with a getter: Python property -> C stem.
NUMERIC_PROPERTIES: Dict[str, str] = {_snake(s): s for s in _native.NUMERIC_SETTINGS}
#: Settings of the dips, swells and interruptions detector: property -> C stem.
VOLTAGE_EVENT_PROPERTIES: Dict[str, str] = {_snake(s): s for s in _native.VOLTAGE_EVENT_SETTINGS}
#: Settings of the 10-s frequency: property -> C stem.
TEN_SECOND_FREQUENCY_PROPERTIES: Dict[str, str] = {
    _snake(s): s for s in _native.TEN_SECOND_FREQUENCY_SETTINGS}
_INT_LIMITS = {c_uint16: (0, 2 ** 16 - 1), c_int32: (-2 ** 31, 2 ** 31 - 1)}


def _check_int(name: str, value: Any, ctype) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        if isinstance(value, (float, np.floating)) and float(value).is_integer():
            value = int(value)
        else:
            raise TypeError(f"{name} must be an integer, not {value!r}")
    lo, hi = _INT_LIMITS[ctype]
    if not lo <= int(value) <= hi:
        raise ValueError(f"{name} = {value} is outside {lo}..{hi}")
    return int(value)


def _native_setting(stem: str, ctype, doc: str, to_native: Callable[[Any], Any],
                    from_native: Callable[[Any], Any] = lambda value: value) -> property:
    """A property read through get<stem> and written through set<stem>,
    with the conversions on either side."""
    def fget(self: "Module"):
        return from_native(self._get("get" + stem, ctype))

    def fset(self: "Module", value) -> None:
        self._call("set" + stem, to_native(value))

    return property(fget, fset, doc=doc)


def _cycle_arrays(starts: Sequence[int], lengths: Sequence[int], frequencies: Sequence[float],
                  valid: Sequence[bool]) -> Tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The reported cycles as contiguous arrays of the library's types,
    checked to be 1-D, of one length, and with lengths that fit 32 bits."""
    s = np.ascontiguousarray(starts, dtype=np.uint64)
    n = np.ascontiguousarray(lengths, dtype=np.int32)
    f = np.ascontiguousarray(frequencies, dtype=np.float64)
    v = np.ascontiguousarray(valid, dtype=np.bool_)
    if not (s.ndim == n.ndim == f.ndim == v.ndim == 1) or not (len(s) == len(n) == len(f) == len(v)):
        raise ValueError("starts, lengths, frequencies and valid must be 1-D of one length")
    if np.any(np.asarray(lengths, dtype=np.int64) != n):
        raise ValueError("a cycle length does not fit 32 bits")
    return s, n, f, v


def _interval_start(index: int) -> int:
    if not 0 <= int(index) < 2 ** 64:
        raise ValueError(f"flicker_interval_start = {index} is outside 0..2**64-1")
    return int(index)


class Module:
    """One analysis module (one electrical connection).

    ``backend`` is "auto" (CUDA when usable, else CPU), "cpu" or "cuda".
    Settings are properties; ``configure(**settings)`` changes several inside
    one update bracket (one rebuild).  Then ``reset()``, ``write()`` samples,
    ``schedule()`` windows and fetch ``results()``; period values follow from
    ``schedule_cycles()`` and ``period_results()``.
    """

    def __init__(self, backend: Union[str, int] = "auto") -> None:
        self._handle: Optional[int] = None
        self._lib = _native.load()
        if isinstance(backend, str):
            key = backend.strip().lower()
            if key not in _BACKENDS:
                raise ValueError(f"unknown backend {backend!r}; use 'auto', 'cpu' or 'cuda'")
            code = _BACKENDS[key]
        else:
            code = int(backend)
        handle = self._lib.powerModule_createOnBackend(code)
        if not handle:
            name = {0: "automatic", 1: "CPU", 2: "CUDA"}.get(code, str(code))
            reason = _native.last_error_message() or f"the {name} backend is not available"
            raise BackendUnavailableError(1, "powerModule_createOnBackend", reason)
        self._handle = handle
        # Settings the library stores but does not read back (no getter).
        self._sample_rate = 1.0
        self._positions_per_sample = 1
        self._buffer_length = 0
        self._grid = 0
        self._period_count = 10
        self._variable = False
        self._static = (50.0, 0.1)
        self._written = 0
        self._was_reset = False

    # ------------------------------------------------------------ lifecycle
    @property
    def handle(self) -> int:
        """The raw module handle (an address)."""
        if self._handle is None:
            raise ValueError("the module is closed")
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Destroys the module; later calls raise ValueError."""
        handle, self._handle = self._handle, None
        if handle is not None:
            status = self._lib.powerModule_destroy(handle)
            if status != _native.STATUS_SUCCESS:
                raise error_for_status(status, "powerModule_destroy", "", None)

    def __enter__(self) -> "Module":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_handle", None) is not None:
                self._lib.powerModule_destroy(self._handle)
                self._handle = None
        except Exception:
            pass

    def __repr__(self) -> str:
        if self._handle is None:
            return "Module(closed)"
        return (f"Module(backend={self.backend!r}, grid={self.grid!r}, "
                f"sample_rate={self._sample_rate:g}, buffer_length={self._buffer_length})")

    # ------------------------------------------------------------- calling
    def _call(self, name: str, *args: Any) -> None:
        status = getattr(self._lib, name)(self.handle, *args)
        if status != _native.STATUS_SUCCESS:
            message = _native.last_error_message(self._handle)
            raise error_for_status(status, name, message, self._handle)

    def _get(self, name: str, ctype):
        out = ctype()
        self._call(name, byref(out))
        return out.value

    @property
    def backend(self) -> str:
        """"cpu" or "cuda"."""
        code = self._get("getBackend", c_int32)
        return {_native.BACKEND_CPU: "cpu", _native.BACKEND_CUDA: "cuda"}.get(code, str(code))

    # ------------------------------------------------------ update bracket
    def begin_update(self) -> None:
        """Opens an update bracket: rebuilding setters only store."""
        self._call("beginUpdate")

    def end_update(self) -> None:
        """Closes a bracket; the outermost one rebuilds the module once."""
        self._call("endUpdate")

    @contextmanager
    def updating(self) -> Iterator["Module"]:
        """``with module.updating(): ...`` brackets settings with one rebuild."""
        self.begin_update()
        try:
            yield self
        finally:
            self.end_update()

    _SPECIAL = ("sample_rate", "positions_per_sample", "buffer_length", "grid", "period_count",
                "static_frequency", "variable_frequency")

    def configure(self, **settings: Any) -> "Module":
        """Applies several settings inside one begin/endUpdate bracket.

        Keys are the setting properties (``thd_enabled=True``,
        ``highest_requested_harmonic=50``, ``grid="star"``, ...), plus
        ``sample_rate`` (a rate, or (rate, positions_per_sample)),
        ``static_frequency`` (a frequency, or (frequency, tolerance)) and
        ``variable_frequency`` ((lowest, highest)).
        """
        known = (set(self._SPECIAL) | set(BOOL_PROPERTIES) | set(NUMERIC_PROPERTIES)
                 | set(VOLTAGE_EVENT_PROPERTIES) | set(FLICKER_SETTINGS)
                 | {_snake(stem) for stem in _native.IEC_HARMONICS_SETTINGS})
        unknown = sorted(k for k in settings if k not in known)
        if unknown:
            raise TypeError(f"unknown setting(s): {', '.join(unknown)}")
        with self.updating():
            if "sample_rate" in settings or "positions_per_sample" in settings:
                rate = settings.pop("sample_rate", self._sample_rate)
                pps = settings.pop("positions_per_sample", None)
                if isinstance(rate, (tuple, list)):
                    rate, pps2 = rate
                    pps = pps2 if pps is None else pps
                self.set_sample_rate(rate, pps)
            for key, value in settings.items():
                if key == "static_frequency":
                    if isinstance(value, (tuple, list)):
                        self.set_static_frequency(*value)
                    else:
                        self.set_static_frequency(value)
                elif key == "variable_frequency":
                    self.set_variable_frequency(*value)
                else:
                    setattr(self, key, value)
        return self

    # -------------------------------------------------- flicker (extension)
    flicker_lamp = _native_setting(
        "FlickerLamp", c_int32, """Lamp model of the flickermeters: "230V" (default) or "120V".""",
        lamp_code, {LAMP_230V: "230V", LAMP_120V: "120V"}.__getitem__)
    flicker_system_frequency = _native_setting(
        "FlickerSystemFrequency", c_double,
        "Nominal supply frequency of the flickermeters, 50 or 60 Hz.", float)
    flicker_interval_start = _native_setting(
        "FlickerIntervalStart", c_uint64, "Running index at which a 10-minute flicker interval starts.",
        _interval_start)

    @property
    def flicker_channels(self) -> int:
        """Channels measured by the applied flicker settings (0 while off)."""
        return self._get("getFlickerChannelsCount", c_uint8)

    def _flicker_records(self, function: str, dtype: np.dtype, channel: int,
                         batch: int) -> np.ndarray:
        batches = []
        while True:
            buf = np.zeros(batch, dtype=dtype)
            count = c_int32(0)
            self._call(function, int(channel), len(buf), byref(count), buf.ctypes.data)
            batches.append(buf[:count.value])
            if count.value < len(buf):
                return np.concatenate(batches)

    def flicker_pinst(self, channel: int) -> np.ndarray:
        """Takes every waiting Pinst record of a channel (PINST_DTYPE, oldest first)."""
        return self._flicker_records("getFlickerPinst", PINST_DTYPE, channel, 4096)

    def flicker_pst(self, channel: int) -> np.ndarray:
        """Takes every waiting Pst record of a channel (PST_DTYPE, oldest first)."""
        return self._flicker_records("getFlickerPst", PST_DTYPE, channel, 16)

    # ------------------------------------------- settings without a getter
    def set_sample_rate(self, rate: float, positions_per_sample: Optional[int] = None) -> None:
        """Sample rate in Hz and sub-sample positions per sample of the cycle
        input (kept when None); the buffer length in samples is kept."""
        pps = self._positions_per_sample if positions_per_sample is None else positions_per_sample
        pps = _check_int("positions_per_sample", pps, c_int32)
        rate = float(rate)
        self._call("setSampleRate", rate, pps)
        self._sample_rate, self._positions_per_sample = rate, pps

    @property
    def sample_rate(self) -> float:
        """Samples per second (default 1.0)."""
        return self._sample_rate

    @sample_rate.setter
    def sample_rate(self, rate: float) -> None:
        self.set_sample_rate(rate)

    @property
    def positions_per_sample(self) -> int:
        """Sub-sample positions per sample of the cycle input (default 1)."""
        return self._positions_per_sample

    @positions_per_sample.setter
    def positions_per_sample(self, value: int) -> None:
        self.set_sample_rate(self._sample_rate, value)

    @property
    def buffer_length(self) -> int:
        """Samples per channel in the input rings (default 0: no rings yet)."""
        return self._buffer_length

    @buffer_length.setter
    def buffer_length(self, length: int) -> None:
        length = _check_int("buffer_length", length, c_int32)
        if length < 0:
            raise ValueError("buffer_length must not be negative")
        self._call("setBufferLength", length)
        self._buffer_length = length

    @property
    def grid(self) -> Union[str, int]:
        """Grid configuration: a name of GRID_TYPES (or the integer type when
        it has no name).  Accepts names or integers."""
        return GRID_NAMES.get(self._grid, self._grid)

    @grid.setter
    def grid(self, grid: Union[str, int]) -> None:
        value = grid_type(grid)
        self._call("setGridConfigType", value)
        self._grid = value

    @property
    def grid_type(self) -> int:
        """The integer grid configuration type."""
        return self._grid

    @property
    def period_count(self) -> int:
        """Fundamental periods per window, sizing the FFT length (default 10)."""
        return self._period_count

    @period_count.setter
    def period_count(self, count: int) -> None:
        count = _check_int("period_count", count, c_uint16)
        self._call("setPeriodCount", count)
        self._period_count = count

    def set_static_frequency(self, frequency: float, tolerance: float = 0.1) -> None:
        """Static fundamental: range (1 - tolerance)..(1 + tolerance) x frequency,
        tolerance clamped to 0.001..0.5."""
        frequency, tolerance = float(frequency), float(tolerance)
        self._call("setStaticFrequency", frequency, tolerance)
        self._variable = False
        self._static = (frequency, tolerance)

    def set_variable_frequency(self, lowest: float, highest: float) -> None:
        """Variable fundamental from lowest to highest Hz."""
        lowest, highest = float(lowest), float(highest)
        self._call("setVariableFrequency", lowest, highest)
        self._variable = True

    @property
    def static_frequency(self) -> Optional[Tuple[float, float]]:
        """(frequency, tolerance) of the static setting, None when variable."""
        return None if self._variable else self._static

    @static_frequency.setter
    def static_frequency(self, value) -> None:
        if isinstance(value, (tuple, list)):
            self.set_static_frequency(*value)
        else:
            self.set_static_frequency(value)

    @property
    def variable_frequency(self) -> Optional[Tuple[float, float]]:
        """(lowest, highest) of the variable setting, None when static."""
        return self.frequency_range if self._variable else None

    @variable_frequency.setter
    def variable_frequency(self, value) -> None:
        self.set_variable_frequency(*value)

    @property
    def frequency_mode(self) -> str:
        """"static" or "variable"."""
        return "variable" if self._variable else "static"

    @property
    def frequency_range(self) -> Tuple[float, float]:
        """(lowest, highest) fundamental frequency the module is sized for
        (a static setting's tolerance as the library clamped it)."""
        lowest, highest = c_double(), c_double()
        self._call("getFrequencyRange", byref(lowest), byref(highest))
        return lowest.value, highest.value

    # ------------------------------------------------------------- counts
    @property
    def phases_count(self) -> int:
        return self._get("getPhasesCount", c_uint8)

    @property
    def voltages_count(self) -> int:
        """Voltage channels the caller supplies."""
        return self._get("getVoltagesCount", c_uint8)

    @property
    def currents_count(self) -> int:
        """Current channels the caller supplies (0 with currents disabled)."""
        return self._get("getCurrentsCount", c_uint8)

    @property
    def input_channels(self) -> int:
        """Columns of ``write``: voltages, currents, then the mechanical angle."""
        return self.voltages_count + self.currents_count + (1 if self.mechanical_angle_used else 0)

    @property
    def samples_written(self) -> int:
        """Running index of the next sample ``write`` fills."""
        return self._written

    # -------------------------------------------------------- processing
    def reset(self, first: int = 0) -> None:
        """Restarts at running sample index ``first``; drops all windows."""
        first = int(first)
        if first < 0:
            raise ValueError("first must not be negative")
        self._call("reset", first)
        self._written = first
        self._was_reset = True

    def _ring(self, function: str, channel: Optional[int]) -> np.ndarray:
        ptr = POINTER(c_float)()
        if channel is None:
            self._call(function, byref(ptr))
        else:
            self._call(function, int(channel), byref(ptr))
        if not ptr or self._buffer_length <= 0:
            raise ValueError(f"{function}({'' if channel is None else channel}) has no host ring "
                             "in this configuration")
        return np.ctypeslib.as_array(ptr, shape=(self._buffer_length,))

    _RINGS = {"u_input": "getWaveformBufferUInput", "u_star": "getWaveformBufferUStar",
              "u_delta": "getWaveformBufferUDelta", "i": "getWaveformBufferI",
              "clarke_u": "getWaveformBufferClarkeU", "clarke_i": "getWaveformBufferClarkeI",
              "park_u": "getWaveformBufferParkU", "park_i": "getWaveformBufferParkI",
              "mech_angles": "getWaveformBufferMechAngles"}

    def ring(self, kind: str, channel: int = 0) -> np.ndarray:
        """A float32 numpy view (no copy) of a host ring: ``kind`` is one of
        u_input, u_star, u_delta, i, clarke_u, clarke_i, park_u, park_i,
        mech_angles.  The view is invalid after any rebuilding setting."""
        if kind not in self._RINGS:
            raise ValueError(f"unknown ring {kind!r}; known: {', '.join(self._RINGS)}")
        return self._ring(self._RINGS[kind], None if kind == "mech_angles" else channel)

    def _input_rings(self) -> List[np.ndarray]:
        rings = [self._ring("getWaveformBufferUInput", c) for c in range(self.voltages_count)]
        rings += [self._ring("getWaveformBufferI", c) for c in range(self.currents_count)]
        if self.mechanical_angle_used:
            rings.append(self._ring("getWaveformBufferMechAngles", None))
        return rings

    def write(self, samples: np.ndarray) -> int:
        """Writes samples of shape (n, input_channels) (or (n,) for one channel)
        into the input rings at the running index ``samples_written`` and
        announces them, in pieces of at most one ring.  Columns: the measured
        voltages, then the measured currents (when enabled), then the
        mechanical angle (when used).  Returns n."""
        data = np.asarray(samples)
        if data.ndim == 1:
            data = data[:, None]
        if data.ndim != 2:
            raise ValueError("samples must have shape (n, channels)")
        n, channels = data.shape
        expected = self.input_channels
        if channels != expected:
            raise ValueError(f"samples have {channels} columns; this configuration takes "
                             f"{expected} (voltages {self.voltages_count}, currents "
                             f"{self.currents_count}"
                             f"{', mechanical angle 1' if self.mechanical_angle_used else ''})")
        if n == 0:
            return 0
        if not self._was_reset:
            # The library rejects writing before reset (any count) with its own
            # message; a count of 0 announces nothing should it ever accept.
            self._call("writeSamples", 0)
            raise PowerError(1, "writeSamples", "writeSamples before reset")
        self._ring_writer()(data)
        return n

    def writer(self):
        """A function ``write(samples)`` that does what ``write`` does for
        the present configuration, without looking the rings up again on
        every call; it is valid until a setting changes."""
        if not self._was_reset:
            raise PowerError(1, "writeSamples", "writeSamples before reset")
        fill = self._ring_writer()
        expected = fill.channels

        def write(samples: np.ndarray) -> int:
            data = np.asarray(samples)
            if data.ndim == 1:
                data = data[:, None]
            if data.ndim != 2 or data.shape[1] != expected:
                raise ValueError(f"samples must have shape (n, {expected})")
            fill(data)
            return data.shape[0]

        return write

    def _ring_writer(self):
        """The one loop that copies checked samples (n, channels) into the
        input rings at the running index and announces them, in pieces of at
        most one ring (a piece wraps around the ring's end at most once)."""
        length = self._buffer_length
        if length <= 0:
            raise ValueError("buffer_length is 0: set it before writing")
        rings = self._input_rings()
        announce = self._lib.writeSamples
        handle = self.handle

        def fill(data: np.ndarray) -> None:
            n = data.shape[0]
            pos = 0
            while pos < n:
                piece = min(length, n - pos)
                start = self._written % length
                first = min(piece, length - start)
                block = data[pos:pos + piece]
                for c, ring in enumerate(rings):
                    ring[start:start + first] = block[:first, c]
                    if piece > first:
                        ring[:piece - first] = block[first:, c]
                status = announce(handle, piece)
                if status != _native.STATUS_SUCCESS:
                    raise error_for_status(status, "writeSamples",
                                           _native.last_error_message(handle), handle)
                self._written += piece
                pos += piece

        fill.channels = len(rings)
        return fill

    def skip(self, count: int) -> None:
        """Advances the running index by ``count`` without copying samples."""
        count = int(count)
        if not 0 <= count < 2 ** 32:
            raise ValueError("count must fit 32 bits unsigned")
        self._call("skipSamples", count)
        self._written += count

    def schedule(self, first: int, length: int, frequency: float) -> None:
        """Schedules one window of ``length`` samples from running index
        ``first`` with fundamental ``frequency`` (Hz)."""
        self._call("scheduleForCalculation", int(first),
                   _check_int("length", length, c_int32), float(frequency))

    def ready(self) -> bool:
        """Whether the oldest scheduled window is ready."""
        return bool(self._get("isAnyResultReady", c_bool))

    def sync(self) -> None:
        """Waits until the device has finished all work."""
        self._call("syncCuda")

    def results(self, max_count: Optional[int] = None) -> np.ndarray:
        """Ready windows as a structured array of GENERAL_DTYPE, in schedule order.

        ``max_count=None`` fetches every ready window (in batches);
        an integer is passed to the library as it is (0 means "all ready" and
        raises TooManyResultsError, losing them, when any was ready).
        The pointer fields stay valid until their ring slot is reused:
        read harmonic arrays with ``harmonics()`` right away.
        """
        if max_count is None:
            batches = []
            while True:
                batch = self.results(64)
                batches.append(batch)
                if len(batch) < 64:
                    break
            return concatenate_records(batches)
        max_count = _check_int("max_count", max_count, c_int32)
        buf = np.empty(max(max_count, 1), dtype=GENERAL_DTYPE)
        count = c_int32(0)
        self._call("getResults", max_count, byref(count), buf.ctypes.data_as(c_void_p))
        # a view, not a copy: numpy copies these nested records field by field
        return buf[:count.value]

    #: Largest span of memory that ``harmonic_tables`` views at once.
    _GATHER_SPAN = 1 << 28

    _HARMONIC_FIELDS = ("harmonicsU", "harmonicsI", "harmonicsUL", "interharmonicsU",
                        "interharmonicsI", "interharmonicsUL", "harmonicsP", "harmonicsQ",
                        "harmonicsS", "harmonicsZ", "phasesU", "phasesI")

    @staticmethod
    def harmonics(records: np.ndarray, field: str = "harmonicsU",
                  blocks: Optional[int] = None) -> np.ndarray:
        """Copies the float arrays that ``field`` of each phase block points to.

        Returns float32 of shape (records, blocks, max harmonicLength), NaN
        where a pointer is null or a record has fewer entries.  ``blocks``
        defaults to the records' phasesCount.  Call this while the records'
        ring slots are still valid (right after ``results``)."""
        if field not in Module._HARMONIC_FIELDS:
            raise ValueError(f"unknown harmonic field {field!r}")
        return Module._copy_pointed(records, field, "harmonicLength", np.float32, 1, blocks)

    @staticmethod
    def harmonic_tables(records: np.ndarray, fields: Sequence[str],
                        blocks: int) -> Dict[str, np.ndarray]:
        """``{field: harmonics(records, field, blocks)}`` for several fields,
        copied in one gather.

        The library keeps every harmonic table of a module in one host
        array, so all the pointers of a batch of records lie in one block of
        memory: it is viewed once and the tables are picked out by index.
        Where the pointers do not look like that (misaligned, or spread over
        more than ``_GATHER_SPAN`` bytes) the tables are copied one by one."""
        records = np.atleast_1d(records)
        n, nb = len(records), int(blocks)
        for f in fields:
            if f not in Module._HARMONIC_FIELDS:
                raise ValueError(f"unknown harmonic field {f!r}")
        if n == 0 or not fields:
            return {f: np.zeros((n, nb, 0), dtype=np.float32) for f in fields}
        lengths = records["harmonicLength"].astype(np.int64)
        width = int(lengths.max())
        used = min(nb, 4)
        ch = records["channels"][:, :used]
        addr = np.stack([ch[f] for f in fields])  # (fields, n, used)
        ok = addr != 0
        out_shape = (len(fields), n, nb, width)
        if not ok.any() or width == 0:
            out = np.full(out_shape, np.nan, dtype=np.float32)
            return {f: out[j] for j, f in enumerate(fields)}
        live = addr[ok]
        base = int(live.min())
        top = int(live.max()) + 4 * width
        if (top - base > Module._GATHER_SPAN or ((live - np.uint64(base)) % np.uint64(4)).any()):
            return {f: Module.harmonics(records, f, blocks=nb) for f in fields}
        view = np.frombuffer((c_float * ((top - base) // 4)).from_address(base),
                             dtype=np.float32)
        offset = ((addr - np.uint64(base)) // np.uint64(4)).astype(np.int64)
        offset[~ok] = 0
        if ok.all() and (lengths == width).all():
            out = _copy_phase_rows(view, offset, width, out_shape)
            if out is not None:
                return {f: out[j] for j, f in enumerate(fields)}
        cols = np.arange(width, dtype=np.int64)
        index = offset[..., None] + cols  # (fields, n, used, width)
        if ok.all() and (lengths == width).all():
            # the usual batch: every table there and of one length (a plain
            # gather, four times faster than the masked one below)
            out = np.empty(out_shape, dtype=np.float32)
            out[:, :, used:] = np.nan
            out[:, :, :used] = view[index]
            return {f: out[j] for j, f in enumerate(fields)}
        inside = ok[..., None] & (cols < lengths[None, :, None, None])
        picked = view[np.where(inside, index, 0)]
        out = np.full(out_shape, np.nan, dtype=np.float32)
        out[:, :, :used] = np.where(inside, picked, np.float32(np.nan))
        return {f: out[j] for j, f in enumerate(fields)}

    @staticmethod
    def spectrum(records: np.ndarray, field: str = "fftU",
                 blocks: Optional[int] = None) -> np.ndarray:
        """Copies the full spectra (complex64, fftOutputLength bins) that
        ``field`` ("fftU", "fftI", "fftUL") points to; NaN where null."""
        if field not in ("fftU", "fftI", "fftUL"):
            raise ValueError(f"unknown spectrum field {field!r}")
        return Module._copy_pointed(records, field, "fftOutputLength", np.complex64, 2, blocks)

    @staticmethod
    def _copy_pointed(records: np.ndarray, field: str, length_field: str, dtype: Any,
                      floats_per_value: int, blocks: Optional[int]) -> np.ndarray:
        """Copies, per record and phase block, the array of ``length_field``
        values that ``field`` points to; NaN where null or shorter."""
        records = np.atleast_1d(records)
        if len(records) == 0:
            return np.zeros((0, blocks or 0, 0), dtype=dtype)
        nb = int(records["phasesCount"].max()) if blocks is None else int(blocks)
        width = int(records[length_field].max())
        out = np.full((len(records), nb, width), np.nan, dtype=dtype)
        for r, rec in enumerate(records):
            n = int(rec[length_field])
            for c in range(min(nb, 4)):
                addr = int(rec["channels"][c][field])
                if addr and n:
                    out[r, c, :n] = np.frombuffer((c_float * (floats_per_value * n)).from_address(addr),
                                                  dtype=dtype)
        return out

    # ------------------------------------------------------ period values
    def schedule_cycles(self, starts: Sequence[int], lengths: Sequence[int],
                        frequencies: Sequence[float], valid: Sequence[bool]) -> None:
        """Reports detected cycles of the fundamental: starts and lengths in
        units of 1/positions_per_sample samples, frequencies in Hz, validity."""
        s, n, f, v = _cycle_arrays(starts, lengths, frequencies, valid)
        self._call("scheduleForPeriodCalculation", len(s),
                   s.ctypes.data_as(POINTER(ctypes.c_uint64)), n.ctypes.data_as(POINTER(c_int32)),
                   f.ctypes.data_as(POINTER(c_double)), v.ctypes.data_as(POINTER(c_bool)))

    def cycle_scheduler(self, starts: np.ndarray, lengths: np.ndarray, frequencies: np.ndarray,
                        valid: np.ndarray):
        """For many calls of ``schedule_cycles`` on consecutive pieces of the
        same arrays: returns ``schedule(lo, hi)``, which reports entries
        lo..hi-1 (the arrays are checked and converted once)."""
        s, n, f, v = _cycle_arrays(starts, lengths, frequencies, valid)
        fn = _void_pointer_function(self._lib, "scheduleForPeriodCalculation")
        handle = self.handle
        ps, pn, pf, pv = (s.ctypes.data, n.ctypes.data, f.ctypes.data, v.ctypes.data)
        total = len(s)

        def schedule(lo: int, hi: int) -> None:
            if not 0 <= lo <= hi <= total:
                raise ValueError("entries outside the arrays")
            status = fn(handle, hi - lo, ps + 8 * lo, pn + 4 * lo, pf + 8 * lo, pv + lo)
            if status != _native.STATUS_SUCCESS:
                raise error_for_status(status, "scheduleForPeriodCalculation",
                                       _native.last_error_message(handle), handle)

        schedule.keep = (s, n, f, v)  # the arrays live as long as the function
        return schedule

    def period_results(self, into: Optional[RecordBuffer] = None) -> Any:
        """Computes and copies out every period value that can be handed out.

        Returns PERIOD_DTYPE records of shape (values, phases + 1): column 0
        is the summary record (grids with more than one phase), columns
        1..phases the phases.  With ``into`` (a ``RecordBuffer`` of
        PERIOD_DTYPE rows of phases + 1 records) the values are appended
        there instead, and the number appended is returned: one copy for
        callers that gather many fetches."""
        per = self.phases_count + 1
        buffer = RecordBuffer(PERIOD_DTYPE, (per,)) if into is None else into
        if buffer.dtype != PERIOD_DTYPE or buffer.tail != (per,):
            raise ValueError(f"period records need a RecordBuffer of PERIOD_DTYPE x {per}")
        before = buffer.count
        while True:
            count, more, ptr = c_int32(0), c_bool(False), c_void_p()
            self._call("getPeriodResults", byref(count), byref(more), byref(ptr))
            if count.value > 0 and ptr.value:
                buffer.extend_from_address(ptr.value, count.value)
            if not more.value:
                break
        return buffer.take() if into is None else buffer.count - before

    def _take_waiting(self, function: str, dtype: np.dtype) -> np.ndarray:
        """Takes every record waiting behind ``function`` (a retrieval that
        gives the number waiting for a maxCount of 0) into a new array."""
        waiting = c_int32(0)
        self._call(function, 0, byref(waiting), None)
        out = np.zeros(waiting.value, dtype=dtype)
        if waiting.value:
            count = c_int32(0)
            self._call(function, waiting.value, byref(count), out.ctypes.data)
            out = out[:count.value]
        return out

    # -------------------------------------- dips, swells and interruptions
    def voltage_events(self) -> np.ndarray:
        """Takes every ended dip, swell and interruption waiting in the
        module (VOLTAGE_EVENT_DTYPE records, oldest first; see
        ``records.VOLTAGE_EVENT_TYPES``).  Needs ``voltage_events_enabled``
        and period values at the last reset."""
        return self._take_waiting("getVoltageEvents", VOLTAGE_EVENT_DTYPE)

    def voltage_events_in_progress(self) -> np.ndarray:
        """Copies of the events not ended yet (``ended`` 0, duration up to
        the latest value), dip, swell, interruption order; they stay in the
        module."""
        out = np.zeros(3, dtype=VOLTAGE_EVENT_DTYPE)
        count = c_int32(0)
        self._call("getVoltageEventsInProgress", len(out), byref(count), out.ctypes.data)
        return out[:count.value]

    # ------------------------------------------------------ 10-s frequency
    def ten_second_frequencies(self) -> np.ndarray:
        """Takes every completed 10-s interval waiting in the module
        (TEN_SECOND_FREQUENCY_DTYPE records, oldest first).  Needs
        ``ten_second_frequency_enabled`` and period values at the last
        reset; ``clock_time_at_sample_index_zero`` places the intervals on
        the clock."""
        return self._take_waiting("getTenSecondFrequencies", TEN_SECOND_FREQUENCY_DTYPE)

    # --------------------------------------------- grouped harmonic analysis
    def iec_harmonics_records(self) -> np.ndarray:
        """Takes the records of every delivered window waiting in the module
        (IEC_HARMONICS_DTYPE, oldest first).  Needs ``iec_harmonics_enabled``
        at the last rebuild."""
        return self._take_waiting("getIecHarmonics", IEC_HARMONICS_DTYPE)

    def iec_harmonics(self) -> "pd.DataFrame":
        """The waiting records as a table, one row per window and measured
        channel (see ``iec_harmonics.iec_frame``)."""
        return iec_frame(self.iec_harmonics_records())


_VOID_FUNCTIONS: Dict[Tuple[int, str], Any] = {}


def _copy_phase_rows(view: np.ndarray, offset: np.ndarray, width: int,
                     out_shape: Tuple[int, ...]) -> Optional[np.ndarray]:
    """The tables of ``harmonic_tables`` copied a record's phases at a time,
    or None where the phases' tables of a record do not lie one after the
    other.

    ``offset`` (fields, records, phases) holds where each table starts in
    ``view``. The library writes the tables of a record's phases back to
    back, so each (field, record) is one run of phases x width floats:
    indexing a sliding-window view of ``view`` with the runs' starts copies
    them all in one call, wherever the ring put them, several times faster
    than gathering every value by index."""
    fields, n, used = offset.shape
    if used > 1 and (np.diff(offset, axis=2) != width).any():
        return None
    row = used * width
    first = offset[:, :, 0]
    if int(first.max()) + row > len(view):
        return None
    runs = np.lib.stride_tricks.as_strided(view, shape=(len(view) - row + 1, row),
                                           strides=(view.strides[0],) * 2, writeable=False)
    picked = runs[first].reshape(fields, n, used, width)
    if used == out_shape[2]:
        return picked
    out = np.empty(out_shape, dtype=np.float32)
    out[:, :, used:] = np.nan
    out[:, :, :used] = picked
    return out


def _void_pointer_function(lib: Any, name: str):
    """The library function ``name`` with every pointer argument declared
    as ``void*``, so that addresses can be passed as integers."""
    key = (id(lib), name)
    fn = _VOID_FUNCTIONS.get(key)
    if fn is None:
        restype, argtypes = _native.PROTOTYPES[name]
        args = [c_void_p if (isinstance(a, type) and issubclass(a, ctypes._Pointer)) else a
                for a in argtypes]
        fn = ctypes.CFUNCTYPE(restype, *args)(ctypes.cast(getattr(lib, name), c_void_p).value)
        _VOID_FUNCTIONS[key] = (fn, lib)
    else:
        fn = fn[0]
    return fn


def _make_bool(stem: str) -> property:
    def to_native(value: bool) -> bool:
        if not isinstance(value, (bool, np.bool_, int, np.integer)):
            raise TypeError(f"{_snake(stem)} must be a bool")
        return bool(value)

    return _native_setting(stem, c_bool, f"Setting {stem} (get{stem}/set{stem}).", to_native, bool)


def _make_numeric(stem: str, ctype) -> property:
    def to_native(value):
        return float(value) if ctype is c_double else _check_int(_snake(stem), value, ctype)

    return _native_setting(stem, ctype, f"Setting {stem} (get{stem}/set{stem}).", to_native)


for _name, _stem in BOOL_PROPERTIES.items():
    setattr(Module, _name, _make_bool(_stem))
for _name, _stem in NUMERIC_PROPERTIES.items():
    setattr(Module, _name, _make_numeric(_stem, _native.NUMERIC_SETTINGS[_stem]))
for _name, _stem in VOLTAGE_EVENT_PROPERTIES.items():
    _type = _native.VOLTAGE_EVENT_SETTINGS[_stem]
    setattr(Module, _name, _make_bool(_stem) if _type is c_bool else _make_numeric(_stem, _type))
for _stem, _type in _native.IEC_HARMONICS_SETTINGS.items():
    setattr(Module, _snake(_stem), _make_bool(_stem) if _type is c_bool else _make_numeric(_stem, _type))
for _name, _stem in TEN_SECOND_FREQUENCY_PROPERTIES.items():
    _type = _native.TEN_SECOND_FREQUENCY_SETTINGS[_stem]
    setattr(Module, _name, _make_bool(_stem) if _type is c_bool else _make_numeric(_stem, _type))
