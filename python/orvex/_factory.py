"""libOrvexFactory through ctypes: sessions and results.

A refusal (a value the store cannot hold, another unit's backup, a guarded
region) raises RefusedError, a ValueError too, with the library's message,
which names the field and the value; the other statuses raise the
OrvexError subclass for them.

The safe operations (unit identity, backups, calibration documents, guarded
flash writes, burns that keep the calibration) live in that library so
that every front end gets the same answers; this module turns its results
into Python values and its refusals into the package's exceptions.
"""

from __future__ import annotations

import ctypes
import json
import math
import os
import warnings
from typing import Any, Callable, Optional

from . import _lib
from .errors import (ArchiveWarning, CameraBusyError, DeviceNotFoundError, NotIdentifiedError, OrvexError,
                     RefusedError, TransferError, VerifyError)

OK, FILE, USAGE, NO_DEVICE, NOT_OURS, TRANSFER, VERIFY, REFUSED = range(8)
CANCELLED = 130

FORCE = 0x0001
DRY_RUN = 0x0002
INCLUDE_CALIBRATION = 0x0004
NO_VERIFY = 0x0008
EDITED = 0x0010
UNKNOWN_SENSOR_TYPE = 0x0020

_vp, _long, _int, _uint = ctypes.c_void_p, ctypes.c_long, ctypes.c_int, ctypes.c_uint
_u8p = ctypes.POINTER(ctypes.c_ubyte)
_resultp = ctypes.POINTER(ctypes.c_void_p)
LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)
PROGRESS_CALLBACK = _lib.FACTORY_PROGRESS

_PROTOTYPES = {
    "OrvexFactory_New": (_vp, [_int]),
    "OrvexFactory_Free": (None, [_vp]),
    "OrvexFactory_SetLog": (None, [_vp, LOG_CALLBACK, _vp]),
    "OrvexFactory_SetProgress": (None, [_vp, PROGRESS_CALLBACK, _vp]),
    "OrvexFactory_SetWait": (None, [_vp, _long]),
    "OrvexFactory_SetBackupDir": (_int, [_vp, ctypes.c_char_p]),
    "OrvexFactory_SetFlashType": (_int, [_vp, ctypes.c_char_p]),
    "OrvexFactory_SetCommand": (None, [_vp, ctypes.c_char_p]),
    "OrvexFactory_ResultStatus": (_int, [_vp]),
    "OrvexFactory_ResultMessage": (ctypes.c_char_p, [_vp]),
    "OrvexFactory_ResultJson": (ctypes.c_char_p, [_vp]),
    "OrvexFactory_ResultAddress": (_long, [_vp]),
    "OrvexFactory_ResultErrno": (_int, [_vp]),
    "OrvexFactory_ResultFree": (None, [_vp]),
    "OrvexFactory_GuardRegion": (_int, [_long, _long, _uint, _resultp]),
    "OrvexFactory_FlashWrite": (_int, [_vp, _long, _u8p, _long, _uint, _resultp]),
    "OrvexFactory_FlashErase": (_int, [_vp, _long, _long, _uint, _resultp]),
    "OrvexFactory_FlashVerify": (_int, [_vp, _long, _u8p, _long, _resultp]),
    "OrvexFactory_Backup": (_int, [_vp, ctypes.c_char_p, _resultp]),
    "OrvexFactory_Restore": (_int, [_vp, ctypes.c_char_p, _uint, _resultp]),
    "OrvexFactory_SetArchive": (_int, [_vp, ctypes.c_char_p]),
    "OrvexFactory_ArchiveStatus": (_int, [ctypes.c_char_p, _resultp]),
    "OrvexFactory_ArchiveHistory": (_int, [ctypes.c_char_p, ctypes.c_char_p, _resultp]),
    "OrvexFactory_ArchiveExport": (_int, [ctypes.c_char_p, ctypes.c_char_p, _resultp]),
    "OrvexFactory_ArchiveSummary": (_int, [ctypes.c_char_p, ctypes.c_char_p, _resultp]),
    "OrvexFactory_ArchiveStationRun": (_int, [ctypes.c_char_p, ctypes.c_char_p, _resultp]),
}

_factory: Optional[ctypes.CDLL] = None


def library() -> ctypes.CDLL:
    """libOrvexFactory, from the folder libOrvexBase was found in."""
    global _factory
    if _factory is None:
        _factory = _lib._prototype(_lib.factory(), _PROTOTYPES)
    return _factory


def _error(status: int, message: str, doc: dict, index: Optional[int], operation: str,
           address: int) -> OrvexError:
    kw: dict[str, Any] = {"operation": operation, "index": index}
    if status == REFUSED:
        return RefusedError(message, result=doc, **kw)
    if status == VERIFY:
        return VerifyError(message, offset=address if address >= 0 else 0, **kw)
    if status == TRANSFER:
        return TransferError(message, address=address if address >= 0 else None, **kw)
    if status == NOT_OURS:
        return NotIdentifiedError(message, **kw)
    if status == NO_DEVICE:
        if "in use" in message:
            return CameraBusyError(message, **kw)
        return DeviceNotFoundError(index if index is not None else 0, operation=operation)
    if status == USAGE:
        return ValueError(message)  # type: ignore[return-value]
    if status == FILE:
        return OSError(message)  # type: ignore[return-value]
    return OrvexError(message, **kw)


def archive_location(archive: Optional[str]) -> str:
    """The archive operations are recorded in: ``archive`` when given ("" for
    none), else $ORVEX_ARCHIVE, the variable orvexctl reads too."""
    if archive is not None:
        return os.fspath(archive)
    return os.environ.get("ORVEX_ARCHIVE", "")


def _warn_unrecorded(doc: dict, operation: str) -> None:
    # The library never lets the archive change an operation's outcome: an
    # archive it could not open or write shows only in the result. Said
    # here as a warning, so that a script does not lose its records unseen.
    archived = doc.get("archive")
    if isinstance(archived, dict) and archived.get("recorded") is False:
        warnings.warn(ArchiveWarning(f"{operation or 'operation'}: archive {archived.get('archive', '')}: "
                                     f"{archived.get('error', 'not written')}; this operation is not recorded"),
                      stacklevel=4)


def call(fn: Callable[..., int], *args: Any, index: Optional[int] = None, operation: str = "") -> dict:
    """Calls an operation whose last argument is the result pointer; its
    JSON on success, else the matching exception with the library's message."""
    lib = library()
    result = ctypes.c_void_p()
    status = fn(*args, ctypes.byref(result))
    try:
        message = (lib.OrvexFactory_ResultMessage(result) or b"").decode("utf-8", "replace")
        doc = json.loads((lib.OrvexFactory_ResultJson(result) or b"{}").decode("utf-8", "replace"))
        address = lib.OrvexFactory_ResultAddress(result)
    finally:
        lib.OrvexFactory_ResultFree(result)
    _warn_unrecorded(doc, operation)
    if status != OK:
        raise _error(status, message, doc, index, operation, address)
    doc.pop("notes", None)
    return doc


class Session:
    """A library session on /dev/video<index>: it holds the camera's lock
    while alive, so one script's steps are never interleaved with another
    process's queries. ``with Session(0) as s: ...``"""

    def __init__(self, index: int = 0, *, backup_dir: Optional[str] = None, wait: float = 30,
                 flash_type: str = "auto", progress: Optional[Callable[[str, int, int], None]] = None,
                 archive: Optional[str] = None):
        lib = library()
        self.index = index
        self.notes: list[str] = []
        self._progress = progress
        self._raised: list[BaseException] = []
        self._handle = lib.OrvexFactory_New(index)
        if not self._handle:
            raise ValueError(f"no session for video index {index}")
        self._log_cb = LOG_CALLBACK(self._on_log)
        self._progress_cb = PROGRESS_CALLBACK(self._on_progress)
        lib.OrvexFactory_SetLog(self._handle, self._log_cb, None)
        lib.OrvexFactory_SetProgress(self._handle, self._progress_cb, None)
        lib.OrvexFactory_SetWait(self._handle, int(wait))
        lib.OrvexFactory_SetCommand(self._handle, b"python3 orvex")
        if backup_dir is not None:
            lib.OrvexFactory_SetBackupDir(self._handle, backup_dir.encode())
        if lib.OrvexFactory_SetFlashType(self._handle, flash_type.encode()) != 1:
            raise ValueError(f"unknown flash type {flash_type!r}")
        set_archive(self._handle, archive_location(archive))

    def _on_log(self, _ctx: Optional[int], _level: int, message: bytes) -> None:
        self.notes.append(message.decode("utf-8", "replace"))

    def _on_progress(self, _ctx: Optional[int], phase: bytes, done: int, total: int) -> None:
        if self._progress is None or self._raised:
            return
        try:
            self._progress(phase.decode(), done, total)
        except BaseException as e:  # must not unwind through C
            self._raised.append(e)

    @property
    def handle(self) -> int:
        if not self._handle:
            raise ValueError("the session is closed")
        return self._handle

    def call(self, name: str, *args: Any, operation: str = "") -> dict:
        """Runs the library operation ``name`` on this session."""
        doc = call(getattr(library(), name), self.handle, *args, index=self.index, operation=operation or name)
        if self._raised:
            e, self._raised = self._raised[0], []
            raise e
        return doc

    def close(self) -> None:
        """Releases the camera's lock."""
        if self._handle:
            library().OrvexFactory_Free(self._handle)
            self._handle = None

    def __enter__(self) -> "Session":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass


def guard(addr: int, length: int, include_calibration: bool) -> None:
    """Raises RefusedError when [addr, addr+length) touches the calibration
    records or an identification block's sector and is not included."""
    call(library().OrvexFactory_GuardRegion, addr, length, INCLUDE_CALIBRATION if include_calibration else 0,
         operation="flash write")


def set_archive(session: int, where: str) -> None:
    """Has the library record the session's operations in ``where`` ("" for
    none); the library opens it when an operation runs."""
    if library().OrvexFactory_SetArchive(session, where.encode()) != 1:
        raise MemoryError("the library could not take the archive's name")


def call_on_camera(operation: str, index: int, fn: Callable[[Any, Any], int],
                   archive: Optional[str] = None) -> dict:
    """Runs ``fn(session, byref(result))`` on a session for /dev/video<index>
    (recorded in ``archive``, see :func:`archive_location`) and returns the
    result's JSON, or raises."""
    lib = library()
    session = lib.OrvexFactory_New(index)
    if not session:
        raise DeviceNotFoundError(index, operation=operation)
    try:
        set_archive(session, archive_location(archive))
        return call(lambda r: fn(session, r), index=index, operation=operation)
    finally:
        lib.OrvexFactory_Free(session)


def call_without_camera(operation: str, fn: Callable[[Any], int]) -> dict:
    """Runs ``fn(byref(result))`` (no session) and returns its JSON, or raises."""
    return call(fn, operation=operation)


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
