"""Role mapping: automatic from COMTRADE phase fields, units and names;
explicit by name or index; clear errors otherwise."""
import numpy as np
import pytest

from powergpu.io import (RecordingError, map_channels, open_recording,
                         parse_channel_mapping, write_comtrade)
from powergpu.io.naming import classify_name, normalise_phase


def comtrade_with(tmp_path, chans, name="m"):
    data = np.ones((4, len(chans)))
    return open_recording(write_comtrade(tmp_path / name, data, 1000.0, chans, fmt="FLOAT32",
                                         rev=2013))


def csv_with(tmp_path, headers, name="m"):
    path = tmp_path / f"{name}.csv"
    path.write_text(",".join(headers) + "\n" + ",".join("1" for _ in headers) + "\n")
    return open_recording(path, sample_rate=1000.0)


@pytest.mark.parametrize("phases,pairs", [
    (["A", "B", "C"], ["AB", "BC", "CA"]),
    (["L1", "L2", "L3"], ["L1-L2", "L2-L3", "L3-L1"]),
    (["R", "S", "T"], ["RS", "ST", "TR"]),
    (["1", "2", "3"], ["12", "23", "31"]),
    (["an", "bn", "cn"], ["ab", "bc", "ca"]),
])
def test_auto_from_comtrade_phase_and_unit(tmp_path, phases, pairs):
    # names deliberately say nothing: the phase field and the unit decide
    chans = ([{"name": f"ch{i}", "unit": u, "phase": p}
              for i, (p, u) in enumerate(zip(phases, ["kV", "V", "mV"]))]
             + [{"name": f"ch{i + 3}", "unit": u, "phase": p}
                for i, (p, u) in enumerate(zip(phases, ["A", "kA", "mA"]))]
             + [{"name": f"ch{i + 6}", "unit": "kV", "phase": p} for i, p in enumerate(pairs)]
             + [{"name": "f", "unit": "Hz", "phase": "A"}])
    with comtrade_with(tmp_path, chans) as rec:
        assert map_channels(rec) == {"U1": 0, "U2": 1, "U3": 2, "I1": 3, "I2": 4, "I3": 5,
                                     "U12": 6, "U23": 7, "U31": 8}


@pytest.mark.parametrize("headers,expected", [
    (["time", "UA", "UB", "UC", "IA", "IB", "IC"],
     {"U1": 0, "U2": 1, "U3": 2, "I1": 3, "I2": 4, "I3": 5}),
    (["t", "Va", "Vb", "Vc", "Ia", "Ib", "Ic"],
     {"U1": 0, "U2": 1, "U3": 2, "I1": 3, "I2": 4, "I3": 5}),
    (["t", "IL1", "IL2", "IL3", "U_L1-N", "U_L2-N", "U_L3-N", "IN"],
     {"I1": 0, "I2": 1, "I3": 2, "U1": 3, "U2": 4, "U3": 5, "IN": 6}),
    (["t", "U12 [kV]", "U23 [kV]", "U31 [kV]"], {"U12": 0, "U23": 1, "U31": 2}),
    (["t", "BUS1 VA", "Phase B voltage", "Current C", "Vbus", "VAC"],
     {"U1": 0, "U2": 1, "I3": 2}),
    (["t", "Ua [A]"], {"I1": 0}),  # the unit overrides the name's letter
])
def test_auto_from_names(tmp_path, headers, expected):
    path = tmp_path / "n.csv"
    path.write_text(",".join(headers) + "\n" + "\n".join(
        ",".join([str(i / 1000)] + ["1"] * (len(headers) - 1)) for i in range(3)) + "\n")
    with open_recording(path) as rec:
        assert map_channels(rec) == expected


def test_first_of_duplicate_roles_wins(tmp_path):
    with csv_with(tmp_path, ["IA", "IA_bay2", "IB"]) as rec:
        assert map_channels(rec) == {"I1": 0, "I2": 2}


def test_explicit_mapping(tmp_path):
    with csv_with(tmp_path, ["VA", "x", "y", "Current3"]) as rec:
        # exact names, a case-insensitive name, an index; "u2"/"V3" spell roles loosely
        assert map_channels(rec, {"U1": "VA", "u2": "X", "V3": 2, "I1": 3}) == \
            {"U1": 0, "U2": 1, "U3": 2, "I1": 3}
        assert map_channels(rec, {"U1": "x"}, required=["U1"]) == {"U1": 1}


@pytest.mark.parametrize("mapping,fragment", [
    ({"U1": "nope"}, r"role U1: no channel named 'nope'; channels are: VA, x, Ab, AB"),
    ({"U1": 4}, r"role U1: channel index 4 out of range \(0\.\.3\)"),
    ({"U1": -1}, r"out of range"),
    ({"Q7": 0}, r"unknown channel role 'Q7'"),
    ({"U1": 1.5}, r"role U1: 1\.5 is neither a channel name nor an index"),
    ({"U1": True}, r"neither a channel name nor an index"),
    ({"U1": "ab"}, r"role U1: channel name 'ab' is ambiguous"),  # Ab and AB
])
def test_explicit_mapping_errors(tmp_path, mapping, fragment):
    with csv_with(tmp_path, ["VA", "x", "Ab", "AB"]) as rec:
        with pytest.raises(RecordingError, match=fragment) as info:
            map_channels(rec, mapping)
        assert str(info.value).startswith(str(rec.path) + ": ")


def test_required_roles_missing(tmp_path):
    with csv_with(tmp_path, ["VA", "VB", "misc"]) as rec:
        with pytest.raises(RecordingError, match=r"m\.csv: cannot resolve U3, I1 from channel "
                                                 r"phases, units and names"):
            map_channels(rec, required=["U1", "U3", "I1"])
        with pytest.raises(RecordingError, match=r"cannot resolve U2 from the mapping"):
            map_channels(rec, {"U1": 0}, required=["U1", "U2"])


def test_parse_channel_mapping():
    assert parse_channel_mapping("U1=VA, I1=3,U2='7' ,") == {"U1": "VA", "I1": 3, "U2": "7"}
    with pytest.raises(RecordingError, match="'U1' is not ROLE=CHANNEL"):
        parse_channel_mapping("U1")


@pytest.mark.parametrize("label,code", [
    ("A", "1"), ("l2", "2"), ("T", "3"), ("3", "3"), ("AB", "12"), ("L2-L3", "23"), ("TR", "31"),
    ("C-N", "3"), ("N", "N"), ("AC", None), ("", None), ("X", None), ("Phase B", "2")])
def test_normalise_phase(label, code):
    assert normalise_phase(label) == code


@pytest.mark.parametrize("name,result", [
    ("UA", ("voltage", "1")), ("vb", ("voltage", "2")), ("IL3", ("current", "3")),
    ("U23", ("voltage", "23")), ("In", ("current", "N")), ("Vbus", (None, None)),
    ("I_A rms", ("current", "1")), ("temperature", (None, None))])
def test_classify_name(name, result):
    assert classify_name(name) == result
