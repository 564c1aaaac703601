"""Streaming mode of the analysis: a sink receives every table batch by
batch, the result keeps only bounded data, and nothing of that changes what
is computed.  Memory is checked with tracemalloc (never with timings)."""
import math
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from powergpu import analysis, analyze, analyze_stream
from powergpu.cycles import CycleDetector, Cycles
from powergpu.demo import demo_signal
from powergpu.module import Module

FS = 10000.0
MiB = 1 << 20


class Collector:
    """A sink that keeps every batch it is given."""

    def __init__(self):
        self.batches = {name: [] for name in ("windows", "harmonics", "half_cycles", "events",
                                              "cycles")}

    def on_windows(self, df):
        self.batches["windows"].append(df)

    def on_harmonics(self, df):
        self.batches["harmonics"].append(df)

    def on_half_cycles(self, df):
        self.batches["half_cycles"].append(df)

    def on_events(self, df):
        self.batches["events"].append(df)

    def on_cycles(self, df):
        self.batches["cycles"].append(df)

    def table(self, name, like):
        parts = self.batches[name]
        if not parts:
            return like.iloc[:0]
        return pd.concat(parts, ignore_index=True)


@pytest.fixture(scope="module")
def demo():
    v, i, info = demo_signal(seconds=8.0)
    return v, i, info


@pytest.fixture
def small_batches(monkeypatch):
    """Batches of a few windows and half cycles, so that a short signal
    crosses many batch boundaries."""
    monkeypatch.setattr(analysis, "WINDOW_BATCH", 7)
    monkeypatch.setattr(analysis, "HALF_CYCLE_BATCH", 53)


def test_streamed_batches_are_the_kept_tables(backend, demo, small_batches):
    v, i, _ = demo
    kept = analyze(v, i, sample_rate=FS, grid="star", backend=backend)
    sink = Collector()
    streamed = analyze(v, i, sample_rate=FS, grid="star", backend=backend, sink=sink, keep=())
    assert len(sink.batches["windows"]) > 3 and len(sink.batches["half_cycles"]) > 3
    for name in ("windows", "harmonics", "half_cycles", "cycles", "events"):
        reference = getattr(kept, name)
        pd.testing.assert_frame_equal(sink.table(name, reference), reference, check_exact=True,
                                      obj=name)
    # nothing large is kept, but every table keeps its columns
    for name in ("windows", "harmonics", "half_cycles", "cycles"):
        table = getattr(streamed, name)
        assert len(table) == 0
        assert list(table.columns) == list(getattr(kept, name).columns)
    pd.testing.assert_frame_equal(streamed.events, kept.events, check_exact=True)
    assert len(kept.events) == 1
    assert streamed.summary == kept.summary
    assert streamed.trends.means == kept.trends.means
    assert streamed.trends.phasors == kept.trends.phasors


def test_the_summary_does_not_depend_on_the_batches(backend, demo, monkeypatch):
    v, i, _ = demo
    default = analyze(v, i, sample_rate=FS, grid="star", backend=backend, keep=())
    monkeypatch.setattr(analysis, "WINDOW_BATCH", 3)
    monkeypatch.setattr(analysis, "HALF_CYCLE_BATCH", 17)
    small = analyze(v, i, sample_rate=FS, grid="star", backend=backend, keep=())
    assert small.summary == default.summary
    assert small.trends.means == default.trends.means
    # and the means are those of the table
    w = analyze(v, i, sample_rate=FS, grid="star", backend=backend).windows
    for k in (1, 2, 3):
        assert default.summary["phases"][k - 1]["rms"] == pytest.approx(
            w[f"u{k}_rms"].mean(), rel=1e-13)
    assert default.summary["frequency_max"] == w["frequency"].max()


def test_keep_chooses_the_tables(demo):
    v, i, _ = demo
    res = analyze(v[:30000], i[:30000], sample_rate=FS, grid="star", backend="cpu",
                  keep=("windows", "half-cycles"))
    assert len(res.windows) > 0 and len(res.half_cycles) > 0
    assert len(res.harmonics) == 0 and len(res.cycles) == 0
    with pytest.raises(ValueError, match="unknown table"):
        analyze(v[:30000], sample_rate=FS, grid="star", keep=("spectra",))


def test_sink_methods_are_optional(demo):
    v, i, _ = demo
    seen = []
    sink = SimpleNamespace(on_half_cycles=lambda df: seen.append(len(df)))
    res = analyze(v[:40000], i[:40000], sample_rate=FS, grid="star", backend="cpu", sink=sink,
                  keep=())
    assert sum(seen) == res.summary["half_cycle_count"] > 0


def test_harmonics_rows_go_window_by_window(demo):
    v, i, _ = demo
    h = analyze(v[:30000], i[:30000], sample_rate=FS, grid="star", backend="cpu").harmonics
    key = pd.DataFrame({"w": h["window"], "c": h["channel"].cat.codes, "o": h["order"]})
    assert key.equals(key.sort_values(["w", "c", "o"]))
    assert h["window"].is_monotonic_increasing


def test_harmonic_tables_gathered_at_once_equal_one_by_one(demo, monkeypatch):
    v, i, _ = demo
    fast = analyze(v[:30000], i[:30000], sample_rate=FS, grid="star", backend="cpu")
    monkeypatch.setattr(Module, "_GATHER_SPAN", 0)  # forces the copy one by one
    slow = analyze(v[:30000], i[:30000], sample_rate=FS, grid="star", backend="cpu")
    pd.testing.assert_frame_equal(fast.harmonics, slow.harmonics, check_exact=True)
    pd.testing.assert_frame_equal(fast.windows, slow.windows, check_exact=True)


def _chunks(minutes, fs=FS, size=1 << 16):
    """A three-phase recording with currents, computed chunk by chunk (the
    whole signal never exists in memory), with a short dip every minute."""
    n = int(minutes * 60 * fs)
    shift = np.array([0.0, -2 * np.pi / 3, 2 * np.pi / 3])
    for start in range(0, n, size):
        t = np.arange(start, min(start + size, n)) / fs
        ph = 2 * np.pi * 50.02 * t[:, None] + shift
        dip = np.where((t % 60.0 >= 30.0) & (t % 60.0 < 30.2), 0.9, 1.0)[:, None]
        u = 325.0 * dip * (np.sin(ph) + 0.03 * np.sin(5 * ph))
        i = 14.0 * np.sin(ph - 0.5)
        yield start, np.concatenate([u, i], axis=1)


def _streamed_peak(minutes):
    tracemalloc.start()
    try:
        res = analyze_stream(_chunks(minutes), sample_rate=FS, grid="star", backend="cpu",
                             keep=())
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak, res


def test_streaming_memory_does_not_grow_with_the_length():
    short, res5 = _streamed_peak(5)
    long, res20 = _streamed_peak(20)
    assert res20.summary["window_count"] > 3.9 * res5.summary["window_count"]
    assert res20.summary["rvc_event_count"] == 20 and res5.summary["rvc_event_count"] == 5
    # The tables of 20 minutes would take well over 100 MiB (about 400 MB an
    # hour); the streaming peak is that of the batches and must not grow.
    assert long <= short * 1.15 + 2 * MiB, (short / MiB, long / MiB)
    assert long < 120 * MiB, long / MiB
    # the report data stays bounded too
    env = res20.trends.windows
    assert len(env.points("u1_rms")[0]) <= 2 * env.capacity
    assert min(env.values("u1_rms")) < 0.95 * max(env.values("u1_rms"))  # the dips are there


# --- the vectorised cycle detection --------------------------------------------------------

def _detect(x, vectorised, chunk, **options):
    det = CycleDetector(FS, 50.0, **options)
    det.vectorised = vectorised
    fast = []
    original = det._search_fast

    def counted(*args):
        ok = original(*args)
        fast.append(ok)
        return ok

    det._search_fast = counted
    parts = [det.process(x[k:k + chunk]) for k in range(0, len(x), chunk)]
    parts.append(det.flush())
    return Cycles.concatenate(parts), fast


@pytest.mark.parametrize("options", [{}, {"nominal_rms": 230.0}])
@pytest.mark.parametrize("chunk", [997, 65536])
def test_vectorised_cycle_detection_equals_one_by_one(options, chunk):
    rng = np.random.default_rng(11)
    t = np.arange(int(40 * FS)) / FS
    x = 325.0 * np.sin(2 * np.pi * (50.0 * t + 0.3 * np.sin(0.5 * t)))
    x *= np.where((t % 7.0) < 0.4, 0.05, 1.0)         # deep dips
    x *= np.where((t % 11.0) < 0.3, 0.0, 1.0)         # interruptions: fillers
    x *= np.where(t > 20.0, 1.3, 1.0)                 # a swell: the learnt level rises
    x += 2.0 * rng.standard_normal(len(t))
    slow, used = _detect(x, False, chunk, **options)
    assert not used
    fast, used = _detect(x, True, chunk, **options)
    assert any(used)  # blocks went through the vectorised path
    for name, a, b in zip(Cycles._fields, slow, fast):
        np.testing.assert_array_equal(a, b, err_msg=name)


# --- bounded summaries ---------------------------------------------------------------------

def test_column_stats_are_exact_whatever_the_batches():
    from powergpu.trends import ColumnStats

    rng = np.random.default_rng(3)
    x = rng.normal(230.0, 5.0, 10000)
    x[17] = np.nan
    y = np.full(10000, np.nan)
    z = x.copy()
    z[5] = np.inf
    results = []
    for cuts in ([10000], [1, 999, 3000, 6000], [4096] * 2 + [1808]):
        stats = ColumnStats(block=1024)
        pos = 0
        for c in cuts:
            stats.add({"x": x[pos:pos + c], "y": y[pos:pos + c], "z": z[pos:pos + c],
                       "n": np.arange(pos, pos + c)})
            pos += c
        results.append((stats.mean("x"), stats.minimum("x"), stats.maximum("x"),
                        stats.mean("y"), stats.nan_skipping_mean("z"), stats.mean("z")))
    assert results[0] == results[1] == results[2]
    mean_x, lo, hi, mean_y, mean_z_pandas, mean_z_finite = results[0]
    assert mean_x == pytest.approx(np.nanmean(x), rel=1e-14)
    assert (lo, hi) == (np.nanmin(x), np.nanmax(x))
    assert mean_y is None
    assert mean_z_pandas is None  # pandas: the mean of a column with inf is inf
    assert mean_z_finite == pytest.approx(np.nanmean(np.where(np.isinf(z), np.nan, z)))
    assert "n" not in stats.names  # integer columns are not summarised


def test_envelope_keeps_the_extremes_in_bounded_points():
    from powergpu.trends import Envelope

    rng = np.random.default_rng(5)
    n = 50000
    x = np.arange(n) * 0.2
    y = 230.0 + rng.normal(0.0, 0.1, n)
    y[12345] = 150.0  # a one-row dip
    y[40000] = 260.0
    y[100:200] = np.nan
    results = []
    for cuts in ([n], [7] * (n // 7) + [n % 7], [20000, 1, 29999]):
        env = Envelope(["y"], buckets=100)
        pos = 0
        for c in cuts:
            env.add(x[pos:pos + c], {"y": y[pos:pos + c]})
            pos += c
        results.append(env.points("y"))
    for px, py in results[1:]:
        np.testing.assert_array_equal(px, results[0][0])
        np.testing.assert_array_equal(py, results[0][1])
    px, py = results[0]
    assert len(px) <= 200 and np.all(np.diff(px) > 0)
    assert np.nanmin(py) == 150.0 and np.nanmax(py) == 260.0
    ok = np.isfinite(py)
    idx = np.round(px[ok] / 0.2).astype(int)
    np.testing.assert_array_equal(y[idx], py[ok])  # every point is a sample


def test_report_and_console_from_a_streamed_result(demo, tmp_path):
    from powergpu import report, summary

    v, i, _ = demo
    kept = analyze(v, i, sample_rate=FS, grid="star", backend="cpu")
    streamed = analyze(v, i, sample_rate=FS, grid="star", backend="cpu", keep=())
    assert summary.console_summary(streamed) == summary.console_summary(kept)
    figures = report.render_figures(streamed)
    assert [f["note"] for f in figures] == [None] * len(report.FIGURES)
    assert all(f["png"] for f in figures)
    assert streamed.trends.worst["window"] == report.worst_window(kept)
    ph_kept = report.fundamental_phasors(kept)
    ph_streamed = report.fundamental_phasors(streamed)
    assert ph_kept.keys() == ph_streamed.keys()
    for key, (mag, ang) in ph_kept.items():
        assert ph_streamed[key][0] == pytest.approx(mag, rel=1e-12)
        assert math.isclose(ph_streamed[key][1], ang, abs_tol=1e-9)
    text = report.write_report(streamed, tmp_path / "r.html").read_text()
    assert "Not drawn" not in text
