#!/usr/bin/env python3
"""Throughput of fleets: ``powergpu batch`` on 1 and 2 workers against a plain
shell loop over ``powergpu analyze``.

1. Generates one three-phase voltage-and-current recording (default one hour
   at 10 kHz, six channels, BINARY COMTRADE; the signal of
   python_analysis_bench.py) and gives it N names (default 16) as hard links,
   so that N recordings cost the disk one.  Every run reads the same bytes
   (from the page cache after the first), so the runs differ only in how they
   schedule the work.
2. ``powergpu batch DIR --workers W`` for each W (default 1 and 2): wall time
   of the whole command, cluster start included, into a fresh dataset.
3. The baseline: ``powergpu analyze FILE`` once per recording, from a shell
   loop (``xargs -P W``: one after the other for W = 1), with the same tables
   in the same format, so both do the same work.
4. Prints recordings per minute and the scaling factor (rate with W workers
   over the rate with one; goal >= 1.8 with two workers on two cores), and
   the cores each run got on average (CPU seconds of all its processes over
   its wall time): the scaling can only show where the machine gives the
   workers their cores.

    python bench/batch_bench.py                          # 16 x one hour
    python bench/batch_bench.py --recordings 8 --minutes 10
    python bench/batch_bench.py --json bench-batch.json

Needs the package importable (PYTHONPATH=python or pip install './python[batch]'),
the native library built, and Dask and pyarrow (the [batch] extra).
"""
from __future__ import annotations

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Dict, List, Optional

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "python"))

from python_analysis_bench import child_env, generate  # noqa: E402

SCALING_GOAL = 1.8
TABLES = "windows,halfcycles,events"


def make_fleet(work: Path, count: int, minutes: float) -> List[Path]:
    """``count`` recordings in ``work/fleet``: one generated, the rest hard links."""
    source = work / "source"
    source.mkdir(parents=True, exist_ok=True)
    cfg, seconds = generate(source / "recording", minutes)
    print(f"  generated {minutes:g} min in {seconds:.1f} s", flush=True)
    fleet = work / "fleet"
    fleet.mkdir(exist_ok=True)
    paths = []
    for k in range(count):
        for src in source.glob("recording.*"):
            dst = fleet / f"rec{k:03d}{src.suffix}"
            if not dst.exists():
                os.link(src, dst)
        paths.append(fleet / f"rec{k:03d}.cfg")
    return paths


def powergpu_cmd() -> List[str]:
    return [sys.executable, "-m", "powergpu"]


def _children_cpu() -> float:
    import resource

    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def timed(cmd: List[str], env: Dict[str, str], shell: bool = False) -> Dict[str, float]:
    """Wall seconds and CPU seconds of the command and every process under
    it (the CPU time tells the work apart from waiting for a busy machine)."""
    cpu0 = _children_cpu()
    t0 = time.perf_counter()
    proc = subprocess.run(" ".join(cmd) if shell else cmd, env=env, shell=shell,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          executable="/bin/bash" if shell else None)
    wall = time.perf_counter() - t0
    if proc.returncode != 0:
        raise SystemExit(f"failed ({proc.returncode}): {' '.join(cmd)[:300]}\n"
                         f"{proc.stderr[-2000:]}")
    return {"wall_s": wall, "cpu_s": _children_cpu() - cpu0}


def run_batch(fleet: Path, out: Path, workers: int, env: Dict[str, str]) -> Dict[str, float]:
    shutil.rmtree(out, ignore_errors=True)
    return timed(powergpu_cmd() + ["batch", str(fleet), "--output", str(out), "--workers",
                                   str(workers), "--backend", "cpu", "--tables", TABLES,
                                   "-q"], env)


def run_loop(paths: List[Path], out: Path, workers: int,
             env: Dict[str, str]) -> Dict[str, float]:
    """xargs starts one ``powergpu analyze`` per recording, ``workers`` at a time."""
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    analyze = " ".join(shlex.quote(c) for c in powergpu_cmd())
    listing = " ".join(shlex.quote(str(p)) for p in paths)
    script = (f"printf '%s\\n' {listing} | xargs -P {workers} -I{{}} sh -c "
              f"'{analyze} analyze \"$1\" --backend cpu --format parquet --tables {TABLES} "
              f"-q --no-progress -o {shlex.quote(str(out))}/$(basename \"$1\" .cfg)' _ {{}}")
    return timed([script], env, shell=True)


def rate(count: int, wall: float) -> float:
    return 60.0 * count / wall


def main(argv: Optional[List[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--recordings", type=int, default=16, help="fleet size (default: 16)")
    ap.add_argument("--minutes", type=float, default=60.0,
                    help="length of each recording (default: 60)")
    ap.add_argument("--workers", default="1,2", help="worker counts to try (default: 1,2)")
    ap.add_argument("--skip-loop", action="store_true", help="no shell-loop baseline")
    ap.add_argument("--keep", metavar="DIR", help="work in DIR and keep everything")
    ap.add_argument("--json", metavar="OUT", help="also write the results as JSON")
    args = ap.parse_args(argv)
    counts = [int(w) for w in args.workers.split(",") if w.strip()]
    if args.recordings < 1 or args.minutes <= 0 or not counts or min(counts) < 1:
        ap.error("--recordings, --minutes and --workers must be positive")

    work = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="powergpu-fleet-"))
    work.mkdir(parents=True, exist_ok=True)
    env = child_env()
    results: Dict[str, Any] = {"recordings": args.recordings, "minutes": args.minutes,
                               "cores": os.cpu_count(), "batch": {}, "loop": {}}
    try:
        print(f"{args.recordings} recordings of {args.minutes:g} min in {work} ...",
              flush=True)
        paths = make_fleet(work, args.recordings, args.minutes)
        for w in counts:
            print(f"powergpu batch, {w} worker(s) ...", flush=True)
            r = run_batch(work / "fleet", work / f"batch-{w}", w, env)
            results["batch"][w] = {**r, "per_minute": rate(len(paths), r["wall_s"])}
            if not args.skip_loop:
                print(f"shell loop over powergpu analyze, {w} at a time ...", flush=True)
                r = run_loop(paths, work / f"loop-{w}", w, env)
                results["loop"][w] = {**r, "per_minute": rate(len(paths), r["wall_s"])}
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    results["load_average"] = load
    print(f"\n{args.recordings} recordings of {args.minutes:g} min, tables {TABLES} "
          f"(Parquet), backend cpu, {os.cpu_count()} cores, load average {load:.1f} at the end")
    for kind in ("batch", "loop"):
        base = results[kind].get(min(counts))
        for w, r in sorted(results[kind].items()):
            r["scaling"] = r["per_minute"] / base["per_minute"] if base else None
            # cores the machine gave the run on average: with two workers
            # near 2 on a quiet machine; far less where other work competes
            r["cores_used"] = r["cpu_s"] / r["wall_s"]
            label = "powergpu batch" if kind == "batch" else "shell loop   "
            print(f"  {label} {w} worker(s): {r['per_minute']:7.2f} recordings/min "
                  f"({r['wall_s']:6.1f} s, {r['cpu_s'] / len(paths):5.2f} CPU s per recording, "
                  f"{r['cores_used']:4.2f} cores used)   scaling x{r['scaling']:.2f}")
    top = results["batch"].get(2)
    if top and top.get("scaling") is not None:
        verdict = "ok" if top["scaling"] >= SCALING_GOAL else "below"
        print(f"  scaling with two workers: x{top['scaling']:.2f} (goal >= {SCALING_GOAL}: "
              f"{verdict})")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
