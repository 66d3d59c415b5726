// Internal to libOrvexConfig: the flash address map of the calibration
// records and the steps every record operation shares.
#ifndef ORVEX_CONFIG_STORE_H
#define ORVEX_CONFIG_STORE_H

#include "OrvexConfig.h"
#include "OrvexTac.h"

namespace orvex_store {

// Identification blocks: the camera's own, read only.
constexpr long kIdFirstAddr = 0x190C0;
constexpr long kIdSecondAddr = 0x3FA00;
constexpr long kIdBlockSize = 24;

// Each record starts a 4 KiB sector of its own, so the sector erase of a
// Save rewrites that record and no other.
constexpr long kMarkerAddr = 0x30000;
constexpr long kExtraParamsAddr = 0x31000;
constexpr long kSensorTypeAddr = 0x32000;
constexpr long kRectifyAddr = 0x34000;

// The calibration flash is a 4 KiB-sector part on every camera we ship.
constexpr SERIAL_FLASH_TYPE kFlashType = SFT_MXIC;

// Opens the camera and checks its identification block at either
// location. 1: open and identified. 0: the operation must end now (the
// camera is closed again, or was never opened).
BOOL OpenAndIdentifyDevice(long videoIndex);

// Closing step of an operation that did its flash work: closes the camera
// and, while debugging, prints the three "." lines.
void CloseDevice();

// Closing step of a read whose transfer failed: closes the camera and
// prints nothing. The caller's record is left exactly as it was, which is
// how the caller tells a failed read from a successful one.
void CloseDeviceAfterFailedRead();

}  // namespace orvex_store

#endif
