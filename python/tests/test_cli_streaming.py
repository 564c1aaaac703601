"""The command line writes its tables batch by batch while the analysis runs;
the files are the same as those written from a result that kept every
table, and the console table is the same."""
import numpy as np
import pandas as pd
import pytest

from powergpu import analysis, cli, summary
from powergpu.demo import demo_channels, demo_signal
from powergpu.io import write_comtrade

TABLES = ("windows.csv", "halfcycles.csv", "events.csv", "harmonics.csv")


@pytest.fixture(scope="module", autouse=True)
def native_library():
    from powergpu import _native
    try:
        _native.find_library()
    except OSError as exc:
        pytest.skip(f"libpowergpu is not built here ({' '.join(str(exc).split())[:160]})")


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    v, i, _ = demo_signal(seconds=8.0)
    chans = [{"name": n, "unit": "V" if k < 3 else "A", "phase": "ABC"[k % 3]}
             for k, n in enumerate(demo_channels)]
    return write_comtrade(tmp_path_factory.mktemp("rec") / "demo",
                          np.concatenate([v, i], axis=1), 10000.0, chans, fmt="BINARY")


def test_streamed_files_equal_the_kept_tables(recording, tmp_path, monkeypatch, capsys):
    # many batches and many CSV chunks even for a short recording
    monkeypatch.setattr(analysis, "WINDOW_BATCH", 5)
    monkeypatch.setattr(analysis, "HALF_CYCLE_BATCH", 77)
    monkeypatch.setattr(summary, "_CSV_FIELDS", 1)  # chunks of 4096 rows
    out = tmp_path / "stream"
    assert cli.main(["analyze", str(recording), "-o", str(out), "--no-progress"]) == 0
    printed = capsys.readouterr().out

    args = cli.build_parser().parse_args(["analyze", str(recording), "-o", str(tmp_path)])
    source = cli._file_source(args)
    try:
        kept = cli.run_analysis(source, args)  # every table kept, no sink
    finally:
        source.close()
    assert len(kept.harmonics) > 3 * 4096
    ref = tmp_path / "kept"
    summary.write_outputs(kept, ref)
    for name in TABLES:
        assert (out / name).read_bytes() == (ref / name).read_bytes(), name
    assert not list(out.glob("*.part"))
    table = summary.console_summary(kept, source="x").splitlines()[1:]
    shown = printed.splitlines()[1:len(table)]
    assert shown == table[:len(shown)] and len(shown) >= 15


def test_only_the_chosen_tables_are_streamed(recording, tmp_path, monkeypatch):
    seen = {}
    engine = cli._engine()

    def spy(chunks, **kw):
        sink = kw["sink"]
        seen.update({name: callable(getattr(sink, name, None))
                     for name in ("on_windows", "on_harmonics", "on_half_cycles")})
        seen["keep"] = kw["keep"]
        return engine(chunks, **kw)

    monkeypatch.setattr(cli, "_engine", lambda: spy)
    assert cli.main(["analyze", str(recording), "-o", str(tmp_path / "o"), "-q",
                     "--tables", "windows,events"]) == 0
    assert seen == {"on_windows": True, "on_harmonics": False, "on_half_cycles": False,
                    "keep": ()}
    assert sorted(p.name for p in (tmp_path / "o").iterdir()) == [
        "events.csv", "summary.json", "windows.csv"]


def test_a_failed_analysis_leaves_no_partial_files(recording, tmp_path, monkeypatch, capsys):
    def failing(chunks, **kw):
        kw["sink"].on_windows(pd.DataFrame({"t_end": [0.2]}))
        raise ValueError("the analysis broke")

    monkeypatch.setattr(cli, "_engine", lambda: failing)
    out = tmp_path / "o"
    assert cli.main(["analyze", str(recording), "-o", str(out), "-q"]) == 1
    assert "the analysis broke" in capsys.readouterr().err
    assert list(out.iterdir()) == []


def test_csv_appender_writes_what_write_csv_writes(tmp_path):
    rng = np.random.default_rng(2)
    n = 3001
    df = pd.DataFrame({
        "t": np.arange(n) / 7.0,
        "small": np.where(np.arange(n) < 2000, 1e-7, 5e3) * rng.normal(size=n),
        "f32": rng.normal(size=n).astype(np.float32),
        "i": rng.integers(-5, 5, n),
        "flag": rng.random(n) > 0.5,
        "ch": pd.Categorical(rng.choice(["U1", "I2"], n), categories=["U1", "I2", "U12"]),
    })
    df.loc[::13, "small"] = np.nan
    whole = summary.write_csv(df, tmp_path / "whole.csv", chunk_rows=512)
    appender = summary.CsvAppender(tmp_path / "parts.csv", chunk_rows=512)
    pos = 0
    for size in (1, 700, 0, 511, 1024, 765):
        appender.append(df.iloc[pos:pos + size].reset_index(drop=True))
        pos += size
    assert not (tmp_path / "parts.csv").exists()  # only the temporary file so far
    appender.close()
    assert (tmp_path / "parts.csv").read_bytes() == whole.read_bytes()
    # with the default chunk size too
    whole = summary.write_csv(df, tmp_path / "whole2.csv")
    appender = summary.CsvAppender(tmp_path / "parts2.csv")
    for k in range(0, n, 999):
        appender.append(df.iloc[k:k + 999])
    assert appender.close().read_bytes() == whole.read_bytes()


def test_csv_appender_empty_table_and_abort(tmp_path):
    empty = summary.CsvAppender(tmp_path / "e.csv")
    empty.close(columns=["t_start", "delta_u_max"])
    assert (tmp_path / "e.csv").read_text() == "t_start,delta_u_max\n"
    broken = summary.CsvAppender(tmp_path / "b.csv")
    broken.append(pd.DataFrame({"x": [1.0]}))
    with pytest.raises(ValueError, match="other columns"):
        broken.append(pd.DataFrame({"y": [1.0]}))
    broken.abort()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["e.csv"]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_a_mostly_missing_column_is_written_like_its_values(tmp_path, dtype):
    rng = np.random.default_rng(9)
    x = (rng.normal(size=5000) * 10.0 ** rng.integers(-6, 4, 5000)).astype(dtype)
    missing = rng.random(5000) < 0.7
    x[missing] = np.nan
    x[np.flatnonzero(~missing)[3]] = np.inf
    full = summary.write_csv(pd.DataFrame({"x": x}), tmp_path / "full.csv").read_text()
    alone = summary.write_csv(pd.DataFrame({"x": x[~missing]}),
                              tmp_path / "alone.csv").read_text()
    lines = np.array(full.splitlines()[1:], dtype=object)
    assert list(lines[~missing]) == alone.splitlines()[1:]
    assert set(lines[missing]) == {""}
