"""A self-contained HTML report of one analysis.

``write_report(result, path)`` renders the figures with matplotlib (no
display needed: the Agg canvas is used directly, never pyplot), embeds each
one as a base64 PNG ``<img>`` with a descriptive ``alt`` text, and writes a
single HTML file with inline CSS and no scripts, fonts or links to anything
outside it: it can be mailed, archived or opened offline.

Figures (each is left out, with a note in the page, when the result lacks
the data it needs):

* ``rms-trend``: RMS per phase over the calculation windows (voltages, and
  currents when measured);
* ``frequency``: frequency per window, and the voltage unbalance ratios for
  three-phase grids;
* ``thd-trend``: THD per phase over the windows;
* ``spectrum``: harmonic (and interharmonic) bars of the window with the
  highest voltage THD, in percent of the fundamental;
* ``phasors``: phasor diagram of the fundamentals of voltages and currents;
* ``half-cycle-rvc``: one-cycle RMS refreshed every half cycle, with the
  events shaded: rapid voltage changes, dips, swells and interruptions,
  each kind in its colour.

Every figure is drawn from the result's ``trends`` (what the analysis kept
while it ran, whether or not it kept the tables): min/max envelopes of at
most a few thousand points per line, so the report takes the same time and
size for a minute as for a day and short dips stay visible, the spectrum
of the worst window and the mean phasors.  A result without trends (one
built by hand) gets them from its tables, by the same pieces
(``trends.trends_of_tables``).
"""
from __future__ import annotations

import base64
import html
import io
import math
import os
from datetime import datetime, timezone
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from . import summary as _summary
from .table_access import phase_numbers, present_table
from .trends import Envelope, Trends, trends_of_tables

__all__ = ["write_report", "render_figures", "FIGURES", "PHASE_COLOURS"]

#: (id, title) of every figure the report can hold, in page order.
FIGURES: Tuple[Tuple[str, str], ...] = (
    ("rms-trend", "RMS trend per phase"),
    ("frequency", "Frequency and unbalance"),
    ("thd-trend", "THD trend per phase"),
    ("spectrum", "Harmonic spectrum of the worst window"),
    ("phasors", "Phasor diagram of the fundamentals"),
    ("half-cycle-rvc", "Half-cycle RMS and voltage events"),
    ("flicker", "Flicker: Pinst and Pst"),  # Class A hook (report_classa)
)

#: Colour per phase (colour-blind safe): L1, L2, L3.
PHASE_COLOURS = ("#D55E00", "#0072B2", "#009E73")
_EVENT_COLOUR = "#E69F00"
#: Shades of the event types on the half-cycle plot (RVC: _EVENT_COLOUR).
_EVENT_COLOURS = {"rvc": _EVENT_COLOUR, "dip": "#0072B2", "swell": "#CC79A7",
                  "interruption": "#000000"}
_EVENT_LABELS = {"rvc": "RVC event", "dip": "dip", "swell": "swell",
                 "interruption": "interruption"}
_MAX_POINTS = 3000  # per line, after min/max decimation
_DPI = 110
_WIDTH_IN = 10.0


# --- helpers ---------------------------------------------------------------

def _trends(result: Any) -> Trends:
    """The result's trends, or those of its tables when it has none."""
    trends = getattr(result, "trends", None)
    if trends is not None:
        return trends
    return trends_of_tables(present_table(result, "windows"),
                            present_table(result, "half_cycles"),
                            present_table(result, "harmonics"))


def _envelope(x: np.ndarray, y: np.ndarray, max_points: int = _MAX_POINTS
              ) -> Tuple[np.ndarray, np.ndarray]:
    """At most ``max_points`` points of one series that keep the minimum and
    the maximum of every bucket of rows, in x order, so that narrow dips
    survive (the decimation of every line of the figures)."""
    env = Envelope(["y"], buckets=max(2, max_points // 4 * 2))  # an even count
    env.add(x, {"y": y})
    return env.points("y")


class _Series:
    """The series of one table for the figures: the envelope the trends
    hold (``name``: "windows" or "half_cycles")."""

    def __init__(self, trends: Trends, name: str) -> None:
        env = getattr(trends, name, None)
        self.env = env if env is not None and env.rows else None
        self.columns = list(self.env.names) if self.env is not None else []

    def __bool__(self) -> bool:
        return self.env is not None

    def line(self, name: str) -> Tuple[np.ndarray, np.ndarray]:
        """(x, y) to draw: t_end and the column, at most _MAX_POINTS points."""
        return self.env.points(name)

    def values(self, name: str) -> Optional[np.ndarray]:
        """Values of the column holding its minimum and maximum (for limits)."""
        if name not in self.columns:
            return None
        return self.env.values(name)

    def t_range(self) -> Tuple[float, float]:
        return float(self.env.x_first), float(self.env.x_last)

    def where_zero(self, name: str) -> np.ndarray:
        """t_end of the buckets holding a 0 in the column."""
        if name not in self.columns:
            return np.zeros(0)
        x, y = self.env.points(name)
        return x[y == 0]


def _time_scale(t_max: float) -> Tuple[float, str]:
    """Divisor and axis label for a time axis that ends at ``t_max`` seconds."""
    if t_max > 3 * 3600:
        return 3600.0, "time [h]"
    if t_max > 600:
        return 60.0, "time [min]"
    return 1.0, "time [s]"


def _figure(rows: int = 1, height: float = 3.2, polar: bool = False):
    from matplotlib.figure import Figure

    fig = Figure(figsize=(_WIDTH_IN, height * rows), dpi=_DPI, layout="constrained")
    if polar:
        return fig, [fig.add_subplot(1, 1, 1, projection="polar")]
    axes = [fig.add_subplot(rows, 1, r + 1) for r in range(rows)]
    for r in range(1, rows):
        axes[r].sharex(axes[0])
    return fig, axes


def _style(ax, ylabel: str, xlabel: Optional[str] = None) -> None:
    ax.set_ylabel(ylabel)
    if xlabel:
        ax.set_xlabel(xlabel)
    ax.grid(True, color="#dddddd", linewidth=0.6)
    ax.spines["top"].set_visible(False)
    ax.spines["right"].set_visible(False)
    try:
        ax.ticklabel_format(axis="y", useOffset=False, style="plain")
    except AttributeError:  # not a scalar axis
        pass


def _legend(ax) -> None:
    """Legend outside the plot, on the right, so that it never hides data."""
    handles, labels = ax.get_legend_handles_labels()
    if handles:
        ax.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.005, 1.0), fontsize=8,
                  frameon=False, borderaxespad=0.0)


def _min_span(ax, values: Sequence[np.ndarray], relative: float = 0.01,
              floor: Optional[float] = None) -> None:
    """Widen the y range to at least ``relative`` of the mean level, so that
    a steady quantity is drawn as a flat line rather than magnified noise."""
    data = np.concatenate([np.asarray(v, dtype=float).ravel() for v in values if v is not None])
    data = data[np.isfinite(data)]
    if data.size == 0:
        return
    lo, hi = float(data.min()), float(data.max())
    level = max(abs(lo), abs(hi))
    span = max(relative * level, 1e-9)
    if hi - lo >= span:
        if floor is not None:
            ax.set_ylim(bottom=floor)
        return
    mid = 0.5 * (lo + hi)
    bottom = mid - span / 2
    if floor is not None:
        bottom = max(bottom, floor)
    ax.set_ylim(bottom, bottom + span)


def _png(fig) -> bytes:
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    FigureCanvasAgg(fig)
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=_DPI, facecolor="white")
    return buf.getvalue()


def _plot_lines(ax, series: _Series, prefix: str, suffix: str, label_fmt: str,
                scale: float, linestyle: str = "-") -> int:
    drawn = 0
    for k in phase_numbers(series, prefix, suffix):
        x, yy = series.line(f"{prefix}{k}{suffix}")
        ax.plot(x / scale, yy, color=PHASE_COLOURS[k - 1], linewidth=1.5,
                linestyle=linestyle, label=label_fmt.format(k=k))
        drawn += 1
    return drawn


# --- the figures -------------------------------------------------------------

def _voltage_current_panels(result: Any, w: _Series, suffix: str, ylabels: Sequence[str],
                            limits: Any, title: str, shade_events: bool = False):
    """A panel of the voltages' ``suffix`` series and, when measured, one of
    the currents', sharing the time axis; ``limits(ax, values)`` sets the y
    range from the values of the panel's lines."""
    scale, xlabel = _time_scale(w.t_range()[1])
    has_i = bool(phase_numbers(w, "i", suffix))
    fig, axes = _figure(2 if has_i else 1, 2.6 if has_i else 3.2)
    if shade_events:
        t_first, t_last = w.t_range()
        _shade_events(axes[0], present_table(result, "events"), t_first, t_last, scale)
    for ax, prefix, ylabel in zip(axes, ("u", "i"), ylabels):
        _plot_lines(ax, w, prefix, suffix, prefix.upper() + "{k}", scale)
        _style(ax, ylabel, xlabel if ax is axes[-1] else None)
        limits(ax, [w.values(f"{prefix}{k}{suffix}") for k in phase_numbers(w, prefix, suffix)])
        _legend(ax)
    axes[0].set_title(title, loc="left", fontsize=10)
    return fig


def _fig_rms(result: Any, trends: Trends):
    w = _Series(trends, "windows")
    if not w or not phase_numbers(w, "u", "_rms"):
        return None, "no calculation windows"
    return _voltage_current_panels(result, w, "_rms", ("voltage RMS [V]", "current RMS [A]"),
                                   _min_span, "RMS per calculation window",
                                   shade_events=True), None


def _fig_frequency(result: Any, trends: Trends):
    w = _Series(trends, "windows")
    f = w.values("frequency")
    if f is None:
        return None, "no frequency values"
    scale, xlabel = _time_scale(w.t_range()[1])
    u2 = w.values("u2_ratio")
    fig, axes = _figure(2 if u2 is not None else 1, 2.4 if u2 is not None else 3.0)
    x, y = w.line("frequency")
    axes[0].plot(x / scale, y, color="#333333", linewidth=1.1, label="f")
    _style(axes[0], "frequency [Hz]", None if u2 is not None else xlabel)
    _min_span(axes[0], [f], relative=0.002)
    _legend(axes[0])
    axes[0].set_title("Fundamental frequency per window", loc="left", fontsize=10)
    if u2 is not None:
        x, y = w.line("u2_ratio")
        axes[1].plot(x / scale, y, color="#CC79A7", linewidth=1.1, label="u2")
        u0 = w.values("u0_ratio")
        if u0 is not None:
            x, y = w.line("u0_ratio")
            axes[1].plot(x / scale, y, color="#56B4E9", linewidth=1.1, label="u0")
        _style(axes[1], "unbalance [%]", xlabel)
        top = np.nanmax(np.concatenate([u2, u0 if u0 is not None else u2]))
        axes[1].set_ylim(0, max(1.0, float(top) * 1.25) if np.isfinite(top) else 1.0)
        _legend(axes[1])
    return fig, None


def _fig_thd(result: Any, trends: Trends):
    w = _Series(trends, "windows")
    if not w or not phase_numbers(w, "u", "_thd"):
        return None, "no THD values"
    return _voltage_current_panels(
        result, w, "_thd", ("voltage THD [%]", "current THD [%]"), _thd_limits,
        "Total harmonic distortion per window (relative to the fundamental)"), None


def _thd_limits(ax, values: Sequence[np.ndarray]) -> None:
    data = np.concatenate([np.asarray(v, dtype=float) for v in values if v is not None])
    data = data[np.isfinite(data)]
    top = float(data.max()) if data.size else 1.0
    ax.set_ylim(0, max(top * 1.2, 0.5))


def worst_window(result: Any) -> Optional[int]:
    """Index (row position in ``windows``) of the window with the highest
    voltage THD over all phases among those not flagged, or None."""
    worst = _trends(result).worst
    return None if worst is None else int(worst["window"])


_SPECTRUM_VISIBLE_PCT = 0.1


def _worst_spectrum(trends: Trends):
    """(harmonic rows, t_end, highest voltage THD) of the window with the
    highest voltage THD; or (None, None, None, why not)."""
    worst = trends.worst
    if worst is None or worst["harmonics"] is None:
        return None, None, None, "no harmonic values"
    sel = worst["harmonics"]
    if len(sel) == 0:
        return None, None, None, "no harmonic values for the worst window"
    return sel, float(worst["t_end"]), max(worst["thd"].values()), None


def _fig_spectrum(result: Any, trends: Trends):
    sel, t_end, thd_max, note = _worst_spectrum(trends)
    if sel is None:
        return None, note
    groups = [("U", "voltage"), ("I", "current")]
    present = [(p, name) for p, name in groups
               if any(str(c) in (f"{p}1", f"{p}2", f"{p}3")
                      for c in sel["channel"].astype(str).unique())]
    if not present:
        return None, "no phase channels in the harmonic table"
    # Bars per panel: (channel, orders, percent, interharmonic?) in % of H1.
    panels = []
    highest_visible = 0
    highest_order = 0
    for prefix, name in present:
        bars = []
        for ch in (f"{prefix}1", f"{prefix}2", f"{prefix}3"):
            c = sel[sel["channel"].astype(str).to_numpy() == ch]
            if len(c) == 0:
                continue
            h1 = c.loc[c["order"] == 1, "magnitude"]
            if len(h1) == 0 or not float(h1.iloc[0]) > 0:
                continue
            base = float(h1.iloc[0])
            hh = c[c["order"] >= 2]
            ho = hh["order"].to_numpy(dtype=float)
            hp = 100.0 * hh["magnitude"].to_numpy(dtype=float) / base
            # The interharmonic value of order h is the group between h and h+1.
            if "interharmonic" in c.columns:
                ih = c[c["order"] >= 1]
                io_ = ih["order"].to_numpy(dtype=float) + 0.5
                ip = 100.0 * ih["interharmonic"].to_numpy(dtype=float) / base
                ok = np.isfinite(ip)
                io_, ip = io_[ok], ip[ok]
            else:
                io_ = ip = np.zeros(0)
            bars.append((ch, ho, hp, io_, ip))
            for orders, pct in ((ho, hp), (io_, ip)):
                if len(orders):
                    highest_order = max(highest_order, int(np.ceil(orders.max())))
                    big = orders[np.nan_to_num(pct) >= _SPECTRUM_VISIBLE_PCT]
                    if len(big):
                        highest_visible = max(highest_visible, int(np.ceil(big.max())))
        panels.append((name, bars))
    x_max = min(max(highest_visible + 3, 13), max(highest_order, 2) + 1)
    fig, axes = _figure(len(panels), 2.8)
    for ax, (name, bars) in zip(axes, panels):
        width = 0.8 / max(len(bars), 1)
        top = 0.0
        for j, (ch, ho, hp, io_, ip) in enumerate(bars):
            k = int(ch[1]) - 1
            off = (j - (len(bars) - 1) / 2) * width
            keep = ho <= x_max
            ax.bar(ho[keep] + off, hp[keep], width=width, color=PHASE_COLOURS[k], label=ch)
            ikeep = io_ <= x_max
            if ikeep.any():
                ax.bar(io_[ikeep] + off, ip[ikeep], width=width, color=PHASE_COLOURS[k],
                       alpha=0.4, hatch="////", edgecolor="white", linewidth=0,
                       label="interharmonics" if j == 0 else None)
            for pct in (hp[keep], ip[ikeep]):
                if len(pct) and np.isfinite(pct).any():
                    top = max(top, float(np.nanmax(pct)))
        _style(ax, f"{name} [% of H1]")
        ax.set_xlim(1.4, x_max + 0.6)
        ax.set_xticks(range(2, x_max + 1))
        ax.set_ylim(0, top * 1.15 if top > 0 else 1.0)
        _legend(ax)
    hidden = "" if x_max >= highest_order else \
        f"; orders above {x_max} are all below {_SPECTRUM_VISIBLE_PCT:g} %"
    axes[-1].set_xlabel("harmonic order (hatched: interharmonic group between two orders"
                        f"{hidden})")
    axes[0].set_title(f"Window ending at {t_end:.3f} s (highest voltage THD: {thd_max:.2f} %)",
                      loc="left", fontsize=10)
    return fig, None


def fundamental_phasors(result: Any) -> Dict[str, Tuple[float, float]]:
    """{channel: (rms magnitude, angle in degrees)} of the fundamental of
    every phase voltage and current, averaged as complex numbers over the
    windows that are not flagged (the angles are relative to the
    fundamental of U1, so they stay put while the frequency drifts).

    Angles are counter-clockwise positive: U2 of a positive-sequence system
    lies near -120 degrees, a lagging current at a negative angle from its
    voltage.
    """
    return dict(_trends(result).phasors)


def _fig_phasors(result: Any, trends: Trends):
    from matplotlib.figure import Figure

    ph = dict(trends.phasors)
    volts = {k: v for k, v in ph.items() if k.startswith("U")}
    if not volts:
        return None, "no fundamental phasors"
    amps = {k: v for k, v in ph.items() if k.startswith("I")}
    fig = Figure(figsize=(_WIDTH_IN, 4.4), dpi=_DPI, layout="constrained")
    grid = fig.add_gridspec(1, 2, width_ratios=[1.15, 1.0])
    ax = fig.add_subplot(grid[0, 0], projection="polar")
    tx = fig.add_subplot(grid[0, 1])
    tx.axis("off")
    umax = max(m for m, _ in volts.values()) or 1.0
    imax = max((m for m, _ in amps.values()), default=0.0) or 1.0
    for ch, (m, a) in volts.items():
        k = int(ch[1]) - 1
        r = m / umax
        ax.annotate("", xy=(math.radians(a), r), xytext=(0, 0),
                    arrowprops=dict(arrowstyle="-|>", color=PHASE_COLOURS[k], lw=2.2))
        ax.text(math.radians(a), r * 1.1, ch, color=PHASE_COLOURS[k], fontsize=10,
                fontweight="bold", ha="center", va="center")
    for ch, (m, a) in amps.items():
        k = int(ch[1]) - 1
        r = 0.6 * m / imax
        ax.annotate("", xy=(math.radians(a), r), xytext=(0, 0),
                    arrowprops=dict(arrowstyle="-|>", color=PHASE_COLOURS[k], lw=1.6,
                                    linestyle="--"))
        ax.text(math.radians(a), r + 0.1, ch, color=PHASE_COLOURS[k], fontsize=9,
                ha="center", va="center")
    ax.set_ylim(0, 1.2)
    ax.set_yticklabels([])
    ax.set_thetagrids(range(0, 360, 30))
    ax.grid(True, color="#dddddd")

    rows = [("", "magnitude", "angle", "")]
    for ch, (m, a) in volts.items():
        rows.append((ch, f"{m:.2f} V", f"{a:+.1f}°", ""))
    for ch, (m, a) in amps.items():
        u = volts.get("U" + ch[1])
        note = ""
        if u is not None:
            lag = (u[1] - a + 180.0) % 360.0 - 180.0
            note = f"{'lags' if lag >= 0 else 'leads'} U{ch[1]} by {abs(lag):.1f}°"
        rows.append((ch, f"{m:.3f} A", f"{a:+.1f}°", note))
    y = 0.92
    tx.text(0.0, 1.0, "Fundamental phasors, mean over all windows", fontsize=10,
            fontweight="bold", va="top", transform=tx.transAxes)
    for j, (ch, mag, ang, note) in enumerate(rows):
        colour = PHASE_COLOURS[int(ch[1]) - 1] if ch else "#555555"
        weight = "bold" if j == 0 else "normal"
        for x, text, ha in ((0.0, ch, "left"), (0.36, mag, "right"), (0.55, ang, "right"),
                            (0.6, note, "left")):
            tx.text(x, y, text, fontsize=9, ha=ha, va="top", color=colour if x == 0 else
                    "#1d2330", fontweight=weight, transform=tx.transAxes)
        y -= 0.085
    tx.text(0.0, max(y - 0.03, 0.0),
            "Angles relative to U1, counter-clockwise positive.\n"
            "Voltages solid, currents dashed; the two sets\n"
            "are scaled separately.", fontsize=8, color="#555555", va="top",
            transform=tx.transAxes)
    return fig, None


def _shade_events(ax: Any, events: Any, t_first: float, t_last: float, scale: float) -> None:
    """Shades every event of the events table on ``ax``, each kind in its
    colour, with a marker at each start."""
    if events is None:
        return
    # Events shorter than this would be invisible on a long time axis.
    min_width = (t_last - t_first) / 300.0
    kinds = (events["type"].astype(str).tolist() if "type" in events.columns
             else ["rvc"] * len(events))
    labelled = set()
    for kind, a, b in zip(kinds, events["t_start"], events["t_end"]):
        a, b = float(a), float(b)
        if not math.isfinite(a):
            continue
        if not math.isfinite(b):  # still running when the recording ends
            b = t_last
        if b - a < min_width:
            mid = 0.5 * (a + b)
            a, b = mid - min_width / 2, mid + min_width / 2
        ax.axvspan(a / scale, b / scale, color=_EVENT_COLOURS.get(kind, _EVENT_COLOUR),
                   alpha=0.25, linewidth=0,
                   label=None if kind in labelled else _EVENT_LABELS.get(kind, kind))
        labelled.add(kind)
    starts = np.asarray(events["t_start"], dtype=float)
    starts = starts[np.isfinite(starts)]
    if starts.size:
        # A marker on top of each event, visible however short the event.
        ax.plot(starts / scale, np.full(starts.size, 1.0), "v", color="#B36B00",
                markersize=7, transform=ax.get_xaxis_transform(), clip_on=False,
                label="event start")


def _fig_half_cycles(result: Any, trends: Trends):
    hc = _Series(trends, "half_cycles")
    if not hc or not phase_numbers(hc, "u", "_rms"):
        return None, "no half-cycle values"
    t_first, t_last = hc.t_range()
    events = present_table(result, "events")
    scale, xlabel = _time_scale(t_last)
    fig, axes = _figure(1, 3.4)
    ax = axes[0]
    _shade_events(ax, events, t_first, t_last, scale)
    _plot_lines(ax, hc, "u", "_rms", "U{k}", scale)
    bad = hc.where_zero("valid")
    if len(bad):
        # Ticks along the bottom edge (x in data, y in axes coordinates).
        ax.plot(bad / scale, np.full(len(bad), 0.02), "|", color="#999999", markersize=7,
                transform=ax.get_xaxis_transform(), clip_on=False, label="invalid cycle")
    _style(ax, "one-cycle RMS [V]", xlabel)
    _min_span(ax, [hc.values(f"u{k}_rms") for k in phase_numbers(hc, "u", "_rms")])
    title = _events_title(events)
    ax.set_title(f"RMS over one cycle, refreshed every half cycle: {title}", loc="left",
                 fontsize=10, pad=12)
    _legend(ax)
    return fig, None


def _events_title(events: Any) -> str:
    """"2 events (shaded): 1 rapid voltage change, 1 dip" or "no events"."""
    from .voltage_events import event_type_counts

    counts = event_type_counts(events)
    n = sum(counts.values())
    if not n:
        return "no rapid voltage change, dip, swell or interruption"
    names = {"rvc": "rapid voltage change", "dip": "dip", "swell": "swell",
             "interruption": "interruption"}
    parts = [f"{c} {names[k]}{'s' if c != 1 else ''}" for k, c in counts.items() if c]
    return f"{n} event{'s' if n != 1 else ''} (shaded): {', '.join(parts)}"


def _fig_flicker(result: Any, trends: Trends):
    from .report_classa import fig_flicker  # Pinst and Pst

    return fig_flicker(result, _Series(trends, "windows"))


_BUILDERS = {
    "rms-trend": _fig_rms,
    "frequency": _fig_frequency,
    "thd-trend": _fig_thd,
    "spectrum": _fig_spectrum,
    "phasors": _fig_phasors,
    "half-cycle-rvc": _fig_half_cycles,
    "flicker": _fig_flicker,
}


def render_figures(result: Any) -> List[Dict[str, Any]]:
    """Render every figure: a list of {id, title, png (bytes or None), note}."""
    out = []
    trends = _trends(result)
    for fid, title in FIGURES:
        try:
            fig, note = _BUILDERS[fid](result, trends)
        except (KeyError, ValueError, IndexError, TypeError) as exc:
            fig, note = None, f"could not be drawn ({type(exc).__name__}: {exc})"
        png = None
        if fig is not None:
            png = _png(fig)
        out.append({"id": fid, "title": title, "png": png, "note": note})
    return out


# --- the page ----------------------------------------------------------------

_CSS = """
:root { color-scheme: light; }
body { font-family: "DejaVu Sans", "Segoe UI", Helvetica, Arial, sans-serif; margin: 0;
       background: #f4f5f7; color: #1d2330; }
header { background: #1d2330; color: #fff; padding: 18px 32px; }
header h1 { margin: 0 0 4px 0; font-size: 22px; font-weight: 600; }
header p { margin: 0; color: #c8cdd8; font-size: 13px; }
main { max-width: 1120px; margin: 0 auto; padding: 16px 24px 40px 24px; }
section { background: #fff; border-radius: 6px; box-shadow: 0 1px 3px rgba(0,0,0,.08);
          padding: 14px 20px; margin: 16px 0; }
h2 { font-size: 17px; margin: 4px 0 10px 0; }
table { border-collapse: collapse; font-size: 13px; }
th, td { padding: 4px 12px; text-align: right; border-bottom: 1px solid #e6e8ec; }
th:first-child, td:first-child { text-align: left; }
thead th { background: #eef0f4; }
td.unit { color: #6b7280; text-align: left; }
.facts { display: grid; grid-template-columns: repeat(auto-fill, minmax(210px, 1fr));
         gap: 6px 18px; font-size: 13px; margin-bottom: 12px; }
.facts div span { color: #6b7280; }
figure { margin: 0; }
figure img { width: 100%; height: auto; display: block; }
figcaption { font-size: 12px; color: #4b5563; margin-top: 6px; }
.note { color: #6b7280; font-style: italic; }
.ph1 { color: #D55E00; } .ph2 { color: #0072B2; } .ph3 { color: #009E73; }
td.fail { color: #b91c1c; font-weight: 600; } td.ok { color: #15803d; }
footer { font-size: 11px; color: #6b7280; text-align: center; padding: 10px; }
"""

_CAPTIONS = {
    "rms-trend": "True RMS of every phase over each calculation window (10 cycles at 50 Hz, "
                 "12 at 60 Hz), drawn at the end time of the window.",
    "frequency": "Fundamental frequency of each window; unbalance ratios u2 = U2/U1 and "
                 "u0 = U0/U1 of the fundamental symmetrical components.",
    "thd-trend": "THD = RMS of the harmonic groups of orders 2 and up, in percent of the "
                 "fundamental group.",
    "spectrum": "Harmonic groups (bins within 30 % of the fundamental around each order, "
                "Blackman window) of the window with the highest voltage THD.",
    "phasors": "Fundamental phasors averaged over the record; angles relative to U1.",
    "flicker": "Pinst: the instantaneous flicker sensation (1 = the perceptibility threshold), the "
               "largest of every 10 ms drawn as a min/max envelope. Pst: the short-term severity of "
               "each 10-minute interval of the clock; hollow markers hold a dip, swell or "
               "interruption and are left out of the verdict.",
    "half-cycle-rvc": "RMS over one cycle of the fundamental, refreshed every half cycle. "
                      "A rapid voltage change starts when a value leaves the band of the "
                      "threshold (2 % by default) around the mean of the last second of "
                      "values (100 at 50 Hz, 120 at 60 Hz) and ends once a second of values "
                      "is steady again. A dip starts when a phase falls below 90 % of the "
                      "declared voltage and ends when every phase is back at 92 %; a swell "
                      "likewise above 110 % (back at 108 %); an interruption when every "
                      "phase is below 5 % (it ends when one is back at 7 %).",
}


def _esc(x: Any) -> str:
    return html.escape(str(x), quote=True)


def _table_html(model: _summary.TableModel) -> str:
    head = "".join(f'<th class="ph{j + 1}">{_esc(c)}</th>' if c.startswith(("L", "U", "I"))
                   else f"<th>{_esc(c)}</th>" for j, c in enumerate(model.columns))
    rows = []
    for row in model.rows:
        cells = "".join(f"<td>{_esc(v)}</td>" for v in row.values)
        rows.append(f"<tr><td>{_esc(row.label)}</td><td class=\"unit\">{_esc(row.unit)}</td>"
                    f"{cells}</tr>")
    return (f'<table class="summary"><thead><tr><th>quantity</th><th>unit</th>{head}</tr>'
            f"</thead><tbody>{''.join(rows)}</tbody></table>")


def _events_html(result: Any) -> str:
    ev = present_table(result, "events")
    if ev is None:
        return ('<p class="note">No rapid voltage change, dip, swell or interruption was '
                'detected.</p>')
    rows = []
    for j, line in enumerate(_summary.event_rows(result), start=1):
        rows.append("<tr>" + "".join(f"<td>{_esc(v)}</td>" for v in [j] + line) + "</tr>")
    head = "".join(f"<th>{_esc(h)}</th>" for h in ["#"] + _summary.EVENT_HEADERS)
    return (f'<table class="events"><thead><tr>{head}</tr></thead>'
            f"<tbody>{''.join(rows)}</tbody></table>")


def build_html(result: Any, figures: Sequence[Dict[str, Any]], *, title: str,
               source: str) -> str:
    """The report page as text."""
    from . import __version__ as version  # noqa: WPS433 (late import: no cycle at load)

    from .report_classa import compliance_section

    compliance_html = compliance_section(result)
    facts = _summary.facts(result)
    fact_html = "".join(f"<div><span>{_esc(k)}:</span> {_esc(v)}</div>" for k, v in facts)
    model = _summary.phase_table(result)
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>{_esc(title)}</title>",
        f"<style>{_CSS}</style></head><body>",
        f"<header><h1>{_esc(title)}</h1><p>{_esc(source)}</p></header>",
        "<main>",
        compliance_html,  # Class A hook: the EN 50160 verdict on top (report_classa)
        '<section id="summary"><h2>Summary</h2>',
        f'<div class="facts">{fact_html}</div>',
        "".join(f'<p class="note">Warning: {_esc(w)}.</p>' for w in _summary.warnings(result)),
        _table_html(model) if model.rows else '<p class="note">No per-phase values.</p>',
        "</section>",
        '<section id="events"><h2>Events: dips, swells, interruptions, rapid voltage '
        'changes</h2>',
        _events_html(result),
        "</section>",
    ]
    for fig in figures:
        parts.append(f'<section id="fig-{_esc(fig["id"])}"><h2>{_esc(fig["title"])}</h2>')
        if fig["png"] is not None:
            data = base64.b64encode(fig["png"]).decode("ascii")
            parts.append(
                f'<figure><img id="img-{_esc(fig["id"])}" alt="{_esc(fig["title"])}" '
                f'title="{_esc(fig["title"])}" src="data:image/png;base64,{data}">'
                f"<figcaption>{_esc(_CAPTIONS.get(fig['id'], ''))}</figcaption></figure>")
        else:
            parts.append(f'<p class="note">Not drawn: {_esc(fig["note"] or "no data")}.</p>')
        parts.append("</section>")
    stamp = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    parts += [
        "</main>",
        f"<footer>powergpu {_esc(version)}, {stamp}. Quantities are explained in "
        "docs/quantities.md of the powergpu sources.</footer>",
        "</body></html>",
    ]
    return "\n".join(parts)


def write_report(result: Any, path: "os.PathLike[str] | str", *, title: str = "powergpu report",
                 source: str = "") -> Path:
    """Render the figures and write the self-contained HTML report to ``path``;
    returns the path written.  The file is written under a temporary name
    and renamed, so a failed run never leaves half a report behind."""
    figures = render_figures(result)
    text = build_html(result, figures, title=title, source=source)
    p = Path(path)
    if p.parent and not p.parent.exists():
        p.parent.mkdir(parents=True, exist_ok=True)
    tmp = p.with_name(p.name + ".part")
    try:
        tmp.write_text(text, encoding="utf-8")
        os.replace(tmp, p)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
    return p
