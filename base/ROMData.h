/* Controller architectures, chip classes and the mask-ROM revision table. */
#ifndef ORVEX_ROMDATA_H
#define ORVEX_ROMDATA_H

#include "util.h"

ORVEX_EXTERN_C_BEGIN

typedef enum {
    DAT_UNKNOW = -1,
    DAT_FIRST = 0,  /* register map between 0x1005 and 0x10D9 */
    DAT_SECOND = 1, /* register map between 0x80F0 and 0x8E11 */
    DSP_ARCH_COUNT = 2
} DSP_ARCH_TYPE;

typedef enum {
    DRT_Unknow = 0,
    DRT_32K = 1,
    DRT_64K = 2,
    DRT_128K = 3,
    DRT_256K = 4
} DSP_ROM_TYPE;

/* Register map of one architecture, field order fixed. */
typedef struct {
    USHORT asicIdAddr;
    USHORT sfRdyAddr;
    USHORT usbResetAddr;
    USHORT gpioInputAddr;
    USHORT gpioOutputAddr;
    USHORT gpioOEAddr;
    USHORT sfModeAddr;
    USHORT sfCSAddr;
    USHORT sfWriteDataAddr;
    USHORT sfReadDataAddr;
    USHORT sfReadWriteTriggerAddr;
    USHORT i2cDev;
    USHORT i2cMode;
    USHORT i2cTrg;
    USHORT i2cSclSelOD;
    USHORT i2cSlaveID;
    USHORT i2cDataArrStartAddr;
} DSP_ARCH_INFO;

/* One known mask-ROM revision. The flag fields are 32-bit booleans. */
typedef struct {
    USHORT RomStringAddr;
    BYTE RomString[8];
    USHORT SFTypeAddr;
    USHORT CodeVerAddr1;
    USHORT CodeVerAddr2;
    uint64_t Bypass;
    int IsNewestVer;
    int IsSWErase;
    int IsDisSFWriteCmd;
    int IsGeneric;
    int IsCompactMode;
    int IsLCVer;
} ROM_INFO;

/* Indices of RomStringAddr, in search order. */
enum {
    ADDR_9FF8 = 0,
    ADDR_D2B2,
    ADDR_DFF8,
    ADDR_BFF8,
    ADDR_C7F8,
    ADDR_AFF8,
    ROMSTRADDRCNT
};

/* Rows of RomInfo. */
enum {
    ROM220 = 0, ROM225, ROM250V1, ROM250V2, ROM230V1, ROM230V2, ROM230V3,
    ROM231V1, ROM216V1, ROM215V1, ROM236V1, ROM236V2, ROM256V1, ROM231V2,
    ROM266V1, ROM276V1, ROM275V1, ROM290V1, ROM290V2, ROM286V1, ROM288V1,
    ROM289V1, ROM270V1, ROM271V1, ROM280V1, ROM281V1, ROM232V1, ROM232V2,
    ROM272V1, ROM273V0, ROM275V2, ROM283, ROM292, ROM287, ROM267, ROM276V2,
    ROM285, ROM286,
    ROMCOUNT
};

ORVEX_API extern DSP_ARCH_INFO g_AsicArchInfo[DSP_ARCH_COUNT];
ORVEX_API extern DSP_ARCH_INFO g_DspArchInfo[DSP_ARCH_COUNT];
ORVEX_API extern USHORT RomStringAddr[ROMSTRADDRCNT];
ORVEX_API extern ROM_INFO RomInfo[ROMCOUNT];

ORVEX_API BOOL LibUsb_SetAsicArchInfo(DSP_ARCH_TYPE dspArchType);

ORVEX_EXTERN_C_END

#endif
