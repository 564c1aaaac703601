"""The module's 10-s frequency through the Python binding, fed the cycles the
package's own detector finds in a sampled 50.5 Hz sine: whole 10-s intervals
of the clock (the recording starts at 13:07:43.7) read 50.500 Hz."""
import math

import numpy as np
import pytest

from powergpu import Module
from powergpu.cycles import detect_cycles
from powergpu.errors import PowerError

FS, F = 6400.0, 50.5
START = 13 * 3600 + 7 * 60 + 43.7  # seconds of the day of sample 0


def test_fifty_point_five_hertz_reads_on_the_clock_intervals(backend):
    t = np.arange(int(25.0 * FS)) / FS
    u = 230.0 * math.sqrt(2.0) * np.sin(2 * np.pi * F * t + 0.4)
    cycles = detect_cycles(u, FS, 50.0)
    with Module(backend) as m:
        m.configure(sample_rate=(FS, 1000), buffer_length=int(2 * FS), grid="single",
                    current_enabled=False, period_values_enabled=True)
        m.ten_second_frequency_enabled = True
        m.clock_time_at_sample_index_zero = START
        with pytest.raises(PowerError, match="setClockTimeAtSampleIndexZero"):
            m.clock_time_at_sample_index_zero = math.inf
        assert m.clock_time_at_sample_index_zero == START
        m.reset(0)
        m.schedule_cycles(cycles.start, cycles.length, cycles.frequency, cycles.valid)
        rec = m.ten_second_frequencies()
    # 47260 s (from 47263.7 s on) and 47270 s are completed; 47280 s is open
    # until the recording's end at 47288.7 s.
    assert list(rec["startTime"]) == [47260.0, 47270.0]
    whole = rec[1]
    assert whole["frequency"] == pytest.approx(F, abs=1e-3)
    assert whole["cycleCount"] == 504 and whole["flagged"] == 0
