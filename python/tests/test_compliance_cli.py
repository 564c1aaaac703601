"""The ``powergpu compliance`` command on the output folder of an analysis of
the demo recording: the aggregate tables and compliance.json appear, the
blocks hold 15 windows, and missing inputs are named."""
import json

import pandas as pd
import pytest

from powergpu.cli import main


def test_compliance_command_writes_the_aggregates_and_the_verdict(tmp_path, capsys):
    out = tmp_path / "out"
    assert main(["analyze", "--demo", "--demo-seconds", "8", "-o", str(out), "-q",
                 "--tables", "windows,events,harmonics"]) == 0
    assert main(["compliance", str(out)]) == 1, "the demo has no start time of its own"
    assert "--start-time" in capsys.readouterr().err
    assert main(["compliance", str(out), "--start-time", "2026-03-02T13:09:55"]) == 0
    text = capsys.readouterr().out
    assert "EN 50160" in text and "frequency_99_5" in text
    short = pd.read_csv(out / "aggregates_3s.csv", parse_dates=["t_start", "t_end"])
    ten = pd.read_csv(out / "aggregates_10min.csv", parse_dates=["t_start"])
    windows = pd.read_csv(out / "windows.csv")
    # 13:10:00 lies 5 s into the recording: the windows before it and after
    # it form their own 10-min values and their own 3-s blocks.
    assert list(ten["t_start"]) == [pd.Timestamp("2026-03-02 13:00"), pd.Timestamp("2026-03-02 13:10")]
    assert ten["count"].sum() == len(windows) == short["count"].sum()
    assert short["count"].max() == 15
    assert {"u1_h5", "u1_under_deviation", "u2_ratio"} <= set(ten.columns)
    verdict = json.loads((out / "compliance.json").read_text())
    assert verdict["standard"] == "EN 50160" and len(verdict["periods"]) == 1
    assert verdict["harmonic_values"] == "spectrum"  # no iec_harmonics.csv in the folder
    ids = {c["id"] for c in verdict["periods"][0]["criteria"]}
    assert {"voltage_95", "thd", "harmonic_5", "harmonic_25", "unbalance", "dip_count"} <= ids


def test_compliance_command_names_a_folder_without_tables(tmp_path, capsys):
    assert main(["compliance", str(tmp_path), "--start-time", "2026-03-02", "--declared-voltage", "230"]) == 1
    assert "windows.csv" in capsys.readouterr().err
