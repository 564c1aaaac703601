"""Flicker: the records of the library's flickermeters and the tables built from them.

The library measures Pinst and the short-term severity Pst of every 10-minute
interval per voltage channel (see the flicker section of ``powergpu.h``).
This module holds their numpy record types, the long-term severity
``plt`` (the cube root of the mean of the cubed Pst values of 2 hours) and
``FlickerCollector``, which gathers the Pst records of an analysis into the
``flicker`` table: one row per 10-minute interval, Pst per channel, and the
2-hour Plt on the row of each 2-hour block's last interval.
"""
from __future__ import annotations

import math
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Union

import numpy as np
import pandas as pd

__all__ = ["LAMP_230V", "LAMP_120V", "PINST_DTYPE", "PST_DTYPE", "FLICKER_SETTINGS", "lamp_code",
           "plt", "flicker_settings", "FlickerCollector", "write_flicker_csv"]

#: Lamp models (POWER_FLICKER_LAMP_* of powergpu.h).
LAMP_230V = 0
LAMP_120V = 1

#: Module.configure keys of the flicker settings beyond ``flicker_enabled``.
FLICKER_SETTINGS = ("flicker_lamp", "flicker_system_frequency", "flicker_interval_start")

#: Lowest sample rate the flickermeters accept, Hz.
MINIMUM_SAMPLE_RATE = 1600.0

#: PowerFlickerPinst, 32 bytes.
PINST_DTYPE = np.dtype({"names": ["firstSampleIndex", "length", "channel", "mean", "max"],
                        "formats": ["<u8", "<u4", "u1", "<f8", "<f8"],
                        "offsets": [0, 8, 12, 16, 24], "itemsize": 32})

#: PowerFlickerPst, 80 bytes.
PST_DTYPE = np.dtype({"names": ["firstSampleIndex", "length", "pst", "p01", "p1s", "p3s", "p10s",
                                "p50s", "coverage", "channel", "complete"],
                      "formats": ["<u8", "<u8", "<f8", "<f8", "<f8", "<f8", "<f8", "<f8", "<f8",
                                  "u1", "?"],
                      "offsets": [0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 73], "itemsize": 80})

#: Pst intervals per Plt value (2 hours).
INTERVALS_PER_PLT = 12


def lamp_code(lamp: Union[str, int]) -> int:
    """The library's code of a lamp given as "230V", "120V", 230, 120, 0 or 1."""
    key = str(lamp).strip().upper().rstrip("V")
    codes = {"230": LAMP_230V, "0": LAMP_230V, "120": LAMP_120V, "1": LAMP_120V}
    if key not in codes:
        raise ValueError(f"unknown lamp {lamp!r}; use '230V' or '120V'")
    return codes[key]


def plt(pst: Sequence[float]) -> float:
    """Long-term severity of Pst values: the cube root of the mean of their cubes."""
    values = np.asarray(pst, dtype=float)
    if values.size == 0:
        return math.nan
    return float(np.cbrt(np.mean(values ** 3)))


def flicker_settings(sample_rate: float, nominal_frequency: float, start_index: int,
                     lamp: Union[str, int] = "230V") -> Dict[str, Any]:
    """Module settings that measure flicker from ``start_index`` on, or {} where the
    flickermeter cannot run (a rate below 1600 Hz, a supply far from 50 or 60 Hz)."""
    if sample_rate < MINIMUM_SAMPLE_RATE:
        return {}
    supply = min((50.0, 60.0), key=lambda f: abs(f - nominal_frequency))
    if abs(supply - nominal_frequency) > 0.1 * supply:
        return {}
    return {"flicker_enabled": True, "flicker_lamp": lamp, "flicker_system_frequency": supply,
            "flicker_interval_start": int(start_index)}


def _channel_names(voltages: int, delta: bool) -> List[str]:
    if delta:
        return ["U12", "U23", "U31"]
    return [f"U{k + 1}" for k in range(voltages)]


class FlickerCollector:
    """Takes the Pst records of a module's flickermeters as they complete.

    ``module``: a ``Module`` configured with ``flicker_settings`` (a module
    without flicker gives an empty table).  ``start_index``: the running
    index of the first sample (time 0 of the table is index 0, as in the
    other tables).
    """

    def __init__(self, module: Any, sample_rate: float, delta: bool) -> None:
        self.module = module
        self.fs = float(sample_rate)
        self.channels = module.flicker_channels if module.flicker_enabled else 0
        self.names = _channel_names(self.channels, delta)[:self.channels]
        self.start = int(module.flicker_interval_start) if self.channels else 0
        self._records: List[np.ndarray] = []
        # Pinst (one value per 10 ms) kept as a min/max envelope per channel,
        # so that a week costs no more memory than a minute
        from .trends import Envelope

        self._pinst = {name: Envelope([name]) for name in self.names}

    def drain(self) -> None:
        """Takes every waiting Pst record (the library keeps a week of them)
        and every Pinst record (10 minutes of them), the latter into the
        envelope of ``pinst``."""
        for c in range(self.channels):
            records = self.module.flicker_pst(c)
            if len(records):
                self._records.append(records)
            pinst = self.module.flicker_pinst(c)
            if len(pinst):
                name = self.names[c]
                self._pinst[name].add(pinst["firstSampleIndex"].astype(np.float64) / self.fs,
                                      {name: pinst["max"]})

    def pinst(self) -> Dict[str, Any]:
        """{channel: (t in s, Pinst)}: the min/max envelope of the largest
        Pinst of each 10 ms value, at most a few thousand points."""
        return {name: env.points(name) for name, env in self._pinst.items() if env.rows}

    def frame(self) -> pd.DataFrame:
        """One row per 10-minute interval: t_start, t_end (s), then per channel
        Pst_<ch>, complete_<ch> (every Pinst value of the interval measured),
        Plt_<ch> (on the last interval of each 2-hour block whose 12
        intervals were all complete; NaN elsewhere)."""
        self.drain()
        columns = ["t_start", "t_end"]
        for name in self.names:
            columns += [f"Pst_{name}", f"complete_{name}", f"Plt_{name}"]
        if not self._records:
            return pd.DataFrame({c: pd.Series(dtype=bool if c.startswith("complete") else float)
                                 for c in columns})
        r = np.concatenate(self._records)
        # An interval measured twice (cut by a restart, then measured again)
        # keeps the record with the larger coverage.
        order = np.lexsort((-r["coverage"], r["channel"], r["firstSampleIndex"]))
        r = r[order]
        keep = np.ones(len(r), dtype=bool)
        keep[1:] = (r["firstSampleIndex"][1:] != r["firstSampleIndex"][:-1]) | \
                   (r["channel"][1:] != r["channel"][:-1])
        r = r[keep]
        starts = np.unique(r["firstSampleIndex"])
        length = int(r["length"][0])
        out: Dict[str, Any] = {"t_start": starts / self.fs, "t_end": (starts + length) / self.fs}
        row_of = {int(s): k for k, s in enumerate(starts)}
        for c, name in enumerate(self.names):
            pst = np.full(len(starts), np.nan)
            complete = np.zeros(len(starts), dtype=bool)
            mine = r[r["channel"] == c]
            rows = np.array([row_of[int(s)] for s in mine["firstSampleIndex"]], dtype=int)
            pst[rows] = mine["pst"]
            complete[rows] = mine["complete"]
            out[f"Pst_{name}"] = pst
            out[f"complete_{name}"] = complete
            out[f"Plt_{name}"] = self._plt_column(starts, length, pst, complete)
        return pd.DataFrame(out, columns=columns)

    def _plt_column(self, starts: np.ndarray, length: int, pst: np.ndarray,
                    complete: np.ndarray) -> np.ndarray:
        # 2-hour blocks on the grid of the interval start: interval k of the
        # grid belongs to block floor(k / 12).
        plt_values = np.full(len(starts), np.nan)
        k = (starts.astype(np.int64) - self.start) // length
        block = np.floor_divide(k, INTERVALS_PER_PLT)
        for b in np.unique(block):
            rows = np.flatnonzero(block == b)
            if len(rows) == INTERVALS_PER_PLT and complete[rows].all():
                plt_values[rows[-1]] = plt(pst[rows])
        return plt_values


def write_flicker_csv(table: Optional[pd.DataFrame], folder: Union[str, Path]) -> List[Path]:
    """Writes ``flicker.csv`` into ``folder`` when the table has rows; returns the paths written."""
    if table is None or len(table) == 0:
        return []
    path = Path(folder) / "flicker.csv"
    table.to_csv(path, index=False, float_format="%.6g")
    return [path]


#: Event types whose intervals flag the Pst values they overlap.
FLAGGING_EVENTS = ("dip", "swell", "interruption")


def flag_intervals(flicker: pd.DataFrame, events: Optional[pd.DataFrame]) -> pd.DataFrame:
    """The flicker table with a ``flagged`` column: true for an interval that
    shares any instant with a dip, swell or interruption (an event still in
    progress at the end lasts to the end). The Pst of such an interval is
    mostly the event's own change of level, not flicker. ``plt_flagged``,
    on the rows that carry a Plt: true when any of its 12 intervals is
    flagged (a Plt row ends a run of 12 consecutive complete intervals)."""
    out = flicker.copy()
    flagged = np.zeros(len(out), dtype=bool)
    if events is not None and len(events) and len(out):
        kinds = events[events["type"].isin(FLAGGING_EVENTS)]
        t0 = out["t_start"].to_numpy(dtype=np.float64)
        t1 = out["t_end"].to_numpy(dtype=np.float64)
        for a, b in zip(kinds["t_start"].to_numpy(dtype=np.float64),
                        kinds["t_end"].to_numpy(dtype=np.float64)):
            b = b if np.isfinite(b) else np.inf
            flagged |= (t1 >= a) & (t0 <= b)
    out["flagged"] = flagged
    over_block = pd.Series(flagged).rolling(INTERVALS_PER_PLT, min_periods=1).max().astype(bool).to_numpy()
    has_plt = out[[c for c in out.columns if str(c).startswith("Plt_")]].notna().any(axis=1).to_numpy()
    out["plt_flagged"] = over_block & has_plt
    return out
