"""Writing samples through the ring views, windows, harmonics, period values."""
import numpy as np
import pytest

from powergpu import Module

FS = 10000.0
F = 50.0
SQ2 = np.sqrt(2.0)


def three_phase(n, start=0, u=230.0, i=10.0, lag_deg=30.0, h5=0.05, h7=0.03):
    """Star voltages with 5th and 7th harmonics, currents lagging the voltages."""
    t = (np.arange(n) + start) / FS
    cols = []
    for p in range(3):
        w = 2 * np.pi * F * t - 2 * np.pi * p / 3
        cols.append(u * SQ2 * (np.sin(w) + h5 * np.sin(5 * w) + h7 * np.sin(7 * w)))
    for p in range(3):
        w = 2 * np.pi * F * t - 2 * np.pi * p / 3 - np.radians(lag_deg)
        cols.append(i * SQ2 * np.sin(w))
    return np.stack(cols, axis=1)


def star_module(backend, buffer_length, **extra):
    m = Module(backend)
    m.configure(sample_rate=(FS, 1000), buffer_length=buffer_length, grid="star",
                static_frequency=(F, 0.1), highest_requested_harmonic=50, thd_enabled=True,
                symmetrical_components_enabled=True, **extra)
    m.reset(0)
    return m


def window_of(m, first, length):
    m.schedule(first, length, F)
    m.sync()
    r = m.results()
    assert len(r) == 1
    return r[0], Module.harmonics(r, "harmonicsU")[0], Module.harmonics(r, "phasesI")[0]


SCALARS = ("rmsU", "rmsI", "p", "rmsFftU", "h1U", "pFft", "q", "s", "meanAbsU")


def test_write_across_the_ring_end_equals_the_unwrapped_case(backend):
    x = three_phase(2600)
    with star_module(backend, 4000) as plain:
        plain.write(x)
        ref, ref_h, ref_ph = window_of(plain, 600, 2000)
    with star_module(backend, 2500) as ring:
        ring.write(x[:600])
        ring.write(x[600:])  # positions 600..2499, then 0..99
        u0 = ring.ring("u_input", 0)
        i2 = ring.ring("i", 2)
        np.testing.assert_array_equal(u0[600:2500], x[600:2500, 0].astype(np.float32))
        np.testing.assert_array_equal(u0[:100], x[2500:2600, 0].astype(np.float32))
        np.testing.assert_array_equal(i2[:100], x[2500:2600, 5].astype(np.float32))
        got, got_h, got_ph = window_of(ring, 600, 2000)  # the window itself wraps
    for c in range(4):
        for name in SCALARS:
            assert got["channels"][c][name] == pytest.approx(ref["channels"][c][name],
                                                             rel=1e-9, abs=1e-9), (c, name)
    np.testing.assert_allclose(got_h, ref_h, rtol=1e-6, atol=1e-5)
    np.testing.assert_allclose(got_ph, ref_ph, atol=1e-3)
    # and the values are the analytic ones
    assert got["channels"][0]["h1U"] == pytest.approx(230.0, rel=1e-4)
    assert got_h[0, 5] == pytest.approx(11.5, rel=1e-3)
    assert got["channels"][0]["rmsU"] == pytest.approx(230.0 * np.sqrt(1 + 0.05 ** 2 + 0.03 ** 2),
                                                       rel=1e-5)


def test_one_write_longer_than_the_ring_goes_in_pieces(backend):
    x = three_phase(2600)
    with star_module(backend, 4000) as plain:
        plain.write(x)
        ref = window_of(plain, 1700, 900)[0]
    with star_module(backend, 1000) as ring:
        assert ring.write(x) == 2600
        assert ring.samples_written == 2600
        u1 = ring.ring("u_input", 1)
        np.testing.assert_array_equal(u1[np.arange(1600, 2600) % 1000],
                                      x[1600:2600, 1].astype(np.float32))
        got = window_of(ring, 1700, 900)[0]
    for c in range(3):
        assert got["channels"][c]["rmsU"] == pytest.approx(ref["channels"][c]["rmsU"], rel=1e-9)
        assert got["channels"][c]["p"] == pytest.approx(ref["channels"][c]["p"], rel=1e-9)


def test_columns_follow_the_grid_input_order(backend):
    with Module(backend) as m:
        m.configure(sample_rate=FS, buffer_length=100, grid="delta-two-voltages")
        m.reset(0)
        data = np.arange(40, dtype=np.float64).reshape(10, 4)  # U12, U23, I1, I2
        m.write(data)
        np.testing.assert_array_equal(m.ring("u_input", 0)[:10], data[:, 0])
        np.testing.assert_array_equal(m.ring("u_delta", 1)[:10], data[:, 1])
        np.testing.assert_array_equal(m.ring("i", 1)[:10], data[:, 3])
        with pytest.raises(ValueError, match="columns"):
            m.write(np.zeros((5, 3)))


def test_results_in_schedule_order_and_power_values(backend):
    x = three_phase(10000)
    with star_module(backend, 10000) as m:
        m.write(x)
        for k in range(5):
            m.schedule(k * 2000, 2000, F)
        m.sync()
        r = m.results()
    np.testing.assert_array_equal(r["firstSampleIndex"], np.arange(5) * 2000)
    np.testing.assert_allclose(r["time"], (np.arange(5) + 1) * 0.2, rtol=1e-12)
    ch = r["channels"]
    # P = U1 I cos 30, Q = U1 I sin 30 per phase (the current is a pure sine)
    np.testing.assert_allclose(ch[:, 0]["p"], 2300 * np.cos(np.pi / 6), rtol=1e-4)
    np.testing.assert_allclose(ch[:, 1]["q"], 2300 * 0.5, rtol=1e-3)
    np.testing.assert_allclose(ch[:, 3]["p"], 3 * 2300 * np.cos(np.pi / 6), rtol=1e-4)
    np.testing.assert_allclose(ch[:, 0]["thdU"]["thd"], 100 * np.hypot(0.05, 0.03), atol=2e-3)
    np.testing.assert_allclose(r["symmetricalResults"][:, 1]["uMagnitude"], 230.0, rtol=1e-4)


def test_results_in_batches_larger_than_one_fetch(backend):
    x = three_phase(40000)
    with star_module(backend, 200000) as m:  # 110 result slots
        m.write(x)
        for k in range(100):
            m.schedule(k * 400, 400, F)
        m.sync()
        r = m.results()
        assert len(r) == 100
        np.testing.assert_array_equal(r["firstSampleIndex"], np.arange(100) * 400)
        assert len(m.results(5)) == 0


def test_period_values_of_reported_cycles(backend):
    x = three_phase(8000, h5=0.0, h7=0.0)
    with star_module(backend, 8000, period_values_enabled=True, half_period_values_count=2,
                     period_values_overlap_in_percent=50) as m:
        m.write(x)
        cycles = 40
        starts = np.arange(cycles, dtype=np.uint64) * 200 * 1000
        m.schedule_cycles(starts, np.full(cycles, 200_000), np.full(cycles, F),
                          np.ones(cycles, bool))
        assert len(m.period_results()) == 0  # nothing delivered yet
        for k in range(4):
            m.schedule(k * 2000, 2000, F)
        m.sync()
        assert len(m.results()) == 4
        pv = m.period_results()
    # one-cycle windows every half cycle, up to the delivered 8000 samples
    assert pv.shape == (79, 4)
    np.testing.assert_allclose(pv[:, 1]["time"], 0.02 + 0.01 * np.arange(79), atol=1e-9)
    for k in range(1, 4):
        np.testing.assert_allclose(pv[:, k]["rmsU"], 230.0, rtol=1e-5)
        np.testing.assert_allclose(pv[:, k]["h1U"], 230.0, rtol=1e-5)
        np.testing.assert_allclose(pv[:, k]["phi1"], 30.0, atol=1e-3)
        assert pv[:, k]["valid"].all()
    np.testing.assert_allclose(pv[:, 0]["p"], 3 * 2300 * np.cos(np.pi / 6), rtol=1e-5)


def test_harmonic_copies_stay_after_the_slot_is_reused(backend):
    x = three_phase(20000)
    with star_module(backend, 4000) as m:  # few result slots
        m.write(x[:2000])
        m.schedule(0, 2000, F)
        m.sync()
        first = m.results()
        copy = Module.harmonics(first, "harmonicsU")
        for k in range(1, 10):
            m.write(x[2000 * k:2000 * (k + 1)])
            m.schedule(2000 * k, 2000, F)
            m.sync()
            m.results()
    assert copy[0, 0, 5] == pytest.approx(11.5, rel=1e-3)
    assert copy[0, 2, 7] == pytest.approx(6.9, rel=1e-3)
