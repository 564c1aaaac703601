"""libFuzzer/atheris harness for the recording readers: only RecordingError may escape.

The first input byte picks a target, the rest is the fuzzed content: 0 configuration text
alone; 1, 2, 3 a fixed ASCII, BINARY or FLOAT32 (samp=0) configuration with a fuzzed .dat;
4 fuzzed .cfg and .dat split at the first NUL byte; 5 a .cff; 6 a CSV; 7 a WAV.
Run by test_io_fuzz.py; by hand for longer runs:
  PYTHONPATH=python python python/tests/io_fixtures/fuzz_io_target.py CORPUS -max_total_time=600
"""
import os
import sys
import tempfile

import atheris
import numpy  # noqa: F401  -- imported first so only our own code is instrumented

with atheris.instrument_imports():
    from powergpu.io import RecordingError, open_recording
    from powergpu.io.comtrade_cfg import parse_cfg

_ANALOG = "1,VA,A,,kV,0.01,0.5,0,-32767,32767,100,1,S\n2,IA,A,,A,0.001,0,0,-32767,32767,1,1,P\n"
_DIGITAL = "1,TRIP,,,0\n"
_TAIL = "01/02/2020,10:00:00.000000\n01/02/2020,10:00:00.001000\n{ft}\n1\n0,0\n0,0\n"
FIXED_CFG = {
    1: "S,D,2013\n3,2A,1D\n" + _ANALOG + _DIGITAL + "50\n1\n1000,20\n" + _TAIL.format(ft="ASCII"),
    2: "S,D,1999\n3,2A,1D\n" + _ANALOG + _DIGITAL + "50\n1\n1000,20\n" + _TAIL.format(ft="BINARY"),
    3: "S,D,2013\n3,2A,1D\n" + _ANALOG + _DIGITAL + "60\n0\n0,20\n" + _TAIL.format(ft="FLOAT32"),
}
# Each input is written to files here.  libFuzzer leaves through C exit(), so
# the caller owns (and removes) this folder: POWERGPU_FUZZ_DIR, else a new one.
_DIR = os.environ.get("POWERGPU_FUZZ_DIR") or tempfile.mkdtemp(prefix="powergpu-fuzz-")


def _exercise(path: str) -> None:
    rec = open_recording(path)
    try:
        n = rec.n_samples
        if n:
            rec.read(0, min(n, 50))
            rec.read(n - 1, 1)
        for _ in rec.chunks(7):
            pass
        _ = rec.start_time, rec.channels, rec.sample_rate
    finally:
        rec.close()


def _write(name: str, data: bytes) -> str:
    with open(os.path.join(_DIR, name), "wb") as fh:
        fh.write(data)
    return fh.name


def test_one(data: bytes) -> None:
    if not data:
        return
    mode, body = data[0] % 8, data[1:]
    try:
        if mode == 0:
            parse_cfg(body.decode("latin-1"), "fuzz.cfg")
        elif mode in FIXED_CFG or mode == 4:
            cfg, _, dat = body.partition(b"\x00")
            if mode in FIXED_CFG:
                cfg, dat = FIXED_CFG[mode].encode(), body
            _write("f.dat", dat)
            _exercise(_write("f.cfg", cfg))
        else:
            _exercise(_write({5: "h.cff", 6: "i.csv", 7: "j.wav"}[mode], body))
    except RecordingError:
        pass


def main() -> None:
    os.makedirs(_DIR, exist_ok=True)
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
