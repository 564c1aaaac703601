"""Rapid voltage changes: the event rows of the module's RVC states.

The module marks, per one-cycle value, whether a rapid voltage change is in
progress and when one ends; ``RvcEvents`` turns those states into rows of
the events table (``voltage_events.EVENT_COLUMNS``, type "rvc") batch by
batch, and tells the event intervals (``flags.EventIntervals``) which time
spans an event holds so that the values inside it get flagged.
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
import pandas as pd

from .flags import EventIntervals
from .steady import SteadyState
from .voltage_events import events_frame, phases_text

__all__ = ["RvcEvents"]


class RvcEvents:
    """Rapid voltage change events from the total period records' RVC fields,
    fed batch by batch (the state of an event in progress and the last
    steady-state length of mean RMS values carry over). An event is
    reported only when a steady state of valid values precedes it: without
    one, what the detector saw was not a change from a steady level."""

    def __init__(self, steady_length: int, nominal_voltage: Optional[float],
                 intervals: Optional[EventIntervals] = None, lag: float = math.inf) -> None:
        self.length = int(steady_length)
        # an event ends at the first of the N steady values that end it
        self.lag = float(lag)
        self.nominal_voltage = nominal_voltage
        self.intervals = intervals
        self.warmup = SteadyState(self.length)
        self.rows: List[Dict[str, Any]] = []
        self._recent_u = np.zeros(0)  # u_rms_mean of the last ``length`` values
        self._previous_state = -1  # RVC state of the previous value
        self._open_event: Optional[Tuple[float, float]] = None  # (t_start, reference)
        self._ignoring_event = False  # the library's event in progress is not reported
        self._event_phases = 0  # phases in an event while the open total event lasts (bit mask)

    def add(self, rvc: np.ndarray, u: np.ndarray, phase_states: Optional[np.ndarray] = None,
            valid: Optional[np.ndarray] = None) -> List[Dict[str, Any]]:
        """Takes the next values (``phase_states``: the phases' RVC states,
        shape (values, phases); ``valid``: which values were measured on
        valid cycles); returns the events that ended among them."""
        n = len(rvc)
        if n == 0:
            return []
        trusted = self.warmup.take(np.ones(n, bool) if valid is None else valid)
        state = rvc["state"]
        in_event = (np.zeros((n, 0), dtype=bool) if phase_states is None
                    else np.asarray(phase_states) == 1)
        since = 0  # the first value whose phases count for the open event
        ended = rvc["eventEnded"]
        prev = np.concatenate([[self._previous_state], state[:-1]])
        starts = (state == 1) & (prev != 1)
        u_all = np.concatenate([self._recent_u, np.asarray(u, dtype=np.float64)])
        off = len(self._recent_u)
        new: List[Dict[str, Any]] = []
        for k in np.flatnonzero(starts | ended).tolist():
            if starts[k] and self._open_event is None and not self._ignoring_event:
                if not trusted[k]:
                    # no steady state of valid values before it: not a change
                    self._ignoring_event = True
                    continue
                if self.nominal_voltage is not None:
                    ref = self.nominal_voltage
                else:
                    before = u_all[max(0, off + k - self.length):off + k]
                    ref = float(np.mean(before)) if len(before) else float("nan")
                self._open_event = (float(rvc["time"][k]), ref)
                self._event_phases = 0
                since = k
                if self.intervals is not None:
                    self.intervals.open(self, self._open_event[0], self.lag, kind="rvc")
            if ended[k] and self._ignoring_event:
                self._ignoring_event = False
            elif ended[k] and self._open_event is not None:
                self._event_phases |= self._mask(in_event, since, k + 1)
                new.append(self._row(self._open_event, rvc[k], ended=True,
                                     phases=self._event_phases))
                self._open_event = None
                since = k + 1
                self._register(new[-1])
        if self._open_event is not None:
            self._event_phases |= self._mask(in_event, since, n)
        self._previous_state = int(state[-1])
        self._recent_u = (u_all[max(0, len(u_all) - self.length):].copy() if self.length
                          else u_all[:0])
        self.rows += new
        return new

    def finish(self) -> List[Dict[str, Any]]:
        """The event still in progress at the end, if any."""
        if self._open_event is None:
            return []
        row = self._row(self._open_event, None, ended=False, phases=self._event_phases)
        self._open_event = None
        self.rows.append(row)
        self._register(row)
        return [row]

    def _register(self, row: Dict[str, Any]) -> None:
        if self.intervals is not None:
            self.intervals.close(self)
            self.intervals.add("rvc", row["t_start"], row["t_end"])

    @staticmethod
    def _mask(in_event: np.ndarray, lo: int, hi: int) -> int:
        """Bit mask of the phases in an event among values lo .. hi - 1."""
        if not in_event.shape[1] or hi <= lo:
            return 0
        hit = in_event[lo:hi].any(axis=0)
        return int(sum(1 << k for k in np.flatnonzero(hit).tolist()))

    @staticmethod
    def _row(opened: Tuple[float, float], rec: Optional[np.void], ended: bool,
             phases: int = 0) -> Dict[str, Any]:
        t_start, ref = opened
        if ended:
            duration = float(rec["duration"])
            dmax = float(rec["deltaUmax"])
            dss = float(rec["deltaUss"])
        else:
            duration = dmax = dss = float("nan")
        pct = (lambda v: 100.0 * v / ref if ref and math.isfinite(ref) else float("nan"))
        return {"type": "rvc", "phases": phases_text(phases), "t_start": t_start,
                "t_end": t_start + duration, "duration": duration, "extreme_v": float("nan"),
                "extreme_pct": float("nan"), "reference_voltage": ref,
                "delta_u_max": dmax, "delta_u_ss": dss, "delta_u_max_pct": pct(dmax),
                "delta_u_ss_pct": pct(dss), "ended": ended}

    @classmethod
    def frame(cls, rows: List[Dict[str, Any]], sort: bool = False) -> pd.DataFrame:
        return events_frame(rows, sort=sort)
