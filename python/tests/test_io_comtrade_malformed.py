"""Every malformed COMTRADE file gives a RecordingError -- never another
exception type -- whose message starts with the file's path and, for text,
names the line and what is wrong."""
import re

import numpy as np
import pytest

from powergpu.io import RecordingError, open_recording

BASE = [
    "Station,Dev,1999",                                     # 1
    "3,2A,1D",                                              # 2
    "1,VA,A,,kV,0.5,10,0,-32767,32767,20,0.1,P",            # 3
    "2,IA,A,,A,0.01,-0.5,0,-32767,32767,600,5,S",           # 4
    "1,TRIP,,,0",                                           # 5
    "50",                                                   # 6
    "1",                                                    # 7
    "1000,3",                                               # 8
    "04/05/2020,06:07:08.123456",                           # 9
    "04/05/2020,06:07:08.223456",                           # 10
    "ASCII",                                                # 11
    "1",                                                    # 12
]
GOOD_DAT = "1,0,0,100,0\n2,1000,2,150,1\n3,2000,-4,0,0\n"


def expect_error(path, line, fragment, opener=open_recording):
    with pytest.raises(RecordingError) as info:
        rec = opener(path)
        rec.read()  # text data is parsed lazily
    err = info.value
    assert type(err) is RecordingError
    msg = str(err)
    assert msg.startswith(str(path) + ": "), msg
    if line is not None:
        assert f": line {line}: " in msg, msg
        assert err.line == line
    assert re.search(fragment, msg), msg
    return err


def make(tmp_path, lines, dat=GOOD_DAT, name="bad"):
    cfg = tmp_path / f"{name}.cfg"
    cfg.write_text("\n".join(lines) + "\n")
    (tmp_path / f"{name}.dat").write_bytes(dat if isinstance(dat, bytes) else dat.encode())
    return cfg


def replaced(index, text):
    lines = list(BASE)
    lines[index - 1] = text
    return lines


CFG_CASES = [
    (replaced(1, "S,D,1998"), 1, "unknown revision year '1998'"),
    (replaced(2, "3,2A,2D"), 2, "channel counts disagree"),
    (replaced(2, "3,2,1"), 2, "must look like 3A and 1D"),
    (replaced(2, "3,2A"), 2, "2 fields, expected TT,##A,##D"),
    (replaced(2, "x,2A,1D"), 2, "total channel count is not an integer"),
    (replaced(3, "1,VA,A,,kV,0.5,10,0,-32767,32767,20"), 3, "11 fields, expected 13"),
    (replaced(3, "1,VA,A,,kV,abc,10,0,-32767,32767,20,0.1,P"), 3, "multiplier a is not a number"),
    (replaced(3, "1,VA,A,,kV,,10,0,-32767,32767,20,0.1,P"), 3, "multiplier a is empty"),
    (replaced(3, "1,VA,A,,kV,nan,10,0,-32767,32767,20,0.1,P"), 3, "multiplier a is not finite"),
    (replaced(3, "1,VA,A,,kV,0.5,10,0,-32767,32767,20,0.1,X"), 3, "PS field must be P or S"),
    (replaced(3, "one,VA,A,,kV,0.5,10,0,-32767,32767,20,0.1,P"), 3, "channel number is not an int"),
    (replaced(4, "2,IA,A,,A,0.01,-0.5,0,low,32767,600,5,S"), 4, "min is not a number"),
    (replaced(5, "1,TRIP,,,2"), 5, "normal state 2 out of range"),
    (replaced(5, "1,TRIP"), 5, "digital channel line has 2 fields"),
    (replaced(6, "fifty"), 6, "line frequency is not a number"),
    (replaced(7, "one"), 7, "number of sampling rates is not an integer"),
    (replaced(8, "-1000,3"), 8, "sampling rate -1000 is negative"),
    (replaced(8, "1000"), 8, "expected samp,endsamp"),
    (replaced(8, "1000,x"), 8, "last sample number is not an integer"),
    (BASE[:6] + ["2", "1000,2", "2000,3"] + BASE[8:], 9,
     r"several sampling rates \(1000 Hz and 2000 Hz\)"),
    (BASE[:6] + ["2", "1000,3", "1000,2"] + BASE[8:], 9, "below the previous one"),
    (replaced(9, "2020-05-04 06:07"), 9, "invalid date/time"),
    (replaced(10, "32/13/2020,06:07:08.0"), 10, "invalid date/time"),
    (replaced(11, "BINARY16"), 11, "unknown data file type 'BINARY16'"),
    (replaced(12, "0"), 12, "time multiplier 0 must be positive"),
    (replaced(12, "x"), 12, "time multiplier is not a number"),
    (BASE[:4], 5, "missing digital channel line"),
    (BASE[:10], 11, "missing data file type line"),
    (BASE[:7], 8, r"missing sampling rate \(samp,endsamp\) line"),
    ([], 1, "missing station name"),
    (replaced(1, "S,D,2013") + ["abc,0"], 13, "time_code 'abc' is not an offset"),
    (replaced(1, "S,D,2013") + ["0,0", "Z,0"], 14, "tmq_code 'Z' is not one hexadecimal"),
    (replaced(1, "S,D,2013") + ["0,0", "A,7"], 14, "leapsec 7 out of range"),
]


@pytest.mark.parametrize("lines,line,fragment", CFG_CASES,
                         ids=[c[2][:30] for c in CFG_CASES])
def test_bad_configuration(tmp_path, lines, line, fragment):
    path = make(tmp_path, lines)
    expect_error(path, line, fragment)


class TestBadData:
    def test_non_numeric_ascii_field(self, tmp_path):
        make(tmp_path, BASE, "1,0,0,100,0\n2,1000,2.5x,150,1\n3,2000,-4,0,0\n")
        expect_error(tmp_path / "bad.dat", 2, r"field 3 \(VA\) is not a number: '2\.5x'",
                     lambda p: open_recording(tmp_path / "bad.cfg"))

    def test_wrong_field_count(self, tmp_path):
        path = make(tmp_path, BASE, "1,0,0,100,0\n2,1000,2,150,1\n3,2000,-4,0\n")
        with pytest.raises(RecordingError, match=r"bad\.dat: line 3: expected 5 fields, found 4"):
            open_recording(path).read()

    def test_truncated_ascii(self, tmp_path):
        path = make(tmp_path, BASE, "1,0,0,100,0\n\n2,1000,2,150,1\n")
        with pytest.raises(RecordingError,
                           match=r"bad\.dat: line 3: truncated data: configuration declares "
                                 r"3 samples but the data has only 2 lines"):
            open_recording(path)

    def test_truncated_binary(self, tmp_path):
        lines = replaced(11, "BINARY")
        rec = np.zeros(3, [("n", "<u4"), ("t", "<u4"), ("a", "<i2", (2,)), ("d", "<u2", (1,))])
        path = make(tmp_path, lines, rec.tobytes()[:-5])
        with pytest.raises(RecordingError,
                           match=r"bad\.dat: truncated data: configuration declares 3 samples "
                                 r"\(42 bytes of 14-byte BINARY records\) but only 37 bytes"):
            open_recording(path)

    def test_binary_size_not_whole_records_when_length_unknown(self, tmp_path):
        lines = replaced(11, "BINARY32")
        lines[6:8] = ["0"]  # nrates 0 and no rate line: the data decides the length
        path = make(tmp_path, lines, bytes(20 * 3 + 7))
        with pytest.raises(RecordingError, match=r"bad\.dat: data size 67 bytes is not a whole"):
            open_recording(path)

    def test_overlong_line(self, tmp_path):
        path = make(tmp_path, BASE, "1," + "0" * (5 << 20) + "\n")
        expect_error(tmp_path / "bad.dat", 1, "line longer than 4 MiB",
                     lambda p: open_recording(path))


class TestMissingFiles:
    def test_no_data_file(self, tmp_path):
        path = make(tmp_path, BASE)
        (tmp_path / "bad.dat").unlink()
        expect_error(path, None, r"data file \(\.dat\) not found")

    def test_no_configuration_file(self, tmp_path):
        make(tmp_path, BASE)
        (tmp_path / "bad.cfg").unlink()
        expect_error(tmp_path / "bad.dat", None, r"configuration file \(\.cfg\) not found")

    def test_no_such_file(self, tmp_path):
        expect_error(tmp_path / "nothing.cfg", None, "file not found")

    def test_unknown_extension(self, tmp_path):
        path = tmp_path / "rec.xyz"
        path.write_text("1,2,3\n")
        expect_error(path, None, r"unknown recording type '\.xyz'")


CFG_2013 = "\n".join(replaced(1, "S,D,2013")) + "\n"


def write_cff(tmp_path, text: str, data: bytes = b""):
    path = tmp_path / "bad.cff"
    path.write_bytes(text.encode() + data)
    return path


class TestBadCff:
    def test_no_cfg_section(self, tmp_path):
        path = write_cff(tmp_path, "--- file type: DAT ASCII ---\n" + GOOD_DAT)
        expect_error(path, None, "no '--- file type: CFG ---' section")

    def test_no_dat_section(self, tmp_path):
        path = write_cff(tmp_path, "--- file type: CFG ---\n" + CFG_2013)
        expect_error(path, None, r"no '--- file type: DAT \.\.\. ---' section")

    def test_text_before_first_section(self, tmp_path):
        path = write_cff(tmp_path, "hello\n--- file type: CFG ---\n" + CFG_2013)
        expect_error(path, 1, "expected a section marker")

    def test_unknown_section(self, tmp_path):
        path = write_cff(tmp_path, "--- file type: CFG ---\n" + CFG_2013 +
                         "--- file type: XYZ ---\n")
        expect_error(path, 14, "unknown section type 'XYZ'")

    def test_unknown_data_keyword(self, tmp_path):
        path = write_cff(tmp_path, "--- file type: CFG ---\n" + CFG_2013 +
                         "--- file type: DAT HEX ---\n")
        expect_error(path, 14, "DAT section must say ASCII or BINARY, found 'HEX'")

    def test_binary_length_beyond_file(self, tmp_path):
        cfg = CFG_2013.replace("ASCII", "BINARY")
        path = write_cff(tmp_path, "--- file type: CFG ---\n" + cfg +
                         "--- file type: DAT BINARY: 42 ---\n", bytes(40))
        expect_error(path, 14, "truncated data: DAT section declares 42 bytes but only 40")

    def test_binary_section_for_ascii_configuration(self, tmp_path):
        path = write_cff(tmp_path, "--- file type: CFG ---\n" + CFG_2013 +
                         "--- file type: DAT BINARY: 42 ---\n", bytes(42))
        expect_error(path, 14, "DAT section is binary but the configuration says ASCII")

    def test_configuration_error_counts_cff_lines(self, tmp_path):
        cfg = CFG_2013.replace("\n50\n", "\nfifty\n")
        path = write_cff(tmp_path, "--- file type: INF ---\nabc\n--- file type: CFG ---\n" + cfg +
                         "--- file type: DAT ASCII ---\n" + GOOD_DAT)
        expect_error(path, 9, "line frequency is not a number")
