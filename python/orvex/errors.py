"""Exceptions: every failure of the libraries becomes an OrvexError."""

from __future__ import annotations

import os
from typing import Optional


class OrvexError(Exception):
    """Base class. ``operation`` names what failed; ``index`` is the video
    index involved, when there is one."""

    def __init__(self, message: str, *, operation: str = "", index: Optional[int] = None):
        super().__init__(message)
        self.operation = operation
        self.index = index


class LibraryNotFoundError(OrvexError):
    """libOrvexBase / libOrvexConfig could not be loaded."""


class DeviceNotFoundError(OrvexError):
    """The video device could not be opened; ``errno`` says why, when known."""

    def __init__(self, index: int, errno: int = 0, *, operation: str = "open"):
        why = f": {os.strerror(errno)}" if errno else ""
        super().__init__(f"cannot open /dev/video{index}{why}", operation=operation, index=index)
        self.errno = errno


class CameraBusyError(OrvexError):
    """A camera is already open in this process. The libraries hold one
    camera per process, and every calibration-store operation opens and
    closes the camera itself, so it would close the caller's connection."""


class CameraClosedError(OrvexError):
    """The Camera object was used after it was closed."""


class NotIdentifiedError(OrvexError):
    """The camera's flash has no valid identification block: the
    calibration store leaves such a camera untouched."""


class TransferError(OrvexError):
    """A library call reported failure, or a store read delivered nothing.
    ``address`` is the register or flash address involved, when there is one."""

    def __init__(self, message: str, *, operation: str = "", index: Optional[int] = None,
                 address: Optional[int] = None):
        super().__init__(message, operation=operation, index=index)
        self.address = address


class VerifyError(OrvexError):
    """What was read back differs from what was written. ``offset`` is the
    first differing byte within the record or range."""

    def __init__(self, message: str, *, operation: str = "", index: Optional[int] = None,
                 offset: int = 0, expected: bytes = b"", actual: bytes = b""):
        super().__init__(message, operation=operation, index=index)
        self.offset = offset
        self.expected = expected
        self.actual = actual


class InvalidRecordError(OrvexError):
    """The flash holds a record the store cannot deliver, e.g. a
    rectification record with dimensions outside 0..25 x 0..18 (a
    never-written record reads as -1 x -1)."""

    def __init__(self, message: str, *, operation: str = "", index: Optional[int] = None,
                 rows: Optional[int] = None, cols: Optional[int] = None):
        super().__init__(message, operation=operation, index=index)
        self.rows = rows
        self.cols = cols


class RefusedError(OrvexError, ValueError):
    """Refused for safety before anything was changed: another unit's
    backup, a guarded flash region, a value the calibration store cannot
    hold, an image that does not fit the camera, a backup file that already
    exists. The message says why and what overrides it. ``result`` is
    the library's result object (what it had learned)."""

    def __init__(self, message: str, *, operation: str = "", index: Optional[int] = None,
                 result: Optional[dict] = None):
        super().__init__(message, operation=operation, index=index)
        self.result = result or {}


class ArchiveWarning(UserWarning):
    """The station archive could not be opened or written: the operation
    went ahead (its outcome is its own) but is not recorded."""
