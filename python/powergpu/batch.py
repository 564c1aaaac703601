"""Fleets of recordings: every recording one task on a Dask cluster, the
results one Parquet dataset.

``analyze_many(paths, output)`` (and ``powergpu batch``) analyses each
recording with the same settings as ``powergpu analyze`` and writes

    OUTPUT/windows/recording=<id>/part-0.parquet      one folder per recording
    OUTPUT/halfcycles/recording=<id>/part-0.parquet
    OUTPUT/events/recording=<id>/part-0.parquet
    OUTPUT/manifest.parquet                           one row per recording

so that ``pandas.read_parquet(OUTPUT / "windows")`` loads the whole fleet
with a ``recording`` column (hive partitioning, understood by pyarrow,
pandas, Dask and SQL engines alike).  ``<id>`` is the recording's path
relative to the common folder of the inputs.

Re-runs are cheap: a recording whose manifest row is complete for the same
settings and whose input files are unchanged (sizes, modification times
and a hash of the first bytes) is skipped, and so is one that failed on
unchanged input, unless ``retry_failed``.  A failing recording is recorded
with its error and the batch goes on; a worker that dies is replaced and
its task rerun by the scheduler.  Tables are written under temporary names
and renamed when the recording is complete, so a rerun task overwrites,
never duplicates.  The manifest is rewritten (atomically) as results come
in, so an interrupted batch keeps what it finished.

Dask (``distributed``) and pyarrow come with ``pip install powergpu[batch]``.
"""
from __future__ import annotations

import hashlib
import json
import os
import shutil
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence

from .classa_cli import class_a_writes_tables
from .fleet_inputs import Job, fingerprint, plan_jobs
from .process_memory import ALLOCATOR_ENVIRON

__all__ = ["analyze_many", "analyze_recording", "BatchReport", "BATCH_TABLES", "MANIFEST",
           "task_prefix", "fingerprint", "cuda_devices", "start_local_cluster", "read_manifest",
           "write_manifest", "table_path", "remove_outputs", "parse_settings", "options_argv",
           "analyze_options"]

MANIFEST = "manifest.parquet"
#: Tables written by default: the large harmonics tables only on request;
#: "aggregates" stands for the 3-s, 10-min and 2-h tables (written when the
#: analysis aggregates, that is without --no-compliance).
BATCH_TABLES = ("windows", "halfcycles", "events", "aggregates")
_TABLE_ATTR = {"windows": "windows", "halfcycles": "half_cycles", "events": "events",
               "harmonics": "harmonics", "iec_harmonics": "iec_harmonics",
               "aggregates_3s": "aggregates_3s", "aggregates_10min": "aggregates_10min",
               "aggregates_2h": "aggregates_2h"}
#: The dataset tables that "aggregates" names.
AGGREGATE_TABLES = ("aggregates_3s", "aggregates_10min", "aggregates_2h")
PART_FILE = "part-0.parquet"
#: Seconds between two rewrites of the manifest while results come in.
MANIFEST_INTERVAL_S = 10.0

#: Argument groups of ``powergpu analyze`` that a batch takes over, and the
#: options in them that name a single input.
ANALYZE_GROUPS = ("input", "analysis")
SINGLE_INPUT = ("file", "demo", "demo_seconds")


def analyze_options() -> Dict[str, Any]:
    """The options of ``powergpu analyze`` that apply to every recording of
    a batch, by destination name (channels, sample_rate, ..., backend),
    read from that command's parser so that a new option is a batch option
    too."""
    import argparse

    from .cli import build_parser

    parser = build_parser()
    sub = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))
    return {action.dest: action
            for group in sub.choices["analyze"]._action_groups
            if group.title in ANALYZE_GROUPS
            for action in group._group_actions if action.dest not in SINGLE_INPUT}


def _missing_extra(exc: ImportError) -> ImportError:
    return ImportError(f"batch analysis needs Dask and pyarrow ({exc.name or exc}): "
                       "pip install 'powergpu[batch]'")


# --- settings ----------------------------------------------------------------------

def options_argv(options: Mapping[str, Any]) -> List[str]:
    """``analyze_many`` keywords as ``powergpu analyze`` options (checked by
    that command's own parser, so both accept and refuse the same values).
    ``interharmonics=False`` stands for ``no_interharmonics=True``, and a
    switch that turns something off is given by its own name
    (``compliance=False`` for --no-compliance)."""
    known = analyze_options()
    argv: List[str] = []
    for key, value in options.items():
        if key == "interharmonics":
            key, value = "no_interharmonics", not value
        if key not in known:
            raise TypeError(f"analyze_many() got an unknown option {key!r}; known: "
                            f"{', '.join(sorted(known))}, interharmonics")
        action = known[key]
        flag = max(action.option_strings, key=len)
        if action.nargs == 0 and action.const is False:  # a switch that turns something off
            if value is False:
                argv.append(flag)
            continue
        if value is None or value is False:
            continue
        if action.nargs == 0:  # a switch
            argv.append(flag)
        elif isinstance(value, (list, tuple)):
            argv += [flag, ",".join(str(v) for v in value)]
        else:
            argv += [flag, str(value)]
    return argv


def parse_settings(argv: Sequence[str]) -> Any:
    """The ``analyze`` namespace for these options; ValueError with the
    parser's message when one is refused."""
    import contextlib
    import io

    from .cli import build_parser

    errors = io.StringIO()
    try:
        with contextlib.redirect_stderr(errors):
            args = build_parser().parse_args(["analyze", "-", *argv])
    except SystemExit:
        lines = [ln for ln in errors.getvalue().splitlines() if ln.strip()]
        message = lines[-1].split("error:", 1)[-1].strip() if lines else " ".join(argv)
        raise ValueError(f"invalid analysis option: {message}") from None
    args.quiet = True
    args.no_progress = True
    return args


def _aggregate_tables(tables: Sequence[str], *, aggregating: bool, asked: bool) -> List[str]:
    """``tables`` with "aggregates" spelt out as its three tables, or left
    out when the analysis does not aggregate (refused when asked for)."""
    wanted = [t for t in tables if t not in AGGREGATE_TABLES and t != "aggregates"]
    if "aggregates" in tables or any(t in AGGREGATE_TABLES for t in tables):
        if aggregating:
            wanted += list(AGGREGATE_TABLES)
        elif asked:
            raise ValueError("the aggregates are made by the Class A aggregation, which "
                             "--no-compliance turns off; drop one of the two")
    return wanted


def settings_key(args: Any, tables: Sequence[str]) -> str:
    """A short hash of what decides the output (the parsed analysis
    options, defaults included, and the tables): a re-run with other
    settings analyses again, the same settings spelt otherwise do not."""
    values = {dest: getattr(args, dest, None) for dest in sorted(analyze_options())}
    text = json.dumps({"options": values, "tables": sorted(tables)}, default=str)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


# --- one recording (runs on a worker) ------------------------------------------------

def task_prefix(recording: str) -> str:
    """Start of the Dask key of a recording's task (the rest is unique per
    run), so that the scheduler's view names the recording."""
    return f"powergpu-analyze-{hashlib.sha256(recording.encode()).hexdigest()[:10]}-"


def table_path(output: "os.PathLike[str] | str", table: str, recording: str) -> Path:
    from urllib.parse import quote

    # Hive partition values are URI-decoded by the readers; quoting keeps
    # folder separators and odd characters of the id out of the path.
    return Path(output) / table / f"recording={quote(recording, safe='')}" / PART_FILE


def remove_outputs(output: Path, recording: str, keep: Iterable[str] = ()) -> None:
    """Removes a recording's partitions (but those of ``keep``): the dataset
    holds rows only of what the manifest calls analysed with its settings,
    never rows of an input that has since changed into a failing one."""
    for table in _TABLE_ATTR:
        if table in keep:
            continue
        folder = table_path(output, table, recording).parent
        shutil.rmtree(folder, ignore_errors=True)


def _worker_label() -> str:
    try:
        from distributed import get_worker

        return str(get_worker().name)
    except (ImportError, ValueError):
        return ""


def analyze_recording(job: Dict[str, Any]) -> Dict[str, Any]:
    """Analyses one recording into the dataset; returns its manifest row.
    Errors of the recording are caught and returned in the row (status
    "failed"), so a bad file never stops the batch."""
    from . import __version__
    from .cli import _file_source, _one_line, run_analysis
    from .parquet_sink import ParquetTableWriter

    started = time.perf_counter()
    output = Path(job["output"])
    row: Dict[str, Any] = {
        "recording": job["recording"], "path": job["path"], "status": "failed", "error": "",
        "grid": "", "channels": "", "duration_s": float("nan"), "elapsed_s": float("nan"),
        "library_version": "", "powergpu_version": __version__, "worker": _worker_label(),
        "pid": os.getpid(), **job["fingerprint"], "settings": job["settings"],
        "tables": ",".join(job["tables"]), "en50160": "",
    }
    try:
        from ._native import version

        row["library_version"] = ".".join(str(v) for v in version())
        args = parse_settings(job["argv"])
        args.file = job["path"]
        # as with analyze --tables: no aggregation where no aggregate is written
        args.aggregates = any(t in AGGREGATE_TABLES for t in job["tables"])
        source = _file_source(args)
        try:
            row["grid"] = source.grid
            row["channels"] = ",".join(f"{r}={n}" for r, n in source.channels.items())
            writer = ParquetTableWriter({_TABLE_ATTR[t]: table_path(output, t, job["recording"])
                                         for t in job["tables"]})
            try:
                result = run_analysis(source, args, sink=writer, keep=())
                writer.close(result)
            except BaseException:
                writer.abort()
                raise
        finally:
            source.close()
        remove_outputs(output, job["recording"], keep=job["tables"])
        row.update(_key_figures(result))
        row["status"] = "ok"
    except Exception as exc:  # the recording's own failure: recorded, the batch goes on
        remove_outputs(output, job["recording"])
        row["error"] = _one_line(exc)
    row["elapsed_s"] = time.perf_counter() - started
    return row


def _key_figures(result: Any) -> Dict[str, Any]:
    """What the fleet summary ranks and counts, from the result's summary."""
    s = result.summary
    thd = [p.get("thd") for p in s.get("phases", []) if p.get("thd") is not None]
    events = result.events
    if "type" in events.columns:
        by_type = {str(k): int(v) for k, v in events["type"].value_counts().items()}
    else:  # rapid voltage changes are the only events the analysis finds so far
        by_type = {"rvc": int(len(events))} if len(events) else {}
    return {
        "duration_s": float(s.get("duration") or 0.0),
        "sample_rate": float(s.get("sample_rate") or 0.0),
        "backend": str(s.get("backend") or ""),
        "windows": int(s.get("window_count") or 0),
        "half_cycles": int(s.get("half_cycle_count") or 0),
        "events": int(len(events)),
        "event_types": json.dumps(by_type, sort_keys=True),
        "u_thd_mean_max": max(thd) if thd else float("nan"),
        "u2_ratio_mean": _num(s.get("u2_ratio_mean")),
        "u2_ratio_max": _num(s.get("u2_ratio_max")),
        "frequency_min": _num(s.get("frequency_min")),
        "frequency_max": _num(s.get("frequency_max")),
        # the EN 50160 verdict in one word ("" without one: no aggregation
        # or no declared voltage); the criteria are in the aggregates
        "en50160": _verdict_word(getattr(result, "compliance", None)),
    }


def _verdict_word(verdict: Optional[Mapping[str, Any]]) -> str:
    if not verdict or verdict.get("pass") is None:
        return ""
    return "pass" if verdict["pass"] else "fail"


def _num(value: Any) -> float:
    return float("nan") if value is None else float(value)


# --- the manifest ----------------------------------------------------------------------

def read_manifest(output: Path) -> Dict[str, Dict[str, Any]]:
    """Rows of an existing manifest by absolute input path ({} if none)."""
    path = output / MANIFEST
    if not path.exists():
        return {}
    import pyarrow.parquet as pq

    try:
        rows = pq.read_table(path).to_pylist()
    except Exception as exc:
        raise ValueError(f"{path}: cannot read the manifest of an earlier run ({exc}); "
                         "move it away to start the dataset afresh") from None
    return {row["path"]: row for row in rows if row.get("path")}


def write_manifest(output: Path, rows: Iterable[Mapping[str, Any]]) -> Path:
    import pandas as pd

    frame = pd.DataFrame(list(rows))
    if len(frame):
        frame = frame.sort_values("recording", kind="stable").reset_index(drop=True)
    path = output / MANIFEST
    tmp = output / f".{MANIFEST}.{os.getpid()}.tmp"
    frame.to_parquet(tmp, index=False)
    os.replace(tmp, path)
    return path


def is_done(row: Optional[Mapping[str, Any]], job: Job, output: Path,
            retry_failed: bool) -> bool:
    """Whether the manifest row already holds this job's result."""
    if row is None or row.get("settings") != job.settings:
        return False
    if any(row.get(k) != v for k, v in job.fingerprint.items()):
        return False
    if row.get("status") == "failed":
        return not retry_failed
    if row.get("status") != "ok":
        return False
    return all(table_path(output, t, row["recording"]).is_file() for t in job.tables)


# --- the cluster -------------------------------------------------------------------------

def cuda_devices() -> List[str]:
    """Identifiers of the CUDA devices this process may use ([] without a
    driver): one worker per device, each seeing only its own."""
    import ctypes

    try:
        cuda = ctypes.CDLL("libcuda.so.1")
    except OSError:
        return []
    count = ctypes.c_int(0)
    if cuda.cuInit(0) != 0 or cuda.cuDeviceGetCount(ctypes.byref(count)) != 0:
        return []
    visible = os.environ.get("CUDA_VISIBLE_DEVICES")
    if visible:
        ids = [v.strip() for v in visible.split(",") if v.strip()]
        return ids[:count.value]
    return [str(i) for i in range(count.value)]


#: Environment of the worker processes, set before they start.  Dask's own
#: default trims freed memory back to the system at 64 KiB, which makes glibc
#: map and fault in every large array afresh: a third more CPU time per
#: recording here, most of it in the kernel.  The command line's allocator
#: settings keep the arrays of one chunk in the heap for the next; a worker
#: stays near 260 MB anyway.
WORKER_ENVIRON = {
    **ALLOCATOR_ENVIRON,
    "OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1",
}
#: Dask settings of the clusters started here: the workers' sampling
#: profiler interrupts the analysis every 10 ms (about 15 % of its time).
#: The event loop's tick (20 ms by default: a watch for a blocked loop) and
#: the system and memory monitors each wake the worker's loop thread,
#: which then takes the interpreter lock from the analysis thread: with
#: every core busy that costs each recording 3 to 5 % more CPU time.  A
#: second's tick and slower monitors still catch a stuck loop and a worker
#: outgrowing its memory.
CLUSTER_CONFIG = {
    "distributed.nanny.pre-spawn-environ": WORKER_ENVIRON,
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "5s",
    "distributed.worker.memory.monitor-interval": "1s",
}


def start_local_cluster(workers: Optional[int] = None, backend: str = "auto") -> Any:
    """A cluster on this machine: one single-threaded worker process per
    CUDA device (each pinned to its device: two modules on one device would
    only queue behind each other) or, without devices or with the CPU
    backend, one per core."""
    import logging

    import dask
    from distributed import LocalCluster, Nanny, Scheduler, SpecCluster

    ports = {"dashboard_address": ":0"}  # a free port: never clash with another cluster
    devices = [] if backend == "cpu" else cuda_devices()
    with dask.config.set(CLUSTER_CONFIG):
        if devices:
            if workers is not None:
                devices = devices[:workers]
            specs = {f"gpu{d}": {"cls": Nanny, "options": {
                "nthreads": 1, "host": "127.0.0.1", "env": {"CUDA_VISIBLE_DEVICES": d}}}
                for d in devices}
            return SpecCluster(workers=specs, scheduler={"cls": Scheduler, "options": {
                "host": "127.0.0.1", **ports}}, name="powergpu")
        n = workers or (len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                        else os.cpu_count() or 1)
        return LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                            host="127.0.0.1", silence_logs=logging.ERROR, **ports)


# --- the batch -----------------------------------------------------------------------------

@dataclass
class BatchReport:
    """What a batch did: ``manifest`` (a DataFrame, one row per recording of
    the dataset), the counts of this run and its wall time."""

    output: Path
    manifest: Any
    analysed: int
    skipped: int
    failed: int
    seconds: float
    workers: int

    @property
    def rate_per_minute(self) -> float:
        return 60.0 * self.analysed / self.seconds if self.seconds > 0 else float("nan")


def analyze_many(paths: Iterable["os.PathLike[str] | str"], output: "os.PathLike[str] | str",
                 *, scheduler: Optional[str] = None, workers: Optional[int] = None,
                 tables: Optional[Sequence[str]] = None, retry_failed: bool = False,
                 progress: Any = None, client: Any = None, **options: Any) -> BatchReport:
    """Analyses every recording in ``paths`` (files, folders searched
    recursively for .cfg/.cff/.csv/.tsv/.wav, or glob patterns) on Dask and
    writes the Parquet dataset into ``output``.

    ``scheduler``: address of an existing Dask scheduler (default: the
    ``DASK_SCHEDULER_ADDRESS`` environment variable, else a cluster started
    on this machine with ``workers`` processes: one per CUDA device, else
    one per core); ``client``: an existing ``distributed.Client`` instead.
    The workers must see ``output`` and the inputs at the same paths.
    ``tables``: from windows, halfcycles, events, harmonics, iec_harmonics,
    aggregates (default: windows, halfcycles, events, aggregates; the
    aggregates are the tables aggregates_3s, aggregates_10min and
    aggregates_2h, written unless ``compliance=False``).  ``options``: as ``powergpu analyze``:
    channels, sample_rate, scale, secondary, grid, frequency,
    nominal_voltage, rvc_threshold, harmonics, interharmonics, backend.
    ``progress``: None (a bar on a terminal), True or False.
    """
    try:
        import distributed  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError as exc:
        raise _missing_extra(exc) from None
    from .fleet_run import run_jobs

    asked = tables is not None
    tables = list(BATCH_TABLES if tables is None else tables)
    bad = [t for t in tables if t not in _TABLE_ATTR and t != "aggregates"]
    if bad:
        raise ValueError(f"unknown table {bad[0]!r}; choose from "
                         f"{', '.join(list(_TABLE_ATTR) + ['aggregates'])}")
    argv = options_argv(options)
    settings = parse_settings(argv)  # refused settings fail here, not once per recording
    tables = _aggregate_tables(tables, aggregating=class_a_writes_tables(settings), asked=asked)
    out = Path(output)
    previous = read_manifest(out)
    key = settings_key(settings, tables)
    jobs = plan_jobs(paths, out, previous, settings=key, tables=tables, argv=argv)
    out.mkdir(parents=True, exist_ok=True)  # only once the inputs are known to exist
    return run_jobs(jobs, out, previous, retry_failed=retry_failed, scheduler=scheduler,
                    workers=workers, progress=progress, client=client,
                    backend=options.get("backend") or "auto")

