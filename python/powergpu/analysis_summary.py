"""The running summary of an analysis: what stays when the tables go.

``RunningSummary`` takes the table rows as the table builder hands them on
(windows and half-cycle values once their flags are known) and keeps, in
memory that does not grow with the recording, what the summary dict, the
console table and the report need: column statistics, envelopes of the
series the report draws, the mean fundamental phasors, the window with the
highest voltage THD and the counts of cycles, windows and values.
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from .cycles import KIND_MEASURED, Cycles
from .flags import EventIntervals, RowHoldback, spectral_columns, steady_statistics_view
from .record_tables import ChannelLayout, harmonic_rows, harmonics_frame
from .screening import SampleScreen
from .trends import (HALF_CYCLE_TRENDS, WINDOW_TRENDS, ColumnStats, Envelope, PhasorSums, Trends,
                     envelope_names, half_cycle_series, worst_thd_window)

__all__ = ["RunningSummary", "OFF_NOMINAL", "OFF_NOMINAL_SHARE"]

#: Relative deviation of a measured cycle's frequency from the nominal one
#: beyond which it counts as off-nominal (for the warning).
OFF_NOMINAL = 0.05
#: Share of off-nominal measured cycles that triggers the warning.
OFF_NOMINAL_SHARE = 0.5


def thd_score(thd: np.ndarray) -> np.ndarray:
    """Each window's highest voltage THD over its phases (rows of ``thd``),
    -inf where none is finite: what ranks the windows for the worst one."""
    with np.errstate(invalid="ignore"):
        return np.max(np.where(np.isfinite(thd), thd, -np.inf), axis=1)


class RunningSummary:
    """Bounded figures of one analysis, fed with its table rows.

    ``channel_names``: the measured channels (U1.. or U12.., then I1..),
    for the counts of missing and absurd samples."""

    def __init__(self, layout: ChannelLayout, channel_names: Sequence[str], *,
                 nominal_frequency: float, harmonics: int) -> None:
        self.layout = layout
        self.channel_names = list(channel_names)
        self.nominal_frequency = nominal_frequency
        self.harmonics = harmonics
        self.window_names = layout.window_names()
        self.half_cycle_names = layout.half_cycle_names()
        self._spectral_names = spectral_columns(self.window_names)
        self.stats = ColumnStats()
        self.window_envelope = Envelope(envelope_names(self.window_names, WINDOW_TRENDS))
        self.half_cycle_envelope = Envelope(envelope_names(self.half_cycle_names,
                                                           HALF_CYCLE_TRENDS))
        self.phasor_sums = PhasorSums()
        self._worst_candidates = RowHoldback()
        self.worst: Optional[Dict[str, Any]] = None
        self._worst_thd = -math.inf
        self.window_count = 0
        self.invalid_windows = 0
        self.flagged_windows = 0
        self.half_cycle_count = 0
        self.invalid_half_cycles = 0
        self.flagged_half_cycles = 0
        self.cycle_count = 0
        self.invalid_cycles = 0
        self.frequency_sum = 0.0
        self.frequency_count = 0
        self.off_nominal_cycles = 0
        self.highest_order: Optional[int] = None  # lowest highest order of a window

    # -------------------------------------------------------------- cycles
    def add_cycles(self, cycles: Cycles) -> None:
        measured = cycles.kind == KIND_MEASURED
        if measured.any():
            f = cycles.frequency[measured]
            self.frequency_sum += float(np.sum(f))
            self.frequency_count += int(len(f))
            self.off_nominal_cycles += int(np.count_nonzero(
                np.abs(f / self.nominal_frequency - 1.0) > OFF_NOMINAL))
        self.cycle_count += int(np.count_nonzero(measured))
        self.invalid_cycles += int(np.count_nonzero(~cycles.valid))

    # ------------------------------------------------------------- windows
    def count_windows(self, records: np.ndarray, valid: np.ndarray) -> None:
        """Counts windows as their rows are made (before their flags)."""
        n = len(records)
        self.window_count += n
        self.invalid_windows += int(np.count_nonzero(~valid))
        if n:
            top = int(records["harmonicLength"].min()) - 1
            self.highest_order = top if self.highest_order is None else min(
                self.highest_order, top)

    def add_windows(self, cols: Dict[str, np.ndarray]) -> None:
        """Takes window rows whose flags are known: statistics (invalid
        windows left out, spectral values of flagged ones too), trends."""
        self.flagged_windows += int(np.count_nonzero(cols["flagged"]))
        steady = steady_statistics_view(cols, self._spectral_names)
        self.stats.add(steady)
        self.window_envelope.add(cols["t_end"], cols)
        self.phasor_sums.add(steady)

    # -------------------------------------------------------- worst window
    @property
    def highest_thd(self) -> float:
        """The voltage THD of the worst window kept so far (-inf: none)."""
        return self._worst_thd

    def hold_worst_candidates(self, r: np.ndarray, index: np.ndarray,
                              harm: Dict[str, np.ndarray], cols: Dict[str, np.ndarray]) -> None:
        """Holds the valid windows whose voltage THD beats the worst one so
        far until their flags are known (few: the records are large)."""
        names = [f"u{k}_thd" for k in (1, 2, 3) if f"u{k}_thd" in cols]
        if not names or not len(index):
            return
        keep = cols["valid"] & (thd_score(np.column_stack([cols[c] for c in names]))
                                > self._worst_thd)
        if not keep.any():
            return
        held = {"t_start": cols["t_start"][keep], "t_end": cols["t_end"][keep],
                "valid": cols["valid"][keep], "_r": r[keep], "_index": index[keep]}
        held.update({c: cols[c][keep] for c in names})
        held.update({f"_h_{f}": a[keep] for f, a in harm.items()})
        self._worst_candidates.push(held)

    def release_worst(self, intervals: EventIntervals, known_until: float) -> None:
        """Flags the held candidates that end before ``known_until`` and
        keeps the worst of them."""
        held = self._worst_candidates.release(intervals.settled_until(known_until))
        if held is None:
            return
        held["flagged"] = ~held["valid"] | intervals.overlaps(held["t_start"], held["t_end"])
        harm = {k[3:]: v for k, v in held.items() if k.startswith("_h_")}
        self._track_worst(held["_r"], held["_index"], harm, held)

    def _track_worst(self, r: np.ndarray, index: np.ndarray, harm: Dict[str, np.ndarray],
                     cols: Dict[str, np.ndarray]) -> None:
        """Keeps the harmonic rows of the window with the highest voltage
        THD over all phases (the first of equal ones) among those that are
        not flagged: the spectrum of a steady state."""
        best, score, names = worst_thd_window(cols)
        if best is None or not score > self._worst_thd:
            return
        self._worst_thd = score
        one = slice(best, best + 1)
        rows = harmonic_rows(self.layout, r[one], index[one],
                             {f: a[one] for f, a in harm.items()})
        self.worst = {"window": int(index[best]), "t_end": float(cols["t_end"][best]),
                      "thd": {c: float(cols[c][best]) for c in names},
                      "harmonics": harmonics_frame([rows])}

    # --------------------------------------------------- half-cycle values
    def count_half_cycles(self, valid: np.ndarray) -> None:
        """Counts half-cycle values as their rows are made."""
        self.half_cycle_count += len(valid)
        self.invalid_half_cycles += int(np.count_nonzero(~valid))

    def add_half_cycles(self, cols: Dict[str, np.ndarray]) -> None:
        """Takes half-cycle rows whose flags are known (trends: invalid
        values left out)."""
        self.flagged_half_cycles += int(np.count_nonzero(cols["flagged"]))
        self.half_cycle_envelope.add(cols["t_end"],
                                     half_cycle_series(cols, self.half_cycle_envelope.names))

    # ------------------------------------------------------------- results
    def trends(self) -> Trends:
        return Trends(window_columns=list(self.window_names),
                      half_cycle_columns=list(self.half_cycle_names),
                      means=self.stats.means(), windows=self.window_envelope,
                      half_cycles=self.half_cycle_envelope, worst=self.worst,
                      phasors=self.phasor_sums.means())

    def figures(self, setup: Dict[str, Any], *, rvc_event_count: int, skipped_windows: int,
                screen: SampleScreen, sample_rate: float) -> Dict[str, Any]:
        """The summary dict: ``setup`` (the analysis's settings, first),
        then the figures of the recording."""
        stats = self.stats
        names = set(stats.names) if self.window_count else set()

        def mean(col: str) -> Optional[float]:
            return stats.nan_skipping_mean(col) if col in names else None

        def vmax(col: str) -> Optional[float]:
            return stats.maximum(col) if col in names else None

        def vmin(col: str) -> Optional[float]:
            return stats.minimum(col) if col in names else None

        phases = []
        for k in range(1, self.layout.phases + 1):
            phases.append({
                "phase": k,
                "rms": mean(f"u{k}_rms"), "thd": mean(f"u{k}_thd"), "h1": mean(f"u{k}_h1"),
                "i_rms": mean(f"i{k}_rms"), "p": mean(f"p{k}"), "q": mean(f"q{k}"),
                "s": mean(f"s{k}"), "pf": mean(f"pf{k}"),
            })
        return {
            **setup,
            "frequency_min": vmin("frequency"),
            "frequency_mean": mean("frequency"),
            "frequency_max": vmax("frequency"),
            "phases": phases,
            "u0_ratio_mean": mean("u0_ratio"), "u0_ratio_max": vmax("u0_ratio"),
            "u2_ratio_mean": mean("u2_ratio"), "u2_ratio_max": vmax("u2_ratio"),
            "rvc_event_count": int(rvc_event_count),
            "window_count": int(self.window_count),
            "invalid_window_count": int(self.invalid_windows),
            "skipped_window_count": int(skipped_windows),
            "half_cycle_count": int(self.half_cycle_count),
            "cycle_count": int(self.cycle_count),
            "invalid_cycle_count": int(self.invalid_cycles),
            "flagged_window_count": int(self.flagged_windows),
            "invalid_half_cycle_count": int(self.invalid_half_cycles),
            "flagged_half_cycle_count": int(self.flagged_half_cycles),
            "missing_samples": self._channel_counts(screen.missing),
            "absurd_samples": self._channel_counts(screen.absurd),
            "absent_channels": self._absent(screen),
            # to 1 nHz: the last bits of a sum depend on how the recording
            # was cut into chunks, the reported mean must not
            "measured_frequency_mean": (round(self.frequency_sum / self.frequency_count, 9)
                                        if self.frequency_count else None),
            "highest_harmonic_order": self.highest_order,
            "warnings": self.warnings(screen, sample_rate),
        }

    def _absent(self, screen: SampleScreen) -> List[str]:
        return [n for n, gone in zip(self.channel_names, screen.absent()) if gone]

    def _channel_counts(self, counts: np.ndarray) -> Dict[str, int]:
        return {n: int(c) for n, c in zip(self.channel_names, counts) if c}

    def warnings(self, screen: SampleScreen, sample_rate: float) -> List[str]:
        """Plain sentences about what makes the results doubtful."""
        out = []
        f0, fs = self.nominal_frequency, sample_rate
        count = self.frequency_count
        if count and self.off_nominal_cycles > OFF_NOMINAL_SHARE * count:
            f = self.frequency_sum / count
            out.append(f"the measured frequency (mean {f:.2f} Hz over {count} cycles) "
                       f"is far from the nominal {f0:g} Hz: check the nominal frequency "
                       "(--frequency); cycles that far off are invalid")
        if self.highest_order is not None and self.highest_order < self.harmonics:
            out.append(f"harmonic orders above {self.highest_order} are not computed in every "
                       f"window: a sample rate of {fs:g} Hz resolves orders up to about "
                       f"{fs / 2 / f0:.0f} at {f0:g} Hz (asked for "
                       f"{self.harmonics}); THD sums the orders computed")
        absent = self._absent(screen)
        if absent:
            out.append(f"no data in channel{'s' if len(absent) > 1 else ''} {', '.join(absent)}: "
                       "reported as absent (its columns are empty)")
        for label, counts in (("missing or non-finite", screen.missing),
                              ("absurd", screen.absurd)):
            bad = self._channel_counts(counts)
            if bad and not all(n in absent for n in bad):
                items = ", ".join(f"{n} {c}" for n, c in bad.items())
                out.append(f"{label} samples ({items}): the cycles, windows and half-cycle "
                           "values that contain them are invalid and flagged")
        return out
