"""Records of several bays: every three-phase group is found, one is analysed at a time
(named, and the others named as ignored), or each into its own folder.  The bays carry
different levels (230/231/232 V, 10/20/30 A) so that a mix-up shows in the numbers."""
import json

import numpy as np
import pytest

from conftest import SQ2, run_cli
from powergpu.io import open_recording, write_comtrade
from powergpu.io.groups import _stem, find_groups

FS = 5760.0
LEVELS = {"GEN1": (230.0, 10.0), "GEN2": (231.0, 20.0), "GEN3": (232.0, 30.0)}


def bays(folder, levels=LEVELS, circuit=False, seconds=2.0):
    t = np.arange(int(seconds * FS)) / FS
    cols, chans = [], []
    for bay, (u, i) in levels.items():
        for quantity, amplitude, unit in (("V", u, "V"), ("I", i, "A")):
            if amplitude is None:
                continue
            for k, ph in enumerate("ABC"):
                cols.append(amplitude * SQ2 * np.sin(2 * np.pi * 50 * t - 2 * np.pi * k / 3))
                name = f"{quantity}{ph}" if circuit else f"{bay} {quantity}{ph}"
                chans.append({"name": name, "unit": unit, "circuit": bay if circuit else ""})
    return write_comtrade(folder / "bays", np.column_stack(cols), FS, chans, fmt="FLOAT32")


@pytest.mark.parametrize("name, stem", [("GEN1 VA", "GEN1"), ("IA_GEN1", "GEN1"),
                                        ("GEN1 V A", "GEN1"), ("Feeder 3 IC", "Feeder 3"),
                                        ("T1 HV VA", "T1 HV"), ("UL1", ""), ("Voltage A", "")])
def test_a_channel_belongs_to_the_bay_its_name_says(name, stem):
    assert _stem(name) == stem


@pytest.mark.parametrize("circuit", [False, True])
def test_groups_by_name_or_by_circuit_field(tmp_path, circuit):
    with open_recording(bays(tmp_path, circuit=circuit)) as rec:
        groups = find_groups(rec)
        assert [g.name for g in groups] == ["GEN1", "GEN2", "GEN3"]
        for n, g in enumerate(groups):
            assert g.roles == {r: 6 * n + k for k, r in enumerate(
                ("U1", "U2", "U3", "I1", "I2", "I3"))}


def test_feeders_take_the_busbar_voltages(tmp_path):
    levels = {"BUS": (230.0, None), "F1": (None, 10.0), "F2": (None, 20.0)}
    with open_recording(bays(tmp_path, levels)) as rec:
        groups = find_groups(rec)
    assert [g.label for g in groups] == ["F1 (voltages of BUS)", "F2 (voltages of BUS)"]
    assert groups[1].roles == {"U1": 0, "U2": 1, "U3": 2, "I1": 6, "I2": 7, "I3": 8}


def test_one_circuit_is_no_group(tmp_path):
    with open_recording(bays(tmp_path, {"GEN1": (230.0, 10.0)})) as rec:
        assert find_groups(rec) == []


def _phase1(folder):
    s = json.loads((folder / "summary.json").read_text())
    return s["phases"][0]["rms"], s["phases"][0]["i_rms"], s["input"]["group"]


def test_info_and_analyze_name_the_groups(native, tmp_path):
    cfg = bays(tmp_path)
    proc = run_cli("info", cfg)
    assert proc.returncode == 0, proc.stderr
    assert "3 three-phase groups" in proc.stdout
    assert "GEN2: U1=GEN2 VA, U2=GEN2 VB, U3=GEN2 VC, I1=GEN2 IA" in proc.stdout

    proc = run_cli("analyze", cfg, "-o", tmp_path / "first")
    assert proc.returncode == 0, proc.stderr
    assert "analysing GEN1, ignoring GEN2, GEN3" in proc.stderr
    assert "[GEN1]" in proc.stdout
    assert _phase1(tmp_path / "first") == (pytest.approx(230.0, abs=1e-3),
                                           pytest.approx(10.0, abs=1e-4), "GEN1")

    proc = run_cli("analyze", cfg, "-o", tmp_path / "second", "--group", "gen2", "-q")
    assert proc.returncode == 0, proc.stderr
    assert _phase1(tmp_path / "second")[:2] == (pytest.approx(231.0, abs=1e-3),
                                                pytest.approx(20.0, abs=1e-4))

    proc = run_cli("analyze", cfg, "-o", tmp_path / "all", "--all-groups", "-q")
    assert proc.returncode == 0, proc.stderr
    for bay, (u, i) in LEVELS.items():
        assert _phase1(tmp_path / "all" / bay) == (pytest.approx(u, abs=1e-3),
                                                   pytest.approx(i, abs=1e-4), bay)


@pytest.mark.parametrize("args, fragment", [
    (["--group", "GEN9"], "no group named 'GEN9'; groups are: GEN1, GEN2, GEN3"),
    (["--group", "GEN1", "--channels", "U1=0"], "--group and --channels exclude each other")])
def test_unknown_or_conflicting_group(native, tmp_path, args, fragment):
    proc = run_cli("analyze", bays(tmp_path), "-o", tmp_path / "out", *args)
    assert proc.returncode == 1 and fragment in proc.stderr, proc.stderr
