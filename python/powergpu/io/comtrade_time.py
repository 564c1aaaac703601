"""Date/time stamps of COMTRADE configuration files.

Kept apart from the line parser because the rules (day/month order that
changed between revisions, two-digit years, nanosecond fractions that also
change the data file's time unit, leap seconds) are fiddly and deserve their
own tests.
"""
from __future__ import annotations

import re
from datetime import datetime, timedelta
from typing import Optional, Tuple

from .errors import RecordingError

_STAMP = re.compile(
    r"^\s*(\d{1,2})[/\-.](\d{1,2})[/\-.](\d{2,4})\s*,\s*"
    r"(\d{1,2}):(\d{1,2}):(\d{1,2})(?:[.,](\d{1,12}))?\s*$")


def _build(day: int, month: int, year: int, hh: int, mm: int, ss: int,
           micro: int) -> Optional[datetime]:
    leap = ss == 60
    try:
        stamp = datetime(year, month, day, hh, mm, 59 if leap else ss, micro)
    except ValueError:
        return None
    return stamp + timedelta(seconds=1) if leap else stamp


def parse_stamp(text: str, rev: int, *, path: str, line: int) -> Tuple[Optional[datetime], int]:
    """Parse one "dd/mm/yyyy,hh:mm:ss.ssssss" line (mm/dd/yy for 1991 files).

    Returns (datetime or None, number of fraction digits).  An all-zero or
    empty stamp, which recorders without a clock write, gives None; a stamp
    that is not a date at all is an error.  Fractions beyond microseconds are
    truncated in the datetime; the digit count tells the caller whether the
    data file counts time in nanoseconds.
    """
    if not text.strip().strip(","):
        return None, 0
    m = _STAMP.match(text)
    if not m:
        raise RecordingError(
            f"invalid date/time {text.strip()[:60]!r}; expected dd/mm/yyyy,hh:mm:ss.ssssss",
            path=path, line=line)
    first, second, year = int(m.group(1)), int(m.group(2)), int(m.group(3))
    hh, mi, ss = int(m.group(4)), int(m.group(5)), int(m.group(6))
    frac = m.group(7) or ""
    micro = int((frac + "000000")[:6])
    if first == 0 and second == 0:
        return None, len(frac)
    if len(m.group(3)) == 2:
        year += 1900 if year >= 70 else 2000
    day, month = (second, first) if rev <= 1991 else (first, second)
    stamp = _build(day, month, year, hh, mi, ss, micro)
    if stamp is None:  # some writers use the other day/month order
        stamp = _build(month, day, year, hh, mi, ss, micro)
    if stamp is None:
        raise RecordingError(f"invalid date/time {text.strip()[:60]!r}", path=path, line=line)
    return stamp, len(frac)


def format_stamp(stamp: datetime, nanoseconds: bool = False) -> str:
    """Write a stamp the way revisions 1999 and later expect."""
    frac = f"{stamp.microsecond:06d}" + ("000" if nanoseconds else "")
    return (f"{stamp.day:02d}/{stamp.month:02d}/{stamp.year:04d},"
            f"{stamp.hour:02d}:{stamp.minute:02d}:{stamp.second:02d}.{frac}")
