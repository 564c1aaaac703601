"""``open_recording``: pick the reader from the file extension.

The single entry point the rest of the package and the command line use, so
that adding a format means one more line here and nothing elsewhere.
"""
from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Optional, Sequence, Union

from .comtrade_reader import open_comtrade
from .csv_reader import open_csv
from .errors import RecordingError
from .recording import Recording
from .wav_reader import open_wav

COMTRADE_SUFFIXES = (".cfg", ".dat", ".cff")
CSV_SUFFIXES = (".csv", ".txt", ".tsv")
WAV_SUFFIXES = (".wav", ".wave")


def open_recording(path: "os.PathLike[str] | str", *, sample_rate: Optional[float] = None,
                   use_primary: bool = True, encoding: Optional[str] = None,
                   scale: Union[None, float, Sequence[float]] = None) -> Recording:
    """Open a COMTRADE (.cfg/.dat/.cff), CSV or WAV recording.

    ``sample_rate`` overrides the file's rate (and is required for a CSV
    without a time column); ``use_primary`` selects primary (default) or
    secondary COMTRADE values; ``encoding`` is the text encoding of
    configuration and CSV files (default UTF-8, falling back to Latin-1);
    ``scale`` multiplies WAV full scale (+/-1).  Every problem with the file is
    reported as RecordingError.
    """
    p = Path(path)
    if sample_rate is not None:
        if isinstance(sample_rate, bool) or not math.isfinite(float(sample_rate)) \
                or float(sample_rate) <= 0:
            raise ValueError(f"sample_rate must be a positive number, got {sample_rate!r}")
    if not p.exists():
        raise RecordingError("file not found", path=p)
    if p.is_dir():
        raise RecordingError("is a directory, not a recording", path=p)
    suffix = p.suffix.lower()
    try:
        if suffix in COMTRADE_SUFFIXES:
            return open_comtrade(p, sample_rate=sample_rate, use_primary=use_primary,
                                 encoding=encoding)
        if suffix in CSV_SUFFIXES:
            return open_csv(p, sample_rate=sample_rate, encoding=encoding)
        if suffix in WAV_SUFFIXES:
            return open_wav(p, sample_rate=sample_rate, scale=scale)
    except OSError as exc:
        raise RecordingError(f"cannot read: {exc.strerror or exc}",
                             path=getattr(exc, "filename", None) or p) from None
    known = ", ".join(COMTRADE_SUFFIXES + CSV_SUFFIXES + WAV_SUFFIXES)
    raise RecordingError(f"unknown recording type {suffix or '(no extension)'!r}; "
                         f"expected one of {known}", path=p)
