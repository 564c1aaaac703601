"""Reading the tables of a result, for the pieces that print and draw them.

A result (an ``AnalysisResult`` or any object with the same attributes)
may lack a table, or hold an empty one; ``present_table`` answers None for
both, so that callers test one thing.  ``phase_numbers`` lists the phases
of a column family (``u1_rms``, ``u2_rms``, ...) that a table holds.
"""
from __future__ import annotations

from typing import Any, List

__all__ = ["phase_numbers", "present_table"]


def present_table(result: Any, name: str) -> Any:
    """The table ``name`` of ``result`` when it has rows, else None."""
    df = getattr(result, name, None)
    if df is None or len(df) == 0:
        return None
    return df


def phase_numbers(table: Any, prefix: str, suffix: str) -> List[int]:
    """The phases k (1..3) whose column ``{prefix}{k}{suffix}`` is among
    ``table.columns`` (none for a missing table)."""
    if table is None:
        return []
    return [k for k in (1, 2, 3) if f"{prefix}{k}{suffix}" in table.columns]
