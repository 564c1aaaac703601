"""CSV and WAV readers, channel role mapping, and large recordings read in bounded memory
(tracemalloc: numpy reports its buffers to it, memory-mapped pages are not allocations).
Integer PCM is written with the stdlib ``wave`` module, an independent writer; its values
must equal x / 2**(bits-1) exactly."""
import io
import os
import re
import struct
import tracemalloc
import wave

import numpy as np
import pytest

from powergpu.io import (RecordingError, map_channels, open_recording, parse_channel_mapping,
                         write_comtrade)

MiB = 1 << 20


def csv_file(tmp_path, text, name="r.csv"):
    (tmp_path / name).write_text(text)
    return tmp_path / name


def test_csv_time_column_gives_the_rate_and_units_convert(tmp_path):
    rows = "\n".join(f"{i / 2000:.6f},{i * 0.5},{i - 3},{i % 4}" for i in range(3000))
    with open_recording(csv_file(tmp_path, "time,Ua [kV],Ib (mA),flag\n" + rows + "\n")) as rec:
        assert rec.sample_rate == pytest.approx(2000.0, rel=1e-9) and rec.n_samples == 3000
        assert rec.metadata["time_column"] == "time"
        assert [(c.name, c.unit, c.source_unit, c.kind) for c in rec.channels] == [
            ("Ua", "V", "kV", "voltage"), ("Ib", "A", "mA", "current"), ("flag", "", "", "other")]
        i = np.arange(3000)
        whole = rec.read()
        np.testing.assert_allclose(whole, np.column_stack([i * 500.0, (i - 3) * 1e-3, i % 4]),
                                   rtol=1e-12)
        np.testing.assert_array_equal(
            np.concatenate([b for _, b in rec.chunks(chunk_samples=1024)]), whole)
        np.testing.assert_array_equal(rec.read(2047, 3, channels=["flag"]), whole[2047:2050, [2]])


def test_csv_semicolons_decimal_commas_and_a_rate_for_plain_columns(tmp_path):
    path = csv_file(tmp_path,
                    '"t [ms]";"U1";"I1"\r\n0,000;1,5;-2\r\n0,250;1,75;\r\n0,500;2;3,25\r\n')
    with open_recording(path) as rec:
        assert rec.sample_rate == pytest.approx(4000.0, rel=1e-9)
        assert rec.metadata["decimal_comma"] is True
        np.testing.assert_array_equal(rec.read(), [[1.5, -2], [1.75, np.nan], [2, 3.25]])
    with open_recording(csv_file(tmp_path, "Va,Vb,Vc\n1,2,3\n4,5,6\n"), sample_rate=1e4) as rec:
        assert rec.sample_rate == 10_000.0
        np.testing.assert_array_equal(rec.read(1, 1), [[4, 5, 6]])


def wav_bytes(frames, width):
    if width == 3:
        raw = np.frombuffer(frames.astype("<i4").tobytes(), np.uint8).reshape(-1, 4)[:, :3]
    else:
        raw = (frames + 128).astype(np.uint8) if width == 1 else frames.astype(f"<i{width}")
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(frames.shape[1])
        w.setsampwidth(width)
        w.setframerate(8000)
        w.writeframes(raw.tobytes())
    return buf.getvalue()


WAV = wav_bytes(np.zeros((6, 2), int), 2)  # 24 bytes of samples


@pytest.mark.parametrize("name,content,fragment", [
    ("r.csv", "Va,Vb,Vc\n1,2,3\n4,5,6\n", r"line 1: no time column"),
    ("r.csv", "seconds,x\n0,1\n0.001,1\n0.0025,1\n0.003,1\n", "sampling is not uniform"),
    ("r.csv", "time,U1,I1\n0,1,2\n0.5,1\n", r"line 3: expected 3 fields, found 2"),
    ("r.csv", "time,U1,I1\n0,1,2\n\n0.5,x1,2\n1.0,1,2\n",
     r"line 4: field 2 \(U1\) is not a number: 'x1'"),
    ("r.csv", "\n\n", "empty file"),
    ("r.wav", b"RIFX" + WAV[4:], "not a WAV file"),
    ("r.wav", WAV[:-10], "truncated WAV data: header declares 24 bytes, 14 present"),
    ("r.wav", WAV[:12], "no format chunk"),
    ("r.wav", WAV[:36], "no data chunk"),
    ("r.wav", WAV[:34] + struct.pack("<H", 12) + WAV[36:], "unsupported WAV encoding: 12-bit"),
    ("r.wav", WAV[:32] + struct.pack("<H", 3) + WAV[34:], "inconsistent WAV format")])
def test_bad_csv_and_wav_files(tmp_path, name, content, fragment):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    with pytest.raises(RecordingError) as info:
        open_recording(path).read()
    assert type(info.value) is RecordingError
    assert re.match(f"{re.escape(str(path))}: .*{fragment}", str(info.value)), str(info.value)


@pytest.mark.parametrize("width", [1, 2, 3, 4])
def test_integer_pcm_is_scaled_to_unit_full_scale(tmp_path, width):
    full = 2 ** (8 * width - 1)
    frames = np.random.default_rng(width).integers(-full, full, size=(3000, 3))
    frames[:3, :2] = [[0, -full], [full - 1, 1], [-1, full // 2]]
    (tmp_path / "p.wav").write_bytes(wav_bytes(frames, width))
    with open_recording(tmp_path / "p.wav") as rec:
        assert (rec.sample_rate, rec.n_samples, rec.metadata["bits"]) == (8000.0, 3000, 8 * width)
        whole = rec.read()
        np.testing.assert_array_equal(whole, frames / full)
        np.testing.assert_array_equal(
            np.concatenate([b for _, b in rec.chunks(chunk_samples=999)]), whole)


@pytest.mark.parametrize("extensible", [False, True])
@pytest.mark.parametrize("bits", [32, 64])
def test_float_wav(tmp_path, extensible, bits):
    frames = np.array([[0.5, -1.0], [0.25, 2.0], [-0.125, 0.0]])
    data, align = frames.astype(f"<f{bits // 8}").tobytes(), 2 * bits // 8
    fmt = struct.pack("<HHIIHH", 0xFFFE if extensible else 3, 2, 48000, 48000 * align, align, bits)
    if extensible:
        fmt += struct.pack("<HHI", 22, bits, 0) + struct.pack("<H", 3) + \
            b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
    body = b"WAVEfmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"LIST" + struct.pack("<I", 3) + b"abc\x00"  # odd-sized chunk with pad byte
    body += b"data" + struct.pack("<I", len(data)) + data
    (tmp_path / "f.wav").write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    with open_recording(tmp_path / "f.wav") as rec:
        assert rec.sample_rate == 48000.0
        np.testing.assert_array_equal(rec.read(), frames)


def test_wav_scale_and_rate_override(tmp_path):
    path = tmp_path / "s.wav"
    path.write_bytes(wav_bytes(np.array([[16384, -8192]] * 4), 2))
    with open_recording(path, scale=400.0) as rec:
        np.testing.assert_array_equal(rec.read(0, 1), [[200.0, -100.0]])
    with open_recording(path, scale=[400.0, 10.0], sample_rate=4000) as rec:
        np.testing.assert_array_equal(rec.read(0, 1), [[200.0, -2.5]])
        assert rec.sample_rate == 4000.0
    with pytest.raises(ValueError, match="3 values for 2 channels"):
        open_recording(path, scale=[1, 2, 3])


# --- channel roles ---------------------------------------------------------------------

@pytest.mark.parametrize("phases,pairs", [
    (["A", "B", "C"], ["AB", "BC", "CA"]), (["L1", "L2", "L3"], ["L1-L2", "L2-L3", "L3-L1"]),
    (["R", "S", "T"], ["RS", "ST", "TR"]), (["1", "2", "3"], ["12", "23", "31"]),
    (["an", "bn", "Phase C"], ["ab", "bc", "ca"])])
def test_automatic_roles_from_comtrade_phase_and_unit(tmp_path, phases, pairs):
    # names deliberately say nothing: the phase field and the unit decide
    units = ["kV", "V", "mV", "A", "kA", "mA", "kV", "kV", "kV", "Hz", "V"]
    chans = [{"name": f"ch{k}", "unit": u, "phase": p}
             for k, (u, p) in enumerate(zip(units, phases * 2 + pairs + ["A", "AC"]))]
    path = write_comtrade(tmp_path / "m", np.ones((4, 11)), 1000.0, chans, fmt="FLOAT32", rev=2013)
    with open_recording(path) as rec:
        assert map_channels(rec) == {"U1": 0, "U2": 1, "U3": 2, "I1": 3, "I2": 4, "I3": 5,
                                     "U12": 6, "U23": 7, "U31": 8}


@pytest.mark.parametrize("headers,expected", [
    (["UA", "UB", "UC", "IA", "IB", "IC"], {"U1": 0, "U2": 1, "U3": 2, "I1": 3, "I2": 4, "I3": 5}),
    (["Va", "Vb", "Vc", "I_A rms", "Ib", "Ic"],
     {"U1": 0, "U2": 1, "U3": 2, "I1": 3, "I2": 4, "I3": 5}),
    (["IL1", "IL2", "IL3", "U_L1-N", "U_L2-N", "U_L3-N", "IN"],
     {"I1": 0, "I2": 1, "I3": 2, "U1": 3, "U2": 4, "U3": 5, "IN": 6}),
    (["U12 [kV]", "U23 [kV]", "U31 [kV]", "temperature"], {"U12": 0, "U23": 1, "U31": 2}),
    (["BUS1 VA", "Phase B voltage", "Current C", "Vbus", "VAC"], {"U1": 0, "U2": 1, "I3": 2}),
    (["Ua [A]"], {"I1": 0}),  # the unit overrides the name's letter
    (["IA", "IA_bay2", "IB"], {"I1": 0, "I2": 2})])  # the first of duplicate roles wins
def test_automatic_roles_from_names(tmp_path, headers, expected):
    path = csv_file(tmp_path, ",".join(["t"] + headers) + "\n" + "".join(
        ",".join([str(i / 1000)] + ["1"] * len(headers)) + "\n" for i in range(3)))
    with open_recording(path) as rec:
        assert map_channels(rec) == expected


@pytest.fixture
def four(tmp_path):
    with open_recording(csv_file(tmp_path, "VA,x,Ab,AB\n1,1,1,1\n", "m.csv"),
                        sample_rate=1000.0) as rec:
        yield rec


def test_explicit_roles(four):
    # exact names, a case-insensitive name, an index; "u2"/"V3" spell roles loosely
    assert map_channels(four, {"U1": "VA", "u2": "X", "V3": 2, "I1": 3}) == \
        {"U1": 0, "U2": 1, "U3": 2, "I1": 3}
    assert map_channels(four, {"U1": "x"}, required=["U1"]) == {"U1": 1}
    assert parse_channel_mapping("U1=VA, I1=3,U2='7' ,") == {"U1": "VA", "I1": 3, "U2": "7"}
    with pytest.raises(RecordingError, match="'U1' is not ROLE=CHANNEL"):
        parse_channel_mapping("U1")


@pytest.mark.parametrize("mapping,required,fragment", [
    ({"U1": "nope"}, (), r"role U1: no channel named 'nope'; channels are: VA, x, Ab, AB"),
    ({"U1": 4}, (), r"role U1: channel index 4 out of range \(0\.\.3\)"),
    ({"U1": -1}, (), r"out of range"),
    ({"Q7": 0}, (), r"unknown channel role 'Q7'"),
    ({"U1": 1.5}, (), r"role U1: 1\.5 is neither a channel name nor an index"),
    ({"U1": True}, (), r"neither a channel name nor an index"),
    ({"U1": "ab"}, (), r"role U1: channel name 'ab' is ambiguous"),  # Ab and AB
    (None, ["U1", "U3", "I1"], r"cannot resolve U3, I1 from channel phases, units and names"),
    ({"U1": 0}, ["U1", "U2"], r"cannot resolve U2 from the mapping")])
def test_role_errors_name_the_file(four, mapping, required, fragment):
    with pytest.raises(RecordingError, match=fragment) as info:
        map_channels(four, mapping, required=list(required))
    assert str(info.value).startswith(str(four.path) + ": ")


# --- large recordings -------------------------------------------------------------------

class LazySignal:
    """A 2-D array-like whose rows are computed when sliced: writing a large file does not
    itself need the data in memory."""

    def __init__(self, n, n_ch):
        self.shape = (n, n_ch)

    def __getitem__(self, rows):
        start, stop, _ = rows.indices(self.shape[0])
        i, k = np.arange(start, stop)[:, None], np.arange(self.shape[1])[None, :]
        return (100.0 + 10 * k) * np.sin(2 * np.pi * 50 * i / 6400.0 + k) + 0.001 * (i % 97)


def traced_peak(fn):
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def resident_kib(path):
    """Resident size of this process's mappings of ``path`` (Linux)."""
    total, inside = 0, False
    with open("/proc/self/smaps") as fh:
        for line in fh:
            head = line.split()
            if head and not head[0].endswith(":"):  # a mapping's first line
                inside = line.rstrip().endswith(str(path))
            elif inside and line.startswith("Rss:"):
                total += int(line.split()[1])
    return total


def test_binary_chunks_are_bounded_equal_the_whole_read_and_leave_no_pages(tmp_path):
    n, n_ch = (50 * MiB) // 24, 8  # a 50 MiB file of 24-byte records
    path = write_comtrade(tmp_path / "big", LazySignal(n, n_ch), 6400.0,
                          [f"U{k}" for k in range(n_ch)], fmt="BINARY")
    dat, smaps = path.with_suffix(".dat").resolve(), os.path.exists("/proc/self/smaps")
    sums, resident = [], {}

    def scan():
        with open_recording(path) as rec:
            sums.extend((s, b.shape[0], b.sum(axis=0)) for s, b in rec.chunks(65536))
            resident["scan"] = resident_kib(dat) if smaps else 0

    # a few 4 MiB chunk-sized temporaries, far below the file and the ~100 MiB whole read
    assert traced_peak(scan) < 24 * MiB
    with open_recording(path) as rec:
        whole = rec.read()
        resident["read"] = resident_kib(dat) if smaps else 50 * 1024
        a = np.array([c.a for c in rec.channels])
    # a scan that kept its pages would hold the whole file, as the whole read does
    assert resident["scan"] < 8 * 1024 and resident["read"] > 40 * 1024, resident
    assert whole.shape == (n, n_ch)
    assert [(s, c) for s, c, _ in sums] == [(s, min(65536, n - s)) for s in range(0, n, 65536)]
    for start, count, total in sums:  # same data, same summation order: exact
        np.testing.assert_array_equal(total, whole[start:start + count].sum(axis=0))
    for start in (0, n // 2, n - 1000):  # the generator's values to the int16 quantisation
        err = np.abs(whole[start:start + 1000] - LazySignal(n, n_ch)[start:start + 1000])
        assert np.all(err <= a / 2 * (1 + 1e-9))


def test_ascii_reading_memory_does_not_grow_with_the_length(tmp_path):
    def peak(n):
        path = write_comtrade(tmp_path / f"a{n}", LazySignal(n, 6), 6400.0,
                              [f"I{k}" for k in range(6)], fmt="ASCII")

        def scan():
            with open_recording(path) as rec:
                for _, block in rec.chunks(chunk_samples=2048):
                    block.sum()
                rec.read(n - 3000, 2000)  # random access through the line index
        return traced_peak(scan)
    # Eight times the lines may add index entries (16 bytes per 1024 lines) but no
    # per-line memory: 25 % + 1 MiB of noise, far below 8x (the text or values of the
    # 80k-line file alone would take 5-7 MiB).
    small, large = peak(10_000), peak(80_000)
    assert large <= small * 1.25 + MiB, (small, large)
