"""Tables of an analysis for people and files: the console summary, the
per-phase table shared with the HTML report, and the CSV/JSON output files.

Everything here reads an ``AnalysisResult`` (``windows``, ``harmonics``,
``half_cycles``, ``events`` DataFrames and the ``summary`` dict) and nothing
else, so the command line, the report and users' own scripts print the same
numbers.
"""
from __future__ import annotations

import json
import math
import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from .csv_text import CSV_DIGITS, CsvAppender, csv_chunk_rows, write_csv  # noqa: F401 (re-exported)
from .table_access import phase_numbers, present_table

__all__ = [
    "OUTPUT_FILES", "TABLE_NAMES", "DEFAULT_TABLES", "TableModel", "TableRow", "console_summary", "event_rows",
    "flagged_text", "warnings", "flicker_text",
    "facts", "fmt_number", "json_ready", "phase_table", "write_csv", "write_outputs",
    "write_summary", "CsvAppender", "TableWriter", "csv_chunk_rows",
]

#: Output file name per result table, in the order they are written.
OUTPUT_FILES: Tuple[Tuple[str, str], ...] = (
    ("windows", "windows.csv"),
    ("half_cycles", "halfcycles.csv"),
    ("events", "events.csv"),
    ("harmonics", "harmonics.csv"),
    ("iec_harmonics", "iec_harmonics.csv"),
)
SUMMARY_FILE = "summary.json"

EVENT_HEADERS = ["type", "phases", "start [s]", "end [s]", "duration [s]", "extreme [V]",
                 "extreme [%]", "dU max [V]", "dU max [%]", "dU ss [V]", "dU ss [%]"]


# --- number formatting -------------------------------------------------------

def fmt_number(value: Any, digits: Optional[int] = None) -> str:
    """A compact, aligned-friendly text for one value: '-' for missing or NaN,
    else fixed point with decimals chosen by magnitude (or ``digits``)."""
    if value is None:
        return "-"
    try:
        v = float(value)
    except (TypeError, ValueError):
        return str(value)
    if not math.isfinite(v):
        return "-"
    if digits is not None:
        return f"{v:.{digits}f}"
    a = abs(v)
    if a >= 1000:
        return f"{v:.1f}"
    if a >= 100:
        return f"{v:.2f}"
    if a >= 1 or a == 0:
        return f"{v:.3f}"
    return f"{v:.4f}"


def _mean(df, column: str) -> Optional[float]:
    if df is None or column not in df.columns or len(df) == 0:
        return None
    x = np.asarray(df[column], dtype=np.float64)
    x = x[np.isfinite(x)]
    return float(x.mean()) if x.size else None


def _summary(result: Any) -> Dict[str, Any]:
    s = getattr(result, "summary", None)
    return s if isinstance(s, Mapping) else {}


# --- the per-phase table -----------------------------------------------------

@dataclass
class TableRow:
    label: str
    unit: str
    values: List[str]


@dataclass
class TableModel:
    """Per-phase table: ``columns`` are the phase headers (plus "total"),
    each row has one formatted value per column."""

    columns: List[str] = field(default_factory=list)
    rows: List[TableRow] = field(default_factory=list)


class _WindowMeans:
    """Column names and means of the windows table: from the result's
    ``trends`` (kept whether or not the table itself was), else from the
    table."""

    def __init__(self, result: Any) -> None:
        trends = getattr(result, "trends", None)
        self._means: Optional[Mapping[str, Any]] = None
        if trends is not None and getattr(trends, "means", None) is not None:
            count = trends.window_count() if hasattr(trends, "window_count") else 1
            self.columns = list(trends.window_columns) if count else []
            self._means = trends.means
            self._frame = None
        else:
            self._frame = present_table(result, "windows")
            self.columns = [] if self._frame is None else list(self._frame.columns)

    def mean(self, column: str) -> Optional[float]:
        if self._means is not None:
            v = self._means.get(column) if column in self.columns else None
            return None if v is None or not math.isfinite(float(v)) else float(v)
        return _mean(self._frame, column)


def phase_table(result: Any) -> TableModel:
    """Per phase: RMS, fundamental and THD of voltage and current; P, Q, S,
    power factor and cos phi1, with the three-phase totals in a last column.

    Every value is a mean over the valid calculation windows, and for the
    spectral values (fundamental, THD, Q, S, power factor, cos phi1) over
    the windows that are not flagged either (the same numbers as the
    per-phase entries of summary.json).
    """
    w = _WindowMeans(result)
    phases = phase_numbers(w, "u", "_rms")
    model = TableModel()
    if not phases:
        return model
    has_i = bool(phase_numbers(w, "i", "_rms"))
    totals = has_i and "p_total" in w.columns
    model.columns = [f"L{k}" for k in phases] + (["total"] if totals else [])
    n_total = 1 if totals else 0

    def row(label: str, unit: str, column: str, total: Optional[str] = None,
            digits: Optional[int] = None) -> None:
        vals = [w.mean(column.format(k=k)) for k in phases]
        if all(v is None for v in vals):
            return
        cells = [fmt_number(v, digits) for v in vals]
        if n_total:
            cells.append(fmt_number(w.mean(total), digits) if total else "")
        model.rows.append(TableRow(label, unit, cells))

    row("U rms", "V", "u{k}_rms")
    row("U fundamental", "V", "u{k}_h1")
    row("U THD", "%", "u{k}_thd", digits=2)
    ll = [c for c in ("u12_rms", "u23_rms", "u31_rms") if c in w.columns][:len(phases)]
    if ll:
        cells = [fmt_number(w.mean(c)) for c in ll]
        cells += [""] * (len(phases) - len(ll)) + [""] * n_total
        names = "/".join(c[1:3].upper() for c in ll)
        model.rows.append(TableRow(f"U L-L rms ({names})", "V", cells))
    extremes = [_half_cycle_extremes(result, f"u{k}_rms") for k in phases]
    if any(e is not None for e in extremes):
        for label, index in (("U rms half-cycle min", 0), ("U rms half-cycle max", 1)):
            cells = [fmt_number(e[index]) if e is not None else "" for e in extremes] + [""] * n_total
            model.rows.append(TableRow(label, "V", cells))
    if has_i:
        row("I rms", "A", "i{k}_rms")
        row("I fundamental", "A", "i{k}_h1")
        row("I THD", "%", "i{k}_thd", digits=2)
        row("P active", "W", "p{k}", total="p_total")
        row("Q reactive", "var", "q{k}", total="q_total")
        row("S apparent", "VA", "s{k}", total="s_total")
        row("PF (lambda)", "", "pf{k}", total="pf_total", digits=3)
        row("cos phi1", "", "cos_phi1_{k}", digits=3)
    return model


def _half_cycle_extremes(result: Any, column: str) -> Optional[Tuple[float, float]]:
    """Smallest and largest valid one-cycle value (refreshed every half
    cycle) of a column: from the trends when the table was not kept."""
    trends = getattr(result, "trends", None)
    values = None
    if trends is not None and getattr(trends, "half_cycles", None) is not None \
            and column in getattr(trends, "half_cycle_columns", []):
        values = np.asarray(trends.half_cycles.values(column), dtype=float)
    else:
        frame = present_table(result, "half_cycles")
        if frame is not None and column in frame.columns:
            keep = frame["valid"].to_numpy(dtype=bool) if "valid" in frame.columns else slice(None)
            values = np.asarray(frame[column], dtype=float)[keep]
    if values is None:
        return None
    values = values[np.isfinite(values)]
    if values.size == 0:
        return None
    return float(values.min()), float(values.max())


# --- facts and events --------------------------------------------------------

def _get(s: Mapping[str, Any], *keys: str) -> Any:
    for k in keys:
        if k in s and s[k] is not None:
            return s[k]
    return None


def _frequency_stats(result: Any) -> Tuple[Optional[float], Optional[float], Optional[float]]:
    s = _summary(result)
    lo, mean, hi = (_get(s, "frequency_min"), _get(s, "frequency_mean"),
                    _get(s, "frequency_max"))
    w = present_table(result, "windows")
    if (lo is None or mean is None or hi is None) and w is not None and "frequency" in w:
        f = np.asarray(w["frequency"], dtype=float)
        f = f[np.isfinite(f)]
        if f.size:
            lo, mean, hi = float(f.min()), float(f.mean()), float(f.max())
    return lo, mean, hi


def _unbalance(result: Any, name: str) -> Tuple[Optional[float], Optional[float]]:
    s = _summary(result)
    mean = _get(s, f"{name}_mean")
    mx = _get(s, f"{name}_max")
    w = present_table(result, "windows")
    if (mean is None or mx is None) and w is not None and name in w.columns:
        x = np.asarray(w[name], dtype=float)
        x = x[np.isfinite(x)]
        if x.size:
            mean, mx = float(x.mean()), float(x.max())
    return mean, mx


def rvc_event_count(result: Any) -> int:
    s = _summary(result)
    n = _get(s, "rvc_event_count")
    if n is not None:
        return int(n)
    ev = present_table(result, "events")
    return 0 if ev is None else len(ev)


#: (summary key, label, text of the value) of the facts about the setup.
_SETUP_FACTS = (
    ("duration", "duration", lambda v: f"{float(v):.3f} s"),
    ("sample_rate", "sample rate", lambda v: f"{float(v):g} Hz"),
    ("grid", "grid", str),
    ("nominal_frequency", "nominal frequency", lambda v: f"{float(v):g} Hz"),
    ("backend", "backend", str),
)


def facts(result: Any) -> List[Tuple[str, str]]:
    """(name, text) pairs describing the analysis as a whole."""
    s = _summary(result)
    out: List[Tuple[str, str]] = []
    for key, label, text in _SETUP_FACTS:
        value = _get(s, key)
        if value is not None:
            out.append((label, text(value)))
    lo, mean, hi = _frequency_stats(result)
    if mean is not None:
        out.append(("frequency min / mean / max",
                    f"{lo:.3f} / {mean:.3f} / {hi:.3f} Hz"))
    for name, label in (("u2_ratio", "voltage unbalance u2 mean / max"),
                        ("u0_ratio", "zero-sequence u0 mean / max")):
        m, x = _unbalance(result, name)
        if m is not None:
            out.append((label, f"{m:.2f} / {x:.2f} %"))
    wc = _get(s, "window_count")
    if wc is None and present_table(result, "windows") is not None:
        wc = len(result.windows)
    if wc is not None:
        out.append(("calculation windows", str(int(wc))))
    hc = _get(s, "half_cycle_count")
    if hc is None and present_table(result, "half_cycles") is not None:
        hc = len(result.half_cycles)
    if hc is not None:
        out.append(("half-cycle values", str(int(hc))))
    flagged = flagged_text(result)
    if flagged:
        out.append(("flagged", flagged))
    out.append(("RVC events", str(rvc_event_count(result))))
    out.append(("dips / swells / interruptions", voltage_event_counts_text(result)))
    flicker = flicker_text(result)
    if flicker:
        out.append(("flicker Pst / Plt max", flicker))
    return out


def flicker_text(result: Any) -> Optional[str]:
    """The largest Pst and Plt per voltage channel, from unflagged intervals
    (Pst of an interval that holds a dip, swell or interruption describes
    the event, not the flicker); None without flicker values."""
    df = present_table(result, "flicker")
    if df is None:
        return None
    steady = df[~df["flagged"]] if "flagged" in df.columns else df
    parts = []
    for col in [c for c in df.columns if c.startswith("Pst_")]:
        name = col[len("Pst_"):]
        pst = steady[col].max() if len(steady) else float("nan")
        plt_col = f"Plt_{name}"
        plt = steady[plt_col].max() if plt_col in steady.columns and len(steady) else float("nan")
        text = f"{name} {pst:.2f}" if pst == pst else f"{name} -"
        text += f" / {plt:.2f}" if plt == plt else " / -"
        parts.append(text)
    if not parts:
        return None
    flagged = int(df["flagged"].sum()) if "flagged" in df.columns else 0
    return "   ".join(parts) + (f"   ({flagged} of {len(df)} intervals flagged)" if flagged else "")


def voltage_event_counts(result: Any) -> Dict[str, int]:
    """{"dip": n, "swell": n, "interruption": n} from the summary, else the table."""
    from .voltage_events import event_type_counts

    s = _summary(result)
    counts = event_type_counts(present_table(result, "events"))
    for kind in ("dip", "swell", "interruption"):
        n = _get(s, f"{kind}_count")
        if n is not None:
            counts[kind] = int(n)
    return {k: counts[k] for k in ("dip", "swell", "interruption")}


def voltage_event_counts_text(result: Any) -> str:
    counts = voltage_event_counts(result)
    return " / ".join(str(counts[k]) for k in ("dip", "swell", "interruption"))


def flagged_text(result: Any) -> Optional[str]:
    """How many windows and half-cycle values are flagged (an event or
    invalid data in them), or None when the result does not say."""
    s = _summary(result)
    fw, wc = _get(s, "flagged_window_count"), _get(s, "window_count")
    fh, hc = _get(s, "flagged_half_cycle_count"), _get(s, "half_cycle_count")
    if fw is None or wc is None:
        return None
    text = f"{int(fw)} of {int(wc)} windows"
    if fh is not None and hc is not None:
        text += f", {int(fh)} of {int(hc)} half-cycle values"
    return text + " (events or invalid data)"


def warnings(result: Any) -> List[str]:
    """The analysis's warnings (sentences), if any."""
    return [str(w) for w in (_summary(result).get("warnings") or [])]


def event_rows(result: Any) -> List[List[str]]:
    """One list of formatted cells per event (dips, swells, interruptions and
    rapid voltage changes), matching EVENT_HEADERS; a table without a
    ``type`` column holds RVC events."""
    ev = present_table(result, "events")
    if ev is None:
        return []
    rows = []
    for _, e in ev.iterrows():
        phases = e.get("phases")
        rows.append([
            str(e.get("type", "rvc")),
            phases if isinstance(phases, str) and phases else "-",
            fmt_number(e.get("t_start"), 3), fmt_number(e.get("t_end"), 3),
            fmt_number(e.get("duration"), 3),
            fmt_number(e.get("extreme_v"), 2), fmt_number(e.get("extreme_pct"), 2),
            fmt_number(e.get("delta_u_max"), 2), fmt_number(e.get("delta_u_max_pct"), 2),
            fmt_number(e.get("delta_u_ss"), 2), fmt_number(e.get("delta_u_ss_pct"), 2),
        ])
    return rows


def _event_line(j: int, e: List[str]) -> str:
    """The console line of event ``j`` from its ``event_rows`` cells."""
    kind, phases, start, end, duration = e[:5]
    if kind != "rvc":
        what = {"swell": "maximum"}.get(kind, "residual")
        tail = (f"duration {duration} s" if end != "-" else
                f"{duration} s so far, still in progress when the recording ends")
        return (f"    #{j}  {kind} on phase{'s' if ',' in phases else ''} {phases}  "
                f"start {start} s  {tail}  {what} {e[5]} V ({e[6]} %)")
    if end == "-":
        return f"    #{j}  start {start} s  still in progress when the recording ends"
    return (f"    #{j}  start {start} s  end {end} s  duration {duration} s  "
            f"dU max {e[7]} V ({e[8]} %)  dU ss {e[9]} V ({e[10]} %)")


# --- console -----------------------------------------------------------------

def _align(rows: Sequence[Sequence[str]], left: int = 1) -> List[str]:
    """Columns padded to a common width; the first ``left`` columns are
    left-aligned, the others right-aligned."""
    if not rows:
        return []
    widths = [max(len(r[j]) for r in rows if j < len(r)) for j in range(max(map(len, rows)))]
    lines = []
    for r in rows:
        cells = []
        for j, c in enumerate(r):
            cells.append(c.ljust(widths[j]) if j < left else c.rjust(widths[j]))
        lines.append("  ".join(cells).rstrip())
    return lines


def console_summary(result: Any, *, source: str = "", written: Iterable[str] = (),
                    report: Optional[str] = None) -> str:
    """The text that ``powergpu analyze`` prints: a heading, the per-phase
    table, frequency, unbalance and one line per RVC event."""
    from . import __version__ as version

    s = _summary(result)
    lines: List[str] = []
    head = f"powergpu {version}"
    if source:
        head += f" - {source}"
    lines.append(head)
    bits = []
    dur = _get(s, "duration")
    if dur is not None:
        bits.append(f"{float(dur):.3f} s")
    fs = _get(s, "sample_rate")
    if fs is not None:
        bits.append(f"{float(fs):g} Hz sampling")
    if _get(s, "grid") is not None:
        bits.append(f"grid {s['grid']}")
    if _get(s, "nominal_frequency") is not None:
        bits.append(f"nominal {float(s['nominal_frequency']):g} Hz")
    if _get(s, "backend") is not None:
        bits.append(f"backend {s['backend']}")
    if bits:
        lines.append("  " + ", ".join(bits))
    lines.append("")

    model = phase_table(result)
    if model.rows:
        table = [["", ""] + model.columns]
        table += [[r.label, r.unit] + r.values for r in model.rows]
        lines += ["  " + x for x in _align(table, left=2)]
        lines.append("")
    else:
        cycles = _get(s, "window_cycles") or 10
        lines.append("  no complete calculation window: the recording holds fewer than "
                     f"{int(cycles)} valid cycles in a row")
        lines.append("")

    lo, mean, hi = _frequency_stats(result)
    info: List[List[str]] = []
    if mean is not None:
        info.append(["frequency", f"min {lo:.3f} Hz   mean {mean:.3f} Hz   max {hi:.3f} Hz"])
    u2m, u2x = _unbalance(result, "u2_ratio")
    u0m, u0x = _unbalance(result, "u0_ratio")
    if u2m is not None or u0m is not None:
        parts = []
        if u2m is not None:
            parts.append(f"u2 {u2m:.2f} % (max {u2x:.2f} %)")
        if u0m is not None:
            parts.append(f"u0 {u0m:.2f} % (max {u0x:.2f} %)")
        info.append(["unbalance", "   ".join(parts)])
    wc = _get(s, "window_count")
    hc = _get(s, "half_cycle_count")
    if wc is not None or hc is not None:
        info.append(["values", f"{int(wc or 0)} windows, {int(hc or 0)} half-cycle values"])
    flagged = flagged_text(result)
    if flagged:
        info.append(["flagged", flagged])
    n_ev = rvc_event_count(result)
    info.append(["RVC events", str(n_ev)])
    declared = _get(s, "declared_voltage")
    note = ""
    if declared is not None:
        how = ", estimated from the first samples" if _get(s, "declared_voltage_estimated") \
            else ""
        note = f"  (declared voltage {float(declared):.1f} V{how})"
    counts = voltage_event_counts(result)
    info.append(["dips", f"{counts['dip']}, swells {counts['swell']}, interruptions "
                         f"{counts['interruption']}{note}"])
    flicker = flicker_text(result)
    if flicker:
        info.append(["flicker Pst / Plt max", flicker])
    lines += ["  " + x for x in _align(info, left=2)]
    for text in warnings(result):
        lines.append(f"  warning: {text}")
    for j, e in enumerate(event_rows(result), start=1):
        lines.append(_event_line(j, e))
    lines += _compliance_lines(s)  # Class A hook: the EN 50160 verdict (compliance_view)
    written = list(written)
    if written or report:
        lines.append("")
    if written:
        lines.append("  written: " + ", ".join(written))
    if report:
        lines.append(f"  report:  {report}")
    return "\n".join(lines) + "\n"


def _compliance_lines(s: Mapping[str, Any]) -> List[str]:
    """A blank line, the EN 50160 headline and its compact table; nothing
    when the analysis ran without the verdict."""
    from .compliance_view import console_lines

    lines = console_lines(_get(s, "compliance"))
    return [""] + lines if lines else []


# --- files -------------------------------------------------------------------

def json_ready(obj: Any) -> Any:
    """``obj`` with numpy scalars and arrays turned into plain Python values
    and NaN/infinity into None, so that ``json.dumps`` writes strict JSON."""
    if isinstance(obj, Mapping):
        return {str(k): json_ready(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [json_ready(v) for v in obj]
    if isinstance(obj, np.ndarray):
        return [json_ready(v) for v in obj.tolist()]
    if isinstance(obj, (np.bool_, bool)):
        return bool(obj)
    if isinstance(obj, (np.integer,)):
        return int(obj)
    if isinstance(obj, (float, np.floating)):
        v = float(obj)
        return v if math.isfinite(v) else None
    if isinstance(obj, (int, str)) or obj is None:
        return obj
    if isinstance(obj, os.PathLike):
        return os.fspath(obj)
    return str(obj)


#: Names accepted by ``write_outputs(tables=...)`` and ``--tables``.
TABLE_NAMES = tuple(name[:-4] for _, name in OUTPUT_FILES)
#: The tables written when none are named: iec_harmonics only on request
#: (its analysis costs library time of its own).
DEFAULT_TABLES = tuple(name for name in TABLE_NAMES if name != "iec_harmonics")


def write_outputs(result: Any, outdir: "os.PathLike[str] | str", *,
                  extra: Optional[Mapping[str, Any]] = None,
                  tables: Optional[Iterable[str]] = None) -> List[Path]:
    """Write windows.csv, halfcycles.csv, events.csv, harmonics.csv and
    summary.json into ``outdir`` (created if needed); returns the paths.

    ``tables`` chooses the CSV files (``TABLE_NAMES``: windows, halfcycles,
    events, harmonics, iec_harmonics; default ``DEFAULT_TABLES``, all but
    iec_harmonics); summary.json is always
    written.  Each table is written even when empty (a header line only),
    so scripts reading the folder never meet a missing file.  ``extra`` is
    merged into summary.json (input file, channel mapping, ...).
    """
    import pandas as pd

    wanted = set(DEFAULT_TABLES if tables is None else tables)
    unknown = wanted - set(TABLE_NAMES)
    if unknown:
        raise ValueError(f"unknown table(s) {', '.join(sorted(unknown))}; "
                         f"known: {', '.join(TABLE_NAMES)}")
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    paths: List[Path] = []
    for attr, name in OUTPUT_FILES:
        if name[:-4] not in wanted:
            continue
        df = getattr(result, attr, None)
        if df is None:
            df = pd.DataFrame()
        p = out / name
        write_csv(df, p)
        paths.append(p)
    paths.append(write_summary(result, out, extra=extra))
    return paths


def write_summary(result: Any, outdir: "os.PathLike[str] | str", *,
                  extra: Optional[Mapping[str, Any]] = None) -> Path:
    """Write summary.json into ``outdir``: the result's summary, ``extra``
    and the RVC events; returns its path."""
    data: Dict[str, Any] = {}
    from . import __version__ as version
    data["powergpu_version"] = version
    data.update(_summary(result))
    if extra:
        data.update(extra)
    ev = present_table(result, "events")
    records = [] if ev is None else ev.to_dict(orient="records")
    data["rvc_events"] = [r for r in records if r.get("type", "rvc") == "rvc"]
    data["voltage_events"] = [r for r in records if r.get("type", "rvc") != "rvc"]
    p = Path(outdir) / SUMMARY_FILE
    tmp = p.with_name(p.name + ".part")
    tmp.write_text(json.dumps(json_ready(data), indent=2, allow_nan=False) + "\n",
                   encoding="utf-8")
    os.replace(tmp, p)
    return p


class TableWriter:
    """A sink for ``analyze_stream`` that writes the CSV tables as the
    batches come (the same files as ``write_outputs``, in bounded memory).

    ``tables``: names of ``TABLE_NAMES`` (default ``DEFAULT_TABLES``).  After the
    analysis, ``close(result)`` writes the last rows, events.csv (from the
    result's events) and summary.json, and returns the paths in the order
    of ``write_outputs``; ``abort()`` removes the unfinished files.
    """

    def __init__(self, outdir: "os.PathLike[str] | str",
                 tables: Optional[Iterable[str]] = None) -> None:
        wanted = set(DEFAULT_TABLES if tables is None else tables)
        unknown = wanted - set(TABLE_NAMES)
        if unknown:
            raise ValueError(f"unknown table(s) {', '.join(sorted(unknown))}; "
                             f"known: {', '.join(TABLE_NAMES)}")
        self.outdir = Path(outdir)
        self.outdir.mkdir(parents=True, exist_ok=True)
        self.wanted = [(attr, name) for attr, name in OUTPUT_FILES if name[:-4] in wanted]
        self._writers: Dict[str, CsvAppender] = {}
        try:
            for attr, name in self.wanted:
                if attr != "events":  # small: written whole at the end
                    self._writers[attr] = CsvAppender(self.outdir / name)
        except BaseException:
            self.abort()
            raise
        # the analysis asks only for the tables that are written
        for attr, writer in self._writers.items():
            setattr(self, f"on_{attr}", writer.append)

    def close(self, result: Any, *, extra: Optional[Mapping[str, Any]] = None) -> List[Path]:
        import pandas as pd

        paths: List[Path] = []
        try:
            for attr, name in self.wanted:
                df = getattr(result, attr, None)
                if attr in self._writers:
                    cols = list(df.columns) if df is not None else []
                    paths.append(self._writers[attr].close(columns=cols))
                else:
                    paths.append(write_csv(df if df is not None else pd.DataFrame(),
                                           self.outdir / name))
        except BaseException:
            self.abort()
            raise
        paths.append(write_summary(result, self.outdir, extra=extra))
        return paths

    def abort(self) -> None:
        for writer in self._writers.values():
            writer.abort()
