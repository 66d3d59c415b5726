"""The calibration records as the C libraries lay them out in memory.

Declared once here; the dataclasses of :mod:`orvex.calibration` and the
ctypes calls are built on these, and the test suite compares them with the
sizes and offsets the C compiler gives the headers' structs.
"""

from __future__ import annotations

import ctypes

# Marker-grid configuration: eleven 4-byte fields, the flash record as is.
MARKER_FIELDS: tuple[tuple[str, type], ...] = (
    ("x0", ctypes.c_int32),
    ("y0", ctypes.c_int32),
    ("dx", ctypes.c_int32),
    ("dy", ctypes.c_int32),
    ("theta", ctypes.c_float),
    ("ncol", ctypes.c_int32),
    ("nrow", ctypes.c_int32),
    ("width", ctypes.c_int32),
    ("height", ctypes.c_int32),
    ("lower_threshold", ctypes.c_int32),
    ("min_area", ctypes.c_int32),
)

# Rectification record: ten 4-byte header values, then the library-owned
# grid pointer (rows x cols pairs of int32, row-major, from malloc).
RECTIFY_HEADER_FIELDS: tuple[tuple[str, type], ...] = (
    ("rotation", ctypes.c_float),
    ("translation_x", ctypes.c_float),
    ("translation_y", ctypes.c_float),
    ("scale", ctypes.c_float),
    ("padding", ctypes.c_int32 * 4),
    ("rows", ctypes.c_int32),
    ("cols", ctypes.c_int32),
)


class MarkerConfigStruct(ctypes.Structure):
    _fields_ = list(MARKER_FIELDS)


class RectifyConfigStruct(ctypes.Structure):
    _fields_ = list(RECTIFY_HEADER_FIELDS) + [("base_grid", ctypes.POINTER(ctypes.c_int32))]


# Flash-side limits the store applies.
RECTIFY_MAX_ROWS = 25
RECTIFY_MAX_COLS = 18
SENSOR_TYPE_CAPACITY = 128  # characters and the NUL; the reader appends one more
EXTRA_PARAMS_MAX = 255      # the count is an unsigned char

# The camera's identification blocks, which the store checks before it
# touches a camera: (flash address, tag offset, number offset, tag, highest
# accepted number). Characters sit in every other byte of a 24-byte block.
ID_BLOCK_SIZE = 24
ID_BLOCKS: tuple[tuple[int, int, int, bytes, int], ...] = (
    (0x190C0, 2, 6, b"OG", 249),
    (0x3FA00, 6, 10, b"OF", 99),
)

# What the layout test compares with the C headers: struct name -> ctypes type.
STRUCTS: dict[str, type[ctypes.Structure]] = {
    "MarkerConfig": MarkerConfigStruct,
    "RectifyConfig": RectifyConfigStruct,
}

# Scalar types of the C ABI, as this package passes them.
ABI_TYPES: dict[str, type] = {
    "BOOL": ctypes.c_int,
    "LONG": ctypes.c_long,
    "long": ctypes.c_long,
    "SERIAL_FLASH_TYPE": ctypes.c_int,
    "DSP_ROM_TYPE": ctypes.c_int,
    "DSP_ARCH_TYPE": ctypes.c_int,
}
