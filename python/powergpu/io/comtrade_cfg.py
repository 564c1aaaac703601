"""Parser for COMTRADE configuration text (revisions 1991, 1999 and 2013).

Produces an immutable ``ComtradeConfig``; knows nothing about data files.  It
is strict where a wrong guess would corrupt values (channel counts, scaling
factors, sampling rates, data format) and lenient where real recorders are
sloppy (trailing commas, blank optional fields, missing optional 2013 lines).
Every complaint is a RecordingError naming the file and line.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass
from datetime import datetime
from typing import List, Optional, Tuple

from .comtrade_time import parse_stamp
from .errors import RecordingError

DATA_FORMATS = ("ASCII", "BINARY", "BINARY32", "FLOAT32")
_REVISIONS = {"1991": 1991, "1999": 1999, "2001": 1999, "2013": 2013}
#: Upper bound on a declared sample count; beyond it numpy indexing overflows.
MAX_SAMPLES = 1 << 53

_INT = re.compile(r"^[+-]?\d{1,30}$")
_COUNT_A = re.compile(r"^(\d{1,9})\s*[Aa]$")
_COUNT_D = re.compile(r"^(\d{1,9})\s*[Dd]$")
_TIME_CODE = re.compile(r"^[+-]?\d{1,2}(?:[hH]\d{1,2})?$")
_TMQ = re.compile(r"^[0-9A-Fa-f]$")


@dataclass(frozen=True)
class AnalogDef:
    """One analog channel line: An,ch_id,ph,ccbm,uu,a,b,skew,min,max,primary,secondary,PS."""

    number: int
    name: str
    phase: str
    circuit: str
    unit: str
    a: float
    b: float
    skew: float
    min: Optional[float]
    max: Optional[float]
    primary: Optional[float]
    secondary: Optional[float]
    ps: str
    line: int


@dataclass(frozen=True)
class DigitalDef:
    """One digital (status) channel line: Dn,ch_id,ph,ccbm,y."""

    number: int
    name: str
    phase: str
    circuit: str
    normal: int
    line: int


@dataclass(frozen=True)
class RateDef:
    """One "samp,endsamp" line."""

    samp: float
    endsamp: int
    line: int


@dataclass(frozen=True)
class ComtradeConfig:
    """Everything a configuration file says that readers need."""

    path: str
    station: str
    device: str
    rev: int
    analog: Tuple[AnalogDef, ...]
    digital: Tuple[DigitalDef, ...]
    line_frequency: Optional[float]
    rates: Tuple[RateDef, ...]
    n_samples: Optional[int]      # None: the data file decides
    start_time: Optional[datetime]
    trigger_time: Optional[datetime]
    nanoseconds: bool             # data time stamps count nanoseconds, not microseconds
    ft: str
    ft_line: int
    timemult: float
    time_code: Optional[str] = None
    local_code: Optional[str] = None
    tmq_code: Optional[str] = None
    leap_second: Optional[int] = None

    @property
    def samp(self) -> float:
        """Declared sampling rate in Hz; 0 means "use the time stamps"."""
        return self.rates[0].samp if self.rates else 0.0

    @property
    def time_step(self) -> float:
        """Seconds per unit of a data file time stamp."""
        return (1e-9 if self.nanoseconds else 1e-6) * self.timemult


class _Cursor:
    """Walks the lines, numbering them as an editor would."""

    def __init__(self, text: str, path: str, first_line: int) -> None:
        # CR LF, LF, and the bare CR of very old files all end a line.
        lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
        while lines and not lines[-1].strip(" \t\x1a\x00"):
            lines.pop()
        self.lines = lines
        self.pos = 0
        self.path = path
        self.first_line = first_line

    @property
    def line_no(self) -> int:
        return self.first_line + self.pos

    def has_more(self) -> bool:
        return self.pos < len(self.lines)

    def peek(self) -> Optional[str]:
        return self.lines[self.pos] if self.has_more() else None

    def next(self, what: str) -> Tuple[int, str]:
        if not self.has_more():
            raise RecordingError(f"missing {what} line (file ends)",
                                 path=self.path, line=self.line_no)
        no, text = self.line_no, self.lines[self.pos]
        self.pos += 1
        return no, text

    def error(self, reason: str, line: int) -> RecordingError:
        return RecordingError(reason, path=self.path, line=line)


def _fields(text: str, keep: int) -> List[str]:
    """Split on commas and strip; drop surplus trailing empty fields."""
    out = [f.strip() for f in text.split(",")]
    while len(out) > keep and not out[-1]:
        out.pop()
    return out


def _int(cur: _Cursor, field: str, what: str, line: int, *, lo: int = 0,
         hi: int = MAX_SAMPLES, default: Optional[int] = None) -> int:
    if not field and default is not None:
        return default
    if not _INT.match(field):
        raise cur.error(f"{what} is not an integer: {field[:40]!r}", line)
    value = int(field)
    if not lo <= value <= hi:
        raise cur.error(f"{what} {value} out of range {lo}..{hi}", line)
    return value


def _float(cur: _Cursor, field: str, what: str, line: int, *,
           default: Optional[float] = None, blank_ok: bool = False) -> Optional[float]:
    if not field:
        if default is not None or blank_ok:
            return default
        raise cur.error(f"{what} is empty", line)
    try:
        value = float(field)
    except ValueError:
        raise cur.error(f"{what} is not a number: {field[:40]!r}", line) from None
    if not math.isfinite(value):
        raise cur.error(f"{what} is not finite: {field[:40]!r}", line)
    return value


def _parse_analog(cur: _Cursor) -> AnalogDef:
    line, text = cur.next("analog channel")
    f = _fields(text, 13)
    if len(f) not in (10, 13):
        raise cur.error(f"analog channel line has {len(f)} fields, expected 13", line)
    if len(f) == 10:  # 1991 layout: no primary, secondary, PS
        f += ["", "", "P"]
    ps = (f[12] or "P").upper()
    if ps not in ("P", "S"):
        raise cur.error(f"PS field must be P or S, found {f[12][:10]!r}", line)
    primary = _float(cur, f[10], "primary ratio factor", line, blank_ok=True)
    secondary = _float(cur, f[11], "secondary ratio factor", line, blank_ok=True)
    return AnalogDef(
        number=_int(cur, f[0], "analog channel number", line, hi=10**9),
        name=f[1], phase=f[2], circuit=f[3], unit=f[4],
        a=_float(cur, f[5], "multiplier a", line),  # type: ignore[arg-type]
        b=_float(cur, f[6], "offset b", line, default=0.0),  # type: ignore[arg-type]
        skew=_float(cur, f[7], "skew", line, default=0.0),  # type: ignore[arg-type]
        min=_float(cur, f[8], "min", line, blank_ok=True),
        max=_float(cur, f[9], "max", line, blank_ok=True),
        primary=primary, secondary=secondary, ps=ps, line=line)


def _parse_digital(cur: _Cursor) -> DigitalDef:
    line, text = cur.next("digital channel")
    f = _fields(text, 5)
    if len(f) == 3:  # 1991 layout: Dn,ch_id,y
        f = [f[0], f[1], "", "", f[2]]
    if len(f) != 5:
        raise cur.error(f"digital channel line has {len(f)} fields, expected 5", line)
    return DigitalDef(number=_int(cur, f[0], "digital channel number", line, hi=10**9),
                      name=f[1], phase=f[2], circuit=f[3],
                      normal=_int(cur, f[4], "normal state", line, hi=1, default=0),
                      line=line)


def _parse_rates(cur: _Cursor) -> Tuple[Tuple[RateDef, ...], Optional[int]]:
    line, text = cur.next("number of sampling rates")
    nrates = _int(cur, _fields(text, 1)[0], "number of sampling rates", line, hi=10**6)
    peek = cur.peek()
    if nrates == 0 and peek is not None and "/" in peek:
        return (), None  # no "0,endsamp" line: the data file gives the length
    rates: List[RateDef] = []
    for _ in range(max(nrates, 1)):
        line, text = cur.next("sampling rate (samp,endsamp)")
        f = _fields(text, 2)
        if len(f) != 2:
            raise cur.error(f"sampling rate line has {len(f)} fields, expected samp,endsamp", line)
        samp = _float(cur, f[0], "sampling rate", line)
        assert samp is not None
        if samp < 0:
            raise cur.error(f"sampling rate {samp:g} is negative", line)
        end = _int(cur, f[1], "last sample number", line)
        if rates and samp != rates[0].samp:
            raise cur.error(
                f"several sampling rates ({rates[0].samp:g} Hz and {samp:g} Hz) in one "
                "recording are not supported; resample to one rate first", line)
        if rates and end < rates[-1].endsamp:
            raise cur.error(f"last sample number {end} is below the previous one "
                            f"({rates[-1].endsamp})", line)
        rates.append(RateDef(samp=samp, endsamp=end, line=line))
    return tuple(rates), rates[-1].endsamp


def parse_cfg(text: str, path: str, first_line: int = 1) -> ComtradeConfig:
    """Parse configuration text.  ``first_line`` offsets line numbers (for the
    CFG section of a .cff file)."""
    cur = _Cursor(text.lstrip("\ufeff"), path, first_line)

    line, head = cur.next("station name, device id, revision year")
    f = _fields(head, 3)
    station = f[0]
    device = f[1] if len(f) > 1 else ""
    rev_text = f[2] if len(f) > 2 else ""
    if rev_text and rev_text not in _REVISIONS:
        raise cur.error(f"unknown revision year {rev_text[:20]!r}; expected 1991, 1999 or 2013",
                        line)
    rev = _REVISIONS.get(rev_text, 1991)

    line, text = cur.next("channel counts (TT,##A,##D)")
    f = _fields(text, 3)
    if len(f) != 3:
        raise cur.error(f"channel count line has {len(f)} fields, expected TT,##A,##D", line)
    total = _int(cur, f[0], "total channel count", line, hi=10**9)
    ma, md = _COUNT_A.match(f[1]), _COUNT_D.match(f[2])
    if not ma or not md:
        raise cur.error(f"channel counts must look like 3A and 1D, found {f[1][:12]!r}, "
                        f"{f[2][:12]!r}", line)
    n_analog, n_digital = int(ma.group(1)), int(md.group(1))
    if n_analog + n_digital != total:
        raise cur.error(f"channel counts disagree: {total} total but {n_analog} analog + "
                        f"{n_digital} digital", line)

    analog = tuple(_parse_analog(cur) for _ in range(n_analog))
    digital = tuple(_parse_digital(cur) for _ in range(n_digital))

    line, text = cur.next("line frequency")
    lf = _float(cur, _fields(text, 1)[0], "line frequency", line, blank_ok=True)
    line_frequency = lf if lf is not None and lf > 0 else None

    rates, n_samples = _parse_rates(cur)

    line, text = cur.next("start date/time")
    start, digits1 = parse_stamp(text, rev, path=path, line=line)
    line, text = cur.next("trigger date/time")
    trigger, digits2 = parse_stamp(text, rev, path=path, line=line)

    ft_line, text = cur.next("data file type")
    ft = text.strip().upper()
    if ft not in DATA_FORMATS:
        raise cur.error(f"unknown data file type {text.strip()[:20]!r}; expected ASCII, "
                        "BINARY, BINARY32 or FLOAT32", ft_line)

    timemult = 1.0
    if cur.has_more():
        line, text = cur.next("time multiplier")
        value = _float(cur, _fields(text, 1)[0], "time multiplier", line, blank_ok=True)
        if value is not None:
            if value <= 0:
                raise cur.error(f"time multiplier {value:g} must be positive", line)
            timemult = value

    extra = {}
    if rev >= 2013:
        extra = _parse_2013_tail(cur)

    return ComtradeConfig(
        path=path, station=station, device=device, rev=rev, analog=analog, digital=digital,
        line_frequency=line_frequency, rates=rates, n_samples=n_samples,
        start_time=start, trigger_time=trigger, nanoseconds=max(digits1, digits2) > 6,
        ft=ft, ft_line=ft_line, timemult=timemult, **extra)


def _pair_line(cur: _Cursor, what: str, expected: str) -> tuple:
    """The next line, which must hold the two fields named by ``expected``."""
    line, text = cur.next(what)
    f = _fields(text, 2)
    if len(f) != 2:
        raise cur.error(f"{what} line has {len(f)} fields, expected {expected}", line)
    return line, f


def _parse_2013_tail(cur: _Cursor) -> dict:
    """Optional "time_code,local_code" and "tmq_code,leapsec" lines."""
    out: dict = {}
    if not cur.has_more():
        return out
    line, f = _pair_line(cur, "time code", "time_code,local_code")
    for value, what in ((f[0], "time_code"), (f[1], "local_code")):
        unused = what == "local_code" and value in ("x", "X")
        if value and not (_TIME_CODE.match(value) or unused):
            raise cur.error(f"{what} {value[:12]!r} is not an offset such as -5h30", line)
    out["time_code"], out["local_code"] = f[0], f[1]
    if not cur.has_more():
        return out
    line, f = _pair_line(cur, "time quality", "tmq_code,leapsec")
    if f[0] and not _TMQ.match(f[0]):
        raise cur.error(f"tmq_code {f[0][:12]!r} is not one hexadecimal digit", line)
    out["tmq_code"] = f[0] or None
    out["leap_second"] = _int(cur, f[1], "leapsec", line, hi=3, default=0) if f[1] else None
    return out
