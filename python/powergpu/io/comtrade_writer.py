"""Write COMTRADE recordings (cfg+dat or single-file cff).

Used by the test-suite, the benchmark and demos to produce files, so it favours
exactness: a and b are written with full float precision, the integer formats
use their whole range (quantisation error at most a/2 per sample), NaN is
written as the format's missing-value marker, and data is processed in
blocks so a memmap or lazily computed array of any length can be written.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from datetime import datetime
from io import BytesIO
from pathlib import Path
from typing import Any, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from .channel_info import ChannelInfo
from .comtrade_binary import MISSING, record_dtype
from .comtrade_cfg import DATA_FORMATS
from .comtrade_time import format_stamp
from .naming import classify_name

#: Largest raw magnitude used per integer format (the negative extreme of the
#: binary formats is the missing-value marker).
RAW_LIMIT = {"ASCII": 99998, "BINARY": 32767, "BINARY32": 2147483647}
_BLOCK = 65536
_EPOCH = datetime(1970, 1, 1)

ChannelDescription = Union[str, ChannelInfo, Mapping[str, Any]]


@dataclass(frozen=True)
class _Chan:
    name: str
    unit: str
    phase: str
    circuit: str
    primary: float
    secondary: float
    ps: str


def _describe(item: ChannelDescription) -> _Chan:
    if isinstance(item, str):
        kind, _ = classify_name(item)
        unit = {"voltage": "V", "current": "A"}.get(kind or "", "")
        chan = _Chan(item, unit, "", "", 1.0, 1.0, "P")
    elif isinstance(item, ChannelInfo):
        chan = _Chan(item.name, item.source_unit or item.unit, item.phase, item.circuit,
                     item.primary, item.secondary, item.ps)
    else:
        d = dict(item)
        chan = _Chan(str(d["name"]), str(d.get("unit", "")), str(d.get("phase", "")),
                     str(d.get("circuit", d.get("ccbm", ""))), float(d.get("primary", 1.0)),
                     float(d.get("secondary", 1.0)), str(d.get("ps", "P")).upper())
    for text in (chan.name, chan.unit, chan.phase, chan.circuit):
        if any(c in text for c in ",\r\n"):
            raise ValueError(f"channel field {text!r} may not contain commas or line breaks")
    if chan.ps not in ("P", "S"):
        raise ValueError(f"ps must be 'P' or 'S', got {chan.ps!r}")
    return chan


def _ranges(data: Any, n: int, n_ch: int) -> Tuple[np.ndarray, np.ndarray]:
    """Per-channel min and max of the finite values, in blocks."""
    lo = np.full(n_ch, np.inf)
    hi = np.full(n_ch, -np.inf)
    for i in range(0, n, _BLOCK):
        x = np.asarray(data[i:i + _BLOCK], dtype=np.float64).reshape(-1, n_ch)
        if np.isinf(x).any():
            raise ValueError("data contains infinite values")
        finite = ~np.isnan(x)
        lo = np.minimum(lo, np.where(finite, x, np.inf).min(axis=0))
        hi = np.maximum(hi, np.where(finite, x, -np.inf).max(axis=0))
    empty = lo > hi  # channel entirely missing
    lo[empty] = 0.0
    hi[empty] = 0.0
    return lo, hi


def choose_scaling(lo: np.ndarray, hi: np.ndarray, fmt: str) -> Tuple[np.ndarray, np.ndarray]:
    """(a, b) per channel so that [lo, hi] spans the raw range of ``fmt``."""
    if fmt == "FLOAT32":
        return np.ones_like(lo), np.zeros_like(lo)
    limit = RAW_LIMIT[fmt]
    b = (hi + lo) / 2.0
    a = (hi - lo) / (2.0 * limit)
    a[a == 0] = 1.0  # constant channel: raw 0 and value b
    return a, b


def _quantise(x: np.ndarray, a: np.ndarray, b: np.ndarray, fmt: str) -> np.ndarray:
    if fmt == "FLOAT32":
        return x.astype(np.float32)
    limit = RAW_LIMIT[fmt]
    with np.errstate(invalid="ignore"):
        raw = np.clip(np.rint((x - b) / a), -limit, limit)
    missing = np.isnan(x)
    raw[missing] = 0
    raw = raw.astype(np.int64)
    if fmt in MISSING:
        raw[missing] = MISSING[fmt]
    return raw


def _num(value: float) -> str:
    """Shortest text that reads back as exactly ``value``."""
    value = float(value)
    return str(int(value)) if value.is_integer() and abs(value) < 1e15 else repr(value)


def _cfg_text(chans: List[_Chan], digital_names: List[str], a: np.ndarray, b: np.ndarray,
              lo: np.ndarray, hi: np.ndarray, *, fmt: str, rev: int, station: str,
              device: str, line_frequency: float, sample_rate: float, n: int,
              start: datetime, timemult: float) -> str:
    n_a, n_d = len(chans), len(digital_names)
    lines = [f"{station},{device},{rev}", f"{n_a + n_d},{n_a}A,{n_d}D"]
    for i, c in enumerate(chans):
        if fmt == "FLOAT32":
            vmin, vmax = _num(float(np.float32(lo[i]))), _num(float(np.float32(hi[i])))
        else:
            vmin, vmax = str(-RAW_LIMIT[fmt]), str(RAW_LIMIT[fmt])
        lines.append(",".join([str(i + 1), c.name, c.phase, c.circuit, c.unit, _num(a[i]),
                               _num(b[i]), "0", vmin, vmax, _num(c.primary),
                               _num(c.secondary), c.ps]))
    for k, name in enumerate(digital_names):
        lines.append(f"{k + 1},{name},,,0")
    stamp = format_stamp(start)
    lines += [_num(line_frequency), "1", f"{_num(sample_rate)},{n}", stamp, stamp, fmt,
              _num(timemult)]
    if rev >= 2013:
        lines += ["0,0", "0,0"]
    return "\r\n".join(lines) + "\r\n"


def _pack_digital(bits: np.ndarray, n_words: int) -> np.ndarray:
    rows = bits.shape[0]
    padded = np.zeros((rows, n_words * 16), dtype=np.uint32)
    padded[:, :bits.shape[1]] = bits != 0
    weights = (1 << np.arange(16, dtype=np.uint32))
    return (padded.reshape(rows, n_words, 16) * weights).sum(axis=2).astype(np.uint16)


def _write_dat(fh: Any, data: Any, digital: Optional[np.ndarray], n: int, n_ch: int,
               a: np.ndarray, b: np.ndarray, fmt: str, sample_rate: float,
               timemult: float) -> None:
    n_d = 0 if digital is None else digital.shape[1]
    dtype = None if fmt == "ASCII" else record_dtype(fmt, n_ch, n_d)
    for i in range(0, n, _BLOCK):
        x = np.asarray(data[i:i + _BLOCK], dtype=np.float64).reshape(-1, n_ch)
        rows = x.shape[0]
        idx = np.arange(i, i + rows, dtype=np.float64)
        stamps = np.rint(idx * (1e6 / (sample_rate * timemult))).astype(np.int64)
        raw = _quantise(x, a, b, fmt)
        dig = (np.zeros((rows, 0), dtype=np.int64) if digital is None
               else np.asarray(digital[i:i + rows]).astype(np.int64) & 1)
        if dtype is not None:
            rec = np.zeros(rows, dtype=dtype)
            rec["n"] = idx + 1
            rec["t"] = stamps
            rec["a"] = raw
            if n_d:
                rec["d"] = _pack_digital(dig, dtype["d"].shape[0])
            fh.write(rec.tobytes())
            continue
        table = np.column_stack([idx.astype(np.int64) + 1, stamps, raw, dig])
        missing = np.isnan(x)
        if not missing.any():
            buf = BytesIO()
            np.savetxt(buf, table, fmt="%d", delimiter=",", newline="\r\n")
            fh.write(buf.getvalue())
        else:
            text = table.astype(str)
            text[:, 2:2 + n_ch][missing] = ""
            fh.write(("\r\n".join(",".join(r) for r in text) + "\r\n").encode())


def _paths(path: Union[str, "os.PathLike[str]"], cff: bool) -> Tuple[Path, Path]:
    p = Path(path)
    base = p.with_suffix("") if p.suffix.lower() in (".cfg", ".dat", ".cff") else p
    if cff:
        return base.parent / (base.name + ".cff"), base.parent / (base.name + ".cff")
    return base.parent / (base.name + ".cfg"), base.parent / (base.name + ".dat")


def write_comtrade(path: Union[str, "os.PathLike[str]"], data: Any, sample_rate: float,
                   channels: Sequence[ChannelDescription], *, fmt: str = "BINARY", rev: int = 1999,
                   cff: bool = False, station: str = "powergpu", device: str = "powergpu",
                   line_frequency: float = 50.0, start_time: Optional[datetime] = None,
                   digital: Optional[Any] = None,
                   digital_names: Optional[Sequence[str]] = None) -> Path:
    """Write ``data`` (n_samples x n_channels, in each channel's unit) as COMTRADE.

    ``data`` may be any 2-D array-like that supports row slicing (numpy array,
    memmap, or a lazy object); it is read in blocks, twice (range, then
    values).  ``channels`` gives one entry per column: a name, a ChannelInfo,
    or a mapping with keys name, unit, phase, circuit, primary, secondary, ps.
    ``digital`` optionally adds status channels (n_samples x n_digital of 0/1).
    Returns the path of the .cfg (or .cff) written.
    """
    fmt = fmt.upper()
    if fmt not in DATA_FORMATS:
        raise ValueError(f"fmt must be one of {', '.join(DATA_FORMATS)}, got {fmt!r}")
    if rev not in (1999, 2013):
        raise ValueError(f"rev must be 1999 or 2013, got {rev!r}")
    if cff and rev != 2013:
        raise ValueError("single-file .cff recordings exist only in revision 2013")
    if not (isinstance(sample_rate, (int, float)) and math.isfinite(sample_rate)
            and sample_rate > 0):
        raise ValueError(f"sample_rate must be positive, got {sample_rate!r}")
    shape = getattr(data, "shape", None)
    if shape is None or len(shape) != 2:
        raise ValueError("data must be 2-D (n_samples, n_channels)")
    n, n_ch = int(shape[0]), int(shape[1])
    chans = [_describe(c) for c in channels]
    if len(chans) != n_ch:
        raise ValueError(f"{len(chans)} channel descriptions for {n_ch} data columns")
    if n >= 0xFFFFFFFF:
        raise ValueError("too many samples for 32-bit sample numbers")
    if digital is not None:
        digital = np.asarray(digital) if not hasattr(digital, "shape") else digital
        if len(digital.shape) != 2 or digital.shape[0] != n:
            raise ValueError("digital must be (n_samples, n_digital)")
    n_d = 0 if digital is None else int(digital.shape[1])
    names = list(digital_names) if digital_names is not None else \
        [f"D{k + 1}" for k in range(n_d)]
    if len(names) != n_d:
        raise ValueError(f"{len(names)} digital names for {n_d} digital columns")

    lo, hi = _ranges(data, n, n_ch)
    a, b = choose_scaling(lo, hi, fmt)
    last_us = (n - 1) / sample_rate * 1e6 if n else 0.0
    timemult = float(math.ceil(last_us / 0xFFFFFFFE)) if last_us > 0xFFFFFFFE else 1.0
    cfg = _cfg_text(chans, names, a, b, lo, hi, fmt=fmt, rev=rev, station=station,
                    device=device, line_frequency=line_frequency, sample_rate=sample_rate,
                    n=n, start=start_time or _EPOCH, timemult=timemult)

    cfg_path, dat_path = _paths(path, cff)
    if cff:
        with open(cfg_path, "wb") as fh:
            fh.write(b"--- file type: CFG ---\r\n" + cfg.encode("utf-8"))
            fh.write(b"--- file type: INF ---\r\n--- file type: HDR ---\r\n")
            if fmt == "ASCII":
                fh.write(b"--- file type: DAT ASCII ---\r\n")
            else:
                size = n * record_dtype(fmt, n_ch, n_d).itemsize
                fh.write(f"--- file type: DAT BINARY: {size} ---\r\n".encode())
            _write_dat(fh, data, digital, n, n_ch, a, b, fmt, sample_rate, timemult)
        return cfg_path
    cfg_path.write_bytes(cfg.encode("utf-8"))
    with open(dat_path, "wb") as fh:
        _write_dat(fh, data, digital, n, n_ch, a, b, fmt, sample_rate, timemult)
    return cfg_path
