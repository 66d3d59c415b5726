// Internal: the serial-flash families as one table, a row per
// SERIAL_FLASH_TYPE: the opcodes the library's sector, block and chip
// erase send for that type, what each actually clears on the family's
// parts, the program opcode, and the quirks that matter to a host.
// libOrvexBase takes its erase commands from here; the safe-operations
// library takes the erase sizes (what a sector rewrite clears, whether a
// burn may go sector by sector). Not installed.
//
// The Atmel rows follow the parts' datasheets. The AT25F row's JEDEC id
// (1F 65 01) is the AT25F512B, which erases 4 KiB on 0x20 (also 0xD7),
// 32 KiB on 0x52 (also 0xD8) and the chip on 0x60 or 0xC7; the AT25FS
// parts (1F 66 xx) have the same 4 KiB and 32 KiB erases and chip erase.
// The AT45DB parts are DataFlash: page-organised, with page (0x81), block
// (0x50) and sector (0x7C) erases and a four-byte chip erase (C7 94 80 9A).
// None of the opcodes the library sends erases anything there, and the
// status register is read with 0xD7, not 0x05.
#ifndef ORVEX_SF_FLASH_FAMILY_H
#define ORVEX_SF_FLASH_FAMILY_H

#include "../SFData.h"

namespace orvex {

// Chip erase as the library sends it: frames of one or two bytes.
struct ChipEraseFrames {
    int frames;
    BYTE bytes[4][2];
    int lengths[4];
};

constexpr ChipEraseFrames kChipEraseWrenC7 = {2, {{0x06}, {0xC7}}, {1, 1}};
constexpr ChipEraseFrames kChipEraseWren60 = {2, {{0x06}, {0x60}}, {1, 1}};
// The SST parts need their status register cleared (after enabling the
// status write with 0x50) before the erase.
constexpr ChipEraseFrames kChipEraseSst = {4, {{0x50}, {0x01, 0x00}, {0x06}, {0x60}}, {1, 2, 1, 1}};

struct FlashFamily {
    SERIAL_FLASH_TYPE type;
    const char* name;          // the enumerator without SFT_
    BYTE sector_erase;         // what OV_EraseSectorForSerialFlash sends
    long sector_erase_size;    // what it clears on this family; 0: nothing
    BYTE block_erase;          // what OV_EraseBlockForSerialFlash sends
    long block_erase_size;     // 0: nothing
    ChipEraseFrames chip_erase;  // what OV_SerialFlashErase sends
    bool chip_erase_clears;    // whether that clears the whole chip
    BYTE program;              // page program
    const char* quirk;         // what a host must know, or ""
};

constexpr long k4K = 0x1000, k32K = 0x8000, k64K = 0x10000;

constexpr FlashFamily kFlashFamilies[] = {
    // The unknown type: sector and block erase refuse it before sending
    // anything; chip erase sends the common sequence.
    {SFT_UNKNOW, "UNKNOWN", 0x20, 0, 0x52, 0, kChipEraseWren60, false, 0x02, "no flash named: erases refuse it"},
    {SFT_MXIC, "MXIC", 0x20, k4K, 0x52, k64K, kChipEraseWren60, true, 0x02, ""},
    // 0xD8 is these parts' only erase below the chip: a 64 KiB sector.
    {SFT_ST, "ST", 0xD8, k64K, 0xD8, k64K, kChipEraseWrenC7, true, 0x02, "sector erase clears 64 KiB"},
    {SFT_SST, "SST", 0x20, k4K, 0x52, k32K, kChipEraseSst, true, 0xAF,
     "status register needs 0x50 first; auto-increment program"},
    {SFT_ATMEL_AT25F, "ATMEL_AT25F", 0x20, k4K, 0x52, k32K, kChipEraseWren60, true, 0x02, ""},
    {SFT_ATMEL_AT25FS, "ATMEL_AT25FS", 0x20, k4K, 0x52, k32K, kChipEraseWren60, true, 0x02, ""},
    {SFT_ATMEL_AT45DB, "ATMEL_AT45DB", 0x20, 0, 0x52, 0, kChipEraseWren60, false, 0x02,
     "DataFlash: none of the library's erase opcodes erases it"},
    {SFT_WINBOND, "WINBOND", 0x20, k4K, 0x52, k32K, kChipEraseWrenC7, true, 0x02, ""},
    // PMC parts erase a 4 KiB sector on 0xD7; 0x52 is no command of theirs.
    {SFT_PMC, "PMC", 0xD7, k4K, 0x52, 0, kChipEraseWrenC7, true, 0x02, "block erase opcode 0x52 erases nothing"},
    {SFT_MXIC_LIKE, "MXIC_LIKE", 0x20, k4K, 0x52, k64K, kChipEraseWren60, true, 0x02, ""},
    {SFT_AMIC, "AMIC", 0x20, k4K, 0x52, k32K, kChipEraseWrenC7, true, 0x02, ""},
    {SFT_EON, "EON", 0x20, k4K, 0x52, k32K, kChipEraseWren60, true, 0x02, ""},
    {SFT_ESMT, "ESMT", 0x20, k4K, 0x52, k32K, kChipEraseWren60, true, 0x02, ""},
    {SFT_GIGA, "GIGA", 0x20, k4K, 0xD8, k64K, kChipEraseWren60, true, 0x02, ""},
    {SFT_FENTECH, "FENTECH", 0x20, k4K, 0xD8, k64K, kChipEraseWren60, true, 0x02, ""},
};
constexpr int kFlashFamilyCount = sizeof kFlashFamilies / sizeof kFlashFamilies[0];
static_assert(kFlashFamilyCount == SFT_FENTECH + 1, "one row per SERIAL_FLASH_TYPE");

constexpr bool rows_in_type_order() {
    for (int i = 0; i < kFlashFamilyCount; ++i)
        if (kFlashFamilies[i].type != i) return false;
    return true;
}
static_assert(rows_in_type_order(), "row i describes SERIAL_FLASH_TYPE i");

// The row of a type. Values above the enumeration are driven like the
// common parts (0x20 sector erase, 0x06 0x60 chip erase) by the library;
// nothing is known of what they clear.
constexpr FlashFamily kFlashFamilyOther = {SFT_UNKNOW, "UNKNOWN", 0x20, 0, 0x52, 0, kChipEraseWren60, false, 0x02,
                                           "not a known flash type"};
constexpr const FlashFamily& flash_family(int type) {
    return type >= 0 && type < kFlashFamilyCount ? kFlashFamilies[type] : kFlashFamilyOther;
}

// The erase unit a sector rewrite clears on this type (0: none).
constexpr long sector_erase_size(SERIAL_FLASH_TYPE t) { return flash_family(t).sector_erase_size; }

}  // namespace orvex

#endif
