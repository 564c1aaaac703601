"""Decoding of small text files (configurations, headers).

Recorders write configuration files in whatever code page their host used;
UTF-8 is tried first and Latin-1 (which accepts every byte) is the fallback,
so a stray accented station name never stops a file from opening.
"""
from __future__ import annotations

import os
from typing import Optional

from .errors import RecordingError

#: Configuration text larger than this is not a configuration file.
MAX_TEXT = 64 << 20


def decode_text(data: bytes, encoding: Optional[str], path: str) -> str:
    """Decode with ``encoding`` if given, else UTF-8 (BOM allowed) then Latin-1."""
    if encoding:
        try:
            return data.decode(encoding)
        except LookupError:
            raise RecordingError(f"unknown text encoding {encoding!r}", path=path) from None
        except UnicodeDecodeError as exc:
            raise RecordingError(f"not valid {encoding} text at byte {exc.start}",
                                 path=path) from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def read_text(path: str, encoding: Optional[str], display: Optional[str] = None) -> str:
    """Read a whole (small) text file, refusing absurd sizes."""
    with open(path, "rb") as fh:
        if os.fstat(fh.fileno()).st_size > MAX_TEXT:
            raise RecordingError(f"larger than {MAX_TEXT >> 20} MiB; not a configuration file",
                                 path=display or path)
        data = fh.read()  # read(n) would allocate n bytes up front
    return decode_text(data, encoding, display or path)
