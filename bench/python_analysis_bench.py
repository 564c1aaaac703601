#!/usr/bin/env python3
"""Speed and memory of the Python analysis path, on a long recording.

1. Generates a three-phase voltage-and-current recording (default one hour at
   10 kHz, six channels) as a BINARY COMTRADE file in a temporary folder,
   streamed to disk block by block (no full copy in memory).
2. Runs ``powergpu analyze FILE --backend cpu`` on it in a child process
   pinned to one core, and reports the real-time factor (recording seconds
   per wall second: of the analysis alone and of the whole command with its
   output files) and the peak resident memory of that process
   (``getrusage`` maxrss, so generating the file does not count).  The
   command analyses in streaming mode: the CSV tables are written batch by
   batch while the analysis runs (the time spent writing them is not part
   of ``analysis_seconds``) and no table is kept whole in memory.
   Targets: >= 300 x real time on one core, < 500 MB whatever the length.
3. Runs the same command again with ``--no-compliance`` (no 3-s/10-min/2-h
   aggregation, no EN 50160 verdict) and reports the ratio of the two
   analysis times. Goal: the aggregation and the verdict add at most 20 %.
   And once more writing the main job's tables only (``--tables
   windows,halfcycles,events``: no harmonics table, no aggregation).
4. Runs the library alone on the same windows (``powergpu.Module``:
   samples written from memory, then schedule and fetch only; no reading,
   no cycle detection, no tables).
5. Runs the library alone doing the command's work (the same settings:
   half-cycle values, RVC, flicker, dips and swells, and the grouped
   harmonics of the voltages that the aggregation reads; the same cycles,
   found by the library's detector on the clock, and windows; sample writes
   timed), so the ratio of the analysis time to this one shows what the
   Python side (reading, screening, tables' rows, aggregation) costs on top
   of the library.  Again without the grouped harmonics, against the
   command with ``--no-compliance`` and against the main job's tables
   only.  Goal: the main job (windows, half-cycle values and events) takes
   at most 1.5 times the library's time; the default command, which also
   writes the harmonics table (8 million rows an hour) and aggregates, is
   reported beside it.

    python bench/python_analysis_bench.py                 # one hour
    python bench/python_analysis_bench.py --minutes 5
    python bench/python_analysis_bench.py --json bench-python.json
    python bench/python_analysis_bench.py --report     # the command also draws the report
    python bench/python_analysis_bench.py --repeat 3 --clock cpu   # on a busy machine

Needs the package importable (``pip install ./python`` or PYTHONPATH=python)
and the native library built.
"""
from __future__ import annotations

import argparse
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
PYTHON_DIR = ROOT / "python"
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

FS = 10000.0
F0 = 50.0
RTF_TARGET = 300.0
MEMORY_TARGET_MB = 500.0
#: Analysis time / time of the library alone doing the same work.
RATIO_TARGET = 1.5
#: Largest ratio of the analysis time with aggregation and verdict to that without.
CLASS_A_RATIO_TARGET = 1.2
#: The tables of the main job as its goal is stated: windows, half-cycle
#: values and events (no harmonics table, no aggregation).
JOB_TABLES = "windows,halfcycles,events"
#: Highest order of the grouped harmonics the command computes by default.
IEC_ORDER = 50
CHANNELS = ("UL1", "UL2", "UL3", "IL1", "IL2", "IL3")


# --- the recording ---------------------------------------------------------------

class SyntheticRecording:
    """A recording computed block by block from closed-form expressions:
    230 V, 50 Hz +- 0.05 Hz (5-minute swing), 3 % unbalance, 5th and 7th
    harmonics, a 175 Hz interharmonic, a -8 % step of 1.5 s every 5 minutes,
    currents of 100 A +- 10 % lagging by 30 degrees with a 3 % 5th harmonic.
    Behaves as a read-only (n, 6) array for row slices, which is all that
    ``write_comtrade`` needs."""

    def __init__(self, seconds: float, fs: float = FS) -> None:
        self.fs = fs
        self.n = int(round(seconds * fs))
        self.shape = (self.n, 6)
        a = np.exp(2j * math.pi / 3)
        u1 = np.array([230 * 1.03, 230 * (a ** 2 + 0.03 * a), 230 * (a + 0.03 * a ** 2)])
        self.mag = np.abs(u1)
        self.ang = np.angle(u1)

    def cycles(self, t: np.ndarray) -> np.ndarray:
        return F0 * t + 0.05 * 300.0 / (2 * math.pi) * (1 - np.cos(2 * math.pi * t / 300.0))

    def __getitem__(self, key: slice) -> np.ndarray:
        start, stop, _ = key.indices(self.n)
        t = np.arange(start, stop, dtype=np.float64) / self.fs
        theta = 2 * math.pi * self.cycles(t)
        step = np.where((t % 300.0 >= 150.0) & (t % 300.0 < 151.5), 0.92, 1.0)
        load = 100.0 * (1 + 0.1 * np.sin(2 * math.pi * t / 600.0))
        out = np.empty((len(t), 6))
        s2 = math.sqrt(2)
        for k in range(3):
            ph = theta + self.ang[k]
            u = self.mag[k] * np.sin(ph) + 9.2 * np.sin(5 * ph) + 5.75 * np.sin(7 * ph) \
                + 1.15 * np.sin(2 * math.pi * 175.0 * t + self.ang[k])
            out[:, k] = s2 * u * step
            ip = ph - math.radians(30)
            out[:, 3 + k] = s2 * load * (np.sin(ip) + 0.03 * np.sin(5 * ip))
        return out


def generate(path: Path, minutes: float) -> Tuple[Path, float]:
    from powergpu.io import write_comtrade

    rec = SyntheticRecording(minutes * 60.0)
    chans = [{"name": n, "unit": "V" if n.startswith("U") else "A", "phase": n[-1]}
             for n in CHANNELS]
    t0 = time.perf_counter()
    cfg = write_comtrade(path, rec, FS, chans, fmt="BINARY", line_frequency=F0)
    return cfg, time.perf_counter() - t0


# --- measuring a child process -------------------------------------------------------

def _pin_one_core() -> None:
    try:
        cpu = min(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpu})
    except (AttributeError, OSError):
        pass


def settle_writes() -> None:
    """Writes the files of the last run to disk before the next is timed:
    the kernel otherwise flushes the command's hundreds of megabytes of
    tables while the next run computes, and the run after the one writing
    every table came out slower than the same command run alone."""
    if hasattr(os, "sync"):
        os.sync()


def run_measured(cmd: List[str], env: Dict[str, str], one_core: bool = True
                 ) -> Tuple[int, float, float, str]:
    """(exit status, wall seconds, peak RSS in MB, stderr) of ``cmd``."""
    settle_writes()
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=_pin_one_core if one_core else None)
    out, err = proc.communicate()
    # communicate() already reaped the child; its rusage is in RUSAGE_CHILDREN
    # only in aggregate, so the child reports its own peak (see _RUSAGE_WRAPPER).
    wall = time.perf_counter() - t0
    peak = float("nan")
    for line in out.decode(errors="replace").splitlines():
        if line.startswith("MAXRSS_KB "):
            peak = float(line.split()[1]) / 1024.0
    return proc.returncode, wall, peak, err.decode(errors="replace")


# The child runs the command line in-process and prints its own peak RSS, so
# that the measurement is of exactly that process (no wrapper in between).
_RUSAGE_WRAPPER = textwrap.dedent("""
    import os, resource, sys, time
    if os.environ.get("BENCH_CLOCK") == "cpu":
        # the command times its phases with perf_counter: make that the
        # process's CPU time, so waiting for a busy machine does not count
        time.perf_counter = time.process_time
    from powergpu.cli import main
    status = main(sys.argv[1:])
    print("MAXRSS_KB", resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    sys.exit(status)
""")


def child_env(clock: str = "wall") -> Dict[str, str]:
    env = dict(os.environ)
    env["BENCH_CLOCK"] = clock
    env["PYTHONPATH"] = str(PYTHON_DIR) + os.pathsep + env.get("PYTHONPATH", "")
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = "1"
    return env


def run_cli(cfg: Path, outdir: Path, backend: str, report: bool = False,
            clock: str = "wall", extra: Tuple[str, ...] = ()) -> Dict[str, Any]:
    cmd = [sys.executable, "-c", _RUSAGE_WRAPPER, "analyze", str(cfg), "--backend", backend,
           "-o", str(outdir), "-q", "--no-progress", *extra]
    if report:
        cmd += ["--report", str(outdir / "report.html")]
    status, wall, peak, err = run_measured(cmd, child_env(clock))
    if status != 0:
        raise SystemExit(f"the command line failed ({status}):\n{err}")
    summary = json.loads((outdir / "summary.json").read_text())
    return {"wall_s": wall, "analysis_s": summary.get("analysis_seconds"), "peak_rss_mb": peak,
            "report": report,
            "duration_s": summary["duration"], "windows": summary["window_count"],
            "half_cycles": summary["half_cycle_count"],
            "rvc_events": summary["rvc_event_count"], "backend": summary["backend"],
            "output_mb": sum(p.stat().st_size for p in outdir.iterdir()) / 2 ** 20}


# --- the library alone ----------------------------------------------------------------

_LIBRARY_CHILD = textwrap.dedent("""
    import json, os, sys, time, resource
    import numpy as np
    clock = time.process_time if os.environ.get("BENCH_CLOCK") == "cpu" else time.perf_counter
    import pandas as pd
    from powergpu import Module
    from powergpu.io import open_recording

    from powergpu.process_memory import reuse_freed_memory
    reuse_freed_memory()  # the allocator settings of the command line's process
    cfg, windows_csv, backend = sys.argv[1:4]
    w = pd.read_csv(windows_csv, usecols=["first_sample", "n_samples", "frequency"])
    rec = open_recording(cfg)
    fs = rec.sample_rate
    segment = int(60 * fs)                 # samples pre-loaded per round
    ring = 2 * segment + int(fs)
    m = Module(backend)
    m.configure(sample_rate=fs, buffer_length=ring, grid="star", variable_frequency=(25.0, 75.0),
                period_count=10, current_enabled=True, highest_requested_harmonic=50,
                thd_enabled=True, thd_highest_harmonic=50, inter_harmonics_enabled=True,
                line_to_line_results_enabled=True, symmetrical_components_enabled=True)
    m.reset(0)
    first = w["first_sample"].to_numpy(); length = w["n_samples"].to_numpy()
    freq = w["frequency"].to_numpy()
    t_write = t_lib = 0.0
    done = 0; j = 0; n = rec.n_samples
    for start in range(0, n, segment):
        block = rec.read(start, min(segment, n - start)).astype(np.float32)  # not timed
        t0 = clock(); m.write(block); t_write += clock() - t0
        t0 = clock()
        end = start + len(block)
        while j < len(first) and first[j] + length[j] <= end:
            m.schedule(int(first[j]), int(length[j]), float(freq[j])); j += 1
        m.sync()
        done += len(m.results())
        t_lib += clock() - t0
    print(json.dumps({"windows": done, "schedule_fetch_s": t_lib, "write_s": t_write,
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
""")


# The library doing the main job's work: the same settings as the command
# (windows, half-cycle values with RVC, flicker, dips and swells), the same
# cycles (found by the library's cycle detector, fed the reference channel
# block by block as the command feeds it), the same windows, cycles handed
# over in blocks of ten as the command does. Timed: every library call
# (finding the cycles, writing the samples, scheduling, computing,
# fetching); not timed: reading the file. Both library children keep freed
# memory for reuse as the command line does in its process, so that the
# allocator's page faults weigh the same on either side.
_LIBRARY_SAME_WORK_CHILD = textwrap.dedent("""
    import json, os, sys, time, resource
    import numpy as np
    clock = time.process_time if os.environ.get("BENCH_CLOCK") == "cpu" else time.perf_counter
    import pandas as pd
    from powergpu import Module
    from powergpu.cycles import CycleDetector, Cycles
    from powergpu.flicker import flicker_settings
    from powergpu.io import open_recording

    from powergpu.process_memory import reuse_freed_memory
    reuse_freed_memory()  # the allocator settings of the command line's process
    cfg, windows_csv, backend, declared, iec_order = sys.argv[1:6]
    iec_order = int(iec_order)
    f0, R, W, BLOCK = 50.0, 1000, 10, 10
    w = pd.read_csv(windows_csv, usecols=["first_sample", "n_samples", "frequency"])
    rec = open_recording(cfg)
    fs, n = rec.sample_rate, rec.n_samples
    det = CycleDetector(fs, f0, positions_per_sample=R)
    parts, t_cycles = [], 0.0
    from powergpu.cli import CHUNK_SAMPLES
    for _, b in rec.chunks(CHUNK_SAMPLES):  # reading not timed
        reference = b[:, 0]
        t0 = clock()
        parts.append(det.process(reference))
        t_cycles += clock() - t0
    t0 = clock()
    parts.append(det.flush())
    t_cycles += clock() - t0
    cyc = Cycles.concatenate(parts)
    first = int(det.anchor) // R
    cyc = Cycles(*(a[cyc.start >= np.uint64(det.anchor)] for a in cyc))
    cyc_end = -(-cyc.end().astype(np.int64) // R)
    segment = 1 << 16
    m = Module(backend)
    m.configure(sample_rate=(fs, R), buffer_length=4 * segment, grid="star",
                variable_frequency=(0.5 * f0, 1.5 * f0), period_count=W,
                current_enabled=True, highest_requested_harmonic=50, thd_enabled=True,
                thd_highest_harmonic=50, inter_harmonics_enabled=True,
                line_to_line_results_enabled=True, symmetrical_components_enabled=True,
                period_values_enabled=True, half_period_values_count=2,
                period_values_overlap_in_percent=50, rvc_enabled=True,
                rvc_steady_state_length_in_number_of_period_values=10 * W,
                rvc_threshold_in_percent_of_average=2.0, **flicker_settings(fs, f0, 0),
                # the grouped harmonics of the voltages, as the command computes
                # them for the aggregation (0: off, as with --no-compliance)
                iec_harmonics_enabled=iec_order > 0,
                **({"iec_harmonics_highest_order": iec_order,
                    "iec_harmonics_currents_enabled": False} if iec_order else {}))
    m.voltage_events_enabled = True
    m.voltage_event_declared_voltage = float(declared)
    m.reset(first)
    write = m.writer()
    report = m.cycle_scheduler(cyc.start, cyc.length, cyc.frequency, cyc.valid)
    wfirst = w["first_sample"].to_numpy()
    wlen = w["n_samples"].to_numpy()
    wend = wfirst + wlen
    wfreq = w["frequency"].to_numpy()
    flicker = m.flicker_channels if m.flicker_enabled else 0
    t_write = t_lib = 0.0
    windows = periods = 0
    ci = wi = 0
    pos = first
    while pos < n:
        block = rec.read(pos, min(segment, n - pos))  # not timed
        t0 = clock()
        write(block)
        t_write += clock() - t0
        t0 = clock()
        pos += len(block)
        k = int(np.searchsorted(cyc_end, pos, side="right"))
        if pos < n:
            k = ci + (k - ci) // BLOCK * BLOCK
        for lo in range(ci, k, BLOCK):
            hi = min(lo + BLOCK, k)
            report(lo, hi)
            while wi < len(wend) and wend[wi] <= cyc_end[hi - 1]:
                m.schedule(int(wfirst[wi]), int(wlen[wi]), float(wfreq[wi]))
                wi += 1
        ci = k
        m.sync()
        windows += len(m.results())
        if iec_order:
            m.iec_harmonics_records()
        periods += len(m.period_results())
        m.voltage_events()
        for c in range(flicker):
            m.flicker_pst(c)
        t_lib += clock() - t0
    print(json.dumps({"windows": windows, "half_cycles": periods,
                      "schedule_fetch_s": t_lib, "write_s": t_write, "cycles_s": t_cycles,
                      "total_s": t_lib + t_write + t_cycles,
                      "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
""")


def run_library(cfg: Path, windows_csv: Path, backend: str,
                declared_voltage: Optional[float] = None, clock: str = "wall",
                iec_order: int = 0) -> Dict[str, Any]:
    """The library alone: windows only, or (``declared_voltage`` given) the
    main job's work, with the grouped harmonics of the voltages up to
    ``iec_order`` (0: without them)."""
    if declared_voltage is None:
        cmd = [sys.executable, "-c", _LIBRARY_CHILD, str(cfg), str(windows_csv), backend]
    else:
        cmd = [sys.executable, "-c", _LIBRARY_SAME_WORK_CHILD, str(cfg), str(windows_csv),
               backend, repr(float(declared_voltage)), str(int(iec_order))]
    settle_writes()
    proc = subprocess.run(cmd, env=child_env(clock), capture_output=True, text=True,
                          preexec_fn=_pin_one_core)
    if proc.returncode != 0:
        raise SystemExit(f"the library run failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--minutes", type=float, default=60.0,
                    help="length of the generated recording (default: 60)")
    ap.add_argument("--json", metavar="OUT", help="also write the results as JSON")
    ap.add_argument("--backend", default="cpu", choices=("cpu", "cuda", "auto"),
                    help="backend of the analysis (default: cpu)")
    ap.add_argument("--keep", metavar="DIR",
                    help="work in DIR and keep the recording and outputs; a recording "
                         "already there (of the same length) is used again")
    ap.add_argument("--report", action="store_true",
                    help="the command also writes the HTML report (part of its time and memory)")
    ap.add_argument("--repeat", type=int, default=1, metavar="N",
                    help="measure the command and the library N times, taking turns; the "
                         "round with the median ratio is reported (default: 1)")
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="what the analysis and the library are timed with: wall-clock "
                         "seconds, or the CPU seconds of their process (for a machine shared "
                         "with other work; the whole command is always wall time)")
    args = ap.parse_args(argv)
    if args.minutes <= 0:
        ap.error("--minutes must be positive")
    if args.repeat < 1:
        ap.error("--repeat must be at least 1")

    work = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="powergpu-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    results: Dict[str, Any] = {"minutes": args.minutes, "sample_rate": FS, "channels": 6,
                               "backend": args.backend, "python": platform.python_version(),
                               "machine": platform.machine(), "cpu": _cpu_name(),
                               "load_average": _load(), "clock": args.clock}
    try:
        cfg = work / "recording.cfg"
        stamp = work / "recording.minutes"
        if args.keep and cfg.exists() and stamp.exists() \
                and float(stamp.read_text()) == args.minutes:
            print(f"using the recording in {work}", flush=True)
            gen_s = None
        else:
            print(f"generating {args.minutes:g} min at {FS:g} Hz, 6 channels (BINARY COMTRADE) "
                  f"in {work} ...", flush=True)
            cfg, gen_s = generate(work / "recording", args.minutes)
            stamp.write_text(repr(args.minutes))
        size = sum(p.stat().st_size for p in work.glob("recording.*")) / 2 ** 20
        results["generation_s"] = gen_s
        results["file_mb"] = size
        if gen_s is not None:
            print(f"  {size:.0f} MB in {gen_s:.1f} s", flush=True)

        rounds = [measure_round(cfg, work / "out", args, k) for k in range(args.repeat)]
        results["rounds"] = [r["ratios"] for r in rounds]
        order = sorted(range(len(rounds)), key=lambda k: rounds[k]["ratios"]["job"] or 0)
        results.update(rounds[order[len(order) // 2]])
        results["load_average_after"] = _load()
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    report(results)
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    ok = results["cli"]["rtf_analysis"] and results["cli"]["rtf_analysis"] >= RTF_TARGET \
        and results["cli"]["peak_rss_mb"] < MEMORY_TARGET_MB \
        and (results["ratios"]["class_a"] or 0.0) <= CLASS_A_RATIO_TARGET
    return 0 if ok else 3


def _ratio_line(label: str, ratio: float, command_s: float, library_s: float, what: str) -> None:
    ok = "ok" if ratio <= RATIO_TARGET else "MISSED"
    print(f"{label}: {ratio:8.2f}   ({command_s:.2f} s against {library_s:.2f} s, {what}; "
          f"target <= {RATIO_TARGET}: {ok})")


def measure_round(cfg: Path, outdir: Path, args: argparse.Namespace, k: int) -> Dict[str, Any]:
    """The command, then the library alone on its windows (windows only, and
    the main job's work), each in its own process pinned to one core."""
    tag = f" (round {k + 1} of {args.repeat})" if args.repeat > 1 else ""
    print(f"analysing with the command line (one core){tag} ...", flush=True)
    shutil.rmtree(outdir, ignore_errors=True)
    cli = run_cli(cfg, outdir, args.backend, report=args.report, clock=args.clock)
    rec_s = cli["duration_s"]
    cli["rtf_total"] = rec_s / cli["wall_s"]
    cli["rtf_analysis"] = rec_s / cli["analysis_s"] if cli["analysis_s"] else None

    print("again without aggregation and verdict (--no-compliance) ...", flush=True)
    plain = run_cli(cfg, outdir.with_name(outdir.name + "-plain"), args.backend, clock=args.clock,
                    extra=("--no-compliance",))

    print(f"again writing the main job's tables only (--tables {JOB_TABLES}) ...", flush=True)
    job = run_cli(cfg, outdir.with_name(outdir.name + "-job"), args.backend, clock=args.clock,
                  extra=("--tables", JOB_TABLES))

    print("the library alone on the same windows (one core) ...", flush=True)
    lib = run_library(cfg, outdir / "windows.csv", args.backend, clock=args.clock)
    lib["rtf"] = rec_s / lib["schedule_fetch_s"]
    lib["rtf_with_writes"] = rec_s / (lib["schedule_fetch_s"] + lib["write_s"])

    print("the library alone doing the command's work (one core) ...", flush=True)
    declared = json.loads((outdir / "summary.json").read_text()).get("declared_voltage") or 230.0
    # the command's default work includes the grouped harmonics of the
    # voltages (for the aggregation); --no-compliance leaves them out
    same = run_library(cfg, outdir / "windows.csv", args.backend, declared_voltage=declared,
                       clock=args.clock, iec_order=IEC_ORDER)
    same["rtf"] = rec_s / same["total_s"]
    same_plain = run_library(cfg, outdir / "windows.csv", args.backend,
                             declared_voltage=declared, clock=args.clock)
    ratios: Dict[str, Optional[float]] = {"windows_only": None, "same_work": None, "class_a": None,
                                          "same_work_plain": None, "job": None}
    if job["analysis_s"]:
        ratios["job"] = job["analysis_s"] / same_plain["total_s"]
    if cli["analysis_s"] and plain["analysis_s"]:
        ratios["class_a"] = cli["analysis_s"] / plain["analysis_s"]
    if cli["analysis_s"]:
        ratios["windows_only"] = cli["analysis_s"] / lib["schedule_fetch_s"]
        ratios["same_work"] = cli["analysis_s"] / same["total_s"]
    if plain["analysis_s"]:
        ratios["same_work_plain"] = plain["analysis_s"] / same_plain["total_s"]
    print(f"  analysis {cli['analysis_s']:.2f} s, library (same work) {same['total_s']:.2f} s, "
          f"ratio {ratios['same_work'] or float('nan'):.2f}; the main job's tables "
          f"{job['analysis_s'] or float('nan'):.2f} s against {same_plain['total_s']:.2f} s, "
          f"ratio {ratios['job'] or float('nan'):.2f}", flush=True)
    return {"cli": cli, "cli_without_class_a": plain, "cli_job": job, "library": lib,
            "library_same_work": same,
            "library_same_work_plain": same_plain,
            "ratios": ratios,
            "python_overhead_ratio": ratios["windows_only"]}


def _load() -> Optional[float]:
    try:
        return os.getloadavg()[0]
    except OSError:
        return None


def _cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def report(r: Dict[str, Any]) -> None:
    cli, lib = r["cli"], r["library"]
    mark = (lambda ok: "ok" if ok else "MISSED")
    rtf_a = cli["rtf_analysis"] or float("nan")
    print()
    print(f"recording: {r['minutes']:g} min, {r['file_mb']:.0f} MB BINARY COMTRADE, "
          f"{cli['windows']} windows, {cli['half_cycles']} half-cycle values, "
          f"{cli['rvc_events']} RVC events; backend {cli['backend']}; {r['cpu']}")
    print(f"command line, analysis only : {rtf_a:8.0f} x real time   "
          f"(target >= {RTF_TARGET:.0f}: {mark(rtf_a >= RTF_TARGET)})")
    print(f"command line, whole command : {cli['rtf_total']:8.0f} x real time   "
          f"({cli['wall_s']:.1f} s incl. start-up and {cli['output_mb']:.0f} MB of output"
          f"{' and the report' if cli.get('report') else ''})")
    print(f"peak memory (maxrss)        : {cli['peak_rss_mb']:8.0f} MB            "
          f"(target < {MEMORY_TARGET_MB:.0f}: {mark(cli['peak_rss_mb'] < MEMORY_TARGET_MB)})")
    print(f"library alone               : {lib['rtf']:8.0f} x real time   "
          f"(schedule + fetch; {lib['rtf_with_writes']:.0f} x with the sample writes)")
    same = r["library_same_work"]
    print(f"library alone, same work    : {same['rtf']:8.0f} x real time   "
          f"({same['total_s']:.2f} s: cycles, sample writes, windows, half-cycle values, RVC, "
          "flicker, dips and swells, grouped harmonics of the voltages)")
    ratios = r["ratios"]
    if ratios["windows_only"]:
        print(f"analysis / library windows  : {ratios['windows_only']:8.2f}")
    plain_lib_s = r["library_same_work_plain"]["total_s"]
    if ratios.get("job"):
        _ratio_line("analysis / library, main job", ratios["job"], r["cli_job"]["analysis_s"],
                    plain_lib_s, f"writing {JOB_TABLES}, against the library without the "
                    "grouped harmonics")
    if ratios["same_work"]:
        ok = ratios["same_work"] <= RATIO_TARGET
        print(f"analysis / library same work: {ratios['same_work']:8.2f}   "
              f"(every default table, the harmonics one included, and the aggregation; "
              f"{RATIO_TARGET} or less: {mark(ok)})")
    if ratios.get("same_work_plain"):
        _ratio_line("  the same, --no-compliance ", ratios["same_work_plain"],
                    r["cli_without_class_a"]["analysis_s"], plain_lib_s,
                    "against the library without the grouped harmonics")
    if ratios.get("class_a"):
        plain = r["cli_without_class_a"]
        print(f"aggregation + EN 50160      : {ratios['class_a']:8.3f} x the analysis time   "
              f"({cli['analysis_s']:.1f} s with, {plain['analysis_s']:.1f} s without; target <= "
              f"{CLASS_A_RATIO_TARGET:g}: {mark(ratios['class_a'] <= CLASS_A_RATIO_TARGET)})")
    if len(r.get("rounds", [])) > 1:
        print("ratios of the rounds (main job): "
              + ", ".join(f"{x['job']:.2f}" for x in r["rounds"] if x.get("job")))
        print("ratios of the rounds (same work): "
              + ", ".join(f"{x['same_work']:.2f}" for x in r["rounds"] if x["same_work"]))
    print(f"load average: {r['load_average']} before, {r.get('load_average_after')} after")


if __name__ == "__main__":
    sys.exit(main())
