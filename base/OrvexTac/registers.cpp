// Runs of consecutive ASIC registers, one register per transfer.
#include "../OrvexTac.h"
#include "../OVOptDev/node_lock.h"

extern "C" {

BOOL OrvexTac_AsicRegisterRead(unsigned short addr, unsigned char* pData, long len) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (!pData && len > 0) return 0;
    USHORT reg = addr;  // wraps from 0xFFFF to 0x0000
    for (long i = 0; i < len; ++i) {
        BYTE value;
        if (OV_ReadFromASIC(reg, &value) != 1) return 0;
        pData[i] = value;
        ++reg;
    }
    return 1;
}

BOOL OrvexTac_AsicRegisterWrite(unsigned short addr, unsigned char* pData, long len) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (!pData && len > 0) return 0;
    for (long i = 0; i < len; ++i)
        if (OV_WriteToASIC(static_cast<USHORT>(addr + i), pData[i]) != 1) return 0;
    return 1;
}

}
