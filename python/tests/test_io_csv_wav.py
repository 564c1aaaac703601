"""CSV and WAV readers: layouts, scaling, rate handling and bad files.

WAV fixtures are written with the stdlib ``wave`` module where it can (integer
PCM) so our RIFF parser is checked against an independent writer; float and
extensible files are assembled by hand.  Integer WAV values must equal
x / 2**(bits-1) exactly (float64 represents them exactly)."""
import io
import struct
import wave

import numpy as np
import pytest

from powergpu.io import RecordingError, open_recording


class TestCsv:
    def test_time_column_gives_rate_and_units_convert(self, tmp_path):
        path = tmp_path / "r.csv"
        rows = "\n".join(f"{i / 2000:.6f},{i * 0.5},{i - 3},{i % 4}" for i in range(50))
        path.write_text("time,Ua [kV],Ib (mA),flag\n" + rows + "\n")
        with open_recording(path) as rec:
            assert rec.sample_rate == pytest.approx(2000.0, rel=1e-9)
            assert rec.n_samples == 50
            assert [(c.name, c.unit, c.source_unit, c.kind) for c in rec.channels] == [
                ("Ua", "V", "kV", "voltage"), ("Ib", "A", "mA", "current"),
                ("flag", "", "", "other")]
            i = np.arange(50)
            np.testing.assert_allclose(rec.read(), np.column_stack(
                [i * 500.0, (i - 3) * 1e-3, i % 4]), rtol=1e-12)
            assert rec.metadata["time_column"] == "time"

    def test_semicolon_decimal_comma_and_ms_time(self, tmp_path):
        path = tmp_path / "eu.csv"
        path.write_text('"t [ms]";"U1";"I1"\r\n0,000;1,5;-2\r\n0,250;1,75;\r\n0,500;2;3,25\r\n')
        with open_recording(path) as rec:
            assert rec.sample_rate == pytest.approx(4000.0, rel=1e-9)
            got = rec.read()
            np.testing.assert_array_equal(np.isnan(got), [[0, 0], [0, 1], [0, 0]])
            assert got[1, 0] == 1.75 and got[2, 1] == 3.25
            assert rec.metadata["decimal_comma"] is True

    def test_no_time_column_needs_rate(self, tmp_path):
        path = tmp_path / "plain.csv"
        path.write_text("Va,Vb,Vc\n1,2,3\n4,5,6\n")
        with pytest.raises(RecordingError, match=r"plain\.csv: line 1: no time column"):
            open_recording(path)
        with open_recording(path, sample_rate=10_000) as rec:
            assert rec.sample_rate == 10_000.0
            np.testing.assert_array_equal(rec.read(1, 1), [[4, 5, 6]])

    def test_non_uniform_time_is_refused(self, tmp_path):
        path = tmp_path / "jitter.csv"
        path.write_text("seconds,x\n0,1\n0.001,1\n0.0025,1\n0.003,1\n")
        with pytest.raises(RecordingError, match=r"jitter\.csv: sampling is not uniform"):
            open_recording(path)

    def test_bad_cells_name_line_and_column(self, tmp_path):
        path = tmp_path / "bad.csv"
        path.write_text("time,U1,I1\n0,1,2\n\n0.5,x1,2\n1.0,1,2\n")
        with open_recording(path, sample_rate=2.0) as rec:
            with pytest.raises(RecordingError, match=r"bad\.csv: line 4: field 2 \(U1\) is not a "
                                                     r"number: 'x1'"):
                rec.read()
        path.write_text("time,U1,I1\n0,1,2\n0.5,1\n")
        with pytest.raises(RecordingError, match=r"bad\.csv: line 3: expected 3 fields, found 2"):
            open_recording(path)  # the time column is parsed while opening

    def test_chunks_equal_read(self, tmp_path):
        path = tmp_path / "big.csv"
        data = np.random.default_rng(3).normal(size=(3000, 3))
        with open(path, "w") as fh:
            fh.write("t,a,b,c\n")
            np.savetxt(fh, np.column_stack([np.arange(3000) / 1e3, data]), delimiter=",",
                       fmt="%.17g")
        with open_recording(path) as rec:
            whole = rec.read()
            np.testing.assert_array_equal(whole, data)
            blocks = [b for _, b in rec.chunks(chunk_samples=1024)]
            np.testing.assert_array_equal(np.concatenate(blocks), whole)
            np.testing.assert_array_equal(rec.read(2047, 3, channels=["c"]), data[2047:2050, [2]])

    def test_empty_file(self, tmp_path):
        path = tmp_path / "empty.csv"
        path.write_text("\n\n")
        with pytest.raises(RecordingError, match=r"empty\.csv: empty file"):
            open_recording(path)


def stdlib_wav(path, frames: np.ndarray, width: int, rate: int = 8000) -> None:
    """Integer PCM written by the stdlib, little-endian as WAV requires."""
    n, ch = frames.shape
    if width == 3:
        as32 = frames.astype("<i4").reshape(-1)
        raw = np.frombuffer(as32.tobytes(), np.uint8).reshape(-1, 4)[:, :3].tobytes()
    elif width == 1:
        raw = (frames + 128).astype(np.uint8).tobytes()
    else:
        raw = frames.astype({2: "<i2", 4: "<i4"}[width]).tobytes()
    with wave.open(str(path), "wb") as w:
        w.setnchannels(ch)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(raw)


def float_wav(path, frames: np.ndarray, rate: int = 48000, extensible: bool = False,
              bits: int = 32) -> None:
    n, ch = frames.shape
    data = frames.astype("<f4" if bits == 32 else "<f8").tobytes()
    align = ch * bits // 8
    if extensible:
        guid = struct.pack("<H", 3) + b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
        fmt = struct.pack("<HHIIHHHHI", 0xFFFE, ch, rate, rate * align, align, bits, 22, bits,
                          0) + guid
    else:
        fmt = struct.pack("<HHIIHH", 3, ch, rate, rate * align, align, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt
    body += b"LIST" + struct.pack("<I", 3) + b"abc\x00"  # odd-sized chunk with pad byte
    body += b"data" + struct.pack("<I", len(data)) + data
    path.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)


class TestWav:
    @pytest.mark.parametrize("width", [1, 2, 3, 4])
    def test_integer_pcm_scaled_to_unit(self, tmp_path, width):
        full = 2 ** (8 * width - 1)
        frames = np.array([[0, -full], [full - 1, 1], [-1, full // 2]], dtype=np.int64)
        path = tmp_path / f"pcm{width}.wav"
        stdlib_wav(path, frames, width)
        with open_recording(path) as rec:
            assert rec.sample_rate == 8000.0 and rec.n_samples == 3
            assert rec.metadata["bits"] == 8 * width
            np.testing.assert_array_equal(rec.read(), frames / full)

    @pytest.mark.parametrize("extensible", [False, True])
    @pytest.mark.parametrize("bits", [32, 64])
    def test_float(self, tmp_path, extensible, bits):
        frames = np.array([[0.5, -1.0], [0.25, 2.0], [-0.125, 0.0]])
        path = tmp_path / "f.wav"
        float_wav(path, frames, extensible=extensible, bits=bits)
        with open_recording(path) as rec:
            assert rec.sample_rate == 48000.0
            np.testing.assert_array_equal(rec.read(), frames)

    def test_scale_and_rate_override(self, tmp_path):
        frames = np.array([[16384, -8192]] * 4)
        path = tmp_path / "s.wav"
        stdlib_wav(path, frames, 2)
        with open_recording(path, scale=400.0) as rec:
            np.testing.assert_array_equal(rec.read(0, 1), [[200.0, -100.0]])
        with open_recording(path, scale=[400.0, 10.0], sample_rate=4000) as rec:
            np.testing.assert_array_equal(rec.read(0, 1), [[200.0, -2.5]])
            assert rec.sample_rate == 4000.0
        with pytest.raises(ValueError, match="3 values for 2 channels"):
            open_recording(path, scale=[1, 2, 3])

    def test_chunks_equal_read(self, tmp_path):
        frames = np.random.default_rng(1).integers(-2**23, 2**23, size=(5000, 3))
        path = tmp_path / "c.wav"
        stdlib_wav(path, frames, 3)
        with open_recording(path) as rec:
            whole = rec.read()
            np.testing.assert_array_equal(whole, frames / 2**23)
            np.testing.assert_array_equal(
                np.concatenate([b for _, b in rec.chunks(chunk_samples=999)]), whole)

    @pytest.mark.parametrize("mutate,fragment", [
        (lambda b: b"RIFX" + b[4:], "not a WAV file"),
        (lambda b: b[:-10], "truncated WAV data: header declares 24 bytes, 14 present"),
        (lambda b: b[:12], "no format chunk"),
        (lambda b: b[:36], "no data chunk"),
        (lambda b: b[:34] + struct.pack("<H", 12) + b[36:], "unsupported WAV encoding: 12-bit"),
        (lambda b: b[:32] + struct.pack("<H", 3) + b[34:], "inconsistent WAV format"),
    ])
    def test_bad_files(self, tmp_path, mutate, fragment):
        buf = io.BytesIO()
        with wave.open(buf, "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(8000)
            w.writeframes(bytes(24))
        path = tmp_path / "bad.wav"
        path.write_bytes(mutate(buf.getvalue()))
        with pytest.raises(RecordingError) as info:
            open_recording(path)
        assert type(info.value) is RecordingError
        assert str(info.value).startswith(str(path) + ": ")
        assert fragment in str(info.value)
