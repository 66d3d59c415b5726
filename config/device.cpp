// Opening a camera for one store operation: the camera must carry the
// sensor's identification block, or the store leaves it alone.
//
// The block and its two locations are described in internal/store_layout.h;
// the first location is tried first.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "store.h"

namespace orvex_store {
namespace {

bool block_matches(const IdLocation& loc) {
    BYTE block[kIdBlockLen];
    memset(block, 0, sizeof block);
    // A failed read leaves zeros (or a partial block): that never matches.
    OrvexTac_SerialFlashRead(loc.addr, block, sizeof block);
    return read_id_fields(loc, block).matches;
}

}  // namespace

BOOL OpenAndIdentifyDevice(long videoIndex) {
    if (OrvexTac_Init(static_cast<int>(videoIndex)) != 1) {
        if (debug_enable) {
            printf("Could not find/open orvex device");
        }
        return 0;
    }
    for (const IdLocation& loc : kIdLocations)
        if (block_matches(loc)) return 1;
    OrvexTac_UnInit();
    return 0;
}

void CloseDeviceAfterFailedRead() { OrvexTac_UnInit(); }

void CloseDevice() {
    OrvexTac_UnInit();
    if (debug_enable) {
        printf(".\n");
        printf(".\n");
        printf(".\n");
    }
}

}  // namespace orvex_store
