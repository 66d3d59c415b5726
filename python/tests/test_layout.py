"""The package's record layouts against the C compiler's view of the headers."""

import ctypes
import os
import subprocess

import pytest

from orvex import _records


def probe() -> dict[str, tuple[int, int]]:
    """name -> (offset, size), from the C program built beside the tests."""
    path = os.environ.get("ORVEX_LAYOUT_PROBE")
    if not path:
        pytest.fail("ORVEX_LAYOUT_PROBE does not name the layout probe")
    out = subprocess.run([path], check=True, capture_output=True, text=True).stdout
    rows = {}
    for line in out.splitlines():
        name, offset, size = line.split()
        rows[name] = (int(offset), int(size))
    return rows


def test_records_match_the_c_headers():
    c = probe()
    for struct_name, ctype in _records.STRUCTS.items():
        assert ctypes.sizeof(ctype) == c[struct_name][1], struct_name
        c_fields = {k.split(".", 1)[1]: v for k, v in c.items() if k.startswith(struct_name + ".")}
        py_fields = {name: (getattr(ctype, name).offset, getattr(ctype, name).size)
                     for name, _ in ctype._fields_}
        assert py_fields == c_fields, struct_name


def test_abi_types_match_the_c_headers():
    c = probe()
    for name, ctype in _records.ABI_TYPES.items():
        assert ctypes.sizeof(ctype) == c[name][1], name
