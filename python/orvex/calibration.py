"""The sensor's calibration records in the camera's flash.

Reads go through libOrvexConfig; saves, and the calibration document
(the JSON that ``orvexctl calib export`` writes), through libOrvexFactory,
which validates every value the way every other front end does: a value
the store's types cannot hold exactly (an integer beyond 32 bits or with a
fraction, a float that is not finite, beyond float32's range or that would
be stored as 0), a sensor type that is not a known one (unless
``unknown_sensor_type=True``), base points outside the sensor's image or
beyond the store's limits raise ValueError naming the field and the
value, and nothing is written. Every save is read back (VerifyError on a
difference).

Each call opens the camera by video index, checks its identification
block, works and closes it again, so none may run while a Camera is open
(CameraBusyError). The store's C functions return nothing; a read that
leaves its output untouched failed. Reads therefore start from a sentinel
record and raise when it comes back unchanged: NotIdentifiedError for a
camera without identification block, DeviceNotFoundError when it cannot
be opened, TransferError otherwise.

Values are stored as the C types hold them: floats in single precision.
The base grid is a NumPy int32 array of shape (rows, cols, 2) when NumPy is
installed, else a list of rows of [x, y] lists.
"""

from __future__ import annotations

import ctypes
import dataclasses
import struct
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Sequence, TypeVar

from . import _factory, _lib, _records
from .camera import _ensure_no_camera_open, parse_id_block
from .errors import DeviceNotFoundError, InvalidRecordError, NotIdentifiedError, TransferError

try:
    import numpy as _np
except ImportError:  # NumPy is optional
    _np = None

HAVE_NUMPY = _np is not None

T = TypeVar("T")

# Fill bytes of the sentinel records. A successful read replaces the
# sentinel; a flash record that happens to equal the first is told apart by
# the second, its complement.
_SENTINELS = (0x5A, 0xA5)


@dataclass
class MarkerConfig:
    """The marker-grid configuration: ten int32 fields and theta (float32, radians)."""

    x0: int = 0
    y0: int = 0
    dx: int = 0
    dy: int = 0
    theta: float = 0.0
    ncol: int = 0
    nrow: int = 0
    width: int = 0
    height: int = 0
    lower_threshold: int = 0
    min_area: int = 0

    def to_dict(self) -> dict[str, Any]:
        """The fields as the calibration document's "marker" record holds them."""
        return dataclasses.asdict(self)

    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> "MarkerConfig":
        """A record from a dict with every field (a document's "marker")."""
        return cls(**{name: d[name] for name, _ in _records.MARKER_FIELDS})

    def _to_struct(self) -> _records.MarkerConfigStruct:
        return _records.MarkerConfigStruct(*(getattr(self, n) for n, _ in _records.MARKER_FIELDS))

    @classmethod
    def _from_struct(cls, s: _records.MarkerConfigStruct) -> "MarkerConfig":
        return cls(*(getattr(s, n) for n, _ in _records.MARKER_FIELDS))


def _grid_rows(grid: Any) -> list[list[list[int]]]:
    return grid.tolist() if hasattr(grid, "tolist") else [[list(p) for p in row] for row in grid]


def make_grid(pairs: Sequence[int], rows: int, cols: int) -> Any:
    """A base grid from rows x cols pairs in memory order."""
    if _np is not None:
        return _np.array(pairs, dtype=_np.int32).reshape(rows, cols, 2)
    return [[[pairs[2 * (cols * i + j)], pairs[2 * (cols * i + j) + 1]] for j in range(cols)]
            for i in range(rows)]


@dataclass(eq=False)
class RectifyConfig:
    """The rectification record: four float32 values, four int32 paddings,
    and rows x cols base points (int32 pairs, image positions)."""

    rotation: float = 0.0
    translation_x: float = 0.0
    translation_y: float = 0.0
    scale: float = 1.0
    padding: tuple[int, int, int, int] = (0, 0, 0, 0)
    rows: int = 0
    cols: int = 0
    grid: Any = field(default_factory=list)  # (rows, cols, 2): see the module text

    @classmethod
    def with_default_grid(cls, rows: int, cols: int, **values: Any) -> "RectifyConfig":
        """A record whose grid holds each cell's own (row, column) index."""
        pairs = [v for i in range(rows) for j in range(cols) for v in (i, j)]
        return cls(rows=rows, cols=cols, grid=make_grid(pairs, rows, cols), **values)

    def pairs(self) -> list[int]:
        """The grid as the flat row-major sequence the library stores."""
        flat = [v for row in _grid_rows(self.grid) for p in row for v in p]
        return [int(v) for v in flat]

    def check(self) -> None:
        """Raises ValueError unless the record can be stored and read back."""
        if not 0 <= self.rows <= _records.RECTIFY_MAX_ROWS or not 0 <= self.cols <= _records.RECTIFY_MAX_COLS:
            raise ValueError(f"grid of {self.rows} x {self.cols}: the store keeps 0..25 rows and 0..18 columns")
        shape_ok = (len(_grid_rows(self.grid)) == self.rows
                    and all(len(r) == self.cols and all(len(p) == 2 for p in r) for r in _grid_rows(self.grid)))
        if not shape_ok:
            raise ValueError(f"grid does not hold {self.rows} x {self.cols} pairs")
        if len(self.padding) != 4:
            raise ValueError("padding holds four values")

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, RectifyConfig):
            return NotImplemented
        return self._header_bytes() == other._header_bytes() and self.pairs() == other.pairs()

    def _header_bytes(self) -> bytes:
        return bytes(self._to_struct(None))[:_HEADER_SIZE]

    def to_dict(self) -> dict[str, Any]:
        """The record as plain values (the grid as nested lists)."""
        d = {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}
        d["padding"] = list(self.padding)
        d["grid"] = _grid_rows(self.grid)
        return d

    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> "RectifyConfig":
        """The record from :meth:`to_dict`'s form."""
        rows, cols = int(d["rows"]), int(d["cols"])
        pairs = [int(v) for row in d["grid"] for p in row for v in p]
        return cls(d["rotation"], d["translation_x"], d["translation_y"], d["scale"],
                   tuple(d["padding"]), rows, cols, make_grid(pairs, rows, cols))  # type: ignore[arg-type]

    def _to_struct(self, grid: Optional[ctypes.Array]) -> _records.RectifyConfigStruct:
        s = _records.RectifyConfigStruct(self.rotation, self.translation_x, self.translation_y, self.scale,
                                         (ctypes.c_int32 * 4)(*self.padding), self.rows, self.cols)
        if grid is not None:
            s.base_grid = ctypes.cast(grid, ctypes.POINTER(ctypes.c_int32))
        return s


_HEADER_SIZE = _records.RectifyConfigStruct.base_grid.offset


# ------------------------------------------------------------ shared steps

def set_debug(enabled: bool) -> None:
    """The store's console output (standard output of this process)."""
    _lib.debug_flag().value = 1 if enabled else 0


def _diagnose(index: int, operation: str) -> None:
    """After a read that delivered nothing: raises when the camera cannot be
    opened or carries no identification block; returns when it is one the
    store works on."""
    lib = _lib.base()
    ctypes.set_errno(0)
    if lib.OrvexTac_Init(index) != 1:
        raise DeviceNotFoundError(index, ctypes.get_errno(), operation=operation)
    try:
        blocks = []
        for addr, *_ in _records.ID_BLOCKS:
            buf = (ctypes.c_ubyte * _records.ID_BLOCK_SIZE)()
            if lib.OrvexTac_SerialFlashRead(addr, buf, _records.ID_BLOCK_SIZE) != 1:
                raise TransferError(f"{operation}: reading the identification block at {addr:#x} failed",
                                    operation=operation, index=index, address=addr)
            blocks.append(parse_id_block(addr, bytes(buf)))
    finally:
        lib.OrvexTac_UnInit()
    if not any(b.valid for b in blocks):
        raise NotIdentifiedError(f"/dev/video{index} has no valid identification block; the calibration "
                                 "store leaves it alone", operation=operation, index=index)


def _store_read(index: int, operation: str, attempt: Callable[[int], Optional[T]]) -> T:
    """Runs ``attempt(fill)``, which returns None when the sentinel record
    filled with ``fill`` came back untouched."""
    _ensure_no_camera_open(operation, index)
    result = attempt(_SENTINELS[0])
    if result is not None:
        return result
    _diagnose(index, operation)
    result = attempt(_SENTINELS[1])
    if result is not None:
        return result
    raise TransferError(f"{operation}: /dev/video{index} delivered no record (transfer failure)",
                        operation=operation, index=index)


def _filled(ctype: type, fill: int) -> Any:
    obj = ctype()
    ctypes.memset(ctypes.byref(obj), fill, ctypes.sizeof(obj))
    return obj


# ------------------------------------------------------------ marker configuration

def _read_marker_raw(index: int) -> bytes:
    cfg = _lib.config()

    def attempt(fill: int) -> Optional[bytes]:
        rec = _filled(_records.MarkerConfigStruct, fill)
        before = bytes(rec)
        cfg.ReadMarkerConfig(index, ctypes.byref(rec))
        return None if bytes(rec) == before else bytes(rec)

    return _store_read(index, "read marker configuration", attempt)


def read_marker_config(index: int = 0) -> MarkerConfig:
    """The stored marker configuration (a never-written one reads as -1s and NaN)."""
    return MarkerConfig._from_struct(_records.MarkerConfigStruct.from_buffer_copy(_read_marker_raw(index)))


def save_marker_config(config: MarkerConfig, index: int = 0, *, verify: bool = True) -> None:
    """Saves the marker configuration, validated and read back.

    ``verify`` is kept for existing callers: the library always reads the
    record back."""
    write_records({"marker": config.to_dict()}, index, _operation="save marker configuration")


# ------------------------------------------------------------ sensor type

def _encode_sensor_type(text: str | bytes) -> bytes:
    raw = text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")
    if b"\x00" in raw:
        raise ValueError("a sensor type cannot hold a NUL byte")
    if len(raw) >= _records.SENSOR_TYPE_CAPACITY:
        raise ValueError(f"a sensor type holds at most {_records.SENSOR_TYPE_CAPACITY - 1} bytes, "
                         f"not {len(raw)}")
    return raw


def read_sensor_type_bytes(index: int = 0) -> bytes:
    """The stored text as bytes (a never-written record: 128 bytes 0xFF)."""
    cfg = _lib.config()
    size = _records.SENSOR_TYPE_CAPACITY + 1

    def attempt(fill: int) -> Optional[bytes]:
        # No NUL in the sentinel: a read always stores one.
        buf = ctypes.create_string_buffer(bytes([fill]) * size, size)
        cfg.GetSensorType(index, buf)
        raw = buf.raw
        return None if b"\x00" not in raw else raw.split(b"\x00", 1)[0]

    return _store_read(index, "read sensor type", attempt)


def read_sensor_type(index: int = 0) -> str:
    """The stored text, decoded as UTF-8 (undecodable bytes kept as surrogates)."""
    return read_sensor_type_bytes(index).decode("utf-8", "surrogateescape")


def save_sensor_type(text: str | bytes, index: int = 0, *, verify: bool = True,
                     unknown_sensor_type: bool = False) -> None:
    """Saves the sensor type, a known one (stereo-nir-640x480,
    stereo-nir-1280x800; the refusal lists them) unless
    ``unknown_sensor_type`` (then a WIDTHxHEIGHT in the text still names
    the image base points must lie in). ValueError for another type, a NUL
    byte, more than 127 bytes or base points outside the type's image."""
    raw = _encode_sensor_type(text)
    try:
        decoded = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise ValueError("a sensor type is saved as UTF-8 text; these bytes are not UTF-8") from None
    write_records({"sensor_type": decoded}, index, unknown_sensor_type=unknown_sensor_type,
                  _operation="save sensor type")


# ------------------------------------------------------------ extra parameters

def _read_extra_params_raw(count: int, index: int) -> bytes:
    if not 0 <= count <= _records.EXTRA_PARAMS_MAX:
        raise ValueError(f"count {count} outside 0..{_records.EXTRA_PARAMS_MAX}")
    if count == 0:
        return b""
    cfg = _lib.config()

    def attempt(fill: int) -> Optional[bytes]:
        values = _filled(ctypes.c_float * count, fill)
        before = bytes(values)
        cfg.ReadExtraParams(index, values, count)
        return None if bytes(values) == before else bytes(values)

    return _store_read(index, "read extra parameters", attempt)


def read_extra_params(count: int, index: int = 0) -> list[float]:
    """The first ``count`` stored values (NaN where none was stored)."""
    return list(struct.unpack(f"<{count}f", _read_extra_params_raw(count, index)))


def save_extra_params(values: Sequence[float], index: int = 0, *, verify: bool = True) -> None:
    """Saves 1 to 255 float32 values (none: erases the record). NaN, the
    infinities and values beyond float32's range raise ValueError naming
    the value."""
    count = len(values)
    if count > _records.EXTRA_PARAMS_MAX:
        raise ValueError(f"at most {_records.EXTRA_PARAMS_MAX} values, not {count}")
    write_records({"extra_params": list(values) if count else None}, index, _operation="save extra parameters")


# ------------------------------------------------------------ rectification record

def _read_rectify_raw(index: int) -> tuple[bytes, list[int]]:
    """The header as stored (40 bytes) and the grid's values."""
    operation = "read rectification record"
    cfg = _lib.config()

    def attempt(fill: int) -> Optional[tuple[bytes, list[int]]]:
        rec = _filled(_records.RectifyConfigStruct, fill)
        rec.base_grid = None  # the library frees what it finds here
        before = bytes(rec)[:_HEADER_SIZE]
        cfg.ReadRectifyConfig(index, ctypes.byref(rec))
        if not rec.base_grid and bytes(rec)[:_HEADER_SIZE] == before:
            return None
        try:
            rows, cols = rec.rows, rec.cols
            if not rec.base_grid or rows < 0 or cols < 0:
                raise InvalidRecordError(f"{operation}: the flash holds a record of {rows} x {cols} "
                                         "(never written, or saved with dimensions the store refuses)",
                                         operation=operation, index=index, rows=rows, cols=cols)
            return bytes(rec)[:_HEADER_SIZE], list(rec.base_grid[:2 * rows * cols])
        finally:
            if rec.base_grid:
                _lib.free(ctypes.cast(rec.base_grid, ctypes.c_void_p))

    return _store_read(index, operation, attempt)


def read_rectify_config(index: int = 0) -> RectifyConfig:
    """The stored rectification record with its base grid; InvalidRecordError
    for one the store cannot deliver (never written, or beyond its limits)."""
    header, pairs = _read_rectify_raw(index)
    h = _records.RectifyConfigStruct.from_buffer_copy(header + bytes(ctypes.sizeof(_records.RectifyConfigStruct)
                                                                     - _HEADER_SIZE))
    return RectifyConfig(h.rotation, h.translation_x, h.translation_y, h.scale, tuple(h.padding),  # type: ignore[arg-type]
                         h.rows, h.cols, make_grid(pairs, h.rows, h.cols))


def save_rectify_config(config: RectifyConfig, index: int = 0, *, verify: bool = True) -> None:
    """Saves the rectification record, validated and read back: at most
    25 x 18 points, rows x cols of them, each an int32 pair inside the
    sensor type's image (a float grid with fractions raises ValueError)."""
    points = [p for row in _grid_rows(config.grid) for p in row]
    record = {"rotation": config.rotation, "translation_x": config.translation_x,
              "translation_y": config.translation_y, "scale": config.scale,
              "padding": list(config.padding), "rows": config.rows, "cols": config.cols,
              "base_grid": points}
    write_records({"rectify": record}, index, _operation="save rectification record")


# ------------------------------------------------------------ the calibration document

def write_records(records: dict[str, Any], index: int = 0, *, unknown_sensor_type: bool = False,
                  dry_run: bool = False, archive: Optional[str] = None,
                  _operation: str = "write calibration records") -> dict[str, Any]:
    """Writes the records ``records`` names ("marker", "sensor_type",
    "extra_params", "rectify", in the document's form; None erases one),
    validated as an import is and read back; the others stay. Returns the
    library's result ("records", "was", "checks", "changes"). The edit is
    recorded in ``archive`` (None: $ORVEX_ARCHIVE; "" none)."""
    _ensure_no_camera_open(_operation, index)
    flags = (_factory.UNKNOWN_SENSOR_TYPE if unknown_sensor_type else 0) | (_factory.DRY_RUN if dry_run else 0)
    text = _factory.dumps(records)
    return _factory.call_on_camera(_operation, index,
                         lambda s, r: _lib.factory().OrvexFactory_CalibWrite(s, text, flags, r), archive)


def read_document(index: int = 0) -> dict[str, Any]:
    """The calibration document ``orvexctl calib export`` would write:
    {"format", "version", "records", "checksum"}. A non-finite value the
    flash holds appears as "NaN", "Infinity" or "-Infinity"."""
    _ensure_no_camera_open("read calibration document", index)
    return _factory.call_on_camera("read calibration document", index,
                         lambda s, r: _lib.factory().OrvexFactory_CalibRead(s, r))["document"]


def export_document(path: str, index: int = 0) -> str:
    """Writes the calibration document to ``path`` (replaced atomically);
    returns its checksum."""
    _ensure_no_camera_open("export calibration", index)
    doc = _factory.call_on_camera("export calibration", index,
                        lambda s, r: _lib.factory().OrvexFactory_CalibExport(s, str(path).encode(), r))
    return doc["checksum"]


def import_document(path: str, index: int = 0, *, edited: bool = False, unknown_sensor_type: bool = False,
                    dry_run: bool = False, archive: Optional[str] = None) -> dict[str, Any]:
    """Imports a calibration document: its checksum must match unless
    ``edited``; every value is validated either way (ValueError naming the
    field). Returns "checks" (what was checked) and, with ``dry_run``,
    "changes" (whether the camera's records differ). The import is recorded
    in ``archive`` (None: $ORVEX_ARCHIVE; "" none)."""
    _ensure_no_camera_open("import calibration", index)
    flags = ((_factory.EDITED if edited else 0) | (_factory.UNKNOWN_SENSOR_TYPE if unknown_sensor_type else 0)
             | (_factory.DRY_RUN if dry_run else 0))
    return _factory.call_on_camera("import calibration", index,
                         lambda s, r: _lib.factory().OrvexFactory_CalibImport(s, str(path).encode(), flags, r),
                         archive)


def validate_records(records: dict[str, Any], camera_sensor_type: Optional[str] = None, *,
                     unknown_sensor_type: bool = False) -> list[str]:
    """Checks records without a camera, as a write would (ValueError naming
    the field); ``camera_sensor_type`` is the type in force when the
    records carry none. Returns what was checked."""
    text = _factory.dumps(records)
    cam = camera_sensor_type.encode() if camera_sensor_type is not None else None
    flags = _factory.UNKNOWN_SENSOR_TYPE if unknown_sensor_type else 0
    doc = _factory.call_without_camera(
        "validate calibration records",
        lambda r: _lib.factory().OrvexFactory_CalibValidate(text, cam, flags, r))
    return doc["checks"]


__all__ = ["MarkerConfig", "RectifyConfig", "HAVE_NUMPY", "make_grid", "set_debug",
           "read_marker_config", "save_marker_config", "read_sensor_type", "read_sensor_type_bytes",
           "save_sensor_type", "read_extra_params", "save_extra_params", "read_rectify_config",
           "save_rectify_config", "write_records", "read_document", "export_document",
           "import_document", "validate_records"]
