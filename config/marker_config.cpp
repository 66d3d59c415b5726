// Marker-grid configuration: one 44-byte record, the in-memory struct as is.
#include <stdio.h>
#include <string.h>

#include "store.h"

using namespace orvex_store;

static_assert(sizeof(MarkerConfig) == kMarkerLen, "the flash record is the struct's 44 bytes");

namespace {

void print_marker(const MarkerConfig& c) {
    printf("x0: %d\n", c.x0);
    printf("y0: %d\n", c.y0);
    printf("dx: %d\n", c.dx);
    printf("dy: %d\n", c.dy);
    printf("theta: %.2f\n", static_cast<double>(c.theta));
    printf("ncol: %d\n", c.ncol);
    printf("nrow: %d\n", c.nrow);
    printf("width: %d\n", c.width);
    printf("height: %d\n", c.height);
    printf("lower_threshold: %d\n", c.lower_threshold);
    printf("min_area: %d\n", c.min_area);
}

}  // namespace

extern "C" {

void SaveMarkerConfig(long videoIndex, MarkerConfig* config) {
    if (!config) return;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    MarkerConfig record;
    memcpy(&record, config, sizeof record);
    OrvexTac_SerialFlashSectorWrite(kMarkerAddr, reinterpret_cast<unsigned char*>(&record),
                                    sizeof record, kFlashType);
    // Printed after the write, from the caller's record (not a read-back).
    if (debug_enable) {
        printf("Saving MarkerConfig to flash...\n");
        print_marker(*config);
    }
    CloseDevice();
}

void ReadMarkerConfig(long videoIndex, MarkerConfig* config) {
    if (!config) return;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    MarkerConfig record;
    if (OrvexTac_SerialFlashRead(kMarkerAddr, reinterpret_cast<unsigned char*>(&record),
                                 sizeof record) != 1) {
        CloseDeviceAfterFailedRead();
        return;
    }
    memcpy(config, &record, sizeof record);
    if (debug_enable) {
        printf("ReadBack MarkerConfig from flash...\n");
        print_marker(*config);
    }
    CloseDevice();
}

}
