"""CSV files whose time axis is an ISO 8601 date-time column, as data loggers write them:
the column is recognised, the sample rate comes from it, a logger's small clock jitter is
accepted with a note, and a real gap is refused with the row."""
import numpy as np
import pytest

from powergpu.io import RecordingError, open_recording

FS = 50000.0  # 20 us a sample
N = 4000


def logger_csv(path, shift_ns=None, zone="Z", sep="T"):
    """Three voltage columns behind a Time_UTC column; ``shift_ns``: {row: ns moved}."""
    stamps = np.datetime64("2024-03-05T12:00:00", "ns") + \
        (np.arange(N) * 20000).astype("timedelta64[ns]")
    for row, ns in (shift_ns or {}).items():
        stamps[row] += np.timedelta64(ns, "ns")
    text = np.datetime_as_string(stamps, unit="us")
    v = 325.0 * np.sin(2 * np.pi * 50 * np.arange(N) / FS)
    lines = ["Time_UTC,Ua [V],Ub [V],Uc [kV]"]
    lines += [f"{s.replace('T', sep)}{zone},{x:.4f},{-x:.4f},{x / 1000:.7f}"
              for s, x in zip(text, v)]
    path.write_text("\n".join(lines) + "\n")
    return path, v


@pytest.mark.parametrize("zone, sep", [("Z", "T"), ("", " "), ("+02:00", "T")])
def test_iso_column_is_the_time_axis(tmp_path, zone, sep):
    path, v = logger_csv(tmp_path / "log.csv", zone=zone, sep=sep)
    with open_recording(path) as rec:
        assert rec.sample_rate == pytest.approx(FS, rel=1e-9)
        assert [c.name for c in rec.channels] == ["Ua", "Ub", "Uc"]
        data = rec.read(0, N)
        assert np.allclose(data[:, 0], v, atol=1e-4) and np.allclose(data[:, 2], v, atol=1e-3)
        assert rec.notes == []
        assert str(rec.start_time).startswith("2024-03-05 12:00:00")


def test_small_clock_jitter_is_accepted_with_a_note(tmp_path):
    path, _ = logger_csv(tmp_path / "log.csv", {1500: -2200})  # one step of 17.8 us
    with open_recording(path) as rec:
        assert rec.sample_rate == pytest.approx(FS, rel=1e-6)
        assert len(rec.notes) == 1
        assert "1 time stamp of column 'Time_UTC' lies off the uniform grid" in rec.notes[0]
        assert "data row 1501" in rec.notes[0]


def test_a_gap_is_refused_with_file_and_row(tmp_path):
    path, _ = logger_csv(tmp_path / "log.csv", {k: 20000 for k in range(3800, N)})  # a lost sample
    with pytest.raises(RecordingError, match=r"log\.csv.*sampling is not uniform: data row"):
        open_recording(path)


def test_a_broken_date_names_its_line(tmp_path):
    path, _ = logger_csv(tmp_path / "log.csv")
    lines = path.read_text().splitlines()
    lines[7] = "2024-03-05T12:00:xx," + lines[7].split(",", 1)[1]
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(RecordingError, match=r"line 8.*Time_UTC is not an ISO 8601"):
        open_recording(path)
