"""The numpy record dtypes have the byte layout of the C structs.

A small C program, compiled at test time against include/powergpu.h, prints
offsetof and sizeof of every field; each dtype field must sit at the same
offset with the same size, and every C field must have a dtype field.
"""
import os
import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

from powergpu.records import DTYPES

INCLUDE = Path(__file__).resolve().parents[2] / "include"
EXPECTED_SIZES = {"PowerResultsGeneral": 3808, "PowerResultsChannel": 776, "PowerResultsThd": 72,
                  "PowerResultsSymmetricalComponent": 168, "PowerResultsPeriod": 392,
                  "RvcResult": 40}


def _compiler():
    for name in (os.environ.get("CC"), "cc", "gcc", "clang"):
        if name and shutil.which(name):
            return shutil.which(name)
    return None


def _c_fields(struct):
    """Field names of a struct of the header, in order."""
    text = re.sub(r"/\*.*?\*/", " ", (INCLUDE / "powergpu.h").read_text(), flags=re.S)
    m = re.search(r"typedef struct " + struct + r"\s*\{(.*?)\}\s*" + struct + r"\s*;", text, re.S)
    assert m, struct
    names = []
    for decl in m.group(1).split(";"):
        decl = decl.strip()
        if decl:
            names.append(re.match(r".*?(\w+)\s*(\[\s*\d+\s*\])?$", decl, re.S).group(1))
    return names


@pytest.fixture(scope="module")
def c_layout(tmp_path_factory):
    cc = _compiler()
    if cc is None:
        pytest.skip("no C compiler (cc, gcc or clang) to read the C layout with")
    lines = ['#include <stdio.h>', '#include <stddef.h>', '#include "powergpu.h"',
             "int main(void) {"]
    for struct, dtype in DTYPES.items():
        lines.append(f'  printf("{struct} * 0 %zu\\n", sizeof({struct}));')
        for name in _c_fields(struct):
            lines.append(f'  printf("{struct} {name} %zu %zu\\n", offsetof({struct}, {name}), '
                         f"sizeof((({struct}*)0)->{name}));")
    lines += ["  return 0;", "}"]
    d = tmp_path_factory.mktemp("layout")
    src, exe = d / "layout.c", d / "layout"
    src.write_text("\n".join(lines) + "\n")
    subprocess.run([cc, "-std=c11", "-I", str(INCLUDE), str(src), "-o", str(exe)], check=True)
    out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
    layout = {}
    for line in out.splitlines():
        struct, name, a, b = line.split()
        layout.setdefault(struct, {})[name] = (int(a), int(b))
    return layout


@pytest.mark.parametrize("struct", sorted(DTYPES))
def test_struct_size(struct, c_layout):
    assert c_layout[struct]["*"][1] == DTYPES[struct].itemsize == EXPECTED_SIZES[struct]


@pytest.mark.parametrize("struct", sorted(DTYPES))
def test_every_c_field_has_the_same_offset_and_size(struct, c_layout):
    dtype = DTYPES[struct]
    c_fields = {k: v for k, v in c_layout[struct].items() if k != "*"}
    assert list(c_fields) == [n for n in _c_fields(struct)]
    assert set(dtype.names) == set(c_fields), "dtype fields differ from the C fields"
    for name, (offset, size) in c_fields.items():
        field_dtype, field_offset = dtype.fields[name][:2]
        assert field_offset == offset, f"{struct}.{name}: offset {field_offset} != C {offset}"
        assert field_dtype.itemsize == size, f"{struct}.{name}: size {field_dtype.itemsize} != {size}"


def test_general_record_nested_offsets_by_hand():
    # Spot checks of nested fields against the documented byte positions.
    g = DTYPES["PowerResultsGeneral"]
    ch = DTYPES["PowerResultsChannel"]
    assert g.fields["channels"][1] + 2 * ch.itemsize + ch.fields["thdU"][1] == 56 + 1552 + 216
    assert ch.fields["phasesI"][1] == 768
    p = DTYPES["PowerResultsPeriod"]
    assert p.fields["rvcU"][1] + DTYPES["RvcResult"].fields["duration"][1] == 144 + 24
    assert np.dtype(p.fields["symmetricalComponent"][0]).fields["iRatio"][1] == 160
