/* Exported API of libOrvexBase: connection, raw extension-unit access,
 * ASIC and image-sensor registers, serial flash, firmware version and
 * firmware burning.
 *
 * Every operation returns 1 on success and 0 on failure in a full int, and
 * every operation except OrvexTac_Init returns 0 while no camera is open.
 * The library is for one caller thread at a time. */
#ifndef ORVEX_ORVEXTAC_H
#define ORVEX_ORVEXTAC_H

#include "util.h"
#include "ROMData.h"
#include "SFData.h"
#include "OVOptDev.h"

ORVEX_EXTERN_C_BEGIN

/* Progress callback of OrvexTac_BurnerFW: caller context, fraction 0..1. */
typedef void (*OrvexTac_SetProgress)(void* ptrClass, float progress);

ORVEX_API extern BOOL camera_init;

ORVEX_API BOOL OrvexTac_Init(int videoIndex);
ORVEX_API BOOL OrvexTac_UnInit(void);
ORVEX_API BOOL OrvexTac_XuRead(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs);
ORVEX_API BOOL OrvexTac_XuWrite(unsigned char* pData, unsigned int length, BYTE unitID, BYTE cs);

ORVEX_API BOOL OrvexTac_AsicRegisterRead(unsigned short addr, unsigned char* pData, long len);
ORVEX_API BOOL OrvexTac_AsicRegisterWrite(unsigned short addr, unsigned char* pData, long len);

ORVEX_API BOOL OrvexTac_SensorRegisterCustomRead(unsigned char slaveId, long addr,
                                                 unsigned char* pData, long len, BOOL pollSCL);
ORVEX_API BOOL OrvexTac_SensorRegisterCustomWrite(unsigned char slaveId, long addr,
                                                  unsigned char* pData, long len, BOOL pollSCL);

ORVEX_API BOOL OrvexTac_SerialFlashRead(long addr, unsigned char* pData, long len);
ORVEX_API BOOL OrvexTac_SerialFlashWrite(long addr, unsigned char* pData, long len);
ORVEX_API BOOL OrvexTac_SerialFlashSectorWrite(long addr, unsigned char* pData, long len,
                                               SERIAL_FLASH_TYPE sft);

ORVEX_API BOOL OrvexTac_GetFWVersion(unsigned char* pData, long len);
ORVEX_API BOOL OrvexTac_GetFWVersionEx(DSP_ROM_TYPE romType, unsigned char* pData, long len);

/* The camera's lock for a whole command. Every operation above holds the
 * lock of the open camera while it runs, so that another process's queries
 * never come between its own; a program that needs several operations in a
 * row without anyone else in between (a backup, a burn, the restore after
 * it) holds the camera for all of them:
 *
 * OrvexTac_HoldCamera holds /dev/video<index>'s lock for this process until
 * OrvexTac_ReleaseCamera. It waits up to timeout_ms in real time (-1 for
 * ever, 0 not at all) and returns 1 once held, or 0 when another process
 * still holds it; then that process's "PID NAME" is copied into holder
 * (holder_len bytes at most, NUL-terminated). Nested holds count: each
 * hold needs its release, from the thread that took the first. While held,
 * the operations of every thread of this process on that camera go ahead.
 * The same camera reached through any node or link is the same lock; a
 * holder that ends without releasing releases it. Where no lock can be
 * set up the library says so on standard error and goes ahead. */
ORVEX_API BOOL OrvexTac_HoldCamera(int index, LONG timeout_ms, char* holder, LONG holder_len);
ORVEX_API void OrvexTac_ReleaseCamera(void);

ORVEX_API BOOL OrvexTac_BurnerFW(unsigned char* pFwBuffer, LONG lFwLength,
                                 OrvexTac_SetProgress setProgress, void* ptrClass,
                                 SERIAL_FLASH_TYPE sft, BOOL bFullCheckFW);

ORVEX_EXTERN_C_END

#endif
