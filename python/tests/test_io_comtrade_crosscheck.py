"""Our reader agrees with the independent PyPI ``comtrade`` package.

That package returns a*x+b as stored (it does not apply the primary/secondary
ratio), so we compare against our values read on the side the file stores
(use_primary matches the channel's PS flag).  It computes in single precision:
agreement is required to 2**-20 of each channel's full scale.
"""
from datetime import datetime

import numpy as np
import pytest

from powergpu.io import open_recording, write_comtrade

comtrade = pytest.importorskip("comtrade")

FORMATS = ["ASCII", "BINARY", "BINARY32", "FLOAT32"]
VARIANTS = [(1999, False), (2013, False), (2013, True)]
RATE = 4000.0
CHANNELS = [
    {"name": "VA", "unit": "kV", "phase": "A", "primary": 20000, "secondary": 100, "ps": "P"},
    {"name": "VB", "unit": "V", "phase": "B", "primary": 20000, "secondary": 100, "ps": "S"},
    {"name": "IA", "unit": "A", "phase": "A", "primary": 600, "secondary": 5, "ps": "S"},
]


def _load_other(path):
    if path.suffix == ".cff":
        return comtrade.load(str(path))
    return comtrade.load(str(path), str(path.with_suffix(".dat")))


@pytest.mark.parametrize("rev,cff", VARIANTS, ids=["1999", "2013", "2013-cff"])
@pytest.mark.parametrize("fmt", FORMATS)
def test_same_values_as_independent_reader(tmp_path, fmt, rev, cff):
    n = 800
    t = np.arange(n) / RATE
    data = np.column_stack([11.5 * np.sin(2 * np.pi * 50 * t), 57.7 * np.cos(2 * np.pi * 50 * t),
                            4.0 * np.sin(2 * np.pi * 150 * t) + 0.25])
    digital = np.column_stack([(t > 0.1), (np.arange(n) % 3 == 0)]).astype(int)
    start = datetime(2019, 12, 31, 23, 59, 58, 500000)
    path = write_comtrade(tmp_path / "x", data, RATE, CHANNELS, fmt=fmt, rev=rev, cff=cff,
                          start_time=start, digital=digital, digital_names=["TRIP", "CLK"])
    other = _load_other(path)
    theirs = np.array(other.analog, dtype=np.float64).T

    ours = np.empty_like(theirs)
    for i, ch in enumerate(CHANNELS):
        with open_recording(path, use_primary=ch["ps"] == "P") as rec:
            # undo only our kV -> V conversion to compare in the file's unit
            ours[:, i] = rec.read(channels=[i])[:, 0] / (1e3 if ch["unit"] == "kV" else 1.0)
    full_scale = np.abs(data).max(axis=0)
    assert np.all(np.abs(ours - theirs) <= full_scale * 2.0**-20), np.abs(ours - theirs).max(0)

    with open_recording(path) as rec:
        assert other.total_samples == rec.n_samples == n
        assert other.analog_channel_ids == rec.channel_names
        assert float(other.frequency) == rec.nominal_frequency
        assert other.cfg.sample_rates[0][0] == rec.sample_rate
        assert other.start_timestamp == rec.start_time
        assert other.rev_year in (rev, str(rev))
    np.testing.assert_allclose(np.asarray(other.time), t, atol=1e-6)
    np.testing.assert_array_equal(np.array(other.status).T, digital)
