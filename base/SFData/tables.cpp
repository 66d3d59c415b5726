// Serial-flash command sets and identification rows. Plain data: a new
// flash part is a new row.
#include "../OVOptDev.h"
#include "../SFData.h"
#include "columns.h"
#include "type_names.h"

using namespace orvex;

// A command set, one opcode per SFCMD_IDX_ column.
#define COMMAND_SET(read, wren, pp, wrsr, ce, se, wrdi) {read, wren, pp, wrsr, ce, se, wrdi}
static_assert(SFCMD_IDX_READ == 0 && SFCMD_IDX_WREN == 1 && SFCMD_IDX_PP == 2 && SFCMD_IDX_WRSR == 3 &&
                  SFCMD_IDX_CE == 4 && SFCMD_IDX_SE == 5 && SFCMD_IDX_WRDI == 6 &&
                  SFLIB_CMD_COLS == 7,
              "COMMAND_SET lists the opcodes in SFCMD_IDX_ order");

// A known flash part: its JEDEC id, its type and the command set it takes.
#define FLASH_PART(manufacturer, device1, device2, type, commands) \
    {manufacturer, device1, device2, type, commands, 1}
static_assert(kIdManufacturer == 0 && kIdDevice1 == 1 && kIdDevice2 == 2 && kIdFlashType == 3 &&
                  kIdCommandSet == 4 && kIdValid == 5 && kIdColumnCount == 6,
              "FLASH_PART lists the columns in cbSFLib_ID order");

extern "C" {

BYTE cbSFLib_Cmd[SFLIB_CMD_ROWS][SFLIB_CMD_COLS] = {
    //          READ  WREN  PP    WRSR  CE    SE    WRDI
    COMMAND_SET(0x03, 0x04, 0x03, 0x05, 0x03, 0x03, 0x04),  // kCmdsUnknown
    COMMAND_SET(0x03, 0x06, 0x02, 0x01, 0x60, 0x20, 0x04),  // kCmdsCommon
    COMMAND_SET(0x03, 0x06, 0x02, 0x01, 0x60, 0x20, 0x04),  // kCmdsAt25f
    COMMAND_SET(0x03, 0x06, 0x02, 0x01, 0xC7, 0xD7, 0x04),  // kCmdsChipEraseC7
    COMMAND_SET(0x03, 0x06, 0xAF, 0x01, 0x60, 0x20, 0x04),  // kCmdsSst
};

BYTE ubSFLib_CmdID = 0;

// Row 0 stands for "no flash identified" and is the only invalid row.
BYTE cbSFLib_ID[SFLIB_ID_ROWS][SFLIB_ID_COLS] = {
    {0x00, 0x00, 0x00, SFT_UNKNOW, kCmdsUnknown, 0},
    FLASH_PART(0xC2, 0x20, 0x10, SFT_MXIC, kCmdsCommon),
    FLASH_PART(0xC2, 0x22, 0x10, SFT_MXIC, kCmdsCommon),
    FLASH_PART(0xC2, 0x20, 0x13, SFT_MXIC, kCmdsCommon),
    FLASH_PART(0x1F, 0x65, 0x01, SFT_ATMEL_AT25F, kCmdsAt25f),
    FLASH_PART(0x9D, 0x20, 0xFF, SFT_PMC, kCmdsChipEraseC7),
    FLASH_PART(0x9D, 0x7B, 0xFF, SFT_PMC, kCmdsChipEraseC7),
    FLASH_PART(0x9D, 0x10, 0xFF, SFT_PMC, kCmdsChipEraseC7),
    FLASH_PART(0xBF, 0x48, 0xFF, SFT_SST, kCmdsSst),
    FLASH_PART(0x20, 0x20, 0x11, SFT_ST, kCmdsCommon),
    FLASH_PART(0x8C, 0x30, 0x10, SFT_ESMT, kCmdsCommon),
    FLASH_PART(0xC8, 0x40, 0x10, SFT_GIGA, kCmdsCommon),
    FLASH_PART(0xC8, 0x40, 0x13, SFT_GIGA, kCmdsCommon),
    FLASH_PART(0xEF, 0x30, 0x10, SFT_WINBOND, kCmdsCommon),
    FLASH_PART(0xEF, 0x30, 0x11, SFT_WINBOND, kCmdsCommon),
    FLASH_PART(0x5E, 0x60, 0x13, SFT_FENTECH, kCmdsCommon),
    FLASH_PART(0x5E, 0x60, 0x12, SFT_FENTECH, kCmdsCommon),
    FLASH_PART(0xC2, 0x20, 0x11, SFT_MXIC, kCmdsCommon),
};

BYTE sfManufactureID = 0;
BYTE sfDeviceID1 = 0;
BYTE sfDeviceID2 = 0;

LONG ubSFLib_GetIDSize(void) { return SFLIB_ID_ROWS; }

}
