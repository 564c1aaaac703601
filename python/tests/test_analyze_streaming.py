"""Streaming analysis: a sink receives every table batch by batch, the result keeps only
bounded data, and nothing of that changes what is computed.  Memory is checked with
tracemalloc (never with timings)."""
import math
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from conftest import FS
from powergpu import analysis, analyze, analyze_stream, report, summary
from powergpu.cycles import KIND_FILLER, CycleDetector, Cycles
from powergpu.module import Module
from powergpu.trends import ColumnStats, Envelope, trends_of_tables

TABLES = ("windows", "harmonics", "iec_harmonics", "half_cycles", "cycles", "events")
MiB = 1 << 20


class Collector:
    """A sink that keeps every batch it is given."""

    def __init__(self):
        self.batches = {name: [] for name in TABLES}
        for name in TABLES:
            setattr(self, f"on_{name}", self.batches[name].append)


def test_streamed_batches_are_the_kept_tables(backend, demo, monkeypatch):
    v, i, _ = demo
    kept = analyze(v, i, sample_rate=FS, grid="star", backend=backend, chunk_samples=8192, keep=True)
    assert len(kept.iec_harmonics) == 6 * len(kept.windows)  # U1..U3, I1..I3
    # small chunks and batches of a few windows and half cycles: many boundaries
    monkeypatch.setattr(analysis, "WINDOW_BATCH", 3)
    monkeypatch.setattr(analysis, "HALF_CYCLE_BATCH", 17)
    sink = Collector()
    streamed = analyze(v, i, sample_rate=FS, grid="star", backend=backend, sink=sink, keep=(),
                       chunk_samples=8192)
    assert len(sink.batches["windows"]) > 3 and len(sink.batches["half_cycles"]) > 3
    for name in TABLES:
        reference = getattr(kept, name)
        got = pd.concat(sink.batches[name], ignore_index=True) if sink.batches[name] \
            else reference.iloc[:0]
        pd.testing.assert_frame_equal(got, reference, check_exact=True, obj=name)
        if name != "events":  # nothing large is kept, but every table keeps its columns
            assert len(getattr(streamed, name)) == 0
            assert list(getattr(streamed, name).columns) == list(reference.columns)
    pd.testing.assert_frame_equal(streamed.events, kept.events, check_exact=True)
    assert len(kept.events) == 1
    assert streamed.summary == kept.summary  # whatever the batches
    assert streamed.trends.means == kept.trends.means
    for key, phasor in kept.trends.phasors.items():  # sums in batch order: last bits
        assert streamed.trends.phasors[key] == pytest.approx(phasor, rel=1e-12, abs=1e-12)
    valid = kept.windows[kept.windows["valid"]]
    steady = kept.windows[~kept.windows["flagged"]]
    for k in (1, 2, 3):  # and the means are those of the table's valid (unflagged) rows
        assert streamed.summary["phases"][k - 1]["rms"] == pytest.approx(
            valid[f"u{k}_rms"].mean(), rel=1e-13)
        assert streamed.summary["phases"][k - 1]["h1"] == pytest.approx(
            steady[f"u{k}_h1"].mean(), rel=1e-6)
    assert streamed.summary["frequency_max"] == valid["frequency"].max()


def test_keep_and_optional_sink_methods(demo):
    v, i = demo[0][:30000], demo[1][:30000]
    seen = []
    res = analyze(v, i, sample_rate=FS, grid="star", backend="cpu",
                  keep=("windows", "half-cycles"),
                  sink=SimpleNamespace(on_half_cycles=lambda df: seen.append(len(df))))
    assert len(res.windows) > 0 and len(res.half_cycles) > 0
    assert len(res.harmonics) == 0 and len(res.cycles) == 0
    assert sum(seen) == res.summary["half_cycle_count"] == len(res.half_cycles) > 0
    with pytest.raises(ValueError, match="unknown table"):
        analyze(v, sample_rate=FS, grid="star", keep=("spectra",))


def test_harmonic_tables_gathered_at_once_equal_one_by_one(demo, monkeypatch):
    v, i = demo[0][:30000], demo[1][:30000]
    fast = analyze(v, i, sample_rate=FS, grid="star", backend="cpu")
    h = fast.harmonics  # rows go window by window, channel by channel, order by order
    key = pd.DataFrame({"w": h["window"], "c": h["channel"].cat.codes, "o": h["order"]})
    assert key.equals(key.sort_values(["w", "c", "o"]))
    monkeypatch.setattr(Module, "_GATHER_SPAN", 0)  # forces the copy one by one
    slow = analyze(v, i, sample_rate=FS, grid="star", backend="cpu")
    pd.testing.assert_frame_equal(fast.harmonics, slow.harmonics, check_exact=True)
    pd.testing.assert_frame_equal(fast.windows, slow.windows, check_exact=True)


def _chunks(minutes, size=1 << 16):
    """Three phases with currents, computed chunk by chunk (the whole signal never exists
    in memory), with a short dip every minute."""
    n = int(minutes * 60 * FS)
    shift = np.array([0.0, -2 * np.pi / 3, 2 * np.pi / 3])
    for start in range(0, n, size):
        t = np.arange(start, min(start + size, n)) / FS
        ph = 2 * np.pi * 50.02 * t[:, None] + shift
        dip = np.where((t % 60.0 >= 30.0) & (t % 60.0 < 30.2), 0.9, 1.0)[:, None]
        yield start, np.concatenate([325.0 * dip * (np.sin(ph) + 0.03 * np.sin(5 * ph)),
                                     14.0 * np.sin(ph - 0.5)], axis=1)


def _streamed_peak(minutes):
    tracemalloc.start()
    try:
        res = analyze_stream(_chunks(minutes), sample_rate=FS, grid="star", backend="cpu",
                             keep=())
        return tracemalloc.get_traced_memory()[1], res
    finally:
        tracemalloc.stop()


def test_streaming_memory_does_not_grow_with_the_length():
    short, res5 = _streamed_peak(5)
    long, res20 = _streamed_peak(20)
    assert res20.summary["window_count"] > 3.9 * res5.summary["window_count"]
    assert (res5.summary["rvc_event_count"], res20.summary["rvc_event_count"]) == (5, 20)
    # The tables of 20 minutes would take well over 100 MiB (about 400 MB an hour); the
    # streaming peak is that of the batches (about 44 and 47 MiB, the batches filling up):
    # keeping even the window table alone would add about 6 MiB.
    assert long <= short * 1.1 + MiB / 2, (short / MiB, long / MiB)
    assert long < 120 * MiB, long / MiB
    env = res20.trends.windows  # the report data stays bounded too
    assert len(env.points("u1_rms")[0]) <= 2 * env.capacity
    assert min(env.values("u1_rms")) < 0.95 * max(env.values("u1_rms"))  # the dips are there


@pytest.mark.parametrize("options", [{}, {"nominal_rms": 230.0}])
def test_cycle_entries_do_not_depend_on_the_chunks_through_dips_gaps_and_a_swell(options):
    rng = np.random.default_rng(11)
    t = np.arange(int(40 * FS)) / FS
    x = 325.0 * np.sin(2 * np.pi * (50.0 * t + 0.3 * np.sin(0.5 * t)))
    x *= np.where((t % 7.0) < 0.4, 0.05, 1.0)  # deep dips
    x *= np.where((t % 11.0) < 0.3, 0.0, 1.0)  # interruptions: fillers
    x *= np.where(t > 20.0, 1.3, 1.0)          # a swell: the learnt level rises
    x += 2.0 * rng.standard_normal(len(t))
    results = []
    for chunk in (997, 65536, len(x)):
        det = CycleDetector(FS, 50.0, **options)
        parts = [det.process(x[k:k + chunk]) for k in range(0, len(x), chunk)] + [det.flush()]
        results.append(Cycles.concatenate(parts))
    # the filter works on blocks at fixed positions: the same bits whatever the chunks
    for other in results[1:]:
        for name, a, b in zip(Cycles._fields, results[0], other):
            np.testing.assert_array_equal(a, b, err_msg=name)
    c = results[0]
    assert c.start[0] == 0 and c.end()[-1] == len(x) * 1000
    np.testing.assert_array_equal(c.start[1:], c.end()[:-1])
    assert (c.kind == KIND_FILLER).sum() >= 3 * 10  # three interruptions of 15 cycles
    # the learnt level follows the swell: 1.3 x 325 / sqrt 2 (the filter passes the
    # fundamental at unit gain; the noise adds 2 / sqrt(10000 / 2 / 40) in quadrature)
    expected = options.get("nominal_rms", 1.3 * 325.0 / np.sqrt(2.0))
    assert det.reference_level == pytest.approx(expected, rel=2e-3)


@pytest.mark.parametrize("cuts", [[10000], [1, 999, 3000, 6000], [4096] * 2 + [1808]])
def test_column_stats_are_exact_whatever_the_batches(cuts):
    x = np.random.default_rng(3).normal(230.0, 5.0, 10000)
    x[17] = np.nan
    z = x.copy()
    z[5] = np.inf
    stats, pos = ColumnStats(block=1024), 0
    for c in cuts:
        stats.add({"x": x[pos:pos + c], "y": np.full(c, np.nan), "z": z[pos:pos + c],
                   "n": np.arange(pos, pos + c)})
        pos += c
    assert stats.mean("x") == pytest.approx(np.nanmean(x), rel=1e-14)
    assert (stats.minimum("x"), stats.maximum("x")) == (np.nanmin(x), np.nanmax(x))
    assert stats.mean("y") is None
    assert stats.nan_skipping_mean("z") is None  # pandas: the mean of a column with inf is inf
    assert stats.mean("z") == pytest.approx(np.nanmean(np.where(np.isinf(z), np.nan, z)))
    assert "n" not in stats.names  # integer columns are not summarised


def test_envelope_keeps_the_extremes_in_bounded_points():
    n = 50000
    x = np.arange(n) * 0.2
    y = 230.0 + np.random.default_rng(5).normal(0.0, 0.1, n)
    y[12345], y[40000] = 150.0, 260.0  # a one-row dip and swell
    y[100:200] = np.nan
    results = []
    for cuts in ([n], [7] * (n // 7) + [n % 7], [20000, 1, 29999]):
        env, pos = Envelope(["y"], buckets=100), 0
        for c in cuts:
            env.add(x[pos:pos + c], {"y": y[pos:pos + c]})
            pos += c
        results.append(env.points("y"))
    for px, py in results[1:]:
        np.testing.assert_array_equal(px, results[0][0])
        np.testing.assert_array_equal(py, results[0][1])
    px, py = results[0]
    assert len(px) <= 200 and np.all(np.diff(px) > 0)
    assert (np.nanmin(py), np.nanmax(py)) == (150.0, 260.0)
    ok = np.isfinite(py)
    np.testing.assert_array_equal(y[np.round(px[ok] / 0.2).astype(int)], py[ok])  # samples


def test_report_and_console_from_a_streamed_result(demo, demo_result, tmp_path):
    streamed = analyze(demo[0], demo[1], sample_rate=FS, grid="star", backend="cpu", keep=())
    assert summary.console_summary(streamed) == summary.console_summary(demo_result)
    figures = report.render_figures(streamed)
    assert [f["note"] for f in figures] == [None] * len(report.FIGURES)
    assert all(f["png"] for f in figures)
    assert streamed.trends.worst["window"] == report.worst_window(demo_result)
    # without a harmonics table only the candidates' spectra are copied: the worst is the same
    pd.testing.assert_frame_equal(streamed.trends.worst["harmonics"],
                                  demo_result.trends.worst["harmonics"], check_exact=True)
    windows_only = analyze(demo[0], demo[1], sample_rate=FS, grid="star", backend="cpu",
                           keep=("windows",))
    pd.testing.assert_frame_equal(windows_only.windows, demo_result.windows, check_exact=True)
    kept, got = report.fundamental_phasors(demo_result), report.fundamental_phasors(streamed)
    assert kept.keys() == got.keys()
    for key, (mag, ang) in kept.items():
        assert got[key][0] == pytest.approx(mag, rel=1e-12)
        assert math.isclose(got[key][1], ang, abs_tol=1e-9)
    assert "Not drawn" not in report.write_report(streamed, tmp_path / "r.html").read_text()


def test_trends_rebuilt_from_the_kept_tables_are_the_trends_kept(demo_result):
    # A result without trends is drawn from trends made of its tables: they must be what the
    # analysis kept while it ran, so that both kinds of result give the same report.
    kept = demo_result.trends
    rebuilt = trends_of_tables(demo_result.windows, demo_result.half_cycles,
                               demo_result.harmonics)
    assert rebuilt.worst["window"] == kept.worst["window"]
    assert rebuilt.worst["thd"] == kept.worst["thd"]
    pd.testing.assert_frame_equal(rebuilt.worst["harmonics"].reset_index(drop=True),
                                  kept.worst["harmonics"].reset_index(drop=True))
    assert rebuilt.phasors.keys() == kept.phasors.keys()
    for key, (mag, ang) in kept.phasors.items():  # sums in another order: last bits
        assert rebuilt.phasors[key][0] == pytest.approx(mag, rel=1e-12)
        assert math.isclose(rebuilt.phasors[key][1], ang, abs_tol=1e-9)
    assert rebuilt.means.keys() == kept.means.keys()
    for key, mean in kept.means.items():
        assert (rebuilt.means[key] is None) == (mean is None), key
        assert mean is None or rebuilt.means[key] == pytest.approx(mean, rel=1e-12), key
    for env, env_kept in ((rebuilt.windows, kept.windows),
                          (rebuilt.half_cycles, kept.half_cycles)):
        assert env.names == env_kept.names and env.rows == env_kept.rows
        for name in env.names:
            for got, want in zip(env.points(name), env_kept.points(name)):
                np.testing.assert_array_equal(got, want)
