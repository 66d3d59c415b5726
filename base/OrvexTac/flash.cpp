// Block read and program of the serial flash over the flash-data path.
#include <string.h>

#include "../OrvexTac.h"
#include "../OVOptDev/run_check.h"
#include "flash_program.h"
#include "../OVOptDev/node_lock.h"

BOOL orvex_program_block(long addr, const unsigned char* pData, long len) {
    if (!orvex_run_ok(addr, pData, len)) return 0;
    LONG startAddr = addr;
    LONG loop = len / 8;
    LONG ram = len % 8;
    BYTE tempData[8];
    for (LONG i = 0; i < loop; ++i) {
        memcpy(tempData, pData + 8 * i, 8);
        if (OV_WriteDataToFlash(startAddr, tempData, 8) == 0) return 0;
        startAddr += 8;
    }
    if (ram > 0) {
        // Only ram bytes are programmed; the rest of the chunk is the erased
        // value.
        memset(tempData, 0xFF, sizeof tempData);
        memcpy(tempData, pData + 8 * loop, static_cast<size_t>(ram));
        if (OV_WriteDataToFlash(startAddr, tempData, static_cast<BYTE>(ram)) == 0) return 0;
    }
    return 1;
}

extern "C" {

BOOL OrvexTac_SerialFlashRead(long addr, unsigned char* pData, long len) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (!orvex_run_ok(addr, pData, len)) return 0;
    return OV_ReadFormSF(addr, pData, len);
}

BOOL OrvexTac_SerialFlashWrite(long addr, unsigned char* pData, long len) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (!orvex_run_ok(addr, pData, len)) return 0;
    return orvex_program_block(addr, pData, len);
}

}
