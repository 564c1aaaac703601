"""analyze() on synthetic signals against analytic answers, and the tables it promises."""
import json
import math

import numpy as np
import pandas as pd
import pytest

from conftest import FS, SQ2, three_phase
from powergpu import analyze, analyze_stream

RMS = 230.0 * math.hypot(1, 0.05, 0.03)  # 230.391 V: 5 % 5th and 3 % 7th
THD = 100 * math.hypot(0.05, 0.03)       # 5.831 %
P, Q = 2300 * math.cos(math.pi / 6), 2300 * math.sin(math.pi / 6)  # 1991.9 W, 1150 var


@pytest.fixture(scope="module")
def distorted(backend):
    res = analyze(*three_phase(int(3 * FS), h5=0.05, h7=0.03), sample_rate=FS, grid="star",
                  backend=backend)
    return res, res.windows[res.windows.valid]


WINDOW_TRUTH = [  # column ({k}: every phase), analytic value, rtol, atol
    ("n_samples", 2000, 0, 0), ("frequency", 50.0, 0, 1e-3),
    ("u{k}_rms", RMS, 1e-5, 0), ("u{k}_rms_fft", RMS, 1e-4, 0), ("u{k}_h1", 230.0, 1e-4, 0),
    ("u{k}_thd", THD, 0, 5e-3), ("u{k}_thd_odd", THD, 0, 5e-3),
    # no even harmonics: what remains is the Blackman window's leakage of the fundamental
    # into the neighbouring groups (about 0.04 %)
    ("u{k}_thd_even", 0.0, 0, 0.06), ("i{k}_rms", 10.0, 1e-5, 0), ("i{k}_thd", 0.0, 0, 0.06),
    ("p{k}", P, 1e-4, 0), ("p1_{k}", P, 1e-3, 0), ("q{k}", Q, 1e-3, 0), ("q1_{k}", Q, 1e-3, 0),
    ("cos_phi1_{k}", math.cos(math.pi / 6), 0, 1e-4),
    ("u1_h1_angle", 0.0, 0, 0.01), ("u2_h1_angle", -120.0, 0, 0.01),
    ("u3_h1_angle", 120.0, 0, 0.01),
    # line-to-line: the 5th and 7th of a symmetric system also scale by sqrt(3)
    ("u12_rms", math.sqrt(3) * RMS, 1e-5, 0), ("u31_thd", THD, 0, 5e-3),
    ("p_total", 3 * P, 1e-4, 0), ("q1_total", 3 * Q, 1e-3, 0),
    ("pf_total", P / (10 * RMS), 1e-3, 0)]


@pytest.mark.parametrize("column,value,rtol,atol", WINDOW_TRUTH, ids=[r[0] for r in WINDOW_TRUTH])
def test_window_values_are_analytic(distorted, column, value, rtol, atol):
    _, w = distorted
    assert len(w) >= 13
    for k in (1, 2, 3):
        np.testing.assert_allclose(w[column.format(k=k)], value, rtol=rtol, atol=atol)


def test_windows_touch_and_currents_lag_30_degrees(distorted):
    res, w = distorted
    np.testing.assert_allclose(w.t_end - w.t_start, 0.2, atol=1e-4)
    np.testing.assert_allclose(res.windows.t_start.to_numpy()[1:],
                               res.windows.t_end.to_numpy()[:-1], atol=1e-12)
    for k in (1, 2, 3):
        np.testing.assert_allclose(w[f"i{k}_h1_angle"] - w[f"u{k}_h1_angle"], -30.0, atol=0.01)


def test_harmonics_table(distorted):
    res, w = distorted
    win = res.harmonics[res.harmonics.window == w.index[2]]
    assert set(win.channel.unique()) == {"U1", "U2", "U3", "I1", "I2", "I3", "U12", "U23", "U31"}
    u1 = win[win.channel == "U1"].set_index("order")
    assert len(u1) == 51  # orders 0..50
    assert (u1.loc[5, "magnitude"], u1.loc[7, "magnitude"]) == pytest.approx((11.5, 6.9), rel=1e-3)
    assert u1.loc[3, "magnitude"] < 0.05
    assert u1.loc[5, "angle"] == pytest.approx(0.0, abs=0.05)  # sin(5 w) against sin(w)
    assert np.isnan(u1.loc[1, "p"]) and u1["interharmonic"].notna().all()
    i2 = win[win.channel == "I2"].set_index("order")
    assert (i2.loc[1, "p"], i2.loc[1, "q"]) == pytest.approx((P, Q), rel=1e-3)
    assert i2.loc[1, "angle"] == pytest.approx(-150.0, abs=0.05)
    assert win[win.channel == "U12"]["angle"].isna().all()


def test_unbalance_from_known_sequence_components(backend):
    # U = V1 (positive) + V2 (negative, 2 %) + V0 (zero, 1 %)
    n, a = int(2 * FS), np.exp(2j * np.pi / 3)
    v1, v2, v0 = 230.0, 4.6, 2.3
    w = 2 * np.pi * 50.0 * np.arange(n) / FS
    u = np.stack([SQ2 * np.imag(np.exp(1j * w) * (v1 * a ** (-p) + v2 * a ** p + v0))
                  for p in range(3)], axis=1)
    res = analyze(u, three_phase(n)[1], sample_rate=FS, grid="star", backend=backend)
    win = res.windows[res.windows.valid]
    np.testing.assert_allclose(win["u1"], v1, rtol=1e-4)
    for column, value in (("u2", v2), ("u0", v0), ("u2_ratio", 2.0), ("u0_ratio", 1.0),
                          ("i2_ratio", 0.0)):
        np.testing.assert_allclose(win[column], value, atol=5e-3, err_msg=column)
    # balanced currents: only the positive sequence carries power
    np.testing.assert_allclose(win["p_pos"], 3 * v1 * 10 * np.cos(np.pi / 6), rtol=1e-3)
    np.testing.assert_allclose(win["q_pos"], 3 * v1 * 10 * np.sin(np.pi / 6), rtol=1e-3)
    assert res.summary["u2_ratio_mean"] == pytest.approx(2.0, abs=0.01)


def test_half_cycle_values(backend):
    res = analyze(*three_phase(int(2 * FS)), sample_rate=FS, grid="star", backend=backend)
    h = res.half_cycles
    np.testing.assert_allclose(np.diff(h.t_end), 0.01, atol=1e-5)  # every half cycle
    ok = h[h.valid]
    assert len(h) >= 195 and len(ok) >= 170
    for k in (1, 2, 3):
        for column, value, rtol in ((f"u{k}_rms", 230.0, 1e-5), (f"u{k}_h1", 230.0, 1e-5),
                                    (f"i{k}_rms", 10.0, 1e-5), (f"q1_{k}", Q, 1e-4),
                                    (f"pf{k}", math.cos(math.pi / 6), 1e-5)):
            np.testing.assert_allclose(ok[column], value, rtol=rtol, err_msg=column)
        np.testing.assert_allclose(ok[f"phi1_{k}"], 30.0, atol=0.01)
    np.testing.assert_allclose(ok["frequency"], 50.0, atol=1e-3)
    np.testing.assert_allclose(ok["p_total"], 3 * P, rtol=1e-5)
    np.testing.assert_allclose(ok["u_rms_mean"], 230.0, rtol=1e-5)
    assert (h.rvc_state == 0).all() and not h.rvc_event_ended.any()


def test_window_frequency_follows_a_drift(backend):
    # 49.8 Hz rising by 0.1 Hz/s: each window reports 10 / (its duration).
    f0, rate = 49.8, 0.1
    t = np.arange(int(4 * FS)) / FS
    ph = 2 * np.pi * (f0 * t + 0.5 * rate * t * t)
    u = np.stack([230 * SQ2 * np.sin(ph - 2 * np.pi * p / 3) for p in range(3)], axis=1)
    res = analyze(u, sample_rate=FS, grid="star", backend=backend)
    w = res.windows[res.windows.valid]
    crossings = (-f0 + np.sqrt(f0 * f0 + 2 * rate * np.arange(200))) / rate
    first = np.searchsorted(crossings, w.t_start - 1e-4)
    np.testing.assert_allclose(w.frequency, 10.0 / (crossings[first + 10] - crossings[first]),
                               atol=1e-3)
    np.testing.assert_allclose(w.t_start, crossings[first], atol=1e-4)
    np.testing.assert_allclose(w.u1_h1, 230.0, rtol=1e-4)


def test_orders_beyond_half_the_sample_rate_come_and_go_with_the_frequency(backend):
    # At 1600 Hz sampling the windows of a frequency swinging between 48.5
    # and 51.5 Hz resolve the 17th order below 50 Hz and not above (16 x 50 Hz
    # and the group around it fill the spectrum to 800 Hz): with 25 orders
    # asked for, batches of windows come with different numbers of orders. Every window still gets
    # its row and the 5th harmonic (3 %) everywhere; an order a window cannot
    # resolve has no row in the harmonics table.
    fs = 1600.0
    t = np.arange(int(40 * fs)) / fs
    ph = 2 * np.pi * np.cumsum(50.0 + 1.5 * np.sin(2 * np.pi * t / 20.0)) / fs
    u = np.stack([230 * SQ2 * (np.sin(ph - 2 * np.pi * p / 3) + 0.03 * np.sin(5 * (ph - 2 * np.pi * p / 3)))
                  for p in range(3)], axis=1)
    res = analyze(u, sample_rate=fs, grid="star", backend=backend, harmonics=25,
                  keep=("windows", "harmonics"))
    w = res.windows
    assert len(w) > 150 and w["valid"].mean() > 0.9
    h = res.harmonics[res.harmonics["channel"].astype(str).isin(["U1", "0"])]
    fifth = h[(h["order"] == 5) & h["window"].isin(w.index[w["valid"]])]["magnitude"].to_numpy()
    assert len(fifth) == w["valid"].sum() and np.allclose(fifth, 6.9, rtol=2e-2)
    with_17 = set(h.loc[h["order"] == 17, "window"])
    without = w[~w.index.isin(with_17)]
    assert 0 < len(with_17) < len(w) and (without["frequency"] > 49.9).all()
    assert (w.loc[w.index.isin(with_17), "frequency"] < 50.1).all()


# --- rapid voltage changes --------------------------------------------------------------
# Hand calculation (50 Hz, one-cycle values every half cycle T/2 = 10 ms, steady state =
# 100 values, threshold 2 %, hysteresis 50 % -> 1 % during an event).  The -8 % step
# starts at t0 = 1.5 s, on a cycle boundary, and ends at t1 = 2.5 s.  A one-cycle value
# holding a share x of the lowered voltage has rms 230 sqrt(1 - x (1 - 0.92^2)).
# - Start: the value leaves the +-2 % band (below 225.4 V) once x > 0.258; the first is
#   the one ending at t0 + T/2 (x = 0.5): t_start = 1.51 s.
# - End: the new steady window of 100 values must lie within +-1 % (above 227.7 V), so
#   x < 0.13; its first value ends at t1 + T (x = 0): 2.52 s.  Duration 1.01 s.
# - Largest deviation 230 - 0.92 * 230 = 18.4 V (8 %); equal levels: delta U_ss = 0.

def stepped(duration=5.0, depth=0.08, t0=1.5, t1=2.5, phases=3):
    t = np.arange(int(duration * FS)) / FS
    env = np.where((t >= t0) & (t < t1), 1.0 - depth, 1.0)
    return three_phase(len(t))[0][:, :phases] * env[:, None]


@pytest.mark.parametrize("nominal", [230.0, None])
def test_step_of_minus_8_percent_held_1_s(backend, nominal):
    res = analyze(stepped(), sample_rate=FS, grid="star", nominal_voltage=nominal,
                  backend=backend)
    assert len(res.events) == 1 and res.summary["rvc_event_count"] == 1
    e, half = res.events.iloc[0], 0.01
    assert bool(e.ended)
    assert (e.t_start, e.t_end, e.duration) == pytest.approx((1.51, 2.52, 1.01), abs=half)
    assert (e.delta_u_max, e.delta_u_ss) == pytest.approx((18.4, 0.0), abs=0.2)
    assert (e.delta_u_max_pct, e.delta_u_ss_pct) == pytest.approx((8.0, 0.0), abs=0.1)
    assert e.reference_voltage == pytest.approx(230.0, rel=1e-3)
    h = res.half_cycles
    inside = h[(h.t_end > 1.53) & (h.t_end < 2.49)]
    # near a step the detected cycle boundaries move by a few microseconds (the band-pass
    # sees the amplitude change), worth up to about 0.05 V
    np.testing.assert_allclose(inside.u1_rms, 0.92 * 230.0, rtol=5e-4)
    assert (inside.rvc_state == 1).all() and (inside.rvc1_state == 1).all()
    before = h[(h.t_end > 0.2) & (h.t_end < 1.49)]
    np.testing.assert_allclose(before.u_rms_mean, 230.0, rtol=5e-4)
    assert (before.rvc_state == 0).all()
    ended = h[h.rvc_event_ended]  # reported once, 100 values after the new steady state
    assert len(ended) == 1 and ended.t_end.iloc[0] == pytest.approx(2.52 + 0.99, abs=half)


@pytest.mark.parametrize("signal,options,events,ended,t_start,duration,delta_ss", [
    (dict(depth=0.015), {}, 0, None, None, None, None),  # inside the 2 % band
    (dict(depth=0.04, phases=1), dict(grid="single"), 1, True, 1.51, 1.01, 0.0),
    (dict(depth=0.04, phases=1), dict(grid="single", rvc_threshold=5.0), 0, None, None, None,
     None),
    # still running at the end: an event ends no earlier than 100 values after it began
    (dict(duration=3.0, t0=2.5, t1=10.0), {}, 1, False, 2.51, None, None),
    # settled at once on its new level: the event lasts from the value that broke the old
    # steady state to the first value of the new one, half a cycle
    (dict(duration=3.5, t1=10.0), {}, 1, True, 1.51, 0.01, 18.4)],
    ids=["small", "single-phase", "threshold-5", "running", "lasting"])
def test_rvc_scenarios(backend, signal, options, events, ended, t_start, duration, delta_ss):
    res = analyze(stepped(**signal), sample_rate=FS, backend=backend,
                  **{"grid": "star", **options})
    assert len(res.events) == events
    if not events:
        assert (res.half_cycles.rvc_state == 0).all()
        return
    e = res.events.iloc[0]
    assert bool(e.ended) is ended and e.t_start == pytest.approx(t_start, abs=0.01)
    if duration is None:
        assert np.isnan(e.duration)
    else:
        assert e.duration == pytest.approx(duration, abs=0.01)
    if delta_ss is not None:
        assert e.delta_u_ss == pytest.approx(delta_ss, abs=0.2)


# --- the tables and the summary ---------------------------------------------------------

def columns(phases, currents, ll):
    """The documented window and half-cycle columns of a grid."""
    def each(names):
        return [name.format(k) for k in range(1, phases + 1) for name in names.split()]
    w = ["t_start", "t_end", "frequency", "first_sample", "n_samples"] + each(
        "u{}_rms u{}_rms_fft u{}_mean_abs u{}_h1 u{}_h1_angle u{}_thd u{}_thd_even u{}_thd_odd "
        "u{}_thd_rms u{}_distortion") + [f"u{ab}_{x}" for ab in ll for x in ("rms", "h1", "thd")]
    hc = ["t_end", "frequency", "valid", "u_rms_mean", "rvc_state", "rvc_event_ended"] + each(
        "u{}_rms u{}_h1 rvc{}_state")
    if phases == 3:
        w += ["u0", "u1", "u2", "u0_ratio", "u2_ratio"]
    if currents:
        w += each("i{}_rms i{}_rms_fft i{}_mean_abs i{}_h1 i{}_thd p{} p{}_fft q{} s{} d{} pf{} "
                  "z{} cos_phi1_{} p1_{} q1_{} s1_{} z1_{}")
        hc += each("i{}_rms i{}_h1 p{} q1_{} s{} pf{} phi1_{}") + ["p_total", "s_total"]
        if phases > 1:
            w += "p_total q_total s_total pf_total p1_total s1_total q1_total".split()
        if phases == 3:
            w += "i0 i1 i2 i0_ratio i2_ratio p_pos q_pos p_neg q_neg p_zero q_zero".split()
    return w, hc


@pytest.mark.parametrize("grid,nv,nc,phases,ll", [
    ("star", 3, 3, 3, ["12", "23", "31"]), ("single", 1, 1, 1, []),
    ("two-phase", 2, 2, 2, ["12"]), ("delta", 3, 3, 3, ["12", "23", "31"]),
    ("star-two-currents", 3, 2, 3, ["12", "23", "31"]),
    ("delta-two-voltages", 2, 2, 3, ["12", "23", "31"])])
@pytest.mark.parametrize("with_currents", [True, False])
def test_columns_and_phase_voltages_of_every_grid(backend, grid, nv, nc, phases, ll,
                                                  with_currents):
    u, i = three_phase(int(1.5 * FS))
    if grid == "two-phase":
        u = np.stack([u[:, 0], -u[:, 0]], axis=1)
    if grid.startswith("delta"):  # measured line-to-line voltages U12, U23, U31
        u = u - np.roll(u, -1, axis=1)
    res = analyze(u[:, :nv], i[:, :nc] if with_currents else None, sample_rate=FS, grid=grid,
                  backend=backend)
    window_cols, half_cols = columns(phases, with_currents, ll)
    assert set(window_cols) <= set(res.windows.columns)
    assert set(half_cols) <= set(res.half_cycles.columns)
    assert (phases == 3) == ("u2_ratio" in res.windows.columns)
    assert with_currents == any(c.startswith("i1") for c in res.windows.columns)
    assert list(res.harmonics.columns) == ["window", "t_end", "channel", "order", "magnitude",
                                           "angle", "interharmonic", "p", "q"]
    want = {f"U{k}" for k in range(1, phases + 1)} | {f"U{ab}" for ab in ll}
    if with_currents:
        want |= {f"I{k}" for k in range(1, phases + 1)}
    assert set(res.harmonics.channel.unique()) == want
    assert list(res.events.columns) == ["type", "phases", "t_start", "t_end", "duration",
                                        "extreme_v", "extreme_pct", "reference_voltage",
                                        "delta_u_max", "delta_u_ss", "delta_u_max_pct",
                                        "delta_u_ss_pct", "ended"]
    ok = res.windows[res.windows.valid]  # every grid gives the same phase voltages back
    for k in range(1, phases + 1) if grid != "two-phase" else ():
        np.testing.assert_allclose(ok[f"u{k}_rms"], 230.0, rtol=1e-4)
    if with_currents:
        np.testing.assert_allclose(ok["p1"], P, rtol=1e-3)


def test_summary_is_json_and_consistent(distorted, backend):
    res = distorted[0]
    s = res.summary
    assert json.loads(json.dumps(s, allow_nan=False)) == s
    assert (s["sample_rate"], s["grid"], s["backend"], s["nominal_frequency"]) == \
        (FS, "star", backend, 50.0)
    assert s["duration"] == pytest.approx(3.0)
    assert (s["window_count"], s["half_cycle_count"], s["rvc_event_count"]) == \
        (len(res.windows), len(res.half_cycles), 0)
    assert s["frequency_mean"] == pytest.approx(50.0, abs=2e-3)
    assert [p["phase"] for p in s["phases"]] == [1, 2, 3]
    ph = s["phases"][1]
    assert ph["rms"] == pytest.approx(res.windows.u2_rms.mean())
    assert (ph["p"], ph["pf"]) == pytest.approx((P, P / (10 * RMS)), rel=1e-3)
    assert all(isinstance(ph[key], float) for key in ("thd", "q", "s", "h1"))
    for key in ("u0_ratio_mean", "u0_ratio_max", "u2_ratio_mean", "u2_ratio_max"):
        assert s[key] == pytest.approx(0.0, abs=0.01)


def test_stream_of_chunks_equals_arrays(backend):
    u, i = three_phase(int(2 * FS))
    data = np.concatenate([u, i], axis=1)
    whole = analyze(u, i, sample_rate=FS, grid="star", backend=backend, chunk_samples=1 << 20)
    streamed = analyze_stream(((k, data[k:k + 777]) for k in range(0, len(data), 777)),
                              sample_rate=FS, grid="star", backend=backend)
    pd.testing.assert_frame_equal(whole.windows, streamed.windows, rtol=1e-9)
    pd.testing.assert_frame_equal(whole.half_cycles, streamed.half_cycles, rtol=1e-9)
    assert len(streamed.harmonics) == len(whole.harmonics)
    seen = []  # a stream that starts at sample 64000 counts its times from there
    res = analyze_stream(((64000 + k, u[k:k + 1000, :1]) for k in range(0, 10000, 1000)),
                         sample_rate=FS, grid="single", backend=backend, total_samples=10000,
                         progress=lambda done, total: seen.append(done))
    assert seen[-1] == 10000 and res.summary["start_time"] == 6.4
    assert res.windows.t_start.min() >= 6.4
    np.testing.assert_allclose(res.windows.first_sample / FS, res.windows.t_start)


def test_nominal_frequency_options_and_missing_samples(backend):
    u, i = three_phase(int(1.5 * FS), f=60.0)
    res = analyze(u, i, sample_rate=FS, grid="star", nominal_frequency=60.0, backend=backend)
    np.testing.assert_array_equal(res.windows.n_samples, 2000)  # twelve cycles at 60 Hz
    assert res.summary["window_cycles"] == 12
    np.testing.assert_allclose(np.diff(res.half_cycles.t_end), 1 / 120, atol=1e-5)
    u = three_phase(int(FS))[0][:, 0]
    u[3000] = np.nan  # replaced by zero, its cycles invalid
    res = analyze(u, sample_rate=FS, interharmonics=False, harmonics=25, backend=backend)
    assert res.summary["grid"] == "single"  # from the number of columns
    assert np.isfinite(res.windows.u1_rms).all()
    assert res.harmonics.interharmonic.isna().all() and res.harmonics.order.max() == 25


@pytest.mark.parametrize("call,match", [
    (lambda u, i: analyze(u[:, :2], sample_rate=FS, grid="star"), "voltage columns"),
    (lambda u, i: analyze(u, i[:, :2], sample_rate=FS, grid="star"), "currents"),
    (lambda u, i: analyze(u, sample_rate=FS, grid="star", nominal_frequency=2000.0),
     "below 8 samples per"),
    (lambda u, i: analyze_stream(iter([(0, u[:100]), (200, u[100:200])]), sample_rate=FS,
                                 grid="star"), "contiguous"),
    (lambda u, i: analyze_stream(iter([]), sample_rate=FS), "no samples")])
def test_input_errors(call, match):
    with pytest.raises(ValueError, match=match):
        call(*three_phase(3000))
