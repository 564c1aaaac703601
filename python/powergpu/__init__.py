"""powergpu: power-quality analysis of sampled voltages and currents.

``Module`` drives one analysis module of the native library directly;
``analyze`` / ``analyze_stream`` run a whole recording (cycle detection,
10/12-cycle windows, half-cycle values, rapid voltage changes) and return
pandas tables.  The native library is loaded on first use.
"""
from __future__ import annotations

from typing import Any

from .errors import BackendUnavailableError, GpuError, PowerError, TooManyResultsError

__version__ = "1.0.0"

__all__ = [
    "Module", "PowerError", "GpuError", "TooManyResultsError", "BackendUnavailableError",
    "analyze", "analyze_stream", "analyze_many", "AnalysisResult", "CycleDetector", "Cycles",
    "detect_cycles",
    "GRID_TYPES", "library_version", "library_path", "__version__",
]

_LAZY = {
    "Module": ("module", "Module"),
    "GRID_TYPES": ("module", "GRID_TYPES"),
    "analyze": ("analysis", "analyze"),
    "analyze_stream": ("analysis", "analyze_stream"),
    "analyze_many": ("batch", "analyze_many"),
    "AnalysisResult": ("analysis", "AnalysisResult"),
    "CycleDetector": ("cycles", "CycleDetector"),
    "Cycles": ("cycles", "Cycles"),
    "detect_cycles": ("cycles", "detect_cycles"),
    "library_version": ("_native", "version"),
    "library_path": ("_native", "library_path"),
}


def __getattr__(name: str) -> Any:
    # Lazy so that ``import powergpu.io`` needs neither the native library nor pandas.
    if name in _LAZY:
        import importlib
        mod, attr = _LAZY[name]
        value = getattr(importlib.import_module(f".{mod}", __name__), attr)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'powergpu' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
