"""The tables that analyze() promises: columns per grid, streaming, summary."""
import json

import numpy as np
import pandas as pd
import pytest

from powergpu import AnalysisResult, analyze, analyze_stream

FS = 6400.0
SQ2 = np.sqrt(2.0)


def signals(n_phases=3, seconds=1.5, f=50.0, lag=30.0):
    t = np.arange(int(seconds * FS)) / FS
    u = np.stack([230 * SQ2 * np.sin(2 * np.pi * f * t - 2 * np.pi * p / 3)
                  for p in range(n_phases)], axis=1)
    i = np.stack([10 * SQ2 * np.sin(2 * np.pi * f * t - 2 * np.pi * p / 3 - np.radians(lag))
                  for p in range(n_phases)], axis=1)
    return u, i


PHASE_U = ["rms", "rms_fft", "mean_abs", "h1", "h1_angle", "thd", "thd_even", "thd_odd",
           "thd_rms", "distortion"]


def window_columns(phases, currents, ll):
    cols = ["t_start", "t_end", "frequency", "first_sample", "n_samples"]
    for k in range(1, phases + 1):
        cols += [f"u{k}_{x}" for x in PHASE_U]
    if currents:
        for k in range(1, phases + 1):
            cols += [f"i{k}_rms", f"i{k}_rms_fft", f"i{k}_mean_abs", f"i{k}_h1", f"i{k}_thd",
                     f"p{k}", f"p{k}_fft", f"q{k}", f"s{k}", f"d{k}", f"pf{k}",
                     f"cos_phi1_{k}", f"p1_{k}", f"q1_{k}", f"s1_{k}", f"z{k}", f"z1_{k}"]
    for ab in ll:
        cols += [f"u{ab}_rms", f"u{ab}_h1", f"u{ab}_thd"]
    if phases > 1 and currents:
        cols += ["p_total", "q_total", "s_total", "pf_total", "p1_total", "s1_total", "q1_total"]
    if phases == 3:
        cols += ["u0", "u1", "u2", "u0_ratio", "u2_ratio"]
        if currents:
            cols += ["i0", "i1", "i2", "i0_ratio", "i2_ratio", "p_pos", "q_pos", "p_neg",
                     "q_neg", "p_zero", "q_zero"]
    return cols


def half_cycle_columns(phases, currents):
    cols = ["t_end", "frequency", "valid"]
    for k in range(1, phases + 1):
        cols += [f"u{k}_rms", f"u{k}_h1", f"rvc{k}_state"]
        if currents:
            cols += [f"i{k}_rms", f"i{k}_h1", f"p{k}", f"q1_{k}", f"s{k}", f"pf{k}", f"phi1_{k}"]
    cols += ["u_rms_mean", "rvc_state", "rvc_event_ended"]
    if currents:
        cols += ["p_total", "s_total"]
    return cols


CASES = [  # grid, voltage columns, currents, phases, line-to-line names
    ("star", 3, 3, 3, ["12", "23", "31"]),
    ("single", 1, 1, 1, []),
    ("two-phase", 2, 2, 2, ["12"]),
    ("delta", 3, 3, 3, ["12", "23", "31"]),
    ("star-two-currents", 3, 2, 3, ["12", "23", "31"]),
    ("delta-two-voltages", 2, 2, 3, ["12", "23", "31"]),
]


@pytest.mark.parametrize("grid,nv,nc,phases,ll", CASES)
@pytest.mark.parametrize("with_currents", [True, False])
def test_columns(backend, grid, nv, nc, phases, ll, with_currents):
    u, i = signals(3)
    if grid == "two-phase":
        u = np.stack([u[:, 0], -u[:, 0]], axis=1)
    if grid.startswith("delta"):  # measured line-to-line voltages U12, U23, U31
        u = u - np.roll(u, -1, axis=1)
    res = analyze(u[:, :nv], i[:, :nc] if with_currents else None, sample_rate=FS, grid=grid,
                  backend=backend)
    assert isinstance(res, AnalysisResult)
    assert set(window_columns(phases, with_currents, ll)) <= set(res.windows.columns)
    if phases < 3:
        assert "u2_ratio" not in res.windows.columns
    if not with_currents:
        assert not any(c.startswith("i1") or c == "p_total" for c in res.windows.columns)
    assert set(half_cycle_columns(phases, with_currents)) <= set(res.half_cycles.columns)
    assert list(res.harmonics.columns) == ["window", "t_end", "channel", "order", "magnitude",
                                           "angle", "interharmonic", "p", "q"]
    channels = set(res.harmonics.channel.unique())
    want = {f"U{k}" for k in range(1, phases + 1)} | {f"U{ab}" for ab in ll}
    if with_currents:
        want |= {f"I{k}" for k in range(1, phases + 1)}
    assert channels == want
    assert list(res.events.columns)[:7] == ["t_start", "t_end", "duration", "delta_u_max",
                                            "delta_u_ss", "delta_u_max_pct", "delta_u_ss_pct"]
    # every grid gives the same phase voltages back
    ok = res.windows[res.windows.valid]
    if grid != "two-phase":
        for k in range(1, phases + 1):
            np.testing.assert_allclose(ok[f"u{k}_rms"], 230.0, rtol=1e-4)
    if with_currents:
        np.testing.assert_allclose(ok["p1"], 2300 * np.cos(np.pi / 6), rtol=1e-3)


def test_summary_is_json_and_consistent(backend):
    u, i = signals(3)
    res = analyze(u, i, sample_rate=FS, grid="star", backend=backend)
    s = res.summary
    text = json.dumps(s, allow_nan=False)
    assert json.loads(text) == s
    assert s["sample_rate"] == FS and s["grid"] == "star" and s["backend"] == backend
    assert s["duration"] == pytest.approx(1.5)
    assert s["nominal_frequency"] == 50.0
    assert s["window_count"] == len(res.windows)
    assert s["half_cycle_count"] == len(res.half_cycles)
    assert s["rvc_event_count"] == 0
    assert s["frequency_mean"] == pytest.approx(50.0, abs=2e-3)
    assert [p["phase"] for p in s["phases"]] == [1, 2, 3]
    ph = s["phases"][1]
    assert ph["rms"] == pytest.approx(res.windows.u2_rms.mean())
    assert ph["p"] == pytest.approx(2300 * np.cos(np.pi / 6), rel=1e-3)
    assert ph["pf"] == pytest.approx(np.cos(np.pi / 6), rel=1e-3)
    for key in ("thd", "q", "s", "h1"):
        assert isinstance(ph[key], float)
    for key in ("u0_ratio_mean", "u0_ratio_max", "u2_ratio_mean", "u2_ratio_max"):
        assert s[key] == pytest.approx(0.0, abs=0.01)


def test_stream_of_chunks_equals_arrays(backend):
    u, i = signals(3, seconds=2.0)
    data = np.concatenate([u, i], axis=1)
    whole = analyze(u, i, sample_rate=FS, grid="star", backend=backend, chunk_samples=1 << 20)

    def chunks(size):
        for k in range(0, len(data), size):
            yield k, data[k:k + size]

    streamed = analyze_stream(chunks(777), sample_rate=FS, grid="star", backend=backend)
    pd.testing.assert_frame_equal(whole.windows, streamed.windows, rtol=1e-9)
    pd.testing.assert_frame_equal(whole.half_cycles, streamed.half_cycles, rtol=1e-9)
    assert len(streamed.harmonics) == len(whole.harmonics)


def test_stream_with_an_offset_start_and_progress(backend):
    u, _ = signals(1, seconds=1.0)
    seen = []

    def chunks():
        for k in range(0, len(u), 1000):
            yield 64000 + k, u[k:k + 1000]

    res = analyze_stream(chunks(), sample_rate=FS, grid="single", backend=backend,
                         total_samples=len(u), progress=lambda done, total: seen.append(done))
    assert seen[-1] == len(u)
    assert res.windows.t_start.min() >= 10.0  # times count from the running index
    assert res.summary["start_time"] == 10.0
    np.testing.assert_allclose(res.windows.first_sample / FS, res.windows.t_start)


def test_60_hz_windows_are_twelve_cycles(backend):
    u, i = signals(3, f=60.0)
    res = analyze(u, i, sample_rate=FS, grid="star", nominal_frequency=60.0, backend=backend)
    np.testing.assert_array_equal(res.windows.n_samples, 12 * FS / 60.0)
    assert res.summary["window_cycles"] == 12
    np.testing.assert_allclose(np.diff(res.half_cycles.t_end), 1 / 120, atol=1e-5)


def test_without_interharmonics_the_column_is_nan(backend):
    u, _ = signals(1)
    res = analyze(u, sample_rate=FS, grid="single", interharmonics=False, harmonics=25,
                  backend=backend)
    assert res.harmonics.interharmonic.isna().all()
    assert res.harmonics.order.max() == 25


def test_grid_from_the_number_of_columns(backend):
    u, _ = signals(1)
    assert analyze(u[:, 0], sample_rate=FS, backend=backend).summary["grid"] == "single"


def test_input_errors():
    u, i = signals(3)
    with pytest.raises(ValueError, match="voltage columns"):
        analyze(u[:, :2], sample_rate=FS, grid="star")
    with pytest.raises(ValueError, match="currents"):
        analyze(u, i[:, :2], sample_rate=FS, grid="star")
    with pytest.raises(ValueError):
        analyze(u, sample_rate=FS, grid="star", nominal_frequency=1000.0)
    with pytest.raises(ValueError, match="contiguous"):
        analyze_stream(iter([(0, u[:100]), (200, u[100:200])]), sample_rate=FS, grid="star")
    with pytest.raises(ValueError, match="no samples"):
        analyze_stream(iter([]), sample_rate=FS)


def test_missing_samples_are_analysed_as_zero(backend):
    u, _ = signals(1, seconds=1.0)
    u[3000] = np.nan
    res = analyze(u, sample_rate=FS, grid="single", backend=backend)
    assert np.isfinite(res.windows.u1_rms).all()
