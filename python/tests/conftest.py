"""Shared fixtures and helpers.  The in-tree package is importable without installing it;
tests taking ``backend`` (module-scoped) run on every backend present: the CPU always, CUDA where a
device is usable (POWERGPU_TEST_BACKEND=cpu|cuda restricts the list; cuda then fails
loudly when no device is usable)."""
import functools
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

from powergpu import _native  # noqa: E402

FS = 10000.0
SQ2 = np.sqrt(2.0)


@functools.lru_cache(maxsize=None)
def _backends():
    names = ["cpu"]
    try:
        lib = _native.load()
        handle = lib.powerModule_createOnBackend(_native.BACKEND_CUDA)
        if handle:
            lib.powerModule_destroy(handle)
            names.append("cuda")
    except OSError:
        pass  # the tests then fail with the loader's message
    wanted = os.environ.get("POWERGPU_TEST_BACKEND", "").strip().lower()
    return tuple([wanted] if wanted in ("cpu", "cuda") else names)


def pytest_generate_tests(metafunc):
    if "backend" in metafunc.fixturenames:
        metafunc.parametrize("backend", _backends(), scope="module")


def three_phase(n, fs=FS, f=50.0, u=230.0, i=10.0, lag_deg=30.0, h5=0.0, h7=0.0, start=0):
    """Star voltages with 5th and 7th harmonics and pure-sine currents lagging them."""
    w = 2 * np.pi * f * ((np.arange(n) + start) / fs)[:, None] - 2 * np.pi * np.arange(3) / 3
    volts = u * SQ2 * (np.sin(w) + h5 * np.sin(5 * w) + h7 * np.sin(7 * w))
    return volts, i * SQ2 * np.sin(w - np.radians(lag_deg))


def run_cli(*args, cwd=None):
    """``python -m powergpu`` in a fresh process: the real exit status, stdout, stderr."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PYTHON_DIR),
                                                       os.environ.get("PYTHONPATH", "")]))
    env.pop("POWERGPU_DEBUG", None)
    return subprocess.run([sys.executable, "-m", "powergpu", *map(str, args)], cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=600)


# A small COMTRADE configuration (line numbers matter to the error tests): VA stored as
# primary kV (a = 0.5, b = 10, ratio 20/0.1), IA as secondary A (ratio 600/5), one digital.
CFG_LINES = ["Sub A,Relay 7,1999", "3,2A,1D",
             "1,VA,A,Bay1,kV,0.5,10,0,-32767,32767,20,0.1,P",
             "2,IA,A,Bay1,A,0.01,-0.5,0,-32767,32767,600,5,S",
             "1,TRIP,,,0", "50", "1", "1000,3", "04/05/2020,06:07:08.123456",
             "04/05/2020,06:07:08.223456", "ASCII", "1"]
CFG = "\n".join(CFG_LINES) + "\n"
DAT = "1,0,0,100,0\n2,1000,2,150,1\n3,2000,-4,0,0\n"


def write_pair(folder, cfg, dat, name="rec"):
    """A .cfg/.dat pair; ``cfg`` is text or a list of lines, ``dat`` text or bytes."""
    if not isinstance(cfg, str):
        cfg = "\n".join(cfg) + "\n"
    (folder / f"{name}.cfg").write_bytes(cfg.encode("latin-1"))
    (folder / f"{name}.dat").write_bytes(dat if isinstance(dat, bytes) else dat.encode())
    return folder / f"{name}.cfg"


def binary_records(fmt, analog, stamps=None, words=None):
    """BINARY/BINARY32/FLOAT32 data records: number, stamp (us), analog, status words."""
    analog = np.asarray(analog)
    words = np.zeros((len(analog), 0)) if words is None else np.asarray(words)
    kind = {"BINARY": "<i2", "BINARY32": "<i4", "FLOAT32": "<f4"}[fmt]
    rec = np.zeros(len(analog), [("n", "<u4"), ("t", "<u4"), ("a", kind, (analog.shape[1],)),
                                 ("d", "<u2", (words.shape[1],))])
    rec["n"] = np.arange(1, len(analog) + 1)
    rec["t"] = np.arange(len(analog)) * 1000 if stamps is None else stamps
    rec["a"], rec["d"] = analog, words
    return rec.tobytes()


@pytest.fixture(scope="session")
def native():
    try:
        _native.find_library()
    except OSError as exc:
        pytest.skip(f"libpowergpu is not built here ({' '.join(str(exc).split())[:160]})")


@pytest.fixture(scope="session")
def demo():
    """The built-in demo signal: (voltages, currents, truth)."""
    from powergpu.demo import demo_signal
    return demo_signal()


@pytest.fixture(scope="session")
def demo_result(native, demo):
    from powergpu import analyze
    return analyze(demo[0], demo[1], sample_rate=FS, grid="star", backend="cpu")


@pytest.fixture(scope="session")
def demo_comtrade(demo, tmp_path_factory):
    """The demo as a BINARY32 COMTRADE file whose channels are found by phase and unit."""
    from powergpu.demo import demo_channels
    from powergpu.io import write_comtrade
    chans = [{"name": n, "unit": "V" if k < 3 else "A", "phase": "ABC"[k % 3]}
             for k, n in enumerate(demo_channels)]
    return write_comtrade(tmp_path_factory.mktemp("demo") / "demo",
                          np.concatenate(demo[:2], axis=1), FS, chans, fmt="BINARY32")
