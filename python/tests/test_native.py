"""The ctypes prototypes and the numpy record dtypes match include/powergpu.h: every
function with its argument types, every field of the records at the offset and size a C
compiler gives it (padding named ``reserved`` may be left out of a dtype)."""
import os
import re
import shutil
import subprocess
from ctypes import (POINTER, c_bool, c_char_p, c_double, c_float, c_int32, c_int64, c_uint8,
                    c_uint16, c_uint32, c_uint64, c_void_p)
from pathlib import Path

import pytest

from powergpu import Module, _native
from powergpu.cycles import CYCLE_DETECTOR_SETTINGS_DTYPE, CYCLE_ENTRY_DTYPE
from powergpu.flicker import PINST_DTYPE, PST_DTYPE
from powergpu.records import DTYPES

RECORDS = {**DTYPES, "PowerFlickerPinst": PINST_DTYPE, "PowerFlickerPst": PST_DTYPE,
           "PowerCycleDetectorSettings": CYCLE_DETECTOR_SETTINGS_DTYPE,
           "PowerCycleEntry": CYCLE_ENTRY_DTYPE}

INCLUDE = Path(__file__).resolve().parents[2] / "include"
TEXT = re.sub(r"//[^\n]*", " ", re.sub(r"/\*.*?\*/", " ", (INCLUDE / "powergpu.h").read_text(),
                                       flags=re.S))
# Struct pointers travel as void pointers (the caller passes numpy buffers).
CTYPES = {"PowerModuleHandle": c_void_p, "PowerStatusCode": c_int32,
          "PowerGridConfigType": c_int32, "uint8_t": c_uint8, "uint16_t": c_uint16,
          "int32_t": c_int32, "uint32_t": c_uint32, "uint64_t": c_uint64, "double": c_double,
          "float": c_float, "bool": c_bool, "PowerResultsGeneral*": c_void_p,
          "PowerResultsPeriod**": POINTER(c_void_p), "char*": c_char_p,
          "PowerVoltageEvent*": c_void_p, "PowerTenSecondFrequency*": c_void_p,
          "PowerIecHarmonics*": c_void_p,
          "PowerFlickerPinst*": c_void_p, "PowerFlickerPst*": c_void_p, "int64_t": c_int64,
          "PowerCycleDetectorHandle": c_void_p, "PowerCycleDetectorSettings*": c_void_p,
          "PowerCycleEntry*": c_void_p, "PowerCycleDetectorHandle*": POINTER(c_void_p),
          "PowerErrorReporter": _native.ErrorReporter}


def ctypes_of(ctype):
    if ctype in CTYPES:
        return CTYPES[ctype]
    base = CTYPES[ctype.rstrip("*")]
    for _ in range(len(ctype) - len(ctype.rstrip("*"))):
        base = POINTER(base)
    return base


def _header_functions():
    """{name: (return type, [argument types])} of every exported function."""
    out = {}
    for m in re.finditer(r"POWERGPU_API\s+([\w\s\*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", TEXT):
        args = m.group(3).strip()
        types = []
        for arg in ([] if args in ("", "void") else args.split(",")):
            am = re.match(r"([\w\s\*]+?)\s*(\w+)$", arg.replace("const ", "").strip())
            assert am, f"cannot parse argument {arg!r} of {m.group(2)}"
            types.append(re.sub(r"\s+", "", am.group(1)))
        out[m.group(2)] = (re.sub(r"\s+", "", m.group(1)), types)
    return out


FUNCTIONS = _header_functions()


def test_prototype_table_names_exactly_the_header_functions():
    # 84 flat functions, five extensions, sixteen for dips, swells and interruptions,
    # the eleven flicker extensions, five for the 10-s frequency, seven for
    # the grouped harmonic analysis and eleven for the cycle detector
    assert len(FUNCTIONS) == 105 + len(_native.FLICKER_EXTENSIONS) + 5 + 7 + 12 == 140
    assert set(_native.PROTOTYPES) == set(FUNCTIONS)
    assert set(_native.EXTENSIONS) <= set(FUNCTIONS)
    assert set(_native.FLICKER_EXTENSIONS) <= set(FUNCTIONS)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_prototype_matches_header_and_is_loaded(name):
    ret, args = FUNCTIONS[name]
    restype, argtypes = _native.PROTOTYPES[name]
    assert restype is ctypes_of(ret), f"{name}: return type {ret}"
    assert [ctypes_of(a) for a in args] == list(argtypes), f"{name}: {args}"
    fn = getattr(_native.load(), name)
    assert fn.restype is restype and list(fn.argtypes) == list(argtypes)


def test_error_reporter_version_and_exported_variable():
    m = re.search(r"typedef\s+void\s*\(\s*\*\s*PowerErrorReporter\s*\)\s*\(([^)]*)\)", TEXT)
    assert [a.split()[0] for a in m.group(1).replace("const ", "").split(",")] == \
        ["int32_t", "char*"]
    assert _native.ErrorReporter._restype_ is None
    assert _native.ErrorReporter._argtypes_ == (c_int32, c_char_p)
    assert c_void_p.in_dll(_native.load(), "reportErrorCallbackFunction") is not None
    assert _native.version() == tuple(int(re.search(rf"#define POWERGPU_VERSION_{k} (\d+)",
                                                    TEXT).group(1))
                                      for k in ("MAJOR", "MINOR", "PATCH"))


def test_wide_integer_arguments_are_not_truncated(backend):
    # A uint64 start index above 2**32 survives the calls (a uint16 of 65535: test_module).
    with Module(backend) as m:
        m.configure(sample_rate=1000.0, buffer_length=100, static_frequency=50.0)
        m.reset(2 ** 33 + 5)
        m.write([[1.0, 1.0]] * 100)
        m.schedule(2 ** 33 + 5, 100, 50.0)
        m.sync()
        r = m.results()
    assert int(r["firstSampleIndex"][0]) == 2 ** 33 + 5
    assert r["time"][0] == pytest.approx((2 ** 33 + 105) / 1000.0, rel=1e-15)


def _c_fields(struct):
    m = re.search(r"typedef struct " + struct + r"\s*\{(.*?)\}\s*" + struct + r"\s*;", TEXT,
                  re.S)
    return [re.match(r".*?(\w+)\s*(\[\s*\d+\s*\])?$", d.strip(), re.S).group(1)
            for d in m.group(1).split(";") if d.strip()]


@pytest.fixture(scope="module")
def c_layout(tmp_path_factory):
    """{struct: {field: (offset, size)}, '*': (0, sizeof)} from a compiled C program."""
    cc = next((shutil.which(n) for n in (os.environ.get("CC"), "cc", "gcc", "clang")
               if n and shutil.which(n)), None)
    if cc is None:
        pytest.skip("no C compiler (cc, gcc or clang) to read the C layout with")
    lines = ["#include <stdio.h>", "#include <stddef.h>", '#include "powergpu.h"',
             "int main(void) {"]
    for s in RECORDS:
        lines.append(f'  printf("{s} * 0 %zu\\n", sizeof({s}));')
        lines += [f'  printf("{s} {f} %zu %zu\\n", offsetof({s}, {f}), sizeof((({s}*)0)->{f}));'
                  for f in _c_fields(s)]
    d = tmp_path_factory.mktemp("layout")
    (d / "layout.c").write_text("\n".join(lines + ["  return 0;", "}"]) + "\n")
    subprocess.run([cc, "-std=c11", "-I", str(INCLUDE), str(d / "layout.c"), "-o",
                    str(d / "layout")], check=True)
    layout = {}
    for line in subprocess.run([str(d / "layout")], check=True, capture_output=True,
                               text=True).stdout.splitlines():
        s, name, a, b = line.split()
        layout.setdefault(s, {})[name] = (int(a), int(b))
    return layout


@pytest.mark.parametrize("struct,size", [
    ("PowerResultsGeneral", 3808), ("PowerResultsChannel", 776), ("PowerResultsThd", 72),
    ("PowerResultsSymmetricalComponent", 168), ("PowerResultsPeriod", 392), ("RvcResult", 40),
    ("PowerVoltageEvent", 64), ("PowerTenSecondFrequency", 48), ("PowerFlickerPinst", 32),
    ("PowerFlickerPst", 80), ("PowerCycleDetectorSettings", 80), ("PowerCycleEntry", 32)])
def test_record_dtype_has_the_c_layout(struct, size, c_layout):
    assert set(DTYPES) == {"PowerResultsGeneral", "PowerResultsChannel", "PowerResultsThd",
                           "PowerResultsSymmetricalComponent", "PowerResultsPeriod", "RvcResult",
                           "PowerVoltageEvent", "PowerTenSecondFrequency"}
    dtype, fields = RECORDS[struct], dict(c_layout[struct])
    if "reserved" not in dtype.names:  # padding the package leaves out
        fields.pop("reserved", None)
    assert fields.pop("*")[1] == dtype.itemsize == size
    assert set(dtype.names) == set(fields), "dtype fields differ from the C fields"
    for name, (offset, nbytes) in fields.items():
        field_dtype, field_offset = dtype.fields[name][:2]
        assert (field_offset, field_dtype.itemsize) == (offset, nbytes), f"{struct}.{name}"
