"""Module: settings, writing through the sample rings, results, and errors carrying the
status and the library's last error message."""
import gc
import math

import numpy as np
import pytest

from conftest import three_phase
from powergpu import (BackendUnavailableError, GpuError, Module, PowerError,
                      TooManyResultsError, _native)
from powergpu.errors import error_for_status
from powergpu.module import BOOL_PROPERTIES, GRID_TYPES, NUMERIC_PROPERTIES, grid_info

F = 50.0
NUMERIC = [  # name, default, values using the full width of each type
    ("half_period_values_count", 2, [1, 65535]),
    ("period_values_overlap_in_percent", 0, [50, 65535]),
    ("highest_requested_harmonic", 1, [63, 1000]),
    ("thd_highest_harmonic", 40, [25, -3]),
    ("pole_pairs", 0, [4, -(2 ** 31)]),
    ("mech_angle_offset", 0.0, [-12.5, 1e300]),
    ("rvc_steady_state_length_in_number_of_period_values", 100, [120, 0]),
    ("rvc_threshold_in_percent_of_average", 2.0, [3.3, 0.125]),
    ("rvc_threshold_hysteresis_in_percent_of_threshold", 50.0, [25.0, 100.0]),
]
SETTINGS = NUMERIC + [(b, b == "current_enabled", [True, False, True])
                      for b in sorted(BOOL_PROPERTIES)]


@pytest.fixture
def module(backend):
    with Module(backend) as m:
        yield m


@pytest.mark.parametrize("name,default,values", SETTINGS, ids=[s[0] for s in SETTINGS])
def test_setting_default_and_round_trip(module, name, default, values):
    assert {s[0] for s in NUMERIC} == set(NUMERIC_PROPERTIES)
    assert getattr(module, name) == default and type(getattr(module, name)) is type(default)
    module.grid = "star"  # three phases: the symmetrical-component getters need them
    with module.updating():
        for value in values:
            setattr(module, name, value)
            assert getattr(module, name) == value and type(getattr(module, name)) is type(value)


@pytest.mark.parametrize("name,value,error", [
    ("half_period_values_count", 65536, ValueError), ("half_period_values_count", -1, ValueError),
    ("highest_requested_harmonic", 2 ** 31, ValueError), ("period_count", 70000, ValueError),
    ("buffer_length", -5, ValueError), ("highest_requested_harmonic", 2.5, TypeError),
    ("grid", "hexagon", ValueError)])
def test_out_of_range_settings_are_refused_and_leave_the_value(module, name, value, error):
    before = getattr(module, name)
    with pytest.raises(error):
        setattr(module, name, value)
    assert getattr(module, name) == before


def test_settings_without_getter_are_remembered(module, backend):
    assert module.backend == backend
    module.configure(sample_rate=(25600.0, 4000), buffer_length=51200, grid="delta",
                     period_count=12)
    assert (module.sample_rate, module.positions_per_sample, module.buffer_length, module.grid,
            module.grid_type, module.period_count) == (25600.0, 4000, 51200, "delta", 3, 12)
    module.sample_rate = 12800.0  # keeps the positions per sample
    assert module.positions_per_sample == 4000
    module.set_static_frequency(50.0, 0.0)  # tolerance raised to 0.001
    assert module.frequency_range == pytest.approx((49.95, 50.05), rel=1e-15)
    module.set_static_frequency(60.0, 0.9)  # lowered to 0.5
    assert module.frequency_range == pytest.approx((30.0, 90.0), rel=1e-15)
    assert module.static_frequency == (60.0, 0.9)
    module.set_variable_frequency(55.0, 45.0)  # stored as given
    assert (module.frequency_mode, module.variable_frequency) == ("variable", (55.0, 45.0))
    assert module.static_frequency is None


def test_effective_bool_getters(module):
    # Symmetrical components read back true only on three-phase grids, the full spectrum
    # only with a static frequency.
    module.configure(sample_rate=10000.0, buffer_length=20000, grid="two-phase",
                     symmetrical_components_enabled=True,
                     period_symmetrical_components_enabled=True, full_fft_enabled=True)
    assert (module.symmetrical_components_enabled, module.period_symmetrical_components_enabled,
            module.full_fft_enabled) == (False, False, True)
    module.configure(grid="star", variable_frequency=(45.0, 55.0))
    assert (module.symmetrical_components_enabled, module.period_symmetrical_components_enabled,
            module.full_fft_enabled) == (True, True, False)


@pytest.mark.parametrize("grid", sorted(GRID_TYPES) + [8])  # 8: unknown, as single-phase
def test_grid_channel_counts(module, grid):
    info = grid_info("single" if grid == 8 else grid)
    module.grid = grid
    assert (module.grid, module.phases_count, module.voltages_count, module.currents_count,
            module.input_channels) == (grid, info.phases, info.voltages, info.currents,
                                       info.voltages + info.currents)
    module.current_enabled = False
    assert (module.currents_count, module.input_channels) == (0, info.voltages)
    module.mechanical_angle_used = True
    assert module.input_channels == info.voltages + 1


def test_configure_is_one_bracket_and_checks_keys_first(module):
    with pytest.raises(TypeError, match="no_such_setting"):
        module.configure(thd_enabled=True, no_such_setting=1)
    assert module.thd_enabled is False
    module.configure(sample_rate=10000.0, buffer_length=20000, grid="star", thd_enabled=True,
                     highest_requested_harmonic=50, half_period_values_count=4)
    assert (module.thd_enabled, module.highest_requested_harmonic,
            module.half_period_values_count, module.phases_count) == (True, 50, 4, 3)
    # Inside a bracket a rebuilding setter only stores: a reset module keeps accepting
    # samples until endUpdate rebuilds (which drops its windows).
    module.reset(0)
    module.write(np.zeros((4000, 6)))
    module.begin_update()
    module.highest_requested_harmonic = 7
    module.schedule(0, 2000, F)  # the buffers are unchanged: accepted
    module.end_update()
    assert module.highest_requested_harmonic == 7
    assert len(module.results()) == 0


def test_close_and_garbage_collection_release_the_handles(backend, monkeypatch):
    with Module(backend) as m:
        assert not m.closed
    assert m.closed
    with pytest.raises(ValueError, match="closed"):
        _ = m.thd_enabled
    m.close()  # twice is harmless
    lib, destroyed, handles = _native.load(), [], []
    destroy = lib.powerModule_destroy
    monkeypatch.setattr(lib, "powerModule_destroy", lambda h: destroyed.append(h) or destroy(h))
    for _ in range(5):
        m = Module(backend)
        m.configure(sample_rate=10000.0, buffer_length=100000, grid="star")
        handles.append(m.handle)
        del m
    gc.collect()
    assert sorted(destroyed) == sorted(handles)


# --- writing and results ----------------------------------------------------------------

def star_module(backend, buffer_length, **extra):
    m = Module(backend)
    m.configure(sample_rate=(10000.0, 1000), buffer_length=buffer_length, grid="star",
                static_frequency=(F, 0.1), highest_requested_harmonic=50, thd_enabled=True,
                symmetrical_components_enabled=True, **extra)
    m.reset(0)
    return m


def signal(n, **kw):
    return np.concatenate(three_phase(n, **kw), axis=1)


def window_of(m, first, length):
    m.schedule(first, length, F)
    m.sync()
    r = m.results()
    assert len(r) == 1
    return r[0], Module.harmonics(r, "harmonicsU")[0], Module.harmonics(r, "phasesI")[0]


@pytest.mark.parametrize("ring,cuts,first,length", [(2500, [600], 600, 2000),
                                                     (1000, [], 1700, 900)],
                         ids=["window-wraps", "one-write-longer-than-the-ring"])
def test_write_across_the_ring_end_equals_the_unwrapped_case(backend, ring, cuts, first, length):
    x = signal(2600, h5=0.05, h7=0.03)
    with star_module(backend, 4000) as plain:
        plain.write(x)
        ref, ref_h, ref_ph = window_of(plain, first, length)
    with star_module(backend, ring) as m:
        assert sum(m.write(part) for part in np.split(x, cuts)) == m.samples_written == 2600
        kept = np.arange(2600 - ring, 2600)  # the last samples, at their index modulo ring
        for kind, ch, col in (("u_input", 0, 0), ("u_input", 1, 1), ("i", 2, 5)):
            np.testing.assert_array_equal(m.ring(kind, ch)[kept % ring],
                                          x[kept, col].astype(np.float32))
        got, got_h, got_ph = window_of(m, first, length)
    for c in range(4):
        for name in ("rmsU", "rmsI", "p", "rmsFftU", "h1U", "pFft", "q", "s", "meanAbsU"):
            assert got["channels"][c][name] == pytest.approx(ref["channels"][c][name],
                                                             rel=1e-9, abs=1e-9), (c, name)
    np.testing.assert_allclose(got_h, ref_h, rtol=1e-6, atol=1e-5)
    np.testing.assert_allclose(got_ph, ref_ph, atol=1e-3)
    if length % 200 == 0:  # whole cycles: the values are the analytic ones
        assert got["channels"][0]["h1U"] == pytest.approx(230.0, rel=1e-4)
        assert got_h[0, 5] == pytest.approx(11.5, rel=1e-3)
        assert got["channels"][0]["rmsU"] == pytest.approx(230.0 * math.hypot(1, 0.05, 0.03),
                                                           rel=1e-5)


def test_columns_follow_the_grid_input_order(backend):
    with Module(backend) as m:
        m.configure(sample_rate=10000.0, buffer_length=100, grid="delta-two-voltages")
        m.reset(0)
        m.write(np.arange(40, dtype=np.float64).reshape(10, 4))  # U12, U23, I1, I2
        for kind, ch, first in (("u_input", 0, 0.0), ("u_delta", 1, 1.0), ("i", 1, 3.0)):
            np.testing.assert_array_equal(m.ring(kind, ch)[:10], first + 4 * np.arange(10))
        with pytest.raises(ValueError, match="columns"):
            m.write(np.zeros((5, 3)))
        with pytest.raises(ValueError):
            m.ring("nothing")
        m.configure(grid="star")
        with pytest.raises(ValueError, match="no host ring"):
            m.ring("u_delta", 0)  # a star grid without line-to-line results


def test_results_come_in_schedule_order_beyond_one_fetch(backend):
    with star_module(backend, 200000) as m:  # 110 result slots
        m.write(signal(40000))
        for k in range(100):
            m.schedule(k * 400, 400, F)
        for k in range(5):
            m.schedule(k * 2000, 2000, F)
        m.sync()
        r = m.results()
        assert len(m.results(5)) == 0
    np.testing.assert_array_equal(r["firstSampleIndex"], np.r_[np.arange(100) * 400,
                                                               np.arange(5) * 2000])
    np.testing.assert_allclose(r["time"][100:], (np.arange(5) + 1) * 0.2, rtol=1e-12)
    np.testing.assert_allclose(r["channels"][100:, 3]["p"], 3 * 2300 * np.cos(np.pi / 6),
                               rtol=1e-4)  # the record of the totals


def test_harmonic_copies_stay_after_the_slot_is_reused(backend):
    x = signal(20000, h5=0.05, h7=0.03)
    with star_module(backend, 4000) as m:  # few result slots
        copy = None
        for k in range(10):
            m.write(x[2000 * k:2000 * (k + 1)] * (k + 1))  # every window tells itself apart
            m.schedule(2000 * k, 2000, F)
            m.sync()
            r = m.results()
            if copy is None:  # the copy the analysis takes of the first window
                copy = Module.harmonic_tables(r, ["harmonicsU"], 3)["harmonicsU"]
    assert copy[0, 0, 5] == pytest.approx(11.5, rel=1e-3)
    assert copy[0, 2, 7] == pytest.approx(6.9, rel=1e-3)


def test_harmonic_tables_of_batches_across_the_ring_end_equal_the_copies_one_by_one(backend):
    x = signal(120000, h5=0.05, h7=0.03)
    fields = ["harmonicsU", "phasesU", "harmonicsP"]
    wrapped = 0
    with star_module(backend, 16000) as m:  # batches of four cross the ring's end
        for batch in range(15):
            for k in range(4 * batch, 4 * batch + 4):
                m.write(x[2000 * k:2000 * (k + 1)] * (1 + 0.1 * k))
                m.schedule(2000 * k, 2000, F)
            m.sync()
            r = m.results()
            assert len(r) == 4
            starts = r["channels"][:, 0]["harmonicsU"].astype(np.int64)
            wrapped += bool((np.diff(starts) < 0).any())
            together = Module.harmonic_tables(r, fields, 3)
            for f in fields:
                np.testing.assert_array_equal(together[f], Module.harmonics(r, f, blocks=3))
    assert wrapped  # the case this is about happened


# --- errors -----------------------------------------------------------------------------

@pytest.fixture
def single(backend):
    with Module(backend) as m:
        m.configure(sample_rate=10000.0, buffer_length=10000, static_frequency=(F, 0.1))
        yield m


ERRORS = [  # samples written after a reset (None: no reset), failing call, message part
    (None, lambda m: m.schedule(0, 100, F), "reset"),
    (None, lambda m: m.write(np.zeros((10, 2))), ""),
    (1000, lambda m: m.schedule(0, 2000, F), ""),
    (0, lambda m: m.period_results(), ""),
    (0, lambda m: m.schedule_cycles([0], [200000], [F], [True]), ""),
] + [(2000, lambda m, f=f: m.schedule(0, 2000, f), "frequency")
     for f in (-50.0, 0.0, math.nan, math.inf, 5000.0, 7000.0)]


@pytest.mark.parametrize("written,call,fragment", ERRORS)
def test_a_refused_call_raises_status_1_with_the_library_message(single, written, call,
                                                                 fragment):
    if written is not None:
        single.reset(0)
        single.write(np.zeros((written, 2)))
    with pytest.raises(PowerError) as info:
        call(single)
    err = info.value
    assert type(err) is PowerError and err.status == 1
    assert err.message and fragment in err.message and err.message in str(err)
    assert err.message == _native.last_error_message(single.handle)
    if written == 2000:  # nothing was scheduled: a good window is the first result
        single.schedule(0, 2000, F)
        single.sync()
        assert len(single.results()) == 1
    single.reset(0)  # a successful call clears the message
    assert _native.last_error_message(single.handle) == ""


def test_too_many_results_and_other_refusals(single):
    single.reset(0)
    single.write(np.zeros((4000, 2)))
    single.schedule(0, 2000, F)
    single.schedule(2000, 2000, F)
    single.sync()
    with pytest.raises(TooManyResultsError) as info:
        single.results(max_count=0)  # "all ready" but no room: both are lost
    assert info.value.status == 2 and "Too many results" in info.value.message
    assert len(single.results()) == 0
    with pytest.raises(TooManyResultsError):
        single.results(max_count=-1)
    assert isinstance(error_for_status(3, "syncCuda", "x"), GpuError)
    single.configure(period_values_enabled=True)
    single.reset(0)
    with pytest.raises(ValueError):
        single.schedule_cycles([0, 1], [5], [F], [True])
    with pytest.raises(ValueError):
        Module("tpu")
    handle = _native.load().powerModule_createOnBackend(_native.BACKEND_CUDA)
    if handle:  # CUDA works here, or is refused clearly
        _native.load().powerModule_destroy(handle)
        with Module("cuda") as m:
            assert m.backend == "cuda"
    else:
        with pytest.raises(BackendUnavailableError, match="CUDA"):
            Module("cuda")


def test_period_values_fetched_into_a_buffer_equal_the_plain_fetch(backend):
    """Gathering the period records of several fetches into one growing
    buffer (one copy each) gives the records a plain fetch gives, byte for
    byte, and the values of a 230 V sine."""
    from powergpu.cycles import detect_cycles
    from powergpu.records import PERIOD_DTYPE, RecordBuffer

    fs = 6400.0
    u = 230.0 * math.sqrt(2.0) * np.sin(2 * np.pi * 50.0 * np.arange(int(2.0 * fs)) / fs + 0.3)
    found = detect_cycles(u, fs, 50.0)
    since = found.kind.tolist().index(0)  # the module starts at the first crossing
    cycles = [a[since:] for a in found[:4]]
    first = int(cycles[0][0]) // 1000
    plain, gathered = [], RecordBuffer(PERIOD_DTYPE, (2,), capacity=1)
    for into in (None, gathered):
        with Module(backend) as m:
            m.configure(sample_rate=(fs, 1000), buffer_length=int(3 * fs), grid="single",
                        current_enabled=False, period_values_enabled=True)
            m.reset(first)
            m.write(u[first:])
            m.schedule_cycles(*cycles)
            # a value is handed out once the windows have delivered its samples
            for part in np.array_split(np.arange((len(u) - first) // 1280), 4):
                for w in part:
                    m.schedule(first + 1280 * int(w), 1280, 50.0)
                m.sync()
                m.results()
                got = m.period_results(into=into)
                if into is None:
                    plain.append(got)
    plain = np.concatenate(plain)
    assert len(plain) > 50
    assert gathered.take().tobytes() == plain.tobytes()
    valid = plain[:, 1][plain[:, 1]["valid"].astype(bool)]
    assert np.allclose(valid["rmsU"], 230.0, rtol=2e-3)
