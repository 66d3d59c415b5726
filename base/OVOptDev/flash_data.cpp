// The firmware's flash-data path, selector 3: one SET_CUR programs up to 8
// bytes at a flash address, or asks for up to 8 bytes that the following
// GET_CUR returns. Payload: {addr bits 7-0, addr bits 15-8, control, data..}
// with control = direction (bit 7, 1 = read) | bank (bits 5-4) | length.
#include <string.h>

#include "../OVOptDev.h"
#include "node_lock.h"
#include "run_check.h"

namespace {

// The 64 KiB bank of an address; the payload carries 16 address bits plus
// this two-bit bank, so the reachable flash is 256 KiB and higher addresses
// fold into bank 3.
BYTE bank_code(LONG addr) {
    if (addr <= 0xFFFF) return 0;
    if (addr <= 0x1FFFF) return 1;
    if (addr <= 0x2FFFF) return 2;
    return 3;
}

void fill_address(BYTE* ctrldata, LONG addr) {
    ctrldata[0] = static_cast<BYTE>(addr & 0xFF);
    ctrldata[1] = static_cast<BYTE>((addr >> 8) & 0xFF);
}

}  // namespace

extern "C" {

// The payload carries at most 8 data bytes; a longer request would copy
// beyond it, so it is refused before it reaches the device.
BOOL OV_ReadDataFormFlash(LONG addr, BYTE* pData, BYTE dataLen) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (dataLen > 8) return 0;
    if (!pData && dataLen > 0) return 0;
    BYTE ctrldata[11];
    memset(ctrldata, 0, sizeof ctrldata);
    BYTE unit = g_curExtendUnitID;
    fill_address(ctrldata, addr);
    ctrldata[2] = static_cast<BYTE>(0x80 | (bank_code(addr) << 4) | dataLen);
    if (OV_Set_Cur(unit, OV_XU_SEL_FLASH, 11, ctrldata) < 0) return 0;
    if (OV_Get_Cur(unit, OV_XU_SEL_FLASH, 11, ctrldata) < 0) return 0;
    memcpy(pData, ctrldata + 3, dataLen);
    return 1;
}

BOOL OV_WriteDataToFlash(LONG addr, BYTE* pData, BYTE dataLen) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!pData && dataLen > 0) return 0;
    BYTE ctrldata[11];
    memset(ctrldata, 0, sizeof ctrldata);
    if (dataLen > 8) dataLen = 8;
    fill_address(ctrldata, addr);
    ctrldata[2] = static_cast<BYTE>((bank_code(addr) << 4) | dataLen);
    memcpy(ctrldata + 3, pData, dataLen);
    return OV_Set_Cur(g_curExtendUnitID, OV_XU_SEL_FLASH, 11, ctrldata) >= 0 ? 1 : 0;
}

BOOL OV_ReadFormSF(LONG addr, BYTE* pData, LONG len) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!orvex_run_ok(addr, pData, len)) return 0;
    LONG startAddr = addr;
    LONG loop = len / 8;
    LONG ram = len % 8;
    BOOL hr = 1;
    LONG addrIndex = 0;
    BYTE tempData[8];
    for (LONG i = 0; i < loop; ++i) {
        memset(tempData, 0xFF, sizeof tempData);
        hr = OV_ReadDataFormFlash(startAddr, tempData, 8);
        if (hr != 1) return hr;
        memcpy(pData + addrIndex, tempData, 8);
        addrIndex += 8;
        startAddr += 8;
    }
    if (ram > 0) {
        memset(tempData, 0xFF, sizeof tempData);
        hr = OV_ReadDataFormFlash(startAddr, tempData, static_cast<BYTE>(ram));
        if (hr != 1) return hr;
        memcpy(pData + addrIndex, tempData, static_cast<size_t>(ram));
    }
    return 1;
}

}
