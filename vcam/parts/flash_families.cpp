// Flash families of 2 Mbit (256 KiB) SPI NOR parts, one row each: the parts
// fitted and their JEDEC ids, erase opcodes and sizes, program page,
// typical cycle times and block protection. The times are the order of
// magnitude datasheets give for parts this small, so that a host that does
// not wait for a cycle meets a busy chip. These rows are the chips' side of
// the wire and deliberately independent of the library's erase-command and
// flash tables (base/SFData), which tests check against them.
#include "../serial_flash.h"

namespace vcam {

const std::vector<FlashFamily>& flash_families() {
    static const std::vector<FlashFamily> rows = {
        // Row 0 is the common command set (4 KiB, 32 KiB and 64 KiB erases,
        // both chip-erase opcodes) of current parts; types without a row of
        // their own use it. Three BP bits, top/bottom and sector/block.
        {"common",
         {{0, {0xFF, 0xFF, 0xFF}}, {4, {0x1F, 0x65, 0x01}}, {5, {0x1F, 0x66, 0x01}},
          {10, {0x37, 0x20, 0x11}}, {11, {0x1C, 0x31, 0x12}},
          {12, {0x8C, 0x30, 0x10}}, {13, {0xC8, 0x40, 0x13}}, {14, {0x5E, 0x60, 0x13}}},
         {{0x20, 0x1000, 45000}, {0x52, 0x8000, 150000}, {0xD8, 0x10000, 300000}},
         {0x60, 0xC7}, 1000000, 0x02, 256, 1000, 8000, false, {0x1C, 0x20, 0x40}},
        // DataFlash: page-organised, erased with page, block and sector
        // commands (0x81, 0x50, 0x7C) and a four-byte chip erase that the
        // model does not take; none of the common erase opcodes is a
        // command of these parts, so they erase nothing.
        {"dataflash", {{6, {0x1F, 0x25, 0x00}}}, {}, {}, 0, 0x02, 256, 1000, 8000, false, {0x1C, 0x20, 0x40}},
        // 4 KiB sectors on 0x20; 0x52 and 0xD8 both erase a 64 KiB block.
        // Two BP bits, protection from the top only.
        {"mxic", {{1, {0xC2, 0x20, 0x13}}, {9, {0xC2, 0x20, 0x11}}},
         {{0x20, 0x1000, 40000}, {0x52, 0x10000, 700000}, {0xD8, 0x10000, 700000}},
         {0x60, 0xC7}, 1500000, 0x02, 256, 1400, 5000, false, {0x0C, 0, 0}},
        // Only 64 KiB sectors (0xD8) and a bulk erase on 0xC7.
        {"st", {{2, {0x20, 0x20, 0x11}}}, {{0xD8, 0x10000, 600000}}, {0xC7}, 2000000, 0x02, 256,
         800, 5000, false, {0x0C, 0, 0}},
        // Byte program; the status register needs 0x50 (or a write enable)
        // first and latches without a write cycle. Erases are fast.
        {"sst", {{3, {0xBF, 0x48, 0x00}}},
         {{0x20, 0x1000, 25000}, {0x52, 0x8000, 25000}, {0xD8, 0x10000, 25000}},
         {0x60, 0xC7}, 50000, 0x02, 1, 20, 0, true, {0x0C, 0, 0}},
        {"winbond", {{7, {0xEF, 0x30, 0x11}}},
         {{0x20, 0x1000, 45000}, {0x52, 0x8000, 120000}, {0xD8, 0x10000, 150000}},
         {0x60, 0xC7}, 1000000, 0x02, 256, 800, 10000, false, {0x1C, 0x20, 0x40}},
        // 4 KiB sectors on 0xD7, 64 KiB blocks on 0xD8, chip erase 0xC7 only.
        {"pmc", {{8, {0x9D, 0x7B, 0x00}}}, {{0xD7, 0x1000, 40000}, {0xD8, 0x10000, 500000}},
         {0xC7}, 1000000, 0x02, 256, 1500, 5000, false, {0x0C, 0, 0}},
    };
    return rows;
}

const FlashFamily& flash_family(int type) {
    const auto& rows = flash_families();
    for (const auto& f : rows)
        for (const FlashPart& p : f.parts)
            if (p.type == type) return f;
    return rows[0];
}

FlashPart flash_part(int type) {
    for (const FlashPart& p : flash_family(type).parts)
        if (p.type == type) return p;
    return {type, {0xFF, 0xFF, 0xFF}};
}

void protected_range(const BlockProtect& bp, uint8_t status, uint32_t* from, uint32_t* to) {
    const uint32_t size = static_cast<uint32_t>(kFlashSize);
    unsigned shift = 0;
    while (shift < 8 && !((bp.bp_mask >> shift) & 1)) ++shift;
    unsigned level = (status & bp.bp_mask) >> shift;
    unsigned top_level = bp.bp_mask >> shift;
    *from = *to = 0;
    if (level == 0) return;
    bool sectors = bp.sec_bit && (status & bp.sec_bit);
    uint32_t len;
    if (level == top_level) {
        len = size;
    } else if (sectors) {
        len = level >= 4 ? 0x8000u : 0x1000u << (level - 1);
    } else {
        len = level >= 3 ? size : 0x10000u << (level - 1);
    }
    if (len > size) len = size;
    bool bottom = bp.tb_bit && (status & bp.tb_bit);
    *from = bottom ? 0 : size - len;
    *to = bottom ? len : size;
}

}  // namespace vcam
