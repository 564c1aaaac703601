"""The EN 50160 verdict as a compact table of text: criterion, statistic,
limit, pass/fail. Shared by the console summary, the report and the
``compliance`` command, so that all three read the same."""
from __future__ import annotations

from typing import Any, Dict, List, Optional

__all__ = ["HEADERS", "verdict_word", "criteria_rows", "compact_rows", "headline", "console_lines", "aligned"]

HEADERS = ["criterion", "statistic", "limit", "verdict"]


def verdict_word(passed: Optional[bool]) -> str:
    return {True: "pass", False: "FAIL"}.get(passed, "-")


def _statistic(c: Dict[str, Any]) -> str:
    if c.get("measured_percent") is None:
        if str(c["id"]).endswith("_count"):
            return f"{c['values']} events"
        return "no values"
    return f"{c['measured_percent']:.2f} % of {c['values']}"


def _limit(c: Dict[str, Any]) -> str:
    if c.get("required_percent") is None:
        return "-"
    return f"{c['limit']} in >= {c['required_percent']:g} %"


def criteria_rows(summary: Optional[Dict[str, Any]]) -> List[List[str]]:
    """Rows of [criterion, statistic, limit, verdict] of a verdict in brief
    (``classa_job.compliance_summary``) or in full (``compliance.evaluate``);
    the criterion carries its week's start date when there are several."""
    if not summary:
        return []
    criteria = _criteria(summary)
    several = len({c.get("period_start") for c in criteria}) > 1
    rows = []
    for c in criteria:
        name = f"{str(c['period_start'])[:10]} {c['id']}" if several else str(c["id"])
        rows.append([name, _statistic(c), _limit(c), verdict_word(c.get("pass"))])
    return rows


def _criteria(summary: Dict[str, Any]) -> List[Dict[str, Any]]:
    if isinstance(summary.get("periods"), list):
        return [{"period_start": p["start"], **c} for p in summary["periods"] for c in p["criteria"]]
    return list(summary.get("criteria") or [])


def compact_rows(summary: Optional[Dict[str, Any]]) -> List[List[str]]:
    """``criteria_rows`` with the individual harmonic criteria of a week in
    one row (the order with the lowest share; FAIL when any order fails)
    and its event counts in another."""
    if not summary:
        return []
    criteria = _criteria(summary)
    several = len({c.get("period_start") for c in criteria}) > 1
    rows: List[List[str]] = []
    for start in dict.fromkeys(c.get("period_start") for c in criteria):
        week = [c for c in criteria if c.get("period_start") == start]
        prefix = f"{str(start)[:10]} " if several else ""
        harmonics = [c for c in week if str(c["id"]).startswith("harmonic_")]
        counts = [c for c in week if str(c["id"]).endswith("_count")]
        for c in week:
            if c in harmonics or c in counts:
                continue
            rows.append([prefix + str(c["id"]), _statistic(c), _limit(c), verdict_word(c.get("pass"))])
        judged = [c for c in harmonics if c.get("measured_percent") is not None]
        if judged:
            worst = min(judged, key=lambda c: c["measured_percent"])
            fails = [c for c in judged if c.get("pass") is False]
            order = str(worst["id"]).split("_")[1]
            top = max(int(str(c["id"]).split("_")[1]) for c in judged)
            rows.append([prefix + f"harmonics 2..{top}",
                         f"h{order}: {worst['measured_percent']:.2f} % of {worst['values']}",
                         "per-order limits in >= 95 %", verdict_word(not fails)])
        if counts:
            text = ", ".join(f"{str(c['id'])[:-6]} {c['values']}" for c in counts)
            rows.append([prefix + "events", text, "-", "-"])
    return rows


def console_lines(summary: Optional[Dict[str, Any]], indent: str = "  ") -> List[str]:
    """The headline and the compact table, aligned, for a console."""
    head = headline(summary)
    if head is None:
        return []
    rows = compact_rows(summary)
    return [indent + head] + (aligned(rows, indent + "  ") if rows else [])


def aligned(rows: List[List[str]], indent: str = "  ") -> List[str]:
    """``rows`` under ``HEADERS``, in columns padded to their widest cell."""
    table = [HEADERS] + rows
    widths = [max(len(r[j]) for r in table) for j in range(len(HEADERS))]
    return [indent + "  ".join(v.ljust(w) for v, w in zip(r, widths)).rstrip() for r in table]


def headline(summary: Optional[Dict[str, Any]]) -> Optional[str]:
    """One line: the overall verdict, or why there is none."""
    if not summary:
        return None
    if summary.get("pass") is None:
        why = summary.get("reason") or "nothing to judge"
        return f"EN 50160: no verdict ({why})"
    span = f" over {summary['start'][:19]} .. {summary['end'][:19]}" if summary.get("start") else ""
    return f"EN 50160{span}: {'PASS' if summary['pass'] else 'FAIL'}"
