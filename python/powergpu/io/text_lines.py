"""Bounded-memory access to the data lines of a text file.

ASCII COMTRADE data and CSV files can be far larger than memory.  One
vectorised pass counts the *record lines* (lines with at least one visible
character; blank lines and a DOS end-of-file mark are skipped) and keeps the
byte offset of every STRIDE-th record, so a random ``read(start, count)``
seeks close to ``start`` instead of re-reading the file.  The index costs
16 bytes per STRIDE records.
"""
from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Iterator, List, Optional, Tuple

import numpy as np

from .errors import RecordingError

STRIDE = 1024
#: Bytes per read; the scan's temporaries are about 6x this.
BLOCK = 256 << 10
#: Longest line accepted; longer means a binary file read as text, or damage.
MAX_LINE = 4 << 20
#: Bytes that do not make a line a record: controls (DOS EOF 0x1a included),
#: space and DEL.
_INSIGNIFICANT = bytes(range(33)) + b"\x7f"


@dataclass
class LineIndex:
    """Record-line index of the byte range [start, end) of ``path``.

    ``first_line`` is the physical line number (1-based) of the line starting
    at ``start``, so errors can name the line as an editor shows it.
    """

    path: str
    display: str
    start: int
    end: int
    first_line: int
    n_records: int
    offsets: np.ndarray      # byte offset of record k*STRIDE
    line_numbers: np.ndarray  # physical line number of record k*STRIDE
    last_line: int           # physical number of the last line in range

    @classmethod
    def build(cls, path: str, start: int, end: Optional[int], first_line: int,
              display: Optional[str] = None) -> "LineIndex":
        display = display or path
        size = os.path.getsize(path)
        end = size if end is None else min(end, size)
        significant = np.ones(256, dtype=bool)
        significant[list(_INSIGNIFICANT)] = False

        offsets: List[np.ndarray] = []
        lines: List[np.ndarray] = []
        n_records = 0
        line_no = first_line          # physical number of the line being scanned
        carry = b""                   # partial line from the previous block
        carry_pos = start             # file offset of carry[0]
        with open(path, "rb") as fh:
            fh.seek(start)
            pos = start
            while pos < end or carry:
                block = fh.read(min(BLOCK, end - pos)) if pos < end else b""
                if not block:
                    end = pos  # the file is shorter than it was a moment ago
                pos += len(block)
                buf = carry + block
                at_eof = pos >= end
                arr = np.frombuffer(buf, dtype=np.uint8)
                nl = np.flatnonzero(arr == 10)
                if at_eof and (nl.size == 0 or nl[-1] != len(buf) - 1) and len(buf):
                    nl = np.append(nl, len(buf))  # final line without newline
                if nl.size:
                    starts = np.concatenate(([0], nl[:-1] + 1))
                    sig = np.zeros(len(buf) + 1, dtype=np.int32)
                    np.cumsum(significant[arr], dtype=np.int32, out=sig[1:])
                    has_text = (sig[nl] - sig[starts]) > 0
                    rec_pos = np.flatnonzero(has_text)
                    rec_ids = n_records + np.arange(rec_pos.size)
                    pick = rec_pos[rec_ids % STRIDE == 0]
                    offsets.append(carry_pos + starts[pick])
                    lines.append(line_no + pick)
                    n_records += rec_pos.size
                    line_no += nl.size
                    consumed = int(nl[-1]) + 1
                else:
                    consumed = 0
                carry = buf[consumed:]
                carry_pos += consumed
                if len(carry) > MAX_LINE:
                    raise RecordingError(
                        f"line longer than {MAX_LINE >> 20} MiB; not a text data file?",
                        path=display, line=line_no)
                if at_eof:
                    break
        return cls(path=path, display=display, start=start, end=end, first_line=first_line,
                   n_records=n_records,
                   offsets=np.concatenate(offsets) if offsets else np.zeros(0, np.int64),
                   line_numbers=np.concatenate(lines) if lines else np.zeros(0, np.int64),
                   last_line=max(first_line, line_no - 1))

    def iter_records(self, first: int = 0) -> Iterator[Tuple[int, bytes]]:
        """Yield (physical line number, line without EOL) for records first.. end."""
        if first >= self.n_records:
            return
        k = first // STRIDE
        skip = first - k * STRIDE
        pos = int(self.offsets[k])
        line_no = int(self.line_numbers[k])
        carry = b""
        with open(self.path, "rb") as fh:
            fh.seek(pos)
            while True:
                want = min(BLOCK, self.end - pos)
                block = fh.read(want) if want > 0 else b""
                pos += len(block)
                if not block:
                    parts = [carry] if carry else []
                else:
                    parts = (carry + block).split(b"\n")
                    carry = parts.pop()
                for raw in parts:
                    if raw.strip(_INSIGNIFICANT):
                        if skip:
                            skip -= 1
                        else:
                            yield line_no, raw.rstrip(b"\r")
                    line_no += 1
                if not block:
                    return
