// ASIC registers through selector 1: a 4-byte payload {addr lo, addr hi,
// value, op}, op 0xFF starting a read that the next GET_CUR completes and
// op 0x00 writing the value.
#include <stdio.h>
#include <string.h>

#include "../OVOptDev.h"
#include "node_lock.h"

extern "C" {

BOOL OV_ReadFromASIC(USHORT addr, BYTE* pValue) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!pValue) return 0;
    BYTE unit = g_curExtendUnitID;  // both queries go to the same unit
    BYTE ctrldata[4] = {static_cast<BYTE>(addr & 0xFF), static_cast<BYTE>(addr >> 8), 0x00, 0xFF};
    int r = OV_Set_Cur(unit, OV_XU_SEL_ASIC, 4, ctrldata);
    if (r < 0) {
        printf("ioctl(UVCIOC_CTRL_SET) FAILED (%i) \n", r);
        return 0;
    }
    r = OV_Get_Cur(unit, OV_XU_SEL_ASIC, 4, ctrldata);
    if (r < 0) {
        printf("ioctl(UVCIOC_CTRL_GET) FAILED (%i)\n", r);
        return 0;
    }
    *pValue = ctrldata[2];
    return 1;
}

BOOL OV_WriteToASIC(USHORT addr, BYTE value) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    BYTE ctrldata[4] = {static_cast<BYTE>(addr & 0xFF), static_cast<BYTE>(addr >> 8), value, 0x00};
    int r = OV_Set_Cur(g_curExtendUnitID, OV_XU_SEL_ASIC, 4, ctrldata);
    if (r < 0) {
        printf("ioctl(UVCIOC_CTRL_SET) FAILED (%i) \n", r);
        return 0;
    }
    return 1;
}

// A register that cannot be read reads as "bit clear": its one user, the
// serial-flash ready poll, then keeps polling instead of seeing a stale or
// undefined value as ready.
BYTE OV_ReadBitFormAsic(LONG addr, BYTE bit) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    BYTE value = 0;
    if (!OV_ReadFromASIC(static_cast<USHORT>(addr), &value)) return 0;
    if (bit > 7) return 0;
    return static_cast<BYTE>(value & (1u << bit));
}

BOOL OV_GetMemType(BYTE* pMemType) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!pMemType) return 0;
    BYTE data[11];
    memset(data, 0, sizeof data);
    int r = OV_Get_Cur(g_curExtendUnitID, OV_XU_SEL_MEMTYPE, 11, data);
    if (r < 0) {
        printf("ioctl(UVCIOC_CTRL_GET) FAILED (%i)\n", r);
        return 0;
    }
    *pMemType = data[2];
    return 1;
}

}
