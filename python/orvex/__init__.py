"""Python access to the Orvex camera-based sensor over the SDK's C libraries.

    import orvex
    with orvex.Camera(0) as cam:
        print(cam.identify(), cam.firmware_version())
        data = cam.flash.read(0x30000, 44)

    from orvex import calibration
    marker = calibration.read_marker_config(0)
"""

from . import archive, calibration
from .camera import (FLASH_SIZE, Architecture, Camera, FirmwareVersion, Flash, FlashType, IdBlock,
                     Identification, Registers, RomClass, SensorRegisters)
from .errors import (ArchiveWarning, CameraBusyError, CameraClosedError, DeviceNotFoundError, InvalidRecordError,
                     LibraryNotFoundError, NotIdentifiedError, OrvexError, RefusedError, TransferError,
                     VerifyError)

__version__ = "1.0.0"

__all__ = ["Camera", "Registers", "SensorRegisters", "Flash", "FlashType", "RomClass", "Architecture",
           "Identification", "FirmwareVersion", "IdBlock", "FLASH_SIZE", "archive", "calibration", "OrvexError", "ArchiveWarning",
           "LibraryNotFoundError", "DeviceNotFoundError", "CameraBusyError", "CameraClosedError",
           "NotIdentifiedError", "TransferError", "VerifyError", "InvalidRecordError", "RefusedError"]
