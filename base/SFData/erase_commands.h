// Internal: the erase commands libOrvexBase sends, by flash type, taken
// from the flash-family table.
#ifndef ORVEX_ERASE_COMMANDS_H
#define ORVEX_ERASE_COMMANDS_H

#include "flash_family.h"

namespace orvex {

constexpr BYTE sector_erase_opcode(SERIAL_FLASH_TYPE t) { return flash_family(t).sector_erase; }
constexpr BYTE block_erase_opcode(SERIAL_FLASH_TYPE t) { return flash_family(t).block_erase; }
constexpr const ChipEraseFrames& chip_erase_frames(SERIAL_FLASH_TYPE t) { return flash_family(t).chip_erase; }

}  // namespace orvex

#endif
