"""Locate the sections of a single-file COMTRADE (.cff) recording.

A .cff holds the CFG, INF, HDR and DAT sections one after another, each
introduced by a line "--- file type: CFG ---"; the DAT header also says
whether the data is ASCII or binary and, for binary, its length in bytes
("--- file type: DAT BINARY: 123456 ---").  Only the small text sections are
read into memory; for the data we return where it lies so the regular data
readers can map or stream it.
"""
from __future__ import annotations

import os
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional

from .errors import RecordingError
from .textio import MAX_TEXT, decode_text

_MARKER = re.compile(
    rb"^\s*---\s*file\s*type\s*:\s*(?P<kind>[A-Za-z]+)\s*(?P<fmt>[A-Za-z0-9]*)\s*"
    rb"(?::\s*(?P<len>\d{1,20}))?\s*---\s*$", re.IGNORECASE)
_NEXT_MARKER = re.compile(rb"\n[ \t]*---[ \t]*file[ \t]*type[ \t]*:", re.IGNORECASE)
_SCAN_BLOCK = 1 << 20


@dataclass
class CffLayout:
    """Where things are in a .cff file."""

    cfg_text: str
    cfg_first_line: int
    dat_binary: bool
    dat_start: int
    dat_end: Optional[int]           # None: to the end of the file
    dat_first_line: int
    dat_header_line: int
    texts: Dict[str, str] = field(default_factory=dict)  # INF, HDR


def _find_next_marker(fh, start: int, size: int) -> Optional[int]:
    """Offset just after the newline that precedes the next section marker."""
    fh.seek(start)
    pos, tail = start, b""
    while pos < size:
        block = fh.read(_SCAN_BLOCK)
        if not block:
            break
        buf = tail + block
        m = _NEXT_MARKER.search(buf)
        if m:
            return pos - len(tail) + m.start() + 1
        tail = buf[-64:]
        pos += len(block)
    return None


def split_cff(path: str, encoding: Optional[str]) -> CffLayout:
    """Read the section structure of ``path``; raises RecordingError."""
    size = os.path.getsize(path)
    sections: Dict[str, List[bytes]] = {}
    first_lines: Dict[str, int] = {}
    current: Optional[str] = None
    text_bytes = 0
    line_no = 0
    dat: Optional[CffLayout] = None
    with open(path, "rb") as fh:
        while True:
            raw = fh.readline(MAX_TEXT)
            if not raw:
                break
            line_no += 1
            text_bytes += len(raw)
            if text_bytes > MAX_TEXT:
                raise RecordingError(f"text sections exceed {MAX_TEXT >> 20} MiB",
                                     path=path, line=line_no)
            m = _MARKER.match(raw)
            if not m:
                if current is None:
                    if raw.strip():
                        raise RecordingError(
                            "expected a section marker such as '--- file type: CFG ---'",
                            path=path, line=line_no)
                    continue
                sections[current].append(raw)
                continue
            kind = m.group("kind").upper().decode()
            if kind not in ("CFG", "INF", "HDR", "DAT"):
                raise RecordingError(f"unknown section type {kind[:12]!r}", path=path,
                                     line=line_no)
            if kind in sections or (kind == "DAT" and dat is not None):
                raise RecordingError(f"second {kind} section", path=path, line=line_no)
            if kind != "DAT":
                current = kind
                sections[kind] = []
                first_lines[kind] = line_no + 1
                continue
            fmt = m.group("fmt").upper().decode()
            if fmt not in ("ASCII", "BINARY", "BINARY32", "FLOAT32"):
                raise RecordingError(
                    f"DAT section must say ASCII or BINARY, found {fmt[:12] or 'nothing'!r}",
                    path=path, line=line_no)
            start = fh.tell()
            binary = fmt != "ASCII"
            if binary and m.group("len"):
                end: Optional[int] = start + int(m.group("len"))
                if end > size:  # type: ignore[operator]
                    raise RecordingError(
                        f"truncated data: DAT section declares {int(m.group('len'))} bytes "
                        f"but only {size - start} remain", path=path, line=line_no)
            elif binary:
                end = None
            else:
                end = _find_next_marker(fh, start - 1, size)
            dat = CffLayout(cfg_text="", cfg_first_line=0, dat_binary=binary,
                            dat_start=start, dat_end=end, dat_first_line=line_no + 1,
                            dat_header_line=line_no)
            current = None
            if end is None:
                break
            fh.seek(end)
            # After the data, line numbers are not tracked; later sections are rare.
            line_no = 0
    if "CFG" not in sections:
        raise RecordingError("no '--- file type: CFG ---' section", path=path)
    if dat is None:
        raise RecordingError("no '--- file type: DAT ... ---' section", path=path)
    dat.cfg_text = decode_text(b"".join(sections["CFG"]), encoding, path)
    dat.cfg_first_line = first_lines["CFG"]
    for key in ("INF", "HDR"):
        if key in sections:
            dat.texts[key] = decode_text(b"".join(sections[key]), encoding, path)
    return dat
