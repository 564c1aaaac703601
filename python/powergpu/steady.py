"""Whether a detector fed with one-cycle values has seen a steady state.

The library's rapid-voltage-change detector reports state 0 while its
window of N values is still filling, and may start an event with the value
that fills it: a change "from" a level that it never observed.  It is also
fed every value, those of invalid cycles (a wrong frequency, missing or
absurd samples) included.  A change is therefore reported only when the N
values before it were all valid: the detector then held a window of real
measurements of one level, and a value that breaks it is a real change.
"""
from __future__ import annotations

import numpy as np

__all__ = ["SteadyState"]


class SteadyState:
    """Counts the valid values in a row, batch by batch."""

    def __init__(self, length: int) -> None:
        self.length = max(int(length), 1)
        self._run = 0  # valid values in a row at the end of the values seen

    def take(self, valid: np.ndarray) -> np.ndarray:
        """For each next value: whether it is valid and the ``length``
        values before it were valid."""
        valid = np.asarray(valid, dtype=bool)
        n = len(valid)
        if n == 0:
            return valid
        index = np.arange(n)
        # position of the last invalid value at or before each value (-1: none in the batch)
        last_bad = np.maximum.accumulate(np.where(valid, -1, index))
        run_incl = np.where(last_bad >= 0, index - last_bad, self._run + index + 1)
        run_before = np.concatenate([[self._run], run_incl[:-1]])
        self._run = int(run_incl[-1])
        return valid & (run_before >= self.length)
