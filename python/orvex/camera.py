"""A camera opened through libOrvexBase: raw extension-unit access,
controller (ASIC) and image-sensor registers, serial flash, firmware
version, identification and firmware burning.

The library holds one camera per process; a second Camera, or a
calibration-store call, while one is open raises CameraBusyError.
"""

from __future__ import annotations

import ctypes
import enum
from typing import Any, Callable, Iterable, NamedTuple, Optional, Union

from . import _factory, _lib, _records
from .errors import (CameraBusyError, CameraClosedError, DeviceNotFoundError, NotIdentifiedError,
                     OrvexError, RefusedError, TransferError, VerifyError)

FLASH_SIZE = 0x40000  # 256 KiB: the flash-data path carries 18 address bits

BytesLike = Union[bytes, bytearray, memoryview]


class FlashType(enum.IntEnum):
    """Serial-flash families (the library's SERIAL_FLASH_TYPE)."""
    UNKNOWN = 0
    MXIC = 1
    ST = 2
    SST = 3
    ATMEL_AT25F = 4
    ATMEL_AT25FS = 5
    ATMEL_AT45DB = 6
    WINBOND = 7
    PMC = 8
    MXIC_LIKE = 9
    AMIC = 10
    EON = 11
    ESMT = 12
    GIGA = 13
    FENTECH = 14


class RomClass(enum.IntEnum):
    """Mask-ROM class of the controller (the library's DSP_ROM_TYPE)."""
    UNKNOWN = 0
    ROM_32K = 1
    ROM_64K = 2
    ROM_128K = 3
    ROM_256K = 4


class Architecture(enum.IntEnum):
    """Register map of the controller (the library's DSP_ARCH_TYPE)."""
    UNKNOWN = -1
    FIRST = 0
    SECOND = 1


class Identification(NamedTuple):
    unit: int                       # extension unit the firmware answers on
    chip_id: int
    architecture: Architecture
    rom_class: RomClass
    rom_version: Optional[bytes]    # 8 bytes, e.g. b"215R0\x01\x00\x00"; None if unknown
    rom_row: Optional[int]          # row of the library's ROM table


class FirmwareVersion(NamedTuple):
    code: str
    customer_version: str
    customer: str
    date: str
    raw: bytes                      # the 56-byte record as the library gives it


class IdBlock(NamedTuple):
    """One of the two identification-block locations in the camera's flash."""
    address: int
    tag: bytes
    number: int
    valid: bool


def _field_text(raw: bytes) -> str:
    # Trailing NUL, erased (0xFF) and blank bytes are padding.
    return raw.rstrip(b"\x00\xff ").decode("latin-1")


def _atoi(chars: bytes) -> int:
    """C's atoi on a NUL-terminated string: blanks, one sign, digits."""
    s = chars.split(b"\x00", 1)[0]
    i = 0
    while i < len(s) and s[i] in b" \t\n\v\f\r":
        i += 1
    sign = 1
    if i < len(s) and s[i] in b"+-":
        sign = -1 if s[i] == ord("-") else 1
        i += 1
    start = i
    while i < len(s) and 0x30 <= s[i] <= 0x39:
        i += 1
    return sign * int(s[start:i]) if i > start else 0


def parse_id_block(address: int, block: bytes) -> IdBlock:
    """Checks a 24-byte identification block as the calibration store does."""
    for addr, tag_at, number_at, want, highest in _records.ID_BLOCKS:
        if addr == address:
            break
    else:
        raise ValueError(f"no identification block at {address:#x}")
    tag = bytes(block[tag_at + 2 * i] for i in range(2)).split(b"\x00", 1)[0]
    number = _atoi(bytes(block[number_at + 2 * i] for i in range(6)))
    return IdBlock(address, tag, number, tag == want and 1 <= number <= highest)


def _check_range(addr: int, length: int, limit: int, what: str) -> None:
    if addr < 0 or length < 0 or addr + length > limit:
        raise ValueError(f"{what} range {addr:#x}+{length} lies outside 0..{limit:#x}")


class _Part:
    def __init__(self, camera: "Camera"):
        self._camera = camera

    def _lib(self) -> ctypes.CDLL:
        return self._camera._require_open()


class Registers(_Part):
    """The controller's 8-bit registers, 16-bit addresses."""

    def read(self, addr: int, n: int = 1) -> bytes:
        _check_range(addr, n, 0x10000, "register")
        buf = (ctypes.c_ubyte * max(n, 1))()
        if self._lib().OrvexTac_AsicRegisterRead(addr, buf, n) != 1:
            raise TransferError(f"register read at {addr:#06x} ({n} bytes) failed",
                                operation="register read", index=self._camera.index, address=addr)
        return bytes(buf[:n])

    def write(self, addr: int, data: Union[BytesLike, int]) -> None:
        payload = bytes([data]) if isinstance(data, int) else bytes(data)
        _check_range(addr, len(payload), 0x10000, "register")
        if self._lib().OrvexTac_AsicRegisterWrite(addr, _lib.byte_buffer(payload), len(payload)) != 1:
            raise TransferError(f"register write at {addr:#06x} ({len(payload)} bytes) failed",
                                operation="register write", index=self._camera.index, address=addr)


class SensorRegisters(_Part):
    """Image-sensor registers through the controller's I2C master. Runs of
    bytes go two per transaction, most significant byte first; the address
    width (1 or 2 bytes) follows the register address."""

    def read(self, slave_id: int, addr: int, n: int = 1, *, poll_scl: bool = False) -> bytes:
        _check_range(addr, n, 0x10000, "sensor register")
        buf = (ctypes.c_ubyte * max(n, 1))()
        if self._lib().OrvexTac_SensorRegisterCustomRead(slave_id, addr, buf, n, int(poll_scl)) != 1:
            raise TransferError(f"sensor {slave_id:#04x} read at {addr:#06x} ({n} bytes) failed",
                                operation="sensor read", index=self._camera.index, address=addr)
        return bytes(buf[:n])

    def write(self, slave_id: int, addr: int, data: BytesLike, *, poll_scl: bool = False) -> None:
        payload = bytes(data)
        _check_range(addr, len(payload), 0x10000, "sensor register")
        if self._lib().OrvexTac_SensorRegisterCustomWrite(
                slave_id, addr, _lib.byte_buffer(payload), len(payload), int(poll_scl)) != 1:
            raise TransferError(f"sensor {slave_id:#04x} write at {addr:#06x} failed",
                                operation="sensor write", index=self._camera.index, address=addr)


class Flash(_Part):
    """The camera's 256 KiB serial flash."""

    def read(self, addr: int, n: int) -> bytes:
        _check_range(addr, n, FLASH_SIZE, "flash")
        buf = (ctypes.c_ubyte * max(n, 1))()
        if self._lib().OrvexTac_SerialFlashRead(addr, buf, n) != 1:
            raise TransferError(f"flash read at {addr:#07x} ({n} bytes) failed",
                                operation="flash read", index=self._camera.index, address=addr)
        return bytes(buf[:n])

    def write(self, addr: int, data: BytesLike, *, verify: bool = True,
              include_calibration: bool = False) -> None:
        """Programs without erasing: bits only go from 1 to 0. A range that
        touches the calibration records or an identification block's sector
        raises RefusedError unless ``include_calibration``."""
        payload = bytes(data)
        _check_range(addr, len(payload), FLASH_SIZE, "flash")
        _factory.guard(addr, len(payload), include_calibration)
        if self._lib().OrvexTac_SerialFlashWrite(addr, _lib.byte_buffer(payload), len(payload)) != 1:
            raise TransferError(f"flash program at {addr:#07x} ({len(payload)} bytes) failed",
                                operation="flash write", index=self._camera.index, address=addr)
        if verify:
            self._verify(addr, payload, "flash write")

    def rewrite_sector(self, addr: int, data: BytesLike, *,
                       flash_type: FlashType = FlashType.MXIC, verify: bool = True,
                       include_calibration: bool = False) -> None:
        """Releases write protection, erases the sector holding ``addr`` and
        programs ``data`` from ``addr`` on. Bytes of that sector below
        ``addr`` end up erased (0xFF); data running past the sector's end is
        programmed without an erase. Guarded like :meth:`write`, over the
        whole erased sector."""
        payload = bytes(data)
        _check_range(addr, len(payload), FLASH_SIZE, "flash")
        if flash_type == FlashType.UNKNOWN:
            raise ValueError("name the camera's flash type")
        sector = addr & ~0xFFF
        _factory.guard(sector, max(sector + 0x1000, addr + len(payload)) - sector, include_calibration)
        if self._lib().OrvexTac_SerialFlashSectorWrite(
                addr, _lib.byte_buffer(payload), len(payload), int(flash_type)) != 1:
            raise TransferError(f"sector rewrite at {addr:#07x} failed",
                                operation="sector rewrite", index=self._camera.index, address=addr)
        if verify:
            self._verify(addr, payload, "sector rewrite")

    def update(self, addr: int, data: BytesLike, *, include_calibration: bool = False,
               verify: bool = True, flash_type: str = "auto") -> dict:
        """Rewrites ``data`` at ``addr`` in place, as ``orvexctl flash write``
        does: each erase unit it touches is read, merged, erased and
        programmed (units that already hold the data are skipped), then read
        back. Guarded like :meth:`write`. Returns the library's result
        (sectors rewritten and unchanged)."""
        payload = bytes(data)
        _check_range(addr, len(payload), FLASH_SIZE, "flash")
        flags = (_factory.INCLUDE_CALIBRATION if include_calibration else 0) | (0 if verify else _factory.NO_VERIFY)
        with self._camera._session(flash_type=flash_type) as s:
            return s.call("OrvexFactory_FlashWrite", addr, _lib.byte_buffer(payload), len(payload), flags,
                          operation="flash update")

    def erase(self, addr: int, length: int, *, include_calibration: bool = False,
              flash_type: str = "auto") -> dict:
        """Erases whole 4 KiB sectors of [addr, addr+length) and checks that
        they read blank. Guarded like :meth:`write`."""
        flags = _factory.INCLUDE_CALIBRATION if include_calibration else 0
        with self._camera._session(flash_type=flash_type) as s:
            return s.call("OrvexFactory_FlashErase", addr, length, flags, operation="flash erase")

    def verify(self, addr: int, data: BytesLike) -> dict:
        """Compares the flash with ``data``; VerifyError names the first
        differing address, the result counts differences per region."""
        payload = bytes(data)
        _check_range(addr, len(payload), FLASH_SIZE, "flash")
        with self._camera._session() as s:
            return s.call("OrvexFactory_FlashVerify", addr, _lib.byte_buffer(payload), len(payload),
                          operation="flash verify")

    def _verify(self, addr: int, expected: bytes, operation: str) -> None:
        actual = self.read(addr, len(expected))
        if actual != expected:
            at = next(i for i, (a, b) in enumerate(zip(expected, actual)) if a != b)
            raise VerifyError(f"{operation}: flash at {addr + at:#07x} reads {actual[at]:#04x}, "
                              f"wrote {expected[at]:#04x}", operation=operation,
                              index=self._camera.index, offset=at, expected=expected, actual=actual)


class Camera:
    """``with Camera(0) as cam:`` opens /dev/video0 and closes it again."""

    def __init__(self, index: int = 0, *, archive: Optional[str] = None):
        lib = _lib.base()
        if _lib.camera_is_open():
            raise CameraBusyError("a camera is already open in this process", operation="open",
                                  index=index)
        ctypes.set_errno(0)
        if lib.OrvexTac_Init(index) != 1:
            raise DeviceNotFoundError(index, ctypes.get_errno())
        self.index = index
        self._open = True
        #: Folder of calibration backups; None: the library's default
        #: ($XDG_STATE_HOME/orvex, else ~/.local/state/orvex).
        self.backup_dir: Optional[str] = None
        #: The station archive the library records this camera's burns,
        #: backups, restores and verifies in: a file or a URL, "" for none;
        #: None: $ORVEX_ARCHIVE, as for orvexctl.
        self.archive: Optional[str] = archive
        self.registers = Registers(self)
        self.sensor = SensorRegisters(self)
        self.flash = Flash(self)

    def __enter__(self) -> "Camera":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    @property
    def closed(self) -> bool:
        return not getattr(self, "_open", False)

    def close(self) -> None:
        if self.closed:
            return
        self._open = False
        if _lib.base().OrvexTac_UnInit() != 1:
            raise TransferError(f"closing /dev/video{self.index} failed", operation="close",
                                index=self.index)

    def _require_open(self) -> ctypes.CDLL:
        if self.closed:
            raise CameraClosedError(f"/dev/video{self.index} is closed", operation="use",
                                    index=self.index)
        return _lib.base()

    # ------------------------------------------------------ extension unit

    def xu_read(self, unit: int, selector: int, length: int) -> bytes:
        """One GET_CUR query of ``length`` bytes on any unit and selector."""
        if not 0 < length <= 0xFFFF:
            raise ValueError("a control holds 1 to 65535 bytes")
        buf = (ctypes.c_ubyte * length)()
        if self._require_open().OrvexTac_XuRead(buf, length, unit, selector) != 1:
            raise TransferError(f"GET_CUR on unit {unit} selector {selector} failed",
                                operation="xu read", index=self.index)
        return bytes(buf)

    def xu_write(self, unit: int, selector: int, data: BytesLike) -> None:
        """One SET_CUR query carrying ``data``."""
        payload = bytes(data)
        if not 0 < len(payload) <= 0xFFFF:
            raise ValueError("a control holds 1 to 65535 bytes")
        if self._require_open().OrvexTac_XuWrite(_lib.byte_buffer(payload), len(payload), unit,
                                                 selector) != 1:
            raise TransferError(f"SET_CUR on unit {unit} selector {selector} failed",
                                operation="xu write", index=self.index)

    # ------------------------------------------------------ identity

    def identify(self) -> Identification:
        """Extension unit, chip id, architecture, ROM class and revision."""
        lib = self._require_open()
        unit = lib.OV_GetUVCExtendUnitID()
        if unit == 0:
            raise TransferError("no extension unit of ours answers (units 3 and 4 tried)",
                                operation="identify", index=self.index)
        chip = ctypes.c_ubyte()
        arch = ctypes.c_int(-1)
        cls = lib.OV_GetChipRomType(ctypes.byref(chip), ctypes.byref(arch))
        if cls == RomClass.UNKNOWN:
            raise TransferError("chip identification failed", operation="identify", index=self.index)
        version = (ctypes.c_ubyte * 10)()
        rom_version: Optional[bytes] = None
        row: Optional[int] = None
        if lib.OV_GetAsicRomVersion(version) == 1:
            rom_version, row = bytes(version[:8]), _lib.rom_row()
        # The ROM probes may leave another register map selected: restore the chip's own.
        lib.OV_GetChipRomType(ctypes.byref(chip), ctypes.byref(arch))
        return Identification(unit, chip.value, Architecture(arch.value), RomClass(cls), rom_version,
                              row)

    def firmware_version(self, rom_class: Optional[RomClass] = None) -> FirmwareVersion:
        """The firmware's version fields. ``rom_class`` picks the layout on
        chips that have two (64K or 128K)."""
        lib = self._require_open()
        buf = (ctypes.c_ubyte * 56)()
        ok = (lib.OrvexTac_GetFWVersion(buf, 56) if rom_class is None
              else lib.OrvexTac_GetFWVersionEx(int(rom_class), buf, 56))
        if ok != 1:
            raise TransferError("firmware version not available for this camera",
                                operation="firmware version", index=self.index)
        raw = bytes(buf)
        return FirmwareVersion(_field_text(raw[0:5]), _field_text(raw[5:15]), _field_text(raw[15:25]),
                               _field_text(raw[25:35]), raw)

    def id_blocks(self) -> list[IdBlock]:
        """Both identification-block locations, as the calibration store reads them."""
        return [parse_id_block(addr, self.flash.read(addr, _records.ID_BLOCK_SIZE))
                for addr, *_ in _records.ID_BLOCKS]

    # ------------------------------------------------------ backups

    def _session(self, **options: Any) -> "_factory.Session":
        self._require_open()
        return _factory.Session(self.index, backup_dir=self.backup_dir, archive=self.archive, **options)

    def backup(self, path: Optional[str] = None) -> dict:
        """Saves the calibration area and both identification blocks into
        the backup folder and, when ``path`` is given, into that new file: a
        backup never replaces a file (RefusedError). Returns the library's
        result: ``kept_copy`` (the folder's copy), ``good`` (identity and a
        calibration worth keeping) and the ``document`` itself."""
        with self._session() as s:
            return s.call("OrvexFactory_Backup", path.encode() if path else None, operation="backup")

    def restore(self, path: str, *, force: bool = False, dry_run: bool = False,
                flash_type: str = "auto") -> dict:
        """Writes a backup back and reads every range back. Another unit's
        backup, one whose identification block sits at the other location
        (nothing shows it is the same unit) and a camera without
        identification raise RefusedError unless ``force``; another chip's
        backup is always refused. ``dry_run`` only says which ranges differ."""
        flags = (_factory.FORCE if force else 0) | (_factory.DRY_RUN if dry_run else 0)
        with self._session(flash_type=flash_type) as s:
            return s.call("OrvexFactory_Restore", path.encode(), flags, operation="restore")

    # ------------------------------------------------------ firmware burn

    def burn(self, image: BytesLike, *, method: Optional[str] = None, erase_calibration: bool = False,
             progress: Optional[Callable[[str, int, int], None]] = None, full_check: bool = True,
             flash_type: Optional[FlashType] = None, force: Iterable[str] = (),
             backup_file: Optional[str] = None, backup_dir: Optional[str] = None, no_backup: bool = False,
             dry_run: bool = False, image_name: str = "the image", allow_older: bool = False,
             allow_reinstall: bool = False) -> dict:
        """Burns the firmware ``image`` from address 0, keeping the calibration.

        By default (``method`` None or "sector") only the 4 KiB sectors the image
        covers are erased and programmed: the calibration records and the
        identification blocks never leave the flash. ``method="library"``
        uses the library's burner, which erases the whole chip; the
        calibration (and the second identification sector, unless the image
        brings its own) is written back from the backup taken first.
        ``erase_calibration=True`` gives the calibration up and implies the
        library method (with ``method="sector"`` it is refused).

        Before anything is erased the image is checked against the camera
        (``force`` names checks to override: "length", "version-record",
        "id-block"), the write protection is lifted and checked, and a
        backup is saved to ``backup_dir`` (the user's state folder when
        None) and to ``backup_file`` when given, which must not exist
        (``no_backup`` with ``erase_calibration`` takes none). Every byte is
        read back unless ``full_check`` is False (8 bytes per KiB).
        ``flash_type`` None lets the JEDEC id decide.

        The image's firmware version is compared with the camera's first:
        an older image is refused (RefusedError) unless ``allow_older``, the
        version the camera runs unless ``allow_reinstall``; a camera whose
        firmware area is blank or damaged takes any. The result's
        "firmware" holds both versions.

        ``progress(phase, done, total)`` is called per phase ("backup",
        "erase", "program", "verify", and for the library method "restore"
        and "verify restore"); an exception it raises cannot stop the burn
        and is raised once the burn has finished.

        Returns the burn's result (method, phases, backup path, ...); with
        ``dry_run`` the plan, touching nothing. Raises ValueError for an
        argument the burn cannot take, RefusedError for a refusal,
        TransferError and VerifyError (``offset`` the flash address) for a
        burn that failed, each with the library's message, which also says
        how to recover the camera."""
        if method is None:
            method = "library" if erase_calibration else "sector"
        if method not in ("sector", "library"):
            raise ValueError(f"method is 'sector' or 'library', not {method!r}")
        checks = {"length": 0x1, "version-record": 0x2, "id-block": 0x4}
        flags = 0
        for name in force:
            if name not in checks:
                raise ValueError(f"force takes {', '.join(checks)}, not {name!r}")
            flags |= checks[name]
        self._require_open()
        payload = bytes(image)
        fac = _lib.factory()
        options = _lib.BurnOptions()
        fac.OrvexFactory_BurnOptionsInit(ctypes.byref(options))
        options.library_method = int(method == "library")
        options.sample_verify = int(not full_check)
        options.erase_calibration = int(erase_calibration)
        options.no_backup = int(no_backup)
        options.dry_run = int(dry_run)
        options.force = flags
        options.backup_file = backup_file.encode() if backup_file else None
        options.image_name = image_name.encode()
        options.allow_older = int(allow_older)
        options.allow_reinstall = int(allow_reinstall)
        # The session works on this object's open connection.
        with _factory.Session(self.index, backup_dir=backup_dir if backup_dir is not None else self.backup_dir,
                              flash_type=flash_type.name if flash_type is not None else "auto",
                              progress=progress, archive=self.archive) as s:
            return s.call("OrvexFactory_Burn", _lib.byte_buffer(payload), len(payload), ctypes.byref(options),
                          operation="burn")


def _ensure_no_camera_open(operation: str, index: int) -> None:
    if _lib.camera_is_open():
        raise CameraBusyError(f"{operation}: close the open Camera first; the calibration store "
                              "opens and closes the camera itself", operation=operation, index=index)


__all__ = ["Camera", "Registers", "SensorRegisters", "Flash", "FlashType", "RomClass", "Architecture",
           "Identification", "FirmwareVersion", "IdBlock", "FLASH_SIZE", "parse_id_block",
           "OrvexError"]
