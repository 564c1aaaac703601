"""Hand-made COMTRADE files whose expected values are worked out by hand:
primary/secondary conversion, the b offset, missing-value markers, samp = 0
with time stamps, the 1991 and 2013 layouts, and real-world text quirks.
Values are compared to 1e-12 relative (pure float64 arithmetic)."""
from datetime import datetime

import numpy as np
import pytest

from powergpu.io import RecordingError, open_recording

REL = 1e-12


def write_pair(tmp_path, cfg: str, dat, name: str = "rec"):
    cfg_path = tmp_path / f"{name}.cfg"
    cfg_path.write_bytes(cfg.encode("latin-1"))
    (tmp_path / f"{name}.dat").write_bytes(dat if isinstance(dat, bytes) else dat.encode())
    return cfg_path


def binary_records(fmt: str, analog, stamps=None, digital_words=None) -> bytes:
    analog = np.asarray(analog)
    n, k = analog.shape
    words = np.zeros((n, 0)) if digital_words is None else np.asarray(digital_words)
    dtype = np.dtype([("n", "<u4"), ("t", "<u4"),
                      ("a", {"BINARY": "<i2", "BINARY32": "<i4", "FLOAT32": "<f4"}[fmt], (k,)),
                      ("d", "<u2", (words.shape[1],))])
    rec = np.zeros(n, dtype)
    rec["n"] = np.arange(1, n + 1)
    rec["t"] = np.arange(n) * 1000 if stamps is None else stamps
    rec["a"] = analog
    rec["d"] = words
    return rec.tobytes()


SCALING_CFG = """Sub A,Relay 7,1999
3,2A,1D
1,VA,A,Bay1,kV,0.5,10,0,-32767,32767,20,0.1,P
2,IA,A,Bay1,A,0.01,-0.5,0,-32767,32767,600,5,S
1,TRIP,,,0
50
1
1000,3
04/05/2020,06:07:08.123456
04/05/2020,06:07:08.223456
ASCII
1
"""
SCALING_DAT = "1,0,0,100,0\n2,1000,2,150,1\n3,2000,-4,0,0\n"


class TestScaling:
    def test_primary_values(self, tmp_path):
        with open_recording(write_pair(tmp_path, SCALING_CFG, SCALING_DAT)) as rec:
            # VA: (0.5*x + 10) kV primary -> V;  IA: (0.01*x - 0.5) A secondary * 600/5
            expected = np.array([[10e3, 0.5 * 120], [11e3, 1.0 * 120], [8e3, -0.5 * 120]])
            np.testing.assert_allclose(rec.read(), expected, rtol=REL)
            assert rec.metadata["values"] == "primary"
            va, ia = rec.channels
            assert (va.unit, va.source_unit, va.kind, va.phase, va.circuit) == \
                ("V", "kV", "voltage", "A", "Bay1")
            assert (va.a, va.b, va.primary, va.secondary, va.ps) == (0.5, 10.0, 20.0, 0.1, "P")
            assert (ia.unit, ia.kind, ia.ps) == ("A", "current", "S")
            assert rec.start_time == datetime(2020, 5, 4, 6, 7, 8, 123456)
            assert rec.metadata["trigger_time"] == datetime(2020, 5, 4, 6, 7, 8, 223456)
            assert rec.metadata["station"] == "Sub A" and rec.metadata["device"] == "Relay 7"
            assert rec.metadata["digital_channels"] == ["TRIP"]

    def test_secondary_values(self, tmp_path):
        path = write_pair(tmp_path, SCALING_CFG, SCALING_DAT)
        with open_recording(path, use_primary=False) as rec:
            # VA stored primary: * 0.1/20;  IA stored secondary: unchanged
            expected = np.array([[10e3 * 0.005, 0.5], [11e3 * 0.005, 1.0], [8e3 * 0.005, -0.5]])
            np.testing.assert_allclose(rec.read(), expected, rtol=REL)

    def test_conversion_needs_valid_ratio(self, tmp_path):
        cfg = SCALING_CFG.replace("600,5,S", "0,5,S")
        path = write_pair(tmp_path, cfg, SCALING_DAT)
        with open_recording(path, use_primary=False) as rec:  # no conversion needed: fine
            assert rec.read()[0, 1] == pytest.approx(0.5, rel=REL)
        with pytest.raises(RecordingError, match=r"rec\.cfg: line 4: .*cannot convert"):
            open_recording(path)


class TestMissingValues:
    @pytest.mark.parametrize("fmt,marker,limit", [("BINARY", -32768, 32767),
                                                  ("BINARY32", -2**31, 2**31 - 1)])
    def test_binary_markers_are_nan(self, tmp_path, fmt, marker, limit):
        cfg = SCALING_CFG.replace("ASCII", fmt).replace("1000,3", "1000,4").replace(
            "3,2A,1D", "2,2A,0D").replace("1,TRIP,,,0\n", "")
        raw = [[marker, 0], [-limit, marker], [limit, 7], [marker, marker]]
        with open_recording(write_pair(tmp_path, cfg, binary_records(fmt, raw))) as rec:
            got = rec.read()
            np.testing.assert_array_equal(np.isnan(got), [[1, 0], [0, 1], [0, 0], [1, 1]])
            assert got[1, 0] == pytest.approx((0.5 * -limit + 10) * 1e3, rel=REL)
            assert got[2, 1] == pytest.approx((0.01 * 7 - 0.5) * 120, rel=REL)

    def test_float32_nan_passes_through(self, tmp_path):
        cfg = SCALING_CFG.replace("ASCII", "FLOAT32").replace("1000,3", "1000,2").replace(
            "3,2A,1D", "2,2A,0D").replace("1,TRIP,,,0\n", "")
        raw = np.array([[np.nan, 2.0], [4.0, np.nan]], dtype=np.float32)
        with open_recording(write_pair(tmp_path, cfg, binary_records("FLOAT32", raw))) as rec:
            got = rec.read()
            np.testing.assert_array_equal(np.isnan(got), [[1, 0], [0, 1]])
            assert got[1, 0] == pytest.approx(12e3, rel=REL)

    def test_ascii_blank_and_99999_are_nan(self, tmp_path):
        dat = "1,0,,100,0\n2,1000,99999,150,1\n3,2000,-4, ,0\n"
        with open_recording(write_pair(tmp_path, SCALING_CFG, dat)) as rec:
            got = rec.read()
            np.testing.assert_array_equal(np.isnan(got), [[1, 0], [1, 0], [0, 1]])
            assert got[2, 0] == pytest.approx(8e3, rel=REL)

    def test_digital_words_do_not_shift_analog_values(self, tmp_path):
        # 17 digital channels -> two status words per record
        digital_lines = "".join(f"{k},D{k},,,0\n" for k in range(1, 18))
        cfg = SCALING_CFG.replace("3,2A,1D", "19,2A,17D").replace("1,TRIP,,,0\n", digital_lines)
        cfg = cfg.replace("ASCII", "BINARY")
        raw = [[1, 2], [3, 4], [5, 6]]
        data = binary_records("BINARY", raw, digital_words=[[0xFFFF, 1]] * 3)
        with open_recording(write_pair(tmp_path, cfg, data)) as rec:
            np.testing.assert_allclose(rec.read()[:, 0], [(0.5 * x + 10) * 1e3 for x in (1, 3, 5)],
                                       rtol=REL)


SAMP0_CFG = """S,D,1999
1,1A,0D
1,UA,A,,V,1,0,0,-32767,32767,1,1,P
50
0
0,{n}
01/01/2020,00:00:00.000000
01/01/2020,00:00:00.000000
{ft}
{mult}
"""


class TestTimestampRate:
    def test_uniform_stamps_give_rate(self, tmp_path):
        dat = "".join(f"{i + 1},{i * 250},{i}\n" for i in range(40))
        with open_recording(write_pair(tmp_path, SAMP0_CFG.format(n=40, ft="ASCII", mult=1),
                                       dat)) as rec:
            assert rec.sample_rate == pytest.approx(4000.0, rel=REL)
            assert rec.n_samples == 40

    def test_rounded_stamps_and_time_multiplier(self, tmp_path):
        # 4800 Hz in 0.5 us units (timemult 0.5): stamps are rounded to whole units.
        # The least-squares rate is good to (rounding / duration) / sqrt(n) ~ 1e-7.
        stamps = np.rint(np.arange(500) / 4800 * 2e6).astype(np.uint32)
        data = binary_records("BINARY", np.zeros((500, 1)), stamps=stamps)
        cfg = SAMP0_CFG.format(n=500, ft="BINARY", mult=0.5)
        with open_recording(write_pair(tmp_path, cfg, data)) as rec:
            assert rec.sample_rate == pytest.approx(4800.0, rel=1e-6)

    def test_nanosecond_stamps(self, tmp_path):
        # 2013 files with nine fraction digits count data time stamps in ns
        cfg = SAMP0_CFG.format(n=10, ft="ASCII", mult=1).replace("1999", "2013").replace(
            "00:00:00.000000", "00:00:00.000000000")
        dat = "".join(f"{i + 1},{i * 100_000},{i}\n" for i in range(10))
        with open_recording(write_pair(tmp_path, cfg, dat)) as rec:
            assert rec.sample_rate == pytest.approx(10_000.0, rel=REL)

    def test_irregular_stamps_are_refused(self, tmp_path):
        stamps = list(range(0, 40 * 250, 250))
        stamps[20] += 100  # 40 % of a period late
        dat = "".join(f"{i + 1},{s},{i}\n" for i, s in enumerate(stamps))
        path = write_pair(tmp_path, SAMP0_CFG.format(n=40, ft="ASCII", mult=1), dat)
        with pytest.raises(RecordingError, match=r"rec\.dat: sampling is not uniform: sample 21"):
            open_recording(path)
        with open_recording(path, sample_rate=4000.0) as rec:  # an explicit rate overrides
            assert rec.sample_rate == 4000.0

    def test_missing_stamps_are_refused(self, tmp_path):
        stamps = np.arange(10, dtype=np.uint32) * 250
        stamps[4] = 0xFFFFFFFF
        data = binary_records("BINARY", np.zeros((10, 1)), stamps=stamps)
        path = write_pair(tmp_path, SAMP0_CFG.format(n=10, ft="BINARY", mult=1), data)
        with pytest.raises(RecordingError, match="sample 5 has no usable time stamp"):
            open_recording(path)

    def test_no_rate_line_lets_data_decide_length(self, tmp_path):
        cfg = SAMP0_CFG.format(n=0, ft="BINARY", mult=1).replace("0\n0,0\n", "0\n")
        data = binary_records("BINARY", np.zeros((25, 1)), stamps=np.arange(25) * 500)
        with open_recording(write_pair(tmp_path, cfg, data)) as rec:
            assert rec.n_samples == 25
            assert rec.sample_rate == pytest.approx(2000.0, rel=REL)


class TestLayouts:
    def test_1991_layout(self, tmp_path):
        cfg = ("OLD STATION,17\n2,1A,1D\n1,IA,A,,A,2,1,0,-2047,2047\n1,BRK,0\n60\n1\n"
               "1200,3\n05/04/97,06:07:08.000000\n05/04/97,06:07:08.000000\nASCII\n")
        with open_recording(write_pair(tmp_path, cfg, "1,0,5,1\n2,833,6,0\n3,1667,7,0\n")) as rec:
            np.testing.assert_allclose(rec.read()[:, 0], [11, 13, 15], rtol=REL)
            assert rec.metadata["revision"] == 1991
            assert rec.start_time == datetime(1997, 5, 4, 6, 7, 8)  # mm/dd/yy
            assert rec.nominal_frequency == 60.0 and rec.sample_rate == 1200.0

    def test_2013_tail_lines(self, tmp_path):
        cfg = SCALING_CFG.replace("1999", "2013") + "-5h30,x\nA,1\n"
        with open_recording(write_pair(tmp_path, cfg, SCALING_DAT)) as rec:
            md = rec.metadata
            assert (md["time_code"], md["local_code"], md["time_quality"], md["leap_second"]) == \
                ("-5h30", "x", "A", 1)

    def test_several_rate_lines_with_one_rate(self, tmp_path):
        cfg = SCALING_CFG.replace("1\n1000,3\n", "2\n1000,2\n1000,3\n")
        with open_recording(write_pair(tmp_path, cfg, SCALING_DAT)) as rec:
            assert rec.n_samples == 3 and rec.sample_rate == 1000.0

    def test_text_quirks(self, tmp_path):
        # BOM, CRLF, Latin-1 station name, trailing commas, blank lines, DOS EOF mark
        cfg = "\ufeff" + SCALING_CFG.replace("Sub A", "Sübstation").replace(
            "1,TRIP,,,0", "1,TRIP,,,0,,").replace("\n", "\r\n")
        dat = b"1,0,0,100,0\r\n\r\n2,1000,2,150,1,\r\n   \r\n3,2000,-4,0,0\r\n\x1a"
        path = tmp_path / "rec.cfg"
        path.write_bytes(cfg.encode("utf-8"))
        (tmp_path / "rec.dat").write_bytes(dat)
        with open_recording(path) as rec:
            assert rec.metadata["station"] == "Sübstation"
            np.testing.assert_allclose(rec.read()[:, 0], [10e3, 11e3, 8e3], rtol=REL)
        path.write_bytes(cfg[1:].encode("latin-1"))
        with open_recording(path) as rec:
            assert rec.metadata["station"] == "Sübstation"
        with open_recording(path, encoding="cp1252") as rec:
            assert rec.metadata["station"] == "Sübstation"

    def test_open_by_data_file_and_upper_case_suffix(self, tmp_path):
        (tmp_path / "REC.CFG").write_text(SCALING_CFG)
        (tmp_path / "REC.DAT").write_text(SCALING_DAT)
        for target in ("REC.CFG", "REC.DAT"):
            with open_recording(tmp_path / target) as rec:
                assert rec.n_samples == 3

    def test_more_data_than_declared_is_ignored(self, tmp_path):
        path = write_pair(tmp_path, SCALING_CFG, SCALING_DAT + "4,3000,9,9,0\n")
        with open_recording(path) as rec:
            assert rec.n_samples == 3

    def test_cff_with_ascii_data_reports_cff_line_numbers(self, tmp_path):
        cfg = SCALING_CFG.replace("1999", "2013")
        body = ("--- file type: CFG ---\n" + cfg + "--- file type: INF ---\n[Public]\n"
                "--- file type: HDR ---\nsome notes\n--- file type: DAT ASCII ---\n"
                "1,0,0,100,0\n2,1000,2,x,1\n3,2000,-4,0,0\n")
        path = tmp_path / "one.cff"
        path.write_text(body)
        with open_recording(path) as rec:
            assert rec.metadata["hdr"] == "some notes\n"
            assert rec.metadata["inf"] == "[Public]\n"
            line = body.splitlines().index("2,1000,2,x,1") + 1
            with pytest.raises(RecordingError, match=rf"one\.cff: line {line}: field 4 \(IA\)"):
                rec.read()
