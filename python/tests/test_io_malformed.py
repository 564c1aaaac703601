"""Every malformed COMTRADE file gives a RecordingError -- never another exception type --
whose message starts with the file's path and, for text, names the line and the fault."""
import re

import numpy as np
import pytest

from conftest import CFG, CFG_LINES, DAT, binary_records
from powergpu.io import RecordingError, open_recording


def replaced(number, text, lines=CFG_LINES):
    return lines[:number - 1] + [text] + lines[number:]


REV_2013 = replaced(1, "S,D,2013")
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
    (CFG_LINES[:6] + ["2", "1000,2", "2000,3"] + CFG_LINES[8:], 9,
     r"several sampling rates \(1000 Hz and 2000 Hz\)"),
    (CFG_LINES[:6] + ["2", "1000,3", "1000,2"] + CFG_LINES[8:], 9, "below the previous one"),
    (replaced(9, "2020-05-04 06:07"), 9, "invalid date/time"),
    (replaced(10, "32/13/2020,06:07:08.0"), 10, "invalid date/time"),
    (replaced(11, "BINARY16"), 11, "unknown data file type 'BINARY16'"),
    (replaced(12, "0"), 12, "time multiplier 0 must be positive"),
    (replaced(12, "x"), 12, "time multiplier is not a number"),
    (CFG_LINES[:4], 5, "missing digital channel line"),
    (CFG_LINES[:10], 11, "missing data file type line"),
    (CFG_LINES[:7], 8, r"missing sampling rate \(samp,endsamp\) line"),
    ([], 1, "missing station name"),
    (REV_2013 + ["abc,0"], 13, "time_code 'abc' is not an offset"),
    (REV_2013 + ["0,0", "Z,0"], 14, "tmq_code 'Z' is not one hexadecimal"),
    (REV_2013 + ["0,0", "A,7"], 14, "leapsec 7 out of range"),
]
CFF = "--- file type: CFG ---\n" + "\n".join(REV_2013) + "\n"
SAMP0 = "\n".join(CFG_LINES[:6] + ["0", "0,40"] + CFG_LINES[8:]).replace("3,2A,1D", "2,2A,0D") \
    .replace("1,TRIP,,,0\n", "").replace("ASCII", "BINARY") + "\n"
STAMPS = np.arange(40) * 1000
STAMPS[20] += 400  # 40 % of a period late
HOLE = np.arange(40, dtype=np.uint32) * 1000
HOLE[4] = 0xFFFFFFFF
FILE_CASES = [  # files, file opened, file named, line, message
    ({"rec.dat": "1,0,0,100,0\n2,1000,2.5x,150,1\n3,2000,-4,0,0\n"}, "rec.cfg", "rec.dat", 2,
     r"field 3 \(VA\) is not a number: '2\.5x'"),
    ({"rec.dat": "1,0,0,100,0\n2,1000,2,150,1\n3,2000,-4,0\n"}, "rec.cfg", "rec.dat", 3,
     "expected 5 fields, found 4"),
    ({"rec.dat": "1,0,0,100,0\n\n2,1000,2,150,1\n"}, "rec.cfg", "rec.dat", 3,
     "truncated data: configuration declares 3 samples but the data has only 2 lines"),
    ({"rec.cfg": CFG.replace("ASCII", "BINARY"),
      "rec.dat": binary_records("BINARY", np.zeros((3, 2)), words=np.zeros((3, 1)))[:-5]},
     "rec.cfg", "rec.dat", None, r"truncated data: configuration declares 3 samples "
     r"\(42 bytes of 14-byte BINARY records\) but only 37 bytes"),
    ({"rec.cfg": CFG.replace("ASCII", "BINARY32").replace("1\n1000,3\n", "0\n"),
      "rec.dat": bytes(67)}, "rec.cfg", "rec.dat", None, "data size 67 bytes is not a whole"),
    ({"rec.dat": "1," + "0" * (5 << 20) + "\n"}, "rec.cfg", "rec.dat", 1,
     "line longer than 4 MiB"),
    ({"rec.cfg": SAMP0, "rec.dat": binary_records("BINARY", np.zeros((40, 2)), stamps=STAMPS)},
     "rec.cfg", "rec.dat", None, "sampling is not uniform: sample 21"),
    ({"rec.cfg": SAMP0.replace("0,40", "0,10"),
      "rec.dat": binary_records("BINARY", np.zeros((10, 2)), stamps=HOLE[:10])},
     "rec.cfg", "rec.dat", None, "sample 5 has no usable time stamp"),
    ({"rec.dat": None}, "rec.cfg", "rec.cfg", None, r"data file \(\.dat\) not found"),
    ({"rec.cfg": None}, "rec.dat", "rec.dat", None, r"configuration file \(\.cfg\) not found"),
    ({}, "nothing.cfg", "nothing.cfg", None, "file not found"),
    ({"rec.xyz": "1,2,3\n"}, "rec.xyz", "rec.xyz", None, r"unknown recording type '\.xyz'"),
    ({"x.cff": "--- file type: DAT ASCII ---\n" + DAT}, "x.cff", "x.cff", None,
     "no '--- file type: CFG ---' section"),
    ({"x.cff": CFF}, "x.cff", "x.cff", None, r"no '--- file type: DAT \.\.\. ---' section"),
    ({"x.cff": "hello\n" + CFF}, "x.cff", "x.cff", 1, "expected a section marker"),
    ({"x.cff": CFF + "--- file type: XYZ ---\n"}, "x.cff", "x.cff", 14,
     "unknown section type 'XYZ'"),
    ({"x.cff": CFF + "--- file type: DAT HEX ---\n"}, "x.cff", "x.cff", 14,
     "DAT section must say ASCII or BINARY, found 'HEX'"),
    ({"x.cff": CFF.replace("ASCII", "BINARY").encode() + b"--- file type: DAT BINARY: 42 ---\n"
      + bytes(40)}, "x.cff", "x.cff", 14,
     "truncated data: DAT section declares 42 bytes but only 40"),
    ({"x.cff": CFF.encode() + b"--- file type: DAT BINARY: 42 ---\n" + bytes(42)}, "x.cff",
     "x.cff", 14, "DAT section is binary but the configuration says ASCII"),
    ({"x.cff": "--- file type: INF ---\nabc\n" + CFF.replace("\n50\n", "\nfifty\n") +
      "--- file type: DAT ASCII ---\n" + DAT}, "x.cff", "x.cff", 9,
     "line frequency is not a number"),
]


def expect_error(path, named, line, fragment):
    with pytest.raises(RecordingError) as info:
        open_recording(path).read()  # text data is parsed lazily
    err, msg = info.value, str(info.value)
    assert type(err) is RecordingError
    assert msg.startswith(str(named) + ": "), msg
    if line is not None:
        assert f": line {line}: " in msg and err.line == line, msg
    assert re.search(fragment, msg), msg


@pytest.mark.parametrize("lines,line,fragment", CFG_CASES, ids=[c[2][:30] for c in CFG_CASES])
def test_bad_configuration(tmp_path, lines, line, fragment):
    (tmp_path / "rec.cfg").write_text("\n".join(lines) + "\n")
    (tmp_path / "rec.dat").write_text(DAT)
    expect_error(tmp_path / "rec.cfg", tmp_path / "rec.cfg", line, fragment)


@pytest.mark.parametrize("files,opened,named,line,fragment", FILE_CASES,
                         ids=[c[4][:30] for c in FILE_CASES])
def test_bad_data_missing_files_and_bad_cff(tmp_path, files, opened, named, line, fragment):
    if opened.startswith("rec."):
        files = {"rec.cfg": CFG, "rec.dat": DAT, **files}
    for name, content in files.items():
        if content is not None:
            (tmp_path / name).write_bytes(content if isinstance(content, bytes)
                                          else content.encode())
    expect_error(tmp_path / opened, tmp_path / named, line, fragment)
