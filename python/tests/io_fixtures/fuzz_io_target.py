"""libFuzzer/atheris harness for the recording readers.

The first input byte picks a target; the rest is the fuzzed content:
  0  configuration text alone (parse_cfg)
  1  a fixed valid ASCII configuration + fuzzed .dat
  2  a fixed valid BINARY configuration + fuzzed .dat
  3  a fixed FLOAT32 configuration with samp=0 + fuzzed .dat
  4  fuzzed .cfg and .dat, split at the first NUL byte
  5  a whole fuzzed .cff
  6  a fuzzed CSV;  7  a fuzzed WAV
Only RecordingError may escape the readers; anything else is a crash.

Run by python/tests/test_io_fuzz.py; also usable by hand for longer runs:
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
    3: "S,D,2013\n3,2A,1D\n" + _ANALOG + _DIGITAL + "60\n0\n0,0\n" + _TAIL.format(ft="FLOAT32"),
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
    path = os.path.join(_DIR, name)
    with open(path, "wb") as fh:
        fh.write(data)
    return path


def test_one(data: bytes) -> None:
    if not data:
        return
    mode, body = data[0] % 8, data[1:]
    try:
        if mode == 0:
            parse_cfg(body.decode("latin-1"), "fuzz.cfg")
        elif mode in FIXED_CFG:
            _write("f.cfg", FIXED_CFG[mode].encode())
            _write("f.dat", body)
            _exercise(os.path.join(_DIR, "f.cfg"))
        elif mode == 4:
            cfg, _, dat = body.partition(b"\x00")
            _write("g.cfg", cfg)
            _write("g.dat", dat)
            _exercise(os.path.join(_DIR, "g.cfg"))
        elif mode == 5:
            _exercise(_write("h.cff", body))
        elif mode == 6:
            _exercise(_write("i.csv", body))
        else:
            _exercise(_write("j.wav", body))
    except RecordingError:
        pass


def main() -> None:
    os.makedirs(_DIR, exist_ok=True)
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
