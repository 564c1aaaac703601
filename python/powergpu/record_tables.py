"""Table columns from the module's records.

Pure functions of a ``ChannelLayout``: the windows table (one row per
window record), the harmonics table (one row per window, channel and
order), the half-cycle table (one row per period record) and the cycles
table.  Angles are phasor angles in degrees in (-180, 180], positive
counter-clockwise: the library gives negated sine phases.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, List, Sequence, Tuple

import numpy as np
import pandas as pd

from .cycles import Cycles
from .flags import total_distortion
from .records import GENERAL_DTYPE, PERIOD_DTYPE

__all__ = ["ChannelLayout", "HARMONIC_CHANNEL_NAMES", "HARMONIC_COLUMNS", "LINE_TO_LINE_NAMES",
           "cycles_frame", "harmonic_rows", "harmonics_frame", "period_columns",
           "table_frame", "window_columns"]

HARMONIC_CHANNEL_NAMES = ("U1", "U2", "U3", "I1", "I2", "I3", "U12", "U23", "U31")
HARMONIC_COLUMNS = ["window", "t_end", "channel", "order", "magnitude", "angle", "interharmonic",
                    "p", "q"]
#: Line-to-line channel suffixes, in the library's order.
LINE_TO_LINE_NAMES = ("12", "23", "31")
_CYCLE_KINDS = np.array(["measured", "filler", "partial"])
#: Power columns of phase {s} of the windows table and their record fields.
_PHASE_POWER_FIELDS = (("p{s}", "p"), ("p{s}_fft", "pFft"), ("q{s}", "q"), ("s{s}", "s"),
                       ("d{s}", "d"), ("pf{s}", "lambda"), ("cos_phi1_{s}", "cosPhi1"),
                       ("p1_{s}", "p1"), ("q1_{s}", "q1"), ("s1_{s}", "s1"), ("z{s}", "z"),
                       ("z1_{s}", "z1"))
#: Power columns of the three-phase total and their record fields.
_TOTAL_POWER_FIELDS = (("p_total", "p"), ("q_total", "q"), ("s_total", "s"),
                       ("pf_total", "lambda"), ("p1_total", "p1"), ("s1_total", "s1"),
                       ("q1_total", "q1Sum"))


@dataclass(frozen=True)
class ChannelLayout:
    """What the tables hold: the grid's phases, whether currents are
    measured, the line-to-line channels, whether interharmonics are
    computed, and the sample rate (for the window start times)."""

    phases: int
    with_currents: bool
    line_to_line: int
    interharmonics: bool
    sample_rate: float

    @property
    def phase_fields(self) -> List[str]:
        """Harmonic record fields with one table per phase."""
        fields = ["harmonicsU", "phasesU", "interharmonicsU"]
        if self.with_currents:
            fields += ["harmonicsI", "phasesI", "interharmonicsI", "harmonicsP", "harmonicsQ"]
        return fields

    @property
    def line_fields(self) -> List[str]:
        """Harmonic record fields with one table per line-to-line voltage."""
        return ["harmonicsUL", "interharmonicsUL"] if self.line_to_line else []

    def window_names(self) -> List[str]:
        """The columns of the windows table."""
        harm = {f: np.zeros((0, 4, 2), dtype=np.float32) for f in
                ("harmonicsU", "phasesU", "interharmonicsU", "harmonicsI", "phasesI",
                 "interharmonicsI", "harmonicsP", "harmonicsQ", "harmonicsUL",
                 "interharmonicsUL")}
        return list(window_columns(self, np.zeros(0, dtype=GENERAL_DTYPE), np.zeros(0, bool),
                                   harm).keys())

    def half_cycle_names(self) -> List[str]:
        """The columns of the half-cycle table."""
        return list(period_columns(self, np.zeros((0, self.phases + 1),
                                                  dtype=PERIOD_DTYPE)).keys())


def _conventional(angle: np.ndarray, dtype: Any = np.float64) -> np.ndarray:
    """Library angles (negated sine phases) -> phasor angles in
    (-180, 180]: a - ceil(a / 360 - 0.5) x 360 of the negated angle a,
    computed in float64 and returned as ``dtype``, step by step in place
    (the harmonics table has millions of angles, and every temporary array
    of that size costs as much as a step)."""
    a = np.negative(angle, dtype=np.float64)
    turns = a / 360.0
    turns -= 0.5
    np.ceil(turns, out=turns)
    turns *= 360.0
    out = np.empty(a.shape, dtype=dtype)
    np.subtract(a, turns, out=out, casting="same_kind")
    return out


def table_frame(batches: List[Dict[str, np.ndarray]], names: Sequence[str], *,
                share: bool = False) -> pd.DataFrame:
    """One table of column batches (an empty table of float columns
    without any).  ``share``: the frame uses the arrays of a single batch
    as they are, for batches that nothing else holds."""
    if not batches:
        return pd.DataFrame({k: pd.Series(dtype=np.float64) for k in names}, columns=list(names))
    if len(batches) == 1:
        data = batches[0]
    else:
        data = {k: np.concatenate([b[k] for b in batches]) for k in names}
    # Shared columns stay one block each: consolidating them into one block
    # per type copies every value once more (four times the time of the
    # frame itself). A batch that is also kept for the result is copied, so
    # that whoever receives this frame cannot change the result's values.
    # Columns already in order are not named again: selecting them costs
    # pandas half as much as building the frame.
    if list(data) == list(names):
        return pd.DataFrame(data, copy=not share)
    return pd.DataFrame(data, columns=list(names), copy=not share)


def _channel_columns(cols: Dict[str, np.ndarray], name: str, b: np.ndarray, kind: str,
                     phase: np.ndarray) -> None:
    """The columns a voltage (``kind`` "U") and a current ("I") channel
    share: RMS, RMS of the spectrum, mean absolute value, fundamental and
    its angle (``phase``: the library's), THD."""
    cols[f"{name}_rms"] = b[f"rms{kind}"]
    cols[f"{name}_rms_fft"] = b[f"rmsFft{kind}"]
    cols[f"{name}_mean_abs"] = b[f"meanAbs{kind}"]
    cols[f"{name}_h1"] = b[f"h1{kind}"]
    cols[f"{name}_h1_angle"] = _conventional(phase)
    cols[f"{name}_thd"] = b[f"thd{kind}"]["thd"]


def window_columns(layout: ChannelLayout, r: np.ndarray, valid: np.ndarray,
                    harm: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
    """Columns of the windows table for the window records ``r``
    (``harm``: their harmonic tables, copied out of the ring)."""
    fs, P = layout.sample_rate, layout.phases
    ch = r["channels"]
    cols: Dict[str, np.ndarray] = {
        "t_start": r["firstSampleIndex"].astype(np.float64) / fs,
        "t_end": r["time"].astype(np.float64),
        "frequency": r["frequency"].astype(np.float64),
        "first_sample": r["firstSampleIndex"].astype(np.int64),
        "n_samples": r["length"].astype(np.int64),
        "valid": valid,
        "flagged": ~valid,
    }
    for k in range(P):
        b = ch[:, k]
        u = f"u{k + 1}"
        _channel_columns(cols, u, b, "U", harm["phasesU"][:, k, 1])
        cols[f"{u}_thd_even"] = b["thdU"]["thdEven"]
        cols[f"{u}_thd_odd"] = b["thdU"]["thdOdd"]
        cols[f"{u}_thd_rms"] = b["thdU"]["thdRms"]
        cols[f"{u}_distortion"] = total_distortion(b["rmsFftU"], b["h1U"], b["thdU"]["thd"])
    if layout.with_currents:
        for k in range(P):
            b = ch[:, k]
            s = f"{k + 1}"
            _channel_columns(cols, f"i{s}", b, "I", harm["phasesI"][:, k, 1])
            for pattern, field in _PHASE_POWER_FIELDS:
                cols[pattern.format(s=s)] = b[field]
    for k in range(layout.line_to_line):
        b = ch[:, k]
        ab = f"u{LINE_TO_LINE_NAMES[k]}"
        cols[f"{ab}_rms"] = b["rmsUL"]
        cols[f"{ab}_h1"] = b["h1UL"]
        cols[f"{ab}_thd"] = b["thdUL"]["thd"]
    if P > 1 and layout.with_currents:
        total = ch[:, P]
        for name, field in _TOTAL_POWER_FIELDS:
            cols[name] = total[field]
    if P == 3:
        sym = r["symmetricalResults"]
        for k in range(3):
            cols[f"u{k}"] = sym[:, k]["uMagnitude"]
        cols["u0_ratio"] = sym[:, 0]["uRatio"]
        cols["u2_ratio"] = sym[:, 2]["uRatio"]
        if layout.with_currents:
            for k in range(3):
                cols[f"i{k}"] = sym[:, k]["iMagnitude"]
            cols["i0_ratio"] = sym[:, 0]["iRatio"]
            cols["i2_ratio"] = sym[:, 2]["iRatio"]
            for name, k in (("pos", 1), ("neg", 2), ("zero", 0)):
                cols[f"p_{name}"] = sym[:, k]["p"]
                cols[f"q_{name}"] = sym[:, k]["q"]
    return {k: np.asarray(v).copy() for k, v in cols.items()}


def harmonic_rows(layout: ChannelLayout, r: np.ndarray, index: np.ndarray,
                   harm: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
    """Rows of the harmonics table for the records ``r``: window by
    window, in each the channels U1..U3, I1..I3, U12..U31 (those
    present), in each the orders from 0."""
    n = len(r)
    width = harm["harmonicsU"].shape[2]
    nan = np.full((n, width), np.nan, dtype=np.float32)
    blocks: List[Tuple[int, np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []
    for k in range(layout.phases):
        inter = harm["interharmonicsU"][:, k] if layout.interharmonics else nan
        blocks.append((k, harm["harmonicsU"][:, k], harm["phasesU"][:, k], inter, nan, nan))
    if layout.with_currents:
        for k in range(layout.phases):
            inter = harm["interharmonicsI"][:, k] if layout.interharmonics else nan
            blocks.append((3 + k, harm["harmonicsI"][:, k], harm["phasesI"][:, k], inter,
                           harm["harmonicsP"][:, k], harm["harmonicsQ"][:, k]))
    for k in range(layout.line_to_line):
        inter = harm["interharmonicsUL"][:, k] if layout.interharmonics else nan
        blocks.append((6 + k, harm["harmonicsUL"][:, k], nan, inter, nan, nan))
    nch = len(blocks)
    shape = (n, nch, width)
    orders = np.arange(width, dtype=np.int16)
    lengths = r["harmonicLength"].astype(np.int64)
    if (lengths >= width).all():  # every window resolves every order: no mask to apply
        keep = slice(None)
    else:
        keep = np.broadcast_to((orders[None, :] < lengths[:, None])[:, None, :], shape).ravel()

    def table(j: int) -> np.ndarray:
        return np.stack([b[j] for b in blocks], axis=1).ravel()[keep]

    codes = np.array([b[0] for b in blocks], dtype=np.int8)
    return {
        "window": np.broadcast_to(index.astype(np.int32)[:, None, None], shape).ravel()[keep],
        "t_end": np.broadcast_to(r["time"].astype(np.float64)[:, None, None],
                                 shape).ravel()[keep],
        "channel": np.broadcast_to(codes[None, :, None], shape).ravel()[keep],
        "order": np.broadcast_to(orders[None, None, :], shape).ravel()[keep],
        "magnitude": table(1),
        "angle": _conventional(table(2), np.float32),
        "interharmonic": table(3),
        "p": table(4),
        "q": table(5),
    }


def harmonics_frame(batches: List[Dict[str, np.ndarray]], *, share: bool = False) -> pd.DataFrame:
    """The harmonics table of row batches of ``harmonic_rows``.  ``share``:
    the frame uses the arrays of a single batch as they are, for batches
    that nothing else holds."""
    names = HARMONIC_COLUMNS
    if len(batches) == 1:
        data = dict(batches[0]) if share else {k: batches[0][k].copy() for k in names}
    elif batches:
        data = {k: np.concatenate([b[k] for b in batches]) for k in names}
    else:
        data = {"window": np.zeros(0, np.int32), "t_end": np.zeros(0), "channel":
                np.zeros(0, np.int8), "order": np.zeros(0, np.int16)}
        for k in names[4:]:
            data[k] = np.zeros(0, np.float32)
    data["channel"] = pd.Categorical.from_codes(data["channel"].astype(np.int8),
                                                categories=list(HARMONIC_CHANNEL_NAMES))
    # The arrays are the frame's own by now: used as they are, one block
    # each. Copying them into one block per type (what a frame made with
    # copies does, seven times the time for this long, narrow table) or
    # into Series first (a copy each) would only move the same bytes again.
    return pd.DataFrame(data, columns=list(names), copy=False)


def period_columns(layout: ChannelLayout, pr: np.ndarray) -> Dict[str, np.ndarray]:
    """Columns of the half-cycle table for the period records ``pr``
    (shape (values, 1 + phases): the total, then the phases)."""
    P = layout.phases
    phase = pr[:, 1:]
    total = pr[:, 0] if P > 1 else pr[:, 1]
    cols: Dict[str, np.ndarray] = {
        "t_end": phase[:, 0]["time"].copy(),
        "frequency": phase[:, 0]["frequency"].copy(),
        "valid": phase[:, 0]["valid"].copy(),
        "flagged": ~phase[:, 0]["valid"],
    }
    for k in range(P):
        rec = phase[:, k]
        s = f"{k + 1}"
        cols[f"u{s}_rms"] = rec["rmsU"].copy()
        cols[f"u{s}_h1"] = rec["h1U"].copy()
        if layout.with_currents:
            cols[f"i{s}_rms"] = rec["rmsI"].copy()
            cols[f"i{s}_h1"] = rec["h1I"].copy()
            cols[f"p{s}"] = rec["p"].copy()
            cols[f"q1_{s}"] = rec["q1"].copy()
            cols[f"s{s}"] = rec["s"].copy()
            cols[f"pf{s}"] = rec["lambda"].copy()
            cols[f"phi1_{s}"] = rec["phi1"].copy()
        cols[f"rvc{s}_state"] = rec["rvcU"]["state"].astype(np.int8)
    cols["u_rms_mean"] = total["rmsU"].copy()
    if layout.with_currents:
        cols["p_total"] = total["p"].copy()
        cols["s_total"] = total["s"].copy()
    cols["rvc_state"] = total["rvcU"]["state"].astype(np.int8)
    cols["rvc_event_ended"] = total["rvcU"]["eventEnded"].copy()
    return cols


def cycles_frame(batches: List[Cycles], positions_per_second: float) -> pd.DataFrame:
    """The cycles table of cycle batches (positions -> seconds)."""
    c = Cycles.concatenate(batches)
    scale = positions_per_second
    return pd.DataFrame({
        "t_start": c.start.astype(np.float64) / scale,
        "t_end": c.end().astype(np.float64) / scale,
        "frequency": c.frequency,
        "valid": c.valid,
        "kind": pd.Categorical(_CYCLE_KINDS[c.kind.astype(np.intp)],
                               categories=list(_CYCLE_KINDS)),
        "amplitude": c.amplitude,
    })
