"""Recognise what a channel measures (voltage/current) and which phase, from
the short labels that recorders and spreadsheets use.

Kept separate from the readers because both the readers (to fill
``ChannelInfo.kind``) and the role mapper need the same rules; one place means
one behaviour.
"""
from __future__ import annotations

import re
from typing import Optional, Tuple

#: Phase codes used internally: single phases, line-to-line pairs, neutral.
PHASE_CODES = ("1", "2", "3", "12", "23", "31", "N")

_SINGLE = {
    "A": "1", "L1": "1", "R": "1", "1": "1",
    "B": "2", "L2": "2", "S": "2", "2": "2",
    "C": "3", "L3": "3", "T": "3", "3": "3",
}
# Only the cyclic order is accepted for pairs: "AC" would be -U31 and silently
# mapping it would flip a sign.
_PAIRS = {
    "AB": "12", "BC": "23", "CA": "31",
    "L1L2": "12", "L2L3": "23", "L3L1": "31",
    "L12": "12", "L23": "23", "L31": "31",
    "RS": "12", "ST": "23", "TR": "31",
    "12": "12", "23": "23", "31": "31",
}
_NEUTRAL = {"N", "NEUTRAL", "L0", "0"}

_SEPARATORS = re.compile(r"[\s_\-/.:]+")


def normalise_phase(label: str) -> Optional[str]:
    """Map a phase label ("A", "L1", "R", "1", "AB", "L1-N", "Bn"...) to a code
    in PHASE_CODES, or None when the label says nothing usable."""
    key = _SEPARATORS.sub("", label.strip().upper())
    if not key:
        return None
    if key.startswith("PHASE"):
        key = key[5:]
    elif key.startswith("PH"):
        key = key[2:]
    if key in _NEUTRAL:
        return "N"
    if key in _SINGLE:
        return _SINGLE[key]
    if key in _PAIRS:
        return _PAIRS[key]
    # Phase-to-neutral spelled out: "AN", "L1N", "L1-N" (separators removed).
    if key.endswith("N") and key[:-1] in _SINGLE:
        return _SINGLE[key[:-1]]
    return None


# "UA", "Va", "IL1", "Ib", "U12", "VAB", "U_L1-N", "In" (uppercased first).
_NAME_RE = re.compile(
    r"^(?P<q>[UVI])[\s_\-.]*"
    r"(?P<ph>L[123](?:[\s_\-]*L?[123])?|[123]{1,2}|[ABC]{1,2}|[RST]{1,2}|N)"
    r"(?:[\s_\-]*N)?"
    r"(?![A-Z0-9])"
)
_TOKEN_SPLIT = re.compile(r"[\s_/:,;()\[\]]+")


def _kind_of_letter(letter: str) -> str:
    return "current" if letter == "I" else "voltage"


def classify_name(name: str) -> Tuple[Optional[str], Optional[str]]:
    """Guess (kind, phase code) from a channel name; either may be None.

    The whole name is tried first ("U_L1"), then each token ("BUS1 VA"), then a
    word-based reading ("Phase A voltage").
    """
    upper = name.strip().upper()
    candidates = [upper] + [t for t in _TOKEN_SPLIT.split(upper) if t and t != upper]
    for cand in candidates:
        m = _NAME_RE.match(cand)
        if m:
            phase = normalise_phase(m.group("ph"))
            if phase is not None:
                return _kind_of_letter(m.group("q")), phase
    words = [w for w in _SEPARATORS.split(upper) if w]
    kind: Optional[str] = None
    if any(w.startswith("VOLT") for w in words):
        kind = "voltage"
    elif any(w.startswith("CURR") or w.startswith("AMP") for w in words):
        kind = "current"
    phases = {p for p in (normalise_phase(w) for w in words
                          if w not in ("V", "I", "U")) if p is not None}
    phase = phases.pop() if len(phases) == 1 else None
    return kind, phase
