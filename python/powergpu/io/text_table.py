"""Vectorised parsing of delimited numeric lines into a float64 table.

Shared by the ASCII COMTRADE data reader and the CSV reader.  Splitting is
done per line in Python (C-speed ``bytes.split``) and the number conversion in
one numpy call; only when that call fails do we walk the cells to name the
exact line and column at fault.
"""
from __future__ import annotations

from io import BytesIO
from itertools import islice
from typing import Callable, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from .errors import RecordingError

try:  # numpy >= 2
    _strip = np.strings.strip  # type: ignore[attr-defined]
except AttributeError:  # pragma: no cover - numpy 1.x
    _strip = np.char.strip


def _fast_parse(lines: Sequence[bytes], n_fields: int, delimiter: bytes,
                decimal_comma: bool) -> Optional[np.ndarray]:
    """numpy's C reader for the common clean case; None when anything is
    unusual (empty cells, quotes, ragged rows, bad numbers), which the careful
    path below then handles and reports."""
    text = b"\n".join(lines)
    if decimal_comma:
        text = text.replace(b",", b".")
    if b'"' in text:
        return None
    try:
        table = np.loadtxt(BytesIO(text), delimiter=delimiter.decode("latin-1"),
                           dtype=np.float64, comments=None, ndmin=2, encoding="latin-1")
    except ValueError:
        return None
    if table.shape != (len(lines), n_fields):
        return None
    return table


def parse_rows(lines: Sequence[bytes], line_numbers: Sequence[int], n_fields: int, *,
               path: str, delimiter: bytes = b",", decimal_comma: bool = False,
               field_names: Optional[Sequence[str]] = None) -> np.ndarray:
    """Parse ``lines`` into an array (len(lines), n_fields); empty cells -> NaN.

    A single trailing empty field (a line ending in a delimiter) is tolerated
    because several writers emit one.
    """
    if not lines:
        return np.empty((0, n_fields), dtype=np.float64)
    fast = _fast_parse(lines, n_fields, delimiter, decimal_comma)
    if fast is not None:
        return fast
    rows: List[List[bytes]] = []
    for i, line in enumerate(lines):
        if decimal_comma:
            line = line.replace(b",", b".")
        if b'"' in line:
            line = line.replace(b'"', b"")
        cells = line.split(delimiter)
        if len(cells) == n_fields + 1 and not cells[-1].strip():
            cells.pop()
        if len(cells) != n_fields:
            raise RecordingError(f"expected {n_fields} fields, found {len(cells)}",
                                 path=path, line=int(line_numbers[i]))
        rows.append(cells)
    cells_arr = _strip(np.array(rows, dtype=np.bytes_))
    empty = cells_arr == b""
    if empty.any():
        cells_arr[empty] = b"nan"
    try:
        return cells_arr.astype(np.float64)
    except ValueError:
        pass
    for i, cells in enumerate(rows):
        for j, cell in enumerate(cells):
            text = cell.strip()
            if not text:
                continue
            try:
                float(text)
            except ValueError:
                what = (f"field {j + 1} ({field_names[j]})" if field_names and j < len(field_names)
                        else f"field {j + 1}")
                shown = text[:40].decode("latin-1")
                raise RecordingError(f"{what} is not a number: {shown!r}",
                                     path=path, line=int(line_numbers[i])) from None
    # numpy rejected something Python accepts (should not happen); be explicit.
    raise RecordingError("unreadable numeric data", path=path,
                         line=int(line_numbers[0]))  # pragma: no cover


#: Lines parsed per numpy call; bounds the Python objects alive at once.
PARSE_PIECE = 8192


def table_batches(records: Iterator[Tuple[int, bytes]], count: int, rows: int,
                  parse: Callable[[List[bytes], List[int]], np.ndarray],
                  select: Callable[[np.ndarray], np.ndarray]) -> Iterator[np.ndarray]:
    """Group up to ``count`` (line number, line) records into arrays of ``rows``.

    Lines are parsed PARSE_PIECE at a time and reduced with ``select`` (the
    wanted columns) at once, so the transient cost is independent of ``rows``
    and of unused columns.
    """
    it = islice(records, count)
    while True:
        pieces: List[np.ndarray] = []
        got = 0
        while got < rows:
            items = list(islice(it, min(PARSE_PIECE, rows - got)))
            if not items:
                break
            pieces.append(select(parse([ln for _, ln in items], [no for no, _ in items])))
            got += len(items)
        if not pieces:
            return
        yield pieces[0] if len(pieces) == 1 else np.concatenate(pieces)
        if got < rows:
            return
