"""COMTRADE: files from write_comtrade read back as written (and as the independent PyPI
``comtrade`` package reads them); hand-made files with values worked out by hand.

Round-trip tolerance: the integer formats store round((x - b) / a) with a spanning each
channel's [min, max] over the raw range, a = (max - min) / (2 L), L = 99998 (ASCII),
32767 (BINARY), 2**31 - 1 (BINARY32), so a value moves by at most a/2; FLOAT32 by at
most |x| 2**-24.  Hand-made files are compared to 1e-12 relative (float64 arithmetic)."""
from datetime import datetime

import numpy as np
import pytest

from conftest import CFG, DAT, binary_records, write_pair
from powergpu.io import RecordingError, open_recording, write_comtrade

FORMATS = ["ASCII", "BINARY", "BINARY32", "FLOAT32"]
VARIANTS = pytest.mark.parametrize("rev,cff", [(1999, False), (2013, False), (2013, True)],
                                   ids=["1999", "2013", "2013-cff"])
RAW_LIMIT = {"ASCII": 99998, "BINARY": 32767, "BINARY32": 2**31 - 1}
NAMES = ["UA", "UB", "UC", "IA", "IB", "IC"]
REL = 1e-12


def signals(n, rate=3200.0):
    t = np.arange(n)[:, None] / rate
    k = np.arange(3)[None, :] * 2 * np.pi / 3
    x = np.hstack([325.0 * np.sin(2 * np.pi * 50 * t - k),
                   12.0 * np.sin(2 * np.pi * 50 * t - 0.3 - k) + 3.0])
    return x + np.random.default_rng(7).normal(scale=0.5, size=x.shape)


@VARIANTS
@pytest.mark.parametrize("fmt", FORMATS)
def test_written_files_read_back_within_quantisation(tmp_path, fmt, rev, cff):
    data = signals(2500)
    holes = np.zeros(data.shape, dtype=bool)
    holes[[0, 5, 2499], [0, 3, 5]] = True
    holes[10:12, 2] = True
    data[holes] = np.nan
    digital = (np.arange(2500)[:, None] % np.array([2, 3, 5, 7]) == 0).astype(int)
    start = datetime(2021, 3, 4, 5, 6, 7, 890123)
    path = write_comtrade(tmp_path / "rec", data, 3200.0,
                          [{"name": n, "unit": "V" if n[0] == "U" else "A", "phase": n[1]}
                           for n in NAMES], fmt=fmt, rev=rev, cff=cff, line_frequency=60.0,
                          start_time=start, digital=digital)
    assert path.suffix == (".cff" if cff else ".cfg")
    with open_recording(path) as rec:
        assert (rec.n_samples, rec.sample_rate, rec.nominal_frequency, rec.start_time) == \
            (2500, 3200.0, 60.0, start)
        assert (rec.metadata["revision"], rec.metadata["data_format"]) == (rev, fmt)
        assert [(c.name, c.kind) for c in rec.channels] == \
            [(n, "voltage" if n[0] == "U" else "current") for n in NAMES]
        whole = rec.read()
        assert whole.shape == (2500, 6) and whole.dtype == np.float64
        np.testing.assert_array_equal(np.isnan(whole), holes)
        a = np.array([c.a for c in rec.channels])
        if fmt == "FLOAT32":
            tol = np.abs(data) * 2.0**-24
        else:  # a follows from the data range and the bit width
            span = np.nanmax(data, axis=0) - np.nanmin(data, axis=0)
            np.testing.assert_allclose(a, span / (2 * RAW_LIMIT[fmt]), rtol=1e-12)
            tol = a / 2 * (1 + 1e-9) + np.abs(data) * 1e-15
        assert np.all(np.abs(whole - data)[~holes] <= np.broadcast_to(tol, data.shape)[~holes])
        starts, blocks = zip(*rec.chunks(chunk_samples=333))
        assert list(starts) == list(range(0, 2500, 333))
        assert all(b.shape[0] == 333 for b in blocks[:-1])
        np.testing.assert_array_equal(np.concatenate(blocks), whole)
        for first, count in [(0, 1), (1023, 1030), (2048, 452), (2499, 1), (700, 0)]:
            np.testing.assert_array_equal(rec.read(first, count), whole[first:first + count])
        np.testing.assert_array_equal(rec.read(100, 50, channels=["IC", 0, "ub"]),
                                      whole[100:150][:, [5, 0, 1]])
        tail = [b for _, b in rec.chunks(chunk_samples=1000, channels=[4], start=2400)]
        np.testing.assert_array_equal(np.concatenate(tail), whole[2400:, [4]])
    if fmt != "ASCII":  # text sources hold no handle and keep reading after close
        with pytest.raises(ValueError, match="closed"):
            rec.read()


CROSS_CHANNELS = [  # the other reader returns a*x+b as stored: no ratio, no unit prefix
    {"name": "VA", "unit": "kV", "phase": "A", "primary": 20000, "secondary": 100, "ps": "P"},
    {"name": "VB", "unit": "V", "phase": "B", "primary": 20000, "secondary": 100, "ps": "S"},
    {"name": "IA", "unit": "mA", "phase": "A", "primary": 600, "secondary": 5, "ps": "S"}]


@VARIANTS
@pytest.mark.parametrize("fmt", FORMATS)
def test_the_independent_reader_reads_the_same(tmp_path, fmt, rev, cff):
    comtrade = pytest.importorskip("comtrade")
    t = np.arange(800) / 4000.0
    data = np.column_stack([11.5 * np.sin(2 * np.pi * 50 * t), 57.7 * np.cos(2 * np.pi * 50 * t),
                            4.0 * np.sin(2 * np.pi * 150 * t) + 0.25])
    digital = np.column_stack([(t > 0.1), (np.arange(800) % 3 == 0)]).astype(int)
    start = datetime(2019, 12, 31, 23, 59, 58, 500000)
    path = write_comtrade(tmp_path / "x", data, 4000.0, CROSS_CHANNELS, fmt=fmt, rev=rev,
                          cff=cff, start_time=start, digital=digital,
                          digital_names=["TRIP", "CLK"])
    other = comtrade.load(str(path)) if cff else comtrade.load(str(path),
                                                               str(path.with_suffix(".dat")))
    theirs = np.array(other.analog, dtype=np.float64).T
    ours = np.empty_like(theirs)
    for k, ch in enumerate(CROSS_CHANNELS):  # ours on the side the file stores, in its unit
        with open_recording(path, use_primary=ch["ps"] == "P") as rec:
            assert (rec.channels[k].unit, rec.channels[k].source_unit) == \
                (ch["unit"][-1], ch["unit"])
            ours[:, k] = rec.read(channels=[k])[:, 0] / {"kV": 1e3, "V": 1.0, "mA": 1e-3}[
                ch["unit"]]
    # The other reader computes in single precision: 2**-20 of each channel's full scale.
    assert np.all(np.abs(ours - theirs) <= np.abs(data).max(axis=0) * 2.0**-20)
    with open_recording(path) as rec:
        assert other.total_samples == rec.n_samples == 800
        assert other.analog_channel_ids == rec.channel_names
        assert float(other.frequency) == rec.nominal_frequency
        assert other.cfg.sample_rates[0][0] == rec.sample_rate
        assert other.start_timestamp == rec.start_time
        assert other.rev_year in (rev, str(rev))
    np.testing.assert_allclose(np.asarray(other.time), t, atol=1e-6)
    np.testing.assert_array_equal(np.array(other.status).T, digital)


# --- hand-made files: CFG stores VA = (0.5 x + 10) kV primary (ratio 20/0.1) and
# IA = (0.01 x - 0.5) A secondary (ratio 600/5) ---------------------------------------

@pytest.mark.parametrize("use_primary,expected", [
    (True, [[10e3, 0.5 * 120], [11e3, 1.0 * 120], [8e3, -0.5 * 120]]),
    (False, [[10e3 * 0.005, 0.5], [11e3 * 0.005, 1.0], [8e3 * 0.005, -0.5]])])
def test_primary_and_secondary_values(tmp_path, use_primary, expected):
    with open_recording(write_pair(tmp_path, CFG, DAT), use_primary=use_primary) as rec:
        np.testing.assert_allclose(rec.read(), expected, rtol=REL)
        assert rec.metadata["values"] == ("primary" if use_primary else "secondary")
        va, ia = rec.channels
        assert (va.unit, va.source_unit, va.kind, va.phase, va.circuit) == \
            ("V", "kV", "voltage", "A", "Bay1")
        assert (va.a, va.b, va.primary, va.secondary, va.ps) == (0.5, 10.0, 20.0, 0.1, "P")
        assert (ia.unit, ia.kind, ia.ps) == ("A", "current", "S")
        md = rec.metadata
        assert rec.start_time == datetime(2020, 5, 4, 6, 7, 8, 123456)
        assert md["trigger_time"] == datetime(2020, 5, 4, 6, 7, 8, 223456)
        assert (md["station"], md["device"], md["digital_channels"]) == ("Sub A", "Relay 7",
                                                                         ["TRIP"])
    path = write_pair(tmp_path, CFG.replace("600,5,S", "0,5,S"), DAT)
    with open_recording(path, use_primary=False) as rec:  # no conversion needed: fine
        assert rec.read()[0, 1] == pytest.approx(0.5, rel=REL)
    with pytest.raises(RecordingError, match=r"rec\.cfg: line 4: .*cannot convert"):
        open_recording(path)


ANALOG_ONLY = CFG.replace("3,2A,1D", "2,2A,0D").replace("1,TRIP,,,0\n", "")


@pytest.mark.parametrize("fmt,raw,nan_mask,spot", [
    ("BINARY", [[-32768, 0], [-32767, -32768], [32767, 7], [-32768, -32768]],
     [[1, 0], [0, 1], [0, 0], [1, 1]], (1, 0, (0.5 * -32767 + 10) * 1e3)),
    ("BINARY32", [[-2**31, 0], [1 - 2**31, -2**31], [2**31 - 1, 7], [-2**31, -2**31]],
     [[1, 0], [0, 1], [0, 0], [1, 1]], (2, 1, (0.01 * 7 - 0.5) * 120)),
    ("FLOAT32", [[np.nan, 2.0], [4.0, np.nan]], [[1, 0], [0, 1]], (1, 0, 12e3)),
    ("ASCII", "1,0,,100\n2,1000,99999,150\n3,2000,-4, \n", [[1, 0], [1, 0], [0, 1]],
     (2, 0, 8e3))])
def test_missing_value_markers_are_nan(tmp_path, fmt, raw, nan_mask, spot):
    n = len(nan_mask)
    cfg = ANALOG_ONLY.replace("ASCII", fmt).replace("1000,3", f"1000,{n}")
    dat = raw if fmt == "ASCII" else binary_records(fmt, raw)
    with open_recording(write_pair(tmp_path, cfg, dat)) as rec:
        got = rec.read()
    np.testing.assert_array_equal(np.isnan(got), nan_mask)
    assert got[spot[0], spot[1]] == pytest.approx(spot[2], rel=REL)


@pytest.mark.parametrize("fmt,limit", [("BINARY", 2**15), ("BINARY32", 2**31)])
def test_blocks_carry_the_extremes_of_their_scaled_values(tmp_path, fmt, limit):
    # a negative gain turns the raw minimum into the largest value; a column with a
    # missing-value marker has NaN extremes, as numpy's max and min of it give
    raw = np.random.default_rng(11).integers(-limit + 1, limit, size=(500, 2))
    raw[77, 1] = -limit
    cfg = ANALOG_ONLY.replace("ASCII", fmt).replace("1000,3", "1000,500").replace(
        "A,Bay1,kV,0.5,10", "A,Bay1,kV,-0.37,10.3")
    with open_recording(write_pair(tmp_path, cfg, binary_records(fmt, raw))) as rec:
        (_, block), = rec.chunks(1000)
    hi, lo = block.extremes
    np.testing.assert_array_equal(hi, block.max(axis=0))  # to the bit, NaN where missing
    np.testing.assert_array_equal(lo, block.min(axis=0))
    assert np.isnan(hi[1]) and not np.isnan(hi[0])
    assert block[1:].extremes is None  # a part of the block may not have them


def test_digital_words_do_not_shift_analog_values(tmp_path):
    # 17 digital channels -> two status words per record
    cfg = CFG.replace("3,2A,1D", "19,2A,17D").replace("ASCII", "BINARY").replace(
        "1,TRIP,,,0\n", "".join(f"{k},D{k},,,0\n" for k in range(1, 18)))
    data = binary_records("BINARY", [[1, 2], [3, 4], [5, 6]], words=[[0xFFFF, 1]] * 3)
    with open_recording(write_pair(tmp_path, cfg, data)) as rec:
        np.testing.assert_allclose(rec.read()[:, 0], [10.5e3, 11.5e3, 12.5e3], rtol=REL)


SAMP0 = ("S,D,{rev}\n1,1A,0D\n1,UA,A,,V,1,0,0,-32767,32767,1,1,P\n50\n0\n0,{n}\n"
         "01/01/2020,00:00:00.000000{ns}\n01/01/2020,00:00:00.000000{ns}\n{ft}\n{mult}\n")


@pytest.mark.parametrize("cfg,dat,n,rate,rel", [
    (SAMP0.format(rev=1999, n=40, ns="", ft="ASCII", mult=1),
     "".join(f"{i + 1},{i * 250},{i}\n" for i in range(40)), 40, 4000.0, REL),
    # 4800 Hz in 0.5 us units, rounded to whole units: the least-squares rate is good to
    # (rounding / duration) / sqrt(n) ~ 1e-7
    (SAMP0.format(rev=1999, n=500, ns="", ft="BINARY", mult=0.5),
     binary_records("BINARY", np.zeros((500, 1)),
                    stamps=np.rint(np.arange(500) / 4800 * 2e6).astype(np.uint32)), 500, 4800.0,
     1e-6),
    # 2013 files with nine fraction digits count the data time stamps in ns
    (SAMP0.format(rev=2013, n=10, ns="000", ft="ASCII", mult=1),
     "".join(f"{i + 1},{i * 100_000},{i}\n" for i in range(10)), 10, 10_000.0, REL),
    # no rate line at all: the data decides the length
    (SAMP0.format(rev=1999, n=0, ns="", ft="BINARY", mult=1).replace("0\n0,0\n", "0\n"),
     binary_records("BINARY", np.zeros((25, 1)), stamps=np.arange(25) * 500), 25, 2000.0, REL)],
    ids=["uniform", "multiplier", "nanoseconds", "no-rate-line"])
def test_samp_0_takes_the_rate_from_the_time_stamps(tmp_path, cfg, dat, n, rate, rel):
    with open_recording(write_pair(tmp_path, cfg, dat)) as rec:
        assert rec.n_samples == n and rec.sample_rate == pytest.approx(rate, rel=rel)


def test_long_recording_scales_its_time_stamps(tmp_path):
    # 6000 s at 1 Hz overflows 32-bit microsecond stamps: the writer sets a multiplier 2
    path = write_comtrade(tmp_path / "long", np.zeros((6001, 1)), 1.0, ["UA"], fmt="BINARY")
    cfg = path.read_bytes()
    assert float(cfg.decode().splitlines()[-1]) == 2.0 and b"\r\n1,6001\r\n" in cfg
    samp0 = cfg.replace(b"\r\n1,6001\r\n", b"\r\n0,6001\r\n")  # samp 0: use the stamps
    for text, rate in ((samp0, 1.0), (samp0.replace(b"\r\n2\r\n", b"\r\n1\r\n"), 2.0)):
        path.write_bytes(text)
        with open_recording(path) as rec:
            assert rec.sample_rate == pytest.approx(rate, rel=1e-12)


def test_1991_layout_and_2013_tail_lines(tmp_path):
    cfg = ("OLD STATION,17\n2,1A,1D\n1,IA,A,,A,2,1,0,-2047,2047\n1,BRK,0\n60\n1\n"
           "1200,3\n05/04/97,06:07:08.000000\n05/04/97,06:07:08.000000\nASCII\n")
    with open_recording(write_pair(tmp_path, cfg, "1,0,5,1\n2,833,6,0\n3,1667,7,0\n")) as rec:
        np.testing.assert_allclose(rec.read()[:, 0], [11, 13, 15], rtol=REL)
        assert rec.metadata["revision"] == 1991
        assert rec.start_time == datetime(1997, 5, 4, 6, 7, 8)  # mm/dd/yy
        assert (rec.nominal_frequency, rec.sample_rate) == (60.0, 1200.0)
    cfg = CFG.replace("1999", "2013") + "-5h30,x\nA,1\n"
    with open_recording(write_pair(tmp_path, cfg, DAT)) as rec:
        md = rec.metadata
        assert (md["time_code"], md["local_code"], md["time_quality"], md["leap_second"]) == \
            ("-5h30", "x", "A", 1)


@pytest.mark.parametrize("cfg,dat", [
    (CFG.replace("1\n1000,3\n", "2\n1000,2\n1000,3\n"), DAT),  # several lines, one rate
    (CFG, DAT + "4,3000,9,9,0\n"),  # more data than declared is ignored
    # BOM, CRLF, trailing commas, blank lines, DOS end-of-file mark
    ("\ufeff" + CFG.replace("1,TRIP,,,0", "1,TRIP,,,0,,").replace("\n", "\r\n"),
     b"1,0,0,100,0\r\n\r\n2,1000,2,150,1,\r\n   \r\n3,2000,-4,0,0\r\n\x1a")],
    ids=["rate-lines", "extra-data", "text-quirks"])
def test_tolerated_quirks(tmp_path, cfg, dat):
    cfg = cfg.replace("Sub A", "Sübstation")
    (tmp_path / "REC.CFG").write_bytes(cfg.encode("utf-8"))
    (tmp_path / "REC.DAT").write_bytes(dat if isinstance(dat, bytes) else dat.encode())
    for target in ("REC.CFG", "REC.DAT"):  # by either file, upper-case suffixes
        with open_recording(tmp_path / target) as rec:
            assert rec.metadata["station"] == "Sübstation"
            np.testing.assert_allclose(rec.read()[:, 0], [10e3, 11e3, 8e3], rtol=REL)
    (tmp_path / "REC.CFG").write_bytes(cfg.lstrip("\ufeff").encode("latin-1"))
    for encoding in (None, "cp1252"):
        with open_recording(tmp_path / "REC.CFG", encoding=encoding) as rec:
            assert rec.metadata["station"] == "Sübstation"


def test_cff_with_ascii_data_keeps_notes_and_counts_its_own_lines(tmp_path):
    body = ("--- file type: CFG ---\n" + CFG.replace("1999", "2013") +
            "--- file type: INF ---\n[Public]\n--- file type: HDR ---\nsome notes\n"
            "--- file type: DAT ASCII ---\n1,0,0,100,0\n2,1000,2,x,1\n3,2000,-4,0,0\n")
    (tmp_path / "one.cff").write_text(body)
    with open_recording(tmp_path / "one.cff") as rec:
        assert (rec.metadata["hdr"], rec.metadata["inf"]) == ("some notes\n", "[Public]\n")
        line = body.splitlines().index("2,1000,2,x,1") + 1
        with pytest.raises(RecordingError, match=rf"one\.cff: line {line}: field 4 \(IA\)"):
            rec.read()
