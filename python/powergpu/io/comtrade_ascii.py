"""ASCII COMTRADE data: "n,timestamp,A1..Ak,D1..Dm" per line.

Streams through ``LineIndex`` so memory never depends on file length.  Missing
analog values are an empty field or the legacy 99999 marker; both become NaN.
"""
from __future__ import annotations

from functools import partial
from typing import Callable, Iterator, List, Optional, Tuple

import numpy as np

from .comtrade_cfg import ComtradeConfig
from .errors import RecordingError
from .text_lines import LineIndex
from .text_table import parse_rows, table_batches

MISSING_ASCII = 99999.0


class AsciiSource:
    """SampleSource over ASCII data lines in bytes [start, end) of ``path``."""

    def __init__(self, path: str, config: ComtradeConfig, *, start: int = 0,
                 end: Optional[int] = None, first_line: int = 1,
                 display: Optional[str] = None) -> None:
        self.display = display or path
        n_a, n_d = len(config.analog), len(config.digital)
        n_fields = 2 + n_a + n_d
        names = (["sample number", "time stamp"] + [a.name for a in config.analog]
                 + [d.name for d in config.digital])
        self._parse: Callable[[List[bytes], List[int]], np.ndarray] = partial(
            _parse, n_fields=n_fields, path=self.display, names=names)
        self.index = LineIndex.build(path, start, end, first_line, display=self.display)
        self.notes: List[str] = []
        want = config.n_samples
        if want is None:
            want = self.index.n_records
        elif self.index.n_records < want:
            raise RecordingError(
                f"truncated data: configuration declares {want} samples but the data has "
                f"only {self.index.n_records} lines", path=self.display,
                line=self.index.last_line)
        elif self.index.n_records > want:
            self.notes.append(
                f"the configuration declares {want} samples (endsamp) but the data has "
                f"{self.index.n_records} lines; only the first {want} are read")
        self.n_samples = int(want)

    def _batches(self, start: int, count: int, rows: int,
                 select: Callable[[np.ndarray], np.ndarray]) -> Iterator[np.ndarray]:
        return table_batches(self.index.iter_records(start), count, rows, self._parse, select)

    def read_raw(self, start: int, count: int, cols: np.ndarray) -> np.ndarray:
        out = next(self._batches(start, count, count, partial(_analog, cols=cols)), None)
        if out is None or out.shape[0] != count:  # the file changed since it was indexed
            raise RecordingError("data ended early (file changed while open?)",
                                 path=self.display)
        return out

    def iter_raw(self, start: int, chunk: int,
                 cols: np.ndarray) -> Iterator[Tuple[int, np.ndarray]]:
        i = start
        for block in self._batches(start, self.n_samples - start, chunk,
                                   partial(_analog, cols=cols)):
            yield i, block
            i += block.shape[0]

    def timestamps(self, start: int, count: int) -> np.ndarray:
        out = next(self._batches(start, count, count, lambda t: t[:, 1]), None)
        return out if out is not None else np.empty(0)

    def close(self) -> None:
        pass


def _parse(lines: List[bytes], numbers: List[int], *, n_fields: int, path: str,
           names: List[str]) -> np.ndarray:
    return parse_rows(lines, numbers, n_fields, path=path, field_names=names)


def _analog(table: np.ndarray, cols: np.ndarray) -> np.ndarray:
    out = table[:, 2 + cols]
    out[out == MISSING_ASCII] = np.nan
    return out
