"""Loading of libpowergpu and the ctypes prototypes of its flat C interface.

The shared library is looked up, in this order:

1. the file named by the environment variable ``POWERGPU_LIBRARY`` (for
   development, e.g. ``build-py/lib/libpowergpu.so``);
2. ``_lib/libpowergpu.so`` inside this package (what ``pip install`` puts there);
3. ``powergpu/_lib/libpowergpu.so`` under any other ``sys.path`` entry (an
   installed copy, when this package is imported from a source checkout);
4. the build folders of a source checkout (``build-py``, ``build``,
   ``build-wheel/*``) next to the ``python`` folder.

Every prototype below matches the C header type for type.  Struct pointers
(``PowerResultsGeneral*``) are passed as ``c_void_p`` (the caller owns a
numpy buffer of the record dtype, ``PowerVoltageEvent*`` included);
``PowerResultsPeriod**`` is a ``POINTER(c_void_p)``.
"""
from __future__ import annotations

import ctypes
import glob
import os
import sys
import threading
from ctypes import (CFUNCTYPE, POINTER, c_bool, c_char_p, c_double, c_float, c_int32, c_int64,
                    c_uint8, c_uint16, c_uint32, c_uint64, c_void_p)
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

LIBRARY_ENV = "POWERGPU_LIBRARY"
LIBRARY_NAME = "libpowergpu.so"

#: Status codes of the flat interface.
STATUS_SUCCESS = 0
STATUS_UNKNOWN_ERROR = 1
STATUS_TOO_MANY_RESULTS = 2
STATUS_GPU_ERROR = 3

#: Backends of powerModule_createOnBackend / getBackend.
BACKEND_AUTOMATIC = 0
BACKEND_CPU = 1
BACKEND_CUDA = 2

Handle = c_void_p
Status = c_int32
P = POINTER

#: ``void (*)(int32_t kind, const char* message)``.
ErrorReporter = CFUNCTYPE(None, c_int32, c_char_p)

# name -> (restype, argtypes).  The order follows the header.
_H = Handle
PROTOTYPES: Dict[str, Tuple[object, List[object]]] = {
    # lifecycle
    "powerModule_create": (Handle, []),
    "powerModule_destroy": (Status, [_H]),
    "registerErrorReporter": (Status, [ErrorReporter]),
    # update bracket, processing
    "beginUpdate": (Status, [_H]),
    "endUpdate": (Status, [_H]),
    "writeSamples": (Status, [_H, c_uint32]),
    "skipSamples": (Status, [_H, c_uint32]),
    "scheduleForCalculation": (Status, [_H, c_uint64, c_int32, c_double]),
    "scheduleForPeriodCalculation": (Status, [_H, c_int32, P(c_uint64), P(c_int32),
                                              P(c_double), P(c_bool)]),
    "isAnyResultReady": (Status, [_H, P(c_bool)]),
    "getResults": (Status, [_H, c_int32, P(c_int32), c_void_p]),
    "getPeriodResults": (Status, [_H, P(c_int32), P(c_bool), P(c_void_p)]),
    "syncCuda": (Status, [_H]),
    "reset": (Status, [_H, c_uint64]),
    # waveform ring access
    "getWaveformBufferUInput": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferUStar": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferUDelta": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferI": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferClarkeU": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferClarkeI": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferParkU": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferParkI": (Status, [_H, c_uint8, P(P(c_float))]),
    "getWaveformBufferMechAngles": (Status, [_H, P(P(c_float))]),
}

#: Boolean settings: C name stem -> has a getter and a setter of that stem.
BOOL_SETTINGS = (
    "ClarkeOrParkCurrentsEnabled",
    "ClarkeOrParkVoltagesEnabled",
    "ClarkeOrParkWaveformsEnabled",
    "ClarkeTransformEnabled",
    "CurrentEnabled",
    "FullFftEnabled",
    "FundamentalPeriodValuesEnabled",
    "InterHarmonicsEnabled",
    "LineToLineResultsEnabled",
    "MechanicalAngleUsed",
    "ParkTransformEnabled",
    "PeriodSymmetricalComponentsEnabled",
    "PeriodValuesEnabled",
    "RvcEnabled",
    "SymmetricalComponentsEnabled",
    "ThdEnabled",
    "WaveformsEnabled",
    "FlickerEnabled",
)
for _stem in BOOL_SETTINGS:
    PROTOTYPES["get" + _stem] = (Status, [_H, P(c_bool)])

#: Numeric settings with a getter: stem -> ctypes type.
NUMERIC_SETTINGS = {
    "HalfPeriodValuesCount": c_uint16,
    "PeriodValuesOverlapInPercent": c_uint16,
    "HighestRequestedHarmonic": c_int32,
    "ThdHighestHarmonic": c_int32,
    "PolePairs": c_int32,
    "MechAngleOffset": c_double,
    "RvcSteadyStateLengthInNumberOfPeriodValues": c_int32,
    "RvcThresholdInPercentOfAverage": c_double,
    "RvcThresholdHysteresisInPercentOfThreshold": c_double,
}
#: Read-only counts.
COUNTS = ("CurrentsCount", "VoltagesCount", "PhasesCount")
for _stem in COUNTS:
    PROTOTYPES["get" + _stem] = (Status, [_H, P(c_uint8)])
for _stem, _t in NUMERIC_SETTINGS.items():
    PROTOTYPES["get" + _stem] = (Status, [_H, P(_t)])

# setters
PROTOTYPES.update({
    "setBufferLength": (Status, [_H, c_int32]),
    "setSampleRate": (Status, [_H, c_double, c_int32]),
    "setStaticFrequency": (Status, [_H, c_double, c_double]),
    "setVariableFrequency": (Status, [_H, c_double, c_double]),
    "setGridConfigType": (Status, [_H, c_int32]),
    "setPeriodCount": (Status, [_H, c_uint16]),
})
for _stem, _t in NUMERIC_SETTINGS.items():
    PROTOTYPES["set" + _stem] = (Status, [_H, _t])
for _stem in BOOL_SETTINGS:
    PROTOTYPES["set" + _stem] = (Status, [_H, c_bool])

#: Extensions beyond the 84 flat functions.
EXTENSIONS = ("powerModule_createOnBackend", "getBackend", "getLastErrorMessage",
              "powerModule_getVersion", "getFrequencyRange")
PROTOTYPES.update({
    "powerModule_createOnBackend": (Handle, [c_int32]),
    "getBackend": (Status, [_H, P(c_int32)]),
    "getFrequencyRange": (Status, [_H, P(c_double), P(c_double)]),
    "getLastErrorMessage": (Status, [_H, c_char_p, c_int32, P(c_int32)]),
    "powerModule_getVersion": (Status, [P(c_int32), P(c_int32), P(c_int32)]),
})


def _settings_and_records(settings: Dict[str, Any], record_calls: Tuple[str, ...]) -> Tuple[str, ...]:
    """Declares a setter and a getter for each setting (C name stem -> type)
    and the calls that fill a caller's array of records (capacity, count,
    array); gives the names declared."""
    for stem, ctype in settings.items():
        PROTOTYPES["set" + stem] = (Status, [_H, ctype])
        PROTOTYPES["get" + stem] = (Status, [_H, P(ctype)])
    for name in record_calls:
        PROTOTYPES[name] = (Status, [_H, c_int32, P(c_int32), c_void_p])
    return tuple(p + s for s in settings for p in ("set", "get")) + record_calls


#: Extensions: dips, swells and interruptions.  Settings: C name stem -> type
#: (a getter and a setter each); the events travel as arrays of
#: ``records.VOLTAGE_EVENT_DTYPE`` that the caller owns.
VOLTAGE_EVENT_SETTINGS = {
    "VoltageEventsEnabled": c_bool,
    "VoltageEventDeclaredVoltage": c_double,
    "VoltageDipThresholdInPercent": c_double,
    "VoltageSwellThresholdInPercent": c_double,
    "VoltageInterruptionThresholdInPercent": c_double,
    "VoltageEventHysteresisInPercent": c_double,
    "VoltageEventSlidingReferenceEnabled": c_bool,
}
EXTENSIONS += _settings_and_records(VOLTAGE_EVENT_SETTINGS,
                                    ("getVoltageEvents", "getVoltageEventsInProgress"))
#: Flicker extensions (the flicker section of powergpu.h).
FLICKER_EXTENSIONS = ("setFlickerEnabled", "getFlickerEnabled", "setFlickerLamp", "getFlickerLamp",
                      "setFlickerSystemFrequency", "getFlickerSystemFrequency",
                      "setFlickerIntervalStart", "getFlickerIntervalStart",
                      "getFlickerChannelsCount", "getFlickerPinst", "getFlickerPst")
PROTOTYPES.update({
    "setFlickerEnabled": (Status, [_H, c_bool]),
    "getFlickerEnabled": (Status, [_H, P(c_bool)]),
    "setFlickerLamp": (Status, [_H, c_int32]),
    "getFlickerLamp": (Status, [_H, P(c_int32)]),
    "setFlickerSystemFrequency": (Status, [_H, c_double]),
    "getFlickerSystemFrequency": (Status, [_H, P(c_double)]),
    "setFlickerIntervalStart": (Status, [_H, c_uint64]),
    "getFlickerIntervalStart": (Status, [_H, P(c_uint64)]),
    "getFlickerChannelsCount": (Status, [_H, P(c_uint8)]),
    "getFlickerPinst": (Status, [_H, c_uint8, c_int32, P(c_int32), c_void_p]),
    "getFlickerPst": (Status, [_H, c_uint8, c_int32, P(c_int32), c_void_p]),
})

#: Extensions: the 10-s frequency.  Settings: C name stem -> type; the
#: intervals travel as arrays of ``records.TEN_SECOND_FREQUENCY_DTYPE``.
TEN_SECOND_FREQUENCY_SETTINGS = {
    "TenSecondFrequencyEnabled": c_bool,
    "ClockTimeAtSampleIndexZero": c_double,
}
EXTENSIONS += _settings_and_records(TEN_SECOND_FREQUENCY_SETTINGS, ("getTenSecondFrequencies",))

#: Extensions: the grouped harmonic analysis.  Settings: C name stem -> type;
#: the windows travel as arrays of ``records.IEC_HARMONICS_DTYPE``.
IEC_HARMONICS_SETTINGS = {
    "IecHarmonicsEnabled": c_bool,
    "IecHarmonicsHighestOrder": c_int32,
    "IecHarmonicsCurrentsEnabled": c_bool,
}
EXTENSIONS += _settings_and_records(IEC_HARMONICS_SETTINGS, ("getIecHarmonics",))

#: Extensions: the cycle detector (no module; its own handle).  Settings
#: and entries travel as ``cycles.CYCLE_DETECTOR_SETTINGS_DTYPE`` and
#: ``cycles.CYCLE_ENTRY_DTYPE`` arrays that the caller owns.
CYCLE_DETECTOR_EXTENSIONS = (
    "powerCycleDetector_defaultSettings", "powerCycleDetector_create",
    "powerCycleDetector_destroy", "powerCycleDetector_process", "powerCycleDetector_flush",
    "powerCycleDetector_takeEntries", "powerCycleDetector_getAnchor",
    "powerCycleDetector_getReferenceLevel", "powerCycleDetector_getSamplesConsumed",
    "powerCycleDetector_getFilterDelay", "powerCycleDetector_getFilterLatency",
    "powerCycleDetector_getFilterTaps")
PROTOTYPES.update({
    "powerCycleDetector_defaultSettings": (Status, [c_void_p]),
    "powerCycleDetector_create": (Status, [c_void_p, P(c_void_p)]),
    "powerCycleDetector_destroy": (Status, [_H]),
    "powerCycleDetector_process": (Status, [_H, P(c_double), c_int64]),
    "powerCycleDetector_flush": (Status, [_H]),
    "powerCycleDetector_takeEntries": (Status, [_H, c_int32, P(c_int32), c_void_p]),
    "powerCycleDetector_getAnchor": (Status, [_H, P(c_bool), P(c_uint64)]),
    "powerCycleDetector_getReferenceLevel": (Status, [_H, P(c_double)]),
    "powerCycleDetector_getSamplesConsumed": (Status, [_H, P(c_uint64)]),
    "powerCycleDetector_getFilterDelay": (Status, [_H, P(c_int32)]),
    "powerCycleDetector_getFilterLatency": (Status, [_H, P(c_int32)]),
    "powerCycleDetector_getFilterTaps": (Status, [_H, c_int32, P(c_int32), P(c_double)]),
})
EXTENSIONS += CYCLE_DETECTOR_EXTENSIONS

def _candidates() -> List[Path]:
    out: List[Path] = []
    env = os.environ.get(LIBRARY_ENV)
    if env:
        out.append(Path(env))
        return out
    here = Path(__file__).resolve().parent
    out.append(here / "_lib" / LIBRARY_NAME)
    for entry in sys.path:
        try:
            p = Path(entry or ".").resolve() / "powergpu" / "_lib" / LIBRARY_NAME
        except (OSError, RuntimeError):
            continue
        if p not in out:
            out.append(p)
    repo = here.parent.parent
    if (repo / "include" / "powergpu.h").is_file():
        for sub in ("build-py", "build"):
            out.append(repo / sub / "lib" / LIBRARY_NAME)
        for p in sorted(glob.glob(str(repo / "build-wheel" / "*" / "lib" / LIBRARY_NAME))):
            out.append(Path(p))
    return out


_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None


def library_path() -> str:
    """Path of the library that ``load`` uses (loads it if needed)."""
    load()
    assert _lib_path is not None
    return _lib_path


def find_library() -> Path:
    """The first existing candidate file; raises OSError when none exists."""
    tried = _candidates()
    for p in tried:
        if p.is_file():
            return p
    where = "\n  ".join(str(p) for p in tried)
    raise OSError(
        f"{LIBRARY_NAME} not found. Install the package with `pip install ./python` "
        f"or set {LIBRARY_ENV} to the library file. Looked in:\n  {where}")


def load() -> ctypes.CDLL:
    """Loads the library once and declares every prototype."""
    global _lib, _lib_path
    with _lock:
        if _lib is not None:
            return _lib
        path = find_library()
        lib = ctypes.CDLL(str(path))
        declare(lib)
        _lib, _lib_path = lib, str(path)
        return lib


def declare(lib: ctypes.CDLL) -> None:
    """Sets restype and argtypes of every function of ``PROTOTYPES`` on ``lib``."""
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = list(argtypes)


def version() -> Tuple[int, int, int]:
    """The library version (major, minor, patch)."""
    lib = load()
    a, b, c = c_int32(), c_int32(), c_int32()
    status = lib.powerModule_getVersion(ctypes.byref(a), ctypes.byref(b), ctypes.byref(c))
    if status != STATUS_SUCCESS:
        from .errors import error_for_status
        raise error_for_status(status, "powerModule_getVersion", "", None)
    return a.value, b.value, c.value


def last_error_message(handle: Optional[int] = None) -> str:
    """Text of the last failed flat call on this thread ('' after a success).

    The message belongs to the thread: without a handle it still tells, for
    example, why creating a module returned null."""
    lib = load()
    length = c_int32(0)
    buf = ctypes.create_string_buffer(512)
    if lib.getLastErrorMessage(handle, buf, len(buf), ctypes.byref(length)) != STATUS_SUCCESS:
        return ""
    if length.value >= len(buf):
        buf = ctypes.create_string_buffer(length.value + 1)
        lib.getLastErrorMessage(handle, buf, len(buf), ctypes.byref(length))
    return buf.value.decode("utf-8", "replace")


def cuda_backend_status() -> Tuple[bool, str]:
    """Whether a module can run on the CUDA backend here, and if not, why
    (the library's reason: the device query's error or the cuFFT files tried)."""
    lib = load()
    handle = lib.powerModule_createOnBackend(BACKEND_CUDA)
    if handle:
        lib.powerModule_destroy(handle)
        return True, ""
    return False, last_error_message() or "no reason given"


_reporter_keepalive: Optional[object] = None


def set_error_reporter(callback) -> None:
    """Registers ``callback(kind: int, message: str)`` as the process-wide
    reporter of GPU failures (None switches reporting off)."""
    global _reporter_keepalive
    lib = load()
    if callback is None:
        fn = ErrorReporter()
    else:
        def _trampoline(kind, message, _cb=callback):
            try:
                _cb(int(kind), (message or b"").decode("utf-8", "replace"))
            except Exception:  # never let an exception cross into C
                pass
        fn = ErrorReporter(_trampoline)
    lib.registerErrorReporter(fn)
    _reporter_keepalive = fn
