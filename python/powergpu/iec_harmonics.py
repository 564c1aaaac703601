"""Records of the grouped harmonic analysis (``getIecHarmonics``) and their
table form.

A record holds one window: its first sample, length, frequency, the orders
computed and, per channel (U1, U2, U3, I1, I2, I3), the subgroup,
interharmonic subgroup and group values of orders 0..50 and the THDS and
THDG figures (see ``powergpu.h`` and ``docs/quantities.md``).
"""
from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["IEC_ORDER_COUNT", "IEC_CHANNEL_NAMES", "IEC_CHANNEL_DTYPE", "IEC_HARMONICS_DTYPE", "iec_frame"]

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
