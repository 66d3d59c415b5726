// Flash families of 2 Mbit (256 KiB) SPI NOR parts, one row each: erase
// opcodes and sizes, program page, typical cycle times. The times are the
// order of magnitude datasheets give for parts this small, so that a host
// that does not wait for a cycle meets a busy chip.
#include "../serial_flash.h"

namespace vcam {

const std::vector<FlashFamily>& flash_families() {
    static const std::vector<FlashFamily> rows = {
        // Row 0 is the common command set (4 KiB, 32 KiB and 64 KiB erases,
        // both chip-erase opcodes) of current parts; types without a row of
        // their own use it.
        {"common", {0, 4, 5, 6, 10, 11, 12, 13, 14},
         {{0x20, 0x1000, 45000}, {0x52, 0x8000, 150000}, {0xD8, 0x10000, 300000}},
         {0x60, 0xC7}, 1000000, 0x02, 256, 1000, 8000, false, 0x1C},
        // 4 KiB sectors on 0x20; 0x52 and 0xD8 both erase a 64 KiB block.
        {"mxic", {1, 9},
         {{0x20, 0x1000, 40000}, {0x52, 0x10000, 700000}, {0xD8, 0x10000, 700000}},
         {0x60, 0xC7}, 1500000, 0x02, 256, 1400, 5000, false, 0x0C},
        // Only 64 KiB sectors (0xD8) and a bulk erase on 0xC7.
        {"st", {2}, {{0xD8, 0x10000, 600000}}, {0xC7}, 2000000, 0x02, 256, 800, 5000, false, 0x0C},
        // Byte program; the status register needs 0x50 (or a write enable)
        // first and latches without a write cycle. Erases are fast.
        {"sst", {3},
         {{0x20, 0x1000, 25000}, {0x52, 0x8000, 25000}, {0xD8, 0x10000, 25000}},
         {0x60, 0xC7}, 50000, 0x02, 1, 20, 0, true, 0x0C},
        {"winbond", {7},
         {{0x20, 0x1000, 45000}, {0x52, 0x8000, 120000}, {0xD8, 0x10000, 150000}},
         {0x60, 0xC7}, 1000000, 0x02, 256, 800, 10000, false, 0x1C},
        // 4 KiB sectors on 0xD7, 64 KiB blocks on 0xD8, chip erase 0xC7 only.
        {"pmc", {8}, {{0xD7, 0x1000, 40000}, {0xD8, 0x10000, 500000}}, {0xC7}, 1000000, 0x02,
         256, 1500, 5000, false, 0x0C},
    };
    return rows;
}

const FlashFamily& flash_family(int type) {
    const auto& rows = flash_families();
    for (const auto& f : rows)
        for (int t : f.types)
            if (t == type) return f;
    return rows[0];
}

}  // namespace vcam
