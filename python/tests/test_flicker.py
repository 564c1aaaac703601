"""Flicker through the Python package (the record dtypes: test_native; Pst of the
standard's rectangular modulation through ``analyze`` and ``flicker.csv``:
test_analyze_classa): the module's flicker settings and Plt of 2-hour blocks."""
import math

import numpy as np
import pytest

from powergpu import Module
from powergpu.flicker import PINST_DTYPE, PST_DTYPE, FlickerCollector, plt


def test_module_flicker_settings_and_refusals():
    with Module("cpu") as m:
        m.configure(sample_rate=1600.0, buffer_length=16000, grid="star", flicker_enabled=True,
                    flicker_lamp="120V", flicker_system_frequency=60, flicker_interval_start=7)
        assert (m.flicker_lamp, m.flicker_system_frequency, m.flicker_interval_start) == \
            ("120V", 60.0, 7)
        assert m.flicker_channels == 3
        with pytest.raises(ValueError):
            m.flicker_lamp = "100V"
        with pytest.raises(Exception, match="50 or 60"):
            m.flicker_system_frequency = 55
        with pytest.raises(Exception, match="channel 3"):
            m.flicker_pst(3)
        assert len(m.flicker_pst(0)) == 0


def test_plt_is_the_cube_root_of_the_mean_cube():
    assert plt([1.0] * 12) == pytest.approx(1.0)
    assert plt([2.0] + [0.0] * 11) == pytest.approx(2.0 / 12 ** (1 / 3))
    assert math.isnan(plt([]))


class _FakeModule:
    """Hands out prepared Pst records, as a module's flickermeters would."""

    flicker_enabled = True
    flicker_channels = 1
    flicker_interval_start = 0

    def __init__(self, records):
        self.records = records

    def flicker_pst(self, channel):
        out, self.records = self.records, np.zeros(0, dtype=PST_DTYPE)
        return out

    def flicker_pinst(self, channel):
        return np.zeros(0, dtype=PINST_DTYPE)


def test_plt_only_for_whole_two_hour_blocks_of_complete_intervals():
    n = 600 * 10
    records = np.zeros(25, dtype=PST_DTYPE)
    records["firstSampleIndex"] = np.arange(25) * n
    records["length"] = n
    records["pst"] = np.arange(25) % 4 * 0.5
    records["complete"] = True
    records["complete"][20] = False  # spoils the second block
    frame = FlickerCollector(_FakeModule(records), 10.0, delta=False).frame()
    assert len(frame) == 25
    expected = plt(records["pst"][:12])
    assert frame["Plt_U1"][11] == pytest.approx(expected)
    assert frame["Plt_U1"].notna().sum() == 1


def test_intervals_with_dips_swells_or_interruptions_are_flagged_and_left_out_of_the_maxima():
    import pandas as pd
    from powergpu.flicker import flag_intervals
    from powergpu.summary import flicker_text

    table = pd.DataFrame({"t_start": [0.0, 600.0, 1200.0], "t_end": [600.0, 1200.0, 1800.0],
                          "Pst_U1": [0.5, 3.0, 2.0], "complete_U1": [True] * 3,
                          "Plt_U1": [float("nan")] * 3})
    events = pd.DataFrame({"type": ["rvc", "dip", "interruption"],
                           "t_start": [100.0, 650.0, 1500.0], "t_end": [101.0, 650.1, float("nan")]})
    flagged = flag_intervals(table, events)
    # the RVC flags nothing; the dip its interval; the unfinished interruption lasts to the end
    assert list(flagged["flagged"]) == [False, True, True]
    assert list(flag_intervals(table, None)["flagged"]) == [False, False, False]

    class Result:
        flicker = flagged
        summary = {}
    assert flicker_text(Result()) == "U1 0.50 / -   (2 of 3 intervals flagged)"
