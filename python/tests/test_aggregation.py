"""Aggregation of 10-cycle values on the absolute clock: known answers from
the root mean square of staircases, the 10-min tick of a recording that
starts at 13:07:43.7, 2-h values, flags that travel, and the 10-s frequency
from a cycles table."""
import math

import numpy as np
import pandas as pd
import pytest

from powergpu.aggregation import (Aggregator, add_deviation_columns, add_deviation_percent, add_harmonic_columns,
                                  aggregate, aggregate_2h, ten_second_frequency,
                                  ten_second_frequency_of_windows)

W = 0.2  # a 10-cycle window at 50 Hz, s
START = pd.Timestamp("2026-03-02 13:07:43.7")


def windows(values, **more):
    n = len(values)
    t = np.arange(n) * W
    table = pd.DataFrame({"t_start": t, "t_end": t + W, "valid": True, "u1_rms": values,
                          "frequency": 50.0})
    for name, column in more.items():
        table[name] = column
    return table


def test_staircase_of_ten_cycle_values_gives_the_rms_of_each_block():
    # Steps of 10 windows: 200, 230, 260, ... ; a block of 15 windows holds
    # 10 of one step and 5 of the next, or 5 and 10.
    steps = np.repeat(200.0 + 30.0 * np.arange(6), 10)
    short, ten = aggregate(windows(steps), pd.Timestamp("2026-03-02 13:00:00"))
    assert list(short["count"]) == [15, 15, 15, 15]
    expected = [math.sqrt((10 * 200**2 + 5 * 230**2) / 15), math.sqrt((5 * 230**2 + 10 * 260**2) / 15),
                math.sqrt((10 * 290**2 + 5 * 320**2) / 15), math.sqrt((5 * 320**2 + 10 * 350**2) / 15)]
    assert short["u1_rms"].to_numpy() == pytest.approx(expected, rel=1e-12)
    assert short["t_start"].iloc[1] == pd.Timestamp("2026-03-02 13:00:03")
    assert short["t_end"].iloc[1] == pd.Timestamp("2026-03-02 13:00:06")
    assert len(ten) == 1 and ten["count"].iloc[0] == 60
    assert ten["u1_rms"].iloc[0] == pytest.approx(math.sqrt(np.mean(steps**2)), rel=1e-12)
    assert "frequency" not in short, "the frequency is not a magnitude to aggregate by its rms"


def test_ten_minute_tick_inside_a_recording_that_starts_at_an_odd_time():
    # 13:10:00 lies 136.3 s after 13:07:43.7: window 681 (136.2 .. 136.4 s)
    # runs across the tick and counts in the interval it began in.
    n = 3600  # 12 minutes: to 13:19:43.7
    t = np.arange(n) * W
    u = np.where(t < 136.3, 220.0, 240.0)
    short, ten = aggregate(windows(u), START)
    assert list(ten["t_start"]) == [pd.Timestamp("2026-03-02 13:00"), pd.Timestamp("2026-03-02 13:10")]
    assert list(ten["count"]) == [682, n - 682]
    assert ten["u1_rms"].to_numpy() == pytest.approx([220.0, 240.0], rel=1e-12)
    # The 3-s blocks start again at the tick: 682 = 45 * 15 + 7.
    before = short[short["t_start"] < pd.Timestamp("2026-03-02 13:10")]
    assert len(before) == 46 and before["count"].iloc[-1] == 7
    first_after = short.iloc[46]
    assert first_after["t_start"] == START + pd.Timedelta(seconds=682 * W)
    assert first_after["count"] == 15 and first_after["u1_rms"] == pytest.approx(240.0)


def test_batches_give_the_table_of_the_whole_and_zoned_clocks_keep_local_ticks():
    # Fed in batches of 777 windows (block and tick boundaries fall inside
    # batches and between them) the tables equal those of one call. A
    # recording in Berlin across the spring-forward shift (02:00 -> 03:00
    # local) has its ticks on the local clock: 01:50 is followed by 03:00,
    # and every window counts once.
    n = 50000  # 2.8 h of windows from 00:57:13.3
    u = 230.0 + np.sin(np.arange(n) / 37.0)
    table = windows(u, u2_h5=np.where(np.arange(n) % 11 == 0, np.nan, 1.0 + np.cos(np.arange(n) / 5.0)))
    for zone in (None, "Europe/Berlin"):
        start = pd.Timestamp("2026-03-29 00:57:13.3", tz=zone)
        whole_short, whole_ten = aggregate(table, start)
        fed = Aggregator(start)
        for k in range(0, n, 777):
            fed.add(table.iloc[k:k + 777])
        short, ten = fed.tables()
        pd.testing.assert_frame_equal(short, whole_short, rtol=1e-12)
        pd.testing.assert_frame_equal(ten, whole_ten, rtol=1e-12)
        assert short["count"].sum() == n and ten["count"].sum() == n
        # 834 windows before the 01:00 tick (56 blocks), 16 whole intervals
        # of 3000 (200 blocks each), 1166 after the last tick (78 blocks)
        assert len(short) == 56 + 16 * 200 + 78
    local = [t.strftime("%H:%M") for t in ten["t_start"]]
    assert local[6:8] == ["01:50", "03:00"] and len(ten) == 18


def test_two_hour_values_are_the_rms_of_the_ten_minute_values_on_the_clock():
    ticks = pd.date_range("2026-03-02 11:50", periods=13, freq="10min")
    values = np.arange(13, dtype=float) + 225.0
    ten = pd.DataFrame({"t_start": ticks, "t_end": ticks + pd.Timedelta(minutes=10), "count": 3000,
                        "flagged": [False] * 12 + [True], "u1_rms": values})
    two = aggregate_2h(ten)
    assert list(two["t_start"]) == [pd.Timestamp("2026-03-02 10:00"), pd.Timestamp("2026-03-02 12:00")]
    assert list(two["count"]) == [1, 12]
    assert two["u1_rms"].to_numpy() == pytest.approx([225.0, math.sqrt(np.mean(values[1:] ** 2))])
    assert list(two["flagged"]) == [False, True]


def test_a_flagged_or_invalid_window_flags_its_aggregates_and_no_other():
    u = np.full(60, 230.0)
    table = windows(u, flagged=False)
    table.loc[20, "flagged"] = True   # third block
    table.loc[50, "valid"] = False    # fourth block
    short, ten = aggregate(table, pd.Timestamp("2026-03-02 13:00"))
    assert list(short["flagged"]) == [False, True, False, True]
    assert bool(ten["flagged"].iloc[0])


def test_deviation_values_and_harmonics_in_percent_of_the_fundamental():
    # Half the windows at 207 V, half at 253 V (Udin 230 V): the under value
    # aggregates min(U, Udin), so the under-deviation is 100 (230 - rms) / 230.
    u = np.array([207.0, 253.0] * 15)
    table = add_deviation_columns(windows(u), 230.0)
    _, ten = aggregate(table, pd.Timestamp("2026-03-02 13:00"))
    ten = add_deviation_percent(ten, 230.0)
    under = math.sqrt((207.0**2 + 230.0**2) / 2)
    over = math.sqrt((253.0**2 + 230.0**2) / 2)
    assert ten["u1_under_deviation"].iloc[0] == pytest.approx(100 * (230 - under) / 230)
    assert ten["u1_over_deviation"].iloc[0] == pytest.approx(100 * (over - 230) / 230)
    with pytest.raises(ValueError, match="declared_voltage"):
        add_deviation_columns(windows(u), 0.0)

    harmonics = pd.DataFrame({"window": [0, 0, 0, 1, 1, 1, 0, 0], "channel": [0, 0, 0, 0, 0, 0, 3, 3],
                              "order": [1, 5, 7, 1, 5, 7, 1, 5],
                              "magnitude": [230.0, 9.2, 4.6, 200.0, 12.0, 0.0, 10.0, 5.0]})
    wide = add_harmonic_columns(windows([230.0, 200.0, 230.0]), harmonics)
    assert wide["u1_h5"].to_numpy()[:2] == pytest.approx([4.0, 6.0])
    assert wide["u1_h7"].to_numpy()[:2] == pytest.approx([2.0, 0.0])
    assert np.isnan(wide["u1_h5"].iloc[2]) and "u4_h5" not in wide, "currents are not voltages"


def test_ten_second_frequency_of_50_5_hz_cycles_from_a_cycles_table():
    # Crossings at (m + 0.3) / 50.5 s after 13:07:43.7: whole intervals hold
    # 504 cycles between their first and last crossing.
    m = np.arange(int(40 * 50.5))
    edges = (m + 0.3) / 50.5
    cycles = pd.DataFrame({"t_start": edges[:-1], "t_end": edges[1:], "valid": True})
    cycles.loc[1000, "valid"] = False  # 19.81 s after the start: inside 13:08:00 .. 13:08:10
    f = ten_second_frequency(cycles, START)
    whole = f[(f["t_start"] > START) & (f["t_start"] + pd.Timedelta(seconds=10) < START +
                                          pd.Timedelta(seconds=40))]
    assert len(whole) == 3
    assert whole["frequency"].to_numpy() == pytest.approx(50.5, abs=1e-3)
    flagged = whole.set_index("t_start")["flagged"]
    assert flagged[pd.Timestamp("2026-03-02 13:08:00")] and flagged.sum() == 1
    counts = whole.set_index("t_start")["cycles"]
    assert counts[pd.Timestamp("2026-03-02 13:07:50")] == 504
    assert counts[pd.Timestamp("2026-03-02 13:08:00")] == 503, "the invalid cycle is not counted"


def test_flicker_values_join_their_clock_intervals_unchanged():
    # 25 minutes from 13:07:43.7 at one window per 0.2 s; flicker intervals
    # on the recording's own 10-min grid start 0, 600 and 1200 s in.
    u = np.full(7500, 230.0)
    flicker = pd.DataFrame({"t_start": [0.0, 600.0, 1200.0], "t_end": [600.0, 1200.0, 1800.0],
                            "Pst_U1": [0.4, 0.9, 0.5], "complete_U1": True, "Plt_U1": [np.nan, np.nan, 0.7]})
    _, ten = aggregate(windows(u), START, pst=flicker)
    by_start = ten.set_index("t_start")["Pst_U1"]
    # 13:07:43.7 lies in 13:00, 13:17:43.7 in 13:10, 13:27:43.7 in 13:20.
    assert by_start[pd.Timestamp("2026-03-02 13:00")] == 0.4
    assert by_start[pd.Timestamp("2026-03-02 13:10")] == 0.9
    assert by_start[pd.Timestamp("2026-03-02 13:20")] == 0.5, "Pst is a 10-min value: not re-aggregated"
    two = aggregate_2h(ten, flicker=flicker, start_time=START)
    assert len(two) == 1 and two["Plt_U1"].iloc[0] == 0.7


def test_ten_second_frequency_of_windows_counts_their_whole_cycles():
    # Windows of 10 cycles at 50.5 Hz (198.02 ms), the one across 13:07:50
    # left out with all its cycles; a flagged window flags its interval.
    t = np.arange(150) * 10 / 50.5
    table = pd.DataFrame({"t_start": t, "t_end": t + 10 / 50.5, "frequency": 50.5, "valid": True})
    table.loc[100, "valid"] = False  # 19.8 s in: 13:08:03.5
    f = ten_second_frequency_of_windows(table, START, 10).set_index("t_start")
    whole = f.loc[pd.Timestamp("2026-03-02 13:07:50")]
    assert whole["frequency"] == pytest.approx(50.5, abs=1e-9)
    # 6.3 .. 16.3 s after the start holds windows 32 (6.337 s) to 81 (ending 16.238 s).
    assert whole["cycles"] == 500 and not whole["flagged"]
    assert f.loc[pd.Timestamp("2026-03-02 13:08:00"), "flagged"]
    with pytest.raises(ValueError, match="window_cycles"):
        ten_second_frequency_of_windows(table, START, 0)
