"""Fleets on a real Dask cluster of two worker processes: the Parquet dataset holds every
recording's values (checked against the harmonic content and steps put into the signals),
the manifest records the malformed input, re-runs skip what is unchanged and redo what was
touched, a worker killed mid-task is replaced without duplicating any row, and
``analyze --format parquet`` writes the same tables as CSV."""
import os
import signal
import threading
import time

import numpy as np
import pandas as pd
import pytest

from conftest import FS, SQ2, run_cli

distributed = pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

from powergpu import batch  # noqa: E402
from powergpu.io import write_comtrade  # noqa: E402

CHANNELS = [{"name": n, "unit": "V" if n[0] == "U" else "A", "phase": n[-1]}
            for n in ("UA", "UB", "UC", "IA", "IB", "IC")]
#: name -> (5th harmonic in per unit of the fundamental, voltage step in per unit)
FLEET = {"quiet.cfg": (0.01, 0.0), "distorted.cfg": (0.06, 0.0),
         "stepped.cfg": (0.02, -0.08), "feeder/mild.cfg": (0.03, 0.0)}
SECONDS = 8.0
U = 230.0


def recording(path, h5, step, seconds=SECONDS):
    """Star voltages with a 5th harmonic (THD = 100 h5 %) and, with ``step``, a change
    of the fundamental by that fraction from 4 s to 5 s; 10 A currents lagging 30 deg."""
    t = np.arange(int(seconds * FS)) / FS
    w = 2 * np.pi * 50.0 * t[:, None] - 2 * np.pi * np.arange(3) / 3
    gain = 1.0 + step * ((t >= 4.0) & (t < 5.0))[:, None]
    u = U * SQ2 * (gain * np.sin(w) + h5 * np.sin(5 * w))
    i = 10.0 * SQ2 * np.sin(w - np.radians(30))
    path.parent.mkdir(parents=True, exist_ok=True)
    return write_comtrade(path.with_suffix(""), np.concatenate([u, i], axis=1), FS, CHANNELS)


@pytest.fixture(scope="module")
def fleet(native, tmp_path_factory):
    folder = tmp_path_factory.mktemp("fleet")
    for name, (h5, step) in FLEET.items():
        recording(folder / name, h5, step)
    (folder / "broken.cfg").write_text("not a configuration\n")
    return folder


@pytest.fixture(scope="module")
def client(native):
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=":0",
                                       silence_logs=50)
    with cluster, distributed.Client(cluster, timeout="60s") as c:
        c.wait_for_workers(2, timeout=60)
        yield c


def mtimes(out, table="windows"):
    return {p.parent.name: p.stat().st_mtime_ns for p in (out / table).glob("*/*.parquet")}


def test_dataset_manifest_and_resumed_runs(fleet, client, tmp_path):
    out = tmp_path / "dataset"
    first = batch.analyze_many([fleet], out, client=client, progress=False, nominal_voltage=U)
    assert (first.analysed, first.skipped, first.failed) == (4, 0, 1)

    m = first.manifest.set_index("recording")
    assert sorted(m.index) == sorted([*FLEET, "broken.cfg"])
    bad = m.loc["broken.cfg"]
    assert bad["status"] == "failed" and "broken.cfg" in bad["error"]
    ok = m.drop("broken.cfg")
    assert (ok["status"] == "ok").all() and (ok["grid"] == "star").all()
    assert (ok["channels"] == "U1=UA,U2=UB,U3=UC,I1=IA,I2=IB,I3=IC").all()
    assert np.allclose(ok["duration_s"], SECONDS, atol=0.05)

    windows = pd.read_parquet(out / "windows")
    assert set(windows["recording"]) == set(FLEET)
    for name, (h5, step) in FLEET.items():
        w = windows[windows["recording"] == name]
        assert len(w) == ok.loc[name, "windows"] and 35 <= len(w) <= 40
        assert w["first_sample"].is_unique
        steady = w[(w["t_end"] < 3.5) & w["valid"]]
        # 16-bit COMTRADE quantisation leaves well under 0.1 % on these amplitudes
        assert np.allclose(steady["u1_rms"], U * np.hypot(1.0, h5), rtol=1e-3)
        assert np.allclose(steady["u2_thd"], 100 * h5, atol=0.02)
        assert ok.loc[name, "u_thd_mean_max"] == pytest.approx(100 * h5, abs=0.1)
    events = pd.read_parquet(out / "events")
    stepped = events[events["recording"] == "stepped.cfg"]
    assert len(events) == 1 and len(stepped) == 1
    assert stepped["t_start"].iloc[0] == pytest.approx(4.0, abs=0.05)
    assert stepped["delta_u_max_pct"].iloc[0] == pytest.approx(8.0, abs=1.0)
    half = pd.read_parquet(out / "halfcycles", columns=["recording", "u1_rms"])
    assert half.groupby("recording", observed=True).size().between(790, 800).all()
    # the aggregates: 8 s of 10-cycle windows make three 150-cycle blocks
    # (the last one short) and one 10-min value per recording, at the rms of
    # the steady voltage where no step falls in
    short = pd.read_parquet(out / "aggregates_3s")
    assert short.groupby("recording", observed=True).size().to_dict() == {n: 3 for n in FLEET}
    ten = pd.read_parquet(out / "aggregates_10min").set_index("recording")
    assert sorted(ten.index) == sorted(FLEET) and (ten["count"] == ok["windows"].reindex(ten.index)).all()
    assert ten.loc["quiet.cfg", "u1_rms"] == pytest.approx(U * np.hypot(1.0, 0.01), rel=1e-3)
    assert ten.loc["quiet.cfg", "u1_h5"] == pytest.approx(1.0, abs=0.02)
    # 8 s hold no complete 10-min value (the one there is flagged as
    # incomplete), so no recording gets a verdict, and the malformed none either
    assert (m["en50160"] == "").all()

    before = mtimes(out)
    second = batch.analyze_many([fleet], out, client=client, progress=False, nominal_voltage=U)
    assert (second.analysed, second.skipped, second.failed) == (0, 5, 0)
    assert mtimes(out) == before

    later = time.time() + 5
    os.utime(fleet / "feeder" / "mild.cfg", (later, later))
    third = batch.analyze_many([fleet], out, client=client, progress=False, nominal_voltage=U)
    assert (third.analysed, third.skipped) == (1, 4)
    changed = {k for k, v in mtimes(out).items() if before[k] != v}
    assert changed == {"recording=feeder%2Fmild.cfg"}
    assert len(pd.read_parquet(out / "windows")) == len(windows)


def test_killed_worker_is_replaced_and_every_recording_written_once(native, client, tmp_path):
    folder = tmp_path / "recordings"
    recording(folder / "long.cfg", 0.04, 0.0, seconds=240.0)
    for k in range(3):
        recording(folder / f"short{k}.cfg", 0.01 * (k + 1), 0.0)
    out = tmp_path / "dataset"
    pids = client.run(os.getpid)
    outcome = {}

    def run():
        try:
            outcome["report"] = batch.analyze_many([folder], out, client=client,
                                                   progress=False)
        except BaseException as exc:  # noqa: BLE001 - handed to the test thread
            outcome["error"] = exc

    worker = threading.Thread(target=run)
    worker.start()
    killed = None
    deadline = time.monotonic() + 60
    while killed is None and time.monotonic() < deadline and worker.is_alive():
        for address, keys in client.processing().items():
            if any(batch.task_prefix("long.cfg") in k for k in keys):
                time.sleep(0.3)  # into the analysis of four minutes of signal
                killed = pids[address]
                os.kill(killed, signal.SIGKILL)
                break
        time.sleep(0.01)
    worker.join(timeout=180)
    assert not worker.is_alive() and "error" not in outcome, outcome.get("error")
    assert killed is not None, "the long recording was never seen running"

    report = outcome["report"]
    m = report.manifest.set_index("recording")
    assert (report.analysed, report.failed) == (4, 0) and (m["status"] == "ok").all()
    assert m.loc["long.cfg", "pid"] != killed  # finished by another process
    windows = pd.read_parquet(out / "windows", columns=["recording", "first_sample"])
    counts = windows.groupby("recording", observed=True).size()
    assert counts.to_dict() == m["windows"].astype(int).to_dict()
    assert not windows.duplicated().any()
    assert not list(out.rglob("*.tmp"))
    client.wait_for_workers(2, timeout=60)  # the nanny restarted the killed one


def test_command_line_starts_its_own_cluster(fleet, tmp_path):
    out = tmp_path / "dataset"
    proc = run_cli("batch", fleet, "--output", out, "--workers", "2", "--tables",
                   "windows", "--no-progress")
    assert proc.returncode == 3, proc.stderr  # ran, with one failure
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("powergpu batch: 4 analysed, 0 skipped")
    assert "on 2 workers" in lines[0]
    thd = lines.index(next(ln for ln in lines if ln.strip().startswith("worst voltage THD")))
    assert lines[thd + 1].split() == ["6.00", "%", "distorted.cfg"]
    assert any(ln.strip().startswith("broken.cfg:") for ln in lines)
    assert sorted(p.name for p in out.iterdir()) == ["manifest.parquet", "windows"]


def device_and_threads(dask_worker):
    return os.environ.get("CUDA_VISIBLE_DEVICES"), dask_worker.state.nthreads


def test_one_worker_per_cuda_device_each_seeing_only_its_own(monkeypatch):
    monkeypatch.setattr(batch, "cuda_devices", lambda: ["0", "3"])
    with batch.start_local_cluster() as cluster, distributed.Client(cluster) as c:
        c.wait_for_workers(2, timeout=60)
        seen = c.run(device_and_threads)
    assert sorted(seen.values()) == [("0", 1), ("3", 1)]


def test_bad_settings_and_inputs_fail_before_any_work(fleet, tmp_path):
    out = tmp_path / "never"
    with pytest.raises(TypeError, match="harmonic"):
        batch.analyze_many([fleet], out, harmonic=40)
    with pytest.raises(ValueError, match="--harmonics"):
        batch.analyze_many([fleet], out, harmonics=500)
    with pytest.raises(ValueError, match="unknown table 'spectra'"):
        batch.analyze_many([fleet], out, tables=["spectra"])
    with pytest.raises(ValueError, match="--no-compliance"):
        batch.analyze_many([fleet], out, tables=["windows", "aggregates"], compliance=False)
    with pytest.raises(FileNotFoundError, match="missing.cfg"):
        batch.analyze_many([fleet / "missing.cfg"], out)
    assert not out.exists()


def test_analyze_writes_parquet_tables_equal_to_csv(native, tmp_path):
    for fmt in ("csv", "parquet"):
        proc = run_cli("analyze", "--demo", "--demo-seconds", "6", "--format", fmt,
                       "-o", tmp_path / fmt, "-q")
        assert proc.returncode == 0, proc.stderr
    for name in ("windows", "halfcycles", "events", "harmonics", "aggregates_3s", "aggregates_10min",
                 "aggregates_2h"):
        text = pd.read_csv(tmp_path / "csv" / f"{name}.csv")
        columnar = pd.read_parquet(tmp_path / "parquet" / f"{name}.parquet")
        assert list(columnar.columns) == list(text.columns) and len(columnar) == len(text) > 0
        for col in text.columns:
            if pd.api.types.is_datetime64_any_dtype(columnar[col]):  # clock times of the aggregates
                assert (pd.to_datetime(text[col]) == columnar[col]).all(), (name, col)
            elif pd.api.types.is_numeric_dtype(text[col]) and text[col].dtype != bool:
                # the CSV holds each value to about 7 significant digits of its
                # column (6 in the aggregates)
                digits = 1e-5 if name.startswith("aggregates") else 1e-6
                finite = np.abs(text[col].to_numpy(dtype=float))
                finite = finite[np.isfinite(finite)]
                scale = float(finite.max()) if len(finite) else 0.0  # an empty column: none
                assert np.allclose(columnar[col].astype(float), text[col], rtol=digits,
                                   atol=digits * scale, equal_nan=True), (name, col)
            else:
                assert (columnar[col].astype(str) == text[col].astype(str)).all(), (name, col)
    assert (tmp_path / "parquet" / "summary.json").is_file()
    assert (tmp_path / "parquet" / "compliance.json").is_file()
    assert not list((tmp_path / "parquet").glob("*.csv"))
    proc = run_cli("analyze", "--demo", "--demo-seconds", "3", "--format", "parquet",
                   "--tables", "windows", "-o", tmp_path / "one", "-q")
    assert proc.returncode == 0, proc.stderr
    assert sorted(p.name for p in (tmp_path / "one").iterdir()) == \
        ["summary.json", "windows.parquet"]


def test_inputs_ids_and_fingerprints(tmp_path):
    from powergpu.fleet_inputs import fingerprint, plan_jobs

    folder = tmp_path / "share"
    for name in ("a.cfg", "a.dat", "feeder/b.cfg", "feeder/b.dat", "scope.csv", "notes.txt",
                 "results/stray.csv"):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(name)
    out = folder / "results"  # a dataset inside the input folder is never an input
    jobs = plan_jobs([folder, str(folder / "*.cfg")], out, {}, settings="s",
                     tables=["windows"], argv=[])
    assert [j.recording for j in jobs] == ["a.cfg", "feeder/b.cfg", "scope.csv"]
    # a known path keeps the id of the manifest, whatever the other inputs
    b = (folder / "feeder" / "b.cfg").resolve()
    again = plan_jobs([b], out, {str(b): {"recording": "x/y.cfg"}}, settings="s",
                      tables=["windows"], argv=[])
    assert [j.recording for j in again] == ["x/y.cfg"]
    # the data file counts: a new .dat behind an unchanged .cfg is another input
    before = fingerprint(folder / "a.cfg")
    stat = (folder / "a.dat").stat()
    os.utime(folder / "a.dat", ns=(stat.st_atime_ns, stat.st_mtime_ns + 10**9))
    assert fingerprint(folder / "a.cfg")["input_mtime_ns"] == before["input_mtime_ns"] + 10**9
    (folder / "a.cfg").write_text("a.cfH")  # same size and time, other header
    os.utime(folder / "a.cfg", ns=(stat.st_atime_ns, stat.st_mtime_ns))
    after = fingerprint(folder / "a.cfg")
    assert after["input_bytes"] == before["input_bytes"]
    assert after["header_sha256"] != before["header_sha256"]


def test_changed_settings_and_inputs_leave_no_stale_rows(client, tmp_path):
    folder = tmp_path / "recordings"
    good = recording(folder / "a.cfg", 0.02, 0.0)
    recording(folder / "b.cfg", 0.03, 0.0)
    out = tmp_path / "dataset"
    first = batch.analyze_many([folder], out, client=client, progress=False)
    assert first.analysed == 2 and (out / "halfcycles").is_dir()

    # other tables are other settings: everything again, and no half-cycles left behind
    fewer = batch.analyze_many([folder], out, client=client, tables=["windows"],
                               progress=False)
    assert (fewer.analysed, fewer.skipped) == (2, 0)
    assert not list((out / "halfcycles").glob("*/*.parquet"))

    # a recording that turns bad loses its rows; fixed again, it is analysed again
    good.write_text("garbage\n")
    broken = batch.analyze_many([folder], out, client=client, tables=["windows"],
                                progress=False)
    assert (broken.analysed, broken.skipped, broken.failed) == (0, 1, 1)
    assert set(pd.read_parquet(out / "windows")["recording"]) == {"b.cfg"}
    recording(folder / "a.cfg", 0.05, 0.0)
    fixed = batch.analyze_many([folder], out, client=client, tables=["windows"],
                               progress=False)
    assert (fixed.analysed, fixed.skipped, fixed.failed) == (1, 1, 0)
    w = pd.read_parquet(out / "windows")
    assert np.allclose(w.loc[w["recording"] == "a.cfg", "u1_thd"], 5.0, atol=0.02)

    # the grouped harmonic table joins the dataset when asked: other settings, so both again
    grouped = batch.analyze_many([folder], out, client=client, tables=["windows", "iec_harmonics"],
                                 progress=False)
    assert (grouped.analysed, grouped.skipped, grouped.failed) == (2, 0, 0)
    iec = pd.read_parquet(out / "iec_harmonics")
    thds = iec[iec["channel"] == "U1"].groupby("recording")["thds"].median()
    assert np.allclose(thds[["a.cfg", "b.cfg"]], [5.0, 3.0], atol=0.05)
