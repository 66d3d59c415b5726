/* Serial-flash families and their command and identification tables. */
#ifndef ORVEX_SFDATA_H
#define ORVEX_SFDATA_H

#include "util.h"

ORVEX_EXTERN_C_BEGIN

typedef enum {
    SFT_UNKNOW = 0,
    SFT_MXIC = 1,
    SFT_ST = 2,
    SFT_SST = 3,
    SFT_ATMEL_AT25F = 4,
    SFT_ATMEL_AT25FS = 5,
    SFT_ATMEL_AT45DB = 6,
    SFT_WINBOND = 7,
    SFT_PMC = 8,
    SFT_MXIC_LIKE = 9,
    SFT_AMIC = 10,
    SFT_EON = 11,
    SFT_ESMT = 12,
    SFT_GIGA = 13,
    SFT_FENTECH = 14
} SERIAL_FLASH_TYPE;

#define SFLIB_CMD_ROWS 5
#define SFLIB_CMD_COLS 7
#define SFLIB_ID_ROWS 18
#define SFLIB_ID_COLS 6

/* Command sets, one per row; columns follow the SFCMD_IDX_ order. */
ORVEX_API extern BYTE cbSFLib_Cmd[SFLIB_CMD_ROWS][SFLIB_CMD_COLS];
/* Row of cbSFLib_Cmd in use; the library never assigns it, hosts may. */
ORVEX_API extern BYTE ubSFLib_CmdID;
/* JEDEC manufacturer id, two device-id bytes, type, command row, valid. */
ORVEX_API extern BYTE cbSFLib_ID[SFLIB_ID_ROWS][SFLIB_ID_COLS];
ORVEX_API extern BYTE sfManufactureID;
ORVEX_API extern BYTE sfDeviceID1;
ORVEX_API extern BYTE sfDeviceID2;

ORVEX_API LONG ubSFLib_GetIDSize(void);

ORVEX_EXTERN_C_END

#endif
