"""Finding and loading the C libraries, and their ctypes prototypes.

Search order: the directory in ORVEX_LIB_DIR (only there, when set); the
library directory of the prefix this package was installed into; this
package's own directory; then the system's library search path.

The ABI: BOOL is a 32-bit int (1 success, 0 failure), LONG and ``long`` are
64-bit, enums are ints.
"""

from __future__ import annotations

import ctypes
import os
from pathlib import Path
from typing import Optional

from . import _records
from .errors import LibraryNotFoundError

BASE_NAME = "libOrvexBase.so.1"  # the SONAME: what the runtime package ships
CONFIG_NAME = "libOrvexConfig.so.1"
FACTORY_NAME = "libOrvexFactory.so.1"

_u8p = ctypes.POINTER(ctypes.c_ubyte)
_int, _long, _uint, _u8, _u16 = ctypes.c_int, ctypes.c_long, ctypes.c_uint, ctypes.c_ubyte, ctypes.c_ushort

# Burn progress callback: caller context, fraction 0..1.
PROGRESS_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_float)

_BASE_PROTOTYPES = {
    "OrvexTac_Init": (_int, [_int]),
    "OrvexTac_UnInit": (_int, []),
    "OrvexTac_XuRead": (_int, [_u8p, _uint, _u8, _u8]),
    "OrvexTac_XuWrite": (_int, [_u8p, _uint, _u8, _u8]),
    "OrvexTac_AsicRegisterRead": (_int, [_u16, _u8p, _long]),
    "OrvexTac_AsicRegisterWrite": (_int, [_u16, _u8p, _long]),
    "OrvexTac_SensorRegisterCustomRead": (_int, [_u8, _long, _u8p, _long, _int]),
    "OrvexTac_SensorRegisterCustomWrite": (_int, [_u8, _long, _u8p, _long, _int]),
    "OrvexTac_SerialFlashRead": (_int, [_long, _u8p, _long]),
    "OrvexTac_SerialFlashWrite": (_int, [_long, _u8p, _long]),
    "OrvexTac_SerialFlashSectorWrite": (_int, [_long, _u8p, _long, _int]),
    "OrvexTac_GetFWVersion": (_int, [_u8p, _long]),
    "OrvexTac_GetFWVersionEx": (_int, [_int, _u8p, _long]),
    "OrvexTac_BurnerFW": (_int, [_u8p, _long, PROGRESS_CALLBACK, ctypes.c_void_p, _int, _int]),
    "OV_GetUVCExtendUnitID": (_u8, []),
    "OV_GetChipRomType": (_int, [_u8p, ctypes.POINTER(_int)]),
    "OV_GetAsicRomVersion": (_int, [_u8p]),
}

_marker_p = ctypes.POINTER(_records.MarkerConfigStruct)
_rectify_p = ctypes.POINTER(_records.RectifyConfigStruct)
_floatp = ctypes.POINTER(ctypes.c_float)

_CONFIG_PROTOTYPES = {
    "EnableDebug": (None, []),
    "DisableDebug": (None, []),
    "SaveMarkerConfig": (None, [_long, _marker_p]),
    "ReadMarkerConfig": (None, [_long, _marker_p]),
    "SetSensorType": (None, [_long, ctypes.c_char_p]),
    "GetSensorType": (None, [_long, ctypes.c_char_p]),
    "SaveExtraParams": (None, [_long, _floatp, _u8]),
    "ReadExtraParams": (None, [_long, _floatp, _u8]),
    "SaveRectifyConfig": (None, [_long, _rectify_p]),
    "ReadRectifyConfig": (None, [_long, _rectify_p]),
}

_base: Optional[ctypes.CDLL] = None
_config: Optional[ctypes.CDLL] = None
_base_dir: Optional[Path] = None


def _installed_libdir() -> Optional[Path]:
    """Library directory of the prefix, written into the package at install."""
    try:
        from . import _install_paths  # type: ignore[attr-defined]
    except ImportError:
        return None
    return (Path(__file__).resolve().parent / _install_paths.LIBDIR_FROM_PACKAGE).resolve()


def candidate_dirs() -> list[Path]:
    env = os.environ.get("ORVEX_LIB_DIR")
    if env:
        return [Path(env)]
    dirs = []
    installed = _installed_libdir()
    if installed is not None:
        dirs.append(installed)
    dirs.append(Path(__file__).resolve().parent)
    return dirs


def _prototype(lib: ctypes.CDLL, table: dict) -> ctypes.CDLL:
    for name, (restype, argtypes) in table.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return lib


def _open(path: str) -> ctypes.CDLL:
    try:
        return ctypes.CDLL(path, use_errno=True)
    except OSError as e:
        raise LibraryNotFoundError(f"cannot load {path}: {e}", operation="load") from e


def base() -> ctypes.CDLL:
    global _base, _base_dir
    if _base is not None:
        return _base
    explicit = "ORVEX_LIB_DIR" in os.environ and os.environ["ORVEX_LIB_DIR"] != ""
    for d in candidate_dirs():
        if (d / BASE_NAME).is_file():
            _base, _base_dir = _open(str(d / BASE_NAME)), d
            break
    else:
        if explicit:
            raise LibraryNotFoundError(
                f"{BASE_NAME} is not in ORVEX_LIB_DIR={os.environ['ORVEX_LIB_DIR']}", operation="load")
        _base = _open(BASE_NAME)  # the system's search path
    return _prototype(_base, _BASE_PROTOTYPES)


def config() -> ctypes.CDLL:
    global _config
    if _config is not None:
        return _config
    base()  # libOrvexConfig needs it; load ours first so both are the same
    if _base_dir is not None and (_base_dir / CONFIG_NAME).is_file():
        _config = _open(str(_base_dir / CONFIG_NAME))
    else:
        _config = _open(CONFIG_NAME)
    return _prototype(_config, _CONFIG_PROTOTYPES)


_libc: Optional[ctypes.CDLL] = None


def free(ptr: ctypes.c_void_p) -> None:
    """Releases a block the libraries allocated with malloc."""
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None)  # the process's own malloc/free
        _libc.free.argtypes = [ctypes.c_void_p]
        _libc.free.restype = None
    _libc.free(ptr)


def camera_is_open() -> bool:
    """Whether libOrvexBase holds a camera open (its process-wide flag)."""
    return ctypes.c_int.in_dll(base(), "camera_init").value != 0


def rom_row() -> int:
    return ctypes.c_uint.in_dll(base(), "uiRomID").value


def debug_flag() -> ctypes.c_int:
    return ctypes.c_int.in_dll(config(), "debug_enable")


def byte_buffer(data: bytes) -> ctypes.Array:
    """A C copy of ``data`` (the libraries take non-const pointers)."""
    return (ctypes.c_ubyte * len(data)).from_buffer_copy(data) if data else (ctypes.c_ubyte * 1)()


# ---------------------------------------------------------------- libOrvexFactory


# Session progress: caller context, phase name, bytes done, bytes in the phase.
FACTORY_PROGRESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, _long, _long)


class BurnOptions(ctypes.Structure):
    """OrvexFactoryBurnOptions; OrvexFactory_BurnOptionsInit fills in ``size``."""
    _fields_ = [
        ("size", _long),
        ("library_method", _int),
        ("sample_verify", _int),
        ("erase_calibration", _int),
        ("no_backup", _int),
        ("dry_run", _int),
        ("force", _uint),
        ("backup_file", ctypes.c_char_p),
        ("image_name", ctypes.c_char_p),
        ("allow_older", _int),
        ("allow_reinstall", _int),
    ]


_vp = ctypes.c_void_p
_resultp = ctypes.POINTER(ctypes.c_void_p)
# Sessions and results are opaque pointers.
_FACTORY_PROTOTYPES = {
    "OrvexFactory_New": (_vp, [_int]),
    "OrvexFactory_Free": (None, [_vp]),
    "OrvexFactory_SetProgress": (None, [_vp, FACTORY_PROGRESS, _vp]),
    "OrvexFactory_SetBackupDir": (_int, [_vp, ctypes.c_char_p]),
    "OrvexFactory_SetFlashType": (_int, [_vp, ctypes.c_char_p]),
    "OrvexFactory_SetWait": (None, [_vp, _long]),
    "OrvexFactory_ResultStatus": (_int, [_vp]),
    "OrvexFactory_ResultMessage": (ctypes.c_char_p, [_vp]),
    "OrvexFactory_ResultJson": (ctypes.c_char_p, [_vp]),
    "OrvexFactory_ResultAddress": (_long, [_vp]),
    "OrvexFactory_ResultFree": (None, [_vp]),
    "OrvexFactory_BurnOptionsInit": (None, [ctypes.POINTER(BurnOptions)]),
    "OrvexFactory_Burn": (_int, [_vp, _u8p, _long, ctypes.POINTER(BurnOptions), ctypes.POINTER(_vp)]),
    "OrvexFactory_CalibRead": (_int, [_vp, _resultp]),
    "OrvexFactory_CalibExport": (_int, [_vp, ctypes.c_char_p, _resultp]),
    "OrvexFactory_CalibImport": (_int, [_vp, ctypes.c_char_p, _uint, _resultp]),
    "OrvexFactory_CalibWrite": (_int, [_vp, ctypes.c_char_p, _uint, _resultp]),
    "OrvexFactory_CalibValidate": (_int, [ctypes.c_char_p, ctypes.c_char_p, _uint, _resultp]),
}

_factory: Optional[ctypes.CDLL] = None


def factory() -> ctypes.CDLL:
    """libOrvexFactory, from the directory libOrvexBase came from."""
    global _factory
    if _factory is not None:
        return _factory
    base()
    config()  # it needs both; load ours first so all three are the same
    if _base_dir is not None and (_base_dir / FACTORY_NAME).is_file():
        _factory = _open(str(_base_dir / FACTORY_NAME))
    else:
        _factory = _open(FACTORY_NAME)
    return _prototype(_factory, _FACTORY_PROTOTYPES)


