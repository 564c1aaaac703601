"""The report and the summary tables on results built by hand: voltage-only
single-phase results, no events, an event still running at the end, a day of
windows (drawn from an envelope), and an empty result.  No native library
is needed."""
import io
import json
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from powergpu import report, summary

Image = pytest.importorskip("PIL.Image")


def _result(n_windows=50, phases=1, currents=False, events=None, dip_at=None,
            window_seconds=0.2, harmonics=True):
    t_end = (np.arange(n_windows) + 1) * window_seconds
    w = {"t_start": t_end - window_seconds, "t_end": t_end,
         "frequency": 50 + 0.01 * np.sin(t_end), "valid": np.ones(n_windows, bool)}
    for k in range(1, phases + 1):
        u = np.full(n_windows, 230.0 + k)
        if dip_at is not None:
            u[dip_at] = 150.0  # one short dip
        w[f"u{k}_rms"] = u
        w[f"u{k}_h1"] = u * 0.999
        w[f"u{k}_h1_angle"] = np.full(n_windows, -120.0 * (k - 1))
        w[f"u{k}_thd"] = np.full(n_windows, 2.0 + k / 10)
        if currents:
            w[f"i{k}_rms"] = np.full(n_windows, 5.0)
            w[f"i{k}_h1"] = np.full(n_windows, 5.0)
            w[f"i{k}_h1_angle"] = w[f"u{k}_h1_angle"] - 20
            w[f"i{k}_thd"] = np.full(n_windows, 1.0)
            w[f"p{k}"] = np.full(n_windows, 1000.0)
            w[f"q{k}"] = np.full(n_windows, 300.0)
            w[f"s{k}"] = np.full(n_windows, 1150.0)
            w[f"pf{k}"] = np.full(n_windows, 0.87)
            w[f"cos_phi1_{k}"] = np.full(n_windows, 0.94)
    windows = pd.DataFrame(w)
    rows = []
    if harmonics:
        for j in range(min(n_windows, 5)):
            for k in range(1, phases + 1):
                for order in range(0, 26):
                    mag = 230.0 if order == 1 else (4.0 if order == 5 else 0.05)
                    rows.append((j, t_end[j], f"U{k}", order, mag, 0.0, 0.2, np.nan, np.nan))
    harm = pd.DataFrame(rows, columns=["window", "t_end", "channel", "order", "magnitude",
                                       "angle", "interharmonic", "p", "q"])
    n_half = n_windows * 20
    th = (np.arange(n_half) + 2) * 0.01
    half = pd.DataFrame({"t_end": th, "frequency": 50.0, "valid": np.ones(n_half, bool),
                         **{f"u{k}_rms": 230.0 + k + 0.1 * np.sin(th) for k in
                            range(1, phases + 1)}})
    ev = pd.DataFrame(events or [], columns=["t_start", "t_end", "duration", "delta_u_max",
                                             "delta_u_ss", "delta_u_max_pct",
                                             "delta_u_ss_pct", "reference_voltage", "ended"])
    s = {"sample_rate": 10000.0, "duration": float(t_end[-1]) if n_windows else 0.0,
         "backend": "cpu", "grid": "single" if phases == 1 else "star",
         "nominal_frequency": 50.0, "rvc_event_count": len(ev), "window_count": n_windows,
         "half_cycle_count": n_half, "window_cycles": 10}
    return SimpleNamespace(windows=windows, harmonics=harm, half_cycles=half, events=ev,
                           summary=s)


def _figures(result):
    return {f["id"]: f for f in report.render_figures(result)}


def _png(fig):
    return np.asarray(Image.open(io.BytesIO(fig["png"])).convert("RGB"), dtype=np.int64)


def test_single_phase_voltage_only(tmp_path):
    res = _result(phases=1, currents=False)
    figs = _figures(res)
    assert all(f["png"] is not None for f in figs.values()), \
        {k: f["note"] for k, f in figs.items() if f["png"] is None}
    path = report.write_report(res, tmp_path / "r.html")
    text = path.read_text()
    assert text.count("<img ") == len(report.FIGURES)
    assert "No rapid voltage change was detected." in text
    model = summary.phase_table(res)
    assert model.columns == ["L1"]
    assert [r.label for r in model.rows] == ["U rms", "U fundamental", "U THD",
                                            "U rms half-cycle min", "U rms half-cycle max"]
    console = summary.console_summary(res)
    assert "RVC events  0" in console and "I rms" not in console


def test_event_still_running_at_the_end_is_shaded_to_the_end():
    ev = [{"t_start": 8.0, "t_end": np.nan, "duration": np.nan, "delta_u_max": np.nan,
           "delta_u_ss": np.nan, "delta_u_max_pct": np.nan, "delta_u_ss_pct": np.nan,
           "reference_voltage": 231.0, "ended": False}]
    res = _result(phases=3, currents=True, events=ev)
    img = _png(_figures(res)["half-cycle-rvc"])
    shade = np.rint(0.25 * np.array([0xE6, 0x9F, 0x00]) + 0.75 * 255)
    near = (np.abs(img - shade).sum(axis=2) <= 12)
    cols = np.flatnonzero(near.any(axis=0))
    # From 8 s of a 10 s axis to the right end of the data: about a fifth of it.
    assert 100 < cols.max() - cols.min() < 400
    console = summary.console_summary(res)
    assert "#1  start 8.000 s  still in progress when the recording ends" in console


def test_a_day_of_windows_keeps_a_one_window_dip():
    n = 432000  # 24 h of 200 ms windows
    res = _result(n_windows=n, phases=1, dip_at=200000, harmonics=False)
    x, y = report._envelope(res.windows["t_end"].to_numpy(), res.windows["u1_rms"].to_numpy())
    assert len(x) <= report._MAX_POINTS
    assert y.min() == 150.0 and np.all(np.diff(x) >= 0)
    fig = _figures(res)["rms-trend"]
    assert fig["png"] is not None and len(fig["png"]) < 400_000
    assert _figures(res)["spectrum"]["png"] is None  # no harmonic table given


def test_time_axis_units():
    assert report._time_scale(30.0) == (1.0, "time [s]")
    assert report._time_scale(3600.0) == (60.0, "time [min]")
    assert report._time_scale(86400.0) == (3600.0, "time [h]")


def test_phasors_from_the_window_angles():
    res = _result(phases=3, currents=True)
    ph = report.fundamental_phasors(res)
    assert ph["U2"][1] == pytest.approx(-120.0)
    assert ph["U3"][1] == pytest.approx(120.0)  # -240 wrapped
    assert ph["I1"][1] == pytest.approx(-20.0)
    assert ph["I1"][0] == pytest.approx(5.0)


def test_worst_window_is_the_highest_thd():
    res = _result(n_windows=10, phases=3)
    res.windows.loc[6, "u2_thd"] = 9.0
    assert report.worst_window(res) == 6
    res.windows["u1_thd"] = np.nan
    res.windows["u2_thd"] = np.nan
    res.windows["u3_thd"] = np.nan
    assert report.worst_window(res) is None


def test_empty_result_gives_notes_not_errors(tmp_path):
    res = _result(n_windows=0, phases=1, harmonics=False)
    res.half_cycles = res.half_cycles.iloc[0:0]
    figs = _figures(res)
    assert all(f["png"] is None and f["note"] for f in figs.values())
    text = report.write_report(res, tmp_path / "empty.html").read_text()
    assert text.count("Not drawn:") == len(report.FIGURES)
    assert "no complete calculation window" in summary.console_summary(res)


def test_outputs_are_strict_json_and_csv(tmp_path):
    res = _result(phases=3, currents=True)
    res.summary["odd"] = np.float32(np.nan)
    res.summary["count"] = np.int64(7)
    paths = summary.write_outputs(res, tmp_path / "o", extra={"channels": {"U1": "Va"}})
    assert [p.name for p in paths] == ["windows.csv", "halfcycles.csv", "events.csv",
                                       "harmonics.csv", "summary.json"]
    data = json.loads((tmp_path / "o" / "summary.json").read_text())
    assert data["odd"] is None and data["count"] == 7 and data["channels"] == {"U1": "Va"}
    assert data["rvc_events"] == []
    w = pd.read_csv(tmp_path / "o" / "windows.csv")
    np.testing.assert_allclose(w["frequency"], res.windows["frequency"], rtol=1e-9)
    ev = pd.read_csv(tmp_path / "o" / "events.csv")
    assert len(ev) == 0 and "t_start" in ev.columns
    assert not list((tmp_path / "o").glob("*.part"))


@pytest.mark.parametrize("value, text", [
    (None, "-"), (float("nan"), "-"), (1234.56, "1234.6"), (230.123, "230.12"),
    (4.5678, "4.568"), (0.86612, "0.8661"), (0, "0.000"), ("x", "x"),
])
def test_number_format(value, text):
    assert summary.fmt_number(value) == text
