"""Cycle detection against signals whose zero crossings are known exactly."""
import numpy as np
import pytest

from conftest import FS
from powergpu.cycles import (KIND_FILLER, KIND_MEASURED, KIND_PARTIAL, CycleDetector, Cycles,
                             detect_cycles)

R = 1000  # positions per sample


def crossing_times(phase, dphase, t_end):
    """Roots of phase(t) = k by Newton, for every whole k up to t_end."""
    k = np.arange(np.floor(phase(t_end)) + 1)
    t = k / dphase(0.0)
    for _ in range(50):
        t = t - (phase(t) - k) / dphase(t)
    return t


@pytest.mark.parametrize("phase,dphase,seconds,nominal,noise,tol_hz,count", [
    # 49.5 Hz rising to 50.5 Hz in 10 s with 5 % 5th and 3 % 7th harmonics and white noise
    # of 0.01 % of the amplitude (about the quantisation noise of a 14-bit recording)
    (lambda t: 49.5 * t + 0.05 * t * t, lambda t: 49.5 + 0.1 * t, 10.0, 50.0, 0.0325, 1e-3, 480),
    # f(t) = 50 + 0.3 sin(pi t)
    (lambda t: 50.0 * t - 0.3 * (np.cos(np.pi * t) - 1.0) / np.pi,
     lambda t: 50.0 + 0.3 * np.sin(np.pi * t), 8.0, 50.0, 0.0, 1e-3, 380),
    (lambda t: 59.95 * t + 0.3 / (2 * np.pi), lambda t: 59.95 + 0 * t, 3.0, 60.0, 0.0, 1e-4, 165)],
    ids=["linear-drift", "sinusoidal-swing", "60Hz"])
def test_frequency_of_every_cycle_is_tracked(phase, dphase, seconds, nominal, noise, tol_hz,
                                             count):
    t = np.arange(int(seconds * FS)) / FS
    ph = 2 * np.pi * phase(t)
    x = 325.0 * (np.sin(ph) + (0.05 * np.sin(5 * ph) + 0.03 * np.sin(7 * ph) if noise else 0))
    x += np.random.default_rng(1).normal(0.0, noise, len(x)) if noise else 0.0
    c = detect_cycles(x, FS, nominal)
    truth = crossing_times(phase, dphase, seconds)
    start = c.start.astype(np.float64) / R / FS
    measured = (c.kind == KIND_MEASURED) & c.valid
    assert measured.sum() >= count  # all but the filter's settling cycles at both ends
    idx = np.abs(truth[None, :] - start[measured][:, None]).argmin(axis=1)
    err = np.abs(c.frequency[measured] - 1.0 / (truth[idx + 1] - truth[idx]))
    assert err.max() < tol_hz, f"largest frequency error {err.max():.2e} Hz"
    # the starts sit on the true crossings (1/1000 sample resolution)
    assert np.abs(start[measured] - truth[idx]).max() * FS < 1e-2


def test_entries_cover_every_sample_whatever_the_chunks():
    t = np.arange(30011) / FS
    x = np.sin(2 * np.pi * (50.2 * t + 0.05 * t * t) + 1.0)
    x += np.random.default_rng(7).normal(0, 1e-3, len(t))
    det = CycleDetector(FS, 50.0, start_index=12345)
    c = Cycles.concatenate([det.process(x[k:k + 4096]) for k in range(0, len(x), 4096)]
                           + [det.flush()])
    assert c.start[0] == 12345 * R and c.end()[-1] == (12345 + len(x)) * R
    np.testing.assert_array_equal(c.start[1:], c.end()[:-1])
    assert c.kind[0] == KIND_PARTIAL and c.kind[-1] == KIND_PARTIAL
    assert not c.valid[c.kind != KIND_MEASURED].any()
    assert c.length.dtype == np.int32 and c.start.dtype == np.uint64
    a = detect_cycles(x, FS, 50.0, chunk_samples=1 << 20)
    b = detect_cycles(x, FS, 50.0, chunk_samples=997)
    for name in ("start", "length", "valid", "kind"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)
    np.testing.assert_allclose(a.frequency, b.frequency, rtol=1e-12)


def test_samples_that_are_not_finite_count_as_zero_and_a_column_is_read_in_place():
    # the analysis hands the detector the first column of its blocks (a strided view)
    t = np.arange(20000) / FS
    x = np.sin(2 * np.pi * 50.0 * t)
    x[7000:7010] = np.nan
    x[7010] = np.inf
    x[12000] = -np.inf
    block = np.stack([x, -x], axis=1)
    det = CycleDetector(FS, 50.0)
    got = Cycles.concatenate([det.process(block[k:k + 4096, 0]) for k in range(0, len(x), 4096)]
                             + [det.flush()])
    want = detect_cycles(np.where(np.isfinite(x), x, 0.0), FS, 50.0, chunk_samples=4096)
    assert np.isfinite(got.frequency).all() and got.valid.sum() > 0.8 * len(t) / FS * 50
    for name in Cycles._fields:
        np.testing.assert_array_equal(getattr(got, name), getattr(want, name), err_msg=name)


def test_interruption_is_bridged_by_invalid_fillers():
    # 1 s without voltage: no crossings; fillers of nominal length keep the entries going
    # while the gap lasts, and the cycles after the return are valid again.
    t = np.arange(int(5 * FS)) / FS
    x = np.sin(2 * np.pi * 50.0 * t)
    x[(t >= 2.0) & (t < 3.0)] = 0.0
    det = CycleDetector(FS, 50.0, nominal_rms=np.sqrt(0.5))
    parts = [det.process(x[k:k + 2000]) for k in range(0, len(x), 2000)]
    assert (parts[14].kind == KIND_FILLER).any()  # samples up to 3.0 s: during the gap
    c = Cycles.concatenate(parts + [det.flush()])
    start, fill = c.start / R / FS, c.kind == KIND_FILLER
    assert fill.sum() >= 45 and not c.valid[fill].any()
    assert (c.length <= 1.5 * FS / 50.0 * R).all()
    assert c.valid[(start > 3.2) & (start < 4.7)].all()
    np.testing.assert_array_equal(c.start[1:], c.end()[:-1])


def test_low_amplitude_cycles_are_invalid():
    t = np.arange(int(4 * FS)) / FS
    x = np.sin(2 * np.pi * 50.0 * t)
    x[(t >= 2.0) & (t < 2.5)] *= 0.05  # 5 % residual voltage
    c = detect_cycles(x, FS, 50.0, nominal_rms=np.sqrt(0.5))
    start = c.start / R / FS
    inside = (start >= 2.02) & (start < 2.46)
    assert inside.sum() >= 20 and not c.valid[inside].any()
    assert c.valid[(start > 1.0) & (start < 1.9)].all()
    np.testing.assert_array_equal(c.valid, detect_cycles(x, FS, 50.0).valid)  # learnt level


def test_parameter_checks_and_no_samples_after_the_flush():
    det = CycleDetector(FS, 50.0)
    det.process(np.sin(2 * np.pi * 50.0 * np.arange(5000) / FS))
    assert det.samples_consumed == 5000
    det.flush()
    with pytest.raises(RuntimeError):
        det.process(np.zeros(10))
    for args, kw, field in (((FS, 50.0), {"positions_per_sample": 100}, "positionsPerSample"),
                            ((150.0, 50.0), {}, "sampleRate"),
                            ((FS, 50.0), {"max_gap_cycles": 1.0}, "maxGapCycles")):
        with pytest.raises(ValueError, match=field):
            CycleDetector(*args, **kw)
    # the library's filter: 10 cycles of 200 samples, symmetric (linear phase),
    # unit gain at 50 Hz, the third harmonic and DC below -70 dB
    taps = det.taps
    assert len(taps) == 2 * det.delay + 1 == 2001
    np.testing.assert_array_equal(taps, taps[::-1])
    n = np.arange(len(taps)) - det.delay

    def gain(f):
        return abs(np.sum(taps * np.exp(-2j * np.pi * f / FS * n)))

    assert gain(50.0) == pytest.approx(1.0, abs=1e-12)
    assert gain(150.0) < 10 ** (-70 / 20) and gain(0.0) < 10 ** (-70 / 20)
