"""Large recordings are read in bounded memory, and chunked reads equal whole
reads.  Memory is measured with tracemalloc (numpy reports its buffers to it;
memory-mapped pages are not allocations), never with timings."""
import tracemalloc

import numpy as np
import pytest

from powergpu.io import open_recording, write_comtrade

RATE = 6400.0
MiB = 1 << 20


class LazySignal:
    """A 2-D array-like whose rows are computed when sliced, so generating a
    large file does not itself need the data in memory."""

    def __init__(self, n: int, n_ch: int) -> None:
        self.shape = (n, n_ch)

    def __getitem__(self, rows: slice) -> np.ndarray:
        start, stop, _ = rows.indices(self.shape[0])
        t = np.arange(start, stop)[:, None] / RATE
        k = np.arange(self.shape[1])[None, :]
        return (100.0 + 10 * k) * np.sin(2 * np.pi * 50 * t + k) + 0.001 * (np.arange(
            start, stop)[:, None] % 97)


def traced_peak(fn) -> int:
    tracemalloc.start()
    try:
        fn()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


@pytest.fixture(scope="module")
def big_binary(tmp_path_factory):
    n_ch = 8
    record = 8 + 2 * n_ch                      # sample number, stamp, 8 x int16
    n = (50 * MiB) // record                   # a 50 MiB data file
    path = write_comtrade(tmp_path_factory.mktemp("big") / "big", LazySignal(n, n_ch), RATE,
                          [f"U{k}" for k in range(n_ch)], fmt="BINARY")
    assert path.with_suffix(".dat").stat().st_size == n * record
    return path, n, n_ch


def test_binary_chunks_bounded_and_equal_whole_read(big_binary):
    path, n, n_ch = big_binary
    chunk = 65536
    sums = []

    def scan():
        with open_recording(path) as rec:
            for start, block in rec.chunks(chunk_samples=chunk):
                sums.append((start, block.shape[0], block.sum(axis=0)))

    peak = traced_peak(scan)
    whole_bytes = n * n_ch * 8                  # the float64 result of one whole read
    # Bound: a few chunk-sized temporaries (4 MiB each), far below the 50 MiB file
    # and the ~100 MiB whole read.
    assert peak < 24 * MiB, f"peak {peak / MiB:.1f} MiB"
    assert peak < whole_bytes / 4

    with open_recording(path) as rec:
        whole = rec.read()
        assert whole.shape == (n, n_ch)
        assert [(s, c) for s, c, _ in sums] == [(s, min(chunk, n - s))
                                                for s in range(0, n, chunk)]
        for start, count, total in sums:  # same data, same summation order: exact
            np.testing.assert_array_equal(total, whole[start:start + count].sum(axis=0))
        for start, block in rec.chunks(chunk_samples=chunk * 3 + 7):
            np.testing.assert_array_equal(block, whole[start:start + block.shape[0]])
        # values match the generator to the int16 quantisation a/2
        a = np.array([c.a for c in rec.channels])
        for start in (0, n // 2, n - 1000):
            err = np.abs(whole[start:start + 1000] - LazySignal(n, n_ch)[start:start + 1000])
            assert np.all(err <= a / 2 * (1 + 1e-9))


def _ascii_peak(tmp_path, n: int) -> int:
    path = write_comtrade(tmp_path / f"a{n}", LazySignal(n, 6), RATE,
                          [f"I{k}" for k in range(6)], fmt="ASCII")

    def scan():
        with open_recording(path) as rec:
            for _, block in rec.chunks(chunk_samples=2048):
                block.sum()
            rec.read(n - 3000, 2000)  # random access through the line index

    return traced_peak(scan)


def test_ascii_streaming_memory_does_not_grow_with_length(tmp_path):
    small, large = _ascii_peak(tmp_path, 10_000), _ascii_peak(tmp_path, 80_000)
    # Eight times the lines may add index entries (16 bytes per 1024 lines) but
    # no per-line memory: allow 25 % + 1 MiB of noise, far below 8x (holding the
    # 80k-line file's text or values alone would take 5-7 MiB).
    assert large <= small * 1.25 + MiB, (small, large)


def test_ascii_chunks_equal_whole_read(tmp_path):
    n = 5000
    path = write_comtrade(tmp_path / "asc", LazySignal(n, 3), RATE, ["a", "b", "c"], fmt="ASCII")
    with open_recording(path) as rec:
        whole = rec.read()
        blocks = list(rec.chunks(chunk_samples=1234))
        assert [s for s, _ in blocks] == list(range(0, n, 1234))
        np.testing.assert_array_equal(np.concatenate([b for _, b in blocks]), whole)
        for start in (0, 1023, 1024, 1025, 4096, n - 1):
            np.testing.assert_array_equal(rec.read(start, n - start), whole[start:])


def _resident_kib(path) -> int:
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


@pytest.mark.skipif(not __import__("os").path.exists("/proc/self/smaps"),
                    reason="needs /proc/self/smaps")
def test_sequential_chunks_leave_no_resident_pages_behind(big_binary):
    path, n, n_ch = big_binary
    dat = path.with_suffix(".dat").resolve()
    with open_recording(path) as rec:
        for _, block in rec.chunks(chunk_samples=65536):
            block.sum()
        after_scan = _resident_kib(dat)
        rec.read(0, n)  # random access still works through the mapping
        after_read = _resident_kib(dat)
    # A scan that kept its pages would hold the whole 50 MiB file; the
    # random read shows that the measure sees them when they are kept.
    assert after_scan < 8 * 1024, after_scan
    assert after_read > 40 * 1024, after_read
