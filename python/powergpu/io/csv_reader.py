"""CSV recordings: one header row, then one row per sample.

The delimiter is whichever of ``;`` ``,`` or tab the header uses most; with
``;`` or tab a comma inside numbers is read as the decimal mark (spreadsheet
exports in many locales).  A column called time, t or seconds (optionally
with a unit: "time [s]") gives the sampling rate; without one the caller must
pass ``sample_rate``.  Column headers may carry units: "Ua [kV]", "Ib (A)".
"""
from __future__ import annotations

import os
import re
from typing import Callable, Iterator, List, Optional, Tuple

import numpy as np

from .channel_info import ChannelInfo, infer_kind, normalise_unit
from .errors import RecordingError
from .rate import rate_from_timestamps
from .recording import Recording
from .text_lines import LineIndex
from .text_table import parse_rows, table_batches
from .textio import decode_text

_TIME_NAMES = {"time", "t", "seconds", "sec", "s", "time_s", "t_s", "times"}
_UNIT_RE = re.compile(r"^(?P<name>.*?)\s*[\[(]\s*(?P<unit>[^\])]*?)\s*[\])]\s*$")
_MAX_HEADER = 1 << 20


def split_header_name(header: str) -> Tuple[str, str]:
    """"Ua [kV]" -> ("Ua", "kV"); "Ua" -> ("Ua", "")."""
    m = _UNIT_RE.match(header)
    if m and m.group("name"):
        return m.group("name").strip(), m.group("unit").strip()
    return header.strip(), ""


_TIME_UNITS = {"": 1.0, "s": 1.0, "sec": 1.0, "ms": 1e-3, "us": 1e-6, "\u00b5s": 1e-6,
               "\u03bcs": 1e-6, "ns": 1e-9}


def _time_factor(name: str, unit: str) -> Optional[float]:
    """Seconds per unit if this header names the time column, else None."""
    if name.strip().lower().replace(" ", "_") not in _TIME_NAMES:
        return None
    return _TIME_UNITS.get(unit.strip().lower())


def _header(path: str, encoding: Optional[str]) -> Tuple[str, int, int]:
    """(header text, physical line number, byte offset after the header line)."""
    with open(path, "rb") as fh:
        line_no, pos = 0, 0
        while True:
            raw = fh.readline(_MAX_HEADER + 1)
            if not raw:
                raise RecordingError("empty file: no header row", path=path)
            if len(raw) > _MAX_HEADER:
                raise RecordingError("header row longer than 1 MiB; not a CSV file?",
                                     path=path, line=line_no + 1)
            line_no += 1
            pos += len(raw)
            if raw.strip():
                return decode_text(raw, encoding, path).strip("\r\n"), line_no, pos


class CsvSource:
    """SampleSource over the data rows of a CSV file."""

    def __init__(self, path: str, index: LineIndex, n_fields: int, delimiter: bytes,
                 decimal_comma: bool, value_cols: List[int], time_col: Optional[int],
                 names: List[str]) -> None:
        self.display = path
        self.index = index
        self.n_fields = n_fields
        self.delimiter = delimiter
        self.decimal_comma = decimal_comma
        self.value_cols = np.asarray(value_cols, dtype=np.intp)
        self.time_col = time_col
        self.names = names
        self.n_samples = index.n_records

    def _parse(self, lines: List[bytes], numbers: List[int]) -> np.ndarray:
        return parse_rows(lines, numbers, self.n_fields, path=self.display,
                          delimiter=self.delimiter, decimal_comma=self.decimal_comma,
                          field_names=self.names)

    def _batches(self, start: int, count: int, rows: int,
                 select: Callable[[np.ndarray], np.ndarray]) -> Iterator[np.ndarray]:
        return table_batches(self.index.iter_records(start), count, rows, self._parse, select)

    def read_raw(self, start: int, count: int, cols: np.ndarray) -> np.ndarray:
        sel = self.value_cols[cols]
        out = next(self._batches(start, count, count, lambda t: t[:, sel]), None)
        if out is None or out.shape[0] != count:
            raise RecordingError("data ended early (file changed while open?)",
                                 path=self.display)
        return out

    def iter_raw(self, start: int, chunk: int,
                 cols: np.ndarray) -> Iterator[Tuple[int, np.ndarray]]:
        sel = self.value_cols[cols]
        i = start
        for block in self._batches(start, self.n_samples - start, chunk, lambda t: t[:, sel]):
            yield i, block
            i += block.shape[0]

    def times(self, start: int, count: int) -> np.ndarray:
        col = self.time_col
        out = next(self._batches(start, count, count, lambda t: t[:, col]), None)
        return out if out is not None else np.empty(0)

    def close(self) -> None:
        pass


def _decimals(cell: bytes) -> int:
    text = cell.strip().replace(b",", b".")
    if b"e" in text.lower() or b"." not in text:
        return 0
    return len(text.split(b".", 1)[1])


def open_csv(path: "os.PathLike[str] | str", *, sample_rate: Optional[float] = None,
             encoding: Optional[str] = None) -> Recording:
    """Open a CSV recording; see the module docstring for the accepted layout."""
    p = os.fspath(path)
    header, header_line, data_start = _header(p, encoding)
    counts = {d: header.count(d) for d in (";", ",", "\t")}
    delim = max(counts, key=lambda d: counts[d]) if any(counts.values()) else ","
    columns = [c.strip().strip('"').strip("'").strip() for c in header.split(delim)]
    if len(columns) > 1 and not columns[-1]:
        columns.pop()  # trailing delimiter
    parsed = [split_header_name(c or f"column {i + 1}") for i, c in enumerate(columns)]
    time_cols = [i for i, (n, u) in enumerate(parsed) if _time_factor(n, u) is not None]
    time_col = time_cols[0] if time_cols else None
    value_cols = [i for i in range(len(columns)) if i != time_col]

    index = LineIndex.build(p, data_start, None, header_line + 1)
    first = next(index.iter_records(0), None)
    decimal_comma = delim != "," and first is not None and b"," in first[1]

    names = [n for n, _ in parsed]
    source = CsvSource(p, index, len(columns), delim.encode(), decimal_comma, value_cols,
                       time_col, names)
    if sample_rate is not None:
        rate = float(sample_rate)
    elif time_col is not None:
        step = _time_factor(*parsed[time_col]) or 1.0
        quantum = 0.0
        if first is not None:  # printed resolution of the time column
            cells = first[1].split(delim.encode())
            digits = _decimals(cells[time_col]) if time_col < len(cells) else 0
            quantum = 10.0 ** -digits * step if digits else 0.0
        rate = rate_from_timestamps(source.n_samples, source.times, step, quantum=quantum,
                                    path=p, what=f"column {columns[time_col]!r}")
    else:
        raise RecordingError(
            "no time column (named time, t or seconds); pass sample_rate to read this CSV",
            path=p, line=header_line)

    channels = []
    for k, col in enumerate(value_cols):
        name, unit_text = parsed[col]
        unit, factor = normalise_unit(unit_text)
        channels.append(ChannelInfo(index=k, name=name, unit=unit, phase="",
                                    kind=infer_kind(unit, name), gain=factor,
                                    source_unit=unit_text))
    metadata = {"format": "CSV", "delimiter": delim, "decimal_comma": decimal_comma,
                "time_column": columns[time_col] if time_col is not None else None}
    return Recording(p, source, channels, rate, metadata=metadata)
