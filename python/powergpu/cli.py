"""The ``powergpu`` command line.

    powergpu analyze FILE [options]      analyse a COMTRADE, CSV or WAV recording
    powergpu analyze --demo [options]    analyse the built-in demonstration signal
    powergpu info FILE                   list a recording's channels and their roles
    powergpu batch INPUT... -o DIR       analyse many recordings on Dask into Parquet

``analyze`` reads the recording in chunks, runs the analysis in streaming
mode and writes the result tables (CSV) batch by batch as they come, so
memory stays bounded whatever the length; then it writes summary.json,
prints a summary table and, with ``--report``, a self-contained HTML report
drawn from the bounded trends that the analysis kept.

Exit status: 0 success, 1 the input or the analysis failed (one line on
stderr, no traceback), 2 the command line itself is wrong (usage on stderr),
130 interrupted.
"""
from __future__ import annotations

import argparse
import math
import os
import re
import signal
import stat
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from .process_memory import reuse_freed_memory

__all__ = ["main", "build_parser", "GRIDS", "infer_grid", "grid_roles"]

PROG = "powergpu"

#: Grid names accepted by --grid, with the voltage and current roles each needs.
GRIDS: Dict[str, Tuple[Tuple[str, ...], Tuple[str, ...]]] = {
    "single": (("U1",), ("I1",)),
    "star": (("U1", "U2", "U3"), ("I1", "I2", "I3")),
    "star-two-currents": (("U1", "U2", "U3"), ("I1", "I2")),
    "delta": (("U12", "U23", "U31"), ("I1", "I2", "I3")),
    "delta-two-currents": (("U12", "U23", "U31"), ("I1", "I2")),
    "two-phase": (("U1", "U2"), ("I1", "I2")),
    "delta-two-voltages": (("U12", "U23"), ("I1", "I2")),
}

#: Recordings at least this long (seconds) get a progress bar on a terminal.
PROGRESS_MIN_SECONDS = 60.0
#: Rows read per chunk: a 6-channel chunk in double (3 MB) stays in a
#: core's cache between its conversion and its copy into the module's rings
#: (twice that measured 3 % slower per hour; half, with twice the fetch
#: rounds, 8 % slower).
CHUNK_SAMPLES = 1 << 16
DEFAULT_OUTPUT = "powergpu-out"

_EPILOG = """\
examples:
  powergpu analyze --demo --report demo.html
  powergpu analyze recording.cfg --output results --report results/report.html
  powergpu analyze scope.csv --sample-rate 10000 --channels "U1=Va,U2=Vb,U3=Vc,I1=Ia,I2=Ib,I3=Ic"
  powergpu analyze feeder.cfg --grid delta --frequency 60 --secondary
  powergpu info recording.cfg        (shows the channels and the roles found)

channel roles: U1 U2 U3 (phase voltages), U12 U23 U31 (line-to-line voltages),
I1 I2 I3 (currents). Without --channels the roles come from the channels'
phase fields, units and names (UA, V_L1, IB, I_L3, Uab, ...).

output files (in --output): windows.csv (one row per 10/12-cycle window),
halfcycles.csv (one-cycle values refreshed every half cycle), events.csv
(rapid voltage changes), harmonics.csv (every harmonic and interharmonic of
every window), iec_harmonics.csv (harmonic subgroups and groups of every
window; only with --tables naming it), summary.json, flicker.csv (10-minute Pst per voltage and 2-hour
Plt; at 1600 Hz sampling and more), aggregates_3s.csv, aggregates_10min.csv,
aggregates_2h.csv (values on the clock) and compliance.json (the EN 50160
verdict; not with --no-compliance); with --format parquet the same tables as
.parquet files (compliance.json stays JSON). docs/user-guide.md explains every column.

exit status: 0 success, 1 input or analysis error, 2 usage error.
"""


class CliError(Exception):
    """An error the user can fix; printed as one line, exit status 1."""


# --- the parser --------------------------------------------------------------

def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} must be a positive number")
    return value


def _frequency(text: str) -> float:
    value = _positive_float(text)
    if not 10.0 <= value <= 1000.0:
        raise argparse.ArgumentTypeError(
            f"{text!r} Hz is not a power-system frequency (use 50 or 60)")
    return value


def _scale_list(text: str) -> List[float]:
    parts = [p for p in text.split(",") if p.strip()]
    if not parts:
        raise argparse.ArgumentTypeError("give one factor or one per channel")
    return [_positive_float(p.strip()) for p in parts]


def _rvc_threshold(text: str) -> float:
    value = _positive_float(text)
    if value > 50:
        raise argparse.ArgumentTypeError(f"{text!r} % is not a useful threshold (0 to 50)")
    return value


def _harmonic_order(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if not 1 <= value <= 200:
        raise argparse.ArgumentTypeError(f"{text!r} must lie between 1 and 200")
    return value


def _table_list(text: str) -> List[str]:
    from .classa_cli import TABLE_NAME as CLASS_A_TABLES  # Class A hook
    from .summary import TABLE_NAMES

    known = TABLE_NAMES + (CLASS_A_TABLES,)
    names = [t.strip().lower().replace(".csv", "") for t in text.split(",") if t.strip()]
    names = ["halfcycles" if n in ("half_cycles", "half-cycles") else n for n in names]
    bad = [n for n in names if n not in known]
    if bad:
        raise argparse.ArgumentTypeError(
            f"unknown table {bad[0]!r}; choose from {', '.join(known)}")
    return names


def _backend_line() -> str:
    """One line: whether the CUDA backend can run here, and if not, the library's reason."""
    try:
        from . import _native
        usable, reason = _native.cuda_backend_status()
    except OSError as exc:  # no library: the reason is the loader's
        return f"CUDA backend: unknown ({' '.join(str(exc).split())})"
    if usable:
        return "CUDA backend: usable"
    prefix = "the CUDA backend is not available: "
    return f"CUDA backend: not usable: {reason[len(prefix):] if reason.startswith(prefix) else reason}"


class _VersionAction(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        from . import __version__
        sys.stdout.write(f"{parser.prog} {__version__}\n{_backend_line()}\n")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Power-quality analysis of sampled voltages and currents: RMS, "
                    "harmonics, THD, powers, unbalance, frequency and rapid voltage "
                    "changes, on the CPU or on an NVIDIA GPU.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action=_VersionAction, nargs=0,
                        help="show the version and whether the CUDA backend is usable, and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    an = sub.add_parser(
        "analyze", aliases=["analyse"],
        help="analyse a recording (or the built-in demo signal)",
        description="Analyse a recording (COMTRADE .cfg/.cff, CSV or WAV) or the built-in "
                    "demonstration signal, print a summary and write the result tables.",
        epilog=_EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    src = an.add_argument_group("input")
    src.add_argument("file", nargs="?", metavar="FILE",
                     help="recording: COMTRADE (.cfg, .dat, .cff), CSV (.csv, .txt, .tsv) "
                          "or WAV (.wav)")
    src.add_argument("--demo", action="store_true",
                     help="analyse the built-in demo signal instead of a file: 230 V / 50 Hz "
                          "three-phase with harmonics, 3 %% unbalance, a -8 %% step near 2 s "
                          "and 10 A currents lagging by 30 degrees")
    src.add_argument("--demo-seconds", type=_positive_float, default=6.0, metavar="S",
                     help="length of the demo signal in seconds (default: 6)")
    src.add_argument("--channels", metavar="MAP",
                     help='roles of the channels, by name or 0-based index, e.g. '
                          '"U1=VA,U2=VB,U3=VC,I1=3,I2=4,I3=5" (default: found from the '
                          "file's phases, units and names)")
    src.add_argument("--group", metavar="NAME",
                     help="a record of several bays: the three-phase group to analyse (see "
                          "'info'; default: the first)")
    src.add_argument("--all-groups", action="store_true",
                     help="a record of several bays: analyse every three-phase group, each "
                          "into a sub-folder of the output folder named after it")
    src.add_argument("--sample-rate", type=_positive_float, metavar="HZ",
                     help="sample rate in Hz, for CSV/WAV files without one (overrides the "
                          "file's)")
    src.add_argument("--scale", type=_scale_list, metavar="K[,K...]",
                     help="WAV files: what full scale (+-1) stands for, in V or A; one "
                          "factor for every channel or one per channel")
    src.add_argument("--secondary", action="store_true",
                     help="use secondary (instrument transformer output) values of a COMTRADE "
                          "file instead of primary values")

    ana = an.add_argument_group("analysis")
    ana.add_argument("--grid", choices=list(GRIDS), metavar="GRID",
                     help="connection: " + ", ".join(GRIDS) + " (default: from the channels "
                          "found; star when U1, U2, U3 are there)")
    ana.add_argument("--frequency", type=_frequency, metavar="HZ",
                     help="nominal frequency, 50 or 60 (default: from the file, else 50)")
    ana.add_argument("--nominal-voltage", type=_positive_float, metavar="V",
                     help="nominal phase-to-neutral voltage in V, also for delta grids "
                          "(230 for a 400 V system); RVC percentages refer to it and cycles "
                          "far below it count as invalid (default: learnt from the "
                          "recording; RVC percentages then refer to the steady level "
                          "before each event)")
    ana.add_argument("--rvc-threshold", type=_rvc_threshold, default=2.0, metavar="PCT",
                     help="rapid voltage change threshold in percent of the steady mean "
                          "(default: 2; the band narrows to half of it during an event)")
    ana.add_argument("--harmonics", type=_harmonic_order, default=50, metavar="N",
                     help="highest harmonic order (default: 50)")
    ana.add_argument("--no-interharmonics", action="store_true",
                     help="leave out the interharmonic groups")
    # Class A hook: aggregation and EN 50160 verdict options (classa_cli)
    from .classa_cli import add_analyze_options
    add_analyze_options(ana)
    ana.add_argument("--backend", choices=("auto", "cpu", "cuda"), default="auto",
                     help="where the library computes: auto (the GPU when one is usable, "
                          "else the CPU), cpu or cuda (default: auto)")

    out = an.add_argument_group("output")
    out.add_argument("-o", "--output", default=DEFAULT_OUTPUT, metavar="DIR",
                     help=f"folder for the result files (default: ./{DEFAULT_OUTPUT})")
    out.add_argument("--report", metavar="FILE.html",
                     help="also write a self-contained HTML report with plots")
    out.add_argument("--format", choices=("csv", "parquet"), default="csv",
                     help="file format of the tables: csv (default) or parquet (needs "
                          "pyarrow: pip install 'powergpu[batch]'; windows.parquet, ...)")
    out.add_argument("--tables", type=_table_list, default=None, metavar="LIST",
                     help="which CSV tables to write, comma-separated, from windows, "
                          "halfcycles, events, harmonics, iec_harmonics (the grouped "
                          "harmonics of every window), aggregates (the aggregates_*.csv "
                          "and compliance.json) (default: all but iec_harmonics; "
                          "summary.json is always written). harmonics and halfcycles are the "
                          "large ones: about 500 and 150 MB per hour of recording")
    out.add_argument("-q", "--quiet", action="store_true",
                     help="print nothing but errors")
    out.add_argument("--no-progress", action="store_true",
                     help="no progress bar (it is shown only on a terminal, for recordings "
                          f"of {PROGRESS_MIN_SECONDS:g} s or more)")

    info = sub.add_parser(
        "info", help="show a recording's channels and the roles found for them",
        description="Show the sample rate, length and channels of a recording, the role "
                    "(U1, I2, U12, ...) found for each channel and the grid that "
                    "'analyze' would use.")
    info.add_argument("file", metavar="FILE", help="recording (COMTRADE, CSV or WAV)")
    info.add_argument("--channels", metavar="MAP", help="explicit roles, as for analyze")
    info.add_argument("--sample-rate", type=_positive_float, metavar="HZ",
                      help="sample rate for files without one")
    info.add_argument("--secondary", action="store_true", help="secondary values")

    from .batch_cli import add_batch_parser

    add_batch_parser(sub, an)

    from .classa import add_parser as add_compliance_parser
    add_compliance_parser(sub)
    return parser


# --- roles and grid ----------------------------------------------------------

def grid_roles(grid: str) -> Tuple[Tuple[str, ...], Tuple[str, ...]]:
    """(voltage roles, current roles) that ``grid`` needs, in library order."""
    return GRIDS[grid]


def infer_grid(roles: Sequence[str]) -> Optional[str]:
    """The grid that the available roles fit best, or None without voltages."""
    have = set(roles)
    three_i = {"I1", "I2", "I3"} <= have
    two_i = {"I1", "I2"} <= have
    if {"U1", "U2", "U3"} <= have:
        return "star-two-currents" if two_i and not three_i else "star"
    if {"U12", "U23", "U31"} <= have:
        return "delta-two-currents" if two_i and not three_i else "delta"
    if {"U12", "U23"} <= have:
        return "delta-two-voltages"
    if {"U1", "U2"} <= have:
        return "two-phase"
    if "U1" in have:
        return "single"
    return None


@dataclass
class Source:
    """What the analysis reads: sample rate, length, and chunks of
    (start index, block) whose columns are the grid's voltages in library
    order, then, ``with_currents``, its currents."""

    description: str
    sample_rate: float
    n_samples: int
    grid: str
    nominal_frequency: float
    chunks: Callable[[], Iterator[Tuple[Any, Any]]]
    with_currents: bool
    channels: Dict[str, str] = field(default_factory=dict)
    notes: List[str] = field(default_factory=list)
    extra: Dict[str, Any] = field(default_factory=dict)
    close: Callable[[], None] = lambda: None

    @property
    def duration(self) -> float:
        return self.n_samples / self.sample_rate


def _demo_source(args: argparse.Namespace) -> Source:
    from .demo import demo_signal

    f0 = args.frequency or 50.0
    volts, amps, info = demo_signal(seconds=args.demo_seconds, frequency=f0)
    fs = info["sample_rate"]
    n = volts.shape[0]
    grid = args.grid or "star"
    if grid not in ("star", "star-two-currents"):
        raise CliError(f"the demo signal is a star connection; --grid {grid} does not fit it")
    n_i = len(GRIDS[grid][1])

    import numpy as np

    def chunks() -> Iterator[Tuple[int, Any]]:
        for i in range(0, n, CHUNK_SAMPLES):
            yield i, np.concatenate([volts[i:i + CHUNK_SAMPLES],
                                     amps[i:i + CHUNK_SAMPLES, :n_i]], axis=1)

    step = info.get("step")
    desc = (f"built-in demo signal ({args.demo_seconds:g} s, {f0:g} Hz, 230 V, 10 A)")
    notes = []
    if step is None:
        notes.append("the demo is too short to hold the voltage step; it has no RVC event")
    return Source(description=desc, sample_rate=fs, n_samples=n, grid=grid,
                  nominal_frequency=f0, chunks=chunks, with_currents=True,
                  channels={r: r for r in ("U1", "U2", "U3", "I1", "I2", "I3")[:3 + n_i]},
                  notes=notes,
                  extra={"input": {"demo": True, "seconds": args.demo_seconds,
                                   "truth": {k: v for k, v in info.items()
                                             if k in ("u_rms", "u_thd", "u2_ratio", "step",
                                                      "i_rms", "cos_phi1", "p",
                                                      "rvc_events")}}})


def _open(args: argparse.Namespace):
    from .io import open_recording

    scale = getattr(args, "scale", None)
    if scale is not None and Path(args.file).suffix.lower() not in (".wav", ".wave"):
        raise CliError("--scale applies to WAV files only (other formats carry their units)")
    if scale is not None and len(scale) == 1:
        scale = scale[0]
    return open_recording(args.file, sample_rate=args.sample_rate,
                          use_primary=not args.secondary, scale=scale)


def _group_roles(recording: Any, args: argparse.Namespace,
                 notes: List[str]) -> Optional[Dict[str, int]]:
    """Roles of the chosen three-phase group of a record of several bays
    (None: the record is one circuit, or --channels names the roles)."""
    from .io.groups import find_groups

    wanted = getattr(args, "group", None)
    if getattr(args, "channels", None):
        if wanted:
            raise CliError("--group and --channels exclude each other: --channels names the "
                           "channels itself")
        return None
    groups = find_groups(recording)
    if not groups:
        if wanted:
            raise CliError(f"{recording.path}: --group {wanted}: the record holds one circuit, "
                           "no groups to choose from")
        return None
    names = [g.name for g in groups]
    if wanted:
        match = [g for g in groups if g.name == wanted] or \
            [g for g in groups if g.name.casefold() == wanted.casefold()]
        if not match:
            raise CliError(f"{recording.path}: no group named {wanted!r}; groups are: "
                           f"{', '.join(names)}")
        chosen = match[0]
    else:
        chosen = groups[0]
    others = [g.label for g in groups if g is not chosen]
    notes.append(f"the record holds {len(groups)} three-phase groups; analysing "
                 f"{chosen.label}, ignoring {', '.join(others)} (choose with --group NAME, or "
                 "--all-groups)")
    notes.append(f"group: {chosen.label}")
    return dict(chosen.roles)


def _roles(recording: Any, mapping_text: Optional[str]) -> Dict[str, int]:
    from .io import map_channels, parse_channel_mapping

    mapping = parse_channel_mapping(mapping_text) if mapping_text else None
    if mapping is not None and not mapping:
        raise CliError("--channels is empty; give ROLE=CHANNEL pairs such as U1=VA,I1=3")
    return map_channels(recording, mapping)


def _file_source(args: argparse.Namespace) -> Source:
    from .io import RecordingError

    rec = _open(args)
    try:
        notes: List[str] = []
        roles = _group_roles(rec, args, notes)
        if roles is None:
            roles = _roles(rec, args.channels)
        grid = args.grid or infer_grid(list(roles))
        if grid is None:
            names = ", ".join(f"{c.index}:{c.name}" for c in rec.channels) or "(none)"
            raise RecordingError(
                "no voltage channel recognised; name the roles with --channels, e.g. "
                f'--channels "U1=<name or index>,..." (channels: {names})', path=rec.path)
        v_roles, i_roles = GRIDS[grid]
        missing_v = [r for r in v_roles if r not in roles]
        if missing_v:
            raise RecordingError(
                f"grid {grid} needs {', '.join(v_roles)}; {', '.join(missing_v)} not found "
                "(map them with --channels or choose another --grid)", path=rec.path)
        present_i = [r for r in i_roles if r in roles]
        with_currents = len(present_i) == len(i_roles)
        if not with_currents:
            if present_i:
                raise RecordingError(
                    f"grid {grid} needs the currents {', '.join(i_roles)}; only "
                    f"{', '.join(present_i)} found (map them with --channels, or choose a grid "
                    "with two currents)", path=rec.path)
            notes.append("no current channels found: voltage quantities only")
        cols = [roles[r] for r in v_roles] + ([roles[r] for r in i_roles] if with_currents else [])
        if rec.n_samples == 0:
            raise RecordingError("the recording holds no samples (empty data, or a sample count "
                                 "of 0 in its header): nothing to analyse", path=rec.path)
        notes += rec.notes + _duplicate_notes(rec, cols)
        f_nom = args.frequency
        if f_nom is None:
            f_file = rec.nominal_frequency
            if f_file is not None and 40.0 <= float(f_file) <= 70.0:
                f_nom = float(f_file)
            else:
                f_nom = 50.0
                if f_file:
                    notes.append(f"the file's line frequency {f_file:g} Hz is not 50 or 60; "
                                 "using 50 Hz (set --frequency)")

        def chunks() -> Iterator[Tuple[int, Any]]:
            return rec.chunks(CHUNK_SAMPLES, channels=cols)

        used = {r: rec.channels[roles[r]].name for r in v_roles}
        if with_currents:
            used.update({r: rec.channels[roles[r]].name for r in i_roles})
        group = [n[len("group: "):] for n in notes if n.startswith("group: ")]
        notes = [n for n in notes if not n.startswith("group: ")]
        where = f"{rec.path} [{group[0]}]" if group else rec.path
        desc = f"{where} ({rec.n_samples} samples at {rec.sample_rate:g} Hz)"
        return Source(description=desc, sample_rate=rec.sample_rate, n_samples=rec.n_samples,
                      grid=grid, nominal_frequency=f_nom, chunks=chunks,
                      with_currents=with_currents, channels=used, notes=notes,
                      extra={"input": {"file": os.path.abspath(rec.path),
                                       "values": "secondary" if args.secondary else "primary",
                                       "group": group[0] if group else None,
                                       "start_time": rec.start_time.isoformat()
                                       if rec.start_time else None}},
                      close=rec.close)
    except BaseException:
        rec.close()
        raise


def _duplicate_notes(rec: Any, cols: Sequence[int]) -> List[str]:
    """Notes on analysed channels whose name another channel shares."""
    from .io.channel_map import duplicate_names

    notes = []
    for name, indices in duplicate_names(rec).items():
        used = [i for i in indices if i in cols]
        if used:
            notes.append(f"channels {', '.join(map(str, indices))} are all named {name!r}; "
                         f"channel {used[0]} is analysed (choose with --channels by index)")
    return notes


# --- running the analysis -----------------------------------------------------

def _progress_bar(source: Source, args: argparse.Namespace):
    """A tqdm bar counting recording seconds, or None."""
    if args.quiet or args.no_progress or source.duration < PROGRESS_MIN_SECONDS:
        return None
    stream = sys.stderr
    if not (hasattr(stream, "isatty") and stream.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=round(source.duration, 1), unit="s", desc="analysing", file=stream,
                bar_format="{desc} {percentage:3.0f}%|{bar}| {n:.0f}/{total:.0f} s of "
                           "recording [{elapsed}<{remaining}, {rate_fmt}]",
                leave=False, dynamic_ncols=True)


def _status_line(source: Source, args: argparse.Namespace) -> Callable[[str], None]:
    """A function that shows one transient status line on a terminal (where
    the progress bar was) while the tables and the report are written; a
    no-op elsewhere.  An empty text clears the line."""
    stream = sys.stderr
    show = (not args.quiet and not args.no_progress and source.duration >= PROGRESS_MIN_SECONDS
            and hasattr(stream, "isatty") and stream.isatty())

    def status(text: str) -> None:
        if show:
            stream.write(f"\r{text}\x1b[K")
            stream.flush()

    return status


def _counted(chunks: Iterator[Tuple[int, Any]], bar, fs: float) -> Iterator[Tuple[int, Any]]:
    for start, block in chunks:
        yield start, block
        if bar is not None:
            bar.update(len(block) / fs)


def _engine():
    """The analysis entry point (a seam for tests)."""
    from .analysis import analyze_stream

    return analyze_stream


def run_analysis(source: Source, args: argparse.Namespace, *, sink: Any = None,
                 keep: Any = None) -> Any:
    """Runs the analysis of ``source``; ``sink`` and ``keep`` are handed to
    ``analyze_stream`` when given (streaming: see there)."""
    from .classa_cli import class_a_arguments

    analyze_stream = _engine()
    bar = _progress_bar(source, args)
    streaming = {}
    if sink is not None:
        streaming["sink"] = sink
    if keep is not None:
        streaming["keep"] = keep
    try:
        return analyze_stream(
            _counted(source.chunks(), bar, source.sample_rate),
            sample_rate=source.sample_rate,
            grid=source.grid,
            nominal_frequency=source.nominal_frequency,
            nominal_voltage=args.nominal_voltage,
            backend=args.backend,
            harmonics=args.harmonics,
            interharmonics=not args.no_interharmonics,
            rvc_threshold=args.rvc_threshold,
            with_currents=source.with_currents,
            **class_a_arguments(source, args),  # Class A hook (classa_cli)
            **streaming,
        )
    finally:
        if bar is not None:
            bar.close()


class _TimedSink:
    """Forwards the batches to the table writer and adds up the time spent
    writing, so that the analysis time can be told apart."""

    def __init__(self, writer: Any) -> None:
        self.seconds = 0.0
        for name in ("on_windows", "on_harmonics", "on_iec_harmonics", "on_half_cycles", "on_events"):
            target = getattr(writer, name, None)
            if callable(target):
                setattr(self, name, self._timed(target))

    def _timed(self, target: Callable[[Any], None]) -> Callable[[Any], None]:
        def call(df: Any) -> None:
            t0 = time.perf_counter()
            try:
                target(df)
            finally:
                self.seconds += time.perf_counter() - t0
        return call


def _prepare_outputs(args: argparse.Namespace) -> Tuple[Path, Optional[Path]]:
    """Create the output folder (and the report's) before the analysis, so
    that a typo costs seconds, not the whole run."""
    out = Path(args.output)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create the output folder {out}: {exc.strerror or exc}") from None
    if not os.access(out, os.W_OK):
        raise CliError(f"the output folder {out} is not writable")
    report = None
    if args.report:
        import importlib.util

        if importlib.util.find_spec("matplotlib") is None:  # the report draws with it
            raise CliError("--report needs matplotlib: pip install matplotlib")
        report = Path(args.report)
        if report.exists() and report.is_dir():
            raise CliError(f"--report {report} is a folder; give a file name such as "
                           f"{report / 'report.html'}")
        if os.path.lexists(report) and not stat.S_ISREG(os.lstat(report).st_mode):
            # a link, a device or a pipe: replacing it would not write where it points
            raise CliError(f"--report {report} exists and is not a regular file; "
                           "give the name of a new or a regular file")
        try:
            report.parent.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise CliError(f"cannot create the folder of {report}: "
                           f"{exc.strerror or exc}") from None
    return out, report


def _cmd_analyze_groups(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """--all-groups: each three-phase group of the record into its own
    sub-folder (and its report there, under the name given)."""
    from .io.groups import find_groups

    if args.demo or args.channels or args.group:
        parser.error("--all-groups analyses the groups of a FILE; it takes neither --demo, "
                     "--channels nor --group")
    rec = _open(args)
    try:
        groups = find_groups(rec)
    finally:
        rec.close()
    if not groups:
        raise CliError(f"{args.file}: --all-groups: the record holds one circuit, no groups")
    status = 0
    used: Dict[str, int] = {}
    for g in groups:
        folder = re.sub(r"[^A-Za-z0-9._+-]+", "_", g.name).strip("._") or "group"
        used[folder] = used.get(folder, 0) + 1
        if used[folder] > 1:
            folder += f"_{used[folder]}"
        one = argparse.Namespace(**vars(args))
        one.all_groups, one.group = False, g.name
        one.output = str(Path(args.output) / folder)
        if args.report:
            one.report = str(Path(args.output) / folder / Path(args.report).name)
        status = max(status, _cmd_analyze(one, parser))
    return status


def _cmd_analyze(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if getattr(args, "all_groups", False):
        return _cmd_analyze_groups(args, parser)
    if args.demo and args.file:
        parser.error("give either FILE or --demo, not both")
    if not args.demo and not args.file:
        parser.error("give a recording FILE to analyse, or --demo for the built-in signal")
    if args.demo and (args.channels or args.secondary or args.sample_rate or args.scale):
        parser.error("--channels, --secondary, --sample-rate and --scale apply to files, "
                     "not to --demo")
    outdir, report = _prepare_outputs(args)
    from . import summary
    from .classa_cli import class_a_writes_tables, split_tables, write_class_a_outputs

    split_tables(args)  # Class A hook: "aggregates" in --tables is not a table writer's
    from .flicker import write_flicker_csv

    source = _demo_source(args) if args.demo else _file_source(args)
    writer = None
    try:
        if not args.quiet:
            for note in source.notes:
                print(f"{PROG}: note: {note}", file=sys.stderr)
        _engine()  # imported before the clock starts
        # The tables go to their files batch by batch while the analysis
        # runs; the result keeps only the summary, the events and the trends.
        if args.format == "parquet":
            from .parquet_sink import ParquetTableWriter

            # the aggregates and the flicker table as Parquet too; the
            # verdict stays compliance.json
            writer = ParquetTableWriter.in_folder(outdir, args.tables,
                                                  aggregates=class_a_writes_tables(args))
        else:
            writer = summary.TableWriter(outdir, args.tables)
        sink = _TimedSink(writer)
        started = time.perf_counter()
        try:
            result = run_analysis(source, args, sink=sink, keep=())
        except (ValueError, MemoryError) as exc:
            raise _named(exc, args) from None
        total = time.perf_counter() - started
    except BaseException:
        if writer is not None:
            writer.abort()
        raise
    finally:
        source.close()

    elapsed = max(total - sink.seconds, 0.0)
    extra = dict(source.extra)
    extra["channels"] = source.channels
    extra["analysis_seconds"] = elapsed
    status = _status_line(source, args)
    status(f"writing the tables to {outdir} ...")
    t0 = time.perf_counter()
    paths = writer.close(result, extra=extra)
    if args.format != "parquet":
        paths = list(paths) + write_flicker_csv(result.flicker, outdir)
    paths += write_class_a_outputs(result, outdir, tables=args.format != "parquet")  # Class A hook
    tables_seconds = sink.seconds + time.perf_counter() - t0
    if report is not None:
        from .report import write_report

        status(f"drawing the report {report} ...")
        title = "powergpu demo report" if args.demo else f"powergpu report: {Path(args.file).name}"
        write_report(result, report, title=title, source=source.description)
    status("")
    if not args.quiet:
        names = [p.name for p in paths]
        text = summary.console_summary(
            result, source=source.description,
            written=[f"{outdir}{os.sep}{{{','.join(names)}}}" if len(names) > 1 else str(paths[0])],
            report=str(report) if report else None)
        rtf = source.duration / elapsed if elapsed > 0 else float("inf")
        text += (f"  analysed in {elapsed:.2f} s "
                 f"({rtf:.{0 if rtf >= 10 else 1}f} x real time), "
                 f"tables written in {tables_seconds:.2f} s\n")
        sys.stdout.write(text)
        sys.stdout.flush()
    return 0


def _named(exc: BaseException, args: argparse.Namespace) -> BaseException:
    """The analysis's rejection of a file's values, as one line that
    names the file; out of memory in words rather than numpy's."""
    if isinstance(exc, _expected_errors()) and not isinstance(exc, ValueError):
        return exc
    where = "the demo signal" if args.demo else str(args.file)
    if isinstance(exc, MemoryError):
        return CliError(f"{where}: not enough memory to analyse it; check the sample rate and "
                        "the sample count in its header")
    text = _one_line(exc)
    if getattr(exc, "path", None):
        return exc
    return CliError(f"{where}: {text}")


def _group_lines(rec: Any) -> List[str]:
    """The three-phase groups of a record of several bays, one line each."""
    from .io.groups import find_groups

    groups = find_groups(rec)
    if not groups:
        return []
    lines = ["", f"  {len(groups)} three-phase groups (analyze takes the first; choose with "
                 "--group NAME, or --all-groups):"]
    for g in groups:
        grid = infer_grid(list(g.roles))
        roles = ", ".join(f"{r}={rec.channels[i].name}" for r, i in g.roles.items())
        lines.append(f"    {g.label}: {roles}" + (f"  (grid {grid})" if grid else ""))
    return lines


def _cmd_info(args: argparse.Namespace) -> int:
    rec = _open(args)
    try:
        roles = _roles(rec, args.channels)
        by_index = {i: r for r, i in roles.items()}
        lines = [f"{rec.path}",
                 f"  {rec.n_samples} samples at {rec.sample_rate:g} Hz "
                 f"({rec.duration:.3f} s)"]
        if rec.nominal_frequency:
            lines.append(f"  line frequency {rec.nominal_frequency:g} Hz")
        rows = [["#", "name", "unit", "phase", "kind", "role"]]
        for c in rec.channels:
            rows.append([str(c.index), c.name, c.unit or "-", c.phase or "-", c.kind,
                         by_index.get(c.index, "-")])
        widths = [max(len(r[j]) for r in rows) for j in range(len(rows[0]))]
        lines.append("")
        for r in rows:
            lines.append("  " + "  ".join(v.ljust(widths[j]) for j, v in enumerate(r)).rstrip())
        grid = infer_grid(list(roles))
        lines.append("")
        if grid is None:
            lines.append("  grid: none (no voltage roles found; use --channels)")
        else:
            v, i = GRIDS[grid]
            with_i = all(r in roles for r in i)
            lines.append(f"  grid: {grid}, {'with' if with_i else 'without'} currents")
        lines.append(f"  {_backend_line()}")
        lines += _group_lines(rec) if not args.channels else []
        sys.stdout.write("\n".join(lines) + "\n")
    finally:
        rec.close()
    return 0


# --- errors and the entry point -------------------------------------------------

def _expected_errors() -> Tuple[type, ...]:
    """Exception classes that are the user's input or environment, not a bug."""
    kinds: List[type] = [CliError, OSError]
    try:
        from .io import RecordingError
        kinds.append(RecordingError)
    except ImportError:  # pragma: no cover - the io package is part of the package
        pass
    try:
        from .errors import PowerError
        kinds.append(PowerError)
    except ImportError:  # pragma: no cover
        pass
    return tuple(kinds)


def _one_line(exc: BaseException) -> str:
    try:
        from .errors import BackendUnavailableError
    except ImportError:  # pragma: no cover
        BackendUnavailableError = ()  # type: ignore[assignment]
    if isinstance(exc, BackendUnavailableError):
        detail = " ".join(str(getattr(exc, "message", "") or exc).split())
        return f"{detail}; use --backend auto or --backend cpu"
    if isinstance(exc, FileNotFoundError) and exc.filename:
        return f"{exc.filename}: file not found"
    if isinstance(exc, OSError) and exc.filename:
        return f"{exc.filename}: {exc.strerror or exc}"
    text = str(exc).strip() or type(exc).__name__
    return " ".join(text.split())


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    debug = os.environ.get("POWERGPU_DEBUG", "") not in ("", "0")
    reuse_freed_memory()  # the command line's own process: no page faults per block
    previous = _on_sigterm()
    try:
        if args.command in ("analyze", "analyse"):
            return _cmd_analyze(args, parser)
        if args.command == "batch":
            from .batch_cli import run_batch

            return run_batch(args)

        if args.command == "compliance":
            from .classa import run as run_compliance
            return run_compliance(args)
        return _cmd_info(args)
    except Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Output piped into a program that stopped reading (head, less).
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 0
    except _expected_errors() as exc:
        if debug:
            raise
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except (ValueError, TypeError, ImportError, MemoryError) as exc:
        # ValueError: a setting the analysis rejects (e.g. a sample rate too low
        # for the harmonics asked for); ImportError: a missing optional package.
        if debug:
            raise
        print(f"{PROG}: error: {_one_line(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:  # a bug: say so, without a wall of traceback
        if debug:
            raise
        print(f"{PROG}: internal error: {type(exc).__name__}: {_one_line(exc)} "
              "(run again with POWERGPU_DEBUG=1 for the traceback, and please report it)",
              file=sys.stderr)
        return 1
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


class Terminated(KeyboardInterrupt):
    """SIGTERM arrived: unwinds like Ctrl+C, so that unfinished output
    files are removed on the way out."""


def _on_sigterm() -> Any:
    """Makes SIGTERM raise ``Terminated``; returns the previous handler
    (None where no handler can be set: not the main thread)."""
    def handler(signum: int, frame: Any) -> None:
        raise Terminated()

    try:
        return signal.signal(signal.SIGTERM, handler)
    except ValueError:
        return None


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
