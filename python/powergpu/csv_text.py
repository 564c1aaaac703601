"""CSV text of DataFrames, written fast: the tables of an analysis.

pandas formats every float through Python (about half a microsecond each),
which makes an hour of 10 kHz data (tens of millions of values) take minutes.
The writer below formats whole columns with integer arithmetic on numpy
arrays instead: each value becomes its digits in a byte matrix, and a mask
picks the bytes of every field, so a chunk of rows turns into one bytes
object without a Python-level loop over values.

``write_csv`` writes a table, ``CsvAppender`` the same bytes batch by batch.
"""
from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Any, List, Optional, Sequence, Tuple

import numpy as np

__all__ = ["CSV_DIGITS", "CsvAppender", "csv_chunk_rows", "write_csv"]

#: Significant digits written for float64 and float32 columns: float64 keeps
#: microseconds over days in time columns, float32 (the library's harmonic
#: tables) keeps all its precision.  Trailing zeros are dropped.
CSV_DIGITS = {8: 12, 4: 8}
_MAX_DECIMALS = 15
_CHUNK_ROWS = 1 << 18
_CSV_FIELDS = 1 << 20


_POW10 = 10 ** np.arange(19, dtype=np.int64)


def _digits_matrix(m: np.ndarray, decimals: np.ndarray, width: int) -> np.ndarray:
    """Right-aligned ASCII digits of the non-negative integers ``m`` with a
    decimal point ``decimals`` places from the right (none where 0).

    Built position by position in a (width, n) array (each text position
    one contiguous row) and returned transposed, as (n, width)."""
    n = len(m)
    has_dot = bool((decimals > 0).any())
    nd = width - 1 if has_dot else width
    digits = np.empty((nd, n), dtype=np.uint8)
    v = m.copy()
    q = np.empty_like(v)
    for k in range(nd):
        np.floor_divide(v, 10, out=q)  # division by a constant: much faster than divmod
        np.subtract(v, q * 10, out=digits[nd - 1 - k], casting="unsafe")
        v, q = q, v
        if k >= 1 and not v.any():  # only leading zeros from here on
            digits[:nd - 1 - k] = 0
            break
    digits += 48
    if not has_dot:
        return digits.T
    # Insert the point: position j of the output takes digit position j left
    # of the point's position, the point at it, and digit position j - 1
    # right of it.
    cut = np.where(decimals > 0, nd - decimals, -1).astype(np.int16)
    out = np.empty((width, n), dtype=np.uint8)
    out[0] = np.where(cut > 0, digits[0], np.where(cut == 0, 46, 48))
    dot = np.full(n, 46, dtype=np.uint8)
    for j in range(1, width):
        right = digits[j - 1]
        if j < nd:
            out[j] = np.where(cut > j, digits[j], np.where(cut == j, dot, right))
        else:
            out[j] = np.where(cut == j, dot, right)
    return out.T


def _count_digits(m: np.ndarray) -> np.ndarray:
    """Decimal digits of non-negative int64 values (1 for 0)."""
    return np.maximum(np.searchsorted(_POW10, m, side="right"), 1).astype(np.int64)


def _format_ints(x: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    x = x.astype(np.int64)
    neg = x < 0
    m = np.abs(x)
    if (m < 0).any():  # the most negative int64
        return _format_objects(x.astype(object))
    digits = _count_digits(m)
    lengths = digits + neg
    width = int(lengths.max()) if len(x) else 1
    mat = _digits_matrix(m, np.zeros(len(x), dtype=np.int64), width)
    _put_sign(mat, neg, lengths)
    return mat, lengths


def _put_sign(mat: np.ndarray, neg: np.ndarray, lengths: np.ndarray) -> None:
    rows = np.flatnonzero(neg)
    if rows.size:
        mat[rows, mat.shape[1] - lengths[rows]] = ord("-")


def _runs(values: np.ndarray) -> Optional[np.ndarray]:
    """Start positions of the runs of equal consecutive values, when there
    are few of them (a column that repeats a value per window), else None."""
    n = len(values)
    if n < 256:
        return None
    change = values[1:] != values[:-1]
    count = int(np.count_nonzero(change)) + 1
    if count * 8 > n:
        return None
    return np.concatenate([[0], np.flatnonzero(change) + 1])


def _format_floats(x: np.ndarray, digits: int) -> Tuple[np.ndarray, np.ndarray]:
    """Fixed-point text with ``digits`` significant digits, trailing zeros
    removed; NaN gives an empty field, infinities 'inf' / '-inf'."""
    x = x.astype(np.float64)
    n = len(x)
    missing = np.isnan(x)
    count = int(np.count_nonzero(missing))
    if count * 2 > n:
        # Mostly missing (a column that applies to some rows only): format
        # the others alone; the text is the same (NaN only widens a column
        # to 1 character, below the minimum width of 4).
        present = np.flatnonzero(~missing)
        if not len(present):
            return np.full((n, 4), 48, dtype=np.uint8), np.zeros(n, dtype=np.int64)
        sub, sub_lens = _format_floats(x[present], digits)
        mat = np.full((n, sub.shape[1]), 48, dtype=np.uint8)
        mat[present] = sub
        lens = np.zeros(n, dtype=np.int64)
        lens[present] = sub_lens
        return mat, lens
    finite = np.isfinite(x)
    a = np.where(finite, np.abs(x), 0.0)
    big = a >= 1e17  # beyond int64 fixed point: written by repr
    a = np.where(big, 0.0, a)
    with np.errstate(divide="ignore"):
        exp = np.floor(np.log10(np.where(a > 0, a, 1.0))).astype(np.int64)
    # No finer than 1e-(digits + 3) of the column's largest value: smaller
    # values are below the resolution of what was computed anyway.
    top = float(a.max()) if n else 0.0
    cap = _MAX_DECIMALS
    if top > 0:
        cap = int(np.clip(digits + 2 - math.floor(math.log10(top)), 0, _MAX_DECIMALS))
    dec = np.clip(digits - 1 - exp, 0, cap)
    m = np.rint(a * np.power(10.0, dec)).astype(np.int64)
    dec[m == 0] = 0
    # Drop trailing zeros of the fraction (looking only at the values that
    # may still have one).
    idx = np.flatnonzero(dec > 0)
    for _ in range(_MAX_DECIMALS):
        if not idx.size:
            break
        mi = m[idx]
        q = mi // 10
        z = mi == q * 10
        if not z.any():
            break
        idx = idx[z]
        m[idx] = q[z]
        dec[idx] -= 1
        idx = idx[dec[idx] > 0]
    neg = (x < 0) & (m > 0)
    ndig = np.maximum(_count_digits(m), dec + 1)
    lengths = ndig + (dec > 0) + neg
    width = max(int(lengths.max()) if n else 1, 4)
    mat = _digits_matrix(m, dec, width)
    _put_sign(mat, neg, lengths)
    lengths[np.isnan(x)] = 0  # missing: an empty field
    special = np.isinf(x) | big
    if special.any():
        for i in np.flatnonzero(special):
            v = float(x[i])
            text = "" if math.isnan(v) else ("inf" if v > 0 else "-inf") if math.isinf(v) \
                else repr(v)
            b = text.encode("ascii")
            if len(b) > width:
                return _format_objects(np.array([_float_text(v, digits) for v in x],
                                                dtype=object))
            lengths[i] = len(b)
            if b:
                mat[i, width - len(b):] = np.frombuffer(b, dtype=np.uint8)
    return mat, lengths


def _float_text(v: float, digits: int) -> str:
    if math.isnan(v):
        return ""
    return repr(v) if not math.isfinite(v) or abs(v) >= 1e17 else f"{v:.{digits}g}"


def _csv_field(text: str) -> str:
    if any(c in text for c in ',"\n\r'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _format_objects(values: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Text columns (channel names, categories, flags): through Python, once
    per distinct value."""
    import pandas as pd

    codes, uniques = pd.factorize(pd.Series(values, dtype=object), use_na_sentinel=True)
    texts = [_csv_field("" if u is None else str(u)).encode("utf-8") for u in uniques]
    texts.append(b"")  # the sentinel -1 (missing) picks the last entry
    width = max((len(t) for t in texts), default=1) or 1
    table = np.zeros((len(texts), width), dtype=np.uint8)
    lens = np.zeros(len(texts), dtype=np.int64)
    for j, t in enumerate(texts):
        if t:
            table[j, width - len(t):] = np.frombuffer(t, dtype=np.uint8)
        lens[j] = len(t)
    return table[codes], lens[codes]


def _format_column(series) -> Tuple[np.ndarray, np.ndarray]:
    """(text matrix, lengths) of a column: each value right-aligned in one
    row of the matrix.  A numeric column made of few runs of one value is
    formatted once per run (the result is the same)."""
    import pandas as pd

    dtype = series.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "fiu":
        values = series.to_numpy()
        starts = _runs(values)
        if starts is not None:
            mat, lens = _format_column(pd.Series(values[starts]))
            repeat = np.diff(np.concatenate([starts, [len(values)]]))
            return np.repeat(mat, repeat, axis=0), np.repeat(lens, repeat)
    return _format_values(series)


def _format_values(series) -> Tuple[np.ndarray, np.ndarray]:
    import pandas as pd

    dtype = series.dtype
    if pd.api.types.is_bool_dtype(dtype) and not series.isna().any():
        return _format_objects(np.where(series.to_numpy(dtype=bool), "True", "False"))
    if pd.api.types.is_integer_dtype(dtype) and not series.isna().any():
        return _format_ints(series.to_numpy(dtype=np.int64))
    if pd.api.types.is_float_dtype(dtype):
        values = series.to_numpy()
        digits = CSV_DIGITS.get(values.dtype.itemsize, 12)
        return _format_floats(values, digits)
    if isinstance(dtype, pd.CategoricalDtype):
        cats = [_csv_field(str(c)).encode("utf-8") for c in dtype.categories] + [b""]
        codes = series.cat.codes.to_numpy()
        width = max((len(c) for c in cats), default=1) or 1
        table = np.zeros((len(cats), width), dtype=np.uint8)
        lens = np.array([len(c) for c in cats], dtype=np.int64)
        for j, c in enumerate(cats):
            if c:
                table[j, width - len(c):] = np.frombuffer(c, dtype=np.uint8)
        return table[codes], lens[codes]
    return _format_objects(series.to_numpy(dtype=object))


def _csv_bytes(df) -> np.ndarray:
    """The data rows of ``df`` (no header) as CSV bytes (a uint8 array, for
    any ``write``), '\\n' line ends."""
    n = len(df)
    if n == 0:
        return np.zeros(0, dtype=np.uint8)
    cols = [_format_column(df.iloc[:, j]) for j in range(df.shape[1])]
    widths = [mat.shape[1] + 1 for mat, _ in cols]  # + separator
    total = sum(widths)
    buf = np.empty((n, total), dtype=np.uint8)
    mask = np.empty((n, total), dtype=bool)
    off = 0
    for j, ((mat, lens), w) in enumerate(zip(cols, widths)):
        buf[:, off:off + w - 1] = mat
        buf[:, off + w - 1] = ord(",") if j < len(cols) - 1 else ord("\n")
        # a field's bytes: the last ``lens`` of its w - 1 positions
        np.greater_equal(np.arange(w - 1, dtype=np.int64)[None, :],
                         (w - 1 - lens.astype(np.int64, copy=False))[:, None],
                         out=mask[:, off:off + w - 1])
        mask[:, off + w - 1] = True
        off += w
    return buf[mask]


def csv_chunk_rows(columns: int) -> int:
    """Rows formatted together by ``write_csv`` and ``CsvAppender`` for a
    table of ``columns`` columns: about a million fields, a power of two
    between 4096 and 2**18.  (How small values are written depends on the
    largest value of their column in the chunk, so both writers cut a table
    into the same chunks and give the same bytes.)"""
    rows = _CSV_FIELDS // max(int(columns), 1)
    rows = 1 << max(int(rows).bit_length() - 1, 0)
    return int(min(max(rows, 4096), _CHUNK_ROWS))


def _header(columns: Sequence[Any]) -> bytes:
    return (",".join(_csv_field(str(c)) for c in columns) + "\n").encode("utf-8")


def write_csv(df, path: "os.PathLike[str] | str", chunk_rows: Optional[int] = None) -> Path:
    """Write ``df`` (without its index) as CSV, fast; the file reads back with
    ``pandas.read_csv`` to the same values (floats to 12 significant digits,
    8 for float32 columns; NaN as an empty field).  Written under a temporary
    name and renamed, so a reader never sees half a file.  ``chunk_rows``:
    rows formatted at a time (default ``csv_chunk_rows``)."""
    p = Path(path)
    tmp = p.with_name(p.name + ".part")
    chunk_rows = int(chunk_rows or csv_chunk_rows(df.shape[1]))
    try:
        with open(tmp, "wb") as fh:
            fh.write(_header(df.columns))
            for start in range(0, len(df), chunk_rows):
                fh.write(_csv_bytes(df.iloc[start:start + chunk_rows]))
        os.replace(tmp, p)
    except BaseException:
        try:
            tmp.unlink()
        except OSError:
            pass
        raise
    return p


class CsvAppender:
    """Writes one CSV table batch by batch: ``append(df)`` for each batch
    (one set of columns), then ``close()``.  The file holds the same bytes
    as ``write_csv`` of the concatenated batches; memory holds at most one
    chunk of rows.  Written under a temporary name and renamed by
    ``close``; ``abort`` removes it."""

    def __init__(self, path: "os.PathLike[str] | str", chunk_rows: Optional[int] = None) -> None:
        self.path = Path(path)
        self._tmp = self.path.with_name(self.path.name + ".part")
        self._chunk = chunk_rows
        self.columns: Optional[List[Any]] = None
        self.rows = 0
        self._pending: List[Any] = []
        self._pending_rows = 0
        self._fh = open(self._tmp, "wb")

    def append(self, df) -> None:
        if self._fh is None:
            raise ValueError("the table is closed")
        if self.columns is None:
            self._start(list(df.columns))
        elif list(df.columns) != self.columns:
            raise ValueError("a batch has other columns than the first one")
        if len(df) == 0:
            return
        self._pending.append(df)
        self._pending_rows += len(df)
        while self._pending_rows >= self._chunk:
            self._write(self._chunk)

    def _start(self, columns: List[Any]) -> None:
        self.columns = columns
        if not self._chunk:
            self._chunk = csv_chunk_rows(len(columns))
        self._fh.write(_header(columns))

    def _write(self, count: int) -> None:
        import pandas as pd

        parts = self._pending
        df = parts[0] if len(parts) == 1 else pd.concat(parts, ignore_index=True)
        self._fh.write(_csv_bytes(df.iloc[:count]))
        rest = df.iloc[count:]
        self._pending = [rest] if len(rest) else []
        self._pending_rows = len(rest)
        self.rows += count

    def close(self, columns: Optional[Sequence[Any]] = None) -> Path:
        """Writes the last rows and renames the file into place; ``columns``
        gives the header of a table that received no batch."""
        if self._fh is None:
            return self.path
        try:
            if self.columns is None:
                self._start(list(columns or []))
            if self._pending_rows:
                self._write(self._pending_rows)
            self._fh.close()
            self._fh = None
            os.replace(self._tmp, self.path)
        except BaseException:
            self.abort()
            raise
        return self.path

    def abort(self) -> None:
        """Closes and removes the unfinished file."""
        if self._fh is not None:
            try:
                self._fh.close()
            except OSError:
                pass
            self._fh = None
        try:
            self._tmp.unlink()
        except OSError:
            pass
        self._pending = []
        self._pending_rows = 0
