"""``powergpu`` on the command line: end to end on the demo and on recordings, exit status 2
with usage for a wrong command line, 1 with one line and no traceback for a bad input, and
the CSV tables written while the analysis runs equal those of a result that kept them."""
import json
import math
import wave

import numpy as np
import pandas as pd
import pytest

from conftest import FS, run_cli
from powergpu import analysis, cli, csv_text, summary
from powergpu.io import write_comtrade

TABLES = ("windows.csv", "halfcycles.csv", "events.csv", "harmonics.csv")
CLASS_A_FILES = ("aggregates_3s.csv", "aggregates_10min.csv", "aggregates_2h.csv", "compliance.json")
ROLES = ("U1", "U2", "U3", "I1", "I2", "I3")


def check_table(stdout, events):
    """The console table names the phases and counts the RVC events."""
    lines = stdout.splitlines()
    assert next(ln for ln in lines if "L1" in ln).split() == ["L1", "L2", "L3", "total"]
    assert any(ln.split()[:3] == ["RVC", "events", str(events)] for ln in lines)


@pytest.fixture(scope="module")
def demo_run(native, tmp_path_factory):
    work = tmp_path_factory.mktemp("demo")
    proc = run_cli("analyze", "--demo", "--report", "demo.html", cwd=work)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return proc, work / "powergpu-out"


def test_demo_writes_every_file_and_prints_the_table(demo_run):
    proc, out = demo_run
    assert (out.parent / "demo.html").is_file()
    w, hc, ev, h = (pd.read_csv(out / name) for name in TABLES)
    assert {"t_start", "u3_thd", "i2_rms", "cos_phi1_3", "u12_rms", "p_total", "p_neg"} <= set(w)
    assert {"valid", "u1_rms", "i3_rms", "p2", "rvc_state", "rvc_event_ended"} <= set(hc)
    assert list(ev.columns[:7]) == ["type", "phases", "t_start", "t_end", "duration", "extreme_v",
                                    "extreme_pct"]
    assert list(ev["type"]) == ["rvc"]  # the demo's step of 8 % is no dip
    assert list(h.columns) == ["window", "t_end", "channel", "order", "magnitude", "angle",
                               "interharmonic", "p", "q"]
    assert len(w) >= 25 and w["t_end"].is_monotonic_increasing and 550 < len(hc) < 610
    s = json.loads((out / "summary.json").read_text())
    assert (s["rvc_event_count"], s["window_count"], s["half_cycle_count"], s["grid"]) == \
        (1, len(w), len(hc), "star")
    assert s["channels"] == {r: r for r in ROLES}
    check_table(proc.stdout, events=1)
    lines = proc.stdout.splitlines()
    for label in ("U rms", "U THD", "I rms", "P active", "Q reactive", "S apparent",
                  "PF (lambda)", "cos phi1"):
        assert len(next(ln for ln in lines if ln.strip().startswith(label)).split()) >= 4
    assert any(ln.strip().startswith("#1  start") for ln in lines)
    assert any(ln.strip().startswith("frequency") and "49.95" in ln and "50.05" in ln
               for ln in lines)
    assert any("u2 3.00 %" in ln for ln in lines)


def test_demo_values_match_the_truth(demo_run, demo):
    truth = demo[2]
    w = pd.read_csv(demo_run[1] / "windows.csv")
    # windows that end before the step or start well after it has settled
    steady = w[(w.t_end < truth["step"]["start"]) | (w.t_start > truth["step"]["end"] + 0.25)]
    assert len(steady) >= 15
    for k in range(3):
        assert steady[f"u{k + 1}_rms"].mean() == pytest.approx(truth["u_rms"][k], rel=2e-3)
        assert steady[f"u{k + 1}_thd"].mean() == pytest.approx(truth["u_thd"][k], abs=0.05)
        assert steady[f"i{k + 1}_rms"].mean() == pytest.approx(truth["i_rms"], rel=2e-3)
        assert steady[f"cos_phi1_{k + 1}"].mean() == pytest.approx(truth["cos_phi1"], abs=2e-3)
        assert steady[f"p{k + 1}"].mean() == pytest.approx(truth["p"][k], rel=5e-3)
    assert steady["u2_ratio"].mean() == pytest.approx(3.0, abs=0.05)
    assert steady["u0_ratio"].max() < 0.05
    assert (w.frequency.min(), w.frequency.max()) == pytest.approx((49.95, 50.05), abs=0.01)
    ev = pd.read_csv(demo_run[1] / "events.csv")
    assert len(ev) == 1
    assert ev.t_start[0] == pytest.approx(truth["step"]["start"], abs=0.03)
    assert ev.delta_u_max[0] == pytest.approx(0.08 * truth["u_rms"][0], rel=0.1)


def test_comtrade_file_gives_the_demo_tables(demo_run, demo_comtrade, tmp_path):
    proc = run_cli("analyze", demo_comtrade, "-o", tmp_path)
    assert proc.returncode == 0, proc.stderr
    check_table(proc.stdout, events=1)
    w, ref = pd.read_csv(tmp_path / "windows.csv"), pd.read_csv(demo_run[1] / "windows.csv")
    assert len(w) == len(ref)
    for col in ("u1_rms", "u2_thd", "i3_rms", "p_total", "u2_ratio"):
        np.testing.assert_allclose(w[col], ref[col], rtol=1e-4, atol=1e-4, err_msg=col)
    s = json.loads((tmp_path / "summary.json").read_text())
    assert s["rvc_event_count"] == 1 and s["input"]["file"] == str(demo_comtrade.resolve())
    assert (s["channels"]["U1"], s["channels"]["I3"]) == ("UL1", "IL3")


@pytest.mark.parametrize("args,facts,files", [
    (["-q", "--demo-seconds", "1.5"], {}, None),
    (["--frequency", "60", "--demo-seconds", "3"], {"nominal_frequency": 60.0,
                                                    "window_cycles": 12}, None),
    (["--rvc-threshold", "10"], {"rvc_event_count": 0}, None),  # 8 % inside a 10 % band
    (["-q", "--demo-seconds", "2", "--tables", "windows,events"], {},
     ["events.csv", "summary.json", "windows.csv"])])
def test_demo_options(native, tmp_path, args, facts, files):
    proc = run_cli("analyze", "--demo", *args, "-o", tmp_path)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert (proc.stdout == "") == ("-q" in args)
    s = json.loads((tmp_path / "summary.json").read_text())
    assert {k: s[k] for k in facts} == facts
    if "--rvc-threshold" in args:
        check_table(proc.stdout, events=0)
    assert sorted(p.name for p in tmp_path.iterdir()) == (files or sorted(TABLES + CLASS_A_FILES +
                                                                          ("summary.json",)))


def test_voltages_only_and_secondary_values(native, demo, tmp_path):
    chans = [{"name": n, "unit": "V", "primary": 20000.0, "secondary": 100.0, "ps": "P"}
             for n in ("Ua", "Ub", "Uc")]
    cfg = write_comtrade(tmp_path / "v", demo[0][:30000], FS, chans)
    proc = run_cli("analyze", cfg, "-o", tmp_path / "p")
    assert proc.returncode == 0 and "no current channels found" in proc.stderr
    assert not {"I", "P"} & {ln.split()[0] for ln in proc.stdout.splitlines() if ln.strip()}
    proc = run_cli("analyze", cfg, "--secondary", "-q", "-o", tmp_path / "s",
                   "--nominal-voltage", "1.15")
    assert proc.returncode == 0, proc.stderr
    wp, ws = (pd.read_csv(tmp_path / d / "windows.csv") for d in "ps")
    assert "u1_rms" in wp.columns and "i1_rms" not in wp.columns
    np.testing.assert_allclose(ws["u1_rms"] * 200.0, wp["u1_rms"], rtol=1e-4)


def test_wav_with_scale_and_explicit_mapping_by_index(native, tmp_path):
    t = np.arange(16000) / 8000
    amplitude = np.array([0.7, 0.5, 0.6])  # tells the channels apart
    x = amplitude * np.sin(2 * np.pi * 50 * t[:, None] - np.array([2, 0, 1]) * 2 * np.pi / 3)
    with wave.open(str(tmp_path / "three.wav"), "wb") as w:
        w.setnchannels(3)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes((x * 32767).astype("<i2").tobytes())
    proc = run_cli("analyze", tmp_path / "three.wav", "-o", tmp_path / "o")
    assert proc.returncode == 1 and "no voltage channel recognised" in proc.stderr
    proc = run_cli("analyze", tmp_path / "three.wav", "--scale", "464", "--channels",
                   "U1=1,U2=2,U3=0", "-o", tmp_path / "o")
    assert proc.returncode == 0, proc.stderr
    w = pd.read_csv(tmp_path / "o" / "windows.csv")
    np.testing.assert_allclose(w[["u1_rms", "u2_rms", "u3_rms"]].mean(),
                               amplitude[[1, 2, 0]] * 464 * 32767 / 32768 / np.sqrt(2), rtol=1e-3)
    np.testing.assert_allclose(w["u2_h1_angle"] - w["u1_h1_angle"], -120.0, atol=0.1)


def test_cuda_backend_works_or_fails_in_one_line(native, tmp_path):
    proc = run_cli("analyze", "--demo", "--demo-seconds", "1.5", "--backend", "cuda", "-q",
                   "-o", tmp_path)
    assert "Traceback" not in proc.stderr
    if proc.returncode == 0:
        assert json.loads((tmp_path / "summary.json").read_text())["backend"] == "cuda"
    else:
        assert proc.returncode == 1 and len(proc.stderr.strip().splitlines()) == 1
        assert "CUDA backend is not available" in proc.stderr and "--backend auto" in proc.stderr


# --- wrong command lines and bad inputs -----------------------------------------------------

@pytest.mark.parametrize("args, hint", [
    ([], "usage:"), (["analyze"], "give a recording FILE"), (["frobnicate"], "invalid choice"),
    (["analyze", "--demo", "x.cfg"], "not both"),
    (["analyze", "--demo", "--grid", "hexagon"], "invalid choice"),
    (["analyze", "--demo", "--frequency", "fifty"], "not a number"),
    (["analyze", "--demo", "--frequency", "5000"], "not a power-system frequency"),
    (["analyze", "--demo", "--backend", "tpu"], "invalid choice"),
    (["analyze", "--demo", "--harmonics", "0"], "between 1 and 200"),
    (["analyze", "--demo", "--nominal-voltage", "-230"], "positive"),
    (["analyze", "--demo", "--channels", "U1=0"], "apply to files"),
    (["analyze", "--demo", "--tables", "windows,spectra"], "unknown table 'spectra'"),
    (["analyze", "--demo", "--bogus"], "unrecognized arguments")])
def test_usage_errors_exit_2_with_usage(args, hint):
    proc = run_cli(*args)
    assert proc.returncode == 2, (proc.returncode, proc.stderr)
    assert "usage:" in proc.stderr and hint in proc.stderr and "Traceback" not in proc.stderr


def voltages(folder, names=("Va", "Vb", "Vc"), units="VVV"):
    t = np.arange(2000) / FS
    data = np.column_stack([325 * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3)
                            for k in range(len(names))])
    return write_comtrade(folder / "rec", data, FS,
                          [{"name": n, "unit": u} for n, u in zip(names, units)])


def write(path, text):
    path.write_text(text)
    return path


BAD_INPUTS = [  # (folder -> arguments after "analyze"), fragments of the one line
    (lambda d: [d / "nothing.cfg"], ["nothing.cfg", "file not found"]),
    (lambda d: [write(d / "broken.dat", "\0" * 64) and write(
        d / "broken.cfg", "station,device,1999\r\nnot a channel count\r\n")],
     ["broken.cfg", "line 2"]),
    (lambda d: [write(d / "signal.xyz", "1,2,3\n")], ["signal.xyz", "unknown recording type"]),
    (lambda d: [write(d / "scope.csv", "Ua,Ub\n" + "1,2\n" * 100)], ["scope.csv", "sample"]),
    (lambda d: [voltages(d), "--channels", "U1=Vx"], ["no channel named 'Vx'", "Va, Vb, Vc"]),
    (lambda d: [voltages(d), "--channels", "Q7=Va"], ["unknown channel role 'Q7'"]),
    (lambda d: [voltages(d), "--channels", "U1=9"], ["out of range"]),
    (lambda d: [voltages(d), "--grid", "delta"], ["grid delta needs U12, U23, U31"]),
    (lambda d: [voltages(d, ("CH01", "CH02", "CH03"))], ["no voltage channel recognised",
                                                         "--channels"]),
    (lambda d: [voltages(d, ("Va", "Vb", "Vc", "Ia"), "VVVA"), "--grid", "star"],
     ["needs the currents I1, I2, I3", "only I1"]),
    (lambda d: [voltages(d), "--scale", "2"], ["applies to WAV files only"]),
    (lambda d: ["--demo", "-o", write(d / "file", "in the way") / "sub"],
     ["cannot create the output folder"]),
    (lambda d: ["--demo", "--report", d], ["is a folder"])]


@pytest.mark.parametrize("arguments,fragments", BAD_INPUTS)
def test_bad_inputs_exit_1_with_one_line(tmp_path, arguments, fragments):
    args = arguments(tmp_path)
    proc = run_cli("analyze", *args, *([] if "-o" in args else ["-o", tmp_path / "out"]))
    assert proc.returncode == 1 and "Traceback" not in proc.stderr, proc.stderr
    lines = [ln for ln in proc.stderr.splitlines() if ln.strip()]
    assert len(lines) == 1 and lines[0].startswith("powergpu: error: "), proc.stderr
    assert all(f in lines[0] for f in fragments), lines[0]
    assert proc.stdout == ""


@pytest.mark.parametrize("roles, grid", [
    (ROLES, "star"), (ROLES[:3], "star"), (ROLES[:5], "star-two-currents"),
    (["U12", "U23", "U31", "I1", "I2", "I3"], "delta"),
    (["U12", "U23", "U31", "I1", "I2"], "delta-two-currents"),
    (["U12", "U23", "I1", "I2"], "delta-two-voltages"), (["U1", "U2", "I1", "I2"], "two-phase"),
    (["U1", "I1"], "single"), (["U1", "U2", "U3", "U12", "U23", "U31"], "star"),
    (["I1", "I2", "I3"], None), ([], None)])
def test_infer_grid(roles, grid):
    from powergpu.module import GRID_TYPES, grid_info
    assert cli.infer_grid(list(roles)) == grid
    for name, (volts, amps) in cli.GRIDS.items():  # every grid option is a library grid
        info = grid_info(GRID_TYPES[name])
        assert (info.voltages, info.currents) == (len(volts), len(amps)), name


def test_info_lists_channels_and_roles(tmp_path):
    proc = run_cli("info", voltages(tmp_path))
    assert proc.returncode == 0, proc.stderr
    assert "2000 samples at 10000 Hz" in proc.stdout
    assert "grid: star, without currents" in proc.stdout
    rows = [ln.split() for ln in proc.stdout.splitlines() if ln.split()[:1] in (["0"], ["1"],
                                                                                 ["2"])]
    assert {row[1]: row[-1] for row in rows} == {"Va": "U1", "Vb": "U2", "Vc": "U3"}
    assert "CUDA backend: " in proc.stdout


def test_version_tells_whether_cuda_is_usable_and_why_not():
    from powergpu import __version__, _native
    proc = run_cli("--version")
    assert proc.returncode == 0, proc.stderr
    usable, reason = _native.cuda_backend_status()
    lines = proc.stdout.splitlines()
    assert lines[0] == f"powergpu {__version__}" and len(lines) == 2
    if usable:
        assert lines[1] == "CUDA backend: usable"
    else:  # the library's own reason, read without a module handle
        prefix = "the CUDA backend is not available: "
        assert reason.startswith(prefix)
        assert lines[1] == "CUDA backend: not usable: " + reason[len(prefix):]


# --- the CSV tables ------------------------------------------------------------------------

def test_streamed_files_equal_the_kept_tables(native, demo_comtrade, tmp_path, monkeypatch,
                                              capsys):
    monkeypatch.setattr(analysis, "WINDOW_BATCH", 5)  # many batches and CSV chunks
    monkeypatch.setattr(analysis, "HALF_CYCLE_BATCH", 77)
    monkeypatch.setattr(csv_text, "_CSV_FIELDS", 1)  # chunks of 4096 rows
    out = tmp_path / "stream"
    assert cli.main(["analyze", str(demo_comtrade), "-o", str(out), "--no-progress"]) == 0
    printed = capsys.readouterr().out
    args = cli.build_parser().parse_args(["analyze", str(demo_comtrade), "-o", str(tmp_path)])
    source = cli._file_source(args)
    try:
        kept = cli.run_analysis(source, args)  # every table kept, no sink
    finally:
        source.close()
    assert len(kept.harmonics) > 3 * 4096
    summary.write_outputs(kept, tmp_path / "kept")
    for name in TABLES:
        assert (out / name).read_bytes() == (tmp_path / "kept" / name).read_bytes(), name
    assert not list(out.glob("*.part"))
    table = summary.console_summary(kept, source="x").splitlines()[1:]
    shown = printed.splitlines()[1:len(table)]
    assert shown == table[:len(shown)] and len(shown) >= 15


def test_only_the_chosen_tables_are_streamed(native, demo_comtrade, tmp_path, monkeypatch,
                                             capsys):
    seen, engine = {}, cli._engine()

    def spy(chunks, **kw):
        seen.update({n: callable(getattr(kw["sink"], n, None))
                     for n in ("on_windows", "on_harmonics", "on_half_cycles")}, keep=kw["keep"])
        return engine(chunks, **kw)

    monkeypatch.setattr(cli, "_engine", lambda: spy)
    assert cli.main(["analyze", str(demo_comtrade), "-o", str(tmp_path / "o"), "-q",
                     "--tables", "windows,events"]) == 0
    assert seen == {"on_windows": True, "on_harmonics": False, "on_half_cycles": False,
                    "keep": ()}

    def failing(chunks, **kw):
        kw["sink"].on_windows(pd.DataFrame({"t_end": [0.2]}))
        raise ValueError("the analysis broke")

    monkeypatch.setattr(cli, "_engine", lambda: failing)
    assert cli.main(["analyze", str(demo_comtrade), "-o", str(tmp_path / "f"), "-q"]) == 1
    assert "the analysis broke" in capsys.readouterr().err
    assert list((tmp_path / "f").iterdir()) == []  # no partial files


def _digits_bound(a, digits):
    """Half a unit in the last of ``digits`` significant digits, and no finer than
    1e-(digits+2) of the column's largest magnitude."""
    top = np.nanmax(np.abs(a[np.isfinite(a)]))
    floor = 10.0 ** (math.floor(math.log10(top)) - digits - 2)
    return np.maximum(np.abs(a) * 0.5 * 10.0 ** (1 - digits), floor * 0.5) * 1.001


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_csv_floats_round_trip_and_missing_values_do_not_change_the_digits(tmp_path, dtype):
    rng = np.random.default_rng(7)
    x = (10.0 ** rng.uniform(-6, 7, 5000) * rng.choice([-1.0, 1.0], 5000)).astype(dtype)
    x[::97] = np.nan
    x[5:9] = [0.0, np.inf, -np.inf, 123.0]
    df = pd.DataFrame({"x": x, "t": np.arange(5000) / 10000.0 + 86000.0,
                       "i": rng.integers(-2**62, 2**62, 5000), "flag": rng.random(5000) < 0.5,
                       "ch": pd.Categorical(rng.choice(["U1", "I3", "U12"], 5000))})
    summary.write_csv(df, tmp_path / "f.csv", chunk_rows=777)
    back = pd.read_csv(tmp_path / "f.csv")
    assert list(back.columns) == list(df.columns) and len(back) == 5000
    for col in ("i", "flag", "ch"):  # integers to the last digit, flags, categories
        assert back[col].tolist() == df[col].astype(object).tolist(), col
    a, b = x.astype(np.float64), back["x"].to_numpy()
    np.testing.assert_array_equal(np.isnan(a), np.isnan(b))
    np.testing.assert_array_equal(a[np.isinf(a)], b[np.isinf(a)])
    ok = np.isfinite(a)
    bound = _digits_bound(a, 12 if dtype == np.float64 else 8)  # the documented digits
    assert np.all(np.abs(a[ok] - b[ok]) <= bound[ok])
    np.testing.assert_allclose(back["t"], df["t"], rtol=0, atol=1e-9)  # 0.1 ms over a day
    missing = rng.random(5000) < 0.7  # a mostly missing column is written like its values
    y = np.where(missing, np.nan, x)
    full = summary.write_csv(pd.DataFrame({"x": y}), tmp_path / "y.csv").read_text()
    alone = summary.write_csv(pd.DataFrame({"x": y[~missing]}), tmp_path / "z.csv").read_text()
    lines = np.array(full.splitlines()[1:], dtype=object)
    assert list(lines[~missing]) == alone.splitlines()[1:] and set(lines[missing]) <= {""}


def test_csv_appender_writes_what_write_csv_writes(tmp_path):
    rng = np.random.default_rng(2)
    n = 3001
    df = pd.DataFrame({
        "t": np.arange(n) / 7.0,
        "small": np.where(np.arange(n) < 2000, 1e-7, 5e3) * rng.normal(size=n),
        "f32": rng.normal(size=n).astype(np.float32), "i": rng.integers(-5, 5, n),
        "flag": rng.random(n) > 0.5,
        "ch": pd.Categorical(rng.choice(["U1", "I2"], n), categories=["U1", "I2", "U12"])})
    df.loc[::13, "small"] = np.nan
    whole = summary.write_csv(df, tmp_path / "whole.csv", chunk_rows=512)
    appender, pos = summary.CsvAppender(tmp_path / "parts.csv", chunk_rows=512), 0
    for size in (1, 700, 0, 511, 1024, 765):
        appender.append(df.iloc[pos:pos + size].reset_index(drop=True))
        pos += size
    assert not (tmp_path / "parts.csv").exists()  # only the temporary file so far
    assert appender.close().read_bytes() == whole.read_bytes()
    summary.CsvAppender(tmp_path / "e.csv").close(columns=["t_start", "delta_u_max"])
    assert (tmp_path / "e.csv").read_text() == "t_start,delta_u_max\n"  # header only
    broken = summary.CsvAppender(tmp_path / "b.csv")
    broken.append(pd.DataFrame({"x": [1.0]}))
    with pytest.raises(ValueError, match="other columns"):
        broken.append(pd.DataFrame({"y": [1.0]}))
    broken.abort()
    assert not (tmp_path / "b.csv").exists() and not list(tmp_path.glob("*.part"))
