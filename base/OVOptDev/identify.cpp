// Chip identification: the chip-id register names the controller, and the
// id alone decides the register architecture and the chip class.
#include <stdio.h>

#include "../OVOptDev.h"
#include "node_lock.h"

namespace {

struct ChipClass {
    BYTE id;
    DSP_ARCH_TYPE arch;
    DSP_ROM_TYPE romType;
};

const ChipClass kChipClasses[] = {
    {0x15, DAT_FIRST, DRT_64K},   {0x16, DAT_FIRST, DRT_64K},   {0x22, DAT_FIRST, DRT_64K},
    {0x23, DAT_FIRST, DRT_64K},   {0x25, DAT_FIRST, DRT_64K},   {0x32, DAT_FIRST, DRT_64K},
    {0x33, DAT_FIRST, DRT_64K},   {0x56, DAT_FIRST, DRT_64K},   {0x70, DAT_FIRST, DRT_64K},
    {0x71, DAT_FIRST, DRT_64K},   {0x75, DAT_FIRST, DRT_64K},   {0x87, DAT_FIRST, DRT_64K},
    {0x88, DAT_FIRST, DRT_64K},   {0x90, DAT_FIRST, DRT_64K},   {0x67, DAT_FIRST, DRT_32K},
    {0x76, DAT_FIRST, DRT_128K},  {0x83, DAT_FIRST, DRT_128K},  {0x92, DAT_FIRST, DRT_128K},
    {0x85, DAT_SECOND, DRT_128K}, {0x86, DAT_SECOND, DRT_256K},
};

const ChipClass* classify(BYTE id) {
    for (const ChipClass& c : kChipClasses)
        if (c.id == id) return &c;
    return nullptr;
}

}  // namespace

extern "C" {

BOOL OV_SetAsicArchInfo(DSP_ARCH_TYPE asicArchType) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (asicArchType < DAT_FIRST || asicArchType > DAT_SECOND) return 0;
    const DSP_ARCH_INFO& m = g_AsicArchInfo[asicArchType];
    dspIdAddr = m.asicIdAddr;
    sfRdyAddr = m.sfRdyAddr;
    usbResetAddr = m.usbResetAddr;
    gpioInputAddr = m.gpioInputAddr;
    gpioOutputAddr = m.gpioOutputAddr;
    gpioOEAddr = m.gpioOEAddr;
    sfModeAddr = m.sfModeAddr;
    sfCSAddr = m.sfCSAddr;
    sfWriteDataAddr = m.sfWriteDataAddr;
    sfReadDataAddr = m.sfReadDataAddr;
    sfReadWriteTriggerAddr = m.sfReadWriteTriggerAddr;
    i2cDev = m.i2cDev;
    i2cMode = m.i2cMode;
    i2cTrg = m.i2cTrg;
    i2cSclSelOD = m.i2cSclSelOD;
    i2cSlaveID = m.i2cSlaveID;
    i2cDataArrStartAddr = m.i2cDataArrStartAddr;
    return 1;
}

// The id read is retried twice, back to back; each failed attempt has
// printed its own line.
BOOL OV_GetChipID(LONG idAddr, BYTE* pChipID) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!pChipID) return 0;
    BYTE id = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (OV_ReadFromASIC(static_cast<USHORT>(idAddr), &id) == 1) {
            *pChipID = id;
            return 1;
        }
    }
    return 0;
}

// Asks each architecture's id register in turn. A chip of the second
// architecture reads as an unlisted id at the first address. An id that
// cannot be read at all ends the search: the second address is not tried.
DSP_ROM_TYPE OV_GetChipRomType(BYTE* pChipID, DSP_ARCH_TYPE* pAsicArchType) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!pChipID || !pAsicArchType) return DRT_Unknow;
    for (int arch = DAT_FIRST; arch < DSP_ARCH_COUNT; ++arch) {
        BYTE id = 0;
        if (!OV_GetChipID(g_AsicArchInfo[arch].asicIdAddr, &id)) return DRT_Unknow;
        const ChipClass* c = classify(id);
        if (!c) continue;
        *pChipID = id;
        *pAsicArchType = c->arch;
        OV_SetAsicArchInfo(c->arch);
        return c->romType;
    }
    return DRT_Unknow;
}

BYTE OV_GetUVCExtendUnitID(void) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    BYTE id = 0;
    DSP_ARCH_TYPE arch = DAT_UNKNOW;
    const BYTE units[2] = {3, 4};
    for (BYTE unit : units) {
        g_curExtendUnitID = unit;
        if (OV_GetChipRomType(&id, &arch) != DRT_Unknow) return unit;
    }
    puts("Get uvc extend unit id fail");
    return 0;
}

}
