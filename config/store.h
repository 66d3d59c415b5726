// Internal to libOrvexConfig: the steps every record operation shares. The
// records' flash layout is internal/store_layout.h, shared with orvexctl.
#ifndef ORVEX_CONFIG_STORE_H
#define ORVEX_CONFIG_STORE_H

#include "OrvexConfig.h"
#include "OrvexTac.h"
#include "internal/store_layout.h"

namespace orvex_store {

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
