"""The events table: dips, swells and interruptions found by the library's
detector on the one-cycle values, and rapid voltage changes, in one table
with a ``type`` column.

Columns (``EVENT_COLUMNS``):

- ``type``: "dip", "swell", "interruption" or "rvc";
- ``phases``: the affected phases, e.g. "1,3" ("" where not known);
- ``t_start``, ``t_end``, ``duration``: seconds (``t_end`` NaN while the
  event was still in progress at the end of the recording, ``duration``
  then up to the last value);
- ``extreme_v``, ``extreme_pct``: dips and interruptions their residual
  voltage (the lowest one-cycle value of any phase), swells their highest
  value, in volts and in percent of ``reference_voltage``; NaN for RVC;
- ``reference_voltage``: dips, swells, interruptions the declared voltage
  (or the sliding reference) the thresholds refer to, RVC the steady mean
  before the event;
- ``delta_u_max``, ``delta_u_ss`` and their ``_pct``: RVC only (NaN else);
- ``ended``: False for an event still in progress at the end.
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, Optional

import numpy as np
import pandas as pd

from .records import VOLTAGE_EVENT_TYPES

__all__ = ["EVENT_COLUMNS", "EVENT_TYPES", "phases_text", "voltage_event_rows", "events_frame",
           "estimate_declared_voltage", "event_type_counts"]

EVENT_COLUMNS = ["type", "phases", "t_start", "t_end", "duration", "extreme_v", "extreme_pct",
                 "reference_voltage", "delta_u_max", "delta_u_ss", "delta_u_max_pct",
                 "delta_u_ss_pct", "ended"]
EVENT_TYPES = ("dip", "swell", "interruption", "rvc")

_NAN = float("nan")


def phases_text(mask: int) -> str:
    """"1,3" for the bit mask 0b101 (bit k: phase k + 1)."""
    return ",".join(str(k + 1) for k in range(32) if int(mask) >> k & 1)


def voltage_event_rows(records: np.ndarray) -> List[Dict[str, Any]]:
    """Table rows of ``records.VOLTAGE_EVENT_DTYPE`` records."""
    rows = []
    for r in records:
        ended = bool(r["ended"])
        start = float(r["startTime"])
        duration = float(r["duration"])
        rows.append({
            "type": VOLTAGE_EVENT_TYPES.get(int(r["type"]), str(int(r["type"]))),
            "phases": phases_text(int(r["phases"])),
            "t_start": start,
            "t_end": start + duration if ended else _NAN,
            "duration": duration,
            "extreme_v": float(r["extreme"]),
            "extreme_pct": float(r["extremePercent"]),
            "reference_voltage": float(r["referenceVoltage"]),
            "delta_u_max": _NAN, "delta_u_ss": _NAN, "delta_u_max_pct": _NAN,
            "delta_u_ss_pct": _NAN,
            "ended": ended,
        })
    return rows


def events_frame(rows: List[Dict[str, Any]], *, sort: bool = False) -> pd.DataFrame:
    """The rows as a table with ``EVENT_COLUMNS``; ``sort`` orders them by
    start time (stable: events that start together keep their order)."""
    frame = pd.DataFrame(rows, columns=EVENT_COLUMNS)
    if sort and len(frame):
        frame = frame.sort_values("t_start", kind="stable").reset_index(drop=True)
    return frame


def event_type_counts(events: Optional[pd.DataFrame]) -> Dict[str, int]:
    """{type: number of events} for every type of ``EVENT_TYPES``; a table
    without a ``type`` column holds RVC events only."""
    counts = dict.fromkeys(EVENT_TYPES, 0)
    if events is None or not len(events):
        return counts
    if "type" not in events.columns:
        counts["rvc"] = len(events)
        return counts
    for name, n in events["type"].value_counts().items():
        counts[str(name)] = counts.get(str(name), 0) + int(n)
    return counts


def estimate_declared_voltage(phase_voltages: np.ndarray,
                              samples_per_cycle: float) -> Optional[float]:
    """A declared voltage for a recording that gave none: the median of the
    RMS values of every phase over consecutive blocks of about one cycle of
    the samples given (the first 50 cycles of the recording), or None where that
    is not a positive number.  The median keeps events that take less than
    half of those cycles (a dip, a swell, one phase that starts lost) from
    setting it; a block of about a cycle differs from a whole cycle by less
    than a sample, which moves its RMS by well under one percent."""
    x = np.asarray(phase_voltages, dtype=np.float64)
    if x.ndim == 1:
        x = x[:, None]
    size = max(1, int(round(float(samples_per_cycle))))
    blocks = len(x) // size
    if blocks == 0:
        blocks, size = 1, len(x)
    if size == 0:
        return None
    cycles = x[:blocks * size].reshape(blocks, size, x.shape[1])
    finite = np.isfinite(cycles)
    counts = finite.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        rms = np.sqrt((np.where(finite, cycles, 0.0) ** 2).sum(axis=1) / counts)
    rms = rms[np.isfinite(rms)]
    if not rms.size:
        return None
    value = float(np.median(rms))
    return value if value > 0 and math.isfinite(value) else None
