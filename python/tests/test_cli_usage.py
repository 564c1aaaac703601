"""Command-line usage and input errors: exit status 2 with usage for a wrong
command line, 1 with one clear line (and no traceback) for a bad input file.
None of these reaches the analysis, so the native library is not needed."""
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from powergpu import cli
from powergpu.io import write_comtrade

PYTHON_DIR = Path(__file__).resolve().parents[1]


def run_cli(*args, cwd=None):
    """Run ``python -m powergpu`` in a fresh process: the real exit status,
    stdout and stderr."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(PYTHON_DIR) + os.pathsep + env.get("PYTHONPATH", "")
    env.pop("POWERGPU_DEBUG", None)
    return subprocess.run([sys.executable, "-m", "powergpu", *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=300)


def assert_one_line_error(proc, *fragments):
    assert proc.returncode == 1, proc.stderr
    assert "Traceback" not in proc.stderr
    lines = [ln for ln in proc.stderr.splitlines() if ln.strip()]
    assert len(lines) == 1, proc.stderr
    assert lines[0].startswith("powergpu: error: ")
    for f in fragments:
        assert f in lines[0], lines[0]
    assert proc.stdout == ""


# --- exit status 2: the command line is wrong -----------------------------------

@pytest.mark.parametrize("args, hint", [
    ([], "usage:"),
    (["analyze"], "give a recording FILE"),
    (["analyze", "--demo", "x.cfg"], "not both"),
    (["analyze", "--demo", "--grid", "hexagon"], "invalid choice"),
    (["analyze", "--demo", "--frequency", "fifty"], "not a number"),
    (["analyze", "--demo", "--frequency", "5000"], "not a power-system frequency"),
    (["analyze", "--demo", "--backend", "tpu"], "invalid choice"),
    (["analyze", "--demo", "--harmonics", "0"], "between 1 and 200"),
    (["analyze", "--demo", "--nominal-voltage", "-230"], "positive"),
    (["analyze", "--demo", "--channels", "U1=0"], "apply to files"),
    (["analyze", "--demo", "--bogus"], "unrecognized arguments"),
    (["frobnicate"], "invalid choice"),
])
def test_usage_errors_exit_2_with_usage(args, hint):
    proc = run_cli(*args)
    assert proc.returncode == 2, (proc.returncode, proc.stderr)
    assert "usage:" in proc.stderr
    assert hint in proc.stderr
    assert "Traceback" not in proc.stderr


def test_help_lists_options_and_examples():
    proc = run_cli("analyze", "--help")
    assert proc.returncode == 0
    for text in ("--demo", "--grid", "--frequency", "--nominal-voltage", "--channels",
                 "--secondary", "--sample-rate", "--backend", "--output", "--report",
                 "--quiet", "--no-progress", "star-two-currents", "delta-two-voltages",
                 "powergpu analyze --demo --report demo.html", "exit status"):
        assert text in proc.stdout, text
    top = run_cli("--help")
    assert top.returncode == 0 and "analyze" in top.stdout and "info" in top.stdout


def test_version():
    from powergpu import __version__
    proc = run_cli("--version")
    assert proc.returncode == 0
    assert proc.stdout.strip() == f"powergpu {__version__}"


# --- exit status 1: the input is wrong -------------------------------------------

def test_missing_file(tmp_path):
    proc = run_cli("analyze", tmp_path / "nothing.cfg", "-o", tmp_path / "out")
    assert_one_line_error(proc, "nothing.cfg", "file not found")


def test_malformed_comtrade(tmp_path):
    cfg = tmp_path / "broken.cfg"
    cfg.write_text("station,device,1999\r\nthis is not a channel count\r\n")
    (tmp_path / "broken.dat").write_bytes(b"\x00" * 64)
    proc = run_cli("analyze", cfg, "-o", tmp_path / "out")
    assert_one_line_error(proc, "broken.cfg", "line 2")


def test_unknown_extension(tmp_path):
    f = tmp_path / "signal.xyz"
    f.write_text("1,2,3\n")
    proc = run_cli("analyze", f, "-o", tmp_path / "out")
    assert_one_line_error(proc, "signal.xyz", "unknown recording type")


def test_csv_without_time_needs_a_sample_rate(tmp_path):
    f = tmp_path / "scope.csv"
    f.write_text("Ua,Ub,Uc\n" + "".join(f"{k},{-k},0\n" for k in range(100)))
    proc = run_cli("analyze", f, "-o", tmp_path / "out")
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert "sample" in proc.stderr.lower()
    assert len(proc.stderr.strip().splitlines()) == 1


def _voltages_file(tmp_path, names=("Va", "Vb", "Vc")):
    t = np.arange(2000) / 10000.0
    data = np.column_stack([325 * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3)
                            for k in range(len(names))])
    return write_comtrade(tmp_path / "rec", data, 10000.0,
                          [{"name": n, "unit": "V"} for n in names])


def test_channel_mapping_errors(tmp_path):
    cfg = _voltages_file(tmp_path)
    proc = run_cli("analyze", cfg, "--channels", "U1=Vx", "-o", tmp_path / "out")
    assert_one_line_error(proc, "no channel named 'Vx'", "Va, Vb, Vc")
    proc = run_cli("analyze", cfg, "--channels", "Q7=Va", "-o", tmp_path / "out")
    assert_one_line_error(proc, "unknown channel role 'Q7'")
    proc = run_cli("analyze", cfg, "--channels", "U1=9", "-o", tmp_path / "out")
    assert_one_line_error(proc, "out of range")
    proc = run_cli("analyze", cfg, "--grid", "delta", "-o", tmp_path / "out")
    assert_one_line_error(proc, "grid delta needs U12, U23, U31")


def test_no_voltage_channel_recognised(tmp_path):
    cfg = _voltages_file(tmp_path, names=("CH01", "CH02", "CH03"))
    proc = run_cli("analyze", cfg, "-o", tmp_path / "out")
    assert_one_line_error(proc, "no voltage channel recognised", "--channels")


def test_partial_currents_are_an_error(tmp_path):
    t = np.arange(2000) / 10000.0
    data = np.column_stack([np.sin(2 * np.pi * 50 * t)] * 4)
    cfg = write_comtrade(tmp_path / "rec", data, 10000.0,
                         [{"name": n, "unit": u} for n, u in
                          (("Va", "V"), ("Vb", "V"), ("Vc", "V"), ("Ia", "A"))])
    proc = run_cli("analyze", cfg, "--grid", "star", "-o", tmp_path / "out")
    assert_one_line_error(proc, "needs the currents I1, I2, I3", "only I1")


def test_output_folder_that_cannot_be_created(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("in the way")
    proc = run_cli("analyze", "--demo", "-o", blocker / "sub")
    assert_one_line_error(proc, "cannot create the output folder")
    proc = run_cli("analyze", "--demo", "-o", tmp_path / "out", "--report", tmp_path)
    assert_one_line_error(proc, "is a folder")


# --- pieces of the command line ------------------------------------------------------

@pytest.mark.parametrize("roles, grid", [
    (["U1", "U2", "U3", "I1", "I2", "I3"], "star"),
    (["U1", "U2", "U3"], "star"),
    (["U1", "U2", "U3", "I1", "I2"], "star-two-currents"),
    (["U12", "U23", "U31", "I1", "I2", "I3"], "delta"),
    (["U12", "U23", "U31", "I1", "I2"], "delta-two-currents"),
    (["U12", "U23", "I1", "I2"], "delta-two-voltages"),
    (["U1", "U2", "I1", "I2"], "two-phase"),
    (["U1", "I1"], "single"),
    (["U1", "U2", "U3", "U12", "U23", "U31"], "star"),
    (["I1", "I2", "I3"], None),
    ([], None),
])
def test_infer_grid(roles, grid):
    assert cli.infer_grid(roles) == grid


def test_every_grid_option_is_a_library_grid():
    from powergpu.module import GRID_TYPES, grid_info
    for name, (volts, amps) in cli.GRIDS.items():
        info = grid_info(GRID_TYPES[name])
        assert (info.voltages, info.currents) == (len(volts), len(amps)), name


def test_info_lists_channels_and_roles(tmp_path):
    cfg = _voltages_file(tmp_path)
    proc = run_cli("info", cfg)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "2000 samples at 10000 Hz" in out
    for name, role in (("Va", "U1"), ("Vb", "U2"), ("Vc", "U3")):
        line = next(ln for ln in out.splitlines() if f" {name} " in ln)
        assert line.rstrip().endswith(role)
    assert "grid: star, without currents" in out
