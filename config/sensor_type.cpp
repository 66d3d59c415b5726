// Sensor type: a NUL-terminated text of at most 127 characters.
#include <stdio.h>
#include <string.h>

#include "store.h"

using namespace orvex_store;

extern "C" {

void SetSensorType(long videoIndex, const char* type) {
    if (!type) return;
    // A longer text is cut to its first 127 characters so the write never
    // runs past the local buffer; the stored record always ends in a NUL.
    size_t len = strlen(type) + 1;
    if (len > kSensorTypeCapacity) len = kSensorTypeCapacity;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    unsigned char buffer[kSensorTypeCapacity];
    memset(buffer, 0, sizeof buffer);
    memcpy(buffer, type, len - 1);
    if (debug_enable) printf("Setting Sensor Type...\n");
    OrvexTac_SerialFlashSectorWrite(kSensorTypeAddr, buffer, static_cast<long>(len), kFlashType);
    CloseDevice();
}

void GetSensorType(long videoIndex, char* type) {
    if (!type) return;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    unsigned char buffer[kSensorTypeCapacity];
    if (OrvexTac_SerialFlashRead(kSensorTypeAddr, buffer, sizeof buffer) != 1) {
        CloseDeviceAfterFailedRead();
        return;
    }
    // The caller's buffer holds 129 bytes: a never-written record is 128
    // bytes 0xFF without a NUL, and gets one appended.
    size_t n = 0;
    while (n < kSensorTypeCapacity && buffer[n] != 0) {
        type[n] = static_cast<char>(buffer[n]);
        ++n;
    }
    type[n] = 0;
    if (debug_enable) printf("Sensor Type is: %s\n", type);
    CloseDevice();
}

}
