"""WAV recordings (RIFF/RF64): 8/16/24/32-bit integer PCM and 32/64-bit float.

The RIFF chunks are parsed here rather than with the stdlib ``wave`` module
because ``wave`` does not read float data, and because we want the data chunk
memory-mapped instead of read.  Integer samples are scaled so full scale is
+/-1 (16-bit: x/32768, 24-bit: x/2**23, 32-bit: x/2**31); a ``scale`` turns
that into physical units, per channel if it is a sequence.
"""
from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from typing import Iterator, Optional, Sequence, Tuple, Union

import numpy as np

from .channel_info import ChannelInfo
from .errors import RecordingError
from .recording import Recording, iter_mapped_blocks

_PCM, _FLOAT, _EXTENSIBLE = 1, 3, 0xFFFE
_DTYPES = {(_PCM, 8): "u1", (_PCM, 16): "<i2", (_PCM, 24): "u1", (_PCM, 32): "<i4",
           (_FLOAT, 32): "<f4", (_FLOAT, 64): "<f8"}


@dataclass
class WavLayout:
    tag: int
    channels: int
    rate: int
    bits: int
    block_align: int
    data_offset: int
    data_size: int


def parse_wav_header(path: str) -> WavLayout:
    """Walk the RIFF chunks and return the format and where the samples are."""
    size = os.path.getsize(path)
    with open(path, "rb") as fh:
        head = fh.read(12)
        if len(head) < 12 or head[:4] not in (b"RIFF", b"RF64") or head[8:12] != b"WAVE":
            raise RecordingError("not a WAV file (no RIFF/WAVE header)", path=path)
        rf64 = head[:4] == b"RF64"
        big_data: Optional[int] = None
        fmt: Optional[Tuple[int, int, int, int, int]] = None
        data: Optional[Tuple[int, int]] = None
        pos = 12
        while pos + 8 <= size and (fmt is None or data is None):
            fh.seek(pos)
            cid, csize = struct.unpack("<4sI", fh.read(8))
            body = pos + 8
            if cid == b"ds64" and csize >= 16:
                raw = fh.read(16)
                if len(raw) == 16:
                    big_data = struct.unpack("<QQ", raw)[1]
            elif cid == b"fmt ":
                raw = fh.read(min(csize, 40))
                if csize < 16 or len(raw) < 16:
                    raise RecordingError("WAV format chunk too short", path=path)
                tag, ch, rate, _, align, bits = struct.unpack("<HHIIHH", raw[:16])
                if tag == _EXTENSIBLE and len(raw) >= 26:
                    tag = struct.unpack("<H", raw[24:26])[0]
                fmt = (tag, ch, rate, align, bits)
            elif cid == b"data":
                length = csize
                if rf64 and csize == 0xFFFFFFFF and big_data is not None:
                    length = big_data
                elif csize in (0, 0xFFFFFFFF):
                    length = size - body  # written by a streaming tool that never patched it
                if body + length > size:
                    raise RecordingError(
                        f"truncated WAV data: header declares {length} bytes, "
                        f"{size - body} present", path=path)
                data = (body, length)
                if fmt is not None:
                    break
            pos = body + csize + (csize & 1)
    if fmt is None:
        raise RecordingError("WAV file has no format chunk", path=path)
    if data is None:
        raise RecordingError("WAV file has no data chunk", path=path)
    tag, ch, rate, align, bits = fmt
    if (tag, bits) not in _DTYPES:
        kind = {1: "integer PCM", 3: "float"}.get(tag, f"format tag {tag:#x}")
        raise RecordingError(f"unsupported WAV encoding: {bits}-bit {kind}", path=path)
    if ch < 1 or rate < 1 or align != ch * bits // 8:
        raise RecordingError(f"inconsistent WAV format: {ch} channels, {rate} Hz, "
                             f"{bits} bits, block align {align}", path=path)
    return WavLayout(tag, ch, rate, bits, align, data[0], data[1])


class WavSource:
    """SampleSource over a memory-mapped WAV data chunk."""

    def __init__(self, path: str, layout: WavLayout) -> None:
        self.layout = layout
        self.n_samples = layout.data_size // layout.block_align
        self._map: Optional[np.memmap] = None
        if self.n_samples:
            shape: Tuple[int, ...] = (self.n_samples, layout.channels)
            if layout.bits == 24:
                shape += (3,)
            self._map = np.memmap(path, dtype=_DTYPES[(layout.tag, layout.bits)], mode="r",
                                  offset=layout.data_offset, shape=shape)

    def read_raw(self, start: int, count: int, cols: np.ndarray) -> np.ndarray:
        if self._map is None:
            raise ValueError("recording is closed")
        block = self._map[start:start + count, cols]
        bits = self.layout.bits
        if bits == 24:
            b = block.astype(np.int32)
            v = b[..., 0] | (b[..., 1] << 8) | (b[..., 2] << 16)
            return ((v ^ 0x800000) - 0x800000).astype(np.float64)
        out = block.astype(np.float64)
        if bits == 8:
            out -= 128.0
        return out

    def iter_raw(self, start: int, chunk: int,
                 cols: np.ndarray) -> Iterator[Tuple[int, np.ndarray]]:
        return iter_mapped_blocks(self, self._map, start, chunk, cols)

    def close(self) -> None:
        self._map = None


def open_wav(path: "os.PathLike[str] | str", *, sample_rate: Optional[float] = None,
             scale: Union[None, float, Sequence[float]] = None) -> Recording:
    """Open a WAV file.  ``scale`` multiplies the +/-1 full-scale values (one
    number for all channels or one per channel)."""
    p = os.fspath(path)
    layout = parse_wav_header(p)
    n_ch = layout.channels
    scales = np.asarray(1.0 if scale is None else scale, dtype=np.float64)
    if scales.ndim == 0:
        scales = np.full(n_ch, float(scales))
    elif scales.shape != (n_ch,):
        raise ValueError(f"scale has {scales.size} values for {n_ch} channels")
    full = 1.0 if layout.tag == _FLOAT else float(2 ** (layout.bits - 1))
    channels = [ChannelInfo(index=i, name=f"ch{i + 1}", unit="", phase="", kind="other",
                            gain=float(scales[i]) / full) for i in range(n_ch)]
    rate = float(sample_rate) if sample_rate is not None else float(layout.rate)
    metadata = {"format": "WAV", "bits": layout.bits,
                "encoding": "float" if layout.tag == _FLOAT else "pcm",
                "file_sample_rate": layout.rate}
    return Recording(p, WavSource(p, layout), channels, rate, metadata=metadata)
