"""Module settings: defaults, round trips, the update bracket, grid counts."""
import gc

import numpy as np
import pytest

from powergpu import Module
from powergpu.module import BOOL_PROPERTIES, GRID_TYPES, NUMERIC_PROPERTIES, grid_info

BOOL_DEFAULTS = {name: name == "current_enabled" for name in BOOL_PROPERTIES}
NUMERIC_DEFAULTS = {
    "half_period_values_count": 2,
    "period_values_overlap_in_percent": 0,
    "highest_requested_harmonic": 1,
    "thd_highest_harmonic": 40,
    "pole_pairs": 0,
    "mech_angle_offset": 0.0,
    "rvc_steady_state_length_in_number_of_period_values": 100,
    "rvc_threshold_in_percent_of_average": 2.0,
    "rvc_threshold_hysteresis_in_percent_of_threshold": 50.0,
}
# Values that use the full width of each type.
NUMERIC_VALUES = {
    "half_period_values_count": [1, 65535],
    "period_values_overlap_in_percent": [50, 65535],
    "highest_requested_harmonic": [63, 1000],
    "thd_highest_harmonic": [25, -3],
    "pole_pairs": [4, -(2 ** 31)],
    "mech_angle_offset": [-12.5, 1e300],
    "rvc_steady_state_length_in_number_of_period_values": [120, 0],
    "rvc_threshold_in_percent_of_average": [3.3, 0.125],
    "rvc_threshold_hysteresis_in_percent_of_threshold": [25.0, 100.0],
}


@pytest.fixture
def module(backend):
    m = Module(backend)
    yield m
    m.close()


def _sane(m):
    # A sample rate and ring first, so that rebuilds size real buffers.
    m.configure(sample_rate=10000.0, buffer_length=20000, grid="star")


def test_defaults(module):
    for name, value in BOOL_DEFAULTS.items():
        assert getattr(module, name) is value, name
    for name, value in NUMERIC_DEFAULTS.items():
        assert getattr(module, name) == value, name
    assert set(NUMERIC_DEFAULTS) == set(NUMERIC_PROPERTIES)
    assert module.sample_rate == 1.0
    assert module.positions_per_sample == 1
    assert module.buffer_length == 0
    assert module.grid == "single" and module.grid_type == 0
    assert module.period_count == 10
    assert module.frequency_mode == "static"
    assert module.frequency_range == (45.0, 55.00000000000001)
    assert (module.phases_count, module.voltages_count, module.currents_count) == (1, 1, 1)
    assert module.input_channels == 2


def test_backend_is_the_requested_one(module, backend):
    assert module.backend == backend


@pytest.mark.parametrize("name", sorted(BOOL_PROPERTIES))
def test_bool_round_trip(module, name):
    _sane(module)  # three phases: the symmetrical-component getters need them
    for value in (True, False, True):
        setattr(module, name, value)
        assert getattr(module, name) is value


def test_effective_bool_getters(module):
    # Symmetrical components read back true only on three-phase grids, the
    # full spectrum only with a static frequency.
    module.configure(sample_rate=10000.0, buffer_length=20000, grid="two-phase",
                     symmetrical_components_enabled=True,
                     period_symmetrical_components_enabled=True, full_fft_enabled=True)
    assert module.symmetrical_components_enabled is False
    assert module.period_symmetrical_components_enabled is False
    assert module.full_fft_enabled is True
    module.configure(grid="star", variable_frequency=(45.0, 55.0))
    assert module.symmetrical_components_enabled is True
    assert module.period_symmetrical_components_enabled is True
    assert module.full_fft_enabled is False


@pytest.mark.parametrize("name", sorted(NUMERIC_VALUES))
def test_numeric_round_trip(module, name):
    with module.updating():
        for value in NUMERIC_VALUES[name]:
            setattr(module, name, value)
            assert getattr(module, name) == value


@pytest.mark.parametrize("name,value", [("half_period_values_count", 65536),
                                        ("half_period_values_count", -1),
                                        ("highest_requested_harmonic", 2 ** 31),
                                        ("period_count", 70000),
                                        ("buffer_length", -5)])
def test_out_of_range_integers_are_refused(module, name, value):
    before = getattr(module, name)
    with pytest.raises(ValueError):
        setattr(module, name, value)
    assert getattr(module, name) == before


def test_integer_settings_refuse_fractions(module):
    with pytest.raises(TypeError):
        module.highest_requested_harmonic = 2.5


def test_settings_without_getter_are_remembered(module):
    module.configure(sample_rate=(25600.0, 4000), buffer_length=51200, grid="delta",
                     period_count=12)
    assert module.sample_rate == 25600.0
    assert module.positions_per_sample == 4000
    assert module.buffer_length == 51200
    assert module.grid == "delta" and module.grid_type == 3
    assert module.period_count == 12
    module.sample_rate = 12800.0  # keeps the positions per sample
    assert module.positions_per_sample == 4000


def test_frequency_settings(module):
    module.set_static_frequency(50.0, 0.0)  # tolerance raised to 0.001
    assert module.frequency_mode == "static"
    assert module.frequency_range == pytest.approx((49.95, 50.05), rel=1e-15)
    module.set_static_frequency(60.0, 0.9)  # lowered to 0.5
    assert module.frequency_range == pytest.approx((30.0, 90.0), rel=1e-15)
    assert module.static_frequency == (60.0, 0.9)
    module.set_variable_frequency(55.0, 45.0)  # stored as given
    assert module.frequency_mode == "variable"
    assert module.variable_frequency == (55.0, 45.0)
    assert module.static_frequency is None


@pytest.mark.parametrize("grid", sorted(GRID_TYPES))
def test_grid_channel_counts(module, grid):
    info = grid_info(grid)
    module.grid = grid
    assert module.grid == grid
    assert module.phases_count == info.phases
    assert module.voltages_count == info.voltages
    assert module.currents_count == info.currents
    assert module.input_channels == info.voltages + info.currents
    module.current_enabled = False
    assert module.currents_count == 0
    assert module.input_channels == info.voltages
    module.mechanical_angle_used = True
    assert module.input_channels == info.voltages + 1


def test_unknown_grid_type_behaves_as_single_phase(module):
    module.grid = 8
    assert module.grid == 8
    assert (module.phases_count, module.voltages_count, module.currents_count) == (1, 1, 1)
    with pytest.raises(ValueError):
        module.grid = "hexagon"


def test_configure_applies_everything_in_one_bracket(module):
    module.configure(sample_rate=10000.0, buffer_length=10000, grid="star", thd_enabled=True,
                     highest_requested_harmonic=50, static_frequency=(50.0, 0.1),
                     rvc_threshold_in_percent_of_average=3.0, half_period_values_count=4)
    assert module.thd_enabled and module.highest_requested_harmonic == 50
    assert module.rvc_threshold_in_percent_of_average == 3.0
    assert module.half_period_values_count == 4
    assert module.phases_count == 3
    # The bracket is closed again: a module that is reset accepts samples.
    module.reset(0)
    module.write(np.zeros((10, 6)))
    assert module.samples_written == 10


def test_configure_rejects_unknown_keys_before_changing_anything(module):
    with pytest.raises(TypeError, match="no_such_setting"):
        module.configure(thd_enabled=True, no_such_setting=1)
    assert module.thd_enabled is False


def test_bracket_defers_the_rebuild(module):
    # Inside a bracket a rebuilding setter only stores: a reset module keeps
    # accepting samples until endUpdate rebuilds (which drops its windows).
    _sane(module)
    module.reset(0)
    module.write(np.zeros((4000, 6)))
    module.begin_update()
    module.highest_requested_harmonic = 7
    module.schedule(0, 2000, 50.0)  # the buffers are unchanged: accepted
    module.end_update()
    assert module.highest_requested_harmonic == 7
    assert len(module.results()) == 0  # the rebuild dropped the window


def test_close_and_context_manager(backend):
    with Module(backend) as m:
        assert not m.closed
    assert m.closed
    with pytest.raises(ValueError, match="closed"):
        _ = m.thd_enabled
    m.close()  # twice is harmless


def test_garbage_collected_modules_release_their_handles(backend, monkeypatch):
    from powergpu import _native

    real = _native.load()

    class Counting:
        destroyed = []

        def __getattr__(self, name):
            return getattr(real, name)

        def powerModule_destroy(self, handle):
            self.destroyed.append(handle)
            return real.powerModule_destroy(handle)

    counting = Counting()
    monkeypatch.setattr(_native, "load", lambda: counting)
    handles = []
    for _ in range(5):
        m = Module(backend)
        m.configure(sample_rate=10000.0, buffer_length=100000, grid="star")
        handles.append(m.handle)
        del m
    gc.collect()
    assert sorted(counting.destroyed) == sorted(handles)


def test_ring_views(module):
    _sane(module)
    u = module.ring("u_input", 1)
    assert u.dtype == np.float32 and u.shape == (20000,)
    with pytest.raises(ValueError):
        module.ring("nothing")
    with pytest.raises(ValueError, match="no host ring"):
        module.ring("u_delta", 0)  # a star grid without line-to-line results
