"""Calls into libOrvexFactory: one session per call, its result's status
turned into the package's exceptions.

A refusal (a value the store cannot hold, a damaged document) raises
ValueError with the library's message, which names the field and the
value; the other statuses raise the OrvexError subclass for them.
"""

from __future__ import annotations

import ctypes
import json
import math
from typing import Any, Callable

from . import _lib
from .errors import (DeviceNotFoundError, NotIdentifiedError, OrvexError, TransferError,
                     VerifyError)

OK, FILE, USAGE, NO_DEVICE, NOT_OURS, TRANSFER, VERIFY, REFUSED = range(8)

EDITED = 0x0010
DRY_RUN = 0x0002
UNKNOWN_SENSOR_TYPE = 0x0020


def _result(status: int, result: ctypes.c_void_p) -> tuple[int, str, dict]:
    lib = _lib.factory()
    try:
        message = (lib.OrvexFactory_ResultMessage(result) or b"").decode("utf-8", "replace")
        doc = json.loads((lib.OrvexFactory_ResultJson(result) or b"{}").decode("utf-8", "replace"))
    finally:
        lib.OrvexFactory_ResultFree(result)
    doc.pop("notes", None)
    return status, message, doc


def _raise(status: int, message: str, operation: str, index: int | None) -> None:
    if status in (REFUSED, USAGE):
        raise ValueError(message)
    if status == FILE:
        raise OSError(message)
    if status == NO_DEVICE:
        raise DeviceNotFoundError(index if index is not None else -1, operation=operation)
    if status == NOT_OURS:
        raise NotIdentifiedError(f"{operation}: {message}", operation=operation, index=index)
    if status == TRANSFER:
        raise TransferError(f"{operation}: {message}", operation=operation, index=index)
    if status == VERIFY:
        raise VerifyError(f"{operation}: {message}", operation=operation, index=index)
    raise OrvexError(f"{operation}: {message}", operation=operation, index=index)


def call(operation: str, index: int, fn: Callable[[Any, Any], int]) -> dict:
    """Runs ``fn(session, byref(result))`` on a session for /dev/video<index>
    and returns the result's JSON, or raises."""
    lib = _lib.factory()
    session = lib.OrvexFactory_New(index)
    if not session:
        raise DeviceNotFoundError(index, operation=operation)
    try:
        result = ctypes.c_void_p()
        status, message, doc = _result(fn(session, ctypes.byref(result)), result)
    finally:
        lib.OrvexFactory_Free(session)
    if status != OK:
        _raise(status, message, operation, index)
    return doc


def call_without_camera(operation: str, fn: Callable[[Any], int]) -> dict:
    """Runs ``fn(byref(result))`` (no session) and returns its JSON, or raises."""
    result = ctypes.c_void_p()
    status, message, doc = _result(fn(ctypes.byref(result)), result)
    if status != OK:
        _raise(status, message, operation, None)
    return doc


def plain(value: Any) -> Any:
    """A value as JSON carries it to the library: non-finite floats as the
    names the library reads ("NaN", "Infinity", "-Infinity"), NumPy values
    as Python ones, tuples as lists."""
    if hasattr(value, "tolist"):
        value = value.tolist()
    elif hasattr(value, "item"):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def dumps(records: Any) -> bytes:
    return json.dumps(plain(records), allow_nan=False, ensure_ascii=False).encode("utf-8", "surrogateescape")
