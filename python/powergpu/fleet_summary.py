"""The one-screen summary of a batch, from its manifest: counts, events by
type, the worst recordings by voltage THD and unbalance, and the failures."""
from __future__ import annotations

import json
from collections import Counter
from typing import Any, List

__all__ = ["fleet_summary", "WORST"]

#: Recordings listed per ranking, and failures listed before "... and N more".
WORST = 5


def _duration(seconds: float) -> str:
    if seconds < 60:
        return f"{seconds:.1f} s"
    minutes, sec = divmod(int(round(seconds)), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min" if hours else f"{minutes} min {sec:02d} s"


def _ranking(ok: Any, column: str, label: str, unit: str) -> List[str]:
    if column not in ok.columns:
        return []
    ranked = ok[ok[column].notna()].nlargest(WORST, column)
    if ranked.empty:
        return []
    lines = [f"  worst {label}:"]
    for _, row in ranked.iterrows():
        lines.append(f"    {row[column]:7.2f} {unit}  {row['recording']}")
    return lines


def fleet_summary(report: Any) -> str:
    """The text printed at the end of ``powergpu batch``."""
    m = report.manifest
    lines = [f"powergpu batch: {report.analysed} analysed, {report.skipped} skipped "
             f"(unchanged), {report.failed} failed, in {_duration(report.seconds)}"
             + (f" on {report.workers} worker{'s' if report.workers > 1 else ''}"
                if report.workers else "")]
    if report.analysed and report.seconds > 0:
        lines[-1] += f" ({report.rate_per_minute:.1f} recordings/min)"
    ok = m[m["status"] == "ok"] if "status" in m.columns else m.iloc[:0]
    hours = float(ok["duration_s"].sum()) / 3600.0 if "duration_s" in ok.columns else 0.0
    lines.append(f"  dataset {report.output}: {len(ok)} recordings ({hours:.1f} h of "
                 f"signal), {len(m) - len(ok)} without results")
    types: Counter = Counter()
    for text in ok.get("event_types", []):
        if isinstance(text, str) and text:
            types.update(json.loads(text))
    if types:
        lines.append("  events: " + ", ".join(f"{k} {v}" for k, v in types.most_common()))
    else:
        lines.append("  events: none")
    if "en50160" in ok.columns:
        verdicts = Counter(v for v in ok["en50160"] if isinstance(v, str))
        failing = ok[ok["en50160"] == "fail"]["recording"].tolist()
        lines.append(f"  EN 50160: {verdicts['pass']} pass, {verdicts['fail']} fail, "
                     f"{len(ok) - verdicts['pass'] - verdicts['fail']} without a verdict"
                     + (f" (failing: {', '.join(failing[:WORST])}"
                        + (", ..." if len(failing) > WORST else "") + ")" if failing else ""))
    lines += _ranking(ok, "u_thd_mean_max", "voltage THD (mean over windows, worst phase)", "%")
    lines += _ranking(ok, "u2_ratio_max", "voltage unbalance u2 (highest window)", "%")
    bad = m[m["status"] != "ok"] if "status" in m.columns else m.iloc[:0]
    if len(bad):
        lines.append(f"  failures ({len(bad)}):")
        for _, row in bad.head(WORST).iterrows():
            lines.append(f"    {row['recording']}: {row['error']}")
        if len(bad) > WORST:
            lines.append(f"    ... and {len(bad) - WORST} more (see manifest.parquet)")
    return "\n".join(lines) + "\n"

