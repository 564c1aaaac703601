"""Evaluation of a recording against the voltage characteristics that EN 50160
sets for public low-voltage networks.

``evaluate`` takes the 10-s frequency, the 10-min values (``aggregation``)
and the events table and returns a JSON-ready dict: per evaluation period
(each week from the recording's start; the whole recording when shorter)
every criterion with its measured statistic, its limit and pass/fail.
Flagged values are left out of every statistic (and counted), since a
value measured during a dip, swell or interruption describes the event, not
the continuous voltage characteristic. A criterion without any value to
judge has ``pass`` None and does not decide the verdict; event counts are
reported without a limit (the standard gives none that binds).
"""
from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any, Dict, List, Optional, Union

import numpy as np
import pandas as pd

from .aggregation import absolute_start

__all__ = ["HARMONIC_LIMITS", "evaluate", "criteria_table", "write_compliance"]

#: Individual harmonic voltage limits, % of the fundamental, per order.
HARMONIC_LIMITS: Dict[int, float] = {
    2: 2.0, 3: 5.0, 4: 1.0, 5: 6.0, 7: 5.0, 9: 1.5, 11: 3.5, 13: 3.0, 15: 0.5,
    17: 2.0, 19: 1.5, 21: 0.5, 23: 1.5, 25: 1.5,
    **{order: 0.5 for order in range(6, 25, 2)},
}

WEEK = pd.Timedelta(days=7)


def _criterion(cid: str, quantity: str, values: np.ndarray, inside: np.ndarray, required: float,
               limit: str, flagged: int, worst: Optional[str] = None) -> Dict[str, Any]:
    """One criterion: the share of the (unflagged) values inside the limit
    against the share required."""
    n = int(len(values))
    share = float(100.0 * inside.sum() / n) if n else None
    return {
        "id": cid, "quantity": quantity, "limit": limit, "required_percent": required,
        "measured_percent": share, "values": n, "flagged_excluded": int(flagged),
        "worst_channel": worst,
        "pass": None if share is None else bool(share >= required - 1e-9),
    }


def _worst(rows: List[Dict[str, Any]], cid: str, quantity: str, limit: str,
           required: float) -> Dict[str, Any]:
    """Of one criterion judged per channel, the channel with the lowest share."""
    judged = [r for r in rows if r["measured_percent"] is not None]
    if not judged:
        return _criterion(cid, quantity, np.zeros(0), np.zeros(0, bool), required, limit,
                          sum(r["flagged_excluded"] for r in rows))
    worst = min(judged, key=lambda r: r["measured_percent"])
    return {**worst, "id": cid, "quantity": quantity, "limit": limit}


def _per_channel(table: pd.DataFrame, keep: np.ndarray, flagged: int, pattern: str, cid: str,
                 quantity: str, limit: str, required: float, test) -> Optional[Dict[str, Any]]:
    columns = [c for c in table.columns if re.fullmatch(pattern, str(c))]
    if not columns:
        return None
    rows = []
    for column in columns:
        v = table.loc[keep, column].to_numpy(dtype=np.float64)
        v = v[np.isfinite(v)]
        rows.append(_criterion(cid, quantity, v, test(v), required, limit, flagged, worst=column))
    return _worst(rows, cid, quantity, limit, required)


def _period_criteria(freq: pd.DataFrame, ten: pd.DataFrame, events: pd.DataFrame,
                     flicker: Optional[pd.DataFrame], f0: float, udin: float) -> List[Dict[str, Any]]:
    out: List[Dict[str, Any]] = []
    if len(freq):
        keep = ~freq["flagged"].astype(bool).to_numpy()
        f = freq["frequency"].to_numpy(dtype=np.float64)[keep]
        f = f[np.isfinite(f)]
        excluded = int((~keep).sum())
        out.append(_criterion("frequency_99_5", "10-s frequency", f, np.abs(f - f0) <= 0.01 * f0, 99.5,
                              f"{f0:g} Hz +/-1 %", excluded))
        out.append(_criterion("frequency_100", "10-s frequency", f,
                              (f >= 0.94 * f0) & (f <= 1.04 * f0), 100.0, f"{f0:g} Hz +4 %/-6 %",
                              excluded))
    if len(ten):
        keep = ~ten["flagged"].astype(bool).to_numpy()
        excluded = int((~keep).sum())
        # THD up to order 40 where the table has it (u<k>_thd40), else the
        # window THD as measured
        thd_pattern = r"u\d_thd40" if any(re.fullmatch(r"u\d_thd40", str(c)) for c in ten.columns) \
            else r"u\d_thd"
        checks = [
            (r"u\d_rms", "voltage_95", "10-min voltage", f"{udin:g} V +/-10 %", 95.0,
             lambda v: np.abs(v - udin) <= 0.1 * udin),
            (r"u\d_rms", "voltage_100", "10-min voltage", f"{udin:g} V +10 %/-15 %", 100.0,
             lambda v: (v >= 0.85 * udin) & (v <= 1.1 * udin)),
            (r"u2_ratio", "unbalance", "10-min negative-sequence unbalance u2", "<= 2 %", 95.0,
             lambda v: v <= 2.0),
            (thd_pattern, "thd", "10-min voltage THD (orders 2..40)", "<= 8 %", 95.0, lambda v: v <= 8.0),
        ]
        for pattern, cid, quantity, limit, required, test in checks:
            row = _per_channel(ten, keep, excluded, pattern, cid, quantity, limit, required, test)
            if row is not None:
                out.append(row)
        for order, bound in sorted(HARMONIC_LIMITS.items()):
            row = _per_channel(ten, keep, excluded, rf"u\d_h{order}", f"harmonic_{order}",
                               f"10-min harmonic voltage of order {order}", f"<= {bound:g} % of H1", 95.0,
                               lambda v, b=bound: v <= b)
            if row is not None:
                out.append(row)
    if flicker is not None and len(flicker):
        rows = []
        # A Plt whose 2 hours hold a dip, swell or interruption is left out
        # (``plt_flagged`` of ``flicker.flag_intervals``).
        flagged = (flicker["plt_flagged"].fillna(False).astype(bool).to_numpy() if "plt_flagged" in flicker
                   else np.zeros(len(flicker), dtype=bool))
        for column in [c for c in flicker.columns if str(c).startswith("Plt_")]:
            v = flicker[column].to_numpy(dtype=np.float64)
            judged = np.isfinite(v)
            v = v[judged & ~flagged]
            rows.append(_criterion("plt", "long-term flicker Plt", v, v <= 1.0, 95.0, "<= 1",
                                   int((judged & flagged).sum()), worst=column))
        if rows:
            out.append(_worst(rows, "plt", "long-term flicker Plt", "<= 1", 95.0))
    counts = events["type"].value_counts() if len(events) and "type" in events else pd.Series(dtype=int)
    for kind in ("dip", "swell", "interruption", "rvc"):
        out.append({"id": f"{kind}_count", "quantity": f"{kind} events", "limit": None,
                    "required_percent": None, "measured_percent": None,
                    "values": int(counts.get(kind, 0)), "flagged_excluded": 0, "worst_channel": None,
                    "pass": None})
    return out


def _in_period(times: pd.Series, lo: pd.Timestamp, hi: pd.Timestamp) -> np.ndarray:
    t = pd.DatetimeIndex(times)
    return np.asarray((t >= lo) & (t < hi))


def evaluate(frequency: pd.DataFrame, ten_minutes: pd.DataFrame, events: pd.DataFrame, *,
             start_time, duration_s: float, nominal_frequency: float, declared_voltage: float,
             flicker: Optional[pd.DataFrame] = None) -> Dict[str, Any]:
    """The verdict, per week from ``start_time`` (the last period may be
    shorter; a recording shorter than a week is one period).

    ``frequency``: t_start (timestamp), frequency (Hz), flagged: the 10-s
    values. ``ten_minutes``: the 10-min table of ``aggregation.aggregate``
    (u<k>_rms, u2_ratio, u<k>_thd or u<k>_thd40, u<k>_h<n>, flagged). ``events``: the
    events table (``type``; ``t_start`` in s after the first sample when
    present, else ``start``). ``flicker``: a table with t_start (s) and
    Plt_<ch> columns (and ``plt_flagged``), or None."""
    if not (np.isfinite(declared_voltage) and declared_voltage > 0):
        raise ValueError(f"declared_voltage: must be finite and above 0 V (got {declared_voltage})")
    if not (np.isfinite(nominal_frequency) and nominal_frequency > 0):
        raise ValueError(f"nominal_frequency: must be finite and above 0 Hz (got {nominal_frequency})")
    start = absolute_start(start_time)
    end = start + pd.to_timedelta(max(float(duration_s), 0.0), unit="s")
    seconds = lambda table, column: start + pd.to_timedelta(  # noqa: E731
        table[column].to_numpy(dtype=np.float64), unit="s")
    event_column = next((c for c in ("t_start", "start") if c in events), None)
    event_times = seconds(events, event_column) if event_column else None
    plt_times = seconds(flicker, "t_start") if flicker is not None and len(flicker) else None
    periods = []
    lo = start
    while True:
        hi = min(lo + WEEK, end) if end > lo else lo + WEEK
        # Values belong to the period in which they start; the first period
        # also takes the interval that began before the recording (its
        # 10-min or 10-s tick lies before the first sample), the last one
        # whatever starts after the nominal end.
        below = pd.Timestamp.min if lo == start else lo
        above = pd.Timestamp.max if hi >= end else hi
        ev = events[_in_period(event_times, below, above)] if event_times is not None else events.iloc[:0]
        fl = flicker[_in_period(plt_times, below, above)] if plt_times is not None else None
        criteria = _period_criteria(frequency[_in_period(frequency["t_start"], below, above)],
                                    ten_minutes[_in_period(ten_minutes["t_start"], below, above)], ev, fl,
                                    nominal_frequency, declared_voltage)
        judged = [c["pass"] for c in criteria if c["pass"] is not None]
        periods.append({"start": lo.isoformat(), "end": hi.isoformat(), "full_week": bool(hi - lo >= WEEK),
                        "criteria": criteria, "pass": bool(all(judged)) if judged else None})
        lo = hi
        if lo >= end:
            break
    verdicts = [p["pass"] for p in periods if p["pass"] is not None]
    return {"standard": "EN 50160", "nominal_frequency": nominal_frequency,
            "declared_voltage": declared_voltage, "start": start.isoformat(), "end": end.isoformat(),
            "periods": periods, "pass": bool(all(verdicts)) if verdicts else None}


def criteria_table(result: Dict[str, Any]) -> pd.DataFrame:
    """One row per period and criterion: the verdict as a table (for a
    report or the console)."""
    rows = [{"period_start": p["start"], **c} for p in result["periods"] for c in p["criteria"]]
    return pd.DataFrame(rows)


def write_compliance(result: Dict[str, Any], folder: Union[str, Path]) -> Path:
    """Writes ``compliance.json`` into ``folder``; returns its path."""
    path = Path(folder) / "compliance.json"
    path.write_text(json.dumps(result, indent=2, allow_nan=False) + "\n")
    return path
