"""``powergpu analyze`` from end to end with the native library: the demo
signal and COMTRADE files written with write_comtrade, checked against the
demo's known truth."""
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from powergpu import cli
from powergpu.demo import demo_channels, demo_signal
from powergpu.io import write_comtrade

PYTHON_DIR = Path(__file__).resolve().parents[1]
TABLES = ("windows.csv", "halfcycles.csv", "events.csv", "harmonics.csv")


@pytest.fixture(scope="module", autouse=True)
def native_library():
    from powergpu import _native
    try:
        _native.find_library()
    except OSError as exc:
        pytest.skip(f"libpowergpu is not built here ({' '.join(str(exc).split())[:160]})")


def run_cli(*args, cwd=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = str(PYTHON_DIR) + os.pathsep + env.get("PYTHONPATH", "")
    env.pop("POWERGPU_DEBUG", None)
    return subprocess.run([sys.executable, "-m", "powergpu", *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def truth():
    return demo_signal()[2]


@pytest.fixture(scope="module")
def demo_run(tmp_path_factory):
    work = tmp_path_factory.mktemp("demo")
    proc = run_cli("analyze", "--demo", "--report", "demo.html", cwd=work)
    return proc, work / "powergpu-out"


def steady_windows(windows, truth, margin=0.25):
    """Windows that end before the step or start well after it has settled."""
    step = truth["step"]
    before = windows["t_end"] < step["start"]
    after = windows["t_start"] > step["end"] + margin
    return windows[before | after]


def test_demo_succeeds_and_writes_every_file(demo_run):
    proc, out = demo_run
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    for name in TABLES + ("summary.json",):
        assert (out / name).is_file(), name
    assert (out.parent / "demo.html").is_file()


def test_demo_tables_parse_with_the_documented_columns(demo_run):
    _, out = demo_run
    w = pd.read_csv(out / "windows.csv")
    for col in ("t_start", "t_end", "frequency", "first_sample", "n_samples", "u1_rms",
                "u3_thd", "u1_h1_angle", "i2_rms", "p1", "q3", "s2", "pf1", "cos_phi1_3",
                "u12_rms", "p_total", "u2_ratio", "i0_ratio", "p_neg"):
        assert col in w.columns, col
    assert len(w) >= 25 and w["t_end"].is_monotonic_increasing
    hc = pd.read_csv(out / "halfcycles.csv")
    for col in ("t_end", "frequency", "valid", "u1_rms", "i3_rms", "p2", "rvc_state",
                "rvc_event_ended"):
        assert col in hc.columns, col
    assert 550 < len(hc) < 610
    ev = pd.read_csv(out / "events.csv")
    assert list(ev.columns[:7]) == ["t_start", "t_end", "duration", "delta_u_max",
                                    "delta_u_ss", "delta_u_max_pct", "delta_u_ss_pct"]
    h = pd.read_csv(out / "harmonics.csv")
    assert list(h.columns) == ["window", "t_end", "channel", "order", "magnitude", "angle",
                               "interharmonic", "p", "q"]
    assert set(h["channel"]) >= {"U1", "U2", "U3", "I1", "I2", "I3"}
    s = json.loads((out / "summary.json").read_text())
    assert s["rvc_event_count"] == 1 and s["window_count"] == len(w)
    assert s["half_cycle_count"] == len(hc) and s["grid"] == "star"
    assert s["channels"] == {r: r for r in ("U1", "U2", "U3", "I1", "I2", "I3")}


def test_demo_summary_table(demo_run):
    proc, _ = demo_run
    lines = proc.stdout.splitlines()
    header = next(ln for ln in lines if "L1" in ln and "L2" in ln)
    assert header.split() == ["L1", "L2", "L3", "total"]
    for label in ("U rms", "U THD", "I rms", "P active", "Q reactive", "S apparent",
                  "PF (lambda)", "cos phi1"):
        row = next(ln for ln in lines if ln.strip().startswith(label))
        assert len(row.split()) >= 4, row
    assert any(ln.split()[:3] == ["RVC", "events", "1"] for ln in lines)
    assert any(ln.strip().startswith("#1  start") for ln in lines)
    assert any(ln.strip().startswith("frequency") and "49.95" in ln and "50.05" in ln
               for ln in lines)
    assert any("u2 3.00 %" in ln for ln in lines)


def test_demo_values_match_the_truth(demo_run, truth):
    _, out = demo_run
    w = pd.read_csv(out / "windows.csv")
    steady = steady_windows(w, truth)
    assert len(steady) >= 15
    for k in range(3):
        assert steady[f"u{k + 1}_rms"].mean() == pytest.approx(truth["u_rms"][k], rel=2e-3)
        assert steady[f"u{k + 1}_thd"].mean() == pytest.approx(truth["u_thd"][k], abs=0.05)
        assert steady[f"i{k + 1}_rms"].mean() == pytest.approx(truth["i_rms"], rel=2e-3)
        assert steady[f"cos_phi1_{k + 1}"].mean() == pytest.approx(truth["cos_phi1"], abs=2e-3)
        assert steady[f"p{k + 1}"].mean() == pytest.approx(truth["p"][k], rel=5e-3)
    assert steady["u2_ratio"].mean() == pytest.approx(3.0, abs=0.05)
    assert steady["u0_ratio"].max() < 0.05
    assert w["frequency"].min() == pytest.approx(49.95, abs=0.01)
    assert w["frequency"].max() == pytest.approx(50.05, abs=0.01)
    ev = pd.read_csv(out / "events.csv")
    assert len(ev) == 1
    assert ev["t_start"][0] == pytest.approx(truth["step"]["start"], abs=0.03)
    assert ev["delta_u_max"][0] == pytest.approx(0.08 * truth["u_rms"][0], rel=0.1)


def test_quiet_prints_nothing(tmp_path):
    proc = run_cli("analyze", "--demo", "--demo-seconds", "1.5", "-q", "-o", tmp_path / "o")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "" and proc.stderr == ""
    assert (tmp_path / "o" / "windows.csv").is_file()


def _write_demo(path, *, order=None, names=None, ps=None, seconds=6.0):
    v, i, _ = demo_signal(seconds=seconds)
    data = np.concatenate([v, i], axis=1)
    chans = []
    for k, name in enumerate(names or demo_channels):
        chans.append({"name": name, "unit": "V" if k < 3 else "A",
                      "phase": "ABC"[k % 3] if names is None else ""})
        if ps is not None:
            chans[-1].update(ps)
    if order is not None:
        data = data[:, order]
        chans = [chans[j] for j in order]
    return write_comtrade(path, data, 10000.0, chans, fmt="BINARY32")


def test_comtrade_file(tmp_path, demo_run, truth):
    cfg = _write_demo(tmp_path / "demo")
    proc = run_cli("analyze", cfg, "-o", tmp_path / "out")
    assert proc.returncode == 0, proc.stderr
    header = next(ln for ln in proc.stdout.splitlines() if "L1" in ln)
    assert header.split() == ["L1", "L2", "L3", "total"]
    w = pd.read_csv(tmp_path / "out" / "windows.csv")
    ref = pd.read_csv(demo_run[1] / "windows.csv")
    assert len(w) == len(ref)
    for col in ("u1_rms", "u2_thd", "i3_rms", "p_total", "u2_ratio"):
        np.testing.assert_allclose(w[col], ref[col], rtol=1e-4, atol=1e-4, err_msg=col)
    s = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert s["rvc_event_count"] == 1
    assert s["channels"]["U1"] == "UL1" and s["channels"]["I3"] == "IL3"
    assert s["input"]["file"] == str(cfg.resolve())


def test_explicit_channel_mapping_by_index(tmp_path, demo_run):
    # Channels shuffled and named so that nothing can be recognised.
    order = [4, 2, 0, 5, 1, 3]
    names = [f"ch{k}" for k in range(6)]
    cfg = _write_demo(tmp_path / "shuffled", order=order, names=names)
    proc = run_cli("analyze", cfg, "-o", tmp_path / "o")
    assert proc.returncode == 1 and "no voltage channel recognised" in proc.stderr
    position = {src: j for j, src in enumerate(order)}
    mapping = ",".join(f"{role}={position[k]}"
                       for k, role in enumerate(("U1", "U2", "U3", "I1", "I2", "I3")))
    proc = run_cli("analyze", cfg, "--channels", mapping, "-o", tmp_path / "o")
    assert proc.returncode == 0, proc.stderr
    w = pd.read_csv(tmp_path / "o" / "windows.csv")
    ref = pd.read_csv(demo_run[1] / "windows.csv")
    n = min(len(w), 10)
    np.testing.assert_allclose(w["u1_rms"][:n], ref["u1_rms"][:n], rtol=1e-4)
    np.testing.assert_allclose(w["p2"][:n], ref["p2"][:n], rtol=1e-3)


def test_voltages_only(tmp_path):
    v, _, info = demo_signal(seconds=3.0)
    cfg = write_comtrade(tmp_path / "volts", v, 10000.0,
                         [{"name": n, "unit": "V"} for n in ("Ua", "Ub", "Uc")])
    proc = run_cli("analyze", cfg, "-o", tmp_path / "o")
    assert proc.returncode == 0, proc.stderr
    assert "no current channels found" in proc.stderr
    labels = [ln.split()[0] for ln in proc.stdout.splitlines() if ln.strip()]
    assert "I" not in labels and "P" not in labels
    w = pd.read_csv(tmp_path / "o" / "windows.csv")
    assert "u1_rms" in w.columns and "i1_rms" not in w.columns


def test_secondary_values(tmp_path, truth):
    ratio = {"primary": 20000.0, "secondary": 100.0, "ps": "P"}
    cfg = _write_demo(tmp_path / "ct", ps=ratio, seconds=3.0)
    primary = tmp_path / "p"
    secondary = tmp_path / "s"
    assert run_cli("analyze", cfg, "-q", "-o", primary).returncode == 0
    proc = run_cli("analyze", cfg, "--secondary", "-q", "-o", secondary,
                   "--nominal-voltage", "1.15")
    assert proc.returncode == 0, proc.stderr
    wp = pd.read_csv(primary / "windows.csv")
    ws = pd.read_csv(secondary / "windows.csv")
    np.testing.assert_allclose(ws["u1_rms"] * 200.0, wp["u1_rms"], rtol=1e-4)


def test_sixty_hertz_demo(tmp_path):
    proc = run_cli("analyze", "--demo", "--frequency", "60", "--demo-seconds", "3",
                   "-o", tmp_path / "o")
    assert proc.returncode == 0, proc.stderr
    s = json.loads((tmp_path / "o" / "summary.json").read_text())
    assert s["nominal_frequency"] == 60.0 and s["window_cycles"] == 12
    assert s["frequency_mean"] == pytest.approx(60.0, abs=0.02)


def test_cuda_backend_works_or_fails_in_one_line(tmp_path):
    proc = run_cli("analyze", "--demo", "--demo-seconds", "1.5", "--backend", "cuda",
                   "-q", "-o", tmp_path / "o")
    assert "Traceback" not in proc.stderr
    if proc.returncode == 0:
        s = json.loads((tmp_path / "o" / "summary.json").read_text())
        assert s["backend"] == "cuda"
    else:
        assert proc.returncode == 1
        assert len(proc.stderr.strip().splitlines()) == 1, proc.stderr
        assert "CUDA backend is not available" in proc.stderr
        assert "--backend auto" in proc.stderr


class _Terminal(io.StringIO):
    def isatty(self):
        return True


def _source(seconds):
    return cli.Source(description="x", sample_rate=1000.0, n_samples=int(seconds * 1000),
                      grid="star", nominal_frequency=50.0, chunks=lambda: iter(()),
                      with_currents=False)


def test_progress_bar_only_on_a_terminal_for_long_recordings(monkeypatch):
    args = cli.build_parser().parse_args(["analyze", "--demo"])
    monkeypatch.setattr(sys, "stderr", _Terminal())
    bar = cli._progress_bar(_source(600), args)
    assert bar is not None
    bar.close()
    assert cli._progress_bar(_source(10), args) is None  # short recording
    quiet = cli.build_parser().parse_args(["analyze", "--demo", "--no-progress"])
    assert cli._progress_bar(_source(600), quiet) is None
    monkeypatch.setattr(sys, "stderr", io.StringIO())  # not a terminal
    assert cli._progress_bar(_source(600), args) is None


def test_rvc_threshold_option(tmp_path):
    # The demo's 8 % step stays inside a 10 % band: no event.
    proc = run_cli("analyze", "--demo", "--rvc-threshold", "10", "-o", tmp_path / "o")
    assert proc.returncode == 0, proc.stderr
    assert any(ln.split()[:3] == ["RVC", "events", "0"] for ln in proc.stdout.splitlines())
    assert json.loads((tmp_path / "o" / "summary.json").read_text())["rvc_event_count"] == 0


def test_wav_with_scale_and_mapping(tmp_path):
    import wave

    fs = 8000
    t = np.arange(2 * fs) / fs
    x = np.column_stack([0.7 * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3) for k in range(3)])
    with wave.open(str(tmp_path / "three.wav"), "wb") as w:
        w.setnchannels(3)
        w.setsampwidth(2)
        w.setframerate(fs)
        w.writeframes((x * 32767).astype("<i2").tobytes())
    wav = tmp_path / "three.wav"
    proc = run_cli("analyze", wav, "--scale", "464", "--channels", "U1=0,U2=1,U3=2",
                   "-o", tmp_path / "o")
    assert proc.returncode == 0, proc.stderr
    w = pd.read_csv(tmp_path / "o" / "windows.csv")
    expected = 0.7 * 464 * 32767 / 32768 / np.sqrt(2)
    np.testing.assert_allclose(w[["u1_rms", "u2_rms", "u3_rms"]].mean(), expected, rtol=1e-3)
    cfg = _write_demo(tmp_path / "c", seconds=1.0)
    proc = run_cli("analyze", cfg, "--scale", "2", "-o", tmp_path / "o2")
    assert proc.returncode == 1 and "applies to WAV files only" in proc.stderr
