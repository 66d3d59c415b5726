/* The OV_ layer: extension-unit transport, ASIC registers, identification,
 * flash transfer and commands, write-protect release, image-sensor access.
 *
 * These functions do not check whether a camera is open; the exported
 * OrvexTac_ layer does that before it calls them. */
#ifndef ORVEX_OVOPTDEV_H
#define ORVEX_OVOPTDEV_H

#include "util.h"
#include "ROMData.h"
#include "SFData.h"

ORVEX_EXTERN_C_BEGIN

/* Extension-unit selectors of the camera firmware. */
#define OV_XU_SEL_ASIC 1     /* 4-byte register read/write */
#define OV_XU_SEL_FLASH 3    /* 11-byte flash data */
#define OV_XU_SEL_ROM 4      /* 11-byte mask-ROM data */
#define OV_XU_SEL_MEMTYPE 5  /* 11-byte memory type */

/* Columns of cbSFLib_Cmd. */
typedef enum {
    SFCMD_IDX_READ = 0,
    SFCMD_IDX_WREN = 1,
    SFCMD_IDX_PP = 2,
    SFCMD_IDX_WRSR = 3,
    SFCMD_IDX_CE = 4,
    SFCMD_IDX_SE = 5,
    SFCMD_IDX_WRDI = 6
} SFCMD_IDX;

/* Connection state. */
ORVEX_API extern int fd;
ORVEX_API extern BYTE g_curExtendUnitID;

/* Register map of the architecture in force. */
ORVEX_API extern USHORT dspIdAddr;
ORVEX_API extern USHORT sfRdyAddr;
ORVEX_API extern USHORT usbResetAddr;
ORVEX_API extern USHORT gpioInputAddr;
ORVEX_API extern USHORT gpioOutputAddr;
ORVEX_API extern USHORT gpioOEAddr;
ORVEX_API extern USHORT sfModeAddr;
ORVEX_API extern USHORT sfCSAddr;
ORVEX_API extern USHORT sfWriteDataAddr;
ORVEX_API extern USHORT sfReadDataAddr;
ORVEX_API extern USHORT sfReadWriteTriggerAddr;
ORVEX_API extern USHORT i2cDev;
ORVEX_API extern USHORT i2cMode;
ORVEX_API extern USHORT i2cTrg;
ORVEX_API extern USHORT i2cSclSelOD;
ORVEX_API extern USHORT i2cSlaveID;
ORVEX_API extern USHORT i2cDataArrStartAddr;

ORVEX_API extern unsigned int uiRomID;
ORVEX_API extern USHORT g_CurDspExtendUnitID;

/* Transport. */
ORVEX_API BOOL OV_OpenCamera(char* devPath);
ORVEX_API BOOL OV_CloseCamera(void);
ORVEX_API int OV_Get_Cur(BYTE xu_unit, BYTE xu_selector, USHORT xu_size, BYTE* xu_data);
ORVEX_API int OV_Set_Cur(BYTE xu_unit, BYTE xu_selector, USHORT xu_size, BYTE* xu_data);
ORVEX_API BOOL OV_Read(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs);
ORVEX_API BOOL OV_Write(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs);

/* ASIC registers. */
ORVEX_API BOOL OV_ReadFromASIC(USHORT addr, BYTE* pValue);
ORVEX_API BOOL OV_WriteToASIC(USHORT addr, BYTE value);
ORVEX_API BYTE OV_ReadBitFormAsic(LONG addr, BYTE bit);
ORVEX_API BOOL OV_GetMemType(BYTE* pMemType);

/* Identification. */
ORVEX_API BOOL OV_SetAsicArchInfo(DSP_ARCH_TYPE asicArchType);
ORVEX_API BOOL OV_GetChipID(LONG idAddr, BYTE* pChipID);
ORVEX_API DSP_ROM_TYPE OV_GetChipRomType(BYTE* pChipID, DSP_ARCH_TYPE* pAsicArchType);
ORVEX_API BYTE OV_GetUVCExtendUnitID(void);
ORVEX_API BOOL OV_ReadFromROM(LONG addr, BYTE* data);
ORVEX_API BOOL KS_DefGetAsicRomVersion(BYTE* data);
ORVEX_API BOOL OV_GetAsicRomVersion(BYTE* data);

/* Image sensor over the ASIC's I2C master. */
ORVEX_API BOOL OV_CustomWriteToSensor(BYTE slaveID, USHORT addr, BYTE addrByteNum,
                                      USHORT data, BYTE dataByteNum, BOOL pollSCL);
ORVEX_API BOOL OV_CustomReadFromSensor(BYTE slaveID, USHORT addr, BYTE addrByteNum,
                                       USHORT* pData, BYTE dataByteNum, BOOL pollSCL);
ORVEX_API BYTE GetByteLengthFormAddr(LONG addr);

/* Flash data path (selector 3). */
ORVEX_API BOOL OV_ReadDataFormFlash(LONG addr, BYTE* pData, BYTE dataLen);
ORVEX_API BOOL OV_WriteDataToFlash(LONG addr, BYTE* pData, BYTE dataLen);
ORVEX_API BOOL OV_ReadFormSF(LONG addr, BYTE* pData, LONG len);

/* Serial-flash commands through the ASIC's SPI master. An erase returns 1
 * only when its whole command sequence went out (chip erase: and the flash
 * then reported itself not busy); the first failed step ends it with host
 * mode 0. The write-protect release returns 1 only when the flash's status
 * no longer shows block protection. */
ORVEX_API BOOL OV_SFWaitReady(void);
ORVEX_API BOOL OV_SFCMDreadStatus(void);
ORVEX_API BOOL OV_EraseSectorForSerialFlash(LONG addr, SERIAL_FLASH_TYPE sft);
ORVEX_API BOOL OV_EraseBlockForSerialFlash(LONG addr, SERIAL_FLASH_TYPE sft);
ORVEX_API BOOL OV_SerialFlashErase(SERIAL_FLASH_TYPE sft);
ORVEX_API BOOL OV_DisableSerialFlashWriteProtect(SERIAL_FLASH_TYPE sft);

ORVEX_EXTERN_C_END

#endif
