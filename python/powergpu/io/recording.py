"""The format-independent ``Recording`` returned by ``open_recording``.

Readers only know how to fetch raw numbers (a ``SampleSource``); this class
owns everything users see: argument checking, channel selection by name or
index, and the raw -> physical scaling, so every format behaves the same.
"""
from __future__ import annotations

import os
from datetime import datetime
from typing import Any, Callable, Dict, Iterator, List, Optional, Protocol, Sequence, Tuple, Union

import numpy as np

from .channel_info import ChannelInfo
from .errors import RecordingError

ChannelSelector = Union[int, str]

#: Default rows per chunk: 65536 x 8 channels of float64 is 4 MiB.
DEFAULT_CHUNK = 65536
#: Rows scaled together as one row (see ``Recording._scale``).
WIDE_ROWS = 8


class SampleBlock(np.ndarray):
    """A block of scaled samples that also carries the largest and smallest
    value of each column (``extremes``: (highest, lowest), NaN for a column
    holding a NaN), where the reader had them for less than a pass over the
    block costs (from the raw integers). Any array made from it (a slice, a
    view, a result) has ``extremes`` None: its values may differ."""

    extremes: Optional[Tuple[np.ndarray, np.ndarray]] = None

    def __array_finalize__(self, obj: Any) -> None:
        self.extremes = None

    @staticmethod
    def of(values: np.ndarray, extremes: Tuple[np.ndarray, np.ndarray]) -> "SampleBlock":
        block = values.view(SampleBlock)
        block.extremes = extremes
        return block


def block_extremes(block: Any) -> Optional[Tuple[np.ndarray, np.ndarray]]:
    """The extremes a ``SampleBlock`` carries (None for other arrays)."""
    return getattr(block, "extremes", None) if isinstance(block, SampleBlock) else None


def release_mapped(array: Optional[np.ndarray], rows: int, first: int = 0) -> None:
    """Drops the resident pages of the memory-mapped ``array`` that hold its
    rows from ``first`` up to ``rows`` (they are read again from the file if
    touched); a sequential reader passes where its last call ended, so that
    each call walks only the pages of its own block.

    A sequential read of a mapped file otherwise leaves every page it
    touched resident in the process, so its memory would grow with the
    length of the file.  Does nothing where the platform cannot do it."""
    import mmap

    mm = getattr(array, "_mmap", None)
    advice = getattr(mmap, "MADV_DONTNEED", None)
    if mm is None or advice is None or rows <= first or not hasattr(mm, "madvise"):
        return
    try:
        base = array.__array_interface__["data"][0]
        start = base - array.offset % mmap.ALLOCATIONGRANULARITY  # the mapping's start
        end = base + rows * array.strides[0] - start
        end -= end % mmap.PAGESIZE
        begin = base + first * array.strides[0] - start
        begin -= begin % mmap.PAGESIZE
        end = min(end, len(mm))
        if end > begin:
            mm.madvise(advice, begin, end - begin)
    except (OSError, ValueError, AttributeError, TypeError):
        pass


class SampleSource(Protocol):
    """What a format reader provides: raw values with NaN where data is missing."""

    n_samples: int

    def read_raw(self, start: int, count: int, cols: np.ndarray) -> np.ndarray:
        """Rows [start, start+count) of the given analog columns, float64."""

    def iter_raw(self, start: int, chunk: int,
                 cols: np.ndarray) -> Iterator[Tuple[int, np.ndarray]]:
        """Sequential blocks from ``start`` to the end, each at most ``chunk`` rows."""

    def close(self) -> None:
        """Release memory maps or handles."""

    # Optional: iter_scaled(start, chunk, cols, gain, offset), the blocks of
    # iter_raw already multiplied by gain and offset added (column by column,
    # the same values as scaling afterwards, one pass over the data fewer).


def iter_mapped_blocks(source: "SampleSource", mapped: Optional[np.ndarray], start: int, chunk: int,
                       cols: np.ndarray,
                       read: Optional[Callable[[int, int, np.ndarray], np.ndarray]] = None
                       ) -> Iterator[Tuple[int, np.ndarray]]:
    """Sequential blocks of a memory-mapped source: each block is read with
    ``read`` (default ``source.read_raw``) and the pages behind it are
    released, so memory stays at one block whatever the file length."""
    read = read or source.read_raw
    for i in range(start, source.n_samples, chunk):
        count = min(chunk, source.n_samples - i)
        block = read(i, count, cols)
        release_mapped(mapped, i + count, first=i)
        yield i, block


class Recording:
    """A sampled multi-channel recording, read lazily.

    ``read`` and ``chunks`` return float64 arrays of shape (rows, channels) in
    physical units (V and A for voltage and current channels).  Nothing is
    loaded until asked for, so memory use follows the size of the request, not
    the size of the file.
    """

    def __init__(self, path: "os.PathLike[str] | str", source: SampleSource,
                 channels: Sequence[ChannelInfo], sample_rate: float, *,
                 nominal_frequency: Optional[float] = None,
                 start_time: Optional[datetime] = None,
                 metadata: Optional[Dict[str, Any]] = None) -> None:
        self.path = os.fspath(path)
        self.sample_rate = float(sample_rate)
        self.nominal_frequency = nominal_frequency
        self.start_time = start_time
        self.channels: List[ChannelInfo] = list(channels)
        self.metadata: Dict[str, Any] = dict(metadata or {})
        self._source = source
        self._closed = False
        self._gain = np.array([c.gain for c in self.channels], dtype=np.float64)
        self._offset = np.array([c.offset for c in self.channels], dtype=np.float64)

    # -- description ---------------------------------------------------------
    @property
    def n_samples(self) -> int:
        return int(self._source.n_samples)

    @property
    def notes(self) -> List[str]:
        """Mismatches found while opening the file that do not stop reading
        it (sentences)."""
        return list(getattr(self._source, "notes", []) or [])

    @property
    def duration(self) -> float:
        """Length in seconds (n_samples / sample_rate)."""
        return self.n_samples / self.sample_rate

    @property
    def channel_names(self) -> List[str]:
        return [c.name for c in self.channels]

    def channel_index(self, selector: ChannelSelector) -> int:
        """Index of a channel given by position or by name (exact, then
        case-insensitive if that is unambiguous)."""
        if isinstance(selector, (bool, np.bool_)):
            raise RecordingError(f"channel selector {selector!r} is not an index or a name",
                                 path=self.path)
        if isinstance(selector, (int, np.integer)):
            idx = int(selector)
            if not 0 <= idx < len(self.channels):
                raise RecordingError(
                    f"channel index {idx} out of range (0..{len(self.channels) - 1})",
                    path=self.path)
            return idx
        if isinstance(selector, str):
            exact = [c.index for c in self.channels if c.name == selector]
            if len(exact) == 1:
                return exact[0]
            folded = [c.index for c in self.channels
                      if c.name.casefold() == selector.casefold()]
            if len(exact) > 1 or len(folded) > 1:
                same = exact if len(exact) > 1 else folded
                raise RecordingError(
                    f"channel name {selector!r} is ambiguous: channels "
                    f"{', '.join(map(str, same))} are all named so; give the index instead",
                    path=self.path)
            if folded:
                return folded[0]
            names = ", ".join(self.channel_names) or "(none)"
            raise RecordingError(f"no channel named {selector!r}; channels are: {names}",
                                 path=self.path)
        raise RecordingError(f"channel selector {selector!r} is not an index or a name",
                             path=self.path)

    def _columns(self, channels: Optional[Union[ChannelSelector, Sequence[ChannelSelector]]]
                 ) -> np.ndarray:
        if channels is None:
            return np.arange(len(self.channels), dtype=np.intp)
        if isinstance(channels, (str, int, np.integer)):
            channels = [channels]
        return np.array([self.channel_index(c) for c in channels], dtype=np.intp)

    def _scale(self, raw: np.ndarray, cols: np.ndarray) -> np.ndarray:
        gain, offset = self._gain[cols], self._offset[cols]
        rest = raw
        rows = len(raw) - len(raw) % WIDE_ROWS
        if rows and cols.size and raw.flags.c_contiguous:
            # numpy broadcasts a few channels over many rows slowly: eight
            # rows at a time as one wide row take half the time, same values
            wide = raw[:rows].reshape(-1, WIDE_ROWS * cols.size)
            wide *= np.tile(gain, WIDE_ROWS)
            wide += np.tile(offset, WIDE_ROWS)
            rest = raw[rows:]
        rest *= gain
        rest += offset
        return raw

    # -- data ----------------------------------------------------------------
    def read(self, start: int = 0, count: Optional[int] = None,
             channels: Optional[Sequence[ChannelSelector]] = None) -> np.ndarray:
        """Samples [start, start+count) as float64 (count, len(channels)).

        ``count=None`` reads to the end.  Asking beyond the end is an error
        rather than a silent short read, so callers never misalign blocks.
        """
        self._require_open()
        n = self.n_samples
        start = int(start)
        if not 0 <= start <= n:
            raise ValueError(f"start {start} outside 0..{n}")
        count = n - start if count is None else int(count)
        if count < 0 or start + count > n:
            raise ValueError(f"cannot read {count} samples from {start}: recording has {n}")
        cols = self._columns(channels)
        if count == 0 or cols.size == 0:
            return np.empty((count, cols.size), dtype=np.float64)
        try:
            raw = self._source.read_raw(start, count, cols)
        except OSError as exc:
            raise RecordingError(f"cannot read: {exc.strerror or exc}", path=self.path) from None
        return self._scale(raw, cols)

    def chunks(self, chunk_samples: int = DEFAULT_CHUNK,
               channels: Optional[Sequence[ChannelSelector]] = None,
               start: int = 0) -> Iterator[Tuple[int, np.ndarray]]:
        """Yield (start_index, block) pairs covering the recording in order.

        Text formats are parsed sequentially here (no seeking per block), so
        this is the fast path for whole-file analysis; memory stays at one block.
        """
        self._require_open()
        if chunk_samples <= 0:
            raise ValueError("chunk_samples must be positive")
        n = self.n_samples
        if not 0 <= start <= n:
            raise ValueError(f"start {start} outside 0..{n}")
        cols = self._columns(channels)
        if start == n:
            return
        if cols.size == 0:
            for i in range(start, n, chunk_samples):
                yield i, np.empty((min(chunk_samples, n - i), 0), dtype=np.float64)
            return
        scaled = getattr(self._source, "iter_scaled", None)
        try:
            if scaled is not None:  # the source converts and scales in one pass
                yield from scaled(start, int(chunk_samples), cols, self._gain[cols],
                                  self._offset[cols])
                return
            for i, raw in self._source.iter_raw(start, int(chunk_samples), cols):
                yield i, self._scale(raw, cols)
        except OSError as exc:
            raise RecordingError(f"cannot read: {exc.strerror or exc}", path=self.path) from None

    # -- lifetime ------------------------------------------------------------
    def close(self) -> None:
        self._closed = True
        self._source.close()

    def _require_open(self) -> None:
        if self._closed:
            raise ValueError("recording is closed")

    def __enter__(self) -> "Recording":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"Recording(path={self.path!r}, n_samples={self.n_samples}, "
                f"sample_rate={self.sample_rate:g}, channels={self.channel_names!r})")
