"""analyze() on synthetic signals against analytic values."""
import numpy as np
import pytest

from powergpu import analyze

FS = 10000.0
SQ2 = np.sqrt(2.0)
A = np.exp(2j * np.pi / 3)  # the 120 degree rotation


def star(t, f=50.0, u=230.0, h5=0.05, h7=0.03):
    cols = []
    for p in range(3):
        w = 2 * np.pi * f * t - 2 * np.pi * p / 3
        cols.append(u * SQ2 * (np.sin(w) + h5 * np.sin(5 * w) + h7 * np.sin(7 * w)))
    return np.stack(cols, axis=1)


def currents(t, f=50.0, i=10.0, lag_deg=30.0):
    return np.stack([i * SQ2 * np.sin(2 * np.pi * f * t - 2 * np.pi * p / 3 - np.radians(lag_deg))
                     for p in range(3)], axis=1)




@pytest.fixture
def distorted(backend):
    t = np.arange(int(3.0 * FS)) / FS
    res = analyze(star(t), currents(t), sample_rate=FS, grid="star", backend=backend)
    w = res.windows
    return res, w[w.valid]


def test_windows_are_ten_cycles_long(distorted):
    res, w = distorted
    assert len(w) >= 13
    np.testing.assert_array_equal(w.n_samples, 2000)
    np.testing.assert_allclose(w.frequency, 50.0, atol=1e-3)
    np.testing.assert_allclose(w.t_end - w.t_start, 0.2, atol=1e-4)
    # consecutive windows touch
    np.testing.assert_allclose(res.windows.t_start.to_numpy()[1:],
                               res.windows.t_end.to_numpy()[:-1], atol=1e-12)


def test_rms_and_thd(distorted):
    _, w = distorted
    rms = 230.0 * np.sqrt(1 + 0.05 ** 2 + 0.03 ** 2)  # 230.391 V
    thd = 100 * np.hypot(0.05, 0.03)                     # 5.831 %
    for k in (1, 2, 3):
        np.testing.assert_allclose(w[f"u{k}_rms"], rms, rtol=1e-5)
        np.testing.assert_allclose(w[f"u{k}_rms_fft"], rms, rtol=1e-4)
        np.testing.assert_allclose(w[f"u{k}_h1"], 230.0, rtol=1e-4)
        np.testing.assert_allclose(w[f"u{k}_thd"], thd, atol=5e-3)
        np.testing.assert_allclose(w[f"u{k}_thd_odd"], thd, atol=5e-3)
        # no even harmonics: what remains is the Blackman window's leakage of
        # the fundamental into the neighbouring groups (about 0.04 %)
        np.testing.assert_allclose(w[f"u{k}_thd_even"], 0.0, atol=0.06)
        np.testing.assert_allclose(w[f"i{k}_rms"], 10.0, rtol=1e-5)
        np.testing.assert_allclose(w[f"i{k}_thd"], 0.0, atol=0.06)
    # line-to-line: the 5th and 7th of a symmetric system also scale by sqrt(3)
    np.testing.assert_allclose(w["u12_rms"], np.sqrt(3) * rms, rtol=1e-5)
    np.testing.assert_allclose(w["u31_thd"], thd, atol=5e-3)


def test_powers_with_currents_lagging_30_degrees(distorted):
    _, w = distorted
    p, q = 2300 * np.cos(np.pi / 6), 2300 * np.sin(np.pi / 6)  # 1991.9 W, 1150 var
    for k in (1, 2, 3):
        np.testing.assert_allclose(w[f"p{k}"], p, rtol=1e-4)
        np.testing.assert_allclose(w[f"p1_{k}"], p, rtol=1e-3)
        np.testing.assert_allclose(w[f"q1_{k}"], q, rtol=1e-3)
        np.testing.assert_allclose(w[f"q{k}"], q, rtol=1e-3)
        np.testing.assert_allclose(w[f"cos_phi1_{k}"], np.cos(np.pi / 6), atol=1e-4)
        np.testing.assert_allclose(w[f"i{k}_h1_angle"] - w[f"u{k}_h1_angle"], -30.0, atol=0.01)
    np.testing.assert_allclose(w["u1_h1_angle"], 0.0, atol=0.01)
    np.testing.assert_allclose(w["u2_h1_angle"], -120.0, atol=0.01)
    np.testing.assert_allclose(w["u3_h1_angle"], 120.0, atol=0.01)
    np.testing.assert_allclose(w["p_total"], 3 * p, rtol=1e-4)
    np.testing.assert_allclose(w["q1_total"], 3 * q, rtol=1e-3)
    np.testing.assert_allclose(w["pf_total"], 3 * p / (3 * 2300 * np.sqrt(1 + 0.05 ** 2 + 0.03 ** 2)),
                               rtol=1e-3)


def test_harmonics_table(distorted):
    res, w = distorted
    h = res.harmonics
    win = h[h.window == w.index[2]]
    u1 = win[win.channel == "U1"].set_index("order")
    assert u1.loc[5, "magnitude"] == pytest.approx(11.5, rel=1e-3)
    assert u1.loc[7, "magnitude"] == pytest.approx(6.9, rel=1e-3)
    assert u1.loc[3, "magnitude"] < 0.05
    # sin(5 w) against sin(w): both phasors at 0 degrees relative to U1
    assert u1.loc[5, "angle"] == pytest.approx(0.0, abs=0.05)
    assert len(u1) == 51  # orders 0..50
    i2 = win[win.channel == "I2"].set_index("order")
    assert i2.loc[1, "p"] == pytest.approx(1991.86, rel=1e-3)
    assert i2.loc[1, "q"] == pytest.approx(1150.0, rel=1e-3)
    assert i2.loc[1, "angle"] == pytest.approx(-150.0, abs=0.05)
    assert np.isnan(u1.loc[1, "p"])
    assert u1["interharmonic"].notna().all()
    assert win[win.channel == "U12"]["angle"].isna().all()
    assert set(win.channel.unique()) == {"U1", "U2", "U3", "I1", "I2", "I3", "U12", "U23", "U31"}


def test_unbalance_from_known_sequence_components(backend):
    # U = V1 (positive) + V2 (negative, 2 %) + V0 (zero, 1 %)
    t = np.arange(int(2.0 * FS)) / FS
    v1, v2, v0 = 230.0, 4.6, 2.3
    w = 2 * np.pi * 50.0 * t
    u = np.stack([SQ2 * np.imag(np.exp(1j * w) * (v1 * A ** (-p) + v2 * A ** p + v0))
                  for p in range(3)], axis=1)
    res = analyze(u, currents(t), sample_rate=FS, grid="star", backend=backend)
    win = res.windows[res.windows.valid]
    np.testing.assert_allclose(win["u1"], v1, rtol=1e-4)
    np.testing.assert_allclose(win["u2"], v2, atol=5e-3)
    np.testing.assert_allclose(win["u0"], v0, atol=5e-3)
    np.testing.assert_allclose(win["u2_ratio"], 2.0, atol=5e-3)
    np.testing.assert_allclose(win["u0_ratio"], 1.0, atol=5e-3)
    # balanced currents: only the positive sequence carries power
    np.testing.assert_allclose(win["i2_ratio"], 0.0, atol=5e-3)
    np.testing.assert_allclose(win["p_pos"], 3 * v1 * 10 * np.cos(np.pi / 6), rtol=1e-3)
    np.testing.assert_allclose(win["q_pos"], 3 * v1 * 10 * np.sin(np.pi / 6), rtol=1e-3)
    assert res.summary["u2_ratio_mean"] == pytest.approx(2.0, abs=0.01)


def test_half_cycle_values(backend):
    t = np.arange(int(2.0 * FS)) / FS
    res = analyze(star(t, h5=0, h7=0), currents(t), sample_rate=FS, grid="star",
                  backend=backend)
    h = res.half_cycles
    # one-cycle values every half cycle from the first cycle on
    np.testing.assert_allclose(np.diff(h.t_end), 0.01, atol=1e-5)
    assert len(h) >= 195
    ok = h[h.valid]
    assert len(ok) >= 170
    for k in (1, 2, 3):
        np.testing.assert_allclose(ok[f"u{k}_rms"], 230.0, rtol=1e-5)
        np.testing.assert_allclose(ok[f"u{k}_h1"], 230.0, rtol=1e-5)
        np.testing.assert_allclose(ok[f"i{k}_rms"], 10.0, rtol=1e-5)
        np.testing.assert_allclose(ok[f"phi1_{k}"], 30.0, atol=0.01)
        np.testing.assert_allclose(ok[f"q1_{k}"], 1150.0, rtol=1e-4)
        np.testing.assert_allclose(ok[f"pf{k}"], np.cos(np.pi / 6), rtol=1e-5)
    np.testing.assert_allclose(ok["frequency"], 50.0, atol=1e-3)
    np.testing.assert_allclose(ok["p_total"], 3 * 2300 * np.cos(np.pi / 6), rtol=1e-5)
    np.testing.assert_allclose(ok["u_rms_mean"], 230.0, rtol=1e-5)
    assert (h.rvc_state == 0).all() and not h.rvc_event_ended.any()


def test_frequency_of_windows_follows_a_drift(backend):
    # 49.8 Hz rising by 0.1 Hz/s: each window reports the mean frequency over
    # its own 10 cycles, i.e. 10 / its duration.
    f0, rate = 49.8, 0.1
    t = np.arange(int(4.0 * FS)) / FS
    ph = 2 * np.pi * (f0 * t + 0.5 * rate * t * t)
    u = np.stack([230 * SQ2 * np.sin(ph - 2 * np.pi * p / 3) for p in range(3)], axis=1)
    res = analyze(u, sample_rate=FS, grid="star", backend=backend)
    w = res.windows[res.windows.valid]
    k = np.arange(200)
    crossings = (-f0 + np.sqrt(f0 * f0 + 2 * rate * k)) / rate
    first = np.searchsorted(crossings, w.t_start - 1e-4)
    true = 10.0 / (crossings[first + 10] - crossings[first])
    np.testing.assert_allclose(w.frequency, true, atol=1e-3)
    np.testing.assert_allclose(w.t_start, crossings[first], atol=1e-4)
    # windows hold whole samples: up to half a sample too many or too few at
    # each end of 2000 gives a time-domain rms error up to about 2e-4
    np.testing.assert_allclose(w.u1_rms, 230.0, rtol=3e-4)
    np.testing.assert_allclose(w.u1_h1, 230.0, rtol=1e-4)
    assert res.summary["frequency_min"] < res.summary["frequency_max"]
