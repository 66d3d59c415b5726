// Builders of flash images for camera profiles: what a camera's serial
// flash holds when it leaves the factory.
#ifndef ORVEX_VCAM_IMAGES_H
#define ORVEX_VCAM_IMAGES_H

#include "vcam.h"

namespace vcam {

// Firmware area: version fields at the addresses the chip's firmware uses.
void write_firmware_image(Profile& p);
// Where a chip's firmware keeps its version fields: 5-byte code version and
// three 10-byte fields. letter 'A', or 'B' for a chip's second layout.
struct FirmwareLayout {
    uint8_t chip;
    int revision;  // ROM revision the layout belongs to; 0 for any
    char letter;
    uint32_t code, cus_ver, customer, day_ver;
};
// Null when the chip's firmware (at this revision) keeps no such layout.
const FirmwareLayout* firmware_layout(uint8_t chip, unsigned revision, char letter = 'A');
// Write-protect configuration byte at the address the chip's firmware uses,
// describing how the flash's WP# input is wired (Profile::wp_gpio, level).
void write_wp_config(Profile& p);
// Flash address of that byte for a chip id, -1 where the chip has none.
int wp_config_address(uint8_t chip_id);
// The byte for a wiring, in the older or the newer format.
uint8_t wp_config_byte(int wp_gpio, bool release_high, bool newer_format);
// Identification block and a full set of calibration records.
void write_calibration(Profile& p);

// All of the above: a camera as shipped.
void build_factory_image(Profile& p);

}  // namespace vcam

#endif
