// The firmware keeps one byte that tells how the flash's WP# input is
// wired: bits 6-4 the GPIO, bits 1-0 the pin mode (older format: 1 drive
// low, 2 or 3 drive high; newer format, marked by 0b10 in bits 3-2: 2 drive
// low, 3 drive high). Where the byte sits depends on the chip's firmware
// layout; chips 0x71 and 0x85 have no such byte (their WP# is on GPIO 7,
// released high).
#include "../images.h"

namespace vcam {

int wp_config_address(uint8_t chip_id) {
    static const struct {
        uint8_t chip;
        int addr;
    } rows[] = {
        {0x16, 0x5834}, {0x32, 0xC034}, {0x76, 0xC034}, {0x33, 0x000F},
        {0x75, 0xB034}, {0x71, -1},     {0x85, -1},
    };
    for (const auto& r : rows)
        if (r.chip == chip_id) return r.addr;
    return 0x8034;
}

uint8_t wp_config_byte(int wp_gpio, bool release_high, bool newer_format) {
    uint8_t b = static_cast<uint8_t>((wp_gpio & 7) << 4);
    if (newer_format) return static_cast<uint8_t>(b | 0x08 | (release_high ? 3 : 2));
    return static_cast<uint8_t>(b | (release_high ? 2 : 1));
}

void write_wp_config(Profile& p) {
    int addr = wp_config_address(p.chip_id);
    if (addr < 0) return;
    p.flash.resize(kFlashSize, 0xFF);
    p.flash[static_cast<size_t>(addr)] =
        wp_config_byte(p.wp_gpio, p.wp_release_high, p.wp_config_newer);
}

}  // namespace vcam
