"""Binary COMTRADE data (BINARY, BINARY32, FLOAT32) through a numpy memmap.

Each record is: sample number (uint32), time stamp (uint32), one value per
analog channel (int16, int32 or float32), and one uint16 status word per 16
digital channels, little-endian.  Mapping the file with a structured dtype
means a read touches only the pages it needs, however large the file.
"""
from __future__ import annotations

from typing import Iterator, Optional, Tuple

import numpy as np

from .comtrade_cfg import ComtradeConfig
from .errors import RecordingError
from .recording import SampleBlock, iter_mapped_blocks

_VALUE_TYPES = {"BINARY": "<i2", "BINARY32": "<i4", "FLOAT32": "<f4"}
#: Raw value that marks a missing sample, per integer format.
MISSING = {"BINARY": -0x8000, "BINARY32": -0x80000000}
MISSING_TIME = 0xFFFFFFFF


def record_dtype(ft: str, n_analog: int, n_digital: int) -> np.dtype:
    """Structured dtype of one data record."""
    return np.dtype([
        ("n", "<u4"),
        ("t", "<u4"),
        ("a", _VALUE_TYPES[ft], (n_analog,)),
        ("d", "<u2", ((n_digital + 15) // 16,)),
    ])


#: Bytes of ASCII data records (digits, signs, separators, line ends).
_TEXT_BYTES = frozenset(b"0123456789+-.eE, \t\r\n")


def _refuse_text(path: str, offset: int, available: int, ft: str, display: str) -> None:
    """A data file whose first bytes are a text line of comma-separated
    numbers is ASCII data, whatever the configuration says: reading it as
    binary records would give numbers that look plausible and are not."""
    if available <= 0:
        return
    with open(path, "rb") as fh:
        fh.seek(offset)
        head = fh.read(min(available, 256))
    line = head.split(b"\n", 1)[0]
    if b"\n" in head and b"," in line and all(b in _TEXT_BYTES for b in head):
        first = line.strip().decode("ascii")[:60]
        raise RecordingError(
            f"the configuration says {ft} but the data file holds ASCII text (first line "
            f"{first!r}); correct the file type line of the .cfg to ASCII", path=display)


def _all_in_order(cols: np.ndarray, width: int) -> bool:
    return len(cols) == width and bool((cols == np.arange(width)).all())


def _scaled_extremes(lowest: np.ndarray, highest: np.ndarray, gain: np.ndarray,
                     offset: np.ndarray, missing: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Largest and smallest scaled value of each channel from its raw
    extremes: the scaling (the same multiplication and addition as the
    values') is monotonic, so these are the extremes of the scaled values
    to the bit; NaN for a channel with a missing sample."""
    a = lowest.astype(np.float64) * gain + offset
    b = highest.astype(np.float64) * gain + offset
    hi, lo = np.maximum(a, b), np.minimum(a, b)
    hi[missing] = lo[missing] = np.nan
    return hi, lo


class BinarySource:
    """SampleSource over the binary data of ``path`` starting at ``offset``."""

    def __init__(self, path: str, config: ComtradeConfig, *, offset: int = 0,
                 length: Optional[int] = None, display: Optional[str] = None) -> None:
        import os

        self.display = display or path
        self.dtype = record_dtype(config.ft, len(config.analog), len(config.digital))
        self.missing = MISSING.get(config.ft)
        size = os.path.getsize(path)
        available = size - offset if length is None else min(length, size - offset)
        if available < 0:
            available = 0
        rsize = self.dtype.itemsize
        have = available // rsize
        _refuse_text(path, offset, available, config.ft, self.display)
        self.notes = []
        want = config.n_samples
        if want is None:
            if available % rsize:
                raise RecordingError(
                    f"data size {available} bytes is not a whole number of {rsize}-byte "
                    f"records ({config.ft}, {len(config.analog)} analog, "
                    f"{len(config.digital)} digital channels)", path=self.display)
            want = have
        elif have < want:
            raise RecordingError(
                f"truncated data: configuration declares {want} samples ({want * rsize} bytes "
                f"of {rsize}-byte {config.ft} records) but only {available} bytes are present",
                path=self.display)
        elif have > want:
            self.notes.append(
                f"the configuration declares {want} samples (endsamp) but the data holds "
                f"{have}; only the first {want} are read")
        self.n_samples = int(want)
        self._map: Optional[np.memmap] = None
        if self.n_samples:
            self._map = np.memmap(path, dtype=self.dtype, mode="r", offset=offset,
                                  shape=(self.n_samples,))

    def _rows(self, start: int, count: int) -> np.ndarray:
        if self._map is None:
            raise ValueError("recording is closed")
        return self._map[start:start + count]

    def read_raw(self, start: int, count: int, cols: np.ndarray) -> np.ndarray:
        return self._read(start, count, cols, None, None)

    def read_scaled(self, start: int, count: int, cols: np.ndarray, gain: np.ndarray,
                    offset: np.ndarray) -> np.ndarray:
        """``read_raw`` times ``gain`` plus ``offset`` (per column), made in
        one pass per column while it is in the cache."""
        return self._read(start, count, cols, gain, offset)

    def _read(self, start: int, count: int, cols: np.ndarray, gain: Optional[np.ndarray],
              offset: Optional[np.ndarray]) -> np.ndarray:
        values = self._rows(start, count)["a"]
        if not _all_in_order(cols, values.shape[1]):
            values = values[:, cols]  # a copy; every channel in order converts in one pass
        # Channel-major, as the analysis reads each channel as one run. The
        # raw values are first gathered channel by channel out of the
        # interleaved records (small integers: a cheap pass), so that the
        # conversion and the check for the missing marker below run over
        # contiguous memory; a quarter faster than converting strided columns.
        raw = np.ascontiguousarray(values.T)
        out = np.empty(raw.shape, dtype=np.float64)
        if gain is None:
            out[...] = raw
        else:
            for k in range(raw.shape[0]):
                row = out[k]
                np.multiply(raw[k], gain[k], out=row)  # exact int -> float, then *
                row += offset[k]
        if self.missing is None or not raw.size:  # floats, or no rows
            return out.T
        # the marker is the type's smallest value: the channels' minima tell
        # whether any is there
        lowest, highest = raw.min(axis=1), raw.max(axis=1)
        missing = lowest == self.missing
        if missing.any():
            out[raw == self.missing] = np.nan
        if gain is None:
            return out.T
        return SampleBlock.of(out.T, _scaled_extremes(lowest, highest, gain, offset, missing))

    def iter_raw(self, start: int, chunk: int,
                 cols: np.ndarray) -> Iterator[Tuple[int, np.ndarray]]:
        return iter_mapped_blocks(self, self._map, start, chunk, cols)

    def iter_scaled(self, start: int, chunk: int, cols: np.ndarray, gain: np.ndarray,
                    offset: np.ndarray) -> Iterator[Tuple[int, np.ndarray]]:
        return iter_mapped_blocks(self, self._map, start, chunk, cols,
                                  read=lambda i, n, c: self.read_scaled(i, n, c, gain, offset))

    def timestamps(self, start: int, count: int) -> np.ndarray:
        """Raw time stamps as float64, NaN where marked missing."""
        t = self._rows(start, count)["t"]
        out = t.astype(np.float64)
        out[t == MISSING_TIME] = np.nan
        return out

    def close(self) -> None:
        if self._map is not None:
            mm = getattr(self._map, "_mmap", None)
            self._map = None
            if mm is not None:
                try:
                    mm.close()
                except BufferError:  # a view is still alive; let GC close it
                    pass
