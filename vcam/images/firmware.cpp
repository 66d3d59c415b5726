// Firmware area of a factory image: the four version fields at the
// addresses the chip's firmware keeps them. Their contents name the chip,
// the ROM revision and the layout, so a reader can tell which addresses
// were used:
//   code version  "V" chip revision      e.g. "V1501"
//   customer ver  "CV" chip "." revision  e.g. "CV15.R01.A"
//   customer      "ORVEX-" chip layout    e.g. "ORVEX-15-A"
//   date          "2024-06-" chip         e.g. "2024-06-15"
// The layout letter is 'A', or 'B' for the second layout of a chip that has
// two. Chips whose firmware keeps no version fields get none.
#include <cstdio>
#include <cstring>

#include "../images.h"

namespace vcam {
namespace {

// The device's side of the wire keeps its own copy of these addresses, on
// purpose: the library's table (base/internal/fw_layout.h) is what is being
// tested, so the model must not borrow it.
const FirmwareLayout kLayouts[] = {
    {0x15, 0, 'A', 0x01F3, 0x3E0A, 0x3E00, 0x3E14},
    {0x56, 0, 'A', 0x01F3, 0x3E0A, 0x3E00, 0x3E14},
    {0x16, 0, 'A', 0x0153, 0x0FDA, 0x0FD0, 0x0FE4},
    {0x25, 0, 'A', 0x01F3, 0x5E0A, 0x5E00, 0x5E14},
    {0x32, 1, 'A', 0x0153, 0x0FDA, 0x0FD0, 0x0FE4},
    {0x32, 2, 'A', 0x0FDA, 0x0FE2, 0x0FD0, 0x0FEC},
    {0x70, 0, 'A', 0x3E00, 0x3E0F, 0x3E05, 0x3E19},
    {0x71, 0, 'A', 0x3E00, 0x3E0F, 0x3E05, 0x3E19},
    {0x75, 1, 'A', 0x200A, 0x2012, 0x2000, 0x201C},
    {0x75, 1, 'B', 0x4E0A, 0x4E12, 0x4E00, 0x4E1C},
    {0x76, 1, 'A', 0x0153, 0x3FDA, 0x3FD0, 0x3FE4},
    {0x83, 0, 'A', 0x200A, 0x2012, 0x2000, 0x201C},
    {0x85, 0, 'A', 0x200A, 0x2012, 0x2000, 0x201C},
    {0x90, 0, 'A', 0x200A, 0x2012, 0x2000, 0x201C},
    {0x92, 0, 'A', 0x200A, 0x2012, 0x2000, 0x201C},
};

void put(std::vector<uint8_t>& flash, uint32_t addr, const char* text, size_t n) {
    for (size_t i = 0; i < n; ++i) flash[(addr + i) % kFlashSize] = static_cast<uint8_t>(text[i]);
}

}  // namespace

const FirmwareLayout* firmware_layout(uint8_t chip, unsigned revision, char letter) {
    for (const FirmwareLayout& l : kLayouts)
        if (l.chip == chip && l.letter == letter &&
            (!l.revision || l.revision == static_cast<int>(revision)))
            return &l;
    return nullptr;
}

void write_firmware_image(Profile& p) {
    p.flash.resize(kFlashSize, 0xFF);
    const unsigned rev = p.rom_string[5];
    for (const FirmwareLayout& l : kLayouts) {
        if (l.chip != p.chip_id || (l.revision && l.revision != static_cast<int>(rev))) continue;
        char buf[16];
        std::snprintf(buf, sizeof buf, "V%02X%02u", l.chip, rev % 100);
        put(p.flash, l.code, buf, 5);
        std::snprintf(buf, sizeof buf, "CV%02X.R%02u.%c", l.chip, rev % 100, l.letter);
        put(p.flash, l.cus_ver, buf, 10);
        std::snprintf(buf, sizeof buf, "ORVEX-%02X-%c", l.chip, l.letter);
        put(p.flash, l.customer, buf, 10);
        std::snprintf(buf, sizeof buf, "2024-06-%02X", l.chip);
        put(p.flash, l.day_ver, buf, 10);
    }
}

}  // namespace vcam
