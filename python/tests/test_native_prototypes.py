"""The ctypes prototypes match the public C header, function by function."""
import ctypes
import re
from ctypes import (POINTER, c_bool, c_char_p, c_double, c_float, c_int32, c_uint8, c_uint16,
                    c_uint32, c_uint64, c_void_p)
from pathlib import Path

import pytest

from powergpu import _native

HEADER = Path(__file__).resolve().parents[2] / "include" / "powergpu.h"

# Base C types of the header and the ctypes type each must map to.  Struct
# pointers travel as void pointers (the caller passes numpy buffers).
BASE = {
    "PowerModuleHandle": c_void_p,
    "PowerStatusCode": c_int32,
    "PowerGridConfigType": c_int32,
    "uint8_t": c_uint8,
    "uint16_t": c_uint16,
    "int32_t": c_int32,
    "uint32_t": c_uint32,
    "uint64_t": c_uint64,
    "double": c_double,
    "float": c_float,
    "bool": c_bool,
}
STRUCT_POINTERS = {"PowerResultsGeneral*": c_void_p, "PowerResultsPeriod**": POINTER(c_void_p),
                   "char*": c_char_p, "PowerErrorReporter": _native.ErrorReporter}


def _strip_comments(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"//[^\n]*", " ", text)


def parse_header():
    """{name: (return type, [argument types])} of every exported function."""
    text = _strip_comments(HEADER.read_text())
    out = {}
    for m in re.finditer(r"POWERGPU_API\s+([\w\s\*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", text):
        ret, name, args = m.group(1).strip(), m.group(2), m.group(3).strip()
        types = []
        if args and args != "void":
            for arg in args.split(","):
                arg = arg.replace("const ", "").strip()
                am = re.match(r"([\w\s\*]+?)\s*(\w+)$", arg)
                assert am, f"cannot parse argument {arg!r} of {name}"
                types.append(re.sub(r"\s+", "", am.group(1)))
        out[name] = (re.sub(r"\s+", "", ret), types)
    return out


def ctypes_of(ctype):
    if ctype in STRUCT_POINTERS:
        return STRUCT_POINTERS[ctype]
    stars = len(ctype) - len(ctype.rstrip("*"))
    base = BASE[ctype.rstrip("*")]
    for _ in range(stars):
        base = POINTER(base)
    return base


HEADER_FUNCTIONS = parse_header()


def test_header_parse_finds_every_function():
    # 84 flat functions plus the four extensions.
    assert len(HEADER_FUNCTIONS) == 88
    for name in _native.EXTENSIONS:
        assert name in HEADER_FUNCTIONS


def test_prototype_table_names_exactly_the_header_functions():
    assert set(_native.PROTOTYPES) == set(HEADER_FUNCTIONS)
    flat = set(HEADER_FUNCTIONS) - set(_native.EXTENSIONS)
    assert len(flat) == 84


@pytest.mark.parametrize("name", sorted(HEADER_FUNCTIONS))
def test_prototype_matches_header(name):
    ret, args = HEADER_FUNCTIONS[name]
    restype, argtypes = _native.PROTOTYPES[name]
    assert restype is ctypes_of(ret), f"{name}: return type {ret}"
    assert len(argtypes) == len(args), f"{name}: {len(args)} arguments in the header"
    for k, (got, want) in enumerate(zip(argtypes, args)):
        assert got is ctypes_of(want), f"{name}: argument {k} is {want}"


@pytest.mark.parametrize("name", sorted(HEADER_FUNCTIONS))
def test_loaded_library_carries_the_prototype(name):
    lib = _native.load()
    fn = getattr(lib, name)
    restype, argtypes = _native.PROTOTYPES[name]
    assert fn.restype is restype
    assert list(fn.argtypes) == list(argtypes)


def test_error_reporter_type_matches_header_typedef():
    text = _strip_comments(HEADER.read_text())
    m = re.search(r"typedef\s+void\s*\(\s*\*\s*PowerErrorReporter\s*\)\s*\(([^)]*)\)", text)
    assert m and [a.split()[0] for a in m.group(1).replace("const ", "").split(",")] == \
        ["int32_t", "char*"]
    assert _native.ErrorReporter._restype_ is None
    assert _native.ErrorReporter._argtypes_ == (c_int32, c_char_p)


def test_reporter_variable_is_exported():
    lib = _native.load()
    assert ctypes.c_void_p.in_dll(lib, "reportErrorCallbackFunction") is not None


def test_version_matches_header_macros():
    text = HEADER.read_text()
    want = tuple(int(re.search(rf"#define POWERGPU_VERSION_{k} (\d+)", text).group(1))
                 for k in ("MAJOR", "MINOR", "PATCH"))
    assert _native.version() == want


def test_wide_integer_arguments_are_not_truncated(backend):
    # A uint64 start index above 2**32 and a uint16 of 65535 survive the call.
    from powergpu import Module

    with Module(backend) as m:
        m.half_period_values_count = 65535
        assert m.half_period_values_count == 65535
        m.configure(sample_rate=1000.0, buffer_length=100, static_frequency=50.0)
        m.reset(2 ** 33 + 5)
        m.write([[1.0, 1.0]] * 100)
        m.schedule(2 ** 33 + 5, 100, 50.0)
        m.sync()
        r = m.results()
        assert int(r["firstSampleIndex"][0]) == 2 ** 33 + 5
        assert r["time"][0] == pytest.approx((2 ** 33 + 105) / 1000.0, rel=1e-15)
