"""Aggregated values and the EN 50160 verdict of an analysis, and the
``powergpu compliance`` command that writes them next to the tables of
``powergpu analyze``.

``class_a`` works on tables in memory; ``compliance_from_folder`` reads an
output folder of ``analyze`` (windows.csv, events.csv, and
iec_harmonics.csv or harmonics.csv and flicker.csv when there) and writes aggregates_3s.csv,
aggregates_10min.csv, aggregates_2h.csv and compliance.json into it.
"""
from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple, Union

import pandas as pd

from . import aggregation, compliance

__all__ = ["AGGREGATE_FILES", "class_a", "write_class_a", "compliance_from_folder", "add_parser", "run"]

#: Output file per aggregate table.
AGGREGATE_FILES = (("3s", "aggregates_3s.csv"), ("10min", "aggregates_10min.csv"), ("2h", "aggregates_2h.csv"))


def class_a(windows: pd.DataFrame, events: pd.DataFrame, *, start_time, declared_voltage: float,
            nominal_frequency: float, window_cycles: int, duration_s: float,
            harmonics: Optional[pd.DataFrame] = None, flicker: Optional[pd.DataFrame] = None,
            frequency: Optional[pd.DataFrame] = None,
            iec_harmonics: Optional[pd.DataFrame] = None) -> Tuple[Dict[str, pd.DataFrame], Dict[str, Any]]:
    """({"3s", "10min", "2h"}: aggregate tables, the compliance dict).

    The harmonic voltages come from the harmonic subgroups of
    ``iec_harmonics`` when given, as in the analysis, else from the
    window spectra of ``harmonics``; the verdict's ``harmonic_values``
    says which ("subgroups", "spectrum", or None without either).

    ``frequency``: the 10-s values (t_start timestamps, frequency, flagged),
    e.g. from the library's records or ``aggregation.ten_second_frequency``
    of a cycles table; without it they come from the windows
    (``aggregation.ten_second_frequency_of_windows``)."""
    table, source = windows, None
    if iec_harmonics is not None and len(iec_harmonics):
        table, source = aggregation.add_subgroup_columns(table, iec_harmonics), "subgroups"
    elif harmonics is not None and len(harmonics):
        table, source = aggregation.add_harmonic_columns(table, harmonics), "spectrum"
    table = aggregation.add_deviation_columns(table, declared_voltage)
    short, ten = aggregation.aggregate(table, start_time, pst=flicker)
    two = aggregation.aggregate_2h(ten, flicker=flicker, start_time=start_time)
    tables = {name: aggregation.add_deviation_percent(t, declared_voltage)
              for name, t in (("3s", short), ("10min", ten), ("2h", two))}
    if frequency is None:
        frequency = aggregation.ten_second_frequency_of_windows(windows, start_time, window_cycles)
    verdict = compliance.evaluate(frequency, tables["10min"], events, start_time=start_time,
                                  duration_s=duration_s, nominal_frequency=nominal_frequency,
                                  declared_voltage=declared_voltage, flicker=flicker)
    verdict["harmonic_values"] = source
    return tables, verdict


def write_class_a(folder: Union[str, Path], tables: Dict[str, pd.DataFrame],
                  verdict: Optional[Dict[str, Any]]) -> List[Path]:
    """Writes the aggregate tables given ("3s", "10min", "2h") and
    compliance.json (not without a verdict); returns the paths."""
    folder = Path(folder)
    paths = []
    for name, file in AGGREGATE_FILES:
        if name not in tables:
            continue
        path = folder / file
        tables[name].to_csv(path, index=False, float_format="%.6g", date_format="%Y-%m-%dT%H:%M:%S.%f")
        paths.append(path)
    if verdict is not None:
        paths.append(compliance.write_compliance(verdict, folder))
    return paths


def _read(folder: Path, name: str, required: bool) -> Optional[pd.DataFrame]:
    path = folder / name
    if not path.is_file():
        if required:
            raise FileNotFoundError(f"{path}: not found; run 'powergpu analyze' with the table "
                                    f"{name[:-4]} into this folder first")
        return None
    return pd.read_csv(path)


def compliance_from_folder(folder: Union[str, Path], *, start_time=None, declared_voltage: Optional[float] = None,
                           nominal_frequency: Optional[float] = None) -> Tuple[List[Path], Dict[str, Any]]:
    """Reads the tables of ``analyze`` in ``folder``, writes the aggregates
    and compliance.json there; returns (paths, the compliance dict). The
    start time, declared voltage and nominal frequency default to those in
    summary.json (the recording's start time; the nominal voltage, else
    the declared voltage of the event detector; the nominal frequency)."""
    folder = Path(folder)
    summary_path = folder / "summary.json"
    summary: Dict[str, Any] = json.loads(summary_path.read_text()) if summary_path.is_file() else {}
    start = start_time if start_time is not None else (summary.get("input") or {}).get("start_time")
    if start is None:
        raise ValueError(f"{summary_path}: holds no recording start time; give --start-time")
    voltage = next((v for v in (declared_voltage, summary.get("nominal_voltage"), summary.get("declared_voltage"))
                    if v is not None), None)
    if voltage is None:
        raise ValueError(f"{summary_path}: holds no nominal voltage; give --declared-voltage")
    f0 = nominal_frequency if nominal_frequency is not None else summary.get("nominal_frequency", 50.0)
    windows = _read(folder, "windows.csv", True)
    events = _read(folder, "events.csv", False)
    duration = summary.get("duration")
    if duration is None:
        duration = float(windows["t_end"].max()) if len(windows) else 0.0
    tables, verdict = class_a(
        windows, events if events is not None else pd.DataFrame({"type": [], "t_start": []}),
        start_time=start, declared_voltage=float(voltage), nominal_frequency=float(f0),
        window_cycles=int(summary.get("window_cycles") or aggregation_window_cycles(float(f0))),
        duration_s=float(duration), flicker=_read(folder, "flicker.csv", False),
        **_harmonic_tables(folder))
    return write_class_a(folder, tables, verdict), verdict


def _harmonic_tables(folder: Path) -> Dict[str, Optional[pd.DataFrame]]:
    """iec_harmonics.csv when the folder has it (the harmonic subgroups),
    else harmonics.csv (the window spectra), else neither."""
    iec = _read(folder, "iec_harmonics.csv", False)
    if iec is not None:
        return {"iec_harmonics": iec}
    return {"harmonics": _read(folder, "harmonics.csv", False)}


def aggregation_window_cycles(nominal_frequency: float) -> int:
    """10 cycles per window at 50 Hz, 12 at 60 Hz."""
    return 12 if nominal_frequency >= 55.0 else 10


def add_parser(sub: Any) -> argparse.ArgumentParser:
    """Adds the ``compliance`` command to the subcommands of the CLI."""
    p = sub.add_parser(
        "compliance", help="aggregate an analysis to 3-s, 10-min and 2-h values and judge it "
                           "against EN 50160",
        description="Read the tables that 'powergpu analyze' wrote into DIR (windows; events, "
                    "iec_harmonics or harmonics, and flicker when there) and write aggregates_3s.csv, "
                    "aggregates_10min.csv, aggregates_2h.csv and compliance.json beside them.")
    p.add_argument("folder", metavar="DIR", help="output folder of 'powergpu analyze'")
    p.add_argument("--start-time", metavar="TIME",
                   help="clock time of the recording's first sample (ISO 8601, e.g. "
                        "2026-03-02T13:07:43.7); default: the recording's own, from summary.json")
    p.add_argument("--declared-voltage", type=float, metavar="V",
                   help="declared supply voltage (default: the nominal voltage of the analysis)")
    p.add_argument("--frequency", type=float, metavar="HZ",
                   help="nominal frequency (default: that of the analysis)")
    return p


def run(args: argparse.Namespace) -> int:
    """Runs the ``compliance`` command; prints the verdict per criterion."""
    from .compliance_view import aligned, criteria_rows, headline

    paths, verdict = compliance_from_folder(args.folder, start_time=args.start_time,
                                            declared_voltage=args.declared_voltage,
                                            nominal_frequency=args.frequency)
    lines = [headline(verdict)] + aligned(criteria_rows(verdict))
    lines.append("  written: " + ", ".join(p.name for p in paths))
    print("\n".join(lines))
    return 0
