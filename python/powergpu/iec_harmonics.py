"""Records of the grouped harmonic analysis (``getIecHarmonics``) and their
table form.

A record holds one window: its first sample, length, frequency, the orders
computed and, per channel (U1, U2, U3, I1, I2, I3), the subgroup,
interharmonic subgroup and group values of orders 0..50 and the THDS and
THDG figures (see ``powergpu.h`` and ``docs/quantities.md``).
"""
from __future__ import annotations

from typing import Dict, List

import numpy as np
import pandas as pd

__all__ = ["IEC_ORDER_COUNT", "IEC_CHANNEL_NAMES", "IEC_CHANNEL_DTYPE", "IEC_HARMONICS_DTYPE", "iec_frame",
           "iec_table_columns", "iec_rows", "iec_table", "measured_channels", "uncomputed_orders",
           "subgroup_percent"]

IEC_ORDER_COUNT = 51
IEC_CHANNEL_NAMES = ("U1", "U2", "U3", "I1", "I2", "I3")

IEC_CHANNEL_DTYPE = np.dtype({
    "names": ["subgroup", "interharmonic", "group", "thds", "thdg"],
    "formats": [("<f8", IEC_ORDER_COUNT)] * 3 + ["<f8", "<f8"],
    "offsets": [0, 408, 816, 1224, 1232],
    "itemsize": 1240,
})

IEC_HARMONICS_DTYPE = np.dtype({
    "names": ["firstSampleIndex", "length", "highestOrder", "frequency", "binsPerPeriod",
              "voltageCount", "currentCount", "channels"],
    "formats": ["<u8", "<u4", "<i4", "<f8", "<i4", "u1", "u1", (IEC_CHANNEL_DTYPE, len(IEC_CHANNEL_NAMES))],
    "offsets": [0, 8, 12, 16, 24, 28, 29, 32],
    "itemsize": 7472,
})


def iec_frame(records: np.ndarray) -> pd.DataFrame:
    """One row per window and measured channel: the window's fields, the
    channel's name, ``thds`` and ``thdg`` (%), and the values of every order
    as columns ``sg_h``, ``isg_h`` and ``g_h`` (h = 0..50)."""
    orders = range(IEC_ORDER_COUNT)
    columns = (["first_sample", "length", "frequency", "highest_order", "bins_per_period", "channel", "thds",
                "thdg"] + [f"sg_{h}" for h in orders] + [f"isg_{h}" for h in orders] + [f"g_{h}" for h in orders])
    parts = []
    for index, name in enumerate(IEC_CHANNEL_NAMES):
        counts = records["voltageCount"] if index < 3 else records["currentCount"]
        chosen = records[counts > index % 3]
        if len(chosen) == 0:
            continue
        ch = chosen["channels"][:, index]
        head = pd.DataFrame({
            "first_sample": chosen["firstSampleIndex"].astype(np.int64),
            "length": chosen["length"].astype(np.int64),
            "frequency": chosen["frequency"],
            "highest_order": chosen["highestOrder"].astype(np.int64),
            "bins_per_period": chosen["binsPerPeriod"].astype(np.int64),
            "channel": name,
            "thds": ch["thds"],
            "thdg": ch["thdg"],
        })
        values = pd.DataFrame(np.hstack([ch["subgroup"], ch["interharmonic"], ch["group"]]),
                              columns=columns[8:])
        parts.append(pd.concat([head, values], axis=1))
    if not parts:
        return pd.DataFrame(columns=columns)
    frame = pd.concat(parts, ignore_index=True)
    order = pd.Categorical(frame["channel"], categories=IEC_CHANNEL_NAMES, ordered=True)
    return frame.assign(channel=order).sort_values(["first_sample", "channel"], kind="stable").reset_index(drop=True)


def measured_channels(records: np.ndarray) -> List[int]:
    """Indices (into ``IEC_CHANNEL_NAMES``) of the channels the records
    fill: the first ``voltageCount`` voltages and ``currentCount`` currents
    (the grid's, the same in every record of an analysis)."""
    if len(records) == 0:
        return []
    return (list(range(int(records["voltageCount"][0])))
            + [3 + k for k in range(int(records["currentCount"][0]))])


def uncomputed_orders(records: np.ndarray, top: int) -> np.ndarray:
    """(windows, top + 1): True for the orders a window did not compute
    (above its ``highestOrder``, which the sample rate may lower)."""
    return np.arange(top + 1)[None, :] > records["highestOrder"].astype(np.int64)[:, None]


def iec_table_columns(top: int) -> List[str]:
    """Columns of the iec_harmonics table up to order ``top``."""
    orders = range(top + 1)
    return (["window", "t_end", "channel", "thds", "thdg"] + [f"sg_{h}" for h in orders]
            + [f"isg_{h}" for h in orders] + [f"g_{h}" for h in orders])


def iec_rows(records: np.ndarray, index: np.ndarray, t_end: np.ndarray, top: int) -> Dict[str, np.ndarray]:
    """Rows of the iec_harmonics table for the records of reported windows
    (``index``: their row in the windows table, ``t_end``: their end):
    window by window, in each the measured channels (U1..U3, I1..I3), the
    values of orders 0..``top``; orders a window did not compute are NaN."""
    chans = measured_channels(records)
    n, nch = len(records), len(chans)
    ch = records["channels"][:, chans]  # (windows, channels)
    missing = uncomputed_orders(records, top)[:, None, :]

    def values(field: str) -> np.ndarray:
        v = np.where(missing, np.nan, ch[field][:, :, :top + 1])
        return v.reshape(n * nch, top + 1)

    cols: Dict[str, np.ndarray] = {
        "window": np.repeat(index.astype(np.int32), nch),
        "t_end": np.repeat(np.asarray(t_end, dtype=np.float64), nch),
        "channel": np.tile(np.asarray(chans, dtype=np.int8), n),
        "thds": ch["thds"].reshape(-1).astype(np.float64),
        "thdg": ch["thdg"].reshape(-1).astype(np.float64),
    }
    for prefix, field in (("sg", "subgroup"), ("isg", "interharmonic"), ("g", "group")):
        block = values(field)
        for h in range(top + 1):
            cols[f"{prefix}_{h}"] = block[:, h]
    return cols


def iec_table(batches: List[Dict[str, np.ndarray]], top: int) -> pd.DataFrame:
    """The iec_harmonics table of row batches of ``iec_rows`` (the columns
    of ``iec_table_columns`` when there are none)."""
    names = iec_table_columns(top)
    if batches:
        data = {k: np.concatenate([b[k] for b in batches]) if len(batches) > 1 else batches[0][k]
                for k in names}
    else:
        data = {k: np.zeros(0) for k in names}
        data["window"], data["channel"] = np.zeros(0, np.int32), np.zeros(0, np.int8)
    data["channel"] = pd.Categorical.from_codes(data["channel"].astype(np.int8),
                                                categories=list(IEC_CHANNEL_NAMES))
    return pd.DataFrame(data, columns=names)


def subgroup_percent(sg: np.ndarray, thds: np.ndarray, top: int, thd_order: int) -> Dict[str, np.ndarray]:
    """Per window of one voltage, from its subgroups ``sg`` (windows x
    orders 0..top, NaN where not computed) and its THDS: ``h<n>`` = 100
    Y_sg,n / Y_sg,1 (n = 2..top), ``thds`` and ``thd<thd_order>`` = 100
    sqrt(sum of Y_sg,n^2, n = 2..thd_order) / Y_sg,1; NaN without a
    fundamental subgroup."""
    out: Dict[str, np.ndarray] = {}
    sg1 = sg[:, 1] if sg.shape[1] > 1 else np.full(len(sg), np.nan)
    none = ~np.isfinite(sg1) | (sg1 <= 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        pct = 100.0 * sg[:, 2:top + 1] / sg1[:, None]
        for j in range(pct.shape[1]):
            out[f"h{j + 2}"] = pct[:, j]
        upto = max(min(thd_order, top) - 1, 0)
        thd = np.sqrt(np.nansum(pct[:, :upto] ** 2, axis=1))
    out["thds"] = np.where(none, np.nan, np.asarray(thds, dtype=np.float64))
    out[f"thd{thd_order}"] = np.where(none, np.nan, thd)
    return out
