#!/usr/bin/env python3
"""What the grouped harmonic analysis costs the main job, in one process.

1. Analyses the demo recording (three voltages and three currents, 10 kHz,
   frequency drifting by 0.05 Hz, so the windows are 1998..2002 samples
   long) in memory, alternating three settings, and keeps each one's
   fastest of ``--repeat`` runs: without aggregation (no grouped analysis),
   with only the grouped table taken by a sink (``on_iec_harmonics``), and
   with the aggregation and the verdict (which run the grouped analysis).
   The ratios to the first are what each adds.
2. Schedules windows of one fixed length on the library alone, with and
   without the grouped analysis: its transform has the window's own length,
   so its cost depends on how that length factors (2000 = 2^4 5^3 against
   the prime 1999).

    python bench/iec_harmonics_job_bench.py                  # 10 minutes
    taskset -c 1 python bench/iec_harmonics_job_bench.py --minutes 2
    python bench/iec_harmonics_job_bench.py --clock cpu --minutes 60   # busy machine

Needs the package importable (PYTHONPATH=python) and the native library.
"""
from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))

from powergpu import Module, analyze  # noqa: E402
from powergpu.demo import demo_signal  # noqa: E402

FS = 10000.0
SETTINGS = {
    "without aggregation": dict(class_a=False),
    "grouped table only": dict(class_a=False, sink=SimpleNamespace(on_iec_harmonics=lambda df: None)),
    "aggregation + verdict": dict(class_a=True),
}


def job_times(minutes: float, repeat: int, clock=time.perf_counter) -> dict:
    volts, amps, _ = demo_signal(seconds=60.0 * minutes)
    best = {name: float("inf") for name in SETTINGS}
    for _ in range(repeat):
        for name, extra in SETTINGS.items():
            t0 = clock()
            analyze(volts, amps, sample_rate=FS, grid="star", backend="cpu", nominal_voltage=230.0,
                    keep=(), start_time="2026-03-02T13:07:00", **extra)
            best[name] = min(best[name], clock() - t0)
    return best


def window_time(length: int, grouped: bool, windows: int = 95, repeat: int = 3) -> float:
    """Seconds per window of ``length`` samples on the library alone."""
    t = np.arange(windows * length + 4000) / FS
    u = 230 * np.sqrt(2) * np.sin(2 * np.pi * 50 * t[:, None] - np.arange(3) * 2 * np.pi / 3)
    data = np.concatenate([u, u / 23], axis=1)
    best = float("inf")
    with Module("cpu") as m:
        m.configure(sample_rate=FS, buffer_length=len(t), grid="star", current_enabled=True,
                    variable_frequency=(25.0, 75.0), period_count=10, highest_requested_harmonic=50,
                    thd_enabled=True, iec_harmonics_enabled=grouped)
        for _ in range(repeat):
            m.reset(0)
            m.write(data)
            t0 = time.perf_counter()
            for k in range(windows):
                m.schedule(k * length, length, 10 * FS / length)
                if k % 20 == 19:
                    m.sync()
                    m.results()
                    if grouped:
                        m.iec_harmonics_records()
            m.sync()
            m.results()
            if grouped:
                m.iec_harmonics_records()
            best = min(best, (time.perf_counter() - t0) / windows)
    return best


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--minutes", type=float, default=10.0, help="length of the recording (default 10)")
    ap.add_argument("--repeat", type=int, default=3, help="runs of each setting (default 3)")
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="wall time, or this process's CPU time (steadier on a busy machine)")
    ap.add_argument("--job-only", action="store_true", help="skip the library-alone part")
    args = ap.parse_args()
    clock = time.process_time if args.clock == "cpu" else time.perf_counter
    best = job_times(args.minutes, args.repeat, clock)
    base = best["without aggregation"]
    print(f"main job on {args.minutes:g} min of the demo at 10 kHz (fastest of {args.repeat}):")
    for name, seconds in best.items():
        print(f"  {name:22s} {seconds:7.2f} s   x{seconds / base:.2f}")
    if args.job_only:
        return 0
    print("library alone, per window (fastest of 3 passes of 95 windows):")
    for length in (2000, 1999, 2001, 2002):
        plain, grouped = window_time(length, False), window_time(length, True)
        print(f"  {length} samples: {plain * 1e6:6.0f} us, with the grouped analysis "
              f"{grouped * 1e6:6.0f} us   x{grouped / plain:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
