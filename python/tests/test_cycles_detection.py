"""Cycle detection against signals whose zero crossings are known exactly."""
import numpy as np
import pytest

from powergpu.cycles import (KIND_FILLER, KIND_MEASURED, KIND_PARTIAL, CycleDetector, Cycles,
                             detect_cycles)

FS = 10000.0
R = 1000


def crossing_times_linear(f0, rate, count):
    """Times where phase(t) = f0 t + rate t^2 / 2 equals 0, 1, 2, ... cycles."""
    k = np.arange(count, dtype=np.float64)
    return (-f0 + np.sqrt(f0 * f0 + 2.0 * rate * k)) / rate


def crossing_times(phase, dphase, t_end):
    """Roots of phase(t) = k by Newton, for every whole k up to t_end."""
    k = np.arange(np.floor(phase(t_end)) + 1)
    t = k / dphase(0.0)
    for _ in range(50):
        t = t - (phase(t) - k) / dphase(t)
    return t


def check_against_truth(c, truth, tol_hz):
    """Every valid measured cycle's frequency equals 1 / (true cycle duration)."""
    start = c.start.astype(np.float64) / R / FS
    measured = (c.kind == KIND_MEASURED) & c.valid
    assert measured.sum() > 0
    idx = np.searchsorted(truth, start[measured])
    idx = np.where(np.abs(truth[np.minimum(idx, len(truth) - 1)] - start[measured])
                   < np.abs(truth[idx - 1] - start[measured]), idx, idx - 1)
    true_f = 1.0 / (truth[idx + 1] - truth[idx])
    err = np.abs(c.frequency[measured] - true_f)
    assert err.max() < tol_hz, f"largest frequency error {err.max():.2e} Hz"
    # the starts sit on the true crossings (1/1000 sample resolution)
    assert np.abs(start[measured] - truth[idx]).max() * FS < 1e-2
    return measured.sum()


def test_linear_frequency_drift_is_tracked_to_one_millihertz():
    # 49.5 Hz rising to 50.5 Hz in 10 s, with 5 % 5th and 3 % 7th harmonics
    # and white noise of 0.01 % of the amplitude (about the quantisation noise
    # of a 14-bit recording; one-cycle values cannot beat the noise much below).
    rng = np.random.default_rng(1)
    f0, rate, T = 49.5, 0.1, 10.0
    t = np.arange(int(T * FS)) / FS
    ph = 2 * np.pi * (f0 * t + 0.5 * rate * t * t)
    x = 325.0 * (np.sin(ph) + 0.05 * np.sin(5 * ph) + 0.03 * np.sin(7 * ph))
    x += rng.normal(0.0, 0.0325, len(x))
    c = detect_cycles(x, FS, 50.0)
    n = check_against_truth(c, crossing_times_linear(f0, rate, 600), tol_hz=1e-3)
    assert n >= 480  # all but the filter's settling cycles at both ends


def test_sinusoidal_frequency_swing_is_tracked_to_one_millihertz():
    # f(t) = 50 + 0.3 sin(2 pi 0.5 t): phase = 50 t - 0.3 cos(pi t) / pi + 0.3 / pi
    phase = lambda t: 50.0 * t - 0.3 * (np.cos(np.pi * t) - 1.0) / np.pi
    dphase = lambda t: 50.0 + 0.3 * np.sin(np.pi * t)
    t = np.arange(int(8.0 * FS)) / FS
    x = 230.0 * np.sqrt(2) * np.sin(2 * np.pi * phase(t))
    c = detect_cycles(x, FS, 50.0)
    check_against_truth(c, crossing_times(phase, dphase, 8.0), tol_hz=1e-3)


def test_60_hz():
    t = np.arange(int(3.0 * FS)) / FS
    x = np.sin(2 * np.pi * 59.95 * t + 0.3)
    c = detect_cycles(x, FS, 60.0)
    ok = (c.kind == KIND_MEASURED) & c.valid
    np.testing.assert_allclose(c.frequency[ok], 59.95, atol=1e-4)
    np.testing.assert_allclose(c.length[ok], FS / 59.95 * R, atol=2)


def test_entries_cover_every_sample_contiguously():
    t = np.arange(30011) / FS
    x = np.sin(2 * np.pi * 50.2 * t + 1.0)
    c = CycleDetector(FS, 50.0, start_index=12345)
    parts = [c.process(x[k:k + 4096]) for k in range(0, len(x), 4096)] + [c.flush()]
    c = Cycles.concatenate(parts)
    assert c.start[0] == 12345 * R
    np.testing.assert_array_equal(c.start[1:], c.end()[:-1])
    assert c.end()[-1] == (12345 + len(x)) * R
    assert c.kind[0] == KIND_PARTIAL and c.kind[-1] == KIND_PARTIAL
    assert not c.valid[c.kind != KIND_MEASURED].any()
    assert c.length.dtype == np.int32 and c.start.dtype == np.uint64


def test_chunking_does_not_change_the_result():
    rng = np.random.default_rng(7)
    t = np.arange(int(4.0 * FS)) / FS
    x = np.sin(2 * np.pi * (50.0 * t + 0.05 * t * t)) + rng.normal(0, 1e-3, len(t))
    a = detect_cycles(x, FS, 50.0, chunk_samples=1 << 20)
    b = detect_cycles(x, FS, 50.0, chunk_samples=997)
    np.testing.assert_array_equal(a.start, b.start)
    np.testing.assert_array_equal(a.length, b.length)
    np.testing.assert_array_equal(a.valid, b.valid)
    np.testing.assert_allclose(a.frequency, b.frequency, rtol=1e-12)


def test_interruption_is_bridged_by_invalid_fillers():
    # 1 s without voltage: no crossings, fillers of nominal length keep the
    # entries going; cycles after the return are valid again.
    t = np.arange(int(5.0 * FS)) / FS
    x = np.sin(2 * np.pi * 50.0 * t)
    x[(t >= 2.0) & (t < 3.0)] = 0.0
    det = CycleDetector(FS, 50.0, nominal_rms=np.sqrt(0.5))
    parts = []
    gap_seen_during_stream = False
    for k in range(0, len(x), 2000):
        part = det.process(x[k:k + 2000])
        parts.append(part)
        if (k + 2000) / FS > 2.8 and (part.kind == KIND_FILLER).any():
            gap_seen_during_stream = True
    parts.append(det.flush())
    c = Cycles.concatenate(parts)
    start = c.start / R / FS
    fill = c.kind == KIND_FILLER
    assert gap_seen_during_stream  # fillers come while the gap lasts, not only after it
    assert fill.sum() >= 45 and not c.valid[fill].any()
    assert (c.length <= 1.5 * FS / 50.0 * R).all()
    assert c.valid[(start > 3.2) & (start < 4.7)].all()
    np.testing.assert_array_equal(c.start[1:], c.end()[:-1])


def test_low_amplitude_cycles_are_invalid():
    t = np.arange(int(4.0 * FS)) / FS
    x = np.sin(2 * np.pi * 50.0 * t)
    x[(t >= 2.0) & (t < 2.5)] *= 0.05  # 5 % residual voltage
    c = detect_cycles(x, FS, 50.0, nominal_rms=np.sqrt(0.5))
    start = c.start / R / FS
    inside = (start >= 2.02) & (start < 2.46)
    assert inside.sum() >= 20 and not c.valid[inside].any()
    assert c.valid[(start > 1.0) & (start < 1.9)].all()
    # learnt level (no nominal given): the same verdicts
    d = detect_cycles(x, FS, 50.0)
    np.testing.assert_array_equal(c.valid, d.valid)


def test_bounded_state_while_streaming():
    det = CycleDetector(FS, 50.0)
    t = np.arange(5000) / FS
    for k in range(200):
        det.process(np.sin(2 * np.pi * 50.0 * (t + k * 0.5)))
    assert len(det._buf) <= 3
    assert len(det._conv.history) == len(det.taps) - 1
    assert det.samples_consumed == 200 * 5000


def test_parameter_checks():
    with pytest.raises(ValueError):
        CycleDetector(FS, 50.0, positions_per_sample=100)
    with pytest.raises(ValueError):
        CycleDetector(150.0, 50.0)
    det = CycleDetector(FS, 50.0)
    det.flush()
    with pytest.raises(RuntimeError):
        det.process(np.zeros(10))
