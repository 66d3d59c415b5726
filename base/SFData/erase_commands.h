// Internal: the erase opcodes and chip-erase frames by flash type, for the
// erase operations; types not listed take the defaults.
#ifndef ORVEX_ERASE_COMMANDS_H
#define ORVEX_ERASE_COMMANDS_H

#include "../SFData.h"

namespace orvex {

// Erase opcodes that differ from the common ones, by flash type.
struct EraseCmd {
    SERIAL_FLASH_TYPE sft;
    BYTE cmd;
};
constexpr EraseCmd kSectorErase[] = {{SFT_ST, 0xD8}, {SFT_PMC, 0xD7}};
constexpr BYTE kSectorEraseDefault = 0x20;  // 4 KiB sector
constexpr EraseCmd kBlockErase[] = {{SFT_ST, 0xD8}, {SFT_GIGA, 0xD8}, {SFT_FENTECH, 0xD8}};
constexpr BYTE kBlockEraseDefault = 0x52;

// Chip-erase frames by flash type; the SST parts need their status
// register cleared (after enabling the status write) before the erase.
struct ChipEraseRow {
    SERIAL_FLASH_TYPE sft;
    int frames;
    BYTE bytes[4][2];
    int lengths[4];
};
constexpr ChipEraseRow kChipErase[] = {
    {SFT_ST, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_WINBOND, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_PMC, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_AMIC, 2, {{0x06}, {0xC7}}, {1, 1}},
    {SFT_SST, 4, {{0x50}, {0x01, 0x00}, {0x06}, {0x60}}, {1, 2, 1, 1}},
};
constexpr ChipEraseRow kChipEraseDefault = {SFT_UNKNOW, 2, {{0x06}, {0x60}}, {1, 1}};

}  // namespace orvex

#endif
