"""What the analysis reports where a recording is not a steady-state measurement: flagged
windows and half-cycle values, missing and absurd samples, a wrong nominal frequency, a
current without a fundamental, rapid voltage changes before any steady state.  Every case is a
synthetic recording whose answers are known: 230 V / 10 A sines, 30 degrees lag."""
import math

import numpy as np
import pytest

from conftest import FS, SQ2, three_phase
from powergpu import analyze, summary
from powergpu.flags import total_distortion
from powergpu.steady import SteadyState

SECONDS = 6.0
N = int(SECONDS * FS)


def _run(volts, currents=None, **kw):
    return analyze(volts, currents, sample_rate=FS, grid="star", backend="cpu", **kw)


def _covering(table, t, half_cycles=False):
    """Rows of a windows or half-cycles table whose interval holds time ``t``."""
    t_start = table["t_end"] - 1.0 / table["frequency"] if half_cycles else table["t_start"]
    return (t_start <= t) & (table["t_end"] >= t)


@pytest.fixture(scope="module")
def clean(native):
    v, i = three_phase(N)
    return _run(v, i)


def test_steady_recording_has_nothing_flagged(clean):
    w, h = clean.windows, clean.half_cycles
    inner = w["valid"]
    assert inner.sum() >= len(w) - 1  # at most the first window, before the filter settles
    assert (w["flagged"] == ~w["valid"]).all() and (h["flagged"] == ~h["valid"]).all()
    s = clean.summary
    assert s["flagged_window_count"] == int(w["flagged"].sum())
    assert s["flagged_half_cycle_count"] == int(h["flagged"].sum())
    assert s["warnings"] == [] and s["absent_channels"] == [] and s["missing_samples"] == {}
    # a total distortion is never below the harmonic distortion it contains
    for k in (1, 2, 3):
        assert (w[f"u{k}_distortion"] >= w[f"u{k}_thd"]).all()


@pytest.mark.parametrize("bad", [np.nan, np.inf, 1e20, 3.4e38])
def test_one_unusable_sample_invalidates_only_what_holds_it(clean, bad):
    v, i = three_phase(N)
    at = int(3.0 * FS) + 37
    v[at, 1] = bad
    r = _run(v, i)
    w, h = r.windows, r.half_cycles
    hit = _covering(w, at / FS)
    assert hit.sum() == 1
    assert not w.loc[hit, "valid"].any() and w.loc[hit, "flagged"].all()
    hit_h = _covering(h, at / FS, half_cycles=True)
    assert hit_h.sum() >= 2 and not h.loc[hit_h, "valid"].any() and h.loc[hit_h, "flagged"].all()
    # nothing else changes: the cycles stay 50 Hz cycles, the other windows keep their values
    assert r.cycles["frequency"].max() < 51.0
    assert len(w) == len(clean.windows)
    rest = w["valid"].to_numpy()
    assert rest.sum() == clean.windows["valid"].sum() - 1
    assert np.allclose(w.loc[rest, "u2_thd"], clean.windows.loc[rest, "u2_thd"], atol=1e-6)
    kind = "missing_samples" if not np.isfinite(bad) else "absurd_samples"
    assert r.summary[kind] == {"U2": 1}
    assert any("samples (U2 1)" in text for text in r.summary["warnings"])
    # the summary and the console's half-cycle extremes leave the invalid values out
    for k in (1, 2, 3):
        assert r.summary["phases"][k - 1]["rms"] == pytest.approx(230.0, abs=1e-3)
        assert r.summary["phases"][k - 1]["thd"] < 0.05
    rows = {row.label: row.values for row in summary.phase_table(r).rows}
    assert all(abs(float(x) - 230.0) < 0.5 for x in rows["U rms half-cycle max"] if x)
    assert r.summary["frequency_max"] == pytest.approx(50.0, abs=0.01)


def test_missing_stretch_and_a_channel_without_data(native):
    v, i = three_phase(N)
    v[int(2.0 * FS):int(2.3 * FS), 0] = np.nan  # a 300 ms gap in U1
    r = _run(v, i)
    gap = (r.windows["t_end"] > 2.0) & (r.windows["t_start"] < 2.3)
    assert gap.sum() >= 2 and not r.windows.loc[gap, "valid"].any()
    assert r.summary["missing_samples"] == {"U1": int(0.3 * FS)}
    valid = r.windows["valid"]
    assert valid.sum() >= len(valid) - 4
    assert np.allclose(r.windows.loc[valid, "u1_rms"], 230.0, atol=1e-3)

    v, i = three_phase(N)
    i[:, 2] = np.nan  # I3 never recorded
    r = _run(v, i)
    assert r.summary["absent_channels"] == ["I3"] and r.summary["missing_samples"] == {}
    assert any("no data in channel I3" in text for text in r.summary["warnings"])
    assert r.summary["phases"][2]["i_rms"] is None  # absent, not 0 A
    assert r.summary["phases"][1]["i_rms"] == pytest.approx(10.0, abs=1e-4)  # the rest counts
    for table in (r.windows, r.half_cycles):
        for name in ("i3_rms", "i3_h1", "p3", "s3", "pf3", "p_total", "s_total"):
            assert table[name].isna().all(), name
        assert not table["i2_rms"].isna().any()
    assert r.windows["valid"].sum() >= len(r.windows) - 1

    v, i = three_phase(N)
    i[:int(2.0 * FS), 2] = np.nan  # I3 connected at 2 s
    r = _run(v, i)
    assert r.summary["absent_channels"] == [] and r.summary["missing_samples"] == {}
    w = r.windows
    before = w["t_start"] < 2.0
    assert w.loc[before, "i3_rms"].isna().all() and w.loc[before, "cos_phi1_3"].isna().all()
    assert np.allclose(w.loc[~before & w["valid"], "i3_rms"], 10.0, atol=1e-4)
    assert w["valid"].sum() >= len(w) - 1


def test_zero_current_has_no_angle(native):
    v, i = three_phase(N)
    i[:, 2] = 0.0
    r = _run(v, i)
    w = r.windows[r.windows["valid"]]
    for name in ("i3_h1_angle", "i3_thd", "cos_phi1_3", "pf3"):
        assert w[name].isna().all(), name
    assert np.allclose(w["cos_phi1_1"], math.cos(math.radians(30.0)), atol=1e-5)
    assert np.allclose(w["i1_h1_angle"], -30.0, atol=0.01)
    assert np.allclose(w["p3"], 0.0) and np.allclose(w["i3_rms"], 0.0)
    h = r.half_cycles[r.half_cycles["valid"]]
    assert h["phi1_3"].isna().all() and np.allclose(h["phi1_1"], 30.0, atol=0.01)
    assert r.summary["phases"][2]["pf"] is None
    assert r.summary["phases"][0]["pf"] == pytest.approx(math.cos(math.radians(30.0)), abs=1e-4)


def test_sixty_hertz_analysed_at_fifty(native):
    v, _ = three_phase(N, f=60.0)
    r = _run(v)
    s = r.summary
    assert len(r.events) == 0  # the invalid values never feed the RVC detector
    assert s["invalid_window_count"] == s["window_count"] > 0
    assert s["frequency_max"] is None and s["phases"][0]["rms"] is None
    assert s["measured_frequency_mean"] == pytest.approx(60.0, abs=0.01)
    assert any("60.00 Hz" in text and "nominal 50 Hz" in text for text in s["warnings"])
    assert "warning: the measured frequency" in summary.console_summary(r)


def _dip(v, t0, t1, depth=0.7):
    """Scales the voltages between t0 and t1 (seconds) by ``depth``."""
    a, b = int(t0 * FS), int(t1 * FS)
    v[a:b] *= depth
    return v


def test_no_rapid_voltage_change_before_a_steady_state(native):
    v, i = three_phase(int(8 * FS))
    _dip(v, 0.5, 0.6, depth=0.95)  # inside the first second: no steady state seen yet
    _dip(v, 4.0, 4.1, depth=0.95)  # 5 cycles at -5 %: one event
    r = _run(v, i)
    assert len(r.events) == 1
    event = r.events.iloc[0]
    assert event["t_start"] == pytest.approx(4.0, abs=0.025)
    assert event["delta_u_max"] == pytest.approx(0.05 * 230.0, rel=0.05)
    w = r.windows
    overlap = (w["t_end"] >= event["t_start"]) & (w["t_start"] <= event["t_end"])
    assert (w["flagged"] == (overlap | ~w["valid"])).all()
    h = r.half_cycles
    h_overlap = (h["t_end"] >= event["t_start"]) & (
        h["t_end"] - 1.0 / h["frequency"] <= event["t_end"])
    assert (h["flagged"] == (h_overlap | ~h["valid"])).all()
    assert r.summary["flagged_window_count"] == int(w["flagged"].sum())
    # steady-state statistics of spectral values come from the unflagged windows only,
    # RMS values from every valid window
    steady = w[~w["flagged"]]
    assert r.summary["phases"][0]["h1"] == pytest.approx(steady["u1_h1"].mean(), rel=1e-6)
    assert r.summary["phases"][0]["rms"] == pytest.approx(w.loc[w["valid"], "u1_rms"].mean(),
                                                         rel=1e-12)
    assert "flagged" in summary.console_summary(r)


def test_the_reported_spectrum_is_a_steady_one(native):
    v, i = three_phase(int(6 * FS), h5=0.03)
    _dip(v, 4.0, 4.1, depth=0.95)
    r = _run(v, i)
    w = r.windows
    thd = w[["u1_thd", "u2_thd", "u3_thd"]].max(axis=1)
    # a window of the dip shows more distortion than any steady one (the steps leak)
    assert thd[w["flagged"] & w["valid"]].max() > thd[~w["flagged"]].max() + 0.05
    assert r.trends.worst["window"] == int(thd.where(~w["flagged"]).idxmax())


def test_invalid_values_reset_the_steady_state():
    s = SteadyState(3)
    valid = np.array([1, 1, 1, 1, 0, 1, 1, 1, 1, 1], dtype=bool)
    expect = [False, False, False, True, False, False, False, False, True, True]
    assert s.take(valid).tolist() == expect
    # the same values cut into batches: the count carries over
    s = SteadyState(3)
    got = np.concatenate([s.take(valid[:2]), s.take(valid[2:5]), s.take(valid[5:6]),
                          s.take(valid[6:])])
    assert got.tolist() == expect


def test_total_distortion_holds_harmonics_and_interharmonics(native):
    t = np.arange(N) / FS
    base = 230 * SQ2 * np.sin(2 * np.pi * 50 * t)
    h5 = 0.04 * 230 * SQ2 * np.sin(2 * np.pi * 250 * t)
    ih = 0.01 * 230 * SQ2 * np.sin(2 * np.pi * 175 * t)
    v = np.stack([base + h5 + ih] * 3, axis=1)
    w = _run(v).windows
    w = w[w["valid"]]
    assert np.allclose(w["u1_thd"], 4.0, atol=0.01)
    # everything but the fundamental: sqrt(4^2 + 1^2) %
    assert np.allclose(w["u1_distortion"], math.hypot(4.0, 1.0), atol=0.02)
    # rounding never puts it below the THD
    d = total_distortion(np.float32([230.0]), np.float32([230.0]), np.float32([0.01]))
    assert d[0] == pytest.approx(0.01)


def test_orders_the_sample_rate_cannot_hold_are_named(native):
    fs = 5760.0  # 96 samples per 60 Hz cycle: harmonics up to the 48th
    t = np.arange(int(2 * fs)) / fs
    v = np.stack([230 * SQ2 * np.sin(2 * np.pi * 60 * t - k * 2 * np.pi / 3) for k in range(3)], 1)
    r = analyze(v, sample_rate=fs, nominal_frequency=60.0, grid="star", backend="cpu")
    assert r.summary["highest_harmonic_order"] == 48 == r.harmonics["order"].max()
    assert any("orders above 48 are not computed" in w for w in r.summary["warnings"])
    r = analyze(v, sample_rate=fs, nominal_frequency=60.0, grid="star", backend="cpu",
                harmonics=40)
    assert r.summary["warnings"] == []


def test_flags_of_a_long_event_do_not_depend_on_the_batches(native, monkeypatch):
    """A voltage that keeps changing for 5 s holds one RVC event open far longer than the
    detector's window: rows are handed on while it lasts, with the flags they will keep."""
    from powergpu import analysis

    v, i = three_phase(int(10 * FS))
    for k, t0 in enumerate(np.arange(3.0, 8.0, 0.25)):
        _dip(v, t0, t0 + 0.25, depth=1.03 if k % 2 else 0.97)
    whole = _run(v, i)
    assert len(whole.events) == 1 and whole.events["duration"].iloc[0] > 5.0
    monkeypatch.setattr(analysis, "WINDOW_BATCH", 2)
    monkeypatch.setattr(analysis, "HALF_CYCLE_BATCH", 20)
    calls = []
    seen = {"on_windows": [], "on_half_cycles": []}

    class Sink:
        def on_windows(self, df):
            seen["on_windows"].append(df)

        def on_half_cycles(self, df):
            seen["on_half_cycles"].append(df)
            calls.append(("half_cycles", float(df["t_end"].max())))

        def on_events(self, df):
            calls.append(("events", float(df["t_end"].iloc[0])))

    _run(v, i, sink=Sink(), keep=(), chunk_samples=2048)
    event = whole.events.iloc[0]
    before_end = [t for kind, t in calls[:calls.index(("events", event["t_end"]))]
                  if kind == "half_cycles"]
    # rows well inside the event went out, flagged, before the event was over
    assert max(before_end) > event["t_start"] + 3.0
    for name, table in (("on_windows", whole.windows), ("on_half_cycles", whole.half_cycles)):
        got = np.concatenate([df["flagged"].to_numpy() for df in seen[name]])
        assert (got == table["flagged"].to_numpy()).all(), name
