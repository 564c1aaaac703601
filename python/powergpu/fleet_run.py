"""Running the jobs of a batch on Dask: the client, the progress bar over
recordings and the manifest kept up to date as results come in."""
from __future__ import annotations

import contextlib
import os
import sys
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, Mapping, Optional

from .fleet_inputs import Job

__all__ = ["run_jobs", "open_client"]

#: Status of a recording whose task could not finish (its worker died more
#: often than the scheduler allows): tried again on the next run.
LOST = "lost"


@contextlib.contextmanager
def open_client(scheduler: Optional[str], workers: Optional[int], backend: str,
                client: Any = None) -> Iterator[Any]:
    """A ``distributed.Client``: the one given, one connected to the
    scheduler given (or named by DASK_SCHEDULER_ADDRESS), or one of a
    cluster started here and shut down afterwards."""
    from distributed import Client

    if client is not None:
        yield client
        return
    address = scheduler or os.environ.get("DASK_SCHEDULER_ADDRESS") or None
    if address:
        with Client(address, timeout="30s") as c:
            yield c
        return
    from .batch import start_local_cluster

    with start_local_cluster(workers, backend) as cluster, Client(cluster) as c:
        yield c


def _bar(total: int, progress: Any):
    show = progress if progress is not None else sys.stderr.isatty()
    if not show:
        return None
    from tqdm import tqdm

    return tqdm(total=total, unit="rec", desc="recordings", file=sys.stderr,
                dynamic_ncols=True, leave=True)


def _task_key(job: Job) -> str:
    # Unique per run (a rerun of the batch must not pick up a result that
    # the scheduler still holds under the same key).
    import uuid

    from .batch import task_prefix

    return task_prefix(job.recording) + uuid.uuid4().hex[:12]


def _lost_row(job: Job, exc: BaseException) -> Dict[str, Any]:
    text = " ".join(str(exc).split()) or type(exc).__name__
    return {"recording": job.recording, "path": job.path, "status": LOST,
            "error": f"the worker analysing it died ({type(exc).__name__}: {text})"[:500],
            **job.fingerprint, "settings": job.settings, "tables": ",".join(job.tables)}


def run_jobs(jobs: List[Job], output: Path, previous: Mapping[str, Mapping[str, Any]], *,
             retry_failed: bool, scheduler: Optional[str], workers: Optional[int],
             progress: Any, client: Any, backend: str) -> Any:
    """Skips the jobs already done, runs the others and returns a
    ``BatchReport``; the manifest holds every recording ever analysed into
    ``output`` (the rows of this run replacing earlier ones)."""
    import pandas as pd

    from .batch import (MANIFEST_INTERVAL_S, BatchReport, remove_outputs, analyze_recording,
                        is_done, write_manifest)

    started = time.perf_counter()
    rows: Dict[str, Dict[str, Any]] = {path: dict(row) for path, row in previous.items()}
    todo = [j for j in jobs if not is_done(previous.get(j.path), j, output, retry_failed)]
    skipped = len(jobs) - len(todo)
    counts = {"done": 0, "skipped": skipped, "failed": 0}
    bar = _bar(len(jobs), progress)
    n_workers = 0
    if bar is not None:
        bar.update(skipped)
        bar.set_postfix(counts, refresh=True)
    try:
        if todo:
            from distributed import as_completed

            with open_client(scheduler, workers, backend, client) as c:
                n_workers = len(c.scheduler_info().get("workers", {}))
                futures = {c.submit(analyze_recording, j.task(output), key=_task_key(j),
                                    pure=False): j for j in todo}
                last_save = time.monotonic()
                for fut in as_completed(futures):
                    job = futures[fut]
                    try:
                        row = fut.result()
                    except Exception as exc:  # KilledWorker and the like
                        row = _lost_row(job, exc)
                        remove_outputs(output, job.recording)  # no stale rows of it
                    fut.release()
                    rows[job.path] = row
                    counts["done" if row["status"] == "ok" else "failed"] += 1
                    if bar is not None:
                        bar.update(1)
                        bar.set_postfix(counts, refresh=False)
                    if time.monotonic() - last_save > MANIFEST_INTERVAL_S:
                        write_manifest(output, rows.values())
                        last_save = time.monotonic()
    finally:
        if bar is not None:
            bar.close()
        # Whatever finished is kept, also when the batch is interrupted.
        write_manifest(output, rows.values())
        _remove_leftovers(output)
    return BatchReport(output=output, manifest=pd.read_parquet(output / "manifest.parquet"),
                       analysed=counts["done"], skipped=skipped, failed=counts["failed"],
                       seconds=time.perf_counter() - started, workers=n_workers)


def _remove_leftovers(output: Path) -> None:
    """Temporary files of tasks whose worker died (hidden names, which
    readers skip anyway)."""
    for table in ("windows", "halfcycles", "events", "harmonics"):
        folder = output / table
        if not folder.is_dir():
            continue
        for tmp in folder.glob("recording=*/.*.tmp"):
            try:
                tmp.unlink()
            except OSError:
                pass
