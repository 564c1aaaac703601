"""numpy structured dtypes with the byte layout of the library's records.

Field names are those of the C structs.  ``PowerDouble2`` values (real,
imaginary doubles) are ``complex128``; pointers are ``uint64`` addresses
(0 for a null pointer); C ``bool`` is a one-byte ``bool``.
"""
from __future__ import annotations

import ctypes
from typing import List, Tuple

import numpy as np

__all__ = [
    "THD_DTYPE", "SYMMETRICAL_DTYPE", "CHANNEL_DTYPE", "GENERAL_DTYPE", "RVC_DTYPE",
    "PERIOD_DTYPE", "VOLTAGE_EVENT_DTYPE", "VOLTAGE_EVENT_TYPES", "TEN_SECOND_FREQUENCY_DTYPE", "DTYPES", "CHANNEL_POINTER_FIELDS", "concatenate_records",
]


def _struct(fields: List[Tuple[str, object, int]], itemsize: int) -> np.dtype:
    names = [f[0] for f in fields]
    formats = [f[1] for f in fields]
    offsets = [f[2] for f in fields]
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": itemsize})


def _sequential(names: List[str], fmt: str, size: int, start: int = 0):
    return [(n, fmt, start + size * k) for k, n in enumerate(names)]


#: PowerResultsThd, 72 bytes.
THD_DTYPE = _struct(_sequential(
    ["thd", "thdEven", "thdOdd", "thdOddTriplen", "thdOddNonTriplen", "thdRms",
     "harmonicRms", "distortionRms", "distortion"], "<f8", 8), 72)

#: PowerResultsSymmetricalComponent, 168 bytes.
SYMMETRICAL_DTYPE = _struct(
    [("u", "<c16", 0), ("uL", "<c16", 16), ("i", "<c16", 32)]
    + _sequential(["uMagnitude", "uLMagnitude", "iMagnitude", "p", "q", "s", "iActive",
                   "iReactive", "lambda", "rmsU", "rmsI", "rmsURatio", "rmsIRatio", "uRatio",
                   "iRatio"], "<f8", 8, 48), 168)

_CHANNEL_DOUBLES = ["meanAbsU", "meanAbsI", "meanAbsUL", "rmsU", "rmsI", "rmsUL", "p", "rmsFftU",
                    "rmsFftI", "rmsFftUL", "h1U", "h1I", "h1UL", "pFft", "nonActivePower", "s",
                    "lambda", "d1", "q", "d", "p1", "q1", "s1", "cosPhi1", "q1Sum", "z", "z1"]
_CHANNEL_THD = ["thdU", "thdI", "thdUL", "thdInterU", "thdInterI", "thdInterUL"]

#: Pointer fields of a channel block, in layout order.
CHANNEL_POINTER_FIELDS = ("fftU", "fftI", "fftUL", "harmonicsU", "harmonicsI", "harmonicsUL",
                          "interharmonicsU", "interharmonicsI", "interharmonicsUL", "harmonicsP",
                          "harmonicsQ", "harmonicsS", "harmonicsZ", "phasesU", "phasesI")

#: PowerResultsChannel, 776 bytes (97 eight-byte fields).
CHANNEL_DTYPE = _struct(
    _sequential(_CHANNEL_DOUBLES, "<f8", 8)
    + [(n, THD_DTYPE, 216 + 72 * k) for k, n in enumerate(_CHANNEL_THD)]
    + [("harmonicRmsI", "<f8", 648)]
    + _sequential(list(CHANNEL_POINTER_FIELDS), "<u8", 8, 656), 776)

#: PowerResultsGeneral, 3808 bytes.
GENERAL_DTYPE = _struct([
    ("time", "<f8", 0),
    ("frequency", "<f8", 8),
    ("dFrequency", "<f8", 16),
    ("referenceAngle", "<f8", 24),
    ("firstSampleIndex", "<u8", 32),
    ("length", "<u4", 40),
    ("fftOutputLength", "<u4", 44),
    ("harmonicLength", "<u4", 48),
    ("phasesCount", "u1", 52),
    ("reserved", ("u1", (3,)), 53),
    ("channels", (CHANNEL_DTYPE, (4,)), 56),
    ("symmetricalResults", (SYMMETRICAL_DTYPE, (3,)), 3160),
    ("clarkeU", ("<c16", (3,)), 3664),
    ("parkU", ("<f8", (3,)), 3712),
    ("clarkeI", ("<c16", (3,)), 3736),
    ("parkI", ("<f8", (3,)), 3784),
], 3808)

#: RvcResult, 40 bytes.
RVC_DTYPE = _struct([
    ("stateChanged", "?", 0),
    ("firstValue", "?", 1),
    ("reserved0", ("u1", (2,)), 2),
    ("state", "<i4", 4),
    ("eventEnded", "?", 8),
    ("reserved1", ("u1", (3,)), 9),
    ("eventCount", "<u4", 12),
    ("deltaUss", "<f4", 16),
    ("deltaUmax", "<f4", 20),
    ("duration", "<f8", 24),
    ("time", "<f8", 32),
], 40)

#: PowerResultsPeriod, 392 bytes.
PERIOD_DTYPE = _struct(
    _sequential(["time", "frequency", "rmsU", "rmsI", "rmsUL", "p", "nonActivePower", "s",
                 "lambda", "h1U", "h1I", "reserved", "p1", "q1", "q1Sum", "s1", "phi1"],
                "<f8", 8)
    + [("valid", "?", 136), ("reserved1", ("u1", (7,)), 137), ("rvcU", RVC_DTYPE, 144),
       ("rvcUL", RVC_DTYPE, 184), ("symmetricalComponent", SYMMETRICAL_DTYPE, 224)], 392)

#: PowerVoltageEvent, 64 bytes (an extension: dips, swells, interruptions).
VOLTAGE_EVENT_DTYPE = _struct([
    ("type", "<i4", 0),
    ("phases", "<u4", 4),
    ("index", "<u4", 8),
    ("extremePhase", "<i4", 12),
    ("startTime", "<f8", 16),
    ("duration", "<f8", 24),
    ("extreme", "<f8", 32),
    ("extremePercent", "<f8", 40),
    ("referenceVoltage", "<f8", 48),
    ("ended", "<i4", 56),
    ("valueCount", "<i4", 60),
], 64)

#: PowerTenSecondFrequency, 48 bytes (an extension: the 10-s frequency).
TEN_SECOND_FREQUENCY_DTYPE = _struct([
    ("startTime", "<f8", 0),
    ("frequency", "<f8", 8),
    ("cycleDuration", "<f8", 16),
    ("index", "<u4", 24),
    ("cycleCount", "<u4", 28),
    ("invalidCycleCount", "<u4", 32),
    ("straddlingCycleCount", "<u4", 36),
    ("flagged", "<i4", 40),
    ("reserved", "<i4", 44),
], 48)

#: POWER_VOLTAGE_EVENT_* value -> name.
VOLTAGE_EVENT_TYPES = {1: "dip", 2: "swell", 3: "interruption"}

#: C struct name -> dtype.
DTYPES = {
    "PowerResultsThd": THD_DTYPE,
    "PowerResultsSymmetricalComponent": SYMMETRICAL_DTYPE,
    "PowerResultsChannel": CHANNEL_DTYPE,
    "PowerResultsGeneral": GENERAL_DTYPE,
    "RvcResult": RVC_DTYPE,
    "PowerResultsPeriod": PERIOD_DTYPE,
    "PowerVoltageEvent": VOLTAGE_EVENT_DTYPE,
    "PowerTenSecondFrequency": TEN_SECOND_FREQUENCY_DTYPE,
}


class RecordBuffer:
    """Records of one structured dtype gathered in one growing array, so
    that batches fetched one by one are copied once (into here) rather than
    copied out and then concatenated.  The copies are of bytes: numpy's
    copy of a nested structured dtype goes field by field, about twenty
    times slower.  ``take()`` hands the gathered records over and starts a
    new array."""

    def __init__(self, dtype: np.dtype, tail: Tuple[int, ...] = (), capacity: int = 1024) -> None:
        self.dtype = np.dtype(dtype)
        self.tail = tuple(tail)
        self.row_bytes = self.dtype.itemsize * int(np.prod(self.tail, dtype=np.int64))
        self._initial = max(int(capacity), 1)
        self._bytes = np.empty((self._initial, self.row_bytes), dtype=np.uint8)
        self.count = 0

    def _room_for(self, n: int) -> None:
        need = self.count + n
        if need > len(self._bytes):
            grown = np.empty((max(need, 2 * len(self._bytes)), self.row_bytes), dtype=np.uint8)
            grown[:self.count] = self._bytes[:self.count]
            self._bytes = grown

    def extend_from_address(self, address: int, n: int) -> None:
        """Appends ``n`` records that lie at ``address`` (memory the caller
        vouches for, such as a library's result buffer)."""
        if n <= 0:
            return
        self._room_for(n)
        ctypes.memmove(self._bytes[self.count].ctypes.data, address, n * self.row_bytes)
        self.count += n

    def take(self) -> np.ndarray:
        """The gathered records (owned by the caller from now on)."""
        out = self._bytes[:self.count].reshape(-1).view(self.dtype).reshape((-1,) + self.tail)
        self._bytes = np.empty((max(self._initial, self.count), self.row_bytes), dtype=np.uint8)
        self.count = 0
        return out


def concatenate_records(parts: List[np.ndarray]) -> np.ndarray:
    """``np.concatenate(parts)`` (along the first axis) for arrays of one
    structured dtype, copied as bytes: numpy's own concatenation compares
    the nested field layouts first, which costs far more than the copy."""
    if len(parts) == 1:
        return parts[0]
    dtype = parts[0].dtype
    tail = parts[0].shape[1:]
    for p in parts:
        if p.dtype != dtype or p.shape[1:] != tail:
            return np.concatenate(parts)
    raw = np.concatenate([np.ascontiguousarray(p).reshape(-1).view(np.uint8) for p in parts])
    return raw.view(dtype).reshape((-1,) + tail)
