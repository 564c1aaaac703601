"""Bounded coverage-guided fuzzing of the configuration parser and the data readers: only
RecordingError may escape (io_fixtures/fuzz_io_target.py).  libFuzzer runs through atheris
in a subprocess with a fixed seed, a run cap and a 20 s time cap, from valid seed files."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest

from conftest import PYTHON_DIR, binary_records
from powergpu.io import write_comtrade

pytest.importorskip("atheris")
TARGET = Path(__file__).resolve().parent / "io_fixtures" / "fuzz_io_target.py"


def seed_corpus(corpus, work):
    x, names = np.random.default_rng(0).normal(size=(6, 2)), ["VA", "IA"]
    pair = write_comtrade(work / "s4", x, 1000.0, names, fmt="ASCII")
    stamps = binary_records("FLOAT32", np.zeros((20, 2)), stamps=np.arange(20) * 250,
                            words=np.zeros((20, 1)))
    raw = np.zeros((20, 2))
    raw[5, 0] = -32768
    seeds = {
        "cfg": (0, write_comtrade(work / "s0", x, 1000.0, names, rev=2013,
                                  digital=np.ones((6, 1))).read_bytes()),
        "ascii": (1, b"".join(b"%d,%d,%d,%d,%d\n" % (i + 1, i * 1000, i * 7 - 20,
                                                     99999 if i == 3 else -i, i % 2)
                              for i in range(20))),
        "binary": (2, binary_records("BINARY", raw, words=np.zeros((20, 1)))),
        "float": (3, stamps),
        "pair": (4, pair.read_bytes() + b"\x00" + pair.with_suffix(".dat").read_bytes()),
        "csv": (6, b"time;Ua [kV];Ib\n0,0;1,5;2\n0,001;1,6;\n0,002;1,7;3\n"),
    }
    for name, fmt_code, channels, bits, size in (("wav-float", 3, 1, 32, 8),
                                                 ("wav-pcm24", 1, 2, 24, 60)):
        align = channels * bits // 8
        seeds[name] = (7, b"RIFF" + struct.pack("<I", 36 + size) + b"WAVEfmt " + struct.pack(
            "<IHHIIHH", 16, fmt_code, channels, 8000, 8000 * align, align, bits) + b"data"
            + struct.pack("<I", size) + bytes(size))
    for fmt in ("BINARY", "ASCII"):
        seeds[f"cff-{fmt}"] = (5, write_comtrade(work / f"s5{fmt}", x, 1000.0, names, rev=2013,
                                                 cff=True, fmt=fmt).read_bytes())
    for name, (mode, data) in seeds.items():
        (corpus / name).write_bytes(bytes([mode]) + data)


@pytest.fixture
def scratch(tmp_path):
    """Folder for the files each fuzz input becomes: in RAM where possible."""
    shm = os.access("/dev/shm", os.W_OK)
    path = Path(tempfile.mkdtemp(dir="/dev/shm")) if shm else tmp_path / "scratch"
    yield path
    shutil.rmtree(path, ignore_errors=True)


def test_only_recording_errors_escape(tmp_path, scratch):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    seed_corpus(corpus, tmp_path)
    env = dict(os.environ, POWERGPU_FUZZ_DIR=str(scratch), PYTHONPATH=os.pathsep.join(
        [str(PYTHON_DIR), os.environ.get("PYTHONPATH", "")]))
    # At most 20000 inputs or 20 s of fuzzing, whichever comes first.
    proc = subprocess.run([sys.executable, str(TARGET), str(corpus), "-seed=12345",
                           "-runs=20000", "-max_total_time=20", "-max_len=4096", "-timeout=10",
                           "-rss_limit_mb=2048", f"-artifact_prefix={tmp_path}/"],
                          env=env, capture_output=True, text=True, timeout=300, cwd=tmp_path)
    log = proc.stdout + proc.stderr
    assert proc.returncode == 0, log[-6000:]
    assert "Done" in log, log[-2000:]  # libFuzzer's closing line: the run really happened
    assert not [p.name for p in tmp_path.iterdir()
                if p.name.startswith(("crash-", "timeout-", "oom-"))]
