"""What ``powergpu analyze`` adds for the aggregation and the EN 50160
verdict: its options, the arguments it hands the analysis, and the files
it writes (aggregates_*.csv, compliance.json)."""
from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, Dict, List

__all__ = ["TABLE_NAME", "add_analyze_options", "split_tables", "class_a_arguments",
           "class_a_writes_tables", "write_class_a_outputs"]

#: The name in ``--tables`` that asks for the aggregates and the verdict.
TABLE_NAME = "aggregates"


def _clock_time(text: str) -> str:
    """A clock time that pandas reads (ISO 8601), checked as the command line is parsed."""
    import pandas as pd

    try:
        stamp = pd.Timestamp(text)
    except (TypeError, ValueError):
        stamp = pd.NaT
    if stamp is pd.NaT:
        raise argparse.ArgumentTypeError(f"cannot read {text!r} as a time (use ISO 8601, e.g. "
                                         "2026-03-02T13:07:43.7)")
    return text


def add_analyze_options(group: Any) -> None:
    """``--start-time`` and ``--no-compliance`` in the analysis options."""
    group.add_argument("--start-time", metavar="TIME", type=_clock_time,
                       help="clock time of the first sample (ISO 8601, e.g. 2026-03-02T13:07:43.7) "
                            "for the 10-min and 2-h aggregation (default: the recording's own, "
                            "else 1970-01-01T00:00)")
    group.add_argument("--no-compliance", dest="compliance", action="store_false",
                       help="skip the 3-s/10-min/2-h aggregation and the EN 50160 verdict")


def split_tables(args: argparse.Namespace) -> None:
    """Takes "aggregates" out of ``args.tables`` (the table writers do not
    know it) into ``args.aggregates``: True when --tables is not given or
    names it."""
    tables = getattr(args, "tables", None)
    args.aggregates = tables is None or TABLE_NAME in tables
    if tables is not None:
        args.tables = [t for t in tables if t != TABLE_NAME]


def class_a_arguments(source: Any, args: argparse.Namespace) -> Dict[str, Any]:
    """``start_time`` and ``class_a`` for ``analyze_stream``. Commands
    without the options (batch) run without the aggregation, and so does
    ``analyze`` with --no-compliance or a --tables list without
    "aggregates"."""
    enabled = class_a_writes_tables(args)
    start = getattr(args, "start_time", None) or (source.extra.get("input") or {}).get("start_time")
    return {"class_a": enabled, "start_time": start}


def class_a_writes_tables(args: argparse.Namespace) -> bool:
    """Whether the analysis these arguments ask for produces the aggregate
    tables (the verdict needs a declared voltage besides)."""
    return bool(getattr(args, "compliance", False)) and bool(getattr(args, "aggregates", True))


def write_class_a_outputs(result: Any, folder: Path, *, tables: bool = True) -> List[Path]:
    """Writes the aggregate tables (as CSV; not with ``tables`` False, when
    a Parquet writer has them) and compliance.json of ``result`` (none when
    the analysis ran without them); returns the paths."""
    from .classa import write_class_a

    if not getattr(result, "aggregates", None):
        return []
    return write_class_a(folder, result.aggregates if tables else {}, result.compliance)
