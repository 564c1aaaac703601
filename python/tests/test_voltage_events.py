"""Dips, swells and interruptions in the events table, and one-cycle values that
start at zero crossings, on synthetic recordings whose answers follow from the
signal: a one-cycle value with a share x of its window at a level a has the rms
U sqrt(1 - (1 - a^2) x) when the edges fall on quarter cycles; values are
stamped at the middle of their window and refreshed every half cycle."""
import math

import numpy as np
import pandas as pd
import pytest

from powergpu.analysis import analyze
from powergpu.voltage_events import EVENT_COLUMNS, estimate_declared_voltage

FS, F0, U = 6400.0, 50.0, 230.0
HALF = 0.5 / F0  # a half cycle, s


def recording(seconds=3.0, phase_deg=0.0, levels=()):
    """Star voltages of 230 V at 50 Hz whose first sample lies at ``phase_deg`` of
    phase 1; ``levels``: (phase index or None for all, t0, t1, level) steps."""
    t = np.arange(int(seconds * FS)) / FS
    scale = np.ones((len(t), 3))
    for phase, t0, t1, level in levels:
        inside = (t >= t0) & (t < t1)
        cols = range(3) if phase is None else [phase]
        for c in cols:
            scale[inside, c] = level
    w = 2 * np.pi * F0 * t[:, None] + math.radians(phase_deg) - 2 * np.pi * np.arange(3) / 3
    return U * math.sqrt(2.0) * np.sin(w) * scale


def voltage_events(res, kind):
    ev = res.events
    return ev[ev["type"] == kind].reset_index(drop=True)


def test_dip_to_70_percent_for_five_cycles_on_one_phase(backend):
    # The dip starts at the peak of phase 1 (t = 1.005 s with the first sample at
    # 0 degrees): the first value below 90 % is the one ending at 1.020 s (x = 3/4),
    # the first back at 92 % the one ending at 1.120 s (x = 1/4): 100 ms.
    res = analyze(recording(levels=[(0, 1.005, 1.105, 0.7)]), sample_rate=FS, grid="star",
                  nominal_voltage=U, backend=backend, harmonics=5)
    dips = voltage_events(res, "dip")
    assert len(dips) == 1 and voltage_events(res, "interruption").empty
    assert voltage_events(res, "swell").empty
    d = dips.iloc[0]
    assert d.phases == "1" and bool(d.ended)
    assert d.duration == pytest.approx(0.100, abs=HALF)
    assert d.t_start == pytest.approx(1.010, abs=1e-4)
    assert d.t_end == pytest.approx(d.t_start + d.duration)
    # Windows wholly inside hold 70 %, to within what the cycle detector's
    # band-pass (10 cycles long) does to the crossings it finds near the steps:
    # windows a little longer or shorter than the true cycle.
    assert d.extreme_v == pytest.approx(0.7 * U, rel=0.005)
    assert d.extreme_pct == pytest.approx(70.0, abs=0.35)
    assert d.reference_voltage == U
    assert res.summary["dip_count"] == 1 and res.summary["declared_voltage"] == U
    assert res.summary["declared_voltage_estimated"] is False


def test_interruption_of_all_phases_and_the_dip_that_holds_it(backend):
    # 0 V on all phases for 10 cycles from a crossing (1.0 .. 1.2 s): the
    # interruption runs from the first value wholly inside (x = 1, below 5 %) to
    # the first half back (x = 1/2: 162 V, above 7 %), 190 ms; the dip from the
    # first value half inside (x = 1/2: 162.6 V < 207 V) to the first wholly
    # back, 210 ms. Without crossings in the gap the values stay anchored.
    res = analyze(recording(levels=[(None, 1.0, 1.2, 0.0)]), sample_rate=FS, grid="star",
                  nominal_voltage=U, backend=backend, harmonics=5)
    cut = voltage_events(res, "interruption")
    assert len(cut) == 1
    c = cut.iloc[0]
    assert c.phases == "1,2,3" and bool(c.ended)
    assert c.duration == pytest.approx(0.190, abs=1e-3)
    assert c.t_start == pytest.approx(1.010, abs=1e-3)
    assert c.extreme_v == pytest.approx(0.0, abs=1e-3) and c.extreme_pct < 1e-3
    dip = voltage_events(res, "dip")
    assert len(dip) == 1 and dip.iloc[0].phases == "1,2,3"
    assert dip.iloc[0].duration == pytest.approx(0.210, abs=1e-3)
    assert res.summary["interruption_count"] == 1 and res.summary["dip_count"] == 1


def test_swell_to_120_percent_on_two_phases_with_the_declared_voltage_estimated(backend):
    # No nominal voltage: the declared voltage is the median one-cycle rms of the
    # first 50 cycles' phases, 230 V, which the 10 cycles of the swell cannot move.
    res = analyze(recording(levels=[(1, 1.5, 1.7, 1.2), (2, 1.5, 1.7, 1.2)]), sample_rate=FS,
                  grid="star", backend=backend, harmonics=5)
    assert res.summary["declared_voltage"] == pytest.approx(U, rel=1e-4)
    assert res.summary["declared_voltage_estimated"] is True
    swells = voltage_events(res, "swell")
    assert len(swells) == 1 and voltage_events(res, "dip").empty
    s = swells.iloc[0]
    assert s.phases == "2,3"
    # Phase 1, the reference, has no step: its crossings are exact. The swell
    # starts on a crossing, so values have x = 1/2 or whole shares in it: above
    # 110 % from x = 1/2 (230 sqrt(1.22) V), back at 108 % only with x = 0, half
    # a cycle after the swell's end: 210 ms.
    assert s.extreme_v == pytest.approx(1.2 * U, abs=0.01)
    assert s.extreme_pct == pytest.approx(120.0, abs=0.005)
    assert s.t_start == pytest.approx(1.500, abs=1e-4)
    assert s.duration == pytest.approx(0.210, abs=1e-4)


def test_dip_in_progress_at_the_end_is_listed_not_ended(backend):
    res = analyze(recording(seconds=2.0, levels=[(2, 1.5, 3.0, 0.5)]), sample_rate=FS,
                  grid="star", nominal_voltage=U, backend=backend, harmonics=5)
    d = voltage_events(res, "dip")
    assert len(d) == 1 and not bool(d.iloc[0].ended) and np.isnan(d.iloc[0].t_end)
    assert d.iloc[0].phases == "3" and d.iloc[0].extreme_pct == pytest.approx(50.0, abs=0.02)


def _crossing_offsets(t_end, phase_deg):
    """Distance of each time from the nearest zero crossing of phase 1, in half cycles."""
    x = (2 * F0 * np.asarray(t_end)) + phase_deg / 180.0
    return np.abs(x - np.round(x))


@pytest.mark.parametrize("phase_deg", [37.0, 200.0])
def test_half_cycle_values_commence_at_zero_crossings(backend, phase_deg):
    # The first sample lies at an arbitrary phase; every valid one-cycle value
    # starts and ends at a zero crossing of the reference (its window is a whole
    # cycle), also after 206 ms without any crossing (no whole number of cycles).
    gap = (None, 1.503, 1.709, 0.0)
    res = analyze(recording(phase_deg=phase_deg, levels=[gap]), sample_rate=FS, grid="star",
                  nominal_voltage=U, backend=backend, harmonics=5)
    h = res.half_cycles
    # The cycle detector's band-pass filter spans 10 cycles: within 5 cycles
    # of a step its crossings move (they are flagged by the events there).
    steady = h.valid & ((h.t_end < gap[1] - 0.1) | (h.t_end > gap[2] + 0.1))
    ok = h[steady]
    assert len(ok) > 200
    # a tenth of a sample at 6400 Hz is 0.0016 half cycles
    assert _crossing_offsets(ok.t_end, phase_deg).max() < 0.002
    after = ok[ok.t_end > gap[2]]
    assert len(after) > 50 and _crossing_offsets(after.t_end, phase_deg).max() < 0.002
    # and the values themselves are those of whole cycles
    np.testing.assert_allclose(after.u1_rms, U, rtol=2e-4)


def test_declared_voltage_estimate_is_the_median_one_cycle_rms():
    # 100 cycles of 128 samples: one phase at 100 V and a dip to 50 V on another
    # for 20 cycles leave the median at 230 V; NaN samples are left out.
    x = recording(seconds=2.0, levels=[(1, 0.0, 2.0, 100.0 / U), (0, 0.5, 0.9, 0.5)])
    assert estimate_declared_voltage(x, FS / F0) == pytest.approx(U, rel=1e-9)
    x[::3, 2] = np.nan  # the rms of the samples left is that of the sine to 0.2 %
    assert estimate_declared_voltage(x, FS / F0) == pytest.approx(U, rel=2e-3)
    assert estimate_declared_voltage(np.zeros((500, 3)), FS / F0) is None
    assert estimate_declared_voltage(recording(seconds=0.005), FS / F0) > 0  # under a cycle


def test_events_csv_lists_every_kind_in_start_order(tmp_path):
    from powergpu.summary import write_outputs

    res = analyze(recording(levels=[(0, 1.005, 1.105, 0.7), (1, 2.0, 2.2, 1.2)]),
                  sample_rate=FS, grid="star", nominal_voltage=U, backend="cpu", harmonics=5)
    write_outputs(res, tmp_path, tables=["events"])
    ev = pd.read_csv(tmp_path / "events.csv", dtype={"phases": str})
    assert list(ev.columns) == EVENT_COLUMNS
    kinds = ev[ev["type"] != "rvc"]
    assert list(kinds["type"]) == ["dip", "swell"] and list(kinds["phases"]) == ["1", "2"]
    assert (np.diff(ev["t_start"]) >= 0).all()


def test_module_settings_are_plain_stores_checked_and_read_at_reset(backend):
    from powergpu import Module
    from powergpu.errors import PowerError

    with Module(backend) as m:
        m.configure(sample_rate=6400.0, buffer_length=12800, grid="star",
                    period_values_enabled=True, voltage_events_enabled=True,
                    voltage_event_declared_voltage=400.0, voltage_dip_threshold_in_percent=85.0,
                    voltage_event_sliding_reference_enabled=True)
        assert (m.voltage_events_enabled, m.voltage_event_declared_voltage,
                m.voltage_dip_threshold_in_percent, m.voltage_swell_threshold_in_percent,
                m.voltage_interruption_threshold_in_percent,
                m.voltage_event_hysteresis_in_percent,
                m.voltage_event_sliding_reference_enabled) == (True, 400.0, 85.0, 110.0, 5.0,
                                                                2.0, True)
        with pytest.raises(PowerError, match="getVoltageEvents.*reset"):
            m.voltage_events()  # enabled, but not at the last reset
        with pytest.raises(PowerError, match="setVoltageEventDeclaredVoltage"):
            m.voltage_event_declared_voltage = -1.0
        assert m.voltage_event_declared_voltage == 400.0
        m.reset(0)
        assert len(m.voltage_events()) == 0 and len(m.voltage_events_in_progress()) == 0


@pytest.mark.parametrize("nominal", [U, None])
def test_samples_held_until_the_first_crossing_give_the_same_tables_in_any_chunks(backend,
                                                                                   nominal):
    # Chunks of 97 samples: the first crossing is known only after several of
    # them (the band-pass looks 5 cycles ahead), and without a nominal voltage
    # the first 50 cycles give the declared voltage, so they wait before the
    # module starts; the tables are those of one chunk.
    x = recording(seconds=2.0, phase_deg=123.0, levels=[(0, 1.2, 1.3, 0.6)])
    whole = analyze(x, sample_rate=FS, grid="star", nominal_voltage=nominal, backend=backend,
                    harmonics=5)
    small = analyze(x, sample_rate=FS, grid="star", nominal_voltage=nominal, backend=backend,
                    harmonics=5, chunk_samples=97)
    assert small.summary == whole.summary
    pd.testing.assert_frame_equal(small.half_cycles, whole.half_cycles)
    pd.testing.assert_frame_equal(small.events, whole.events)
    pd.testing.assert_frame_equal(small.windows, whole.windows)
    assert len(voltage_events(whole, "dip")) == 1
    # nothing before the first crossing (123 degrees in: 0.0157 s) is in a value
    first = whole.half_cycles.t_end.iloc[0] - 1.0 / F0
    assert first == pytest.approx((360.0 - 123.0) / 360.0 / F0, abs=1.0 / FS)


def test_rvc_rows_name_the_phases_that_changed(backend):
    # Phase 2 steps to 92 %: a rapid voltage change on that phase alone, and no
    # dip (92 % is above the 90 % threshold). The step comes after a second of
    # steady values, without which no change is reported.
    res = analyze(recording(seconds=4.0, levels=[(1, 1.5, 9.0, 0.92)]), sample_rate=FS,
                  grid="star", nominal_voltage=U, backend=backend, harmonics=5)
    assert list(res.events["type"]) == ["rvc"]
    e = res.events.iloc[0]
    assert e.phases == "2" and bool(e.ended)
    assert e.delta_u_max == pytest.approx(0.08 * U, abs=0.3)
    assert np.isnan(e.extreme_v) and np.isnan(e.extreme_pct)
