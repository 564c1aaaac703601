"""A rapid voltage change: a -8 % step held for 1 s.

Hand calculation (50 Hz, one-cycle values every half cycle T/2 = 10 ms,
steady state = 100 values, threshold 2 %, hysteresis 50 % -> 1 % during an
event).  The step starts at t0 = 1.5 s, on a cycle boundary, and ends at
t1 = 2.5 s.  A one-cycle value that holds a share x of the lowered voltage
has rms 230 sqrt(1 - x (1 - 0.92^2)).
- Start: the value leaves the +-2 % band (below about 225.4 V) once
  x > 0.258; the first such value is the one ending at t0 + T/2 (x = 0.5):
  t_start = 1.51 s.
- End: after the return, the new steady window of 100 values must lie
  within +-1 % (above about 227.7 V), i.e. x < 0.13; its first value is the
  one ending at t1 + T (x = 0): 2.52 s.  The event lasts from the value that
  broke the steady state to the first value of the new one: 1.01 s.
- Largest deviation: 230 - 0.92 x 230 = 18.4 V (8 %); the levels before and
  after are equal, so delta U_ss = 0.
"""
import numpy as np
import pytest

from powergpu import analyze

FS = 10000.0


def stepped(duration=5.0, depth=0.08, t0=1.5, t1=2.5, f=50.0, phases=3):
    t = np.arange(int(duration * FS)) / FS
    env = np.where((t >= t0) & (t < t1), 1.0 - depth, 1.0)
    return np.stack([230 * np.sqrt(2) * env * np.sin(2 * np.pi * f * t - 2 * np.pi * p / 3)
                     for p in range(phases)], axis=1)


@pytest.mark.parametrize("nominal", [230.0, None])
def test_step_of_minus_8_percent_held_1_s(backend, nominal):
    res = analyze(stepped(), sample_rate=FS, grid="star", nominal_voltage=nominal,
                  backend=backend)
    ev = res.events
    assert len(ev) == 1
    e = ev.iloc[0]
    half = 0.01
    assert bool(e.ended)
    assert e.duration == pytest.approx(1.01, abs=half)
    assert e.t_start == pytest.approx(1.51, abs=half)
    assert e.t_end == pytest.approx(2.52, abs=half)
    assert e.delta_u_max == pytest.approx(18.4, abs=0.2)
    assert e.delta_u_max_pct == pytest.approx(8.0, abs=0.1)
    assert e.delta_u_ss == pytest.approx(0.0, abs=0.2)
    assert e.delta_u_ss_pct == pytest.approx(0.0, abs=0.1)
    assert e.reference_voltage == pytest.approx(230.0, rel=1e-3)
    assert res.summary["rvc_event_count"] == 1

    h = res.half_cycles
    inside = h[(h.t_end > 1.53) & (h.t_end < 2.49)]
    # near a step the detected cycle boundaries move by a few microseconds
    # (the band-pass sees the amplitude change), worth up to about 0.05 V
    np.testing.assert_allclose(inside.u1_rms, 0.92 * 230.0, rtol=5e-4)
    assert (inside.rvc_state == 1).all() and (inside.rvc1_state == 1).all()
    before = h[(h.t_end > 0.2) & (h.t_end < 1.49)]
    np.testing.assert_allclose(before.u_rms_mean, 230.0, rtol=5e-4)
    assert (before.rvc_state == 0).all()
    ended = h[h.rvc_event_ended]
    assert len(ended) == 1  # reported once, 100 values after the new steady state began
    assert ended.t_end.iloc[0] == pytest.approx(2.52 + 0.99, abs=half)


def test_step_within_the_threshold_is_no_event(backend):
    res = analyze(stepped(depth=0.015), sample_rate=FS, grid="star", backend=backend)
    assert len(res.events) == 0
    assert (res.half_cycles.rvc_state == 0).all()


def test_single_phase_event_and_threshold_setting(backend):
    u = stepped(depth=0.04, phases=1)
    res = analyze(u, sample_rate=FS, grid="single", backend=backend)
    assert len(res.events) == 1
    assert res.events.duration.iloc[0] == pytest.approx(1.01, abs=0.01)
    # a 5 % threshold ignores the same 4 % step
    quiet = analyze(u, sample_rate=FS, grid="single", rvc_threshold=5.0, backend=backend)
    assert len(quiet.events) == 0


def test_event_still_running_at_the_end(backend):
    # an event ends no earlier than 100 values (1 s) after it began
    res = analyze(stepped(duration=3.0, t0=2.5, t1=10.0), sample_rate=FS, grid="star",
                  backend=backend)
    assert len(res.events) == 1
    e = res.events.iloc[0]
    assert not e.ended and np.isnan(e.duration)
    assert e.t_start == pytest.approx(2.51, abs=0.01)


def test_lasting_step_ends_as_an_event_of_one_value(backend):
    # The voltage settles at once on its new level: the event ends 100 values
    # later and lasts from the value that broke the old steady state to the
    # first value of the new one, half a cycle.
    res = analyze(stepped(duration=3.5, t1=10.0), sample_rate=FS, grid="star", backend=backend)
    assert len(res.events) == 1
    e = res.events.iloc[0]
    assert e.ended
    assert e.duration == pytest.approx(0.01, abs=0.01)
    assert e.delta_u_ss == pytest.approx(18.4, abs=0.2)
    assert e.delta_u_max == pytest.approx(18.4, abs=0.2)
