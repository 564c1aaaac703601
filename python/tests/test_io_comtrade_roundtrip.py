"""Files written by write_comtrade read back as the data that was written.

Tolerances: the integer formats store round((x - b) / a), so each value may
move by at most a/2; the writer spans each channel's [min, max] over the raw
range, so a = (max - min) / (2 * L) with L = 99998 (ASCII), 32767 (BINARY) or
2**31 - 1 (BINARY32), which we check as well.  FLOAT32 stores x as float32,
so the error is at most |x| * 2**-24.
"""
from datetime import datetime

import numpy as np
import pytest

from powergpu.io import open_recording, write_comtrade

FORMATS = ["ASCII", "BINARY", "BINARY32", "FLOAT32"]
VARIANTS = [(1999, False), (2013, False), (2013, True)]
RAW_LIMIT = {"ASCII": 99998, "BINARY": 32767, "BINARY32": 2**31 - 1}
RATE = 3200.0
CHANNELS = [
    {"name": "UA", "unit": "V", "phase": "A"},
    {"name": "UB", "unit": "V", "phase": "B"},
    {"name": "UC", "unit": "V", "phase": "C"},
    {"name": "IA", "unit": "A", "phase": "A"},
    {"name": "IB", "unit": "A", "phase": "B"},
    {"name": "IC", "unit": "A", "phase": "C"},
]
START = datetime(2021, 3, 4, 5, 6, 7, 890123)


def _signals(n: int) -> np.ndarray:
    t = np.arange(n) / RATE
    rng = np.random.default_rng(7)
    cols = [325.0 * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3) for k in range(3)]
    cols += [12.0 * np.sin(2 * np.pi * 50 * t - 0.3 - k * 2 * np.pi / 3) + 3.0 for k in range(3)]
    return np.column_stack(cols) + rng.normal(scale=0.5, size=(n, 6))


def _tolerance(fmt: str, rec, data: np.ndarray) -> np.ndarray:
    if fmt == "FLOAT32":
        return np.abs(data) * 2.0**-24 + 1e-300
    a = np.array([c.a for c in rec.channels])
    return a / 2 * (1 + 1e-9) + np.abs(data) * 1e-15


@pytest.mark.parametrize("rev,cff", VARIANTS, ids=["1999", "2013", "2013-cff"])
@pytest.mark.parametrize("fmt", FORMATS)
class TestRoundTrip:
    def test_values_metadata_and_scaling(self, tmp_path, fmt, rev, cff):
        data = _signals(1000)
        path = write_comtrade(tmp_path / "rec", data, RATE, CHANNELS, fmt=fmt, rev=rev,
                              cff=cff, line_frequency=60.0, start_time=START)
        assert path.suffix == (".cff" if cff else ".cfg")
        with open_recording(path) as rec:
            assert rec.n_samples == 1000
            assert rec.sample_rate == RATE
            assert rec.nominal_frequency == 60.0
            assert rec.start_time == START
            assert rec.metadata["revision"] == rev
            assert rec.metadata["data_format"] == fmt
            assert [c.name for c in rec.channels] == [c["name"] for c in CHANNELS]
            assert [c.kind for c in rec.channels] == ["voltage"] * 3 + ["current"] * 3
            got = rec.read()
            assert got.shape == (1000, 6) and got.dtype == np.float64
            if fmt != "FLOAT32":  # a follows from the data range and the bit width
                span = data.max(axis=0) - data.min(axis=0)
                a = np.array([c.a for c in rec.channels])
                np.testing.assert_allclose(a, span / (2 * RAW_LIMIT[fmt]), rtol=1e-12)
            err = np.abs(got - data)
            assert np.all(err <= _tolerance(fmt, rec, data)), err.max(axis=0)

    def test_missing_values_survive(self, tmp_path, fmt, rev, cff):
        data = _signals(64)
        holes = np.zeros(data.shape, dtype=bool)
        holes[[0, 5, 63], [0, 3, 5]] = True
        holes[10:12, 2] = True
        data[holes] = np.nan
        path = write_comtrade(tmp_path / "gaps", data, RATE, CHANNELS, fmt=fmt, rev=rev, cff=cff)
        with open_recording(path) as rec:
            got = rec.read()
            np.testing.assert_array_equal(np.isnan(got), holes)
            ok = ~holes
            assert np.all(np.abs(got[ok] - data[ok]) <= _tolerance(fmt, rec, data)[ok])

    def test_chunks_and_windows_equal_whole_read(self, tmp_path, fmt, rev, cff):
        data = _signals(2500)
        digital = (np.arange(2500)[:, None] % np.array([2, 3, 5, 7]) == 0).astype(int)
        path = write_comtrade(tmp_path / "w", data, RATE, CHANNELS, fmt=fmt, rev=rev, cff=cff,
                              digital=digital)
        with open_recording(path) as rec:
            whole = rec.read()
            starts, blocks = zip(*rec.chunks(chunk_samples=333))
            assert list(starts) == list(range(0, 2500, 333))
            assert all(b.shape[0] == 333 for b in blocks[:-1])
            np.testing.assert_array_equal(np.concatenate(blocks), whole)
            for start, count in [(0, 1), (1023, 1030), (2048, 452), (2499, 1), (700, 0)]:
                np.testing.assert_array_equal(rec.read(start, count), whole[start:start + count])
            sub = rec.read(100, 50, channels=["IC", 0, "ub"])
            np.testing.assert_array_equal(sub, whole[100:150][:, [5, 0, 1]])
            tail = [b for _, b in rec.chunks(chunk_samples=1000, channels=[4], start=2400)]
            np.testing.assert_array_equal(np.concatenate(tail), whole[2400:, [4]])


def test_unit_prefixes_become_volts_and_amperes(tmp_path):
    data = np.column_stack([np.linspace(-20, 20, 50), np.linspace(-300, 300, 50)])
    chans = [{"name": "VA", "unit": "kV"}, {"name": "IA", "unit": "mA"}]
    path = write_comtrade(tmp_path / "u", data, 1000.0, chans, fmt="FLOAT32", rev=2013)
    with open_recording(path) as rec:
        assert [(c.unit, c.source_unit) for c in rec.channels] == [("V", "kV"), ("A", "mA")]
        np.testing.assert_allclose(rec.read(), data * [1e3, 1e-3], rtol=2**-23)


def test_long_recording_uses_time_multiplier(tmp_path):
    # 6000 s at 1 Hz overflows 32-bit microsecond stamps; the writer must scale them.
    data = np.zeros((6001, 1))
    path = write_comtrade(tmp_path / "long", data, 1.0, ["UA"], fmt="BINARY")
    text = path.read_text().splitlines()
    assert float(text[-1]) == 2.0
    cfg = path.read_bytes()
    assert b"\r\n1,6001\r\n" in cfg
    path.write_bytes(cfg.replace(b"\r\n1,6001\r\n", b"\r\n0,6001\r\n"))  # samp 0: use stamps
    with open_recording(path) as rec:
        assert rec.sample_rate == pytest.approx(1.0, rel=1e-12)
    path.write_bytes(cfg.replace(b"\r\n1,6001\r\n", b"\r\n0,6001\r\n").replace(
        b"\r\n2\r\n", b"\r\n1\r\n"))  # a wrong multiplier halves the derived rate
    with open_recording(path) as rec:
        assert rec.sample_rate == pytest.approx(2.0, rel=1e-12)


def test_reading_after_close_is_refused(tmp_path):
    path = write_comtrade(tmp_path / "c", np.zeros((10, 1)), 1000.0, ["UA"], fmt="BINARY32")
    rec = open_recording(path)
    rec.close()
    with pytest.raises(ValueError, match="closed"):
        rec.read()
