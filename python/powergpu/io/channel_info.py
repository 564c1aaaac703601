"""Per-channel description shared by every reader, and unit normalisation.

Values leave the readers in volts and amperes even when a recorder stored kV
or mA, so downstream analysis never has to know about prefixes; ``source_unit``
keeps what the file said.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Tuple

from .naming import classify_name

KINDS = ("voltage", "current", "other")

_BASE_WORDS = {
    "v": "V", "volt": "V", "volts": "V",
    "a": "A", "amp": "A", "amps": "A", "ampere": "A", "amperes": "A",
}
_PREFIXES = {"k": 1e3, "K": 1e3, "M": 1e6, "m": 1e-3, "u": 1e-6, "\u00b5": 1e-6, "\u03bc": 1e-6}


def normalise_unit(unit: str) -> Tuple[str, float]:
    """Return (unit to report, factor to multiply values by).

    Only volts and amperes are rescaled (kV -> V x1000, mA -> A x0.001); any
    other unit is reported unchanged with factor 1.
    """
    text = unit.strip()
    if not text:
        return "", 1.0
    base = _BASE_WORDS.get(text.lower())
    if base is not None:
        return base, 1.0
    if len(text) > 1 and text[0] in _PREFIXES:
        base = _BASE_WORDS.get(text[1:].lower())
        if base is not None:
            return base, _PREFIXES[text[0]]
    return text, 1.0


def kind_from_unit(base_unit: str) -> Optional[str]:
    """Kind implied by a normalised unit, or None when the unit is not V or A."""
    return {"V": "voltage", "A": "current"}.get(base_unit)


def infer_kind(base_unit: str, name: str) -> str:
    """The unit decides when it is V or A; otherwise the name may; else "other"."""
    kind = kind_from_unit(base_unit)
    if kind is not None:
        return kind
    if base_unit:
        return "other"  # a real unit that is neither V nor A (Hz, %, W...)
    name_kind, _ = classify_name(name)
    return name_kind or "other"


@dataclass(frozen=True)
class ChannelInfo:
    """One analog channel of a recording.

    ``gain`` and ``offset`` turn the stored number into the value returned by
    ``Recording.read`` (value = raw * gain + offset).  For COMTRADE they fold in
    a, b, the primary/secondary ratio and the unit prefix; ``a``, ``b``,
    ``primary``, ``secondary`` and ``ps`` keep the file's own fields.
    """

    index: int
    name: str
    unit: str
    phase: str
    kind: str
    gain: float = 1.0
    offset: float = 0.0
    source_unit: str = ""
    a: float = 1.0
    b: float = 0.0
    primary: float = 1.0
    secondary: float = 1.0
    ps: str = "P"
    skew: float = 0.0
    circuit: str = ""
