"""The demo signal matches the truth it reports, checked from the samples
with plain numpy (no analysis library involved)."""
import math

import numpy as np
import pytest

from powergpu.demo import demo_signal

FS = 10000.0


@pytest.fixture(scope="module")
def demo():
    return demo_signal()


def _phasor(x, theta):
    """Fundamental phasor (rms, sine-phase angle) of x over whole cycles of
    the phase law theta: projection on sin and cos of theta."""
    s = 2.0 * np.mean(x * np.sin(theta))
    c = 2.0 * np.mean(x * np.cos(theta))
    return complex(s, c) / math.sqrt(2.0)


def _theta(info, n):
    f = info["frequency"]
    t = np.arange(n) / info["sample_rate"]
    cycles = f["f0"] * t + f["drift"] * f["period"] / (2 * math.pi) * (
        1 - np.cos(2 * math.pi * t / f["period"]))
    return 2 * math.pi * cycles, cycles


def test_shapes_and_types(demo):
    v, i, info = demo
    assert v.shape == (60000, 3) and i.shape == (60000, 3)
    assert v.dtype == np.float64 and i.dtype == np.float64
    assert info["n_samples"] == 60000 and info["sample_rate"] == FS


def test_rms_before_the_step_matches_the_truth(demo):
    v, i, info = demo
    # From t = 0 (a cycle boundary) to the step start (another one): whole cycles.
    n0 = info["step"]["start_sample"]
    rms = np.sqrt(np.mean(v[:n0] ** 2, axis=0))
    np.testing.assert_allclose(rms, info["u_rms"], rtol=2e-4)
    irms = np.sqrt(np.mean(i[:n0] ** 2, axis=0))
    np.testing.assert_allclose(irms, info["i_rms"], rtol=2e-4)
    # Phase 1 carries the negative sequence in phase: the highest voltage.
    assert info["u_rms"][0] > info["u_rms"][1] == pytest.approx(info["u_rms"][2])


def test_fundamentals_and_unbalance(demo):
    v, _, info = demo
    n0 = info["step"]["start_sample"]
    theta, _ = _theta(info, n0)
    ph = np.array([_phasor(v[:n0, k], theta) for k in range(3)])
    np.testing.assert_allclose(np.abs(ph), info["u_h1"], rtol=5e-4)
    a = np.exp(2j * math.pi / 3)
    u0 = (ph[0] + ph[1] + ph[2]) / 3
    u1 = (ph[0] + a * ph[1] + a * a * ph[2]) / 3
    u2 = (ph[0] + a * a * ph[1] + a * ph[2]) / 3
    assert abs(u1) == pytest.approx(230.0, rel=5e-4)
    assert 100 * abs(u2) / abs(u1) == pytest.approx(3.0, abs=0.01)
    assert 100 * abs(u0) / abs(u1) < 0.01
    # THD of each phase from the harmonic projections.
    for k in range(3):
        h = [abs(_phasor(v[:n0, k], order * theta))
             for order in (5, 7)]
        assert h[0] == pytest.approx(9.2, rel=2e-3)
        assert h[1] == pytest.approx(5.75, rel=2e-3)
        thd = 100 * math.hypot(*h) / abs(ph[k])
        assert thd == pytest.approx(info["u_thd"][k], rel=3e-3)


def test_currents_lag_by_30_degrees_and_power(demo):
    v, i, info = demo
    n0 = info["step"]["start_sample"]
    theta, _ = _theta(info, n0)
    for k in range(3):
        pu = _phasor(v[:n0, k], theta)
        pi = _phasor(i[:n0, k], theta)
        lag = math.degrees(np.angle(pu) - np.angle(pi))
        assert (lag + 180) % 360 - 180 == pytest.approx(30.0, abs=0.05)
        assert abs(pi) == pytest.approx(10.0, rel=5e-4)
        p = np.mean(v[:n0, k] * i[:n0, k])
        assert p == pytest.approx(info["p"][k], rel=1e-3)


def test_step_starts_and_ends_on_cycle_boundaries(demo):
    v, _, info = demo
    step = info["step"]
    assert 1.95 < step["start"] < 2.05
    _, cycles = _theta(info, 60000)
    t = np.arange(60000) / FS
    c_at = np.interp([step["start"], step["end"]], t, cycles)
    np.testing.assert_allclose(c_at, np.round(c_at), atol=1e-3)
    assert c_at[1] - c_at[0] == pytest.approx(50.0, abs=1e-3)
    assert step["duration"] == pytest.approx(1.0, abs=0.002)
    # The step scales exactly the samples inside it by 0.92, nothing else.
    plain = demo_signal(step_depth=0.0)[0]
    inside = np.zeros((60000, 1), dtype=bool)
    inside[step["start_sample"]:step["end_sample"]] = True
    np.testing.assert_allclose(np.where(inside, v, 0.0), np.where(inside, 0.92 * plain, 0.0),
                               rtol=1e-12, atol=1e-9)
    np.testing.assert_array_equal(np.where(inside, 0.0, v), np.where(inside, 0.0, plain))
    assert step["start_sample"] == math.ceil(step["start"] * FS - 1e-9)


def test_frequency_drifts_by_five_hundredths(demo):
    v, _, info = demo
    # Rising zero crossings of L1 (its harmonics keep one crossing per cycle).
    x = v[:, 0]
    idx = np.flatnonzero((x[:-1] < 0) & (x[1:] >= 0))
    t = (idx + x[idx] / (x[idx] - x[idx + 1])) / FS
    # The step changes the crossings' level only by a factor: times stay.
    periods = np.diff(t)
    mid = 0.5 * (t[1:] + t[:-1])
    f = 1.0 / periods
    near_max = f[np.abs(mid - 1.5) < 0.1]
    near_min = f[np.abs(mid - 4.5) < 0.1]
    assert near_max.mean() == pytest.approx(50.05, abs=0.003)
    assert near_min.mean() == pytest.approx(49.95, abs=0.003)
    assert info["frequency"]["min"] == 49.95 and info["frequency"]["max"] == 50.05


def test_expected_rvc_events():
    assert demo_signal()[2]["rvc_events"] == 1
    # Held long enough to settle (>= 101 half cycles): drop and recovery apart.
    assert demo_signal(seconds=8.0, step_cycles=60)[2]["rvc_events"] == 2
    # Too short for the step: no step, no event.
    short = demo_signal(seconds=1.5)[2]
    assert short["step"] is None and short["rvc_events"] == 0


def test_sixty_hertz_variant():
    v, _, info = demo_signal(seconds=3.0, frequency=60.0)
    assert info["u_interharmonic"]["frequency"] == 210.0
    assert info["frequency"]["min"] == pytest.approx(59.95)
    step = info["step"]
    assert step is not None and step["duration"] == pytest.approx(50 / 60, abs=0.002)


@pytest.mark.parametrize("kwargs, message", [
    ({"seconds": 0}, "seconds"),
    ({"seconds": float("nan")}, "seconds"),
    ({"sample_rate": -1}, "sample_rate"),
    ({"sample_rate": 500.0}, "too low"),
    ({"frequency": 0}, "frequency"),
    ({"drift": 30.0}, "drift"),
])
def test_bad_arguments_are_rejected(kwargs, message):
    with pytest.raises(ValueError, match=message):
        demo_signal(**kwargs)
