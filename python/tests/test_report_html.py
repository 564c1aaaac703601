"""The HTML report: every plot embedded with its title and not blank, nothing loaded from
outside the file, headless Chromium renders it; edge cases on results built by hand."""
import base64
import io
import json
import os
import re
import shutil
import subprocess
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from powergpu import report, summary
from powergpu.report import _EVENT_COLOUR, FIGURES, PHASE_COLOURS

Image = pytest.importorskip("PIL.Image")


@pytest.fixture(scope="module")
def demo_report(demo_result, tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "report.html"
    report.write_report(demo_result, path, title="demo report", source="built-in demo signal")
    return path


def rgb(png):
    return np.asarray(Image.open(io.BytesIO(png) if isinstance(png, bytes) else png)
                      .convert("RGB"), dtype=np.int16)


def pixels_near(arr, colour, tol=40):
    if isinstance(colour, str):
        colour = [int(colour[k:k + 2], 16) for k in (1, 3, 5)]
    return int((np.abs(arr - np.asarray(colour)).sum(axis=2) <= tol).sum())


def distinct_colours(arr):
    return len(np.unique(arr.reshape(-1, 3).astype(np.int64) @ [65536, 256, 1]))


EVENT_SHADE = np.rint(0.25 * np.array([int(_EVENT_COLOUR[k:k + 2], 16) for k in (1, 3, 5)])
                      + 0.75 * 255)  # the event colour at 25 % over white


def test_every_plot_is_embedded_with_its_title_and_not_blank(demo_report):
    text = demo_report.read_text(encoding="utf-8")
    images = {m[1]: (m[2], rgb(base64.b64decode(m[3]))) for m in re.finditer(
        r'<img id="img-([\w-]+)" alt="([^"]*)"[^>]*src="data:image/png;base64,([A-Za-z0-9+/=]+)"',
        text)}
    assert list(images) == [fid for fid, _ in FIGURES]
    for fid, title in FIGURES:
        alt, arr = images[fid]
        assert alt == title and f'<section id="fig-{fid}"><h2>{title}</h2>' in text
        assert arr.shape[1] >= 800 and arr.shape[0] >= 250, (fid, arr.shape)
        assert arr.std() > 10 and distinct_colours(arr) > 50, fid
    for fid in ("rms-trend", "thd-trend", "spectrum", "phasors", "half-cycle-rvc"):
        for colour in PHASE_COLOURS:
            assert pixels_near(images[fid][1], colour) > 50, (fid, colour)
    assert pixels_near(images["half-cycle-rvc"][1], EVENT_SHADE, tol=12) > 2000  # the event


def test_report_is_self_contained_and_holds_the_summary_and_the_event(demo_report, demo_result):
    text = demo_report.read_text(encoding="utf-8")
    assert "<script" not in text.lower() and "<link" not in text.lower()
    assert not re.search(r'(src|href)\s*=\s*"(?!data:)', text, re.I)
    assert "url(" not in text and not re.search(r"https?://", text)
    assert '<table class="summary">' in text
    for label in ("U rms", "U THD", "P active", "PF (lambda)"):
        assert f"<td>{label}</td>" in text
    rows = re.findall(r"<tr><td>1</td>(.*?)</tr>", text.split('<table class="events">')[1])
    assert len(rows) == 1
    cells = re.findall(r"<td>(.*?)</td>", rows[0])  # type, phases, start, ...
    assert cells[0] == "rvc" and float(cells[2]) == pytest.approx(
        float(demo_result.events["t_start"][0]), abs=1e-3)


def test_chromium_renders_the_report(demo_report, tmp_path):
    browser = next((shutil.which(n) for n in ("chromium", "chromium-browser", "google-chrome",
                                               "google-chrome-stable") if shutil.which(n)), None)
    if browser is None:
        pytest.skip("headless Chromium is not installed (scripts/setup-test-deps.sh installs "
                    "the Debian package 'chromium')")
    shot = tmp_path / "report.png"
    proc = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                           "--hide-scrollbars", "--disable-dev-shm-usage", "--no-first-run",
                           f"--user-data-dir={tmp_path / 'profile'}", f"--screenshot={shot}",
                           "--window-size=1280,5200", demo_report.resolve().as_uri()],
                          capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, HOME=str(tmp_path)))
    assert proc.returncode == 0 and shot.is_file(), proc.stderr[-2000:]
    arr = rgb(shot)
    assert arr.shape[:2] == (5200, 1280) and arr.std() > 20 and distinct_colours(arr) > 500
    for colour in PHASE_COLOURS:
        assert pixels_near(arr, colour) > 500, colour
    # Each plot lies in its own band of the page: every 1000-pixel band of the upper part
    # shows several colours, so no figure failed to paint.
    page_end = int(np.flatnonzero((arr != arr[-1, -1]).any(axis=(1, 2)))[-1])
    assert page_end > 3500
    for top in range(0, page_end - 1000, 1000):
        assert distinct_colours(arr[top:top + 1000]) > 100, top


# --- results built by hand (no native library) --------------------------------------------

def built(n=50, phases=1, currents=False, events=(), dip_at=None, harmonics=True):
    t_end = (np.arange(n) + 1) * 0.2
    w = {"t_start": t_end - 0.2, "t_end": t_end, "frequency": 50 + 0.01 * np.sin(t_end),
         "valid": np.ones(n, bool)}
    for k in range(1, phases + 1):
        u = np.full(n, 230.0 + k)
        if dip_at is not None:
            u[dip_at] = 150.0  # one short dip
        w.update({f"u{k}_rms": u, f"u{k}_h1": u * 0.999, f"u{k}_thd": np.full(n, 2 + k / 10),
                  f"u{k}_h1_angle": np.full(n, -120.0 * (k - 1))})
        if currents:
            w.update({name: np.full(n, value) for name, value in (
                (f"i{k}_rms", 5.0), (f"i{k}_h1", 5.0), (f"i{k}_thd", 1.0), (f"p{k}", 1000.0),
                (f"q{k}", 300.0), (f"s{k}", 1150.0), (f"pf{k}", 0.87), (f"cos_phi1_{k}", 0.94),
                (f"i{k}_h1_angle", -120.0 * (k - 1) - 20))})
    harm = pd.DataFrame([(j, t_end[j], f"U{k}", order, 230.0 if order == 1 else
                          (4.0 if order == 5 else 0.05), 0.0, 0.2, np.nan, np.nan)
                         for j in range(min(n, 5) if harmonics else 0)
                         for k in range(1, phases + 1) for order in range(26)],
                        columns=["window", "t_end", "channel", "order", "magnitude", "angle",
                                 "interharmonic", "p", "q"])
    th = (np.arange(n * 20) + 2) * 0.01
    half = pd.DataFrame({"t_end": th, "frequency": 50.0, "valid": True, **{
        f"u{k}_rms": 230.0 + k + 0.1 * np.sin(th) for k in range(1, phases + 1)}})
    ev = pd.DataFrame(list(events), columns=["t_start", "t_end", "duration", "delta_u_max",
                                             "delta_u_ss", "delta_u_max_pct", "delta_u_ss_pct",
                                             "reference_voltage", "ended"])
    s = {"sample_rate": 10000.0, "duration": float(t_end[-1]) if n else 0.0, "backend": "cpu",
         "grid": "single" if phases == 1 else "star", "nominal_frequency": 50.0,
         "rvc_event_count": len(ev), "window_count": n, "half_cycle_count": n * 20,
         "window_cycles": 10}
    return SimpleNamespace(windows=pd.DataFrame(w), harmonics=harm, half_cycles=half, events=ev,
                           summary=s)


def figures(result):
    return {f["id"]: f for f in report.render_figures(result)}


def test_single_phase_voltage_only(tmp_path):
    res = built()
    assert {k: f["note"] for k, f in figures(res).items() if f["png"] is None} == {}
    text = report.write_report(res, tmp_path / "r.html").read_text()
    assert text.count("<img ") == len(FIGURES)
    assert "No rapid voltage change, dip, swell or interruption was detected." in text
    console = summary.console_summary(res)
    assert "RVC events  0" in console and "U rms" in console and "I rms" not in console
    assert summary.phase_table(res).columns == ["L1"]


def test_event_still_running_at_the_end_is_shaded_to_the_end():
    res = built(phases=3, currents=True, events=[(8.0,) + (np.nan,) * 6 + (231.0, False)])
    near = np.abs(rgb(figures(res)["half-cycle-rvc"]["png"]) - EVENT_SHADE).sum(axis=2) <= 12
    cols = np.flatnonzero(near.any(axis=0))
    assert 100 < cols.max() - cols.min() < 400  # from 8 s of a 10 s axis to the data's end
    assert "#1  start 8.000 s  still in progress when the recording ends" in \
        summary.console_summary(res)


def test_a_day_of_windows_keeps_a_one_window_dip():
    res = built(n=432000, dip_at=200000, harmonics=False)  # 24 h of 200 ms windows
    x, y = report._envelope(res.windows["t_end"].to_numpy(), res.windows["u1_rms"].to_numpy())
    assert len(x) <= report._MAX_POINTS and y.min() == 150.0 and np.all(np.diff(x) >= 0)
    figs = figures(res)
    assert figs["rms-trend"]["png"] is not None and len(figs["rms-trend"]["png"]) < 400_000
    assert figs["spectrum"]["png"] is None  # no harmonic table given


def test_phasors_and_worst_window_from_the_windows():
    res = built(n=10, phases=3, currents=True)
    ph = report.fundamental_phasors(res)
    assert (ph["U2"][1], ph["U3"][1], ph["I1"][1]) == pytest.approx((-120.0, 120.0, -20.0))
    assert ph["I1"][0] == pytest.approx(5.0)
    res.windows.loc[6, "u2_thd"] = 9.0
    assert report.worst_window(res) == 6  # the highest THD
    res.windows[["u1_thd", "u2_thd", "u3_thd"]] = np.nan
    assert report.worst_window(res) is None


def test_empty_result_gives_notes_not_errors(tmp_path):
    res = built(n=0, harmonics=False)
    assert all(f["png"] is None and f["note"] for f in figures(res).values())
    text = report.write_report(res, tmp_path / "empty.html").read_text()
    assert text.count("Not drawn:") == len(FIGURES)
    assert "no complete calculation window" in summary.console_summary(res)


def test_outputs_are_strict_json_and_csv(tmp_path):
    res = built(phases=3, currents=True)
    res.summary.update(odd=np.float32(np.nan), count=np.int64(7))
    paths = summary.write_outputs(res, tmp_path, extra={"channels": {"U1": "Va"}})
    assert [p.name for p in paths] == ["windows.csv", "halfcycles.csv", "events.csv",
                                       "harmonics.csv", "summary.json"]
    data = json.loads((tmp_path / "summary.json").read_text())
    assert (data["odd"], data["count"], data["channels"], data["rvc_events"]) == \
        (None, 7, {"U1": "Va"}, [])
    w = pd.read_csv(tmp_path / "windows.csv")
    np.testing.assert_allclose(w["frequency"], res.windows["frequency"], rtol=1e-9)
    ev = pd.read_csv(tmp_path / "events.csv")
    assert len(ev) == 0 and "t_start" in ev.columns and not list(tmp_path.glob("*.part"))
