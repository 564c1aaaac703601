"""The demo signal matches the truth it reports, checked from the samples with plain
numpy (no analysis library involved)."""
import math

import numpy as np
import pytest

from conftest import FS, SQ2
from powergpu.demo import demo_signal


def phasor(x, theta):
    """Fundamental phasor (rms, sine-phase angle) of x over whole cycles of the phase law."""
    return complex(2.0 * np.mean(x * np.sin(theta)), 2.0 * np.mean(x * np.cos(theta))) / SQ2


def cycles_of(info, n):
    f = info["frequency"]
    t = np.arange(n) / info["sample_rate"]
    return f["f0"] * t + f["drift"] * f["period"] / (2 * math.pi) * (
        1 - np.cos(2 * math.pi * t / f["period"]))


def test_rms_unbalance_harmonics_and_power_before_the_step(demo):
    v, i, info = demo
    assert v.shape == i.shape == (info["n_samples"], 3) and info["sample_rate"] == FS
    n0 = info["step"]["start_sample"]  # from t = 0 to the step: whole cycles
    np.testing.assert_allclose(np.sqrt(np.mean(v[:n0] ** 2, axis=0)), info["u_rms"], rtol=2e-4)
    np.testing.assert_allclose(np.sqrt(np.mean(i[:n0] ** 2, axis=0)), info["i_rms"], rtol=2e-4)
    # Phase 1 carries the negative sequence in phase: the highest voltage.
    assert info["u_rms"][0] > info["u_rms"][1] == pytest.approx(info["u_rms"][2])
    theta = 2 * math.pi * cycles_of(info, n0)
    ph = np.array([phasor(v[:n0, k], theta) for k in range(3)])
    np.testing.assert_allclose(np.abs(ph), info["u_h1"], rtol=5e-4)
    a = np.exp(2j * math.pi / 3)
    u0, u1, u2 = (ph @ np.array([[1, 1, 1], [1, a, a * a], [1, a * a, a]]).T) / 3
    assert abs(u1) == pytest.approx(230.0, rel=5e-4)
    assert 100 * abs(u2) / abs(u1) == pytest.approx(3.0, abs=0.01)
    assert 100 * abs(u0) / abs(u1) < 0.01
    for k in range(3):
        h5, h7 = (abs(phasor(v[:n0, k], order * theta)) for order in (5, 7))
        assert (h5, h7) == pytest.approx((9.2, 5.75), rel=2e-3)
        assert 100 * math.hypot(h5, h7) / abs(ph[k]) == pytest.approx(info["u_thd"][k], rel=3e-3)
        pi = phasor(i[:n0, k], theta)
        lag = math.degrees(np.angle(ph[k]) - np.angle(pi))
        assert (lag + 180) % 360 - 180 == pytest.approx(30.0, abs=0.05)
        assert abs(pi) == pytest.approx(10.0, rel=5e-4)
        assert np.mean(v[:n0, k] * i[:n0, k]) == pytest.approx(info["p"][k], rel=1e-3)


def test_step_starts_and_ends_on_cycle_boundaries(demo):
    v, _, info = demo
    step = info["step"]
    assert 1.95 < step["start"] < 2.05
    assert step["start_sample"] == math.ceil(step["start"] * FS - 1e-9)
    c_at = np.interp([step["start"], step["end"]], np.arange(60000) / FS, cycles_of(info, 60000))
    np.testing.assert_allclose(c_at, np.round(c_at), atol=1e-3)
    assert c_at[1] - c_at[0] == pytest.approx(50.0, abs=1e-3)
    assert step["duration"] == pytest.approx(1.0, abs=0.002)
    # The step scales exactly the samples inside it by 0.92, nothing else.
    plain = demo_signal(step_depth=0.0)[0]
    inside = slice(step["start_sample"], step["end_sample"])
    np.testing.assert_allclose(v[inside], 0.92 * plain[inside], rtol=1e-12, atol=1e-9)
    np.testing.assert_array_equal(np.delete(v, np.r_[inside], axis=0),
                                  np.delete(plain, np.r_[inside], axis=0))


def test_frequency_drifts_by_five_hundredths(demo):
    x = demo[0][:, 0]  # rising zero crossings of L1 (its harmonics keep one per cycle)
    idx = np.flatnonzero((x[:-1] < 0) & (x[1:] >= 0))
    t = (idx + x[idx] / (x[idx] - x[idx + 1])) / FS  # the step scales, the times stay
    f, mid = 1.0 / np.diff(t), 0.5 * (t[1:] + t[:-1])
    assert f[np.abs(mid - 1.5) < 0.1].mean() == pytest.approx(50.05, abs=0.003)
    assert f[np.abs(mid - 4.5) < 0.1].mean() == pytest.approx(49.95, abs=0.003)
    assert (demo[2]["frequency"]["min"], demo[2]["frequency"]["max"]) == (49.95, 50.05)


def test_expected_rvc_events_and_variants(demo):
    assert demo[2]["rvc_events"] == 1
    # Held long enough to settle (>= 101 half cycles): drop and recovery apart.
    assert demo_signal(seconds=8.0, step_cycles=60)[2]["rvc_events"] == 2
    short = demo_signal(seconds=1.5)[2]  # too short for the step: no step, no event
    assert short["step"] is None and short["rvc_events"] == 0
    info = demo_signal(seconds=3.0, frequency=60.0)[2]
    assert info["u_interharmonic"]["frequency"] == 210.0
    assert info["frequency"]["min"] == pytest.approx(59.95)
    assert info["step"]["duration"] == pytest.approx(50 / 60, abs=0.002)


@pytest.mark.parametrize("kwargs, message", [
    ({"seconds": 0}, "seconds"), ({"seconds": float("nan")}, "seconds"),
    ({"sample_rate": -1}, "sample_rate"), ({"sample_rate": 500.0}, "too low"),
    ({"frequency": 0}, "frequency"), ({"drift": 30.0}, "drift")])
def test_bad_arguments_are_rejected(kwargs, message):
    with pytest.raises(ValueError, match=message):
        demo_signal(**kwargs)
