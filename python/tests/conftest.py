"""The tests run under the virtual camera launcher:

    orvex-vcam --in-process -- python3 -m pytest python/tests

with ORVEX_LIB_DIR naming the built libraries. The in-process camera is the
launcher's default /dev/video0 (factory calibration). Tests that need a
camera of their own (fresh, without identification block, with faults, or
one a burn may wipe) run a short script in a child process under
``orvex-vcam --in-process --config STRING`` (ORVEX_VCAM_BIN). The children
start no programs of their own, so each keeps its camera in its own
process: a flash read through the shared device costs a socket round trip
per query, which made up most of the suite's time. The shared device is
covered where programs really share a camera (the worker-pool tests).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from typing import Any

import pytest

RESULT_MARK = "RESULT "

# Prepended to every child script: runs the body, prints one RESULT line
# with what it returned or the exception class it raised.
_PRELUDE = """
import json, math, sys
import orvex
from orvex import calibration as cal

def _encode(v):
    if isinstance(v, float) and math.isnan(v):
        return "nan"
    if isinstance(v, (list, tuple)):
        return [_encode(x) for x in v]
    if isinstance(v, dict):
        return {k: _encode(x) for k, x in v.items()}
    if isinstance(v, bytes):
        return v.hex()
    return v

def _main():
{body}

try:
    _out = {"ok": _encode(_main())}
except orvex.OrvexError as e:
    _out = {"error": type(e).__name__, "message": str(e)}
print("RESULT " + json.dumps(_out))
"""


def pytest_configure(config: pytest.Config) -> None:
    if "ORVEX_VCAM" not in os.environ:
        raise pytest.UsageError("run the tests under the virtual camera: "
                                "orvex-vcam -- python3 -m pytest python/tests")


def run_child(vcam_config: str, body: str, *, numpy: bool = False, timeout: float = 300) -> dict[str, Any]:
    """Runs ``body`` (the text of a function returning a JSON-able value)
    against a camera configured by ``vcam_config``; returns {"ok": value} or
    {"error": class name, "message": text}. The child goes without NumPy
    unless asked (its import is slow, and the grid then comes as lists)."""
    launcher = os.environ.get("ORVEX_VCAM_BIN")
    if not launcher:
        pytest.fail("ORVEX_VCAM_BIN does not name the launcher")
    script = _PRELUDE.replace("{body}", textwrap.indent(textwrap.dedent(body), "    "))
    if not numpy:
        script = "import sys\nsys.modules['numpy'] = None\n" + script
    proc = subprocess.run([launcher, "--in-process", "--config", vcam_config, "--", sys.executable, "-c", script],
                          capture_output=True, text=True, timeout=timeout)
    lines = [line for line in proc.stdout.splitlines() if line.startswith(RESULT_MARK)]
    if proc.returncode != 0 or len(lines) != 1:
        pytest.fail(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return json.loads(lines[0][len(RESULT_MARK):])


def query_count(vcam_config: str, body: str, tmp_path: Any) -> int:
    """Number of extension-unit queries ``body`` issues on that camera."""
    trace = tmp_path / "trace.jsonl"
    sep = "," if ":" in vcam_config else ":"
    result = run_child(f"{vcam_config}{sep}trace={trace}", body)
    assert "ok" in result, result
    records = [json.loads(line) for line in trace.read_text().splitlines() if line]
    return sum(1 for r in records if r["kind"] == "query")


def run_program(vcam_config: str, args: list[str], timeout: float = 300) -> subprocess.CompletedProcess:
    """Runs a Python program with ``args`` under its own virtual camera."""
    launcher = os.environ["ORVEX_VCAM_BIN"]
    return subprocess.run([launcher, "--in-process", "--config", vcam_config, "--", sys.executable, *args],
                          capture_output=True, text=True, timeout=timeout)
