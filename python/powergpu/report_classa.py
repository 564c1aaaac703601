"""The report's EN 50160 table (a section at the top of the page) and its
flicker figure (Pinst and Pst), for ``report.build_html`` and
``report.render_figures``."""
from __future__ import annotations

import html
from typing import Any

import numpy as np

from .compliance_view import HEADERS, criteria_rows, headline

__all__ = ["compliance_section", "fig_flicker"]


def _esc(x: Any) -> str:
    return html.escape(str(x), quote=True)


def compliance_section(result: Any) -> str:
    """The verdict, per criterion, as a section (empty without one)."""
    summary = (getattr(result, "summary", None) or {}).get("compliance")
    head = headline(summary)
    if head is None:
        return ""
    rows = criteria_rows(summary)
    body = "".join(
        "<tr>" + "".join(f"<td>{_esc(v)}</td>" for v in row[:3])
        + f'<td class="{"fail" if row[3] == "FAIL" else "ok"}">{_esc(row[3])}</td></tr>'
        for row in rows)
    table = (f'<table class="compliance"><thead><tr>{"".join(f"<th>{_esc(h)}</th>" for h in HEADERS)}'
             f"</tr></thead><tbody>{body}</tbody></table>") if rows else ""
    return (f'<section id="compliance"><h2>{_esc(head)}</h2>'
            '<p class="note">Statistic: the share of the 10-s or 10-min values (flagged ones left '
            "out) within the limit; details in compliance.json.</p>"
            f"{table}</section>")


def fig_flicker(result: Any, windows: Any):
    """(figure, None) of the report: Pinst above, Pst below (a panel
    without values says so); (None, why) for a result without values."""
    from . import report as r

    pinst = getattr(result, "pinst", None) or {}
    flicker = getattr(result, "flicker", None)
    if not pinst and (flicker is None or not len(flicker)) and not windows:
        return None, "no values"
    t_max = max([float(np.nanmax(x)) for x, _ in pinst.values() if len(x)]
                + ([float(flicker["t_end"].max())] if flicker is not None and len(flicker) else [1.0]))
    scale, label = r._time_scale(t_max)
    fig, (a1, a2) = r._figure(rows=2, height=2.6)
    for k, (name, (x, y)) in enumerate(pinst.items()):
        a1.plot(x / scale, y, color=r.PHASE_COLOURS[k % 3], linewidth=1.0, label=name)
    if not pinst:
        a1.text(0.5, 0.5, "no Pinst values (the flickermeter needs 1600 Hz sampling or more)",
                transform=a1.transAxes, ha="center", color="#6b7280")
    r._style(a1, "Pinst")
    r._legend(a1)
    if flicker is not None and len(flicker):
        flagged = flicker["flagged"].to_numpy(dtype=bool) if "flagged" in flicker \
            else np.zeros(len(flicker), dtype=bool)
        mid = 0.5 * (flicker["t_start"].to_numpy() + flicker["t_end"].to_numpy()) / scale
        for k, column in enumerate(c for c in flicker.columns if str(c).startswith("Pst_")):
            y = flicker[column].to_numpy(dtype=float)
            colour = r.PHASE_COLOURS[k % 3]
            a2.plot(mid[~flagged], y[~flagged], "o", color=colour, label=column)
            a2.plot(mid[flagged], y[flagged], "o", mfc="none", color=colour)
    else:
        a2.text(0.5, 0.5, "no 10-minute interval measured", transform=a2.transAxes, ha="center",
                color="#6b7280")
    a2.axhline(1.0, color="#888888", linewidth=0.8, linestyle="--")
    r._style(a2, "Pst", label)
    r._legend(a2)
    return fig, None
