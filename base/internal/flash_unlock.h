// Chip 0x85 keeps its serial flash locked until a key is written to one of
// its registers. Shared by the library's burner and the tool's sector-wise
// burn, which must unlock the same way. Not installed.
#ifndef ORVEX_INTERNAL_FLASH_UNLOCK_H
#define ORVEX_INTERNAL_FLASH_UNLOCK_H

#include "../util.h"

namespace orvex_unlock {

constexpr BYTE kChipNeedsUnlock = 0x85;
constexpr USHORT kUnlockReg = 0x05FF;
constexpr BYTE kUnlockValue = 0x5A;

}  // namespace orvex_unlock

#endif
