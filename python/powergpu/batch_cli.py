"""``powergpu batch``: the command line of ``batch.analyze_many``.

It takes the input and analysis options of ``powergpu analyze`` itself
(copied from that parser, so the two never drift apart) plus the options of
the dataset and the cluster."""
from __future__ import annotations

import argparse
import sys
from typing import Any

__all__ = ["add_batch_parser", "run_batch", "EXIT_FAILURES"]

#: Exit status when the batch ran but some recordings have no results.
EXIT_FAILURES = 3

_EPILOG = """\
examples:
  powergpu batch recordings/ --output fleet                (this machine, all cores/GPUs)
  powergpu batch 'share/**/*.cfg' --output fleet --frequency 60
  powergpu batch recordings/ --output fleet --scheduler tcp://head-node:8786

output: fleet/windows/, fleet/halfcycles/, fleet/events/ (one Parquet folder per
recording: recording=<id>/part-0.parquet) and fleet/manifest.parquet (one row per
recording: status, error, channels, grid, duration, time, versions).
pandas.read_parquet("fleet/windows") loads the whole fleet.  Run the same command
again to analyse only what is new, changed or lost with a worker.

exit status: 0 every recording analysed, 1 the batch could not run, 2 usage error,
3 the batch ran but some recordings failed (listed, and in the manifest).
"""


def add_batch_parser(sub: Any, analyze: argparse.ArgumentParser) -> argparse.ArgumentParser:
    """Adds ``batch`` to the sub-commands, with ``analyze``'s input and
    analysis options."""
    from .batch import ANALYZE_GROUPS, SINGLE_INPUT
    from .cli import _table_list

    b = sub.add_parser(
        "batch", help="analyse many recordings on Dask into one Parquet dataset",
        description="Analyse every recording in INPUT... (files, folders searched "
                    "recursively, glob patterns) with the settings of 'analyze', one task "
                    "per recording on a Dask cluster (started on this machine unless "
                    "--scheduler is given), into one Parquet dataset with a manifest.  "
                    "Needs pip install 'powergpu[batch]'.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    b.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="recordings, folders or glob patterns (quoted)")
    for group in analyze._action_groups:
        if group.title not in ANALYZE_GROUPS:
            continue
        copy = b.add_argument_group(group.title)
        for action in group._group_actions:
            if action.dest not in SINGLE_INPUT:
                copy._add_action(action)
    out = b.add_argument_group("dataset and cluster")
    out.add_argument("-o", "--output", required=True, metavar="DIR",
                     help="folder of the dataset (created; an earlier batch's dataset there "
                          "is extended and updated)")
    out.add_argument("--tables", type=_table_list, default=None, metavar="LIST",
                     help="tables to write, from windows, halfcycles, events, harmonics, "
                          "iec_harmonics, aggregates (the 3-s, 10-min and 2-h tables; default: "
                          "windows,halfcycles,events,aggregates)")
    out.add_argument("--scheduler", metavar="ADDRESS",
                     help="address of a running Dask scheduler, e.g. tcp://head:8786 "
                          "(default: $DASK_SCHEDULER_ADDRESS, else a cluster on this machine)")
    out.add_argument("--workers", type=int, metavar="N",
                     help="worker processes of the cluster started here (default: one per "
                          "CUDA device, else one per core)")
    out.add_argument("--retry-failed", action="store_true",
                     help="analyse again the recordings that failed on unchanged input")
    out.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    out.add_argument("--no-progress", action="store_true", help="no progress bar")
    return b


def _options(args: argparse.Namespace) -> dict:
    from .batch import analyze_options

    return {dest: getattr(args, dest) for dest in analyze_options()}


def run_batch(args: argparse.Namespace) -> int:
    from .batch import analyze_many
    from .fleet_summary import fleet_summary

    if args.workers is not None and args.workers < 1:
        raise ValueError("--workers must be at least 1")
    report = analyze_many(args.inputs, args.output, scheduler=args.scheduler,
                          workers=args.workers, tables=args.tables,
                          retry_failed=args.retry_failed,
                          progress=False if (args.quiet or args.no_progress) else None,
                          **_options(args))
    if not args.quiet:
        sys.stdout.write(fleet_summary(report))
        sys.stdout.flush()
    missing = int((report.manifest["status"] != "ok").sum())
    return EXIT_FAILURES if missing else 0
