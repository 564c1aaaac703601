"""Failing calls raise PowerError with the status and the library's message."""
import math

import numpy as np
import pytest

from powergpu import (BackendUnavailableError, GpuError, Module, PowerError,
                      TooManyResultsError, _native)
from powergpu.errors import error_for_status


@pytest.fixture
def module(backend):
    m = Module(backend)
    m.configure(sample_rate=10000.0, buffer_length=10000, grid="single",
                static_frequency=(50.0, 0.1))
    yield m
    m.close()


def test_schedule_before_reset(module):
    with pytest.raises(PowerError) as info:
        module.schedule(0, 100, 50.0)
    err = info.value
    assert type(err) is PowerError
    assert err.status == 1
    assert err.function == "scheduleForCalculation"
    assert "reset" in err.message
    assert err.message in str(err)


def test_write_before_reset(module):
    with pytest.raises(PowerError) as info:
        module.write(np.zeros((10, 2)))
    assert info.value.status == 1 and info.value.message


@pytest.mark.parametrize("frequency", [-50.0, 0.0, math.nan, math.inf, 5000.0, 7000.0])
def test_bad_frequency(module, frequency):
    module.reset(0)
    module.write(np.zeros((2000, 2)))
    with pytest.raises(PowerError) as info:
        module.schedule(0, 2000, frequency)
    assert info.value.status == 1
    assert "frequency" in info.value.message
    # nothing was scheduled: a good window afterwards is the first result
    module.schedule(0, 2000, 50.0)
    module.sync()
    assert len(module.results()) == 1


def test_window_beyond_the_written_samples(module):
    module.reset(0)
    module.write(np.zeros((1000, 2)))
    with pytest.raises(PowerError) as info:
        module.schedule(0, 2000, 50.0)
    assert info.value.status == 1 and info.value.message


def test_message_is_cleared_by_a_successful_call(module):
    with pytest.raises(PowerError):
        module.schedule(0, 100, 50.0)
    assert _native.last_error_message(module.handle) != ""
    module.reset(0)
    assert _native.last_error_message(module.handle) == ""


def test_too_many_results(module):
    module.reset(0)
    module.write(np.zeros((4000, 2)))
    module.schedule(0, 2000, 50.0)
    module.schedule(2000, 2000, 50.0)
    module.sync()
    with pytest.raises(TooManyResultsError) as info:
        module.results(max_count=0)  # "all ready" but no room: both are lost
    assert info.value.status == 2
    assert "Too many results" in info.value.message
    assert len(module.results()) == 0
    with pytest.raises(TooManyResultsError):
        module.results(max_count=-1)


def test_period_calls_while_period_values_are_disabled(module):
    module.reset(0)
    with pytest.raises(PowerError) as info:
        module.period_results()
    assert info.value.status == 1 and info.value.message
    with pytest.raises(PowerError):
        module.schedule_cycles([0], [200000], [50.0], [True])


def test_cycle_arrays_of_different_lengths(module):
    module.configure(period_values_enabled=True)
    module.reset(0)
    with pytest.raises(ValueError):
        module.schedule_cycles([0, 1], [5], [50.0], [True])


def test_status_classes():
    assert isinstance(error_for_status(3, "syncCuda", "x"), GpuError)
    assert isinstance(error_for_status(2, "getResults", "x"), TooManyResultsError)
    e = error_for_status(1, "reset", "bad")
    assert type(e) is PowerError and e.status == 1 and e.message == "bad"
    assert issubclass(GpuError, PowerError) and issubclass(TooManyResultsError, PowerError)


def test_unknown_backend_name():
    with pytest.raises(ValueError):
        Module("tpu")


def test_cuda_backend_or_a_clear_refusal():
    lib = _native.load()
    handle = lib.powerModule_createOnBackend(_native.BACKEND_CUDA)
    if handle:
        lib.powerModule_destroy(handle)
        with Module("cuda") as m:
            assert m.backend == "cuda"
    else:
        with pytest.raises(BackendUnavailableError) as info:
            Module("cuda")
        assert "CUDA" in info.value.message
