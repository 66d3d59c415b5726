// Rewriting flash in place: release the write protection, erase the sector
// that holds the start address, give the erase a second, program.
#include <unistd.h>

#include "../OrvexTac.h"
#include "flash_program.h"
#include "../OVOptDev/node_lock.h"

namespace {

// The flash-data path reaches 0x00000 to 0x3FFFF only (its bank code
// saturates at 3), while the erase command carries 24 address bits that
// the flash itself wraps. Outside that range the erase and the program
// would land on different sectors: a rewrite "at 0x40010" would erase the
// firmware's first sector and program over the unerased 0x30010.
constexpr long kReachableFlash = 0x40000;

bool within_reachable_flash(long addr, long len) {
    if (addr < 0 || addr >= kReachableFlash) return false;
    return len <= 0 || len <= kReachableFlash - addr;
}

}  // namespace

extern "C" {

// One sector is erased, for addr, whatever len is: bytes past the end of
// that sector are programmed without an erase.
BOOL OrvexTac_SerialFlashSectorWrite(long addr, unsigned char* pData, long len,
                                     SERIAL_FLASH_TYPE sft) {
    ORVEX_ONE_PROCESS_AT_A_TIME();
    if (!camera_init) return 0;
    if (sft == SFT_UNKNOW) return 0;
    if (!within_reachable_flash(addr, len)) return 0;
    // Checked before the release and the erase: a sector erased for data
    // that does not exist is data lost.
    if (!pData && len > 0) return 0;
    if (OV_DisableSerialFlashWriteProtect(sft) == 0) return 0;
    if (OV_EraseSectorForSerialFlash(addr, sft) == 0) return 0;
    sleep(1);  // the only wait for the erase
    return orvex_program_block(addr, pData, len);
}

}
