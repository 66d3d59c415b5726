// Internal: names for the rows and columns of the exported serial-flash
// tables, which are plain byte arrays so that hosts can read them as such.
#ifndef ORVEX_SF_COLUMNS_H
#define ORVEX_SF_COLUMNS_H

#include "../SFData.h"

namespace orvex {

// Rows of cbSFLib_Cmd: the command set a flash part is driven with.
enum SfCommandSet : BYTE {
    kCmdsUnknown = 0,  // the row of the "no flash identified" entry
    kCmdsCommon = 1,   // WREN 06, PP 02, WRSR 01, CE 60, SE 20
    kCmdsAt25f = 2,
    kCmdsChipEraseC7 = 3,  // CE C7, SE D7
    kCmdsSst = 4,          // PP AF (auto-increment program)
    kCmdSetCount = SFLIB_CMD_ROWS,
};

// Columns of cbSFLib_ID.
enum SfIdColumn {
    kIdManufacturer = 0,  // JEDEC manufacturer id
    kIdDevice1 = 1,
    kIdDevice2 = 2,
    kIdFlashType = 3,  // SERIAL_FLASH_TYPE
    kIdCommandSet = 4, // SfCommandSet
    kIdValid = 5,
    kIdColumnCount = SFLIB_ID_COLS,
};

}  // namespace orvex

#endif
