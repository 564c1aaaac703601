"""Bounded coverage-guided fuzzing of the configuration parser and the data
readers: only RecordingError may escape (see io_fixtures/fuzz_io_target.py).

Runs libFuzzer through atheris in a subprocess with a fixed seed, a run cap
and a ~20 s time cap, starting from valid seed files of every kind.
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import wave
from pathlib import Path

import numpy as np
import pytest

from powergpu.io import write_comtrade

pytest.importorskip("atheris")

HERE = Path(__file__).resolve().parent
TARGET = HERE / "io_fixtures" / "fuzz_io_target.py"


def _seed_corpus(corpus: Path, work: Path) -> None:
    def put(name: str, mode: int, data: bytes) -> None:
        (corpus / name).write_bytes(bytes([mode]) + data)

    x = np.random.default_rng(0).normal(size=(6, 2))
    digital = np.ones((6, 1))
    cfg = write_comtrade(work / "s0", x, 1000.0, ["VA", "IA"], rev=2013, digital=digital)
    put("cfg", 0, cfg.read_bytes())
    put("ascii", 1, b"".join(b"%d,%d,%d,%d,%d\n" % (i + 1, i * 1000, i * 7 - 20,
                                                    99999 if i == 3 else -i, i % 2)
                             for i in range(20)))
    rec = np.zeros(20, [("n", "<u4"), ("t", "<u4"), ("a", "<i2", (2,)), ("d", "<u2", (1,))])
    rec["n"] = np.arange(1, 21)
    rec["a"][5] = -32768
    put("binary", 2, rec.tobytes())
    rec = np.zeros(20, [("n", "<u4"), ("t", "<u4"), ("a", "<f4", (2,)), ("d", "<u2", (1,))])
    rec["t"] = np.arange(20) * 250
    put("float", 3, rec.tobytes())
    pair = write_comtrade(work / "s4", x, 1000.0, ["VA", "IA"], fmt="ASCII")
    put("pair", 4, pair.read_bytes() + b"\x00" + pair.with_suffix(".dat").read_bytes())
    for fmt in ("BINARY", "ASCII"):
        cff = write_comtrade(work / f"s5{fmt}", x, 1000.0, ["VA", "IA"], rev=2013, cff=True,
                             fmt=fmt)
        put(f"cff-{fmt}", 5, cff.read_bytes())
    put("csv", 6, b"time;Ua [kV];Ib\n0,0;1,5;2\n0,001;1,6;\n0,002;1,7;3\n")
    buf = io.BytesIO()
    with wave.open(buf, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(3)
        w.setframerate(8000)
        w.writeframes(bytes(60))
    put("wav", 7, buf.getvalue())
    put("wav-float", 7, b"RIFF" + struct.pack("<I", 44) + b"WAVEfmt " + struct.pack(
        "<IHHIIHH", 16, 3, 1, 8000, 32000, 4, 32) + b"data" + struct.pack("<I", 8) + bytes(8))


@pytest.fixture
def scratch(tmp_path):
    """Folder for the files each fuzz input becomes; in RAM where possible."""
    shm = Path("/dev/shm")
    if shm.is_dir() and os.access(shm, os.W_OK):
        path = Path(tempfile.mkdtemp(prefix="powergpu-fuzz-", dir=shm))
        yield path
        shutil.rmtree(path, ignore_errors=True)
    else:
        yield tmp_path / "scratch"


def test_only_recording_errors_escape(tmp_path, scratch):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    _seed_corpus(corpus, tmp_path)
    env = dict(os.environ, POWERGPU_FUZZ_DIR=str(scratch), PYTHONPATH=os.pathsep.join(
        [str(HERE.parent)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    # At most 20000 inputs or 20 s of fuzzing, whichever comes first.
    cmd = [sys.executable, str(TARGET), str(corpus), "-seed=12345", "-runs=20000",
           "-max_total_time=20", "-max_len=4096", "-timeout=10", "-rss_limit_mb=2048",
           f"-artifact_prefix={tmp_path}/"]
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=300,
                          cwd=tmp_path)
    log = proc.stdout + proc.stderr
    assert proc.returncode == 0, log[-6000:]
    assert "Done" in log, log[-2000:]  # libFuzzer's closing line: the run really happened
    crashes = [p.name for p in tmp_path.iterdir() if p.name.startswith(("crash-", "timeout-",
                                                                         "oom-"))]
    assert not crashes, crashes
