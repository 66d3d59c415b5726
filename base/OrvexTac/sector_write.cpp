// Rewriting flash in place: release the write protection, erase the sector
// that holds the start address, give the erase a second, program.
#include <unistd.h>

#include "../OrvexTac.h"
#include "flash_program.h"

extern "C" {

// One sector is erased, for addr, whatever len is: bytes past the end of
// that sector are programmed without an erase.
BOOL OrvexTac_SerialFlashSectorWrite(long addr, unsigned char* pData, long len,
                                     SERIAL_FLASH_TYPE sft) {
    if (!camera_init) return 0;
    if (sft == SFT_UNKNOW) return 0;
    if (OV_DisableSerialFlashWriteProtect(sft) == 0) return 0;
    if (OV_EraseSectorForSerialFlash(addr, sft) == 0) return 0;
    sleep(1);  // the only wait for the erase
    return orvex_program_block(addr, pData, len);
}

}
