// Extra parameters: up to 255 floats, the count given by the caller on
// both sides (the flash keeps only the values).
#include <stdio.h>
#include <string.h>

#include "store.h"

using namespace orvex_store;

extern "C" {

void SaveExtraParams(long videoIndex, const float* params, unsigned char count) {
    if (!params && count > 0) return;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    if (debug_enable) printf("Saving floats...\n");
    // The block program only reads the buffer.
    OrvexTac_SerialFlashSectorWrite(
        kExtraParamsAddr, reinterpret_cast<unsigned char*>(const_cast<float*>(params)),
        4L * count, kFlashType);
    CloseDevice();
}

void ReadExtraParams(long videoIndex, float* params, unsigned char count) {
    if (!params && count > 0) return;
    if (!OpenAndIdentifyDevice(videoIndex)) return;
    // Sized for every count a Save can store, so a full record reads back
    // whole.
    float buffer[kMaxExtraParams];
    long len = 4L * count;
    if (OrvexTac_SerialFlashRead(kExtraParamsAddr, reinterpret_cast<unsigned char*>(buffer),
                                 len) != 1) {
        CloseDeviceAfterFailedRead();
        return;
    }
    if (len > 0) memcpy(params, buffer, static_cast<size_t>(len));
    CloseDevice();
}

}
