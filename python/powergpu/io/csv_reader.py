"""CSV recordings: one header row, then one row per sample.

The delimiter is whichever of ``;`` ``,`` or tab the header uses most; with
``;`` or tab a comma inside numbers is read as the decimal mark (spreadsheet
exports in many locales).  A column called time, t or seconds (optionally
with a unit: "time [s]"), or a column whose name speaks of time or date and
which holds ISO 8601 dates and times ("Time_UTC": 2024-03-05T12:00:00.000020Z),
gives the sampling rate; without one the caller must pass ``sample_rate``.
Time stamps off the uniform grid by at most a quarter of a sample are
accepted with a note; larger irregularities are refused with the row.
Column headers may carry units: "Ua [kV]", "Ib (A)".
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
#: Fraction of a sample period by which time stamps may miss the uniform
#: grid and still be accepted, with a note (a logger's clock jitter).
LENIENT = 0.25


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

    #: Date-time column: (its index, the time of the first row); None: numeric
    iso: Optional[Tuple[int, np.datetime64]] = None
    notes: List[str] = []

    def _parse(self, lines: List[bytes], numbers: List[int]) -> np.ndarray:
        if self.iso is not None:
            return self._parse_iso(lines, numbers)
        return parse_rows(lines, numbers, self.n_fields, path=self.display,
                          delimiter=self.delimiter, decimal_comma=self.decimal_comma,
                          field_names=self.names)

    def _parse_iso(self, lines: List[bytes], numbers: List[int]) -> np.ndarray:
        """Rows whose date-time cell becomes seconds since the first row."""
        col, epoch = self.iso
        delim = self.delimiter
        cells = [ln.split(delim) for ln in lines]
        stamps = []
        for c, no in zip(cells, numbers):
            if len(c) <= col:
                raise RecordingError(f"expected {self.n_fields} fields, found {len(c)}",
                                     path=self.display, line=int(no))
            stamps.append(c[col])
            c[col] = b"0"
        table = parse_rows([delim.join(c) for c in cells], numbers, self.n_fields,
                           path=self.display, delimiter=delim,
                           decimal_comma=self.decimal_comma, field_names=self.names)
        table[:, col] = iso_seconds(stamps, epoch, self.display, numbers, self.names[col])
        return table

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


_ZONE_RE = re.compile(rb"(Z|[+-]\d\d:?\d\d)$")


def _iso_text(cell: bytes) -> str:
    """A date-time cell without quotes and time zone (one zone per file:
    only differences between rows count)."""
    text = cell.strip().strip(b'"').strip()
    if len(text) > 10:  # a zone suffix only after a time of day
        text = _ZONE_RE.sub(b"", text)
    return text.decode("latin-1")


def parse_iso(cell: bytes) -> Optional[np.datetime64]:
    """The date-time of an ISO 8601 cell ("2024-03-05T12:00:00.000020Z",
    "2024-03-05 12:00:00"), or None where the cell is not one."""
    text = _iso_text(cell)
    if len(text) < 19 or text[4:5] != "-" or text[10:11] not in ("T", " "):
        return None
    try:
        return np.datetime64(text.replace(" ", "T"), "ns")
    except ValueError:
        return None


def iso_seconds(cells: List[bytes], epoch: np.datetime64, path: str, numbers: List[int],
                name: str) -> np.ndarray:
    """Seconds from ``epoch`` of each date-time cell."""
    texts = [_iso_text(c).replace(" ", "T") for c in cells]
    try:
        stamps = np.array(texts, dtype="datetime64[ns]")
    except ValueError:
        for text, no in zip(texts, numbers):
            try:
                np.datetime64(text, "ns")
            except ValueError:
                raise RecordingError(f"field {name} is not an ISO 8601 date and time: "
                                     f"{text[:40]!r}", path=path, line=int(no)) from None
        raise  # pragma: no cover - the array rejected what each value accepts
    return (stamps - epoch).astype(np.int64) * 1e-9


def _iso_column(parsed: List[Tuple[str, str]], first: Optional[bytes],
                delim: str) -> Optional[Tuple[int, np.datetime64, int]]:
    """(index, first time, fraction digits) of a date-time column: one whose
    header speaks of time or date and whose first cell is an ISO 8601 date
    and time."""
    if first is None:
        return None
    cells = first.split(delim.encode())
    for i, (name, _) in enumerate(parsed):
        key = name.lower()
        if i < len(cells) and ("time" in key or "date" in key):
            when = parse_iso(cells[i])
            if when is not None:
                text = _iso_text(cells[i])
                digits = len(text.split(".", 1)[1]) if "." in text[19:20] else 0
                return i, when, digits
    return None


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

    index = LineIndex.build(p, data_start, None, header_line + 1)
    first = next(index.iter_records(0), None)
    decimal_comma = delim != "," and first is not None and b"," in first[1]
    iso = _iso_column(parsed, first[1] if first is not None else None, delim)
    if iso is not None:
        time_col = iso[0]
    value_cols = [i for i in range(len(columns)) if i != time_col]

    names = [n for n, _ in parsed]
    source = CsvSource(p, index, len(columns), delim.encode(), decimal_comma, value_cols,
                       time_col, names)
    source.notes = []
    start_time = None
    if iso is not None:
        source.iso = (iso[0], iso[1])
        start_time = iso[1].astype("datetime64[us]").item()
    if sample_rate is not None:
        rate = float(sample_rate)
    elif iso is not None:
        rate = rate_from_timestamps(source.n_samples, source.times, 1.0,
                                    quantum=10.0 ** -iso[2] if iso[2] else 1.0, path=p,
                                    what=f"column {columns[time_col]!r}", lenient=LENIENT,
                                    notes=source.notes, row="data row")
    elif time_col is not None:
        step = _time_factor(*parsed[time_col]) or 1.0
        quantum = 0.0
        if first is not None:  # printed resolution of the time column
            cells = first[1].split(delim.encode())
            digits = _decimals(cells[time_col]) if time_col < len(cells) else 0
            quantum = 10.0 ** -digits * step if digits else 0.0
        rate = rate_from_timestamps(source.n_samples, source.times, step, quantum=quantum,
                                    path=p, what=f"column {columns[time_col]!r}",
                                    lenient=LENIENT, notes=source.notes, row="data row")
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
    return Recording(p, source, channels, rate, metadata=metadata, start_time=start_time)
