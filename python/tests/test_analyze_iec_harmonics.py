"""The grouped harmonic analysis in the main job: a 230 V star voltage with a
5th harmonic of 4 % and an interharmonic of 1 % at 287 Hz, 24 s from
13:09:50 (the 13:10 tick inside).  iec_harmonics.csv reads 4 % in subgroup 5
and the interharmonic in the centred subgroup between orders 5 and 6 at the
value the rectangular window's leakage gives; the aggregates of the
harmonic voltages and of THDS are the rms of these window values; the
command line writes the table only when asked, and the compliance command
aggregates it as the analysis does."""
import functools
import json
import math

import numpy as np
import pandas as pd
import pytest

from powergpu import analyze
from powergpu.cli import main

FS, F0 = 6400.0, 50.0
START = pd.Timestamp("2026-03-02 13:09:50")
H5, IH, F_IH = 0.04, 0.01, 287.0


@functools.lru_cache(maxsize=None)
def recording():
    t = np.arange(int(24 * FS)) / FS
    shift = np.arange(3)[None, :] * 2 * np.pi / 3
    w = 2 * np.pi * F0 * t[:, None] - shift
    u = 230 * np.sqrt(2) * (np.sin(w) + H5 * np.sin(5 * w) + IH * np.sin(2 * np.pi * F_IH * t[:, None] - shift))
    return analyze(u, sample_rate=FS, grid="star", backend="cpu", nominal_voltage=230.0,
                   keep=("windows", "iec_harmonics"), start_time=START.isoformat())


def leaked_rms(n, first, last):
    """Rms of a tone of IH x 230 V at F_IH over bins first..last of an n-point
    transform of a rectangular window: each bin holds the tone's rms times
    |sin(pi d) / (n sin(pi d / n))|, d its distance from the tone in bins."""
    d = F_IH * n / FS - np.arange(first, last + 1)
    return IH * 230.0 * math.sqrt(np.sum((np.sin(np.pi * d) / (n * np.sin(np.pi * d / n))) ** 2))


def test_subgroups_of_the_fifth_harmonic_and_the_interharmonic():
    result = recording()
    w, iec = result.windows, result.iec_harmonics
    assert list(iec["channel"].astype(str)[:6]) == ["U1", "U2", "U3"] * 2
    assert len(iec) == 3 * len(w) and (iec["window"].to_numpy() == np.repeat(np.arange(len(w)), 3)).all()
    assert (iec["t_end"].to_numpy() == np.repeat(w["t_end"].to_numpy(), 3)).all()
    assert [c for c in iec.columns if c.startswith("sg_")][-1] == "sg_50"
    steady = iec[np.repeat(w["valid"].to_numpy(), 3)]
    assert len(steady) > 300
    # Subgroup 5 holds 4 % of the fundamental's; the interharmonic leaks up to
    # 0.041 x 2.3 V into bin 50 (0.04 % of 230 V), in or out of phase.
    assert (100 * steady["sg_5"] / steady["sg_1"]).to_numpy() == pytest.approx(4.0, abs=0.05)
    assert steady["thds"].to_numpy() == pytest.approx(4.0, abs=0.05)
    # 287 Hz lies between bins 57 and 58 (5 Hz apart): the centred subgroup of
    # orders 5..6 holds bins 52..58, about 95 % of the interharmonic's rms.
    lengths = np.round((w["t_end"] - w["t_start"]).to_numpy() * FS).astype(int)[w["valid"].to_numpy()]
    assert set(lengths) == {1280}
    assert steady["isg_5"].to_numpy() == pytest.approx(leaked_rms(1280, 52, 58), rel=0.01)
    assert (steady["isg_4"] < 0.15 * steady["isg_5"]).all() and (steady["isg_6"] < 0.15 * steady["isg_5"]).all()
    # what reaches past bin 58 is in subgroup 6 (bins 59..61), no harmonic of its own
    assert steady["sg_6"].to_numpy() == pytest.approx(leaked_rms(1280, 59, 61), rel=0.02)


def test_aggregates_are_the_rms_of_the_subgroup_values():
    result = recording()
    w, iec = result.windows, result.iec_harmonics
    u1 = iec[iec["channel"] == "U1"].set_index("window")
    pct = 100 * u1["sg_5"] / u1["sg_1"]
    tick = (START + pd.to_timedelta(w["t_start"], unit="s")).dt.floor("10min")
    ten = result.aggregates["10min"]
    assert list(ten["t_start"]) == [pd.Timestamp("2026-03-02 13:00"), pd.Timestamp("2026-03-02 13:10")]
    for _, row in ten.iterrows():
        inside = (tick == row["t_start"]).to_numpy()
        assert row["count"] == inside.sum() > 40
        assert row["u1_h5"] == pytest.approx(math.sqrt(np.mean(pct[inside] ** 2)), rel=1e-12)
        assert row["u1_thds"] == pytest.approx(math.sqrt(np.mean(u1["thds"][inside] ** 2)), rel=1e-12)
        assert row["u1_thd40"] == pytest.approx(4.0, abs=0.05)
    assert result.compliance["harmonic_values"] == "subgroups"
    assert result.summary["compliance"]["harmonic_values"] == "subgroups"


def test_the_command_writes_the_grouped_table_only_when_asked(tmp_path):
    out = tmp_path / "csv"
    assert main(["analyze", "--demo", "--demo-seconds", "3", "--start-time", "2026-03-02T13:09:58", "-q",
                 "--tables", "windows,iec_harmonics,aggregates", "-o", str(out)]) == 0
    w = pd.read_csv(out / "windows.csv")
    iec = pd.read_csv(out / "iec_harmonics.csv")
    assert len(iec) == 6 * len(w) > 0  # the demo's voltages and currents
    assert list(iec["channel"][:6]) == ["U1", "U2", "U3", "I1", "I2", "I3"]
    assert not (out / "harmonics.csv").exists()
    # the compliance command aggregates the table's subgroups as the analysis did
    ten = pd.read_csv(out / "aggregates_10min.csv")
    assert main(["compliance", str(out), "--start-time", "2026-03-02T13:09:58"]) == 0
    again = pd.read_csv(out / "aggregates_10min.csv")
    for column in ("u1_h5", "u2_h7", "u3_thds", "u1_thd40"):
        assert again[column].to_numpy() == pytest.approx(ten[column].to_numpy(), rel=1e-5)
    assert json.loads((out / "compliance.json").read_text())["harmonic_values"] == "subgroups"
    assert main(["analyze", "--demo", "--demo-seconds", "3", "--format", "parquet", "-q",
                 "--tables", "iec_harmonics", "-o", str(tmp_path / "pq")]) == 0
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "pq" / "iec_harmonics.parquet")
                                  .assign(channel=lambda d: d["channel"].astype(str)),
                                  iec, check_exact=False, rtol=1e-6, check_dtype=False)
    assert main(["analyze", "--demo", "--demo-seconds", "3", "-o", str(tmp_path / "plain"), "-q"]) == 0
    assert not (tmp_path / "plain" / "iec_harmonics.csv").exists()
