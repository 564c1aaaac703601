"""The built-in demonstration signal: a three-phase recording whose every
property is known in closed form.

``powergpu analyze --demo`` analyses it, the tests check the analysis against
the truth returned alongside the samples, and the user guide uses it for its
examples.  What it contains (defaults):

* phase voltages of 230 V rms positive sequence at 50 Hz, the frequency
  drifting sinusoidally by +-0.05 Hz once over the record (the phase is the
  integral of the frequency, so there is no phase jump anywhere);
* a 3 % negative-sequence component (voltage unbalance u2 = 3 %), no zero
  sequence, so phase L1 is about 236.9 V and L2, L3 about 226.6 V;
* 5th (4 %) and 7th (2.5 %) voltage harmonics and one interharmonic at
  3.5 times the nominal frequency (0.5 %, 175 Hz at 50 Hz), all in percent
  of 230 V;
* a -8 % step of every phase voltage that starts on a cycle boundary of L1
  near t = 2 s and is held for 50 cycles (about 1 s): a rapid voltage change;
* currents of 10 A rms (fundamental) lagging their phase voltage by 30
  degrees, with a 3 % 5th harmonic; the currents do not follow the step.

Only numpy is needed.  The samples are float64 arrays of shape (n, 3).
"""
from __future__ import annotations

import math
from typing import Any, Dict, Tuple

import numpy as np

__all__ = ["demo_signal", "demo_channels"]

#: Channel names used when the demo signal is written to a file.
demo_channels = ("UL1", "UL2", "UL3", "IL1", "IL2", "IL3")

_SQRT2 = math.sqrt(2.0)


def _cycles(t: np.ndarray, f0: float, drift: float, period: float) -> np.ndarray:
    """Cycles of the fundamental completed at time t (the phase divided by 2 pi)
    for f(t) = f0 + drift * sin(2 pi t / period)."""
    if drift == 0.0 or period <= 0.0:
        return f0 * t
    return f0 * t + drift * period / (2.0 * math.pi) * (1.0 - np.cos(2.0 * math.pi * t / period))


def _boundary_near(target: float, f0: float, drift: float, period: float,
                   whole: float | None = None) -> Tuple[float, float]:
    """(time, cycle count) of the cycle boundary of L1 nearest to ``target``
    seconds, or of the boundary at exactly ``whole`` cycles when given.

    The cycle count is monotonic (the frequency never drops to 0), so a
    bisection on it is exact to the last bit of the time."""
    c_target = float(_cycles(np.array([target]), f0, drift, period)[0])
    k = float(round(c_target)) if whole is None else float(whole)
    lo, hi = 0.0, max(target, 1.0) * 2.0 + 10.0 / f0
    while float(_cycles(np.array([hi]), f0, drift, period)[0]) < k:
        hi *= 2.0
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if float(_cycles(np.array([mid]), f0, drift, period)[0]) < k:
            lo = mid
        else:
            hi = mid
        if hi - lo < 1e-13:
            break
    return hi, k


def _check_positive(name: str, value: float) -> float:
    value = float(value)
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"{name} must be a positive number, got {value!r}")
    return value


def _expected_rvc_events(step: Dict[str, Any] | None, f0: float, seconds: float) -> int:
    """Rapid voltage changes that end inside the record, with the default
    detector settings (steady state of 100 one-cycle values refreshed every
    half cycle, threshold 2 %, hysteresis 50 %).

    The one-cycle value that straddles an edge of the step lies halfway
    between the two levels, so the drop counts as settled only once 100
    values after that one lie within 1 % of each other: after 101 half
    cycles.  A step held for fewer half cycles is still an event when the
    voltage recovers, and drop and recovery form one event; a longer step
    gives two.  The last event ends 101 half cycles after the recovery.
    """
    if step is None:
        return 0
    half = 0.5 / f0
    settle = 101 * half
    count = 2 if 2 * step["cycles"] >= 101 else 1
    ends_last = step["end"] + half + settle
    if ends_last > seconds - half:
        count -= 1
    return count


def demo_signal(seconds: float = 6.0, sample_rate: float = 10000.0, *,
                frequency: float = 50.0, voltage: float = 230.0, current: float = 10.0,
                drift: float = 0.05, unbalance: float = 3.0,
                step_at: float = 2.0, step_cycles: int = 50, step_depth: float = 8.0,
                ) -> Tuple[np.ndarray, np.ndarray, Dict[str, Any]]:
    """Return ``(voltages, currents, info)`` of the demonstration recording.

    ``voltages`` and ``currents`` are float64 arrays of shape (n, 3) in volts
    and amperes (phases L1, L2, L3); ``info`` holds the exact truth: the
    frequency law, the rms, fundamental, THD and angle of every phase, the
    unbalance ratios, the powers outside the step and the step's start and
    end times.

    ``frequency`` is the nominal frequency (50 or 60), ``voltage`` the
    positive-sequence phase voltage (rms), ``current`` the fundamental current
    (rms), ``drift`` the amplitude of the frequency swing in Hz,
    ``unbalance`` the negative-sequence ratio in percent, ``step_at`` the time
    near which the voltage step starts (on a cycle boundary), ``step_cycles``
    how many cycles it lasts and ``step_depth`` its depth in percent.  The
    step is left out (``info["step"]`` is None) when it would not end at least
    one cycle before the end of the record, or when ``step_cycles`` or
    ``step_depth`` is 0.
    """
    seconds = _check_positive("seconds", seconds)
    sample_rate = _check_positive("sample_rate", sample_rate)
    f0 = _check_positive("frequency", frequency)
    u_nom = _check_positive("voltage", voltage)
    i_nom = _check_positive("current", current)
    drift = float(drift)
    if not math.isfinite(drift) or abs(drift) >= f0 / 2:
        raise ValueError(f"drift must be smaller than half the frequency, got {drift!r}")
    if sample_rate < 20.0 * f0:
        raise ValueError(f"sample_rate {sample_rate:g} Hz is too low for the 7th harmonic of "
                         f"{f0:g} Hz; use at least {20 * f0:g} Hz")
    n = int(round(seconds * sample_rate))
    if n < 1:
        raise ValueError("the record must hold at least one sample")
    t = np.arange(n, dtype=np.float64) / sample_rate
    period = seconds  # one swing of the frequency over the record
    theta = 2.0 * math.pi * _cycles(t, f0, drift, period)

    # Fundamental phasors (rms, sine-phase angle): positive sequence L1 at 0,
    # L2 at -120, L3 at +120 degrees; the negative sequence in phase with L1.
    a = np.exp(2j * math.pi / 3.0)
    pos = u_nom
    neg = u_nom * float(unbalance) / 100.0
    u1 = np.array([pos + neg, pos * a ** 2 + neg * a, pos * a + neg * a ** 2])
    u1_mag = np.abs(u1)
    u1_ang = np.angle(u1)  # radians, sine phase

    harmonics_pct = {5: 4.0, 7: 2.5}
    inter_ratio_pct = 0.5
    inter_freq = 3.5 * f0
    current_h5_pct = 3.0
    lag = math.radians(30.0)

    volts = np.empty((n, 3), dtype=np.float64)
    amps = np.empty((n, 3), dtype=np.float64)
    for k in range(3):
        phase = theta + u1_ang[k]
        u = _SQRT2 * u1_mag[k] * np.sin(phase)
        for h, pct in harmonics_pct.items():
            u += _SQRT2 * u_nom * pct / 100.0 * np.sin(h * phase)
        u += _SQRT2 * u_nom * inter_ratio_pct / 100.0 * np.sin(
            2.0 * math.pi * inter_freq * t + u1_ang[k])
        volts[:, k] = u
        iphase = phase - lag
        amps[:, k] = _SQRT2 * i_nom * (np.sin(iphase)
                                       + current_h5_pct / 100.0 * np.sin(5.0 * iphase))

    step: Dict[str, Any] | None = None
    depth = float(step_depth) / 100.0
    if int(step_cycles) > 0 and depth != 0.0:
        t0, c0 = _boundary_near(float(step_at), f0, drift, period)
        t1, _ = _boundary_near(t0 + step_cycles / f0, f0, drift, period,
                               whole=c0 + int(step_cycles))
        if t0 > 0 and t1 + 1.0 / f0 <= seconds:
            i0 = int(math.ceil(t0 * sample_rate - 1e-9))
            i1 = int(math.ceil(t1 * sample_rate - 1e-9))
            volts[i0:i1] *= 1.0 - depth
            step = {
                "start": t0, "end": t1, "duration": t1 - t0,
                "start_sample": i0, "end_sample": i1,
                "start_cycle": int(c0), "cycles": int(step_cycles),
                "depth_pct": float(step_depth),
                "delta_u_max": depth * float(np.mean(u1_mag)),
            }

    # Truth, per phase.
    harm_sq = sum((u_nom * p / 100.0) ** 2 for p in harmonics_pct.values())
    inter_sq = (u_nom * inter_ratio_pct / 100.0) ** 2
    u_rms = np.sqrt(u1_mag ** 2 + harm_sq + inter_sq)
    u_thd = 100.0 * math.sqrt(harm_sq) / u1_mag
    i5 = i_nom * current_h5_pct / 100.0
    i_rms = math.sqrt(i_nom ** 2 + i5 ** 2)
    u5 = u_nom * harmonics_pct[5] / 100.0
    # Per-order powers: fundamental lags by 30 deg, the 5th current lags the
    # 5th voltage by 5 x 30 = 150 deg.
    p1 = u1_mag * i_nom * math.cos(lag)
    q1 = u1_mag * i_nom * math.sin(lag)
    p5 = u5 * i5 * math.cos(5 * lag)
    p = p1 + p5
    s = u_rms * i_rms

    info: Dict[str, Any] = {
        "sample_rate": sample_rate,
        "seconds": seconds,
        "n_samples": n,
        "nominal_frequency": f0,
        "nominal_voltage": u_nom,
        "frequency": {
            "law": "f(t) = f0 + drift * sin(2 pi t / seconds)",
            "f0": f0, "drift": drift, "period": period,
            "min": f0 - abs(drift), "max": f0 + abs(drift), "mean": f0,
        },
        "phases": ["L1", "L2", "L3"],
        "u_h1": u1_mag.tolist(),
        "u_h1_angle": np.degrees(u1_ang).tolist(),
        "u_rms": u_rms.tolist(),
        "u_thd": u_thd.tolist(),
        "u_harmonics_pct": dict(harmonics_pct),
        "u_interharmonic": {"frequency": inter_freq, "pct": inter_ratio_pct},
        "u0_ratio": 0.0,
        "u2_ratio": float(unbalance),
        "u_positive": pos,
        "u_negative": neg,
        "i_h1": i_nom,
        "i_rms": i_rms,
        "i_thd": current_h5_pct,
        "i_lag_deg": 30.0,
        "cos_phi1": math.cos(lag),
        "p1": p1.tolist(),
        "q1": q1.tolist(),
        "p": p.tolist(),
        "s": s.tolist(),
        "step": step,
        "rvc_events": _expected_rvc_events(step, f0, seconds),
    }
    return volts, amps, info
