// Internal: command frames and the status poll on the serial-flash master,
// shared by the erase operations and the write-protect release.
#ifndef ORVEX_SF_PROTOCOL_H
#define ORVEX_SF_PROTOCOL_H

#include "../util.h"

// Select, send n bytes (each followed by the ready poll), release. 1 when
// every step succeeded; 0 at the first that failed, which may leave the
// flash selected.
BOOL orvex_sf_send_frame(const BYTE* bytes, int n);

// The status poll of OV_SFCMDreadStatus; on 1, *status holds the not-busy
// status byte it read last.
BOOL orvex_sf_wait_not_busy(BYTE* status);

#endif
