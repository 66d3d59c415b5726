// Opening and closing the camera, and raw extension-unit access.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "../OrvexTac.h"
#include "../OVOptDev/node_lock.h"

extern "C" {

BOOL camera_init = 0;

BOOL OrvexTac_Init(int videoIndex) {
    if (camera_init) return 1;  // one camera per process; the open one stays
    char devPath[300];
    memset(devPath, 0, sizeof devPath);
    snprintf(devPath, sizeof devPath, "/dev/video%d", videoIndex);
    if (!OV_OpenCamera(devPath)) {
        static const char msg[] = "Open video device failed\n";
        fwrite(msg, 1, sizeof msg - 1, stderr);
        return 0;
    }
    camera_init = 1;
    return 1;
}

BOOL OrvexTac_UnInit(void) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (!OV_CloseCamera()) return 0;
    camera_init = 0;
    return 1;
}

BOOL OrvexTac_XuRead(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (!pData && length > 0) return 0;
    return OV_Read(pData, length, unitID, cs);
}

BOOL OrvexTac_XuWrite(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (!pData && length > 0) return 0;
    return OV_Write(pData, length, unitID, cs);
}

}
