"""The CSV writer of the output tables reads back with pandas to the values
written (within the stated precision), and --tables selects the files."""
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from powergpu.summary import CSV_DIGITS, TABLE_NAMES, write_csv

PYTHON_DIR = Path(__file__).resolve().parents[1]


def _bound(a, digits):
    """Largest difference the writer allows: half a unit in the last of
    ``digits`` significant digits, and no finer than 1e-(digits+2) of the
    column's largest magnitude."""
    top = np.nanmax(np.abs(a[np.isfinite(a)])) if np.isfinite(a).any() else 0.0
    floor = 10.0 ** (math.floor(math.log10(top)) - digits - 2) if top > 0 else 0.0
    return np.maximum(np.abs(a) * 0.5 * 10.0 ** (1 - digits) * 1.001, floor * 0.5 * 1.001)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_floats_round_trip(tmp_path, dtype):
    rng = np.random.default_rng(7)
    mags = 10.0 ** rng.uniform(-6, 7, 5000)
    x = (mags * rng.choice([-1.0, 1.0], 5000)).astype(dtype)
    x[::97] = np.nan
    x[5] = 0.0
    x[6] = np.inf
    x[7] = -np.inf
    x[8] = 123.0
    df = pd.DataFrame({"x": x, "t": np.arange(5000) / 10000.0 + 86000.0})
    write_csv(df, tmp_path / "f.csv", chunk_rows=777)
    back = pd.read_csv(tmp_path / "f.csv")
    assert len(back) == 5000 and list(back.columns) == ["x", "t"]
    a = x.astype(np.float64)
    b = back["x"].to_numpy()
    assert np.array_equal(np.isnan(a), np.isnan(b))
    assert np.array_equal(a[np.isinf(a)], b[np.isinf(a)])
    ok = np.isfinite(a)
    assert np.all(np.abs(a[ok] - b[ok]) <= _bound(a, CSV_DIGITS[np.dtype(dtype).itemsize])[ok])
    # Times over a day keep the 0.1 ms sample spacing exactly.
    np.testing.assert_allclose(back["t"], df["t"], rtol=0, atol=1e-9)


def test_integers_flags_and_text(tmp_path):
    df = pd.DataFrame({
        "i": np.array([0, -1, 7, 2**62, -2**62, 10, 99, 100], dtype=np.int64),
        "flag": [True, False] * 4,
        "channel": pd.Categorical(["U1", "I3", "U12", "U1", "I3", "U12", "U1", "I3"]),
        "text": ["a,b", 'say "hi"', "", None, "plain", "x", "line\nbreak", "y"],
    })
    write_csv(df, tmp_path / "f.csv", chunk_rows=3)
    back = pd.read_csv(tmp_path / "f.csv", keep_default_na=False)
    assert back["i"].tolist() == df["i"].tolist()
    assert back["flag"].tolist() == df["flag"].tolist()
    assert back["channel"].tolist() == df["channel"].astype(str).tolist()
    assert back["text"].tolist() == ["a,b", 'say "hi"', "", "", "plain", "x", "line\nbreak", "y"]


def test_empty_table_has_its_header(tmp_path):
    write_csv(pd.DataFrame({"t_start": [], "delta_u_max": []}), tmp_path / "e.csv")
    assert (tmp_path / "e.csv").read_text() == "t_start,delta_u_max\n"
    assert not list(tmp_path.glob("*.part"))


def test_numbers_are_written_compactly(tmp_path):
    df = pd.DataFrame({"v": [230.0, 0.5, -7.25, 1e-3, 100.0]})
    write_csv(df, tmp_path / "c.csv")
    assert (tmp_path / "c.csv").read_text().split() == ["v", "230", "0.5", "-7.25", "0.001",
                                                        "100"]


def _run(*args):
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR) + os.pathsep + os.environ.get(
        "PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-m", "powergpu", *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=300)


def test_tables_option_selects_the_files(tmp_path):
    from powergpu import _native
    try:
        _native.find_library()
    except OSError:
        pytest.skip("libpowergpu is not built here")
    proc = _run("analyze", "--demo", "--demo-seconds", "2", "-q", "-o", tmp_path / "o",
                "--tables", "windows,events")
    assert proc.returncode == 0, proc.stderr
    assert sorted(p.name for p in (tmp_path / "o").iterdir()) == ["events.csv", "summary.json",
                                                                 "windows.csv"]


def test_tables_option_rejects_unknown_names():
    proc = _run("analyze", "--demo", "--tables", "windows,spectra")
    assert proc.returncode == 2
    assert "unknown table 'spectra'" in proc.stderr
    assert set(TABLE_NAMES) == {"windows", "halfcycles", "events", "harmonics"}
