// Builders of flash images for camera profiles: what a camera's serial
// flash holds when it leaves the factory.
#ifndef ORVEX_VCAM_IMAGES_H
#define ORVEX_VCAM_IMAGES_H

#include "vcam.h"

namespace vcam {

// Firmware area: version fields at the addresses the chip's firmware uses.
void write_firmware_image(Profile& p);
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
